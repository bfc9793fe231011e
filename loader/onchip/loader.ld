/* The loader program in the module's RAM: code in instruction RAM, constants and data in data
 * RAM below the ROM loader's own buffers (0x3FFFA000). Zeroed data is not uploaded; the entry
 * clears it. Literals come before the code: l32r only reaches backwards. The tests' start
 * (section .boot) and their large arrays (.ext, .ext_bss) go to memory the emulator adds. */
ENTRY(loader_entry)

MEMORY {
  iram (rx) : ORIGIN = 0x40100000, LENGTH = 32K
  dram (rw) : ORIGIN = 0x3FFE8000, LENGTH = 72K
  ext (rwx) : ORIGIN = 0x50000000, LENGTH = 32M
}

SECTIONS {
  .boot : { KEEP(*(.boot)) } > ext
  .ext : { *(.ext .ext.*) } > ext
  .ext_bss (NOLOAD) : { *(.ext_bss .ext_bss.*) } > ext
  .text : ALIGN(4) {
    *(.literal .literal.*)
    *(.text .text.*)
    . = ALIGN(4);
  } > iram
  .data : ALIGN(4) {
    *(.rodata .rodata.*)
    *(.data .data.*)
    . = ALIGN(4);
  } > dram
  .bss (NOLOAD) : ALIGN(4) {
    _bss_start = .;
    *(.bss .bss.*)
    *(COMMON)
    . = ALIGN(4);
    _bss_end = .;
  } > dram
  /DISCARD/ : { *(.comment) *(.xtensa.info) *(.xt.*) }
}
