/* The loader program's own logic on the real instruction set, in the emulator: the frame parser,
 * inflate, the block loop with the receive FIFO's limits, the exact erase, the digest and the rate
 * change, against the fake flash and UART. Prints one line per failed check; the exit status is
 * the number of failures. */

#include "digest.h"
#include "fake_rom.h"
#include "loader.h"
#include "protocol.h"
#include "slip.h"

#include <stdint.h>

#include "vector.h"

/* ---- output through the emulator's semihosting ---- */

static void sim_write(const char* text, uint32_t length) {
  register uint32_t a2 __asm__("a2") = 4, a3 __asm__("a3") = 1;
  register const char* a4 __asm__("a4") = text;
  register uint32_t a5 __asm__("a5") = length;
  __asm__ volatile("simcall" : "+r"(a2) : "r"(a3), "r"(a4), "r"(a5) : "memory");
}

static void sim_exit(uint32_t status) {
  register uint32_t a2 __asm__("a2") = 1, a3 __asm__("a3") = status;
  __asm__ volatile("simcall" : : "r"(a2), "r"(a3));
}

static void print(const char* text) {
  uint32_t length = 0;
  while (text[length]) ++length;
  sim_write(text, length);
}

static void print_number(uint32_t value) {
  char digits[11];
  int at = 10;
  digits[at] = 0;
  do digits[--at] = (char)('0' + value % 10);
  while (value /= 10);
  print(digits + at);
}

static uint32_t failures;
static const char* current_case;

#define CHECK(condition) check((condition), #condition, __LINE__)
static void check(int passed, const char* what, int line) {
  if (passed) return;
  ++failures;
  print(current_case);
  print(": line ");
  print_number((uint32_t)line);
  print(": ");
  print(what);
  print("\n");
}

/* ---- the host's side ---- */

static void put32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = (uint8_t)(value >> (8 * i));
}

static uint32_t get32(const uint8_t* at) {
  return (uint32_t)at[0] | (uint32_t)at[1] << 8 | (uint32_t)at[2] << 16 | (uint32_t)at[3] << 24;
}

static uint8_t request_bytes[2 * (OC_MAX_DATA + 32)] __attribute__((section(".ext_bss")));

/* Queues one request, SLIP-framed; Length counts the data only. */
static void request(uint8_t command, const uint8_t* data, uint32_t length, uint32_t checksum) {
  uint8_t header[OC_HEADER_SIZE] = {OC_REQUEST, command, (uint8_t)length, (uint8_t)(length >> 8)};
  put32(header + 4, checksum);
  uint32_t at = 0;
  request_bytes[at++] = 0xC0;
  for (uint32_t i = 0; i < OC_HEADER_SIZE + length; ++i) {
    const uint8_t byte = i < OC_HEADER_SIZE ? header[i] : data[i - OC_HEADER_SIZE];
    if (byte == 0xC0 || byte == 0xDB) {
      request_bytes[at++] = 0xDB;
      request_bytes[at++] = byte == 0xC0 ? 0xDC : 0xDD;
    } else {
      request_bytes[at++] = byte;
    }
  }
  request_bytes[at++] = 0xC0;
  fake_queue(request_bytes, at);
}

static void begin(uint32_t offset, uint32_t size) {
  uint8_t data[8];
  put32(data, offset);
  put32(data + 4, size);
  request(OC_BEGIN, data, 8, 0);
}

static uint8_t block[4 + OC_MAX_DATA] __attribute__((section(".ext_bss")));

/* A DATA request for Length bytes of the packed image from At; Damage flips one bit first. */
static void data_block(uint32_t sequence, uint32_t at, uint32_t length, int bad_checksum,
                       uint32_t damage_at) {
  put32(block, sequence);
  uint8_t sum = 0xEF;
  for (uint32_t i = 0; i < length; ++i) {
    block[4 + i] = vector_packed[at + i] ^ (i + 1 == damage_at ? 0x10 : 0);
    sum ^= block[4 + i];
  }
  request(OC_DATA, block, 4 + length, bad_checksum ? sum ^ 1u : sum);
}

/* Queues the packed image's blocks from sequence First on, except those from Skip on. */
static uint32_t data_blocks(uint32_t first, uint32_t skip_last, uint32_t damage_at) {
  uint32_t sequence = first;
  for (uint32_t at = first * OC_MAX_DATA; at < VECTOR_PACKED_SIZE; at += OC_MAX_DATA) {
    const uint32_t left = VECTOR_PACKED_SIZE - at;
    if (skip_last && left <= OC_MAX_DATA) break;
    data_block(sequence++, at, left < OC_MAX_DATA ? left : OC_MAX_DATA, 0, damage_at);
    damage_at = 0;
  }
  return sequence;
}

struct reply {
  uint8_t command, status, error;
  uint32_t value;
};

/* The replies the program sent, decoded; returns how many. */
static uint32_t replies(struct reply* out, uint32_t capacity) {
  uint8_t frame[16];
  struct slip_rx rx;
  uint32_t count = 0;
  slip_rx_start(&rx, frame, sizeof frame);
  for (uint32_t i = 0; i < fake.out_length; ++i) {
    if (!slip_rx_take(&rx, fake.out[i]) || count == capacity) continue;
    const int well_formed = rx.length == 10 && frame[0] == OC_REPLY && frame[2] == 2;
    out[count].command = well_formed ? frame[1] : 0xFF;
    out[count].value = get32(frame + 4);
    out[count].status = frame[8];
    out[count].error = frame[9];
    ++count;
  }
  return count;
}

static void run(uint32_t line_rate, void (*queue_requests)(void)) {
  fake_reset(line_rate);
  queue_requests();
  loader_init();
  loader_serve();
}

static int all_bytes(uint32_t from, uint32_t to, uint8_t value) {
  for (uint32_t i = from; i < to; ++i)
    if (fake_flash[i] != value) return 0;
  return 1;
}

static void preset_flash(void) {
  for (uint32_t i = 0; i < FAKE_FLASH_SIZE; ++i) fake_flash[i] = 0x00;
}

/* ---- cases ---- */

static void slip_receiver(void) {
  current_case = "slip_receiver";
  uint8_t buffer[8];
  struct slip_rx rx;
  slip_rx_start(&rx, buffer, sizeof buffer);
  static const uint8_t line_bytes[] = {
      0x41, 0x42, 0xDB, 0xC0,                                  /* noise, then an opening byte */
      0x01, 0xDB, 0xDC, 0xDB, 0xDD, 0x02, 0xC0,                /* 01 C0 DB 02 */
      0xC0, 0x07, 0xDB, 0x00, 0x08, 0xC0,                      /* a bad escape: dropped */
      0xC0, 1,    2,    3,    4,    5,    6,    7, 8, 9, 0xC0, /* longer than the buffer: dropped */
      0xC0, 0xC0, 0x33, 0xC0};                                 /* two frame bytes open one frame */
  uint32_t frames = 0;
  for (uint32_t i = 0; i < sizeof line_bytes; ++i) {
    if (!slip_rx_take(&rx, line_bytes[i])) continue;
    ++frames;
    if (frames == 1)
      CHECK(rx.length == 4 && buffer[0] == 0x01 && buffer[1] == 0xC0 && buffer[2] == 0xDB &&
            buffer[3] == 0x02);
    if (frames == 2) CHECK(rx.length == 1 && buffer[0] == 0x33);
    slip_rx_start(&rx, buffer, sizeof buffer);
    rx.in_frame = 0;
  }
  CHECK(frames == 2);
}

static void digest_is_zlibs_crc32(void) {
  current_case = "digest_is_zlibs_crc32";
  static const uint8_t text[] = "123456789";
  CHECK(crc32_update(0, text, 9) == 0xCBF43926u);
  CHECK(crc32_update(crc32_update(0, text, 4), text + 4, 5) == 0xCBF43926u);
}

#define IMAGE_OFFSET 0x3E000u /* sector 62: two sectors, two 64 KiB blocks, four sectors */
#define IMAGE_END_OF_SECTORS (IMAGE_OFFSET + 38u * 4096u)

static void queue_whole_image(void) {
  begin(IMAGE_OFFSET, VECTOR_SIZE);
  data_block(0, 0, OC_MAX_DATA, 1, 0);           /* a checksum that does not match: refused */
  data_block(0, 0, OC_MAX_DATA, 0, 0);           /* the same block again: taken */
  data_block(2, OC_MAX_DATA, OC_MAX_DATA, 0, 0); /* a sequence number skipped: refused */
  data_blocks(1, 0, 0);
  request(OC_FINISH, 0, 0, 0);
  request(OC_PING, 0, 0, 0);
}

static void whole_image(void) {
  current_case = "whole_image";
  preset_flash();
  run(921600, queue_whole_image);
  const uint32_t blocks = (VECTOR_PACKED_SIZE + OC_MAX_DATA - 1) / OC_MAX_DATA;
  struct reply got[64];
  const uint32_t count = replies(got, 64);
  CHECK(count == 1 + 1 + 2 + blocks + 2);
  CHECK(got[0].command == OC_PING && got[0].value == OC_MAGIC && got[0].status == 0);
  CHECK(got[1].command == OC_BEGIN && got[1].status == 0 && got[1].value == 38);
  CHECK(got[2].command == OC_DATA && got[2].status == 1 && got[2].error == OC_ERR_CHECKSUM);
  CHECK(got[3].command == OC_DATA && got[3].status == 0 && got[3].value == 0);
  CHECK(got[4].command == OC_DATA && got[4].status == 1 && got[4].error == OC_ERR_INVALID);
  for (uint32_t i = 1; i < blocks && 4 + i < count; ++i)
    CHECK(got[4 + i].command == OC_DATA && got[4 + i].status == 0 && got[4 + i].value == i);
  const struct reply* finish = &got[count - 2];
  CHECK(finish->command == OC_FINISH && finish->status == 0 && finish->value == VECTOR_CRC);
  CHECK(got[count - 1].command == OC_PING && got[count - 1].status == 0);

  CHECK(crc32_update(0, fake_flash + IMAGE_OFFSET, VECTOR_SIZE) == VECTOR_CRC);
  CHECK(all_bytes(0, IMAGE_OFFSET, 0x00));
  CHECK(all_bytes(IMAGE_OFFSET + VECTOR_SIZE, IMAGE_END_OF_SECTORS, 0xFF));
  CHECK(all_bytes(IMAGE_END_OF_SECTORS, FAKE_FLASH_SIZE, 0x00));
  CHECK(fake.block_erases == 2 && fake.sector_erases == 6 && fake.prepared == 1);
  CHECK(fake.lost == 0);
  print("whole_image: ");
  print_number(VECTOR_PACKED_SIZE);
  print(" bytes packed into ");
  print_number(VECTOR_SIZE);
  print(", ");
  print_number(fake.now / 10000u);
  print(" ms on a simulated chip at 921600 bit/s\n");
}

static void queue_damaged_stream(void) {
  begin(0, VECTOR_SIZE);
  data_blocks(0, 0, 1500);
  request(OC_FINISH, 0, 0, 0);
}

static void queue_truncated_stream(void) {
  begin(0, VECTOR_SIZE);
  data_blocks(0, 1, 0);
  request(OC_FINISH, 0, 0, 0);
}

static void queue_image_longer_than_announced(void) {
  begin(0, VECTOR_SIZE - 4096);
  data_blocks(0, 0, 0);
  request(OC_FINISH, 0, 0, 0);
}

static struct reply last_reply(void) {
  struct reply got[64];
  const uint32_t count = replies(got, 64);
  return got[count ? count - 1 : 0];
}

static void broken_streams_fail_the_finish(void) {
  current_case = "broken_streams_fail_the_finish";
  run(921600, queue_damaged_stream);
  struct reply finish = last_reply();
  CHECK(finish.command == OC_FINISH && (finish.status == 1 || finish.value != VECTOR_CRC));
  run(921600, queue_truncated_stream);
  finish = last_reply();
  CHECK(finish.command == OC_FINISH && finish.status == 1 && finish.error == OC_ERR_STREAM);
  run(921600, queue_image_longer_than_announced);
  finish = last_reply();
  CHECK(finish.command == OC_FINISH && finish.status == 1 && finish.error == OC_ERR_STREAM);
  fake_reset(921600);
  fake.write_failures_after = 10;
  begin(0, VECTOR_SIZE);
  data_blocks(0, 0, 0);
  request(OC_FINISH, 0, 0, 0);
  loader_init();
  loader_serve();
  finish = last_reply();
  CHECK(finish.command == OC_FINISH && finish.status == 1 && finish.error == OC_ERR_FLASH);
  CHECK(fake.writes == 10);
}

static void queue_invalid_requests(void) {
  data_block(0, 0, 16, 0, 0);  /* DATA before BEGIN */
  begin(0x1000 + 4, 100);      /* an offset inside a sector */
  request(0x42, 0, 0, 0);      /* an unknown command */
  request(OC_FINISH, 0, 0, 0); /* FINISH without BEGIN */
  static const uint8_t short_frame[] = {0xC0, 0x00, 0xD0, 0xC0};
  fake_queue(short_frame, sizeof short_frame);
  uint8_t wrong_length[] = {0xC0, 0x00, OC_PING, 0x05, 0x00, 0, 0, 0, 0, 0xC0};
  fake_queue(wrong_length, sizeof wrong_length);
  request(OC_PING, 0, 0, 0);
}

static void invalid_requests_are_refused(void) {
  current_case = "invalid_requests_are_refused";
  run(115200, queue_invalid_requests);
  struct reply got[16];
  CHECK(replies(got, 16) == 8);
  const uint8_t commands[] = {OC_DATA, OC_BEGIN, 0x42, OC_FINISH, 0x00, OC_PING};
  for (uint32_t i = 0; i < sizeof commands; ++i)
    CHECK(got[1 + i].command == commands[i] && got[1 + i].status == 1 &&
          got[1 + i].error == OC_ERR_INVALID);
  CHECK(got[7].command == OC_PING && got[7].status == 0 && got[7].error == OC_ERR_INVALID);
  CHECK(fake.prepared == 0);
}

static void queue_rate_changes(void) {
  uint8_t rates[8];
  put32(rates, 0);
  put32(rates + 4, 576000);
  request(OC_RATE, rates, 8, 0); /* no rate: refused */
  put32(rates, 921600);
  request(OC_RATE, rates, 8, 0);
}

static void rate_change_follows_the_roms_divisor(void) {
  current_case = "rate_change_follows_the_roms_divisor";
  fake.divisor = 139; /* what an 80 MHz clock gives for 576000 bit/s */
  run(576000, queue_rate_changes);
  struct reply got[4];
  CHECK(replies(got, 4) == 3);
  CHECK(got[1].command == OC_RATE && got[1].status == 1 && got[1].error == OC_ERR_INVALID);
  CHECK(got[2].command == OC_RATE && got[2].status == 0 && got[2].value == 87);
  CHECK(fake.divisor == 87 && fake.divisor_sets == 1);
  CHECK(fake.drained_at == fake.out_length && fake.divisor_set_at == fake.out_length);
  fake.divisor = 90; /* a 52 MHz clock */
  run(576000, queue_rate_changes);
  CHECK(fake.divisor == 56);
}

/* A PING soon after the switch keeps the new rate; a host that went back to the old rate after
 * its PING found no answer is heard again once the program gave the new rate up. */
static uint32_t ping_delay;
static void queue_rate_then_ping(void) {
  uint8_t rates[8];
  put32(rates, 2000000);
  put32(rates + 4, 576000);
  request(OC_RATE, rates, 8, 0);
  fake_delay_next(ping_delay);
  request(OC_PING, 0, 0, 0);
  request(OC_PING, 0, 0, 0);
}

static void unconfirmed_rate_is_given_up(void) {
  current_case = "unconfirmed_rate_is_given_up";
  struct reply got[4];
  fake.divisor = 139;
  ping_delay = 1000000u; /* 100 ms */
  run(576000, queue_rate_then_ping);
  CHECK(replies(got, 4) == 4 && got[1].command == OC_RATE && got[1].value == 40);
  CHECK(got[2].command == OC_PING && got[3].command == OC_PING);
  CHECK(fake.divisor == 40 && fake.divisor_sets == 1);
  fake.divisor = 139;
  ping_delay = 6000000u; /* 600 ms: past the wait for the PING */
  run(576000, queue_rate_then_ping);
  CHECK(replies(got, 4) == 4 && got[2].command == OC_PING && got[2].status == 0);
  CHECK(fake.divisor == 139 && fake.divisor_sets == 2);
}

void test_entry(void);
extern uint32_t _bss_start[], _bss_end[];

void test_entry(void) {
  for (uint32_t* word = _bss_start; word < _bss_end; ++word) *word = 0;
  slip_receiver();
  digest_is_zlibs_crc32();
  whole_image();
  broken_streams_fail_the_finish();
  invalid_requests_are_refused();
  rate_change_follows_the_roms_divisor();
  unconfirmed_rate_is_given_up();
  print(failures ? "FAILED\n" : "all passed\n");
  sim_exit(failures);
}
