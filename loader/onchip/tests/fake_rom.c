#include "fake_rom.h"

#include "protocol.h"
#include "rom.h"

/* A real chip's typical times and its worst, in 0.1 us. */
#define SECTOR_ERASE_TICKS (fake.worst_case ? 4000000u : 450000u) /* 45 ms, 400 ms */
#define BLOCK_ERASE_TICKS (fake.worst_case ? 20000000u : 1500000u) /* 150 ms, 2 s */
#define PAGE_WRITE_TICKS (fake.worst_case ? 30000u : 7000u) /* 0.7 ms, 3 ms for 256 bytes */
#define STATUS_POLL_TICKS 20u
#define READ_TICKS_PER_KIB 500u
#define CHIP_ERASE_TICKS 25000000u /* 2.5 s for 1 MiB */
#define EMPTY_POLL_TICKS 10u       /* one turn of a loop that finds the FIFO empty */
#define HOST_TURNAROUND_TICKS 5000u
#define FIFO_SIZE 128u
#define MAX_REQUESTS 512u
#define QUEUE_CAPACITY (640u * 1024u)

uint8_t fake_flash[FAKE_FLASH_SIZE] __attribute__((section(".ext_bss"), aligned(4)));
static uint8_t queue[QUEUE_CAPACITY] __attribute__((section(".ext_bss")));
struct fake_state fake __attribute__((section(".ext_bss")));

static uint32_t busy_until;

static int busy(void) { return fake.stuck == 2 || (int32_t)(fake.now - busy_until) < 0; }

static struct {
  uint32_t starts[MAX_REQUESTS + 1];
  uint8_t pipelined[MAX_REQUESTS]; /* whether each request may go before the earlier are answered */
  uint32_t delays[MAX_REQUESTS]; /* extra time the host waits before each request */
  uint32_t next_delay;
  uint32_t count;      /* requests queued */
  uint32_t released;   /* requests the host has started to send */
  uint32_t release_at; /* when the last released one started */
  uint32_t next;       /* the next byte of the queue to arrive */
  uint8_t fifo[FIFO_SIZE];
  uint32_t fifo_head, fifo_count;
  uint32_t frame_bytes; /* 0xC0 bytes sent */
} line __attribute__((section(".ext_bss")));

void fake_reset(uint32_t line_rate) {
  const uint32_t divisor_before = fake.divisor ? fake.divisor : 139u;
  const struct fake_state fresh = {0};
  fake = fresh;
  fake.byte_ticks = 100000000u / line_rate;
  fake.divisor = divisor_before;
  fake.chip_id = FAKE_CHIP_ID;
  line.count = line.released = line.next = line.fifo_head = line.fifo_count = 0;
  line.frame_bytes = line.next_delay = 0;
  line.starts[0] = 0;
  busy_until = 0;
}

void fake_delay_next(uint32_t ticks) { line.next_delay = ticks; }

void fake_queue(const uint8_t* bytes, uint32_t length) {
  uint32_t at = line.starts[line.count];
  for (uint32_t i = 0; i < length; ++i) queue[at + i] = bytes[i];
  line.pipelined[line.count] = length > 2 && (bytes[2] == OC_DATA || bytes[2] == OC_READ);
  line.delays[line.count] = line.next_delay;
  line.next_delay = 0;
  line.starts[++line.count] = at + length;
}

/* The host sends the next request when every earlier one is answered, or, for DATA and READ,
 * while fewer than the window are unanswered and the line is free. The program's greeting
 * answers nothing. */
static void release(uint32_t at) {
  if (line.released == line.count || line.next < line.starts[line.released]) return;
  const uint32_t unanswered = line.released - (fake.replies ? fake.replies - 1 : 0);
  const uint32_t window = fake.window ? fake.window : 1;
  if (unanswered > 0 && !(line.pipelined[line.released] && unanswered < window)) return;
  line.release_at = at + line.delays[line.released];
  ++line.released;
}

/* Bytes whose time has come go into the FIFO, or are lost when it is full. */
static void arrive(void) {
  while (line.released && line.next < line.starts[line.released]) {
    const uint32_t first = line.starts[line.released - 1];
    const uint32_t due = line.release_at + (line.next - first + 1) * fake.byte_ticks;
    if ((int32_t)(fake.now - due) < 0) return;
    if (busy()) ++fake.arrived_while_busy;
    if (line.fifo_count == FIFO_SIZE)
      ++fake.lost;
    else
      line.fifo[(line.fifo_head + line.fifo_count++) % FIFO_SIZE] = queue[line.next];
    if (++line.next == line.starts[line.released]) release(due);
  }
}

static void spend(uint32_t ticks) {
  fake.now += ticks;
  arrive();
}

int uart_poll(uint8_t* byte) {
  arrive();
  if (line.fifo_count) {
    *byte = line.fifo[line.fifo_head];
    line.fifo_head = (line.fifo_head + 1) % FIFO_SIZE;
    --line.fifo_count;
    return UART_BYTE;
  }
  const int sending = line.released && line.next < line.starts[line.released];
  if (!sending) return UART_ENDED; /* the host waits for a reply, or has nothing more to send */
  spend(EMPTY_POLL_TICKS);
  return UART_EMPTY;
}

void uart_send(uint8_t byte) {
  if (fake.out_length < FAKE_OUT_CAPACITY) fake.out[fake.out_length++] = byte;
  spend(fake.byte_ticks);
  /* Every second frame byte closes a reply: the host sends the next request. */
  if (byte != 0xC0 || ++line.frame_bytes % 2) return;
  ++fake.replies;
  release(fake.now + HOST_TURNAROUND_TICKS);
}

void uart_drain(void) { fake.drained_at = fake.out_length; }

uint32_t uart_divisor(void) { return fake.divisor; }

void uart_set_divisor(uint32_t divisor) {
  fake.divisor = divisor;
  ++fake.divisor_sets;
  fake.divisor_set_at = fake.out_length;
  line.fifo_count = 0;
}

uint32_t cpu_cycles(void) { return fake.now * 8u; } /* an 80 MHz CPU */

void flash_prepare(void) { ++fake.prepared; }

static void fill(uint32_t offset, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i) fake_flash[offset + i] = 0xFF;
}


/* A command the chip takes; it is busy for Ticks from now on. */
static void command(uint32_t ticks) {
  if (busy()) ++fake.while_busy;
  busy_until = fake.now + ticks;
  if (fake.stuck == 1) fake.stuck = 2;
}

int flash_start_erase_sector(uint32_t sector) {
  if ((sector + 1) * 4096u > FAKE_FLASH_SIZE) return 1;
  ++fake.sector_erases;
  fill(sector * 4096u, 4096u);
  command(SECTOR_ERASE_TICKS);
  return 0;
}

uint32_t flash_chip_id(void) { return fake.chip_id; }

int flash_erase_chip(void) {
  ++fake.chip_erases;
  fill(0, FAKE_FLASH_SIZE);
  spend(CHIP_ERASE_TICKS);
  return 0;
}

int flash_start_erase_block(uint32_t block) {
  if ((block + 1) * 65536u > FAKE_FLASH_SIZE) return 1;
  ++fake.block_erases;
  fill(block * 65536u, 65536u);
  command(BLOCK_ERASE_TICKS);
  return 0;
}

/* NOR flash only clears bits; a command's bytes stay within one 256-byte page. */
int flash_start_program(uint32_t offset, const void* source, uint32_t length) {
  if (length % 4 || length > 64 || (uint32_t)source % 4 || offset + length > FAKE_FLASH_SIZE ||
      offset / 256u != (offset + length - 1) / 256u)
    return 1;
  if (fake.write_failures_after && fake.writes >= fake.write_failures_after) return 1;
  ++fake.writes;
  const uint8_t* from = source;
  for (uint32_t i = 0; i < length; ++i) fake_flash[offset + i] &= from[i];
  command(PAGE_WRITE_TICKS * length / 256u);
  return 0;
}

int flash_busy(void) {
  ++fake.busy_polls;
  spend(STATUS_POLL_TICKS);
  return busy();
}

int flash_read(uint32_t offset, void* destination, uint32_t length) {
  if (busy()) ++fake.while_busy;
  if (length % 4 || (uint32_t)destination % 4 || offset + length > FAKE_FLASH_SIZE) return 1;
  uint8_t* to = destination;
  for (uint32_t i = 0; i < length; ++i) to[i] = fake_flash[offset + i];
  spend(READ_TICKS_PER_KIB * (length / 1024u + 1u));
  return 0;
}
