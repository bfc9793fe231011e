#ifndef FERRULE_ONCHIP_ROM_H
#define FERRULE_ONCHIP_ROM_H
/* What the loader program needs of the module: its flash (the boot ROM's routines and the SPI
 * controller's commands) and UART0. The program links rom.c on the module; its tests link a fake
 * flash and UART instead. */

#include <stdint.h>

/* Flash. Offsets are bytes from the flash's start; 0 = done, anything else = refused. */
void flash_prepare(void); /* attach the flash and unlock it for erasing and writing */
/* These give the chip a command and return at once: the chip erases or programs on its own and
 * is busy until flash_busy() is 0; no other flash call may come before. */
int flash_start_erase_sector(uint32_t sector);
int flash_start_erase_block(uint32_t block); /* one 64 KiB block */
/* At most 64 bytes from a 4-byte aligned source, length % 4 == 0, within one 256-byte page. */
int flash_start_program(uint32_t offset, const void* source, uint32_t length);
int flash_busy(void);
int flash_read(uint32_t offset, void* destination, uint32_t length);
/* The chip's JEDEC ID (manufacturer, memory type, capacity in bits 0-23), after flash_prepare. */
uint32_t flash_chip_id(void);
/* Erases the whole chip and returns once it is done (seconds: tens on a large chip). */
int flash_erase_chip(void);

/* UART0. */
#define UART_BYTE 0  /* uart_poll stored a byte */
#define UART_EMPTY 1 /* nothing in the receive FIFO */
#define UART_ENDED 2 /* no byte will ever come (the tests' end of input) */
int uart_poll(uint8_t* byte);
void uart_send(uint8_t byte);
/* Returns once the last byte sent has left the line. */
void uart_drain(void);
uint32_t uart_divisor(void);
/* Sets the rate divisor; bytes in both FIFOs are lost. */
void uart_set_divisor(uint32_t divisor);
/* The CPU's cycle count (it wraps). The CPU runs at least as fast as the UART's clock. */
uint32_t cpu_cycles(void);

#endif
