/* The emulator starts at 0x50000000 and not at the program's entry: set the stack where the ROM
 * leaves it and jump to the tests. */
    .section .boot, "ax"
    .align 4
    .global _boot
_boot:
    j 1f
    .align 4
2:  .word test_entry
3:  .word 0x3FFFFFA0
1:  l32r a0, 2b
    l32r a1, 3b
    jx a0
