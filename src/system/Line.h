// String helpers that respect double-byte characters of the process's code page.
#pragma once
#include <cstdint>

// A new copy of the text (memAlloc rules).
char* strDup(const char* text);

// The first '/' of the text that is a character of its own (never the second
// byte of a double-byte character), or null.
const char* findSlash(const char* text);

// 0 when equal under ASCII case folding of single-byte characters, else the
// difference of the first differing bytes (0 to 255 each).
int mbs_stricmp(const char* first, const char* second);

// Exactly two hexadecimal digits give their value; anything else the code of
// its first byte (0 for the empty text).
int parseCharCode(const char* text);

// Decimal number as the command line reads it: optional white space, an
// optional sign, digits up to the first other character; no digits gives 0.
// A value outside the 32-bit range is clamped to INT32_MIN or INT32_MAX, so
// it can never wrap into a range that a caller accepts.
int32_t parseDecimal(const char* text);
