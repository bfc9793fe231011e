#ifndef FERRULE_ONCHIP_SLIP_H
#define FERRULE_ONCHIP_SLIP_H
/* SLIP receiver, one byte at a time, like the boot ROM's: bytes outside a frame are noise; a frame
 * with a bad escape or longer than its buffer is dropped whole; two C0 in a row open a frame. */

#include <stdint.h>

struct slip_rx {
  uint8_t* buffer;
  uint32_t capacity;
  uint32_t length;
  uint8_t in_frame, escaped, broken;
};

void slip_rx_start(struct slip_rx* rx, uint8_t* buffer, uint32_t capacity);
/* 1 when Byte completed a frame: its unescaped bytes lie in buffer[0 .. length). */
int slip_rx_take(struct slip_rx* rx, uint8_t byte);

#endif
