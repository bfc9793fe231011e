/* Ferrule's loader program: the frames of protocol.h in, flash written, replies out.
 *
 * A real chip's receive FIFO holds 128 bytes, so the program never works long without reading it:
 * a DATA request is acknowledged as soon as it is checked, and while it is inflated and written
 * (in steps of one 256-byte flash page) the next request is drained from the FIFO into the other
 * of two frame buffers. The tool sends a request only once the previous one is answered, and
 * nothing is sent while BEGIN erases. */

#include "loader.h"

#include "digest.h"
#include "protocol.h"
#include "rom.h"
#include "slip.h"
#include "zlib.h"

#include <stdint.h>

#define PAGE_SIZE 256u
#define READ_CHUNK 1024u
#define FRAME_CAPACITY (OC_HEADER_SIZE + 4u + OC_MAX_DATA)
#define SLIP_END 0xC0
#define SLIP_ESC 0xDB

struct frame {
  uint32_t length;
  uint8_t bytes[FRAME_CAPACITY];
};

/* Two frame buffers: one handled, the other filled meanwhile. */
static struct frame frames[2];
static int filling;
static int frame_pending;
static struct slip_rx rx;

static struct {
  uint32_t offset, size;
  uint32_t written; /* bytes written to flash since BEGIN */
  uint32_t next_sequence;
  uint32_t page_fill;
  uint8_t begun, ended;
  uint8_t error; /* the first fault met while inflating or writing: reported by the next reply */
} session;
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

static void send_escaped(uint8_t byte) {
  if (byte == SLIP_END || byte == SLIP_ESC) {
    uart_send(SLIP_ESC);
    byte = byte == SLIP_END ? 0xDC : 0xDD;
  }
  uart_send(byte);
}

static void reply(uint8_t command, uint32_t value, uint8_t error) {
  if (error) last_error = error;
  const uint8_t body[10] = {OC_REPLY,
                            command,
                            2,
                            0,
                            (uint8_t)value,
                            (uint8_t)(value >> 8),
                            (uint8_t)(value >> 16),
                            (uint8_t)(value >> 24),
                            error ? 1 : 0,
                            last_error};
  uart_send(SLIP_END);
  for (unsigned i = 0; i < sizeof body; ++i) send_escaped(body[i]);
  uart_send(SLIP_END);
}

static void restart_receiver(void) {
  slip_rx_start(&rx, frames[filling].bytes, FRAME_CAPACITY);
  frame_pending = 0;
}

/* Moves what the receive FIFO holds into the frame being filled; stops at a complete frame, so
 * the bytes after it wait in the FIFO. */
static void pump(void) {
  uint8_t byte;
  while (!frame_pending && uart_poll(&byte) == UART_BYTE) frame_pending = slip_rx_take(&rx, byte);
}

/* A host whose port cannot run the new rate cannot be heard at it, nor hear the program: once
 * no PING has come in time, the program goes back to the rate the host went back to. */
static void give_up_unconfirmed_rate(void) {
  if (!unconfirmed.divisor_before || cpu_cycles() - unconfirmed.start < unconfirmed.cycles) return;
  uart_set_divisor(unconfirmed.divisor_before);
  unconfirmed.divisor_before = 0;
  restart_receiver();
}

/* The next complete frame, or 0 once the input has ended. */
static struct frame* next_frame(void) {
  uint8_t byte;
  while (!frame_pending) {
    const int got = uart_poll(&byte);
    if (got == UART_ENDED) return 0;
    if (got == UART_BYTE) frame_pending = slip_rx_take(&rx, byte);
    if (!frame_pending) give_up_unconfirmed_rate();
  }
  struct frame* frame = &frames[filling];
  frame->length = rx.length;
  filling ^= 1;
  restart_receiver();
  return frame;
}

static void clear_page(void) {
  for (unsigned i = 0; i < PAGE_SIZE; ++i) page[i] = 0xFF;
  session.page_fill = 0;
}

/* Writes the page filled so far; a last, partial page is padded with 0xFF to a multiple of 4. */
static void flush_page(void) {
  const uint32_t length = (session.page_fill + 3u) & ~3u;
  if (flash_write(session.offset + session.written, page, length) && !session.error)
    session.error = OC_ERR_FLASH;
  session.written += session.page_fill;
  clear_page();
}

/* Erases the sectors from First up to End exactly: whole 64 KiB blocks where they fit. */
static int erase_exactly(uint32_t first, uint32_t end) {
  for (uint32_t sector = first; sector < end;) {
    if (sector % OC_BLOCK_SECTORS == 0 && end - sector >= OC_BLOCK_SECTORS) {
      if (flash_erase_block(sector / OC_BLOCK_SECTORS)) return 0;
      sector += OC_BLOCK_SECTORS;
    } else {
      if (flash_erase_sector(sector)) return 0;
      ++sector;
    }
  }
  return 1;
}

static void begin(const uint8_t* data, uint32_t length) {
  if (length != 8) return reply(OC_BEGIN, 0, OC_ERR_INVALID);
  const uint32_t offset = le32(data), size = le32(data + 4);
  if (offset % OC_SECTOR_SIZE) return reply(OC_BEGIN, 0, OC_ERR_INVALID);
  session.begun = 0;
  const uint32_t first = offset / OC_SECTOR_SIZE;
  const uint32_t end = first + size / OC_SECTOR_SIZE + (size % OC_SECTOR_SIZE != 0);
  flash_prepare();
  if (!erase_exactly(first, end)) return reply(OC_BEGIN, 0, OC_ERR_FLASH);
  session.offset = offset;
  session.size = size;
  session.written = session.next_sequence = 0;
  session.ended = session.error = 0;
  session.begun = 1;
  clear_page();
  inflateReset(&stream);
  reply(OC_BEGIN, end - first, 0);
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
    if (session.written + session.page_fill > session.size && !session.error)
      session.error = OC_ERR_STREAM;
    const int page_full = session.page_fill == PAGE_SIZE;
    if (page_full && !session.error) flush_page();
    pump();
    if (!page_full && stream.avail_in == 0) return;
  }
}

static uint8_t data_checksum(const uint8_t* bytes, uint32_t length) {
  uint8_t sum = 0xEF;
  for (uint32_t i = 0; i < length; ++i) sum ^= bytes[i];
  return sum;
}

static void data(const uint8_t* data, uint32_t length, uint32_t checksum) {
  const uint32_t sequence = length >= 4 ? le32(data) : 0;
  if (!session.begun || length < 4 || length - 4 > OC_MAX_DATA || sequence != session.next_sequence)
    return reply(OC_DATA, sequence, OC_ERR_INVALID);
  if (checksum != data_checksum(data + 4, length - 4))
    return reply(OC_DATA, sequence, OC_ERR_CHECKSUM);
  ++session.next_sequence;
  if (session.error) return reply(OC_DATA, sequence, session.error);
  reply(OC_DATA, sequence, 0);
  inflate_piece(data + 4, length - 4);
}

static uint32_t digest(uint32_t offset, uint32_t size) {
  uint32_t crc = 0;
  for (uint32_t done = 0; done < size;) {
    const uint32_t chunk = size - done < READ_CHUNK ? size - done : READ_CHUNK;
    flash_read(offset + done, readback, (chunk + 3u) & ~3u);
    crc = crc32_update(crc, readback, chunk);
    done += chunk;
  }
  return crc;
}

static void finish(void) {
  if (!session.begun) return reply(OC_FINISH, 0, OC_ERR_INVALID);
  if (session.page_fill && !session.error) flush_page();
  const uint32_t crc = digest(session.offset, session.size);
  uint8_t error = session.error;
  if (!error && (!session.ended || session.written != session.size)) error = OC_ERR_STREAM;
  session.begun = 0;
  reply(OC_FINISH, crc, error);
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

static void handle(const struct frame* frame) {
  if (frame->length < OC_HEADER_SIZE) return reply(0, 0, OC_ERR_INVALID);
  const uint8_t* bytes = frame->bytes;
  if (bytes[0] != OC_REQUEST) return;
  const uint8_t command = bytes[1];
  const uint32_t length = frame->length - OC_HEADER_SIZE;
  if (le16(bytes + 2) != length) return reply(command, 0, OC_ERR_INVALID);
  const uint8_t* payload = bytes + OC_HEADER_SIZE;
  switch (command) {
    case OC_PING:
      unconfirmed.divisor_before = 0;
      return reply(OC_PING, OC_MAGIC, 0);
    case OC_BEGIN:
      return begin(payload, length);
    case OC_DATA:
      return data(payload, length, le32(bytes + 4));
    case OC_FINISH:
      return finish();
    case OC_RATE:
      return change_rate(payload, length);
    default:
      return reply(command, 0, OC_ERR_INVALID);
  }
}

void loader_init(void) {
  filling = 0;
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
