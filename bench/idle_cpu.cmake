# RL_PATCH_SPIN.EXE: RL_PATCH.EXE's sources with the old, never-blocking message loop, for the
# idle-CPU benchmark (bench/idle_cpu.sh) only; built as the product is, on request, never by
# default.
pinecone_add_product(rl_patch_spin RL_PATCH_SPIN)
set_target_properties(rl_patch_spin rl_patch_spin_per_byte PROPERTIES EXCLUDE_FROM_ALL ON)
target_compile_definitions(rl_patch_spin PRIVATE PINECONE_BENCH_SPINNING_LOOP)
