// The container pipeline and its layers. Each layer works on a file by name,
// in place, opening and closing its own streams.
#pragma once
#include <cstdint>

struct CamelliaCtx;

enum { CHUNK_SIZE = 1600000 };
// The chunk area of the reverse-CBC passes, followed by the 16-byte chainBlock.
extern uint8_t* workBuffer;
// The Camellia context of the running pass.
extern CamelliaCtx* cipherCtx;

void AddPadding(const char* name);
int UnaddPadding(const char* name);
void AddRandPart(const char* name, int32_t count);
int UnaddRandPart(const char* name, int32_t count);
void AddHash(const char* name);
int UnaddHash(const char* name);
void EncryptFileRCbc(const char* name, const uint8_t* key);
int DecryptFileRCbc(const char* name, const uint8_t* key);

// 1 when the pipeline ran, 0 when decryption refused the file.
int Cipher(const char* outputName, const char* inputName, int removeRFileFlag, int cphrMode,
           const uint8_t* key);
