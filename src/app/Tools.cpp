#include "app/Tools.h"

#include <cstdio>

#include "crypto/CryptoRand.h"
#include "system/MemAlloc.h"
#include "system/System.h"

static const char passwordAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// 8 pool bytes as a little-endian 64-bit number. Values below 16 are drawn
// again: 2^64 mod 62 is 16, so what is left divides evenly by 62.
static uint64_t drawUniform() {
    for (;;) {
        uint64_t value = 0;
        for (int i = 0; i < 8; ++i) value |= static_cast<uint64_t>(nextRandomByte()) << (8 * i);
        if (value >= 16) return value;
    }
}

char* MkPassword(int32_t length) {
    if (static_cast<uint32_t>(length) - 3u > 997u) {
        fatalErrorMsg("Tools", 5, "MkPassword", "要求されたパスフレーズの長さに問題があります。");
    }
    char* text = static_cast<char*>(memAlloc(length + 1));
    for (;;) {
        bool digit = false, upper = false, lower = false;
        for (int32_t i = 0; i < length; ++i) {
            int index = static_cast<int>(drawUniform() % 62);
            if (index < 10) digit = true;
            else if (index < 36) upper = true;
            else lower = true;
            text[i] = passwordAlphabet[index];
        }
        // A candidate that lacks a class is thrown away whole.
        if (digit && upper && lower) break;
    }
    text[length] = '\0';
    return text;
}

char* MkKey() {
    char* text = static_cast<char*>(memAlloc(129));
    for (int i = 0; i < 64; ++i) snprintf(text + 2 * i, 3, "%02x", static_cast<unsigned>(nextRandomByte()));
    return text;
}
