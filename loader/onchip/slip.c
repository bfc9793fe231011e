#include "slip.h"

#define SLIP_END 0xC0
#define SLIP_ESC 0xDB
#define SLIP_ESC_END 0xDC
#define SLIP_ESC_ESC 0xDD

void slip_rx_start(struct slip_rx* rx, uint8_t* buffer, uint32_t capacity) {
  rx->buffer = buffer;
  rx->capacity = capacity;
  rx->length = 0;
  rx->in_frame = rx->escaped = rx->broken = 0;
}

int slip_rx_take(struct slip_rx* rx, uint8_t byte) {
  if (byte == SLIP_END) {
    const int complete = rx->in_frame && rx->length > 0 && !rx->broken && !rx->escaped;
    /* A closing byte ends the frame; an opening one, or the second of two, starts one. */
    rx->in_frame = !(rx->in_frame && (rx->length > 0 || rx->broken));
    if (!complete) rx->length = 0;
    rx->escaped = rx->broken = 0;
    return complete;
  }
  if (!rx->in_frame || rx->broken) return 0;
  if (rx->escaped) {
    rx->escaped = 0;
    if (byte != SLIP_ESC_END && byte != SLIP_ESC_ESC) {
      rx->broken = 1;
      return 0;
    }
    byte = byte == SLIP_ESC_END ? SLIP_END : SLIP_ESC;
  } else if (byte == SLIP_ESC) {
    rx->escaped = 1;
    return 0;
  }
  if (rx->length == rx->capacity) {
    rx->broken = 1;
    return 0;
  }
  rx->buffer[rx->length++] = byte;
  return 0;
}
