// The small layer over the operating system. Everything outside this folder
// reaches the system only through here or the standard C/C++ library.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

// Reads the locale once at start (the character set decides the lead bytes)
// and ignores SIGPIPE, so a closed standard output is a write error that the
// program reports and cleans up after, not a sudden end.
void platformInit();
// True for the first byte of a double-byte character of the process's code
// page: 0x81-0x9F and 0xE0-0xFC under Shift-JIS, never under UTF-8.
bool platformIsLeadByte(unsigned char byte);

// Message boxes. Styles and answers use the values of the Windows API so that
// callers can pass the documented constants.
enum {
    MB_OK = 0x0, MB_OKCANCEL = 0x1, MB_ICONERROR = 0x10, MB_ICONEXCLAMATION = 0x30,
    MB_TOPMOST = 0x40000,
    IDOK = 1, IDCANCEL = 2
};
// Shows the box on the controlling terminal, or on standard error without
// one. Gives IDOK only for an explicit yes; 0 when the box could not be shown.
int platformMessageBox(const char* text, const char* title, unsigned style);

// From now on SIGINT, SIGTERM and SIGHUP are only recorded, for the program
// to act on at a safe point; platformDefaultInterrupts undoes that.
void platformCatchInterrupts();
void platformDefaultInterrupts();
// The signal recorded since platformCatchInterrupts, or 0.
int platformPendingInterrupt();
// Ends the process by the signal's default action, so the parent sees the
// conventional status (128 + signal in a shell).
[[noreturn]] void platformDieBySignal(int signal);

void platformSleepMs(unsigned milliseconds);
// A monotonic millisecond count that wraps at 2^32.
uint32_t platformTickCount();

// 64-bit positioning of a standard stream.
int platformSeek(FILE* stream, int64_t offset, int whence);
int64_t platformTell(FILE* stream);
// Cuts or zero-extends the file under an open stream; 0 on success.
int platformTruncate(FILE* stream, int64_t size);

// 1 when something exists at the path (any kind of entry).
int platformPathExists(const char* path);
// 1 when the path is a directory or its attributes cannot be read.
int platformIsDirectory(const char* path);
// 1 when the path (a symbolic link followed) is a plain file: not a FIFO,
// device or socket, whose reads could block forever or never end.
int platformIsRegularFile(const char* path);
// 1 when both paths exist and name the same file (device and inode).
int platformSameFile(const char* first, const char* second);
// A malloc'd current directory, or null.
char* platformGetCwd();
// 0 on success.
int platformSetCwd(const char* directory);
// A malloc'd absolute path with "." and ".." folded and repeated separators
// collapsed, or null. The file need not exist.
char* platformFullPath(const char* path);
// Renames without ever replacing an existing destination; across file systems
// copies and deletes the source only once the copy is complete. 0 on success.
int platformMoveFile(const char* source, const char* destination);
// 0 on success. Removes only a plain file or a symbolic link: a device or
// FIFO that bears an output name (/dev/null, say) is never unlinked.
int platformDeleteFile(const char* path);
// Gives the destination stream's file the permission bits of the source file.
int platformCopyPermissions(const char* source, FILE* destination);

// Fills the buffer from the kernel's random generator. 0 on success; 1 when
// the generator cannot be used at all, 2 when generation failed; *error gets
// the errno.
int platformRandomFill(void* buffer, size_t length, int* error);
