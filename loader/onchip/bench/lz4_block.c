/* An LZ4 block decoder written from the format's public description, for the measurement that
 * chose the loader program's compression (see measure.sh). A block is a series of sequences: a
 * token (high nibble: literal count, low nibble: match length - 4; 15 means more bytes follow,
 * each added, until one below 255), the literals, a 16-bit little-endian offset back into the
 * output, the match. The last sequence ends after its literals. */

#include "lz4_block.h"

static uint32_t extended(const uint8_t** in, const uint8_t* end, uint32_t length) {
  if (length != 15) return length;
  uint8_t more;
  do {
    if (*in >= end) return 0xFFFFFFFFu;
    more = *(*in)++;
    length += more;
  } while (more == 255);
  return length;
}

int32_t lz4_block_decode(const uint8_t* in, uint32_t in_length, uint8_t* out, uint32_t capacity) {
  const uint8_t* const end = in + in_length;
  uint8_t* to = out;
  while (in < end) {
    const uint8_t token = *in++;
    const uint32_t literals = extended(&in, end, token >> 4);
    if (literals > (uint32_t)(end - in) || literals > capacity - (uint32_t)(to - out)) return -1;
    for (uint32_t i = 0; i < literals; ++i) *to++ = *in++;
    if (in == end) break; /* the last sequence */
    if (end - in < 2) return -1;
    const uint32_t offset = (uint32_t)in[0] | (uint32_t)in[1] << 8;
    in += 2;
    const uint32_t match = extended(&in, end, token & 15u) + 4u;
    if (offset == 0 || offset > (uint32_t)(to - out) || match > capacity - (uint32_t)(to - out))
      return -1;
    const uint8_t* from = to - offset;
    for (uint32_t i = 0; i < match; ++i) *to++ = *from++; /* may overlap: byte by byte */
  }
  return (int32_t)(to - out);
}
