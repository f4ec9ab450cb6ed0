/* Bootloader library: the serial link to the board's resident bootloader.
 *
 * Plain C interface. Buffers belong to the caller: packet buffers and ReadPIC
 * buffers hold at least NXPIC_PACKET_BUFFER_BYTES bytes, WritePIC and VerifyPIC
 * buffers at least NXPIC_DATA_BUFFER_BYTES. The wire protocol is described in
 * docs/bootloader-protocol.md. */
#ifndef NXPICBOOT_H
#define NXPICBOOT_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(NXPICBOOT_BUILDING)
#define NXPICBOOT_API __declspec(dllexport)
#else
#define NXPICBOOT_API __declspec(dllimport)
#endif
#define NXPICBOOT_CALL __stdcall
#else
#define NXPICBOOT_API __attribute__((visibility("default")))
#define NXPICBOOT_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define NXPIC_PACKET_BUFFER_BYTES 11
#define NXPIC_DATA_BUFFER_BYTES 51

/* Bootloader command codes; the read-back code of write code c is c - 1. */
enum {
    NXPIC_CMD_READ_VERSION = 0,
    NXPIC_CMD_READ_PROGRAM = 1,
    NXPIC_CMD_WRITE_PROGRAM = 2,
    NXPIC_CMD_ERASE_PROGRAM = 3,
    NXPIC_CMD_READ_EEPROM = 4,
    NXPIC_CMD_WRITE_EEPROM = 5
};

/* Result codes. Non-negative results are successes (a byte count where the
 * call says so). */
enum {
    NXPIC_OK = 0,
    NXPIC_ERR_PORT_OPEN = -1,       /* the port cannot be opened */
    NXPIC_ERR_BAD_HANDLE = -2,      /* no open connection with this handle */
    NXPIC_ERR_BAD_ARGUMENT = -3,    /* null pointer, bad length or command */
    NXPIC_ERR_TIMEOUT = -4,         /* no valid reply within the retries */
    NXPIC_ERR_PORT_IO = -5,         /* the port failed or went away; it is closed */
    NXPIC_ERR_REFUSED = -6,         /* the bootloader refused the address (outside its regions
                                       or not writable) */
    NXPIC_ERR_BAD_REPLY = -7,       /* a valid frame whose contents do not fit the request */
    NXPIC_ERR_UNKNOWN_COMMAND = -8, /* the bootloader does not know the command */
    NXPIC_ERR_BAD_LENGTH = -9,      /* the bootloader found the arguments too short or long */
    NXPIC_ERR_MISALIGNED = -10,     /* not on a write-block boundary */
    NXPIC_ERR_VERIFY = -12          /* the device holds other bytes than the buffer */
};

/* The request record of ReadPIC, WritePIC and VerifyPIC: 12 bytes, little-endian. */
typedef struct PicBlock {
    uint8_t Command;      /* bootloader command code */
    uint8_t DataLength;   /* data bytes in the buffer */
    uint8_t Reserved[2];  /* zero */
    int32_t Address;      /* device address in address units */
    uint8_t BlockSize;    /* bytes per write block */
    uint8_t BytesPerAddr; /* bytes per address unit */
    int16_t MaxRetries;   /* attempts for the exchange */
} PicBlock;

#ifdef __cplusplus
static_assert(sizeof(PicBlock) == 12, "PicBlock is 12 bytes on the wire of the API");
static_assert(offsetof(PicBlock, Address) == 4, "Address at offset 4");
static_assert(offsetof(PicBlock, BlockSize) == 8, "BlockSize at offset 8");
static_assert(offsetof(PicBlock, MaxRetries) == 10, "MaxRetries at offset 10");
#else
_Static_assert(sizeof(PicBlock) == 12, "PicBlock is 12 bytes");
#endif

/* Opens the port ("COM<n>") at bitRate with readTimeoutMs as the least reply
 * time-out. Returns a handle > 0, or a negative result code. */
NXPICBOOT_API int32_t NXPICBOOT_CALL OpenPIC(const char* portName, int32_t bitRate,
                                             int32_t readTimeoutMs);
/* Closes the connection. Returns NXPIC_OK or NXPIC_ERR_BAD_HANDLE. */
NXPICBOOT_API int32_t NXPICBOOT_CALL ClosePIC(int32_t handle);
/* Sends one packet (buffer[0] is the command code) without waiting for a reply. */
NXPICBOOT_API int16_t NXPICBOOT_CALL SendPacket(int32_t handle, uint8_t* buffer, int16_t length);
/* Waits for one reply packet and stores at most limit bytes of it in buffer. */
NXPICBOOT_API int16_t NXPICBOOT_CALL GetPacket(int32_t handle, uint8_t* buffer, int16_t limit);
/* Sends a packet and waits for its reply, repeating the exchange up to retries
 * times. The reply packet comes back in buffer; the result is its length. */
NXPICBOOT_API int16_t NXPICBOOT_CALL SendGetPacket(int32_t handle, uint8_t* buffer,
                                                   int16_t sendLength, int16_t receiveLimit,
                                                   int16_t retries);
/* Reads DataLength bytes from Address into buffer; the result is the byte count. */
NXPICBOOT_API int16_t NXPICBOOT_CALL ReadPIC(int32_t handle, PicBlock* block, uint8_t* buffer);
/* Writes DataLength bytes of buffer at Address. */
NXPICBOOT_API int16_t NXPICBOOT_CALL WritePIC(int32_t handle, PicBlock* block, uint8_t* buffer);
/* Reads back DataLength bytes at Address (Command is the read code) and compares
 * them with buffer: DataLength when equal, NXPIC_ERR_VERIFY when not. */
NXPICBOOT_API int16_t NXPICBOOT_CALL VerifyPIC(int32_t handle, PicBlock* block, uint8_t* buffer);

/* A short English sentence for a result code (for logs and failure texts);
 * never null. Not one of the functions the program imports. */
NXPICBOOT_API const char* NXPICBOOT_CALL NxpicResultText(int32_t result);

#ifdef __cplusplus
}
#endif

#endif /* NXPICBOOT_H */
