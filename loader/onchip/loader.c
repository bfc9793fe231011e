/* Ferrule's loader program: the frames of protocol.h in, flash written, replies out.
 *
 * A real chip's receive FIFO holds 128 bytes, so the program never waits without reading it: the
 * flash chip is given its commands (erase, page program) and works on its own while the program
 * goes on moving bytes from the FIFO into frame buffers, and a DATA request is acknowledged as soon
 * as it is checked. The host keeps at most OC_ROOM DATA requests unanswered, so that there is
 * always a buffer free for what arrives; of READs it keeps three out, small requests that wait in
 * the FIFO while a reply goes out. Nothing is sent while ERASE or a whole-chip erase runs. */

#include "loader.h"

#include "digest.h"
#include "protocol.h"
#include "rom.h"
#include "slip.h"
#include "zlib.h"

#include <stdint.h>

#define PAGE_SIZE 256u
#define PROGRAM_CHUNK 64u /* bytes one page program command takes */
#define READ_CHUNK 1024u
#define FRAME_CAPACITY (OC_HEADER_SIZE + 4u + OC_MAX_DATA)
#define SLOTS (OC_ROOM + 1u) /* one frame handled, the others filled meanwhile */
#define MAX_SECTORS OC_MAX_SECTOR_CRCS
/* Longer than any chip's worst 64 KiB block erase: 4 s of a CPU at 80 MHz, the least it runs at. */
#define BUSY_LIMIT_CYCLES 320000000u
#define SLIP_END 0xC0
#define SLIP_ESC 0xDB

struct frame {
  uint32_t length;
  uint8_t bytes[FRAME_CAPACITY];
};

/* Frames in arrival order: `waiting` complete ones from `head` on, the one before `head` handled,
 * the one after the waiting ones filled while there is room. */
static struct frame frames[SLOTS];
static uint32_t head, waiting;
static int receiving;
static struct slip_rx rx;

static struct {
  uint32_t offset, size, end; /* end: the end of the image's last sector */
  uint32_t cursor;            /* where the next page goes */
  uint32_t erased_to;         /* the end of the last erase */
  uint32_t written, stream_size; /* stream bytes written, and those to come */
  uint32_t next_sequence;
  uint32_t page_fill;
  uint8_t begun, ended, skipping;
  uint8_t error; /* the first fault met while inflating or writing: reported by the next reply */
} session;
static uint8_t unchanged[(MAX_SECTORS + 7u) / 8u]; /* sectors that hold their bytes already */
static uint8_t last_error;
/* A rate change waiting for the PING that confirms it: the divisor before, and the cycles the
 * program waits for the PING before it goes back to that divisor. */
static struct {
  uint32_t divisor_before, start, cycles;
} unconfirmed;
static uint8_t page[PAGE_SIZE] __attribute__((aligned(4)));
static uint8_t readback[READ_CHUNK] __attribute__((aligned(4)));
static z_stream stream;

/* inflate's state and its 32 KiB window come from this arena, handed out once per program run. */
static uint8_t arena[8 * 1024 + 32 * 1024] __attribute__((aligned(8)));
static uint32_t arena_used;

static voidpf arena_alloc(voidpf opaque, uInt items, uInt size) {
  (void)opaque;
  const uint32_t bytes = ((uint32_t)items * size + 7u) & ~7u;
  if (bytes > sizeof arena - arena_used) return Z_NULL;
  void* block = arena + arena_used;
  arena_used += bytes;
  return block;
}

static void arena_free(voidpf opaque, voidpf address) { (void)opaque, (void)address; }

static uint32_t le16(const uint8_t* p) { return (uint32_t)p[0] | (uint32_t)p[1] << 8; }

static uint32_t le32(const uint8_t* p) { return le16(p) | le16(p + 2) << 16; }

static void put32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = (uint8_t)(value >> (8 * i));
}

static void send_escaped(uint8_t byte) {
  if (byte == SLIP_END || byte == SLIP_ESC) {
    uart_send(SLIP_ESC);
    byte = byte == SLIP_END ? 0xDC : 0xDD;
  }
  uart_send(byte);
}

static void send_all(const uint8_t* bytes, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i) send_escaped(bytes[i]);
}

/* A reply is its head, Length bytes of answer sent by the caller (escaped), then its tail. */
static void reply_head(uint8_t command, uint32_t value, uint32_t length) {
  uint8_t head[8] = {OC_REPLY, command, (uint8_t)(length + 2), (uint8_t)((length + 2) >> 8)};
  put32(head + 4, value);
  uart_send(SLIP_END);
  send_all(head, sizeof head);
}

static void reply_tail(uint8_t error) {
  if (error) last_error = error;
  send_escaped(error ? 1 : 0);
  send_escaped(last_error);
  uart_send(SLIP_END);
}

/* A reply with Length bytes of answer before its status bytes. */
static void reply_with(uint8_t command, uint32_t value, uint8_t error, const uint8_t* answer,
                       uint32_t length) {
  reply_head(command, value, length);
  send_all(answer, length);
  reply_tail(error);
}

static void reply(uint8_t command, uint32_t value, uint8_t error) {
  reply_with(command, value, error, 0, 0);
}

static void restart_receiver(void) {
  slip_rx_start(&rx, frames[(head + waiting) % SLOTS].bytes, FRAME_CAPACITY);
  receiving = 1;
}

/* Moves what the receive FIFO holds into the frame being filled. With every buffer taken it
 * reads nothing: the bytes wait in the FIFO (and are lost once it is full). */
static void pump(void) {
  uint8_t byte;
  while (receiving && uart_poll(&byte) == UART_BYTE) {
    if (!slip_rx_take(&rx, byte)) continue;
    frames[(head + waiting) % SLOTS].length = rx.length;
    ++waiting;
    receiving = waiting + 1 < SLOTS;
    if (receiving) restart_receiver();
  }
}

/* A host whose port cannot run the new rate cannot be heard at it, nor hear the program: once
 * no PING has come in time, the program goes back to the rate the host went back to. */
static void give_up_unconfirmed_rate(void) {
  if (!unconfirmed.divisor_before || cpu_cycles() - unconfirmed.start < unconfirmed.cycles) return;
  uart_set_divisor(unconfirmed.divisor_before);
  unconfirmed.divisor_before = 0;
  restart_receiver();
}

/* The next complete frame, or 0 once the input has ended. The frame handled before is done with,
 * so there is room again for the frame after the waiting ones. */
static struct frame* next_frame(void) {
  uint8_t byte;
  while (!waiting) {
    const int got = uart_poll(&byte);
    if (got == UART_ENDED) return 0;
    if (got == UART_BYTE && slip_rx_take(&rx, byte)) {
      frames[head].length = rx.length;
      waiting = 1;
      receiving = 0;
    } else {
      give_up_unconfirmed_rate();
    }
  }
  struct frame* frame = &frames[head];
  head = (head + 1) % SLOTS;
  --waiting;
  if (!receiving) restart_receiver();
  return frame;
}

/* Waits, reading the FIFO, until the chip has done its last command; 0 when it never does. */
static int wait_flash(void) {
  const uint32_t start = cpu_cycles();
  while (flash_busy()) {
    pump();
    if (cpu_cycles() - start > BUSY_LIMIT_CYCLES) return 0;
  }
  return 1;
}

static void fail_flash(uint8_t error) {
  if (!session.error) session.error = error;
}

static int sector_unchanged(uint32_t sector) {
  return session.skipping && (unchanged[sector / 8u] >> (sector % 8u) & 1u);
}

/* Past sectors that hold their bytes already, from a sector's start on. */
static void skip_unchanged(void) {
  while (session.cursor < session.end && session.cursor % OC_SECTOR_SIZE == 0 &&
         sector_unchanged((session.cursor - session.offset) / OC_SECTOR_SIZE))
    session.cursor += OC_SECTOR_SIZE;
}

/* Erases what the page at the cursor lies in, unless that is done: a whole 64 KiB block when the
 * cursor starts one and all of it is to be written, else its sector. */
static void erase_for_page(void) {
  const uint32_t at = session.cursor;
  if (at < session.erased_to) return;
  uint32_t block = at % (OC_BLOCK_SECTORS * OC_SECTOR_SIZE) == 0 &&
                   session.end - at >= OC_BLOCK_SECTORS * OC_SECTOR_SIZE;
  for (uint32_t i = 0; block && i < OC_BLOCK_SECTORS; ++i)
    block = !sector_unchanged((at - session.offset) / OC_SECTOR_SIZE + i);
  if (!wait_flash()) return fail_flash(OC_ERR_BUSY);
  const int refused = block ? flash_start_erase_block(at / (OC_BLOCK_SECTORS * OC_SECTOR_SIZE))
                            : flash_start_erase_sector(at / OC_SECTOR_SIZE);
  if (refused) return fail_flash(OC_ERR_FLASH);
  session.erased_to = at + (block ? OC_BLOCK_SECTORS : 1u) * OC_SECTOR_SIZE;
}

static void clear_page(void) {
  for (unsigned i = 0; i < PAGE_SIZE; ++i) page[i] = 0xFF;
  session.page_fill = 0;
}

/* Programs the page filled so far at the cursor, in commands of 64 bytes; a last, partial page
 * is padded with 0xFF to a multiple of 4. */
static void flush_page(void) {
  erase_for_page();
  const uint32_t length = (session.page_fill + 3u) & ~3u;
  for (uint32_t done = 0; done < length && !session.error; done += PROGRAM_CHUNK) {
    const uint32_t chunk = length - done < PROGRAM_CHUNK ? length - done : PROGRAM_CHUNK;
    if (!wait_flash()) return fail_flash(OC_ERR_BUSY);
    if (flash_start_program(session.cursor + done, page + done, chunk)) fail_flash(OC_ERR_FLASH);
  }
  session.written += session.page_fill;
  session.cursor += session.page_fill;
  clear_page();
  skip_unchanged();
}

/* Reads Size bytes of flash from Offset through the CRC, the FIFO read between chunks. */
static uint32_t digest(uint32_t offset, uint32_t size) {
  uint32_t crc = 0;
  if (!wait_flash()) fail_flash(OC_ERR_BUSY);
  for (uint32_t done = 0; done < size;) {
    const uint32_t chunk = size - done < READ_CHUNK ? size - done : READ_CHUNK;
    flash_read(offset + done, readback, (chunk + 3u) & ~3u);
    crc = crc32_update(crc, readback, chunk);
    done += chunk;
    pump();
  }
  return crc;
}

/* Marks the sectors whose bytes on the chip have the CRC given; returns the stream's size. */
static uint32_t compare_sectors(const uint8_t* crcs, uint32_t sectors) {
  uint32_t stream_size = 0;
  for (uint32_t i = 0; i < sectors; ++i) {
    const uint32_t left = session.size - i * OC_SECTOR_SIZE;
    const uint32_t bytes = left < OC_SECTOR_SIZE ? left : OC_SECTOR_SIZE;
    const int same = crcs && digest(session.offset + i * OC_SECTOR_SIZE, bytes) == le32(crcs + 4 * i);
    if (same)
      unchanged[i / 8u] |= (uint8_t)(1u << (i % 8u));
    else
      stream_size += bytes;
  }
  return stream_size;
}

static void begin(const uint8_t* data, uint32_t length) {
  session.begun = 0;
  const uint32_t offset = length >= 8 ? le32(data) : 0, size = length >= 8 ? le32(data + 4) : 0;
  const uint32_t sectors = size / OC_SECTOR_SIZE + (size % OC_SECTOR_SIZE != 0);
  const int crcs = length == 8 + 4 * sectors && sectors <= MAX_SECTORS && length > 8;
  if ((length != 8 && !crcs) || offset % OC_SECTOR_SIZE || size == 0)
    return reply(OC_BEGIN, 0, OC_ERR_INVALID);
  flash_prepare();
  for (uint32_t i = 0; i < sizeof unchanged; ++i) unchanged[i] = 0;
  session.offset = session.cursor = session.erased_to = offset;
  session.size = size;
  session.end = offset + sectors * OC_SECTOR_SIZE;
  session.skipping = (uint8_t)crcs;
  session.written = session.next_sequence = 0;
  session.ended = session.error = 0;
  session.stream_size = compare_sectors(crcs ? data + 8 : 0, sectors);
  session.begun = 1;
  clear_page();
  skip_unchanged();
  inflateReset(&stream);
  uint8_t answer[12 + sizeof unchanged];
  put32(answer, offset);
  put32(answer + 4, size);
  put32(answer + 8, OC_ROOM);
  const uint32_t map = crcs ? (sectors + 7u) / 8u : 0;
  for (uint32_t i = 0; i < map; ++i) answer[12 + i] = unchanged[i];
  reply_with(OC_BEGIN, session.stream_size / OC_SECTOR_SIZE + (session.stream_size % OC_SECTOR_SIZE != 0), 0, answer, 12 + map);
}

/* Inflates one piece of the stream into flash pages, reading the FIFO after every step. */
static void inflate_piece(const uint8_t* data, uint32_t length) {
  stream.next_in = (Bytef*)data;
  stream.avail_in = length;
  while (!session.error) {
    if (session.ended) {
      if (stream.avail_in) session.error = OC_ERR_STREAM; /* bytes after the stream's end */
      return;
    }
    stream.next_out = page + session.page_fill;
    stream.avail_out = PAGE_SIZE - session.page_fill;
    const int result = inflate(&stream, Z_NO_FLUSH);
    session.page_fill = PAGE_SIZE - stream.avail_out;
    if (result == Z_STREAM_END)
      session.ended = 1;
    else if (result != Z_OK && result != Z_BUF_ERROR)
      session.error = OC_ERR_STREAM;
    if (session.written + session.page_fill > session.stream_size && !session.error)
      session.error = OC_ERR_STREAM;
    /* A page ends at a page boundary or where the image's sectors to write end. */
    const int page_full = session.page_fill == PAGE_SIZE ||
                          (session.page_fill && session.written + session.page_fill == session.stream_size);
    if (page_full && !session.error) flush_page();
    pump();
    if (!page_full && stream.avail_in == 0) return;
  }
}

static void data(const uint8_t* data, uint32_t length) {
  const uint32_t sequence = length >= 4 ? le32(data) : 0;
  if (!session.begun || length < 4 || length - 4 > OC_MAX_DATA || sequence != session.next_sequence)
    return reply(OC_DATA, sequence, OC_ERR_INVALID);
  ++session.next_sequence;
  if (session.error) return reply(OC_DATA, sequence, session.error);
  reply(OC_DATA, sequence, 0);
  inflate_piece(data + 4, length - 4);
}

static void finish(void) {
  if (!session.begun) return reply(OC_FINISH, 0, OC_ERR_INVALID);
  if (session.page_fill && !session.error) flush_page();
  const uint32_t crc = digest(session.offset, session.size);
  uint8_t error = session.error;
  if (!error && (!session.ended || session.written != session.stream_size)) error = OC_ERR_STREAM;
  session.begun = 0;
  uint8_t answer[8];
  put32(answer, session.offset);
  put32(answer + 4, session.size);
  reply_with(OC_FINISH, crc, error, answer, sizeof answer);
}

/* The divisor for the new rate follows from the one the ROM set for the rate in use: the UART's
 * clock is about their product. The reply leaves at the old rate before the switch; the new rate
 * holds once a PING confirms it (counted in CPU cycles as the UART's clock: the CPU's clock is
 * the same or twice it, so the wait is OC_RATE_CONFIRM_MS or half of it). */
static void change_rate(const uint8_t* data, uint32_t length) {
  if (length != 8) return reply(OC_RATE, 0, OC_ERR_INVALID);
  const uint32_t rate = le32(data), current = le32(data + 4), old = uart_divisor();
  if (rate == 0 || current == 0 || old > (0xFFFFFFFFu - rate) / current)
    return reply(OC_RATE, 0, OC_ERR_INVALID);
  const uint32_t divisor = (old * current + rate / 2) / rate;
  if (divisor == 0 || divisor > 0xFFFFF) return reply(OC_RATE, divisor, OC_ERR_INVALID);
  reply(OC_RATE, divisor, 0);
  uart_drain();
  uart_set_divisor(divisor);
  unconfirmed.divisor_before = old;
  unconfirmed.start = cpu_cycles();
  unconfirmed.cycles = old * current / 1000u * OC_RATE_CONFIRM_MS;
}

/* The check every request carries: the CRC-32 of all its bytes but the check field. */
static uint32_t request_check(const uint8_t* bytes, uint32_t length) {
  return crc32_update(crc32_update(0, bytes, 4), bytes + OC_HEADER_SIZE, length);
}

/* Whether Size bytes from Offset lie on the chip, whose capacity its JEDEC ID gives. */
static int on_chip(uint32_t offset, uint32_t size) {
  const uint32_t capacity = flash_chip_id() >> 16 & 0xFFu;
  if (capacity < 12 || capacity > 31) return 0;
  const uint32_t chip = 1u << capacity;
  return offset <= chip && size <= chip - offset;
}

/* Offset and size of a range request, checked: on the chip, the offset a multiple of Align. */
static int range(const uint8_t* data, uint32_t length, uint32_t align, uint32_t* offset,
                 uint32_t* size) {
  if (length != 8) return 0;
  *offset = le32(data);
  *size = le32(data + 4);
  flash_prepare();
  return *offset % align == 0 && on_chip(*offset, *size);
}

static void chip_id(void) {
  flash_prepare();
  reply(OC_CHIP_ID, flash_chip_id(), 0);
}

static void digest_range(const uint8_t* data, uint32_t length) {
  uint32_t offset, size;
  if (!range(data, length, 4, &offset, &size)) return reply(OC_DIGEST, 0, OC_ERR_INVALID);
  reply(OC_DIGEST, digest(offset, size), 0);
}

/* The flash's bytes go out in the reply as they are read, 1 KiB at a time; the tool keeps at most
 * three READs out, so no more than two requests wait in the receive FIFO meanwhile. */
static void read_range(const uint8_t* data, uint32_t length) {
  uint32_t offset, size;
  if (!range(data, length, 4, &offset, &size) || size == 0 || size > OC_MAX_READ)
    return reply(OC_READ, 0, OC_ERR_INVALID);
  uint8_t error = 0;
  reply_head(OC_READ, offset, size);
  for (uint32_t done = 0; done < size;) {
    const uint32_t chunk = size - done < READ_CHUNK ? size - done : READ_CHUNK;
    if (flash_read(offset + done, readback, (chunk + 3u) & ~3u)) error = OC_ERR_FLASH;
    for (uint32_t i = 0; i < chunk; ++i) send_escaped(readback[i]);
    done += chunk;
  }
  reply_tail(error);
}

/* Erases the sectors from First up to End exactly: whole 64 KiB blocks where they fit. 0 when the
 * chip refuses or stays busy. */
static int erase_exactly(uint32_t first, uint32_t end) {
  for (uint32_t sector = first; sector < end;) {
    const int block = sector % OC_BLOCK_SECTORS == 0 && end - sector >= OC_BLOCK_SECTORS;
    if (!wait_flash()) return 0;
    if (block ? flash_start_erase_block(sector / OC_BLOCK_SECTORS) : flash_start_erase_sector(sector))
      return 0;
    sector += block ? OC_BLOCK_SECTORS : 1u;
  }
  return wait_flash();
}

static void erase_range(const uint8_t* data, uint32_t length) {
  uint32_t offset, size;
  if (!range(data, length, OC_SECTOR_SIZE, &offset, &size) || size == 0 || size % OC_SECTOR_SIZE)
    return reply(OC_ERASE, 0, OC_ERR_INVALID);
  const uint32_t first = offset / OC_SECTOR_SIZE, end = first + size / OC_SECTOR_SIZE;
  if (!erase_exactly(first, end)) return reply(OC_ERASE, 0, OC_ERR_FLASH);
  reply(OC_ERASE, end - first, 0);
}

static void erase_chip(void) {
  flash_prepare();
  reply(OC_ERASE_CHIP, 0, flash_erase_chip() ? OC_ERR_FLASH : 0);
}

static void handle(const struct frame* frame) {
  if (frame->length < OC_HEADER_SIZE) return reply(0, 0, OC_ERR_INVALID);
  const uint8_t* bytes = frame->bytes;
  if (bytes[0] != OC_REQUEST) return;
  const uint8_t command = bytes[1];
  const uint32_t length = frame->length - OC_HEADER_SIZE;
  if (le16(bytes + 2) != length) return reply(command, 0, OC_ERR_INVALID);
  if (request_check(bytes, length) != le32(bytes + 4)) return reply(command, 0, OC_ERR_CHECKSUM);
  const uint8_t* payload = bytes + OC_HEADER_SIZE;
  switch (command) {
    case OC_PING:
      unconfirmed.divisor_before = 0;
      return reply(OC_PING, OC_MAGIC, 0);
    case OC_BEGIN:
      return begin(payload, length);
    case OC_DATA:
      return data(payload, length);
    case OC_FINISH:
      return finish();
    case OC_RATE:
      return change_rate(payload, length);
    case OC_CHIP_ID:
      return chip_id();
    case OC_DIGEST:
      return digest_range(payload, length);
    case OC_READ:
      return read_range(payload, length);
    case OC_ERASE:
      return erase_range(payload, length);
    case OC_ERASE_CHIP:
      return erase_chip();
    default:
      return reply(command, 0, OC_ERR_INVALID);
  }
}

void loader_init(void) {
  head = waiting = 0;
  restart_receiver();
  session.begun = 0;
  last_error = 0;
  unconfirmed.divisor_before = 0;
  arena_used = 0;
  stream.zalloc = arena_alloc;
  stream.zfree = arena_free;
  stream.opaque = Z_NULL;
  inflateInit2(&stream, -15); /* a raw deflate stream with a 32 KiB window */
}

void loader_serve(void) {
  reply(OC_PING, OC_MAGIC, 0);
  for (const struct frame* frame; (frame = next_frame()) != 0;) handle(frame);
}
