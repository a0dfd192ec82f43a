// The container pipeline and its layers. Each layer works on a file by name,
// in place, opening and closing its own streams and keeping none open between
// calls.
//
// Container: plain file | padding (last byte = its size) | 64 random bytes |
// SHA-512 of all before | 16 random bytes, encrypted in place by two
// reverse-CBC passes (key bytes 0..31, then 32..63), then the optional
// 64-byte XExInfo trailer in clear.
#pragma once
#include <cstdint>

struct CamelliaCtx;

// The most a reverse-CBC pass holds at a time; a multiple of 16.
enum { CHUNK_SIZE = 1600000, WORK_BUFFER_SIZE = CHUNK_SIZE + 16 };
// The chunk area of the reverse-CBC passes, followed by the 16-byte chainBlock.
// Allocated by the first Cipher call (tests may allocate it themselves) and
// never freed.
extern uint8_t* workBuffer;
// The Camellia context of the running pass; null between passes.
extern CamelliaCtx* cipherCtx;

// Appends 1..255 random bytes, the last of them the count, so that the length
// becomes a multiple of 16 and at least 240.
void AddPadding(const char* name);
// 1 when the padding named by the last byte was cut; 0 (file unchanged) for an
// empty file or a pad size beyond the length. A pad size of 0 is fatal.
int UnaddPadding(const char* name);
void AddRandPart(const char* name, int32_t count);
// 1 when the last count bytes were cut; 0 (file unchanged) when too short.
int UnaddRandPart(const char* name, int32_t count);
// Appends the SHA-512 digest of the whole file.
void AddHash(const char* name);
// 1 when the last 64 bytes are the digest of the bytes before them and were
// cut; 0 (file unchanged) when they are not or the file is too short.
int UnaddHash(const char* name);
// Reverse CBC: C0 = E(P0 ^ P(n-1)), Ci = E(Pi ^ C(i-1)). The length must be a
// multiple of 16 and at least 32, or the process ends.
void EncryptFileRCbc(const char* name, const uint8_t* key);
// The inverse of EncryptFileRCbc for any key; 0 (file unchanged) when the
// length is unfit.
int DecryptFileRCbc(const char* name, const uint8_t* key);

// Puts the input under the output name (copied, or moved when removeRFileFlag)
// and encrypts (cphrMode 1) or decrypts it there in place. 1 when the pipeline
// ran; 0 when decryption refused the file. After a refusal under
// removeRFileFlag the container is back under the input name as it was and
// no output file exists.
int Cipher(const char* outputName, const char* inputName, int removeRFileFlag, int cphrMode,
           const uint8_t* key);
