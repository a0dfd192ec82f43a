// The SHA-512 layer over libcrypto: contexts on the heap, a digest that
// leaves its context untouched, and the hash of a file's first bytes.
#pragma once
#include <cstddef>
#include <cstdint>

struct Sha512Ctx;

// A new initialised context (memAlloc rules); release it with free().
Sha512Ctx* sha512New();
// Feeds length bytes; a length of 0 changes nothing.
void sha512Update(Sha512Ctx* ctx, const void* bytes, size_t length);
// The digest of everything fed so far, in sha512Digest. The context is left
// as it was, so it can be fed on or finished again.
const uint8_t* sha512Final(const Sha512Ctx* ctx);
// Feeds the first size bytes of the named file, in 1,000,000-byte chunks;
// a size of 0 or less feeds nothing but the file is still opened and closed.
void sha512File(Sha512Ctx* ctx, const char* name, int64_t size);
// Clears what the context holds of the message (its partial block may be
// plain text or passphrase bytes). The caller still frees it.
void sha512Wipe(Sha512Ctx* ctx);

// The digest of the latest sha512Final; overwritten by the next one.
extern uint8_t sha512Digest[64];
