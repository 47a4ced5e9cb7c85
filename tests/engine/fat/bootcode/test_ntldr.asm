; A stand-in NTLDR for boot tests: 12 sectors, marked in the middle and at
; the end. The boot code must have loaded all of it at 2000:0000 and entered
; there; the line on the serial port says whether it did.
bits 16
org 0
        jmp short entry
entry:
        push cs
        pop ds
        mov si, bad
        mov ax, cs
        cmp ax, 0x2000
        jne report
        cmp dword [0x0C00], "NTMI"
        jne report
        cmp dword [0x17FC], "NTLE"
        jne report
        mov si, good
%include "serial.inc"
        REPORT
good:   db "KWBOOT NTLDR LOADED", 13, 10, 0
bad:    db "KWBOOT NTLDR WRONG", 13, 10, 0
        times 0x0C00 - ($ - $$) db 0
        db "NTMI"
        times 0x17FC - ($ - $$) db 0
        db "NTLE"
