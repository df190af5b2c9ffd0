; floppy.asm - boot sector of the floppy images (1.2, 1.44 and 2.88 MB).
; Reports "SKARVO-BOOT floppy drive=.. chs=../../.. tail=.." on COM1 (see
; report.inc) and halts. The emulated floppy's last sector is the one the
; BIOS geometry's highest cylinder, head and sector address.
;
;   nasm -f bin -DTAIL_TAG="'...'" -o floppy.bin floppy.asm

bits 16
org 0x7C00

    jmp start                           ; over the routines of report.inc

%include "report.inc"

start:
    ENTER_REAL_MODE
    mov si, marker
    call put_str
    call put_drive_geometry             ; CX/DH: the last sector
    call check_tail
    jmp halt_forever

marker:     db "SKARVO-BOOT floppy", 0

%if ($ - $$) > 510
%error "the floppy boot sector is larger than 510 bytes"
%endif
    times 510 - ($ - $$) db 0
    dw 0xAA55
