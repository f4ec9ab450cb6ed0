; bench_test.asm: the chip bench's test firmware. It echoes every byte it
; receives on the USART, except an escape (1B) and the command that follows it:
;   1B 'E' U H L          erase the 64-byte row at U:H:L          -> 'K'
;   1B 'W' U H L d0..d7   write the 8-byte block at U:H:L          -> 'K'
;   1B 'P' A D            write EEPROM byte A with D               -> 'K' nL nH
;                         (n: polls of EECON1.WR until the write ended, 5 cycles each)
;   1B 'R' U H L N        read N bytes (1-255) from U:H:L by table reads -> N bytes
;   1B 'Q' A              read EEPROM byte A                      -> 1 byte
; Flash operations set CFGS for addresses from 300000 (configuration).
; 10 MHz crystal, 9600 baud 8N1 (SPBRG 64, BRGH 1).

    processor 18f452
    #include <p18f452.inc>
    #include "board.inc"

    config OSC = HS, WDT = OFF, LVP = OFF, PWRT = ON, BOR = OFF

ESCAPE      equ 0x1B

bench_data  udata_acs
cmd_u       res 1
cmd_h       res 1
cmd_l       res 1
count       res 1
polls_l     res 1
polls_h     res 1
block       res 8

reset_vec   code 0x0000
    goto    start

bench_code  code 0x0040

; start: sets up the USART and serves commands for ever.
start:
    movlw   BOARD_SPBRG
    movwf   SPBRG
    movlw   b'00100100'         ; TXEN, BRGH
    movwf   TXSTA
    movlw   b'10010000'         ; SPEN, CREN
    movwf   RCSTA
    bcf     TRISC, 6            ; RC6 carries TX only as an output
    bsf     TRISC, 7
serve:
    rcall   receive_byte
    xorlw   ESCAPE
    bz      command
    xorlw   ESCAPE              ; back to the byte
    rcall   send_byte
    bra     serve

command:
    rcall   receive_byte
    xorlw   'E'
    bz      cmd_erase
    xorlw   'E' ^ 'W'
    bz      cmd_write
    xorlw   'W' ^ 'P'
    bz      cmd_eeprom_write
    xorlw   'P' ^ 'R'
    bz      cmd_read
    xorlw   'R' ^ 'Q'
    bz      cmd_eeprom_read
    bra     serve

cmd_erase:
    rcall   receive_address
    rcall   erase_row
    movlw   'K'
    rcall   send_byte
    bra     serve

cmd_write:
    rcall   receive_address
    lfsr    FSR0, block
    movlw   d'8'
    movwf   count
cmd_write_byte:
    rcall   receive_byte
    movwf   POSTINC0
    decfsz  count, F
    bra     cmd_write_byte
    rcall   write_block
    movlw   'K'
    rcall   send_byte
    bra     serve

cmd_eeprom_write:
    rcall   receive_byte
    movwf   EEADR
    rcall   receive_byte
    movwf   EEDATA
    rcall   eeprom_write
    movlw   'K'
    rcall   send_byte
    movf    polls_l, W
    rcall   send_byte
    movf    polls_h, W
    rcall   send_byte
    bra     serve

cmd_read:
    rcall   receive_address
    rcall   receive_byte
    movwf   count
cmd_read_byte:
    tblrd*+
    movf    TABLAT, W
    rcall   send_byte
    decfsz  count, F
    bra     cmd_read_byte
    bra     serve

cmd_eeprom_read:
    rcall   receive_byte
    movwf   EEADR
    bcf     EECON1, EEPGD
    bcf     EECON1, CFGS
    bsf     EECON1, RD
    movf    EEDATA, W
    rcall   send_byte
    bra     serve

; receive_byte: waits for a byte from the USART; clears an overrun.
; Out: W = the byte. Clobbers nothing else.
receive_byte:
    btfsc   RCSTA, OERR
    bra     receive_overrun
    btfss   PIR1, RCIF
    bra     receive_byte
    movf    RCREG, W
    return
receive_overrun:
    bcf     RCSTA, CREN
    bsf     RCSTA, CREN
    bra     receive_byte

; send_byte: sends W once the transmit shift register is empty (waiting on
; TRMT, not TXIF: a TXREG write on the cycle the shift register empties can
; be lost in the simulator). Clobbers nothing.
send_byte:
    btfss   TXSTA, TRMT
    bra     send_byte
    movwf   TXREG
    return

; receive_address: reads U, H, L into TBLPTR (and cmd_u/h/l) and sets CFGS
; for the configuration space (U >= 30h).
receive_address:
    rcall   receive_byte
    movwf   cmd_u
    movwf   TBLPTRU
    rcall   receive_byte
    movwf   cmd_h
    movwf   TBLPTRH
    rcall   receive_byte
    movwf   cmd_l
    movwf   TBLPTRL
    bsf     EECON1, EEPGD
    bcf     EECON1, CFGS
    movlw   0x30
    cpfslt  cmd_u
    bsf     EECON1, CFGS
    return

; unlock_and_write: the required 55/AA sequence, then WR; interrupts are off.
unlock_and_write:
    bsf     EECON1, WREN
    movlw   0x55
    movwf   EECON2
    movlw   0xAA
    movwf   EECON2
    bsf     EECON1, WR
    nop
    bcf     EECON1, WREN
    return

; erase_row: erases the 64-byte row at TBLPTR (EEPGD/CFGS set by the caller).
erase_row:
    bsf     EECON1, FREE
    rcall   unlock_and_write
    bcf     EECON1, FREE
    return

; write_block: loads the 8 bytes at block into the write latches and writes
; them to the block at TBLPTR. TBLPTR must stay inside the block when WR is
; set, so the last table write does not increment it.
write_block:
    lfsr    FSR0, block
    movlw   d'7'
    movwf   count
write_block_latch:
    movff   POSTINC0, TABLAT
    tblwt*+
    decfsz  count, F
    bra     write_block_latch
    movff   POSTINC0, TABLAT
    tblwt*
    bcf     EECON1, FREE
    rcall   unlock_and_write
    return

; eeprom_write: writes EEDATA to EEPROM at EEADR and waits for the end,
; counting the polls in polls_h:polls_l (5 cycles each). Clearing WREN once
; WR is set does not stop the write under way.
eeprom_write:
    bcf     EECON1, EEPGD
    bcf     EECON1, CFGS
    clrf    polls_l
    clrf    polls_h
    rcall   unlock_and_write
eeprom_write_wait:
    infsnz  polls_l, F
    incf    polls_h, F
    btfsc   EECON1, WR
    bra     eeprom_write_wait
    return

    end
