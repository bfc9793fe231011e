/* The entry the ROM calls after MEM_END: stack and registers as the ROM left them, interrupts
 * masked. Zeroed data is not uploaded, so it is cleared here first. */

#include "loader.h"

#include <stdint.h>

extern uint32_t _bss_start[], _bss_end[];

void loader_entry(void) {
  for (uint32_t* word = _bss_start; word < _bss_end; ++word) *word = 0;
  loader_init();
  loader_serve();
}
