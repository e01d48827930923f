/* Added to the default linker script of RL_PATCH.EXE's x86 build (cmake/product.cmake): drops the
   DWARF unwind tables that zlib's objects bring. Nothing reads them: the program has no
   exceptions, no start-up code that would register them, and x86 SEH does not use them. */
SECTIONS
{
  /DISCARD/ : { *(.eh_frame) }
}
INSERT BEFORE .text;
