#include "system/FileStream.h"

#include "platform/platform.h"
#include "system/System.h"

FILE* openRetry(const char* name, const char* mode) {
    FILE* stream = fopen(name, mode);
    if (stream != nullptr) return stream;
    for (unsigned retry = 1; retry <= 20; ++retry) {
        platformSleepMs(100);
        stream = fopen(name, mode);
        if (stream != nullptr) {
            xcout("File opened at %u-th retrial.\n", retry);
            return stream;
        }
    }
    xcout("Can not open file \"%s\" as \"%s\" mode.\n", name, mode);
    return nullptr;
}

FILE* fileOpen(const char* name, const char* mode) {
    FILE* stream = openRetry(name, mode);
    if (stream == nullptr) fatalError("FileStream", 30, "fileOpen");
    return stream;
}

void fileClose(FILE* stream) {
    if (fclose(stream) != 0) fatalError("FileStream", 35, "fileClose");
}

int64_t getFileSize(FILE* stream) {
    if (platformSeek(stream, 0, SEEK_END) != 0) fatalError("FileStream", 40, "getFileSize");
    int64_t size = platformTell(stream);
    if (size < 0) fatalError("FileStream", 42, "getFileSize");
    return size;
}

int64_t getFileSizeByName(const char* name) {
    FILE* stream = fileOpen(name, "rb");
    int64_t size = getFileSize(stream);
    fileClose(stream);
    return size;
}

void setFileSize(const char* name, int64_t size) {
    if (size < 0) fatalError("FileStream", 54, "setFileSize");
    FILE* stream = fileOpen(name, "ab");
    if (platformTruncate(stream, size) != 0) fatalError("FileStream", 59, "setFileSize");
    fileClose(stream);
}

int readChar(FILE* stream) {
    int c = getc(stream);
    if (c == EOF) {
        if (ferror(stream)) fatalError("FileStream", 68, "readChar");
        return -1;
    }
    return c;
}

void writeChar(FILE* stream, int byte) {
    if (putc(byte & 0xFF, stream) == EOF) fatalError("FileStream", 73, "writeChar");
}

void fileSeek(FILE* stream, int64_t offset) {
    if (offset < 0 || platformSeek(stream, offset, SEEK_SET) != 0) {
        fatalError("FileStream", 78, "fileSeek");
    }
}

void fileRead(FILE* stream, void* buffer, int32_t count) {
    size_t got = count > 0 ? fread(buffer, 1, static_cast<size_t>(count), stream) : 0;
    if (got < static_cast<size_t>(count < 0 ? 0 : count)) fatalError("FileStream", 84, "fileRead");
    if (ferror(stream)) fatalError("FileStream", 85, "fileRead");
}

void fileWrite(FILE* stream, const void* buffer, int32_t count) {
    if (count <= 0) return;
    size_t put = fwrite(buffer, 1, static_cast<size_t>(count), stream);
    if (put < static_cast<size_t>(count)) fatalError("FileStream", 92, "fileWrite");
    if (ferror(stream)) fatalError("FileStream", 93, "fileWrite");
}
