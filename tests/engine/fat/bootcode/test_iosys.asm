; A stand-in IO.SYS for boot tests: six sectors, each marked. The boot code
; must have loaded the first four at 0070:0000 and entered at 0070:0200,
; with BP at the boot sector; the line on the serial port says whether it
; did.
bits 16
org 0
        db "IOS0"
        times 0x200 - ($ - $$) db 0
entry:
        push cs
        pop ds
        mov si, bad
        cmp dword [0x000], "IOS0"
        jne report
        cmp dword [0x400], "IOS2"
        jne report
        cmp dword [0x600], "IOS3"
        jne report
        cmp bp, 0x7C00
        jne report
        mov si, good
%include "serial.inc"
        REPORT
good:   db "KWBOOT IO.SYS LOADED", 13, 10, 0
bad:    db "KWBOOT IO.SYS WRONG", 13, 10, 0
        times 0x400 - ($ - $$) db 0
        db "IOS2"
        times 0x600 - ($ - $$) db 0
        db "IOS3"
        times 0x800 - ($ - $$) db 0
        db "IOS4"
        times 0xC00 - ($ - $$) db 0
