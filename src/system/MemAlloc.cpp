#include "system/MemAlloc.h"

#include <cstdlib>

#include "system/System.h"

void* memAlloc(int32_t size) {
    if (size < 0) fatalError("MemAlloc", 5, "memAlloc");
    // A request for 0 bytes still gives a block of its own.
    void* block = malloc(size == 0 ? 1 : static_cast<size_t>(size));
    if (block == nullptr) fatalError("MemAlloc", 7, "memAlloc");
    return block;
}

void* memRealloc(void* block, int32_t size) {
    if (size < 0) fatalError("MemAlloc", 13, "memRealloc");
    void* resized = realloc(block, size == 0 ? 1 : static_cast<size_t>(size));
    if (resized == nullptr) fatalError("MemAlloc", 15, "memRealloc");
    return resized;
}
