# RL_PATCH_SPIN.EXE: RL_PATCH.EXE's sources with the old, never-blocking message loop, for the
# idle-CPU benchmark (bench/idle_cpu.sh) only; built on request, never by default.
file(GLOB IDLE_BENCH_SOURCES CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/src/shell/*_win32.cpp
  ${PROJECT_SOURCE_DIR}/src/package/*_win32.cpp
  ${PROJECT_SOURCE_DIR}/src/update/*_win32.cpp)
add_executable(rl_patch_spin WIN32 EXCLUDE_FROM_ALL ${IDLE_BENCH_SOURCES}
  ${PROJECT_SOURCE_DIR}/src/resources/rl_patch.rc)
set_target_properties(rl_patch_spin PROPERTIES OUTPUT_NAME RL_PATCH_SPIN SUFFIX .EXE)
target_compile_definitions(rl_patch_spin PRIVATE PINECONE_BENCH_SPINNING_LOOP)
target_include_directories(rl_patch_spin PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(rl_patch_spin PRIVATE pinecone_portable)
