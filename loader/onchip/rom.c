/* The module's side of rom.h: the boot ROM's own routines (call0 ABI, 0 = done) and UART0's
 * registers. */

#include "rom.h"

typedef int (*rom_erase_fn)(uint32_t number);
typedef int (*rom_transfer_fn)(uint32_t offset, void* buffer, uint32_t length);
typedef void (*rom_void_fn)(void);
typedef void (*rom_divisor_fn)(uint32_t uart, uint32_t divisor);

#define ROM_ERASE_SECTOR ((rom_erase_fn)0x40004A00)
#define ROM_ERASE_BLOCK ((rom_erase_fn)0x400049B4)
#define ROM_WRITE ((rom_transfer_fn)0x40004A4C)
#define ROM_READ ((rom_transfer_fn)0x40004B1C)
#define ROM_FLASH_ATTACH ((rom_void_fn)0x40004644)
#define ROM_CACHE_OFF ((rom_void_fn)0x400047F0)
#define ROM_FLASH_UNLOCK ((rom_void_fn)0x40004878)
#define ROM_SET_DIVISOR ((rom_divisor_fn)0x400039D8)

#define UART0_REG(offset) (*(volatile uint32_t*)(0x60000000u + (offset)))
#define UART_FIFO UART0_REG(0x00)
#define UART_DIVISOR UART0_REG(0x14)
#define UART_STATUS UART0_REG(0x1C)
#define UART_FIFO_SIZE 128u
#define RX_COUNT(status) ((status)&0xFFu)
#define TX_COUNT(status) (((status) >> 16) & 0xFFu)

/* What the ROM's own FLASH_BEGIN does before it erases: attach, cache off, unlock. */
void flash_prepare(void) {
  ROM_FLASH_ATTACH();
  ROM_CACHE_OFF();
  ROM_FLASH_UNLOCK();
}

int flash_erase_sector(uint32_t sector) { return ROM_ERASE_SECTOR(sector); }

int flash_erase_block(uint32_t block) { return ROM_ERASE_BLOCK(block); }

int flash_write(uint32_t offset, const void* source, uint32_t length) {
  return ROM_WRITE(offset, (void*)source, length);
}

int flash_read(uint32_t offset, void* destination, uint32_t length) {
  return ROM_READ(offset, destination, length);
}

int uart_poll(uint8_t* byte) {
  if (RX_COUNT(UART_STATUS) == 0) return UART_EMPTY;
  *byte = (uint8_t)UART_FIFO;
  return UART_BYTE;
}

void uart_send(uint8_t byte) {
  while (TX_COUNT(UART_STATUS) >= UART_FIFO_SIZE - 1) {
  }
  UART_FIFO = byte;
}

uint32_t cpu_cycles(void) {
  uint32_t count;
  __asm__ volatile("rsr %0, ccount" : "=r"(count));
  return count;
}

/* The FIFO is empty before the last byte has left the shift register: wait two bytes' time more,
 * counted in CPU cycles, which run at least as fast as the UART's clock. */
void uart_drain(void) {
  while (TX_COUNT(UART_STATUS) != 0) {
  }
  const uint32_t start = cpu_cycles(), cycles = 2u * 10u * 2u * uart_divisor();
  while (cpu_cycles() - start < cycles) {
  }
}

uint32_t uart_divisor(void) { return UART_DIVISOR & 0xFFFFFu; }

void uart_set_divisor(uint32_t divisor) { ROM_SET_DIVISOR(0, divisor); }
