/* Bootloader library: the serial link to the board's resident bootloader.
 *
 * Plain C interface. Buffers belong to the caller; each function below says
 * how many bytes of its buffer it may read and write:
 *   SendGetPacket, SendPacket, GetPacket: a packet buffer of
 *     NXPIC_PACKET_BUFFER_BYTES (11); never more than that is read or written.
 *   ReadPIC: a buffer of NXPIC_READ_BUFFER_BYTES (11); it writes exactly
 *     DataLength bytes, and refuses a DataLength above 11 with NXPIC_ERR_TOO_LONG.
 *   WritePIC, VerifyPIC: a data buffer of NXPIC_DATA_BUFFER_BYTES (51); they
 *     read its first DataLength bytes (at most 48) and never write to it.
 * The wire protocol is described in docs/bootloader-protocol.md. */
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
#define NXPIC_READ_BUFFER_BYTES 11
#define NXPIC_DATA_BUFFER_BYTES 51

/* Bootloader command codes; the read-back code of write code c is c - 1. */
enum {
    NXPIC_CMD_READ_VERSION = 0,
    NXPIC_CMD_READ_PROGRAM = 1,
    NXPIC_CMD_WRITE_PROGRAM = 2,
    NXPIC_CMD_ERASE_PROGRAM = 3,
    NXPIC_CMD_READ_EEPROM = 4,
    NXPIC_CMD_WRITE_EEPROM = 5,
    /* SendGetPacket with this command alone (no arguments, empty reply) writes
     * the held entry block of the application and asks the board to start
     * the application; the board answers, then runs it. */
    NXPIC_CMD_START_APPLICATION = 8
};

/* Result codes. Non-negative results are successes (a byte count where the
 * call says so). */
enum {
    NXPIC_OK = 0,
    NXPIC_ERR_PORT_OPEN = -1,       /* the port cannot be opened */
    NXPIC_ERR_BAD_HANDLE = -2,      /* no open connection with this handle */
    NXPIC_ERR_BAD_ARGUMENT = -3,    /* null pointer, bad length or command */
    NXPIC_ERR_TIMEOUT = -4,         /* the board stayed silent for the read time-out */
    NXPIC_ERR_PORT_IO = -5,         /* the port failed or went away; it is closed */
    NXPIC_ERR_REFUSED = -6,         /* the bootloader refused the address (outside its regions
                                       or not writable) */
    NXPIC_ERR_BAD_REPLY = -7,       /* a valid frame whose contents do not fit the request */
    NXPIC_ERR_UNKNOWN_COMMAND = -8, /* the bootloader does not know the command */
    NXPIC_ERR_BAD_LENGTH = -9,      /* the bootloader found the arguments too short or long */
    NXPIC_ERR_MISALIGNED = -10,     /* not on a write-block boundary */
    NXPIC_ERR_VERIFY = -12,         /* the device holds other bytes than the buffer */
    NXPIC_ERR_TOO_LONG = -13,       /* ReadPIC: DataLength is more than its buffer holds */
    NXPIC_ERR_NOISY_LINE = -14      /* no intact answer through the noise within the
                                       exchange's time budget */
};

/* The request record of ReadPIC, WritePIC and VerifyPIC: 12 bytes, little-endian. */
typedef struct PicBlock {
    uint8_t Command;      /* bootloader command code */
    uint8_t DataLength;   /* data bytes in the buffer */
    uint8_t Reserved[2];  /* zero */
    int32_t Address;      /* device address in address units */
    uint8_t BlockSize;    /* bytes per write block */
    uint8_t BytesPerAddr; /* bytes per address unit */
    int16_t MaxRetries;   /* answers of the board (a refusal, a verify that finds other
                             bytes) taken before that answer stands; 0 or less: 1 */
} PicBlock;

#ifdef __cplusplus
static_assert(sizeof(PicBlock) == 12, "PicBlock is 12 bytes on the wire of the API");
static_assert(offsetof(PicBlock, Address) == 4, "Address at offset 4");
static_assert(offsetof(PicBlock, BlockSize) == 8, "BlockSize at offset 8");
static_assert(offsetof(PicBlock, MaxRetries) == 10, "MaxRetries at offset 10");
#else
_Static_assert(sizeof(PicBlock) == 12, "PicBlock is 12 bytes");
#endif

/* Opens the port ("COM<n>") at bitRate. readTimeoutMs is how long the board may
 * stay silent before an exchange fails with NXPIC_ERR_TIMEOUT. Returns a
 * handle > 0, or a negative result code. */
NXPICBOOT_API int32_t NXPICBOOT_CALL OpenPIC(const char* portName, int32_t bitRate,
                                             int32_t readTimeoutMs);
/* Closes the connection. Returns NXPIC_OK or NXPIC_ERR_BAD_HANDLE. */
NXPICBOOT_API int32_t NXPICBOOT_CALL ClosePIC(int32_t handle);
/* Sends one packet (buffer[0] is the command code, length at most 11 bytes)
 * without waiting for a reply. Reads length bytes of buffer. */
NXPICBOOT_API int16_t NXPICBOOT_CALL SendPacket(int32_t handle, uint8_t* buffer, int16_t length);
/* Waits for the reply to SendPacket's packet, without repeating it, and stores
 * at most min(limit, 11) bytes of the reply packet in buffer. */
NXPICBOOT_API int16_t NXPICBOOT_CALL GetPacket(int32_t handle, uint8_t* buffer, int16_t limit);
/* Sends a packet (sendLength bytes of buffer, at most 11) and waits for its
 * reply; damaged or lost frames are repeated within a time budget, and retries
 * counts the board's refusals. The reply packet (the command code, then the
 * reply's data) comes back in buffer, cut to min(receiveLimit, 11) bytes: a
 * larger receiveLimit, such as 255, is clamped to the packet buffer. The
 * result is the number of bytes stored. */
NXPICBOOT_API int16_t NXPICBOOT_CALL SendGetPacket(int32_t handle, uint8_t* buffer,
                                                   int16_t sendLength, int16_t receiveLimit,
                                                   int16_t retries);
/* Reads DataLength bytes (1 to 11) from Address into buffer; the result is the
 * byte count. Exactly DataLength bytes of buffer are written, only on success. */
NXPICBOOT_API int16_t NXPICBOOT_CALL ReadPIC(int32_t handle, PicBlock* block, uint8_t* buffer);
/* Writes DataLength bytes (1 to 48) of buffer at Address; the buffer is only read. */
NXPICBOOT_API int16_t NXPICBOOT_CALL WritePIC(int32_t handle, PicBlock* block, uint8_t* buffer);
/* Asks the board for a digest of DataLength bytes (1 to 48) at Address (Command
 * is the read code) and compares it with the digest of buffer's first DataLength
 * bytes: DataLength when equal, NXPIC_ERR_VERIFY when not. The buffer is only read. */
NXPICBOOT_API int16_t NXPICBOOT_CALL VerifyPIC(int32_t handle, PicBlock* block, uint8_t* buffer);

/* A short English sentence for a result code (for logs and failure texts);
 * never null. Not one of the functions the program imports. */
NXPICBOOT_API const char* NXPICBOOT_CALL NxpicResultText(int32_t result);

#ifdef __cplusplus
}
#endif

#endif /* NXPICBOOT_H */
