// The pool of operating-system random bytes, handed out one at a time.
#pragma once
#include <cstdint>

enum { RANDOM_POOL_SIZE = 65536 };

// Refilled whole by getCryptoBlock_MS when randomPoolPos reaches its size.
extern uint8_t randomPool[RANDOM_POOL_SIZE];
// Index of the next byte to hand out; RANDOM_POOL_SIZE means used up.
extern int32_t randomPoolPos;

// Fills all of randomPool from the kernel's generator, or ends the process.
void getCryptoBlock_MS();
// The one way to take a random byte.
int nextRandomByte();
