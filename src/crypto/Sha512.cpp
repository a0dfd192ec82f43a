// libcrypto's low-level SHA-512 interface is deprecated in OpenSSL 3 but is
// the one whose context is a plain record that can be copied by value, which
// is what lets sha512Final finish a copy. The deprecation is silenced here
// and nowhere else.
#define OPENSSL_SUPPRESS_DEPRECATED 1
#include "crypto/Sha512.h"

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <cstdlib>

#include "system/FileStream.h"
#include "system/MemAlloc.h"
#include "system/System.h"

struct Sha512Ctx {
    SHA512_CTX state;
};

uint8_t sha512Digest[64];
// The copy that sha512Final finishes; meaningless between calls.
static Sha512Ctx sha512WorkCtx;

enum { FILE_CHUNK = 1000000 };

Sha512Ctx* sha512New() {
    Sha512Ctx* ctx = static_cast<Sha512Ctx*>(memAlloc(sizeof(Sha512Ctx)));
    SHA512_Init(&ctx->state);
    return ctx;
}

void sha512Update(Sha512Ctx* ctx, const void* bytes, size_t length) {
    SHA512_Update(&ctx->state, bytes, length);
}

const uint8_t* sha512Final(const Sha512Ctx* ctx) {
    sha512WorkCtx = *ctx;
    SHA512_Final(sha512Digest, &sha512WorkCtx.state);
    // The finished copy still holds the tail of the message.
    OPENSSL_cleanse(&sha512WorkCtx, sizeof sha512WorkCtx);
    return sha512Digest;
}

void sha512File(Sha512Ctx* ctx, const char* name, int64_t size) {
    uint8_t* chunk = static_cast<uint8_t*>(memAlloc(FILE_CHUNK));
    int64_t used = size < 0 ? 0 : size < FILE_CHUNK ? size : int64_t{FILE_CHUNK};
    FILE* stream = fileOpen(name, "rb");
    fileSeek(stream, 0);
    for (int64_t remaining = size; remaining >= 1;) {
        int32_t count = remaining < FILE_CHUNK ? static_cast<int32_t>(remaining) : FILE_CHUNK;
        fileRead(stream, chunk, count);
        SHA512_Update(&ctx->state, chunk, static_cast<size_t>(count));
        remaining -= count;
        checkInterrupt();
    }
    fileClose(stream);
    // The chunk held file content, which may be plain text being encrypted.
    OPENSSL_cleanse(chunk, static_cast<size_t>(used));
    free(chunk);
}

void sha512Wipe(Sha512Ctx* ctx) { OPENSSL_cleanse(ctx, sizeof *ctx); }
