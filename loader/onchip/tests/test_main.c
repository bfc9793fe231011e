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
static uint8_t request_body[OC_HEADER_SIZE + OC_MAX_DATA + 8] __attribute__((section(".ext_bss")));

/* Queues one request, SLIP-framed, with its check over all its bytes (off by one when Bad);
 * Length counts the data only. */
static void request_checked(uint8_t command, const uint8_t* data, uint32_t length, int bad) {
  uint8_t* body = request_body;
  body[0] = OC_REQUEST;
  body[1] = command;
  body[2] = (uint8_t)length;
  body[3] = (uint8_t)(length >> 8);
  for (uint32_t i = 0; i < length; ++i) body[OC_HEADER_SIZE + i] = data[i];
  put32(body + 4, (crc32_update(crc32_update(0, body, 4), data, length)) ^ (bad ? 1u : 0u));
  uint32_t at = 0;
  request_bytes[at++] = 0xC0;
  for (uint32_t i = 0; i < OC_HEADER_SIZE + length; ++i) {
    const uint8_t byte = body[i];
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

static void request(uint8_t command, const uint8_t* data, uint32_t length) {
  request_checked(command, data, length, 0);
}

static uint8_t begin_data[8 + 4 * VECTOR_SECTORS] __attribute__((section(".ext_bss")));

/* BEGIN for Size bytes at Offset, with the image's sector CRCs when Crcs. */
static void begin_with(uint32_t offset, uint32_t size, int crcs) {
  put32(begin_data, offset);
  put32(begin_data + 4, size);
  for (uint32_t i = 0; crcs && i < VECTOR_SECTORS; ++i) put32(begin_data + 8 + 4 * i, vector_crcs[i]);
  request(OC_BEGIN, begin_data, crcs ? sizeof begin_data : 8);
}

static void begin(uint32_t offset, uint32_t size) { begin_with(offset, size, 0); }

static uint8_t block[4 + OC_MAX_DATA] __attribute__((section(".ext_bss")));

/* A DATA request for Length bytes of Packed from At; Damage flips one bit first, a bad check
 * is off by one. */
static void data_of(const uint8_t* packed, uint32_t sequence, uint32_t at, uint32_t length,
                    int bad_check, uint32_t damage_at) {
  put32(block, sequence);
  for (uint32_t i = 0; i < length; ++i)
    block[4 + i] = packed[at + i] ^ (i + 1 == damage_at ? 0x10 : 0);
  request_checked(OC_DATA, block, 4 + length, bad_check);
}

static void data_block(uint32_t sequence, uint32_t at, uint32_t length, int bad_check,
                       uint32_t damage_at) {
  data_of(vector_packed, sequence, at, length, bad_check, damage_at);
}

/* Queues Size bytes of Packed in blocks from sequence First on, except the last when Skip_last. */
static uint32_t stream_blocks(const uint8_t* packed, uint32_t size, uint32_t first,
                              uint32_t skip_last, uint32_t damage_at) {
  uint32_t sequence = first;
  for (uint32_t at = first * OC_MAX_DATA; at < size; at += OC_MAX_DATA) {
    const uint32_t left = size - at;
    if (skip_last && left <= OC_MAX_DATA) break;
    data_of(packed, sequence++, at, left < OC_MAX_DATA ? left : OC_MAX_DATA, 0, damage_at);
    damage_at = 0;
  }
  return sequence;
}

static uint32_t data_blocks(uint32_t first, uint32_t skip_last, uint32_t damage_at) {
  return stream_blocks(vector_packed, VECTOR_PACKED_SIZE, first, skip_last, damage_at);
}

struct reply {
  uint8_t command, status, error;
  uint32_t value;
  uint32_t answer_length, answer_crc; /* the bytes before the status bytes */
  uint8_t answer[12 + 128];
};

static uint8_t reply_frame[OC_HEADER_SIZE + OC_MAX_READ + 2] __attribute__((section(".ext_bss")));

/* The replies the program sent, decoded; returns how many. */
static uint32_t replies(struct reply* out, uint32_t capacity) {
  const uint8_t* frame = reply_frame;
  struct slip_rx rx;
  uint32_t count = 0;
  slip_rx_start(&rx, reply_frame, sizeof reply_frame);
  for (uint32_t i = 0; i < fake.out_length; ++i) {
    if (!slip_rx_take(&rx, fake.out[i]) || count == capacity) continue;
    const uint32_t length = rx.length >= 10 ? rx.length - 10 : 0;
    const int well_formed = rx.length >= 10 && frame[0] == OC_REPLY &&
                            (uint32_t)(frame[2] | frame[3] << 8) == length + 2;
    struct reply* got = &out[count++];
    got->command = well_formed ? frame[1] : 0xFF;
    got->value = get32(frame + 4);
    got->status = frame[8 + length];
    got->error = frame[9 + length];
    got->answer_length = length;
    got->answer_crc = crc32_update(0, frame + 8, length);
    for (uint32_t k = 0; k < length && k < sizeof got->answer; ++k) got->answer[k] = frame[8 + k];
  }
  return count;
}

/* The chip the next run meets: its times, and the window its host keeps. */
static struct {
  uint32_t window, worst_case, stuck;
} chip;

static void run(uint32_t line_rate, void (*queue_requests)(void)) {
  fake_reset(line_rate);
  fake.window = chip.window;
  fake.worst_case = chip.worst_case;
  fake.stuck = chip.stuck;
  queue_requests();
  loader_init();
  loader_serve();
}

static int all_bytes(uint32_t from, uint32_t to, uint8_t value) {
  for (uint32_t i = from; i < to; ++i)
    if (fake_flash[i] != value) return 0;
  return 1;
}

static struct reply last_reply(void) {
  struct reply got[64];
  const uint32_t count = replies(got, 64);
  return got[count ? count - 1 : 0];
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
  request(OC_FINISH, 0, 0);
  request(OC_PING, 0, 0);
}

static void check_whole_image_flashed(void) {
  CHECK(crc32_update(0, fake_flash + IMAGE_OFFSET, VECTOR_SIZE) == VECTOR_CRC);
  CHECK(all_bytes(0, IMAGE_OFFSET, 0x00));
  CHECK(all_bytes(IMAGE_OFFSET + VECTOR_SIZE, IMAGE_END_OF_SECTORS, 0xFF));
  CHECK(all_bytes(IMAGE_END_OF_SECTORS, FAKE_FLASH_SIZE, 0x00));
  CHECK(fake.block_erases == 2 && fake.sector_erases == 6 && fake.prepared == 1);
  CHECK(fake.lost == 0 && fake.while_busy == 0);
}

static void print_time(const char* what) {
  print(current_case);
  print(": ");
  print(what);
  print(", ");
  print_number(fake.now / 10000u);
  print(" ms on a simulated chip at 921600 bit/s\n");
}

/* The host keeps the room BEGIN gives: bytes go on arriving while the chip erases and programs,
 * and none is lost, on a typical chip and on one that takes its worst times. */
static void whole_image(void) {
  current_case = "whole_image";
  for (uint32_t worst = 0; worst <= 1; ++worst) {
    preset_flash();
    chip.window = OC_ROOM;
    chip.worst_case = worst;
    run(921600, queue_whole_image);
    const uint32_t blocks = (VECTOR_PACKED_SIZE + OC_MAX_DATA - 1) / OC_MAX_DATA;
    struct reply got[64];
    const uint32_t count = replies(got, 64);
    CHECK(count == 1 + 1 + 2 + blocks + 2);
    CHECK(got[0].command == OC_PING && got[0].value == OC_MAGIC && got[0].status == 0);
    CHECK(got[1].command == OC_BEGIN && got[1].status == 0 && got[1].value == 38);
    CHECK(got[1].answer_length == 12 && get32(got[1].answer) == IMAGE_OFFSET &&
          get32(got[1].answer + 4) == VECTOR_SIZE && get32(got[1].answer + 8) == OC_ROOM);
    CHECK(got[2].command == OC_DATA && got[2].status == 1 && got[2].error == OC_ERR_CHECKSUM);
    CHECK(got[3].command == OC_DATA && got[3].status == 0 && got[3].value == 0);
    CHECK(got[4].command == OC_DATA && got[4].status == 1 && got[4].error == OC_ERR_INVALID);
    for (uint32_t i = 1; i < blocks && 4 + i < count; ++i)
      CHECK(got[4 + i].command == OC_DATA && got[4 + i].status == 0 && got[4 + i].value == i);
    const struct reply* finish = &got[count - 2];
    CHECK(finish->command == OC_FINISH && finish->status == 0 && finish->value == VECTOR_CRC);
    CHECK(finish->answer_length == 8 && get32(finish->answer) == IMAGE_OFFSET &&
          get32(finish->answer + 4) == VECTOR_SIZE);
    CHECK(got[count - 1].command == OC_PING && got[count - 1].status == 0);
    check_whole_image_flashed();
    CHECK(fake.arrived_while_busy > 4 * OC_MAX_DATA);
    print_time(worst ? "worst-case chip" : "typical chip");
  }
  chip.worst_case = 0;
}

/* A host that sends more than the room lets overrun the receive FIFO while the chip is busy:
 * bytes are lost, and the run fails instead of writing a damaged image. */
static void a_host_past_the_room_loses_bytes(void) {
  current_case = "a_host_past_the_room_loses_bytes";
  preset_flash();
  chip.window = OC_ROOM + 3;
  chip.worst_case = 1;
  run(921600, queue_whole_image);
  CHECK(fake.lost > 0);
  const struct reply finish = last_reply();
  CHECK(finish.command != OC_FINISH || finish.status == 1 || finish.value != VECTOR_CRC);
  chip.window = OC_ROOM;
  chip.worst_case = 0;
}

static void queue_reflash(void) {
  begin_with(IMAGE_OFFSET, VECTOR_SIZE, 1);
  stream_blocks(vector_partial_packed, VECTOR_PARTIAL_PACKED_SIZE, 0, 0, 0);
  request(OC_FINISH, 0, 0);
}

/* A module that holds the image but for three sectors: only those are erased and written, the
 * stream holds only their bytes, and the digest covers the whole image. */
static void unchanged_sectors_are_skipped(void) {
  current_case = "unchanged_sectors_are_skipped";
  preset_flash();
  chip.window = OC_ROOM;
  run(921600, queue_whole_image);
  const uint32_t whole_ms = fake.now / 10000u;
  for (uint32_t i = 0; i < 3; ++i) fake_flash[IMAGE_OFFSET + vector_changed[i] * 4096u + 100u] ^= 0x5A;
  run(921600, queue_reflash);
  struct reply got[16];
  const uint32_t count = replies(got, 16);
  CHECK(count >= 3 && got[1].command == OC_BEGIN && got[1].status == 0 && got[1].value == 3);
  CHECK(got[1].answer_length == 12 + (VECTOR_SECTORS + 7) / 8);
  for (uint32_t sector = 0; sector < VECTOR_SECTORS; ++sector) {
    const int changed = sector == vector_changed[0] || sector == vector_changed[1] ||
                        sector == vector_changed[2];
    CHECK((got[1].answer[12 + sector / 8] >> (sector % 8) & 1) == !changed);
  }
  const struct reply finish = last_reply();
  CHECK(finish.command == OC_FINISH && finish.status == 0 && finish.value == VECTOR_CRC);
  CHECK(crc32_update(0, fake_flash + IMAGE_OFFSET, VECTOR_SIZE) == VECTOR_CRC);
  CHECK(fake.sector_erases == 3 && fake.block_erases == 0 && fake.while_busy == 0);
  CHECK(fake.now / 10000u < whole_ms / 4);
  print_time("three sectors of 38 rewritten");
}

/* A chip that never ends an erase: the run ends with an error instead of waiting for ever. */
static void a_chip_busy_too_long_fails_the_run(void) {
  current_case = "a_chip_busy_too_long_fails_the_run";
  chip.stuck = 1;
  run(921600, queue_whole_image);
  chip.stuck = 0;
  const struct reply finish = last_reply();
  struct reply got[64];
  const uint32_t count = replies(got, 64);
  CHECK(count > 3 && got[count - 2].command == OC_FINISH && got[count - 2].status == 1 &&
        got[count - 2].error == OC_ERR_BUSY);
  CHECK(finish.command == OC_PING);
}

static void queue_damaged_stream(void) {
  begin(0, VECTOR_SIZE);
  data_blocks(0, 0, 1500);
  request(OC_FINISH, 0, 0);
}

static void queue_truncated_stream(void) {
  begin(0, VECTOR_SIZE);
  data_blocks(0, 1, 0);
  request(OC_FINISH, 0, 0);
}

static void queue_image_longer_than_announced(void) {
  begin(0, VECTOR_SIZE - 4096);
  data_blocks(0, 0, 0);
  request(OC_FINISH, 0, 0);
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
  request(OC_FINISH, 0, 0);
  loader_init();
  loader_serve();
  finish = last_reply();
  CHECK(finish.command == OC_FINISH && finish.status == 1 && finish.error == OC_ERR_FLASH);
  CHECK(fake.writes == 10);
}

static void queue_invalid_requests(void) {
  data_block(0, 0, 16, 0, 0); /* DATA before BEGIN */
  begin(0x1000 + 4, 100);     /* an offset inside a sector */
  request(0x42, 0, 0);        /* an unknown command */
  request(OC_FINISH, 0, 0);   /* FINISH without BEGIN */
  static const uint8_t short_frame[] = {0xC0, 0x00, 0xD0, 0xC0};
  fake_queue(short_frame, sizeof short_frame);
  uint8_t wrong_length[] = {0xC0, 0x00, OC_PING, 0x05, 0x00, 0, 0, 0, 0, 0xC0};
  fake_queue(wrong_length, sizeof wrong_length);
  request(OC_PING, 0, 0);
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
  request(OC_RATE, rates, 8); /* no rate: refused */
  put32(rates, 921600);
  request(OC_RATE, rates, 8);
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

static void range_request(uint8_t command, uint32_t offset, uint32_t size) {
  uint8_t data[8];
  put32(data, offset);
  put32(data + 4, size);
  request(command, data, 8);
}

static void queue_workbench_requests(void) {
  request(OC_CHIP_ID, 0, 0);
  range_request(OC_DIGEST, 0x1000, 10000);
  range_request(OC_READ, 0x2000, OC_MAX_READ);
  range_request(OC_READ, 0x3004, 100);
  range_request(OC_READ, 0xFF000, 8192);         /* past the chip: refused */
  range_request(OC_READ, 0x1000, 0);             /* nothing to read: refused */
  range_request(OC_READ, 0x1002, 16);            /* off a word: refused */
  range_request(OC_ERASE, 0x5000, 0x3000);       /* three sectors */
  range_request(OC_ERASE, 0x20000, 0x11000);     /* a 64 KiB block and a sector */
  range_request(OC_ERASE, 0x6800, 0x1000);       /* off a sector: refused */
  range_request(OC_ERASE, 0xF0000, 0x20000);     /* past the chip: refused */
  range_request(OC_DIGEST, 0xFFFFF000u, 0x2000); /* wraps around: refused */
  request(OC_ERASE_CHIP, 0, 0);
}

static void pattern_flash(void) {
  for (uint32_t i = 0; i < FAKE_FLASH_SIZE; ++i) fake_flash[i] = (uint8_t)(i * 7u + (i >> 9));
}

static void workbench_requests(void) {
  current_case = "workbench_requests";
  pattern_flash();
  fake_reset(921600);
  queue_workbench_requests();
  loader_init();
  const uint32_t digest = crc32_update(0, fake_flash + 0x1000, 10000);
  const uint32_t first_read = crc32_update(0, fake_flash + 0x2000, OC_MAX_READ);
  const uint32_t second_read = crc32_update(0, fake_flash + 0x3004, 100);
  loader_serve();
  struct reply got[16];
  CHECK(replies(got, 16) == 14);
  CHECK(got[1].command == OC_CHIP_ID && got[1].status == 0 && got[1].value == FAKE_CHIP_ID);
  CHECK(got[2].command == OC_DIGEST && got[2].status == 0 && got[2].value == digest);
  CHECK(got[3].command == OC_READ && got[3].status == 0 && got[3].value == 0x2000);
  CHECK(got[3].answer_length == OC_MAX_READ && got[3].answer_crc == first_read);
  CHECK(got[4].answer_length == 100 && got[4].answer_crc == second_read);
  for (uint32_t i = 5; i <= 7; ++i)
    CHECK(got[i].command == OC_READ && got[i].status == 1 && got[i].error == OC_ERR_INVALID);
  CHECK(got[8].command == OC_ERASE && got[8].status == 0 && got[8].value == 3);
  CHECK(got[9].command == OC_ERASE && got[9].status == 0 && got[9].value == 17);
  CHECK(got[10].status == 1 && got[10].error == OC_ERR_INVALID);
  CHECK(got[11].status == 1 && got[11].error == OC_ERR_INVALID);
  CHECK(got[12].command == OC_DIGEST && got[12].status == 1);
  CHECK(fake.block_erases == 1 && fake.sector_erases == 4 && fake.lost == 0);
  CHECK(got[13].command == OC_ERASE_CHIP && got[13].status == 0 && fake.chip_erases == 1);
  CHECK(all_bytes(0, FAKE_FLASH_SIZE, 0xFF));
}

static void exact_erase_keeps_the_neighbours(void) {
  current_case = "exact_erase_keeps_the_neighbours";
  pattern_flash();
  fake_reset(921600);
  range_request(OC_ERASE, 0x5000, 0x3000);
  loader_init();
  loader_serve();
  CHECK(all_bytes(0x5000, 0x8000, 0xFF));
  CHECK(fake_flash[0x4FFF] == (uint8_t)(0x4FFFu * 7u + (0x4FFFu >> 9)));
  CHECK(fake_flash[0x8000] == (uint8_t)(0x8000u * 7u + (0x8000u >> 9)));
}

static void queue_reads(uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) range_request(OC_READ, i * OC_MAX_READ, OC_MAX_READ);
}

/* The tool keeps three READs out: the two waiting fit the receive FIFO while a reply goes out. A
 * window of twelve does not. */
static void reads_with_three_out(void) {
  current_case = "reads_with_three_out";
  pattern_flash();
  fake_reset(921600);
  fake.window = 3;
  queue_reads(8);
  loader_init();
  loader_serve();
  struct reply got[16];
  CHECK(replies(got, 16) == 9);
  for (uint32_t i = 1; i < 9; ++i)
    CHECK(got[i].command == OC_READ && got[i].status == 0 &&
          got[i].value == (i - 1) * OC_MAX_READ &&
          got[i].answer_crc == crc32_update(0, fake_flash + (i - 1) * OC_MAX_READ, OC_MAX_READ));
  CHECK(fake.lost == 0);
  fake_reset(921600);
  fake.window = 12;
  queue_reads(12);
  loader_init();
  loader_serve();
  CHECK(fake.lost > 0);
}

/* A PING soon after the switch keeps the new rate; a host that went back to the old rate after
 * its PING found no answer is heard again once the program gave the new rate up. */
static uint32_t ping_delay;
static void queue_rate_then_ping(void) {
  uint8_t rates[8];
  put32(rates, 2000000);
  put32(rates + 4, 576000);
  request(OC_RATE, rates, 8);
  fake_delay_next(ping_delay);
  request(OC_PING, 0, 0);
  request(OC_PING, 0, 0);
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
  a_host_past_the_room_loses_bytes();
  unchanged_sectors_are_skipped();
  a_chip_busy_too_long_fails_the_run();
  broken_streams_fail_the_finish();
  invalid_requests_are_refused();
  rate_change_follows_the_roms_divisor();
  workbench_requests();
  exact_erase_keeps_the_neighbours();
  reads_with_three_out();
  unconfirmed_rate_is_given_up();
  print(failures ? "FAILED\n" : "all passed\n");
  sim_exit(failures);
}
