// Checked allocation: every heap block of the program comes from here and
// is released with the ordinary free.
#pragma once
#include <cstdint>

// Never return null: a negative size or an exhausted heap is a fatal error.
void* memAlloc(int32_t size);
void* memRealloc(void* block, int32_t size);
