/* The module's side of rom.h: the boot ROM's own routines (call0 ABI, 0 = done), the SPI
 * flash controller's registers for the commands the chip carries out on its own, and UART0's
 * registers. */

#include "rom.h"

typedef int (*rom_transfer_fn)(uint32_t offset, void* buffer, uint32_t length);
typedef void (*rom_void_fn)(void);
typedef void (*rom_divisor_fn)(uint32_t uart, uint32_t divisor);

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

/* The SPI controller of the flash: writing a command bit to CMD starts that command, the
 * controller clears the bit once it has gone out to the chip; read data lands in W0, a page
 * program takes its data from W0..W15. */
#define SPI_REG(offset) (*(volatile uint32_t*)(0x60000200u + (offset)))
#define SPI_CMD SPI_REG(0x00)
#define SPI_ADDR SPI_REG(0x04)
#define SPI_RD_STATUS SPI_REG(0x10)
#define SPI_W(i) SPI_REG(0x40 + 4 * (i))
#define SPI_WREN (1u << 30)
#define SPI_RDID (1u << 28)
#define SPI_RDSR (1u << 27)
#define SPI_PP (1u << 25)
#define SPI_SE (1u << 24)
#define SPI_BE (1u << 23)
#define SPI_CE (1u << 22)
#define STATUS_WIP 1u

static void spi_command(uint32_t command) {
  SPI_CMD = command;
  while (SPI_CMD != 0) {
  }
}

/* Write enable, then the command at Address. */
static int start(uint32_t command, uint32_t address) {
  spi_command(SPI_WREN);
  SPI_ADDR = address;
  spi_command(command);
  return 0;
}

int flash_busy(void) {
  spi_command(SPI_RDSR);
  return (SPI_RD_STATUS & STATUS_WIP) != 0;
}

uint32_t flash_chip_id(void) {
  while (flash_busy()) {
  }
  spi_command(SPI_RDID);
  return SPI_W(0) & 0xFFFFFFu;
}

int flash_erase_chip(void) {
  while (flash_busy()) {
  }
  start(SPI_CE, 0);
  while (flash_busy()) {
  }
  return 0;
}

int flash_start_erase_sector(uint32_t sector) { return start(SPI_SE, sector * 4096u); }

int flash_start_erase_block(uint32_t block) { return start(SPI_BE, block * 65536u); }

int flash_start_program(uint32_t offset, const void* source, uint32_t length) {
  if (length > 64u || length % 4u || (uint32_t)source % 4u) return 1;
  const uint32_t* words = source;
  for (uint32_t i = 0; i < length / 4u; ++i) SPI_W(i) = words[i];
  return start(SPI_PP, offset | length << 24);
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
