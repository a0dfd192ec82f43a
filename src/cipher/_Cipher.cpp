#include "cipher/_Cipher.h"

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "app/_Tools.h"
#include "crypto/CryptoRand.h"
#include "crypto/Sha512.h"
#include "crypto/camellia.h"
#include "platform/platform.h"
#include "system/File.h"
#include "system/FileStream.h"
#include "system/MemAlloc.h"
#include "system/System.h"

uint8_t* workBuffer = nullptr;
CamelliaCtx* cipherCtx = nullptr;

enum { BLOCK = 16 };
static_assert(CHUNK_SIZE % BLOCK == 0, "chunks hold whole blocks");

static uint8_t* chainBlock() { return workBuffer + CHUNK_SIZE; }

static void traceLine(const char* function, int line) {
    xcout("%s (%d) %s\n", "_Cipher", line, function);
}

static void xorBlock(uint8_t* block, const uint8_t* with) {
    for (int i = 0; i < BLOCK; ++i) block[i] ^= with[i];
}

// Plain text or key material that is no longer needed.
static void wipe(void* bytes, size_t size) {
    volatile uint8_t* p = static_cast<volatile uint8_t*>(bytes);
    for (size_t i = 0; i < size; ++i) p[i] = 0;
}

// ---- padding ----

// The pad size for a file of this length: one random byte per try.
static int choosePadSize(int64_t length) {
    int low = static_cast<int>((16 - length % 16) % 16);
    int padSize;
    do {
        padSize = (nextRandomByte() & 0xF0) | low;
    } while (padSize == 0 || length + padSize < 240);
    return padSize;
}

void AddPadding(const char* name) {
    int64_t length = getFileSizeByName(name);
    int padSize = choosePadSize(length);
    xcout("padSize: %d\n", padSize);
    FILE* stream = fileOpen(name, "ab");
    for (int i = 0; i < padSize - 1; ++i) writeChar(stream, nextRandomByte());
    writeChar(stream, padSize);
    fileClose(stream);
}

int UnaddPadding(const char* name) {
    int64_t size = getFileSizeByName(name);
    if (size < 1) {
        traceLine("UnaddPadding", 34);
        return 0;
    }
    FILE* stream = fileOpen(name, "rb");
    fileSeek(stream, size - 1);
    int padSize = readChar(stream);
    xcout("padSize: %d\n", padSize);
    fileClose(stream);
    if (padSize < 1 || padSize > 255) fatalError("_Cipher", 45, "UnaddPadding");
    if (size < padSize) {
        traceLine("UnaddPadding", 49);
        return 0;
    }
    setFileSize(name, size - padSize);
    return 1;
}

// ---- random parts and hash ----

void AddRandPart(const char* name, int32_t count) {
    FILE* stream = fileOpen(name, "ab");
    for (int32_t i = 0; i < count; ++i) writeChar(stream, nextRandomByte());
    fileClose(stream);
}

int UnaddRandPart(const char* name, int32_t count) {
    int64_t size = getFileSizeByName(name);
    if (size < count) {
        traceLine("UnaddRandPart", 75);
        return 0;
    }
    setFileSize(name, size - count);
    return 1;
}

void AddHash(const char* name) {
    Sha512Ctx* ctx = sha512New();
    int64_t size = getFileSizeByName(name);
    sha512File(ctx, name, size);
    uint8_t digest[64];
    memcpy(digest, sha512Final(ctx), sizeof digest);
    free(ctx);
    printHex64("hash", digest);
    FILE* stream = fileOpen(name, "ab");
    fileWrite(stream, digest, sizeof digest);
    fileClose(stream);
}

int UnaddHash(const char* name) {
    int64_t size = getFileSizeByName(name);
    if (size < 64) {
        traceLine("UnaddHash", 110);
        return 0;
    }
    int64_t covered = size - 64;
    Sha512Ctx* ctx = sha512New();
    sha512File(ctx, name, covered);
    uint8_t computed[64];
    memcpy(computed, sha512Final(ctx), sizeof computed);
    free(ctx);
    printHex64("mkHash", computed);
    uint8_t stored[64];
    FILE* stream = fileOpen(name, "rb");
    fileSeek(stream, covered);
    fileRead(stream, stored, sizeof stored);
    fileClose(stream);
    printHex64("rdHash", stored);
    // Compared without an early exit.
    uint8_t difference = 0;
    for (int i = 0; i < 64; ++i) difference |= static_cast<uint8_t>(computed[i] ^ stored[i]);
    if (difference != 0) {
        traceLine("UnaddHash", 132);
        return 0;
    }
    setFileSize(name, covered);
    return 1;
}

// ---- reverse-CBC passes ----

// Makes the pass's context. A quiet pass (the /R restore) keeps the key line
// out of the trace; the trace is silenced for this call alone, so that any
// failure around it is still reported.
static void createPassContext(const uint8_t* key, bool quiet) {
    if (!quiet) {
        cipherCtx = camellia_create(key);
        return;
    }
    XcoutFunc saved = xcout;
    xcout = xcoutNull;
    cipherCtx = camellia_create(key);
    xcout = saved;
}

static void releasePassContext() {
    camellia_release(cipherCtx);
    cipherCtx = nullptr;
}

// ---- the encryption chain on a second thread ----
//
// An encryption pass is one long dependency: every block waits for the one
// before, so the pass takes the latency of one Camellia block per block. That
// chain runs on a worker thread over a ring of slots in the chunk area, while
// this thread reads chunks ahead of it, hashes them when asked and writes the
// encrypted ones back behind it. Every file operation, and so every failure
// report, stays on this thread; the worker only computes and cannot fail. A
// fatal error here ends the process with the worker waiting or working on
// memory that is never freed.
//
// Slots of 393,216 bytes: a multiple of 16, and of the stream buffer sizes
// (4 KiB up to 128 KiB), so that whole slots go straight to the file.
enum { SLOTS = 4, SLOT_SIZE = 3 * 131072 };
static_assert(SLOTS * SLOT_SIZE <= CHUNK_SIZE, "the ring fits in the chunk area");
static_assert(SLOT_SIZE % BLOCK == 0, "slots hold whole blocks");

struct ChainJob {
    const CamelliaCtx* ctx;
    uint8_t chain[BLOCK];  // the block the next chunk chains to
    int64_t length;        // bytes of the pass
    int64_t ready;         // chunks handed to the worker
    int64_t done;          // chunks encrypted
    std::mutex lock;
    std::condition_variable changed;
};
// The running pass's job and worker: set by startChain, cleared by
// finishChain; after a fatal error in between they stay until the process
// ends.
static ChainJob* chainJob = nullptr;
static std::thread* chainThread = nullptr;

static int64_t chunkCount(int64_t length) { return (length + SLOT_SIZE - 1) / SLOT_SIZE; }
static int32_t chunkLength(int64_t length, int64_t chunk) {
    int64_t rest = length - chunk * SLOT_SIZE;
    return rest < SLOT_SIZE ? static_cast<int32_t>(rest) : SLOT_SIZE;
}
static uint8_t* slotOf(int64_t chunk) { return workBuffer + (chunk % SLOTS) * SLOT_SIZE; }

static void chainWorker(ChainJob* job) {
    int64_t chunks = chunkCount(job->length);
    for (int64_t i = 0; i < chunks; ++i) {
        {
            std::unique_lock<std::mutex> hold(job->lock);
            job->changed.wait(hold, [&] { return job->ready > i; });
        }
        uint8_t* slot = slotOf(i);
        int32_t size = chunkLength(job->length, i);
        // job->chain ends as the slot's last cipher block, which chains the
        // next slot (this one is reused once done says so).
        camellia_encrypt_cbc(job->ctx, job->chain, slot, size / BLOCK);
        {
            std::lock_guard<std::mutex> hold(job->lock);
            job->done = i + 1;
        }
        job->changed.notify_all();
    }
}

static void startChain(const CamelliaCtx* ctx, const uint8_t* chain, int64_t length) {
    chainJob = new ChainJob();
    chainJob->ctx = ctx;
    memcpy(chainJob->chain, chain, BLOCK);
    chainJob->length = length;
    chainJob->ready = 0;
    chainJob->done = 0;
    chainThread = new std::thread(chainWorker, chainJob);
}

// The chunk's slot is filled: the worker may encrypt it.
static void handChunk(int64_t chunk) {
    {
        std::lock_guard<std::mutex> hold(chainJob->lock);
        chainJob->ready = chunk + 1;
    }
    chainJob->changed.notify_all();
}

// Waits until the chunk is encrypted, then writes it.
static void writeChunk(FILE* writer, int64_t chunk) {
    {
        std::unique_lock<std::mutex> hold(chainJob->lock);
        chainJob->changed.wait(hold, [&] { return chainJob->done > chunk; });
    }
    fileWrite(writer, slotOf(chunk), chunkLength(chainJob->length, chunk));
    checkInterrupt();
}

static void finishChain() {
    chainThread->join();
    delete chainThread;
    delete chainJob;
    chainThread = nullptr;
    chainJob = nullptr;
}

static void encryptPass(const char* name, const uint8_t* key, bool quiet) {
    int64_t length = getFileSizeByName(name);
    if (length < 32) fatalError("_Cipher", 160, "EncryptFileRCbc");
    if (length % BLOCK != 0) fatalError("_Cipher", 161, "EncryptFileRCbc");
    // The reader always runs ahead of the writer, so every byte is read
    // before it is overwritten.
    FILE* reader = fileOpen(name, "rb");
    FILE* writer = fileOpen(name, "r+b");
    // The last plain block chains the first one: read it before any write.
    fileSeek(reader, length - BLOCK);
    fileRead(reader, chainBlock(), BLOCK);
    fileSeek(reader, 0);
    createPassContext(key, quiet);
    startChain(cipherCtx, chainBlock(), length);
    int64_t chunks = chunkCount(length);
    int64_t written = 0;
    for (int64_t i = 0; i < chunks; ++i) {
        if (i >= SLOTS) writeChunk(writer, written++);
        fileRead(reader, slotOf(i), chunkLength(length, i));
        handChunk(i);
    }
    while (written < chunks) writeChunk(writer, written++);
    finishChain();
    releasePassContext();
    fileClose(reader);
    fileClose(writer);
    // Every plain block in workBuffer has been encrypted in place: nothing to wipe.
}

void EncryptFileRCbc(const char* name, const uint8_t* key) { encryptPass(name, key, false); }

// Blocks decrypted together by camellia_decrypt_blocks, whose rounds overlap.
enum { DECRYPT_BATCH = 64 };

// Decrypts the chunk area's count blocks in place; chain is the cipher block
// before the first one (or, for the file's first block, P(n-1)). Decryption
// in place destroys the cipher blocks that chain their successors, so each
// batch keeps a copy of its cipher text first.
static void decryptChunk(int32_t count, const uint8_t* chain) {
    uint8_t previous[BLOCK];
    memcpy(previous, chain, BLOCK);
    uint8_t cipherText[DECRYPT_BATCH * BLOCK];
    for (int32_t first = 0; first < count; first += DECRYPT_BATCH) {
        int32_t blocks = count - first < DECRYPT_BATCH ? count - first : DECRYPT_BATCH;
        uint8_t* batch = workBuffer + static_cast<int64_t>(first) * BLOCK;
        memcpy(cipherText, batch, static_cast<size_t>(blocks) * BLOCK);
        camellia_decrypt_blocks(cipherCtx, batch, blocks);
        xorBlock(batch, previous);
        for (int32_t i = 1; i < blocks; ++i) xorBlock(batch + i * BLOCK, cipherText + (i - 1) * BLOCK);
        memcpy(previous, cipherText + (blocks - 1) * BLOCK, BLOCK);
    }
}

static int decryptPass(const char* name, const uint8_t* key, bool quiet) {
    int64_t length = getFileSizeByName(name);
    if (length < 32 || length % BLOCK != 0) {
        traceLine("DecryptFileRCbc", 202);
        return 0;
    }
    FILE* reader = fileOpen(name, "rb");
    FILE* writer = fileOpen(name, "r+b");
    createPassContext(key, quiet);
    // P(n-1), which chains the first block.
    uint8_t lastPlain[BLOCK] = {0};
    // Walks from the end: the last block alone first (its plain text chains
    // the first block), then whole chunks downward, the remainder at offset 0
    // last. The reader only ever reads below the lowest offset written so
    // far, so it never sees decrypted bytes.
    for (int64_t end = length;;) {
        int32_t chunk = end == length ? BLOCK : (end < CHUNK_SIZE ? static_cast<int32_t>(end) : CHUNK_SIZE);
        int64_t start = end - chunk;
        fileSeek(reader, start);
        fileRead(reader, workBuffer, chunk);
        if (start > 0) {
            fileSeek(reader, start - BLOCK);
            fileRead(reader, chainBlock(), BLOCK);
        } else {
            memcpy(chainBlock(), lastPlain, BLOCK);
        }
        decryptChunk(chunk / BLOCK, chainBlock());
        if (end == length) memcpy(lastPlain, workBuffer, BLOCK);
        fileSeek(writer, start);
        fileWrite(writer, workBuffer, chunk);
        if (start == 0) break;
        end = start;
        checkInterrupt();
    }
    releasePassContext();
    fileClose(reader);
    fileClose(writer);
    // The inner pass leaves the start of the plain file in the chunk area.
    wipe(lastPlain, sizeof lastPlain);
    wipe(workBuffer, WORK_BUFFER_SIZE);
    return 1;
}

int DecryptFileRCbc(const char* name, const uint8_t* key) { return decryptPass(name, key, false); }

// ---- the pipeline ----

// Under /R the container is moved, not copied, to the output name, so while
// it is decrypted there that file is the user's only copy. Every step that
// changes it is logged here: a pass that was undone (re-done by encrypting
// with the same key, since a pass is a permutation of the file) or a tail
// that was cut (its few bytes kept). A refusal replays the log backwards and
// moves the file back to the input name, byte for byte the container it was,
// with no second copy on disk. A successful run pays only for reading the
// cut tails (at most 463 bytes) before the cuts; a refusal pays one encryption
// pass per undone pass. The restore prints nothing, so the trace of a refusal
// is the same with and without /R.
//
// The same log serves a fatal error or an interrupt between two steps: the
// cleanup replays it. Encryption under /R keeps its own small record (the
// plain length and the passes done) and is undone likewise. Inside a pass the
// file is part transformed in a way no log describes: an interrupt waits for
// the pass to end, and a fatal error there leaves the file under the output
// name as the failure left it (the trace says so).
struct UndoStep {
    const uint8_t* key;   // the pass undone with this key, or null for a cut
    int32_t size;         // bytes kept from the end of the file (a cut step)
    int64_t sizeBefore;   // the file's length before the cut
    uint8_t bytes[255];   // the last size bytes before the cut, in file order
};
// The trailer cut, two passes, three cuts and the padding cut.
enum { UNDO_STEPS = 7, PADDING_TAIL = 255 };
// The log of the running /R decryption: undoSteps[0..undoCount); undoActive
// is set when it is kept. Only Cipher and its helpers change them.
static UndoStep undoSteps[UNDO_STEPS];
static int undoCount = 0;
static bool undoActive = false;

// The running Cipher call, for its cleanup: names, mode, and under /R
// encryption the plain length and the passes done. Set by Cipher.
static struct {
    const char* outputName;
    const char* inputName;
    int moved;             // /R: the input was moved to the output name
    int encrypting;
    int64_t plainLength;   // /R encryption: the input's length
    int64_t paddedLength;  // /R encryption: the length before the passes
    const uint8_t* key;
    int passesDone;        // /R encryption: 0, 1 or 2
    int inPass;            // a pass is running: the file is part transformed
} run;

// Keeps the last count bytes (at most the whole file) before a layer cuts
// them; the step counts in the log once the layer has cut (logCut). Until
// then it is the pending step: a failure after the cut but before logCut (a
// close that fails once the length has changed) still finds the bytes.
static void stashTail(const char* name, int32_t count) {
    if (!undoActive) return;
    UndoStep* step = &undoSteps[undoCount];
    step->key = nullptr;
    step->size = 0;
    int64_t size = getFileSizeByName(name);
    step->sizeBefore = size;
    if (size < count) count = static_cast<int32_t>(size);
    if (count <= 0) return;
    FILE* stream = fileOpen(name, "rb");
    fileSeek(stream, size - count);
    fileRead(stream, step->bytes, count);
    fileClose(stream);
    step->size = count;
}

static void logCut() {
    if (undoActive) ++undoCount;
}

static void logPass(const uint8_t* key) {
    if (!undoActive) return;
    undoSteps[undoCount].key = key;
    undoSteps[undoCount].size = 0;
    ++undoCount;
}

static void clearUndoLog() {
    wipe(undoSteps, sizeof undoSteps);
    undoCount = 0;
    undoActive = false;
}

// Appends what a cut took, judged by the file's length: nothing when the
// cut never happened.
static void putTailBack(const char* name, const UndoStep& step) {
    if (step.size <= 0) return;
    int64_t missing = step.sizeBefore - getFileSizeByName(name);
    if (missing <= 0 || missing > step.size) return;
    FILE* stream = fileOpen(name, "ab");
    fileWrite(stream, step.bytes + (step.size - missing), static_cast<int32_t>(missing));
    fileClose(stream);
}

// Replays the log backwards, the pending cut first, printing nothing, and
// gives the container back its input name.
static void restoreContainer(const char* outputName, const char* inputName) {
    if (undoCount < UNDO_STEPS && undoSteps[undoCount].key == nullptr) {
        putTailBack(outputName, undoSteps[undoCount]);
    }
    for (int i = undoCount - 1; i >= 0; --i) {
        const UndoStep& step = undoSteps[i];
        if (step.key != nullptr) {
            encryptPass(outputName, step.key, true);
        } else {
            putTailBack(outputName, step);
        }
    }
    clearUndoLog();
    fileMove(outputName, inputName);
}

// Undoes a /R encryption: the passes done are undone in reverse, the added
// layers cut, and the plain file goes back to its name.
static void restorePlain() {
    if (run.passesDone > 0) {
        setFileSize(run.outputName, run.paddedLength);
        if (run.passesDone > 1) decryptPass(run.outputName, run.key + 32, true);
        decryptPass(run.outputName, run.key, true);
    }
    // The length is known as soon as the moved file could be measured.
    if (run.plainLength >= 0) setFileSize(run.outputName, run.plainLength);
    fileMove(run.outputName, run.inputName);
}

// The cleanup of an early end: an incomplete copy is removed; a moved input
// is put back under its name when the run stands between two steps.
static void cleanupRun() {
    interruptDeferred = 1;
    if (!run.moved) {
        fileDelete(run.outputName);
    } else if (run.inPass) {
        xcout("the file is left as it stands: %s\n", run.outputName);
    } else if (run.encrypting) {
        restorePlain();
    } else {
        restoreContainer(run.outputName, run.inputName);
    }
}

static void beginStep(int pass) {
    run.inPass = pass;
    // Under /R a step runs to its end before an interrupt is acted on.
    interruptDeferred = run.moved;
}

static void endStep() {
    run.inPass = 0;
    interruptDeferred = 0;
    checkInterrupt();
}

// Cipher is done with the files: nothing more to clean up.
static int finishRun(int result) {
    cleanupHook = nullptr;
    interruptDeferred = 0;
    platformDefaultInterrupts();
    return result;
}

static void traceCipher(int line) { traceLine("Cipher", line); }

// Appends bytes drawn beforehand, one at a time as the adding layers do.
static void appendDrawn(const char* name, const uint8_t* bytes, int32_t count) {
    FILE* stream = fileOpen(name, "ab");
    for (int32_t i = 0; i < count; ++i) writeChar(stream, bytes[i]);
    fileClose(stream);
}

// Encryption without /R: the copy, the adding layers and the first pass in
// one sweep. The copy goes to the output name as fileCopy makes it, and the
// pass reads it back a chunk or two behind while the copy runs on, hashing
// what it reads: the file is read once for the hash and the pass, and the
// chain starts at once instead of after the copy and the hash. It can start
// because its first block chains to the second random part, and all random
// bytes are drawn first, in the order the layers take them (pad-size tries,
// padding, first random part, second random part). The layers still append
// their bytes to the file through their own streams, and the trace keeps its
// order: line 271 when the copy is closed, "padSize", "hash" once the pass
// has read all that the digest covers, then the key line of the pass.
static void sealCopy(const char* outputName, const char* inputName, const uint8_t* key) {
    const int64_t plainLength = getFileSizeByName(inputName);
    uint8_t drawn[255 + 64];  // padding, then the first random part
    const int padSize = choosePadSize(plainLength);
    for (int i = 0; i < padSize - 1; ++i) drawn[i] = static_cast<uint8_t>(nextRandomByte());
    drawn[padSize - 1] = static_cast<uint8_t>(padSize);
    for (int i = 0; i < 64; ++i) drawn[padSize + i] = static_cast<uint8_t>(nextRandomByte());
    uint8_t lastPart[BLOCK];
    for (int i = 0; i < BLOCK; ++i) lastPart[i] = static_cast<uint8_t>(nextRandomByte());
    const int64_t hashedLength = plainLength + padSize + 64;
    const int64_t length = hashedLength + 64 + BLOCK;

    fileDelete(outputName);
    FILE* source = fileOpen(inputName, "rb");
    FILE* copy = fileOpen(outputName, "wb");
    // Unbuffered, both: what the copy writes is in the file before the pass
    // reads it, and the pass reads no further than it asks.
    setvbuf(copy, nullptr, _IONBF, 0);
    platformCopyPermissions(inputName, copy);
    FILE* reader = fileOpen(outputName, "rb");
    setvbuf(reader, nullptr, _IONBF, 0);
    FILE* writer = fileOpen(outputName, "r+b");
    uint8_t* copyBuffer = static_cast<uint8_t*>(memAlloc(SLOT_SIZE));
    Sha512Ctx* hash = sha512New();
    createPassContext(key, true);
    startChain(cipherCtx, lastPart, length);

    int64_t copied = 0;
    bool copying = true;
    bool digestAdded = false;
    const int64_t chunks = chunkCount(length);
    int64_t written = 0;
    for (int64_t i = 0; i < chunks; ++i) {
        if (i >= SLOTS) writeChunk(writer, written++);
        const int64_t start = i * SLOT_SIZE;
        const int32_t size = chunkLength(length, i);
        // The copy stays a chunk ahead of what the pass reads.
        while (copying && copied < start + size + SLOT_SIZE) {
            if (copied < plainLength) {
                int64_t rest = plainLength - copied;
                int32_t count = rest < SLOT_SIZE ? static_cast<int32_t>(rest) : SLOT_SIZE;
                fileRead(source, copyBuffer, count);
                fileWrite(copy, copyBuffer, count);
                copied += count;
                checkInterrupt();
            }
            if (copied == plainLength) {
                fileClose(source);
                fileClose(copy);
                copying = false;
                traceCipher(271);
                xcout("padSize: %d\n", padSize);
                appendDrawn(outputName, drawn, padSize);
                appendDrawn(outputName, drawn + padSize, 64);
            }
        }
        uint8_t* slot = slotOf(i);
        int32_t covered = size;
        if (start + size > hashedLength) {
            covered = start < hashedLength ? static_cast<int32_t>(hashedLength - start) : 0;
        }
        fileRead(reader, slot, covered);
        sha512Update(hash, slot, static_cast<size_t>(covered));
        if (covered < size) {
            if (!digestAdded) {
                uint8_t digest[64];
                memcpy(digest, sha512Final(hash), sizeof digest);
                printHex64("hash", digest);
                FILE* stream = fileOpen(outputName, "ab");
                fileWrite(stream, digest, sizeof digest);
                fileClose(stream);
                appendDrawn(outputName, lastPart, BLOCK);
                camellia_trace_key(key);
                digestAdded = true;
            }
            fileRead(reader, slot + covered, size - covered);
        }
        handChunk(i);
    }
    while (written < chunks) writeChunk(writer, written++);
    finishChain();
    releasePassContext();
    sha512Wipe(hash);
    free(hash);
    // The copy buffer and the drawn bytes held plain text and padding.
    wipe(copyBuffer, SLOT_SIZE);
    free(copyBuffer);
    wipe(drawn, sizeof drawn);
    fileClose(reader);
    fileClose(writer);
}

static int refuse(int line) {
    traceCipher(line);
    // A failure inside the restore must not restore again from a half state.
    cleanupHook = nullptr;
    if (run.moved) {
        restoreContainer(run.outputName, run.inputName);
    } else {
        // Unverified plain text goes at once, not only when the driver gets
        // to it.
        fileDelete(run.outputName);
    }
    return finishRun(0);
}

static void appendTrailer(const char* name) {
    FILE* stream = fileOpen(name, "ab");
    fileWrite(stream, XExInfo, xExInfoSize);
    fileClose(stream);
}

int Cipher(const char* outputName, const char* inputName, int removeRFileFlag, int cphrMode,
           const uint8_t* key) {
    if (workBuffer == nullptr) workBuffer = static_cast<uint8_t*>(memAlloc(WORK_BUFFER_SIZE));
    // Caught before the first line of the pipeline: from here on a signal is
    // acted on at a safe point, with its trace line.
    platformCatchInterrupts();
    traceCipher(261);
    run = {};
    run.outputName = outputName;
    run.inputName = inputName;
    run.encrypting = cphrMode == 1;
    run.key = key;
    run.plainLength = -1;
    clearUndoLog();
    if (removeRFileFlag) {
        fileDelete(outputName);
        fileMove(inputName, outputName);
        run.moved = 1;
        cleanupHook = cleanupRun;
        run.plainLength = getFileSizeByName(outputName);
    } else if (cphrMode == 1) {
        cleanupHook = cleanupRun;
        // Prints line 271 itself, when the copy is done.
        sealCopy(outputName, inputName, key);
        run.passesDone = 1;
    } else {
        cleanupHook = cleanupRun;
        fileCopy(inputName, outputName);
    }
    cleanupHook = cleanupRun;
    const bool sealed = run.passesDone == 1;
    if (!sealed) traceCipher(271);
    endStep();

    if (cphrMode == 1) {
        if (!sealed) {
            beginStep(0);
            AddPadding(outputName);
            AddRandPart(outputName, 64);
            AddHash(outputName);
            AddRandPart(outputName, 16);
            run.paddedLength = getFileSizeByName(outputName);
            endStep();
            beginStep(1);
            EncryptFileRCbc(outputName, key);
            run.passesDone = 1;
            endStep();
        }
        beginStep(1);
        EncryptFileRCbc(outputName, key + 32);
        run.passesDone = 2;
        endStep();
        if (xExFlag) {
            traceCipher(284);
            appendTrailer(outputName);
        }
        traceCipher(327);
        return finishRun(1);
    }

    undoActive = removeRFileFlag != 0;
    if (xExFlag) {
        // No test of the size: a file shorter than the trailer asks for a
        // negative size, which is fatal.
        beginStep(0);
        stashTail(outputName, xExInfoSize);
        setFileSize(outputName, getFileSizeByName(outputName) - xExInfoSize);
        logCut();
        endStep();
    }
    beginStep(1);
    if (!DecryptFileRCbc(outputName, key + 32)) return refuse(298);
    logPass(key + 32);
    endStep();
    beginStep(1);
    if (!DecryptFileRCbc(outputName, key)) return refuse(303);
    logPass(key);
    endStep();
    beginStep(0);
    stashTail(outputName, 16);
    if (!UnaddRandPart(outputName, 16)) return refuse(308);
    logCut();
    endStep();
    beginStep(0);
    stashTail(outputName, 64);
    if (!UnaddHash(outputName)) return refuse(313);
    logCut();
    endStep();
    beginStep(0);
    stashTail(outputName, 64);
    if (!UnaddRandPart(outputName, 64)) return refuse(318);
    logCut();
    endStep();
    beginStep(0);
    stashTail(outputName, PADDING_TAIL);
    if (!UnaddPadding(outputName)) return refuse(323);
    clearUndoLog();
    traceCipher(327);
    return finishRun(1);
}
