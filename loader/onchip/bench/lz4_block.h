#ifndef FERRULE_ONCHIP_LZ4_BLOCK_H
#define FERRULE_ONCHIP_LZ4_BLOCK_H
#include <stdint.h>
/* Decodes one LZ4 block into Out; returns the bytes written, or -1 for a damaged block. */
int32_t lz4_block_decode(const uint8_t* in, uint32_t in_length, uint8_t* out, uint32_t capacity);
#endif
