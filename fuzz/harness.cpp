#include "harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/_Tools.h"
#include "cipher/_Cipher.h"
#include "crypto/CryptoRand.h"
#include "crypto/camellia.h"
#include "system/File.h"
#include "system/System.h"

[[noreturn]] static void throwingExit(int code) { throw HarnessExit{code}; }

void harnessInstallExitHook() { processExit = throwingExit; }

// The working directory of the target; removed at exit.
static std::string workDir;

static void removeTree(const std::string& path) {
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) return;
    if (S_ISDIR(info.st_mode)) {
        if (DIR* dir = opendir(path.c_str())) {
            std::vector<std::string> names;
            while (struct dirent* entry = readdir(dir)) {
                if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
                    names.push_back(entry->d_name);
                }
            }
            closedir(dir);
            for (const std::string& name : names) removeTree(path + "/" + name);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

static void removeWorkDir() {
    // Leave the directory before removing it.
    if (chdir("/") == 0 && !workDir.empty()) removeTree(workDir);
}

const std::string& harnessMakeWorkDir(const char* prefix) {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) harnessFail("mkdtemp", pattern);
    // The program works with absolute names: take the resolved form, so that
    // the names it prints and the harness compares are the same.
    char* resolved = realpath(buffer.data(), nullptr);
    if (resolved == nullptr) harnessFail("realpath", buffer.data());
    workDir = resolved;
    free(resolved);
    atexit(removeWorkDir);
    return workDir;
}

void harnessResetState() {
    argCount = 0;
    argValues = nullptr;
    argIndex = 1;
    batchMode = 0;
    xcout = xcoutConsole;
    errorExiting = 0;
    cleanupHook = nullptr;
    interruptDeferred = 0;
    xExFlag = 0;
    xChr = 0;
    xExp = 0;
    free(XExInfo);
    XExInfo = nullptr;
    xExInfoSize = 0;
    forgetSavedCwd();
    // A fatal error in the middle of a reverse-CBC pass leaves its context.
    if (cipherCtx != nullptr) {
        camellia_release(cipherCtx);
        cipherCtx = nullptr;
    }
}

void harnessSeedRandomPool(uint32_t seed) {
    // xorshift32; any nonzero state will do.
    uint32_t state = seed * 2654435761u + 0x9E3779B9u;
    if (state == 0) state = 1;
    for (int32_t i = 0; i < RANDOM_POOL_SIZE; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        randomPool[i] = static_cast<uint8_t>(state >> 24);
    }
    randomPoolPos = 0;
}

int harnessOpenDescriptors() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (struct dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') ++count;
        }
        closedir(dir);
    }
    // Less the descriptor of the listing itself.
    return count - 1;
}

void harnessFail(const char* what, const std::string& detail) {
    fprintf(stderr, "\n==harness== %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
    fflush(stderr);
    abort();
}

bool readWholeFile(const std::string& path, std::string* content) {
    FILE* stream = fopen(path.c_str(), "rb");
    if (stream == nullptr) return false;
    content->clear();
    char buffer[65536];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, stream)) > 0) content->append(buffer, got);
    bool ok = ferror(stream) == 0;
    fclose(stream);
    return ok;
}

void writeWholeFile(const std::string& path, const std::string& content) {
    FILE* stream = fopen(path.c_str(), "wb");
    if (stream == nullptr) harnessFail("cannot create", path);
    if (fwrite(content.data(), 1, content.size(), stream) != content.size()) harnessFail("cannot write", path);
    if (fclose(stream) != 0) harnessFail("cannot close", path);
}

bool pathExists(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

void removeFilesIn(const std::string& directory) {
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) return;
    std::vector<std::string> names;
    while (struct dirent* entry = readdir(dir)) {
        std::string path = directory + "/" + entry->d_name;
        struct stat info;
        if (lstat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode)) names.push_back(path);
    }
    closedir(dir);
    for (const std::string& path : names) unlink(path.c_str());
}
