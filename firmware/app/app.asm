; app.asm: the board's demo application, from 000200 up.
;
; It answers the identification request of the link protocol
; (docs/link-protocol.md): "$V?" CR gets "#V,<version>,<build>,<brand>*HH" CR,
; HH the exclusive-or of the characters between '#' and '*'. On the loader-entry
; command "$E0" CR it hands over to the resident bootloader. Every other line
; (noise, a partial command, the bootloader's frames) changes nothing.
;
; Version, build and brand are assembly-time constants (APP_VERSION, APP_BUILD,
; APP_BRAND, decimal 0-65535, given by the build) and stand in the version
; record at APP_VERSION_RECORD, which the answer is read from: what a tool reads
; in memory is what the board answers.
;
; Serial line: the USART at 9600 baud 8N1 (BRGH = 1, SPBRG from board.inc),
; polled; no interrupts are used, the vectors only return.

    #include <p18f452.inc>
    #include <board.inc>

    ifndef APP_VERSION
        error "APP_VERSION is not defined (the build gives -D APP_VERSION=d'n')"
    endif
    ifndef APP_BUILD
        error "APP_BUILD is not defined"
    endif
    ifndef APP_BRAND
        error "APP_BRAND is not defined"
    endif

; The version record: twelve bytes at a fixed address, right above the
; relocated interrupt vectors.
;   +0  "APPV"          marker
;   +4  01              layout of the record
;   +5  00              reserved
;   +6  version         16 bits, low byte first
;   +8  build           16 bits, low byte first
;   +10 brand           16 bits, low byte first
APP_VERSION_RECORD  equ 0x000220
RECORD_NUMBERS      equ APP_VERSION_RECORD + 6

CR                  equ 0x0D
LINE_DAMAGED        equ d'4'        ; line_length for a line that matches nothing

    udata_acs
line_length     res 1   ; bytes of the current line so far; LINE_DAMAGED: too long or bytes lost
line_text       res 3   ; its first three bytes
checksum        res 1   ; exclusive-or of the answer's characters so far
number_low      res 1   ; the number send_decimal is writing
number_high     res 1
digit           res 1
digit_started   res 1   ; non-zero once a digit other than a leading zero went out
hex_nibble      res 1

; --- Vectors -----------------------------------------------------------------
; The bootloader owns 000000-0001FF and sends the reset and both interrupt
; vectors here.

app_reset       code APP_RESET
    goto    start

app_high_isr    code APP_HIGH_ISR
    retfie  FAST                    ; no interrupt is ever enabled

app_low_isr     code APP_LOW_ISR
    retfie

app_version     code APP_VERSION_RECORD
    db      'A', 'P', 'P', 'V', 0x01, 0x00
    db      low APP_VERSION, high APP_VERSION
    db      low APP_BUILD, high APP_BUILD
    db      low APP_BRAND, high APP_BRAND

; --- Main program ------------------------------------------------------------

app_main        code APP_VERSION_RECORD + d'16'

; start: puts the USART in its known state whatever ran before (the bootloader
; hands over with the USART already on) and enters the receive loop.
start:
    clrf    INTCON                  ; interrupts off
    ; The configuration leaves the watchdog to software (the bootloader waits
    ; on its host as long as it takes): the application turns it on, so a hung
    ; application resets into the bootloader's start rules.
    bsf     WDTCON, SWDTEN
    bsf     TRISC, 7                ; RC7 is RX
    usart_start                     ; RC6 drives TX
    clrf    line_length

; receive_loop: takes bytes from the USART into the current line; on CR judges
; the line. Clears the watchdog on every turn. An overrun (bytes arrived while the loop was sending)
; restarts the receiver and spoils the current line, since bytes of it are lost.
receive_loop:
    clrwdt
    btfss   RCSTA, OERR
    bra     receive_no_overrun
    bcf     RCSTA, CREN
    bsf     RCSTA, CREN
    movlw   LINE_DAMAGED
    movwf   line_length
receive_no_overrun:
    btfss   PIR1, RCIF
    bra     receive_loop
    btfsc   RCSTA, FERR             ; FERR belongs to the byte about to be read
    bra     receive_framing_error
    movf    RCREG, W
    xorlw   CR
    bz      line_end
    xorlw   CR                      ; W holds the byte again
    movwf   digit                   ; (scratch: the byte to store)
    movlw   d'3'
    cpfslt  line_length             ; skip when fewer than three bytes so far
    bra     line_too_long
    lfsr    0, line_text
    movf    line_length, W
    movff   digit, PLUSW0
    incf    line_length, F
    bra     receive_loop
line_too_long:
    movlw   LINE_DAMAGED
    movwf   line_length
    bra     receive_loop
receive_framing_error:
    movf    RCREG, W                ; reading clears FERR; the byte is noise
    movlw   LINE_DAMAGED
    movwf   line_length
    bra     receive_loop

; line_end: the line is exactly "$V?" or "$E0", or it is ignored.
line_end:
    movlw   d'3'
    cpfseq  line_length
    bra     line_done
    movlw   '$'
    cpfseq  line_text
    bra     line_done
    movlw   '?'
    cpfseq  line_text + 2
    bra     line_not_request
    movlw   'V'
    cpfseq  line_text + 1
    bra     line_done
    rcall   send_identification
    bra     line_done
line_not_request:
    movlw   '0'
    cpfseq  line_text + 2
    bra     line_done
    movlw   'E'
    cpfseq  line_text + 1
    bra     line_done
    bra     hand_over
line_done:
    clrf    line_length
    bra     receive_loop

; hand_over: the loader-entry command. Interrupts and the watchdog off (the
; bootloader may wait on its host longer than a watchdog period), then the
; bootloader's entry that stays in the bootloader; it sets up the USART
; itself. The call stack is empty here (the receive loop runs at the top level).
hand_over:
    clrf    INTCON
    bcf     WDTCON, SWDTEN
    goto    BOOT_ENTRY_STAY

; send_identification: sends "#V,<version>,<build>,<brand>*HH" CR, the numbers
; read from the version record.
; Clobbers: W, TBLPTR, TABLAT, checksum, number_*, digit*, hex_nibble.
; Takes ~15 ms of line time (up to 26 bytes at 1.04 ms), during which
; received bytes may overrun (see receive_loop).
send_identification:
    movlw   '#'
    rcall   send_byte
    clrf    checksum
    movlw   'V'
    rcall   send_checked
    movlw   upper RECORD_NUMBERS
    movwf   TBLPTRU
    movlw   high RECORD_NUMBERS
    movwf   TBLPTRH
    movlw   low RECORD_NUMBERS
    movwf   TBLPTRL
    rcall   send_record_number      ; version
    rcall   send_record_number      ; build
    rcall   send_record_number      ; brand
    movlw   '*'
    rcall   send_byte
    swapf   checksum, W
    rcall   send_hex_digit
    movf    checksum, W
    rcall   send_hex_digit
    movlw   CR
    bra     send_byte

; decimal_place PLACE: divides number by PLACE by subtraction and sends the
; quotient digit (a leading zero is skipped); number keeps the remainder.
; At most 9 turns of ~8 cycles.
decimal_place macro place
    local   subtract, restore, skip
    clrf    digit
subtract:
    movlw   low place
    subwf   number_low, F
    movlw   high place
    subwfb  number_high, F
    bnc     restore                 ; went below zero
    incf    digit, F
    bra     subtract
restore:
    movlw   low place
    addwf   number_low, F
    movlw   high place
    addwfc  number_high, F
    movf    digit, W
    iorwf   digit_started, F
    bz      skip                    ; a leading zero
    addlw   '0'
    rcall   send_checked
skip:
    endm

; send_record_number: sends ',' and the next 16-bit number of the version record
; (at TBLPTR, low byte first) in decimal without leading zeros; TBLPTR moves on.
send_record_number:
    movlw   ','
    rcall   send_checked
    tblrd*+
    movff   TABLAT, number_low
    tblrd*+
    movff   TABLAT, number_high
    clrf    digit_started
    decimal_place d'10000'
    decimal_place d'1000'
    decimal_place d'100'
    decimal_place d'10'
    movf    number_low, W           ; the units always go out
    addlw   '0'
    bra     send_checked

; send_hex_digit: sends the low nibble of W as an upper-case hexadecimal digit.
send_hex_digit:
    andlw   0x0F
    movwf   hex_nibble
    movlw   d'10'
    cpfslt  hex_nibble              ; skip for 0-9
    bra     send_hex_letter
    movf    hex_nibble, W
    addlw   '0'
    bra     send_byte
send_hex_letter:
    movf    hex_nibble, W
    addlw   'A' - d'10'
    bra     send_byte

; send_checked: sends W and folds it into checksum.
send_checked:
    xorwf   checksum, F
    ; falls through

; send_byte: sends W. Waits until the transmit shift register is empty rather
; than on TXIF: writing TXREG on the very cycle the register empties can
; strand the byte on the simulated chip, and one byte at a time costs nothing
; at 9600 baud. Clears the watchdog while it waits (at most ~1 ms).
send_byte:
    clrwdt
    btfss   TXSTA, TRMT
    bra     send_byte
    movwf   TXREG
    return

    end
