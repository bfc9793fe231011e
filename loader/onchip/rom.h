#ifndef FERRULE_ONCHIP_ROM_H
#define FERRULE_ONCHIP_ROM_H
/* What the loader program needs of the module: the boot ROM's flash routines and UART0. The
 * program links rom.c on the module; its tests link a fake flash and UART instead. */

#include <stdint.h>

/* Flash. Offsets are bytes from the flash's start; 0 = done, anything else = refused. */
void flash_prepare(void); /* attach the flash and unlock it for erasing and writing */
int flash_erase_sector(uint32_t sector);
int flash_erase_block(uint32_t block); /* one 64 KiB block */
int flash_write(uint32_t offset, const void* source,
                uint32_t length); /* aligned, length % 4 == 0 */
int flash_read(uint32_t offset, void* destination, uint32_t length);

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
