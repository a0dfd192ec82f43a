// Cipher key derivation.
#pragma once
#include <cstdint>

// The /PE settings, made by the driver: stretching requested, the filler
// byte (valid 0x00..0xff) and the exponent (valid 10..40).
extern int xExFlag;
extern int32_t xChr;
extern int32_t xExp;

// The 64-byte key; bytes 0..31 and 32..63 are the two Camellia keys.
extern uint8_t cipherKey[64];
// The stretching block that travels as the container's trailer, or null;
// xExInfoSize is 64 when it exists, else 0.
extern uint8_t* XExInfo;
extern int32_t xExInfoSize;

// 128 hexadecimal digits exactly.
bool isRawKeyHex(const char* text);
// "<label>: " and the 64 bytes as lowercase hex, through xcout.
void printHex64(const char* label, const uint8_t* block);
// Derives cipherKey from the /P text; mode 1 encrypts, anything else decrypts.
uint8_t* GetRawKey(const char* passphrase, int mode, const char* inputName);
