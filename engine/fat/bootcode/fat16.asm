; Boot sector of FAT12 and FAT16 volumes. Assemble with -DLOADER_IOSYS or
; -DLOADER_NTLDR (scripts/gen-fat-bootcode.sh builds both).
;
; Finds the loader in the root folder, loads it and starts it:
;   IO.SYS  its first four sectors at 0070:0000, entered at 0070:0200;
;   NTLDR   the whole file at 2000:0000, entered there.
; Either way DL holds the BIOS drive (also stored in the parameter block's
; drive field) and SS:BP points at this sector at 0000:7C00. A missing loader or a disk error shows a message and waits for a
; key, which restarts the machine.
;
; Bytes 11-61, the parameter block, are the volume's: the engine puts them
; in place when it writes this sector. FAT12 and FAT16 are told apart by the
; cluster count, as the FAT's own definition does.

%include "common.inc"

BPB_DRIVE   equ 0x24

V_DATA16    equ -4          ; first data sector (dword)
V_EOC       equ -6          ; first end-of-chain value: 0FF8h FAT12, FFF8h FAT16

        org 0x7C00
        jmp short start
        nop
        db "MSWIN4.0"
        times 0x3E - ($ - $$) db 0

start:
        cli
        xor eax, eax
        mov ss, ax
        mov bp, 0x7C00
        mov sp, bp
        mov ds, ax
        mov es, ax
        sti
        cld
        mov [bp+BPB_DRIVE], dl
        ; The variables are pushed in their order below the sector.
        ; Root folder: after the reserved sectors and the FATs.
        mov al, [bp+BPB_NFATS]
        mul word [bp+BPB_FATSZ16]
        add ax, [bp+BPB_RSVD]
        ; Data: after the root folder's sectors (a whole number of them, as
        ; the entry count must give).
        xchg ax, di
        mov ax, 32
        mul word [bp+BPB_ROOTN]
        div word [bp+BPB_BPS]
        add ax, di
        push eax                        ; V_DATA16
        ; FAT12 below 4085 clusters, FAT16 from there.
        movzx ecx, word [bp+BPB_TOT16]
        jcxz .large
        jmp short .count
.large:
        mov ecx, [bp+BPB_TOT32]
.count:
        xchg eax, ecx
        sub eax, ecx
        movzx ecx, byte [bp+BPB_SPC]
        xor edx, edx
        div ecx
        cmp eax, 4085
        mov ax, 0x0FF8
        jb .fat12
        mov ah, 0xFF
.fat12:
        push ax                         ; V_EOC

        ; The root folder's entries, a sector at a time.
        movzx eax, di
        mov dx, [bp+BPB_ROOTN]
.sector:
        mov bx, DIRBUF
        call read_sector
        mov di, bx
.entry:
        push di
        mov si, loader_name
        mov cl, 11                      ; ch is 0 here
        repe cmpsb
        pop di
        je found
        dec dx
        jz not_found
        add di, 32
        test di, [bp+BPB_BPS]           ; DIRBUF + bps: past the sector
        jz .entry
        inc eax
        jmp short .sector

found:
        mov ax, [di+0x1A]
%ifdef LOADER_NTLDR
        push word NTLDR_SEG
        pop es
        mov si, NTLDR_END
%else
        push word IOSYS_SEG
        pop es
        mov si, IOSYS_SEG + 0x80        ; 2 KiB: four 512-byte sectors
%endif
        ; Load cluster after cluster until the chain ends or si is reached.
.cluster:
        cmp ax, 2
        jb .loaded
        cmp ax, [bp+V_EOC]
        jae .loaded
        push eax
        dec ax
        dec ax
        movzx ecx, byte [bp+BPB_SPC]
        mul ecx
        add eax, [bp+V_DATA16]
.sector:
        mov dx, es
        cmp dx, si
        jae .full
        xor bx, bx
        call read_sector
        inc eax
        mov bx, [bp+BPB_BPS]
        shr bx, 4
        add dx, bx
        mov es, dx
        loop .sector
        pop eax
        ; The FAT's entry for the cluster: 1.5 bytes (FAT12) or 2 (FAT16).
        mov cx, ax
        xor dx, dx
        test byte [bp+V_EOC+1], 0x80
        jnz .fat16
        shr ax, 1
.fat16:
        add ax, cx
        adc dx, dx
        div word [bp+BPB_BPS]
        add ax, [bp+BPB_RSVD]
        push es                         ; the buffers are in segment 0
        push ds
        pop es
        mov bx, FATBUF                  ; two sectors: a FAT12 entry may span them
        call read_sector
        inc eax
        add bx, [bp+BPB_BPS]
        call read_sector
        pop es
        mov bx, dx
        mov ax, [bx+FATBUF]
        test byte [bp+V_EOC+1], 0x80
        jnz .cluster
        test cl, 1
        jz .even
        shr ax, 4
.even:
        and ah, 0x0F
        jmp short .cluster
.full:
        pop eax
.loaded:
%ifdef LOADER_NTLDR
        START_LOADER NTLDR_SEG, 0, BPB_DRIVE
%else
        START_LOADER IOSYS_SEG, 0x200, BPB_DRIVE
%endif

        READ_SECTOR BPB_DRIVE
        FAIL_PATH
        MESSAGES

        times 510 - ($ - $$) db 0
        dw 0xAA55
