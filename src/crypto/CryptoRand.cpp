#include "crypto/CryptoRand.h"

#include "platform/platform.h"
#include "system/System.h"

uint8_t randomPool[RANDOM_POOL_SIZE];
int32_t randomPoolPos = RANDOM_POOL_SIZE;

void getCryptoBlock_MS() {
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
