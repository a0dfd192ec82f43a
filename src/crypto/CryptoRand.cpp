#include "crypto/CryptoRand.h"

#include <openssl/crypto.h>

#include <cstdlib>

#include "platform/platform.h"
#include "system/System.h"

uint8_t randomPool[RANDOM_POOL_SIZE];
int32_t randomPoolPos = RANDOM_POOL_SIZE;
// Whether wipePool is registered to run at exit; set by the first refill.
static bool poolWipeAtExit = false;

// Passwords and keys are made from pool bytes; clear them when the process ends.
static void wipePool() { OPENSSL_cleanse(randomPool, sizeof randomPool); }

void getCryptoBlock_MS() {
    if (!poolWipeAtExit) {
        poolWipeAtExit = true;
        atexit(wipePool);
    }
    int error = 0;
    int result = platformRandomFill(randomPool, sizeof randomPool, &error);
    if (result == 1) {
        xcout("Failed to open CSP. Last error: %08x\n", static_cast<unsigned>(error));
        fatalError("CryptoRand", 25, "getCryptoBlock_MS");
    }
    if (result != 0) fatalError("CryptoRand", 30, "getCryptoBlock_MS");
}

int nextRandomByte() {
    if (randomPoolPos == RANDOM_POOL_SIZE) {
        getCryptoBlock_MS();
        randomPoolPos = 0;
    }
    return randomPool[randomPoolPos++];
}
