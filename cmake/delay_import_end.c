/* The null entry that ends the exe's table of delay-import descriptors. dlltool's delay-load
   libraries put their descriptors in sections named .text$2, and the linker sorts .text$ sections
   by name, so this one lands right after the last of them (delay_import_directory.py checks). */
__attribute__((section(".text$2z"), used, aligned(4)))
const unsigned char velm_delay_import_end[32] = {0};
