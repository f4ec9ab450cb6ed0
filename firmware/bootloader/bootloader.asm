; bootloader.asm: the board's resident bootloader, 000000-0001FF (256 words).
;
; Speaks the bootloader protocol of docs/bootloader-protocol.md over the USART
; at 9600 baud 8N1; docs/firmware.md gives the memory map and the start rules.
; Assembled in absolute mode:
;   gpasm -a inhx32 -p18f452 -I firmware/include -o bootloader.hex bootloader.asm
;
; RAM is the access bank only, so nothing here touches BSR. Interrupts stay
; off throughout; the interrupt vectors belong to the application.

        list    r=dec
        errorlevel -302, -1301
        include "p18f452.inc"
        include "board.inc"

; Configuration: 10 MHz crystal (HS); power-up timer and brown-out reset at
; 4.2 V, so a sagging supply resets the chip instead of running a flash write
; on a bad voltage; the watchdog is off, left to the application (SWDTEN),
; since the bootloader waits on the host for as long as it takes; stack
; overflow resets; low-voltage programming off, so RB5 is an ordinary pin and
; a floating PGM pin cannot enter programming; the boot block and the
; configuration are write-protected against table writes; no code protection,
; so a programmer can always read a board back.
        CONFIG  OSC = HS, OSCS = OFF
        CONFIG  PWRT = ON, BOR = ON, BORV = 42
        CONFIG  WDT = OFF, WDTPS = 128
        CONFIG  CCP2MUX = ON
        CONFIG  STVR = ON, LVP = OFF, DEBUG = OFF
        CONFIG  CP0 = OFF, CP1 = OFF, CP2 = OFF, CP3 = OFF, CPB = OFF, CPD = OFF
        CONFIG  WRT0 = OFF, WRT1 = OFF, WRT2 = OFF, WRT3 = OFF
        CONFIG  WRTB = ON, WRTC = ON, WRTD = OFF
        CONFIG  EBTR0 = OFF, EBTR1 = OFF, EBTR2 = OFF, EBTR3 = OFF, EBTRB = OFF

; --- Protocol constants (docs/bootloader-protocol.md) ------------------------
REQUEST_START       equ 0xA5
ANSWER_START        equ 0x5A
MAX_BODY_BYTES      equ 52          ; TAG, address (3), 48 data bytes
MAX_DATA_BYTES      equ 48

CMD_READ            equ 1           ; address, count: the bytes
CMD_WRITE           equ 2           ; address, data
CMD_ERASE           equ 3           ; address, rows (1)
CMD_DIGEST          equ 6           ; address, count: CRC-16 of the bytes
CMD_START_APP       equ 8           ; no arguments

; Statuses: 0 OK; the refusals count down through the chain at `bad_length`.
ST_UNKNOWN          equ 1
ST_MISALIGNED       equ 2
ST_REFUSED          equ 3
ST_BAD_LENGTH       equ 4

EEPROM_ADDRESS_UPPER equ 0xF0       ; EEPROM at F00000-F000FF, as in a HEX image

; A frame whose bytes stop coming for 5 ms is given up. rx_byte's wait loop
; takes 5 cycles a turn, 256 turns per count.
RX_GAP_MS           equ 5
RX_GAP_COUNTS       equ (BOARD_CLOCK_HZ / 4 / 1000 * RX_GAP_MS + 1279) / 1280

; --- RAM (access bank) ---------------------------------------------------------
        cblock  0x40
        crcL, crcH          ; CRC-16 register
        rxL, rxH            ; the request's CRC
        len                 ; LEN of the request
        cnt                 ; bytes to read or write
        cmd                 ; command code of the request
        status              ; answer status (0 OK)
        plen                ; answer payload bytes
        bits                ; crc16_update's bit counter
        gapL, gapH          ; rx_byte's wait counters
        endc
BUF                 equ 0x00    ; request body (TAG, address, ...), then the payload;
                                ; at 000, so clearing FSR0L points FSR0 at it
ARG_COUNT           equ BUF + 4 ; the count after the address

; --- Vectors -------------------------------------------------------------------
        org     0x000000
        rcall   app_present             ; reset: start the application when present
        bnz     start_app
        if $ != BOOT_ENTRY_STAY
        error "the stay entry moved"
        endif
        bcf     INTCON, GIE             ; the application hands over here
        bra     boot_stay

        org     0x000008
        bra     APP_HIGH_ISR

; tx: sends W, waiting on TRMT (shift register empty), not TXIF: a byte
; written to TXREG on the cycle the shift register empties can be stranded.
; W kept.
tx:
        btfss   TXSTA, TRMT
        bra     tx
        movwf   TXREG
        return

; rx_take: the end of rx_byte, kept in the vector gap.
rx_take:
        movf    RCREG, W
        return

        org     0x000018
        bra     APP_LOW_ISR

; app_present: Z clear when the application's entry word (000200) is
; programmed; erased (FFFF) means there is no application. Clobbers W, TBLPTR.
app_present:
        clrf    TBLPTRU
        movlw   high APP_RESET
        movwf   TBLPTRH
        clrf    TBLPTRL
        tblrd*+
        movf    TABLAT, W
        tblrd*+
        andwf   TABLAT, W
        incf    WREG, W
        return

; --- Answer ----------------------------------------------------------------------
; 5A, payload (none in a refusal), CHECK: the CRC-16 of the status byte and
; the payload, continued from the request's CRC.
answer:
        movff   rxL, crcL
        movff   rxH, crcH
        movlw   ANSWER_START
        rcall   tx
        movf    status, W
        rcall   crc16_update
        clrf    FSR0L
        movf    plen, W
        bz      answer_check
answer_byte:
        movf    POSTINC0, W
        rcall   tx_crc
        decfsz  plen, F
        bra     answer_byte
answer_check:
        movf    crcL, W
        rcall   tx
        movf    crcH, W
        rcall   tx
        movlw   CMD_START_APP           ; an accepted start goes on into the application
        xorwf   cmd, W
        iorwf   status, W
        bnz     main
; start_app: the last bit leaves before the application takes the USART over
; (at reset the transmitter is idle).
start_app:
        btfss   TXSTA, TRMT
        bra     start_app
        bra     APP_RESET

; --- In the bootloader -------------------------------------------------------------
boot_stay:
        bcf     WDTCON, SWDTEN          ; the application's watchdog is its own
        usart_start                     ; TX drives RC6; RC7 stays an input
        clrf    FSR0H                   ; FSR0 stays in the access bank

; Receive a request: A5, LEN (1..52), LEN body bytes, CRC-16 of LEN and body
; (low byte first). A frame with a bad LEN, a CRC that does not match, or bytes
; that stop for 5 ms is dropped without an answer; the host repeats it.
main:
        clrf    STKPTR                  ; checks leave by a branch; start afresh
        rcall   rx_byte
        xorlw   REQUEST_START
        bnz     main
        setf    crcL
        setf    crcH
        rcall   rx_byte
        movwf   len
        movwf   cnt
        rcall   crc16_update
        decf    len, W
        sublw   MAX_BODY_BYTES - 1
        bnc     main                    ; LEN 0 or above 52
        clrf    FSR0L
rx_body:
        rcall   rx_byte
        movwf   POSTINC0
        rcall   crc16_update
        decfsz  cnt, F
        bra     rx_body
        rcall   rx_byte
        movwf   rxL
        xorwf   crcL, W
        bnz     main
        rcall   rx_byte
        movwf   rxH
        xorwf   crcH, W
        bnz     main

; Dispatch on the command code (the low half of TAG).
        clrf    status
        clrf    plen
        movf    BUF, W
        andlw   0x0F
        movwf   cmd
        dcfsnz  WREG, F
        bra     do_read                 ; 1 read
        dcfsnz  WREG, F
        bra     do_write                ; 2 write
        dcfsnz  WREG, F
        bra     do_erase                ; 3 erase
        addlw   -(CMD_DIGEST - CMD_ERASE)
        bz      do_read                 ; 6 digest
        addlw   -(CMD_START_APP - CMD_DIGEST)
        bnz     unknown

; Start the application: no arguments. Answers OK and starts it when its
; entry word is programmed; refuses, and stays, when there is none.
do_start:
        decf    len, W
        bnz     bad_length
        rcall   app_present
        bnz     answer
; The refusals: each entry point adds its step to the status. A refusal
; carries no payload (plen is still 0 wherever one is decided).
refused:
        incf    status, F
misaligned:
        incf    status, F
unknown:
        incf    status, F
        bra     answer
bad_length:
        movlw   ST_BAD_LENGTH
        movwf   status
        bra     answer

; Read and digest: address, count (1..48). Program space is read as the table
; read gives it; the EEPROM only inside F00000-F000FF. The digest is the
; CRC-16 of the bytes continued from the request's CRC, low byte first.
do_read:
        rcall   args_count
        movff   cnt, plen
        clrf    FSR0L
read_next:
        tblrd*+
        movf    TABLAT, W
        btfsc   EECON1, EEPGD
        bra     read_keep
        bsf     EECON1, RD              ; EEPROM: the byte at EEADR
        movf    EEDATA, W
        incf    EEADR, F
read_keep:
        movwf   POSTINC0
        rcall   crc16_update
        decfsz  cnt, F
        bra     read_next
        btfss   cmd, 2                  ; 6 (digest), not 1 (read)
        bra     answer
        movff   crcL, BUF
        movff   crcH, BUF + 1
        movlw   2
        movwf   plen
        bra     answer

; Erase: address, rows (1): the 64-byte row holding the address (the chip
; ignores the address's low six bits), in 000200-007FFF, or the user ID's row
; at 200000.
do_erase:
        rcall   args_count
        decf    cnt, W
        bnz     bad_length
        rcall   check_writable
        bsf     EECON1, FREE
        rcall   flash_go                ; the CPU stalls ~2 ms
        bra     answer

; Write: address, data (1..48 bytes). Program space: whole 8-byte write blocks,
; each checked before it is written to lie in 000200-007FFF or 200000-200007
; (a write running out of its region is refused at the first block outside
; it, the blocks before written); a write can only clear bits. EEPROM: byte by byte, ~4 ms each.
do_write:
        movlw   4
        subwf   len, W
        bz      bad_length
        bnc     bad_length
        movwf   cnt
        rcall   load_address
        movlw   BUF + 4
        movwf   FSR0L
        btfss   EECON1, EEPGD
        bra     write_eeprom
        movf    TBLPTRL, W
        iorwf   cnt, W
        andlw   WRITE_BLOCK_BYTES - 1
        bnz     misaligned
        tblrd*-                         ; TBLWT+* fills the latches from the first byte
write_latch:
        movff   POSTINC0, TABLAT
        tblwt+*
        incf    TBLPTRL, W
        andlw   WRITE_BLOCK_BYTES - 1
        bnz     write_latch
        rcall   check_writable          ; TBLPTR at the block's last byte
        rcall   flash_go                ; the CPU stalls ~2 ms
        movlw   WRITE_BLOCK_BYTES
        subwf   cnt, F
        bnz     write_latch
        bra     answer
write_eeprom:
        movff   POSTINC0, EEDATA
        rcall   flash_go
write_eeprom_wait:
        btfsc   EECON1, WR
        bra     write_eeprom_wait
        incf    EEADR, F
        decfsz  cnt, F
        bra     write_eeprom
        bra     answer

; --- Routines ------------------------------------------------------------------------

; args_count: a request of address and count (1..48): LEN 5, cnt = the
; count, then load_address. Another length or count is answered "bad length".
args_count:
        movlw   5
        cpfseq  len
        bra     bad_length
        movf    ARG_COUNT, W
        movwf   cnt
        addlw   -1
        sublw   MAX_DATA_BYTES - 1
        bnc     bad_length

; load_address: TBLPTR (and EEADR) from the address at BUF+1, and EECON1 set
; for program space; for an EEPROM address (F0xxxx) EECON1 is set for the
; EEPROM instead, and the address refused unless the cnt bytes lie in
; F00000-F000FF.
load_address:
        movf    BUF + 1, W
        movwf   TBLPTRL
        movwf   EEADR
        movff   BUF + 2, TBLPTRH
        movff   BUF + 3, TBLPTRU
        movlw   (1 << EEPGD)
        movwf   EECON1
        movlw   EEPROM_ADDRESS_UPPER
        cpfseq  BUF + 3
        return
        clrf    EECON1
        tstfsz  BUF + 2
        bra     refused
        decf    cnt, W
        addwf   BUF + 1, W
        bc      refused
        return

; check_writable: refuses unless TBLPTR lies in 000200-007FFF or
; 200000-200007: the boot block and everything else stay untouched.
; Clobbers W.
check_writable:
        movf    TBLPTRU, W
        bz      check_program
        xorlw   upper USER_ID_START
        iorwf   TBLPTRH, W
        bnz     refused
        movlw   USER_ID_END - USER_ID_START
        cpfslt  TBLPTRL
        bra     refused
        return
check_program:
        movf    TBLPTRH, W
        addlw   -(high BOOT_BLOCK_END)
        sublw   high (PROGRAM_END - BOOT_BLOCK_END) - 1
        bnc     refused
        return

; flash_go: the unlock sequence and WR, for what EECON1 is set up to do (row
; erase, block write, EEPROM byte). Flash stalls the CPU until done; an EEPROM
; write runs on and clears WR when done. WREN stays set until the next
; request sets EECON1 afresh. Clobbers W.
flash_go:
        bsf     EECON1, WREN
        movlw   0x55
        movwf   EECON2
        movlw   0xAA
        movwf   EECON2
        bsf     EECON1, WR
        nop
        return

; rx_byte: W = the next byte. When none comes for 5 ms, goes back to main
; (which resets the stack). An overrun (bytes that came while a flash write
; stalled the CPU) is cleared first, or the receiver would stay stopped.
; Clobbers gapL, gapH.
rx_byte:
        btfsc   RCSTA, OERR
        bcf     RCSTA, CREN
        bsf     RCSTA, CREN
        movlw   RX_GAP_COUNTS
        movwf   gapH                    ; gapL as it is: the wait is 4.6 to 5.1 ms
rx_wait:
        btfsc   PIR1, RCIF
        bra     rx_take
        decfsz  gapL, F
        bra     rx_wait
        decfsz  gapH, F
        bra     rx_wait
        bra     main

; tx_crc: sends W and adds it to the answer's CHECK.
tx_crc:
        rcall   tx
; crc16_update: crcH:crcL = CRC-16/CCITT-FALSE (polynomial 1021, no
; reflection) of the bytes so far and W. Clobbers W, bits; at most 92 cycles.
crc16_update:
        xorwf   crcH, F
        movlw   8
        movwf   bits
crc16_bit:
        bcf     STATUS, C
        rlcf    crcL, F
        rlcf    crcH, F
        bnc     crc16_next
        movlw   0x21
        xorwf   crcL, F
        movlw   0x10
        xorwf   crcH, F
crc16_next:
        decfsz  bits, F
        bra     crc16_bit
        return

        if $ > BOOT_VERSION_RECORD
        error "the bootloader overflows the boot block"
        endif

; The version record: the two version bytes a host reads at 0001FE.
        org     BOOT_VERSION_RECORD
        db      BOOT_VERSION_FIRST, BOOT_VERSION_SECOND
        end
