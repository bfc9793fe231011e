/* Decodes an image packed with deflate (the loader program's inflate, -DINFLATE) or LZ4
 * (lz4_block.c) ROUNDS times in the emulator, then checks the result's CRC-32; the wall time
 * of the run is the measure (measure.sh). The packed image comes in with .incbin, in an
 * assembler file that bench_compression writes. */

#include "digest.h"
#include "lz4_block.h"
#include "zlib.h"

#include <stdint.h>

#ifndef ROUNDS
#define ROUNDS 5
#endif
#define CAPACITY (640u * 1024u)

extern const uint8_t packed_start[], packed_end[];
extern const uint32_t expected_size, expected_crc;
static uint8_t output[CAPACITY] __attribute__((section(".ext_bss")));

static void sim_exit(uint32_t status) {
  register uint32_t a2 __asm__("a2") = 1, a3 __asm__("a3") = status;
  __asm__ volatile("simcall" : : "r"(a2), "r"(a3));
}

#ifdef INFLATE
static uint8_t arena[48 * 1024] __attribute__((aligned(8)));
static uint32_t used;
static voidpf arena_alloc(voidpf opaque, uInt items, uInt size) {
  (void)opaque;
  void* block = arena + used;
  used += ((uint32_t)items * size + 7u) & ~7u;
  return used <= sizeof arena ? block : Z_NULL;
}
static void arena_free(voidpf opaque, voidpf address) { (void)opaque, (void)address; }

/* In 256-byte steps, as the loader program inflates into flash pages. */
static int32_t decode(void) {
  z_stream stream = {0};
  used = 0;
  stream.zalloc = arena_alloc;
  stream.zfree = arena_free;
  if (inflateInit2(&stream, -15) != Z_OK) return -1;
  stream.next_in = (Bytef*)packed_start;
  stream.avail_in = (uInt)(packed_end - packed_start);
  int result = Z_OK;
  while (result == Z_OK) {
    stream.next_out = output + stream.total_out;
    stream.avail_out = 256;
    result = inflate(&stream, Z_NO_FLUSH);
  }
  return result == Z_STREAM_END ? (int32_t)stream.total_out : -1;
}
#else
static int32_t decode(void) {
  return lz4_block_decode(packed_start, (uint32_t)(packed_end - packed_start), output, CAPACITY);
}
#endif

void bench_entry(void);
extern uint32_t _bss_start[], _bss_end[];

void bench_entry(void) {
  for (uint32_t* word = _bss_start; word < _bss_end; ++word) *word = 0;
  int32_t size = 0;
  for (int round = 0; round < ROUNDS; ++round) size = decode();
  sim_exit(size != (int32_t)expected_size ||
           crc32_update(0, output, expected_size) != expected_crc);
}
