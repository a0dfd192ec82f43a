#include "system/File.h"

#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "system/FileStream.h"
#include "system/Line.h"
#include "system/MemAlloc.h"
#include "system/System.h"

// The directory saved by addCwd for its unaddCwd, or null; one level only.
static char* savedCwd = nullptr;

enum { COPY_CHUNK = 1000000 };

int fileExists(const char* path) {
    if (path == nullptr || path[0] == '\0') return 0;
    if (!platformPathExists(path)) return 0;
    return platformIsDirectory(path) ? 0 : 1;
}

void setCwd(const char* directory) {
    if (directory == nullptr || directory[0] == '\0') fatalError("File", 14, "setCwd");
    if (platformSetCwd(directory) != 0) fatalError("File", 15, "setCwd");
}

char* getCwd() {
    char* cwd = platformGetCwd();
    if (cwd == nullptr || cwd[0] == '\0') fatalError("File", 25, "getCwd");
    char* copy = strDup(cwd);
    free(cwd);
    return copy;
}

void addCwd(const char* directory) {
    if (savedCwd != nullptr) fatalError("File", 35, "addCwd");
    savedCwd = getCwd();
    setCwd(directory);
}

void unaddCwd() {
    if (savedCwd == nullptr) fatalError("File", 41, "unaddCwd");
    setCwd(savedCwd);
    free(savedCwd);
    savedCwd = nullptr;
}

void forgetSavedCwd() {
    free(savedCwd);
    savedCwd = nullptr;
}

void fileMove(const char* source, const char* destination) {
    if (platformMoveFile(source, destination) != 0) fatalError("File", 48, "fileMove");
}

void fileDelete(const char* path) { platformDeleteFile(path); }

void fileCopy(const char* source, const char* destination) {
    fileDelete(destination);
    int64_t remaining = getFileSizeByName(source);
    FILE* reader = fileOpen(source, "rb");
    FILE* writer = fileOpen(destination, "wb");
    // The copy is no more readable by others than its source (before any byte
    // of it is written).
    platformCopyPermissions(source, writer);
    char* buffer = static_cast<char*>(memAlloc(COPY_CHUNK));
    while (remaining > 0) {
        int32_t chunk = remaining < COPY_CHUNK ? static_cast<int32_t>(remaining) : COPY_CHUNK;
        fileRead(reader, buffer, chunk);
        fileWrite(writer, buffer, chunk);
        remaining -= chunk;
        checkInterrupt();
    }
    free(buffer);
    fileClose(reader);
    fileClose(writer);
}

char* getFullPath(const char* path, const char* baseDirectory) {
    if (path == nullptr || path[0] == '\0') fatalError("File", 79, "getFullPath");
    if (baseDirectory == nullptr || baseDirectory[0] == '\0') fatalError("File", 80, "getFullPath");
    addCwd(baseDirectory);
    char* full = platformFullPath(path);
    unaddCwd();
    // Without a result (the current directory cannot be had) there is no
    // name to work with.
    if (full == nullptr) fatalError("File", 25, "getCwd");
    char* copy = strDup(full);
    free(full);
    return copy;
}

const char* getExtension(const char* path) {
    const char* dot = strrchr(path, '.');
    if (dot != nullptr && findSlash(dot + 1) == nullptr) return dot + 1;
    return path + strlen(path);
}
