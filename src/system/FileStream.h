// Buffered binary file streams with 64-bit sizes. Every operation does all it
// was asked or ends the process with a FileStream report.
#pragma once
#include <cstdint>
#include <cstdio>

// Opens, retrying 20 times 100 ms apart; null when every try failed.
FILE* openRetry(const char* name, const char* mode);
FILE* fileOpen(const char* name, const char* mode);
// Closes, writing out buffered data; a failed close is fatal.
void fileClose(FILE* stream);
// Size of the file; leaves the stream at its end.
int64_t getFileSize(FILE* stream);
int64_t getFileSizeByName(const char* name);
// Cuts or zero-extends the named file (created when missing) to size bytes.
void setFileSize(const char* name, int64_t size);
// The next byte 0..255, or -1 at the end of the file.
int readChar(FILE* stream);
void writeChar(FILE* stream, int byte);
// Absolute position from the start of the file.
void fileSeek(FILE* stream, int64_t offset);
// Exactly count bytes, or a fatal error.
void fileRead(FILE* stream, void* buffer, int32_t count);
void fileWrite(FILE* stream, const void* buffer, int32_t count);
