// Stand-in for the freestanding 32-bit build: what <mm_malloc.h> declares from it.
#pragma once
#include <stddef.h>
extern "C" {
void* malloc(size_t);
void free(void*);
int posix_memalign(void**, size_t, size_t) throw();
}
