#ifndef FERRULE_ONCHIP_DIGEST_H
#define FERRULE_ONCHIP_DIGEST_H
#include <stdint.h>
/* CRC-32 as zlib computes it (reflected 0xEDB88320, ~0 in and out); start with Crc = 0. */
uint32_t crc32_update(uint32_t crc, const uint8_t* bytes, uint32_t length);
#endif
