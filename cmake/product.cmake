# How RL_PATCH.EXE (and any variant of it, such as the idle-CPU benchmark's) is compiled and
# linked. Every self-contained updater is a copy of this executable, so its size is paid by every
# update shipped; and it runs elevated from wherever the user saved it. Hence:
# - no C++ runtime: no exceptions, no RTTI, and only the libraries named below, so nothing of
#   libstdc++, libsupc++, libgcc_eh or winpthreads is linked (the build check reads the link map);
# - zlib's CRC-32 with its 8 KB of tables and its unrolled Adler-32 replaced by plain loops
#   (src/runtime): inflate needs the CRC only for gzip streams, and the program's are zlib streams;
# - no C runtime start-up code: the image's entry point is RlPatchStart (shell/window_win32.cpp),
#   msvcrt initialises itself when loaded; the C runtime's own formatter rather than MinGW's;
# - size: -Oz (416 bytes less than -Os), but -Os (the presets' MinSizeRel) for the code that runs
#   per byte (the delta appliers, SHA-256, the checksums, the inflate loop), where -Oz would save
#   120 bytes more and each loop's speed would have to be measured again; one section per
#   function with garbage collection (not
#   per datum: MinGW's compiler then puts zero-initialised data in .data sections, which take
#   their size in the file, and with no initialised data left the image has no .data section),
#   no debug information or symbols, and on x86 no DWARF unwind tables (nothing
#   unwinds: there are no exceptions, and x86 SEH does not use them);
# - hardening flags: ASLR (dynamic base, with relocations), DEP (NX compatible), large-address
#   aware, and a stated 2 MiB stack reservation (the worker thread commits 64 KiB of it);
# - the load-configuration record, whose dependent-load flags restrict the DLL search to System32,
#   becomes the image's load-configuration directory (cmake/pe_load_config.py, after the link).
# The portable sources are compiled again here with these options; the library
# pinecone_portable keeps the ordinary ones for the tests and pinepack.

find_package(Python3 REQUIRED COMPONENTS Interpreter)

# pinecone_add_product(TARGET OUTPUT_NAME): RL_PATCH.EXE's sources built as the GUI executable
# OUTPUT_NAME.EXE in the current binary folder, with its link map OUTPUT_NAME.map beside it.
function(pinecone_add_product target output_name)
  set(src ${PROJECT_SOURCE_DIR}/src)
  file(GLOB sources CONFIGURE_DEPENDS
    ${src}/shell/*.cpp ${src}/package/*.cpp ${src}/update/*.cpp ${src}/runtime/*.cpp
    ${src}/delta/*.cpp)
  # The code that runs per byte, compiled apart at -Os (see above).
  set(per_byte
    ${src}/delta/delta_words.cpp ${src}/delta/delta_apply.cpp ${src}/delta/delta_tables.cpp
    ${src}/delta/image_tables.cpp ${src}/delta/relocated_places.cpp ${src}/delta/sha256.cpp
    ${src}/runtime/zlib_checksums.cpp
    ${src}/package/inflate_stream.cpp)
  list(REMOVE_ITEM sources ${per_byte})
  add_library(${target}_per_byte OBJECT ${per_byte})
  # zlib's inflater, built here from its sources (third_party/zlib, the version of Debian's MinGW
  # library) rather than linked from that library, which is compiled at -O3: 5.4 KB of code
  # less. The decoding loop (inffast.c) runs per byte and is compiled at -O2, as fast as -O3
  # where measured; table building and the rest of inflateBack at -Oz. Data sections too: zlib
  # has no zero-initialised data, and z_errmsg, which nothing reads, goes.
  set(zlib ${PROJECT_SOURCE_DIR}/third_party/zlib)
  add_library(${target}_zlib OBJECT ${zlib}/infback.c ${zlib}/inftrees.c ${zlib}/zutil.c)
  add_library(${target}_zlib_per_byte OBJECT ${zlib}/inffast.c)
  target_compile_options(${target}_zlib PRIVATE -Oz)
  target_compile_options(${target}_zlib_per_byte PRIVATE -O2)
  add_executable(${target} WIN32 ${sources} $<TARGET_OBJECTS:${target}_per_byte>
    $<TARGET_OBJECTS:${target}_zlib> $<TARGET_OBJECTS:${target}_zlib_per_byte>
    ${src}/resources/rl_patch.rc)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${output_name} SUFFIX .EXE)
  # Exactly what the program links, in this order: the import libraries of the four DLLs it may
  # use, and libgcc's arithmetic and stack-probe helpers; the drivers' default libraries and
  # start-up files are left out (-nostdlib below).
  target_link_libraries(${target} PRIVATE msvcrt kernel32 user32 advapi32 gcc)
  # The resource script includes the icon and the manifest by relative path.
  set_property(SOURCE ${src}/resources/rl_patch.rc APPEND PROPERTY OBJECT_DEPENDS
    ${src}/resources/pinecone.ico ${src}/resources/rl_patch.manifest)

  foreach(part ${target}_zlib ${target}_zlib_per_byte)
    target_include_directories(${part} PRIVATE ${zlib})
    target_compile_options(${part} PRIVATE -ffunction-sections -fdata-sections -fno-ident)
  endforeach()
  # The program's own code includes zlib.h from the same sources it is compiled with.
  foreach(part ${target} ${target}_per_byte)
    target_include_directories(${part} PRIVATE ${src} ${zlib})
    target_compile_options(${part} PRIVATE
      $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions -fno-rtti>
      $<$<COMPILE_LANGUAGE:C,CXX>:-ffunction-sections -fno-ident>)
  endforeach()
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:C,CXX>:-Oz>)
  target_compile_options(${target}_per_byte PRIVATE $<$<COMPILE_LANGUAGE:C,CXX>:-Os>)

  set(map ${CMAKE_CURRENT_BINARY_DIR}/${output_name}.map)
  # Symbols as the linker's options name them: x86 C names carry a leading underscore, and the
  # stdcall entry point its argument bytes. The map lists them without that underscore.
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    set(entry RlPatchStart)
    set(load_config _load_config_used)
  else()
    set(entry _RlPatchStart@4)
    set(load_config __load_config_used)
    # The x86 Windows ABI keeps the stack 4-byte aligned, and the compiler already realigns it in
    # a function that needs more (the SHA extensions' code): keeping it 16-byte aligned at every
    # call only costs code. Nor does anything walk the stack by frame pointers (no exceptions,
    # and x86 SEH does not): their pushes and the register they take cost code too.
    foreach(part ${target} ${target}_per_byte ${target}_zlib ${target}_zlib_per_byte)
      target_compile_options(${part} PRIVATE
        $<$<COMPILE_LANGUAGE:C,CXX>:-fno-asynchronous-unwind-tables -mpreferred-stack-boundary=2
          -fomit-frame-pointer>)
    endforeach()
    # zlib's objects bring their own unwind tables; the default linker script keeps every
    # .eh_frame, so a script fragment discards them.
    # (x64 images are large-address aware without being asked.)
    target_link_options(${target} PRIVATE -Wl,--large-address-aware
      -Wl,-T,${PROJECT_SOURCE_DIR}/cmake/discard-eh-frame.ld)
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS
      ${PROJECT_SOURCE_DIR}/cmake/discard-eh-frame.ld)
  endif()
  target_link_options(${target} PRIVATE
    -nostdlib -Wl,-e,${entry} -s -Wl,--gc-sections
    # The record is referenced by nothing but the directory filled in after the link.
    -Wl,--require-defined,${load_config}
    # Data imported from a DLL would need the start-up code's pseudo-relocation pass: refused.
    -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc
    -Wl,--dynamicbase -Wl,--nxcompat -Wl,--stack,0x200000
    -Wl,-Map,${map})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/cmake/pe_load_config.py
            $<TARGET_FILE:${target}> ${map} _load_config_used
    VERBATIM)
endfunction()
