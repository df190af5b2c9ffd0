; mbr.asm - master boot record of the hard-disk image.
; Reports "SKARVO-BOOT harddisk drive=.. chs=../../.. tail=.." on COM1 (see
; report.inc) and halts; it loads no partition.
;
; One active partition fills the disk from the second track to the end. A
; BIOS emulating a hard disk from a CD takes the disk's heads and sectors per
; track from this entry's last CHS, so the entry must describe the image
; exactly. Its last CHS is also the image's last sector, which check_tail
; reads: the geometry the BIOS reports keeps the last cylinder back.
;
;   nasm -f bin -DTAIL_TAG="'...'" -DCYLINDERS=c -DHEADS=h -DSECTORS=s -o mbr.bin mbr.asm
; The image must be c * h * s sectors of 512 bytes.

%ifndef CYLINDERS
%error "define CYLINDERS, HEADS and SECTORS"
%endif
%if CYLINDERS < 2 || CYLINDERS > 1024 || HEADS < 2 || HEADS > 255 || SECTORS < 1 || SECTORS > 63
%error "the geometry does not fit a CHS partition entry"
%endif

FIRST_LBA   equ SECTORS                 ; cylinder 0, head 1, sector 1
LAST_CYL    equ CYLINDERS - 1

bits 16
org 0x7C00

    jmp start                           ; over the routines of report.inc

%include "report.inc"

start:
    ENTER_REAL_MODE
    mov si, marker
    call put_str
    call put_drive_geometry
    mov dh, [partition + 5]             ; last head
    mov cx, [partition + 6]             ; last sector and cylinder, AH=02h form
    call check_tail
    jmp halt_forever

marker:     db "SKARVO-BOOT harddisk", 0

%if ($ - $$) > 440
%error "the MBR code is larger than 440 bytes"
%endif
    times 440 - ($ - $$) db 0
    dd 0x534B5256                       ; disk signature
    dw 0
partition:
    db 0x80                             ; active
    db 1, 1, 0                          ; first CHS: head 1, sector 1, cylinder 0
    db 0x01                             ; type FAT12 (left unformatted)
    db HEADS - 1                        ; last CHS: head,
    db SECTORS | ((LAST_CYL >> 2) & 0xC0) ; sector with cylinder bits 9-8,
    db LAST_CYL & 0xFF                  ; cylinder bits 7-0
    dd FIRST_LBA
    dd CYLINDERS * HEADS * SECTORS - FIRST_LBA
    times 3 * 16 db 0                   ; entries 2 to 4 unused
    dw 0xAA55
