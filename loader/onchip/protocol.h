#ifndef FERRULE_ONCHIP_PROTOCOL_H
#define FERRULE_ONCHIP_PROTOCOL_H
/* The protocol of Ferrule's loader program, shared by the program (C) and the tool (C++).
 *
 * Frames are SLIP-framed like the boot ROM's and share its header, little-endian:
 *   request: C0 | 00 | command | data length (16) | check (32) | data | C0
 *   reply:   C0 | 01 | command | data length (16) | value (32) | answer | status | error | C0
 * The check of every request is zlib's CRC-32 of all its bytes but the check itself (direction,
 * command, length, data), so that no damaged request is carried out. A reply's data length counts
 * its answer and the two status bytes. Status 0 is success (error then repeats the last error
 * met); status 1 is failure with the error code. The program sends one PING reply unasked when it
 * starts.
 *
 * Writing an image: BEGIN, then DATA requests without waiting for each reply (at most the room
 * BEGIN's answer gives may be unanswered at once), then FINISH once every DATA is answered. The
 * program erases each sector just before its first page and receives meanwhile. */

#define OC_REQUEST 0x00
#define OC_REPLY 0x01

/* Commands. */
#define OC_PING 0xD0 /* no data; value: OC_MAGIC */
/* BEGIN: offset, size of the image, then nothing or one CRC-32 per 4 KiB sector of the image (of
 * the image's bytes in it). A sector whose bytes on the chip have that CRC already is neither
 * erased nor written, and its bytes are left out of the stream. Value: the sectors to write;
 * answer: offset, size, room (DATA requests that may be unanswered at once), then with CRCs one
 * bit per sector, set for a sector left as it is (bit i%8 of byte i/8). */
#define OC_BEGIN 0xD1
#define OC_DATA 0xD2 /* sequence number, then the next piece of the raw deflate stream of the
                        image's sectors to write, in order; value: the sequence number */
#define OC_FINISH 0xD3 /* no data; value: CRC-32 of the flash from offset over size, read back;
                          answer: offset, size */
#define OC_RATE \
  0xD4 /* new rate, rate in use (bit/s); value: the new divisor, set after the reply; a rate no
        * PING confirms within OC_RATE_CONFIRM_MS is given up for the divisor before */
#define OC_CHIP_ID 0xD5 /* no data; value: the flash chip's JEDEC ID, C8 40 16 as 0x001640C8 */
#define OC_DIGEST 0xD6  /* offset, size (offset a multiple of 4); value: CRC-32 of that flash */
#define OC_READ \
  0xD7 /* offset (a multiple of 4), size (1 to OC_MAX_READ); value: the offset; the reply's
        * data before its status bytes: the flash's bytes */
#define OC_ERASE 0xD8      /* offset, size, both whole sectors; erases exactly them; value: sectors */
#define OC_ERASE_CHIP 0xD9 /* no data; erases the whole chip; value: 0 */

/* Error codes after status 1. */
#define OC_ERR_INVALID 0x05  /* unknown command, wrong length or sequence, no BEGIN before */
#define OC_ERR_CHECKSUM 0x07 /* a request whose check does not match its bytes */
#define OC_ERR_FLASH 0x08    /* erase or write refused by the flash */
#define OC_ERR_STREAM 0x09   /* the deflate stream is damaged, too long or not ended */
#define OC_ERR_BUSY 0x0A     /* the flash chip stayed busy far longer than any chip may */

#define OC_RATE_CONFIRM_MS 500u
#define OC_MAGIC 0x4C524546u /* "FERL" */
#define OC_SECTOR_SIZE 4096u
#define OC_BLOCK_SECTORS 16u /* sectors of a 64 KiB erase block */
#define OC_MAX_DATA 4096u    /* compressed bytes in one DATA request at most */
#define OC_HEADER_SIZE 8u    /* direction, command, length (2), checksum (4) */
#define OC_MAX_SECTOR_CRCS 1023u /* BEGIN's CRCs fit one frame: larger images send none */
#define OC_ROOM 4u               /* DATA requests the program has room for */
#define OC_MAX_READ 4096u        /* flash bytes in one READ reply at most */

#endif
