#ifndef FERRULE_ONCHIP_FAKE_ROM_H
#define FERRULE_ONCHIP_FAKE_ROM_H
/* A fake flash and UART behind rom.h, with a clock: the chip erases and programs on its own for a
 * real chip's time once given the command, bytes arrive at the line rate, and the receive FIFO
 * holds 128 bytes (more are lost). The fake host sends a queued request once every earlier one is
 * answered; DATA and READ requests follow each other back to back while fewer than `window` are
 * unanswered. */

#include <stdint.h>

#define FAKE_FLASH_SIZE (1u << 20)
#define FAKE_OUT_CAPACITY 65536u
#define FAKE_CHIP_ID 0x1440C8u /* C8 40 14: a 1 MiB chip, as large as the fake flash */

extern uint8_t fake_flash[FAKE_FLASH_SIZE];

struct fake_state {
  uint32_t now;        /* time in 0.1 us */
  uint32_t byte_ticks; /* time of one byte on the line */
  uint32_t prepared, sector_erases, block_erases, chip_erases, writes, write_failures_after;
  uint32_t chip_id;
  uint32_t window;             /* DATA or READ requests the host leaves unanswered (0: 1) */
  uint32_t worst_case;         /* the chip takes its data sheet's longest times */
  uint32_t stuck;              /* the chip never ends its next erase */
  uint32_t while_busy;         /* flash commands given while the chip was busy */
  uint32_t busy_polls;
  uint32_t arrived_while_busy; /* bytes that came while the chip worked */
  uint32_t lost; /* bytes that found the receive FIFO full */
  uint32_t divisor, divisor_sets;
  uint32_t drained_at, divisor_set_at; /* bytes sent when the line was drained, the divisor set */
  uint8_t out[FAKE_OUT_CAPACITY];
  uint32_t out_length, replies;
};
extern struct fake_state fake;

/* Forgets the requests and replies; the flash keeps its content. */
void fake_reset(uint32_t line_rate);
/* Queues one request's bytes as they go on the line. */
void fake_queue(const uint8_t* bytes, uint32_t length);
/* The host waits Ticks more before it sends the next request queued. */
void fake_delay_next(uint32_t ticks);

#endif
