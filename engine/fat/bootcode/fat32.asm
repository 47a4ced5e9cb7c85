; Boot code of FAT32 volumes: reserved sectors 0 and 2, and for NTLDR also
; reserved sector 12. Assemble with -DLOADER_IOSYS or -DLOADER_NTLDR
; (scripts/gen-fat-bootcode.sh builds both and splits the sectors).
;
; Sector 0 reads sector 2 and goes on there; sector 2 follows the root
; folder's cluster chain to the loader's entry. IO.SYS: its first four
; sectors are loaded at 0070:0000 and entered at 0070:0200. NTLDR: sector 12
; is read and loads the whole file at 2000:0000, entered there. Either way
; DL holds the BIOS drive (also stored in the parameter block's drive field)
; and SS:BP points at sector 0 at 0000:7C00. Sector 1 is FSInfo's and left
; alone. A missing loader, a missing part of this code or a disk error shows
; a message and waits for a key, which restarts the machine.
;
; Bytes 11-89, the parameter block, are the volume's: the engine puts them
; in place when it writes sector 0. With FAT mirroring off, the live FAT is
; the one the flags name.

%include "common.inc"

BPB_DRIVE   equ 0x40

V_FAT       equ -4          ; first sector of the live FAT
V_DATA      equ -8          ; first data sector
V_LIMIT     equ -12         ; first cluster number past the volume
V_FATSEC    equ -16         ; FAT sector in the buffer, -1 none
V_LEFT      equ -18         ; root folder entries still to look at (word)

section boot start=0 vstart=0x7C00
        jmp short start
        nop
        db "MSWIN4.1"
        times 0x5A - ($ - $$) db 0

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
        mov al, 2
        mov bx, STAGE2
        call read_sector
        cmp word [STAGE2], STAGE_MARK
        jne incomplete
        jmp STAGE2 + 2

incomplete:
        mov si, msg_part
        jmp short fail

        READ_SECTOR BPB_DRIVE
        FAIL_PATH
        MESSAGES
msg_part:    db 13, 10, "Boot code incomplete", 13, 10, 0

        times 510 - ($ - $$) db 0
        dw 0xAA55

section fsinfo start=0x200
        times 512 db 0

section second start=0x400 vstart=STAGE2
        dw STAGE_MARK
        ; The live FAT: the first, or with mirroring off the one named.
        xor eax, eax
        mov al, [bp+BPB_EXTFLAG]
        test al, 0x80
        jnz .named
        xor al, al
.named:
        and al, 0x0F
        mul dword [bp+BPB_FATSZ32]
        movzx ecx, word [bp+BPB_RSVD]
        add eax, ecx
        push eax                        ; V_FAT
        ; Data: after the reserved sectors and every FAT.
        movzx eax, byte [bp+BPB_NFATS]
        mul dword [bp+BPB_FATSZ32]
        add eax, ecx
        push eax                        ; V_DATA
        ; The clusters the volume has: a link beyond them ends a chain.
        xchg eax, ebx
        mov eax, [bp+BPB_TOT32]
        sub eax, ebx
        jb disk_error
        movzx ecx, byte [bp+BPB_SPC]
        jecxz disk_error
        xor edx, edx
        div ecx
        inc eax
        inc eax
        push eax                        ; V_LIMIT
        push dword -1                   ; V_FATSEC
        push word 0                     ; V_LEFT: 65536, a folder's most

        ; The root folder: its clusters in chain order, their sectors.
        mov eax, [bp+BPB_ROOTCL]
.cluster:
        cmp eax, 2
        jb not_found
        cmp eax, [bp+V_LIMIT]
        jae not_found
        push eax
        call cluster_sector
.sector:
        mov bx, DIRBUF
        call read_sector
        mov di, bx
.entry:
        dec word [bp+V_LEFT]
        jz not_found
        cmp byte [di], 0                ; the folder's end
        je not_found
        push cx
        push di
        mov si, loader_name
        mov cx, 11
        repe cmpsb
        pop di
        pop cx
        jne .next
        test byte [di+11], 0x18         ; neither a folder nor the label
        jz found
.next:
        add di, 32
        test di, [bp+BPB_BPS]           ; DIRBUF + bps: past the sector
        jz .entry
        inc eax
        loop .sector
        pop eax
        call next_cluster
        jmp short .cluster

found:
        mov ax, [di+0x14]
        shl eax, 16
        mov ax, [di+0x1A]
%ifdef LOADER_NTLDR
        push eax
        mov eax, 12
        mov bx, STAGE3
        call read_sector
        pop eax
        cmp word [STAGE3], STAGE_MARK
        jne incomplete
        jmp STAGE3 + 2
%else
        push word IOSYS_SEG
        pop es
        mov si, IOSYS_SEG + 0x80        ; 2 KiB: four 512-byte sectors
        call load
        START_LOADER IOSYS_SEG, 0x200, BPB_DRIVE
%endif

; next_cluster: eax = cluster -> eax = its FAT entry. ebx, edx change.
next_cluster:
        shl eax, 2
        xor edx, edx
        movzx ebx, word [bp+BPB_BPS]
        div ebx
        add eax, [bp+V_FAT]
        cmp eax, [bp+V_FATSEC]
        je .cached
        mov [bp+V_FATSEC], eax
        push es                         ; the buffers are in segment 0
        push ds
        pop es
        mov bx, FATBUF
        call read_sector
        pop es
.cached:
        mov bx, dx
        mov eax, [bx+FATBUF]
        and eax, 0x0FFFFFFF
        ret

; cluster_sector: eax = cluster -> eax = its first sector, ecx = sectors
; per cluster. edx changes.
cluster_sector:
        dec eax
        dec eax
        movzx ecx, byte [bp+BPB_SPC]
        mul ecx
        add eax, [bp+V_DATA]
        ret

; load: eax = first cluster, es = where, si = the segment to stop at.
; Follows the chain until it ends, leaves the volume's clusters or memory
; is filled; es ends past the last sector read.
load:
        cmp eax, 2
        jb .done
        cmp eax, [bp+V_LIMIT]
        jae .done
        push eax
        call cluster_sector
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
        call next_cluster
        jmp short load
.full:
        pop eax
.done:
        ret

        times 510 - ($ - $$) db 0
        dw 0xAA55

%ifdef LOADER_NTLDR
section third start=0x600 vstart=STAGE3
        dw STAGE_MARK
        push word NTLDR_SEG
        pop es
        mov si, NTLDR_END
        call load
        START_LOADER NTLDR_SEG, 0, BPB_DRIVE

        times 510 - ($ - $$) db 0
        dw 0xAA55
%endif
