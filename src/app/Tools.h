// Random passwords and keys for the user.
#pragma once
#include <cstdint>

// A new password of length characters (3..1000) from 0-9A-Za-z holding at
// least one of each class; any other length ends the process.
char* MkPassword(int32_t length);
// A new text of 128 lowercase hex digits: 64 random bytes.
char* MkKey();
