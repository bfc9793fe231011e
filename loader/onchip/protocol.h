#ifndef FERRULE_ONCHIP_PROTOCOL_H
#define FERRULE_ONCHIP_PROTOCOL_H
/* The protocol of Ferrule's loader program, shared by the program (C) and the tool (C++).
 *
 * Frames are SLIP-framed like the boot ROM's and share its header, little-endian:
 *   request: C0 | 00 | command | data length (16) | checksum (32) | data | C0
 *   reply:   C0 | 01 | command | 02 00 | value (32) | status | error | C0
 * The checksum field of a DATA request is 0xEF XOR every compressed byte; other requests carry 0.
 * Status 0 is success (error then repeats the last error met); status 1 is failure with the error
 * code. The program sends one PING reply unasked when it starts. */

#define OC_REQUEST 0x00
#define OC_REPLY 0x01

/* Commands. */
#define OC_PING 0xD0   /* no data; value: OC_MAGIC */
#define OC_BEGIN 0xD1  /* offset, size of the image; erases exactly its sectors; value: sectors */
#define OC_DATA 0xD2   /* sequence number, then the next piece of the raw deflate stream */
#define OC_FINISH 0xD3 /* no data; value: CRC-32 of the flash from offset over size, read back */
#define OC_RATE \
  0xD4 /* new rate, rate in use (bit/s); value: the new divisor, set after the reply; a rate no
        * PING confirms within OC_RATE_CONFIRM_MS is given up for the divisor before */

/* Error codes after status 1. */
#define OC_ERR_INVALID 0x05  /* unknown command, wrong length or sequence, no BEGIN before */
#define OC_ERR_CHECKSUM 0x07 /* a DATA checksum that does not match its bytes */
#define OC_ERR_FLASH 0x08    /* erase or write refused by the flash */
#define OC_ERR_STREAM 0x09   /* the deflate stream is damaged, too long or not ended */

#define OC_RATE_CONFIRM_MS 500u
#define OC_MAGIC 0x4C524546u /* "FERL" */
#define OC_SECTOR_SIZE 4096u
#define OC_BLOCK_SECTORS 16u /* sectors of a 64 KiB erase block */
#define OC_MAX_DATA 4096u    /* compressed bytes in one DATA request at most */
#define OC_HEADER_SIZE 8u    /* direction, command, length (2), checksum (4) */
#define OC_REPLY_SIZE 12u    /* a reply, frame bytes included, unescaped */

#endif
