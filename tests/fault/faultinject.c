/* Fault injection for the end-to-end tests, loaded with LD_PRELOAD.
 *
 * Makes one chosen call of a file operation fail with a chosen errno:
 *   FAULT_OP     open | read | write | close | seek | truncate | rename | unlink | random | flush
 *                | copy (copy_file_range, matched by the destination's name)
 *   FAULT_NTH    which matching call fails (1 = the first); 0 = every matching call;
 *                "N+" = the Nth and every one after it (an open that must stay failed)
 *   FAULT_ERRNO  the errno number to fail with (default EIO)
 *   FAULT_PATH   only calls on streams/paths whose name ends with this text count
 *   FAULT_MODE   only streams opened with this fopen mode count (e.g. r+b)
 *   FAULT_FSIZE  a file-size limit in bytes (RLIMIT_FSIZE, SIGXFSZ ignored): "disk full"
 *   FAULT_LOG    a file that gets one line per matching call: "<op> <n> <path> <mode>"
 *   FAULT_STOP   when set, the chosen call does not fail: the process stops itself
 *                (SIGSTOP) just before it, so a test can change files, then goes on
 * The stream operations are caught at the stdio level, since the C library's
 * streams reach the kernel through internal calls that cannot be interposed.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

enum { MAX_STREAMS = 64 };

static const char* faultOp = "";
static long faultNth = -1;
static int faultFromNth = 0;
static int faultErrno = EIO;
static const char* faultPath = NULL;
static const char* faultMode = NULL;
static FILE* faultLog = NULL;
static long counter = 0;
static int stopInstead = 0;

/* Names and modes of the open streams, so stream calls can be matched. */
static struct { FILE* stream; char path[4096]; char mode[8]; } streams[MAX_STREAMS];

static void* real(const char* name) { return dlsym(RTLD_NEXT, name); }

__attribute__((constructor)) static void faultInit(void) {
    const char* op = getenv("FAULT_OP");
    if (op != NULL) faultOp = op;
    const char* nth = getenv("FAULT_NTH");
    if (nth != NULL) {
        faultNth = atol(nth);
        faultFromNth = strchr(nth, '+') != NULL;
    }
    const char* number = getenv("FAULT_ERRNO");
    if (number != NULL) faultErrno = atoi(number);
    faultPath = getenv("FAULT_PATH");
    stopInstead = getenv("FAULT_STOP") != NULL;
    faultMode = getenv("FAULT_MODE");
    const char* log = getenv("FAULT_LOG");
    if (log != NULL) {
        FILE* (*realFopen)(const char*, const char*) = real("fopen");
        faultLog = realFopen(log, "a");
    }
    const char* fsize = getenv("FAULT_FSIZE");
    if (fsize != NULL) {
        struct rlimit limit;
        limit.rlim_cur = limit.rlim_max = (rlim_t)atoll(fsize);
        setrlimit(RLIMIT_FSIZE, &limit);
        signal(SIGXFSZ, SIG_IGN);
    }
}

static int endsWith(const char* text, const char* suffix) {
    size_t a = strlen(text), b = strlen(suffix);
    return a >= b && strcmp(text + a - b, suffix) == 0;
}

/* Whether this call of op on the named file (mode may be NULL) must fail. */
static int shouldFail(const char* op, const char* path, const char* mode) {
    if (strcmp(op, faultOp) != 0) return 0;
    if (faultPath != NULL && (path == NULL || !endsWith(path, faultPath))) return 0;
    if (faultMode != NULL && (mode == NULL || strcmp(mode, faultMode) != 0)) return 0;
    ++counter;
    if (faultLog != NULL) {
        fprintf(faultLog, "%s %ld %s %s\n", op, counter, path ? path : "-", mode ? mode : "-");
        fflush(faultLog);
    }
    int chosen = faultNth == 0 || counter == faultNth || (faultFromNth && counter > faultNth);
    if (chosen && stopInstead) {
        raise(SIGSTOP);
        return 0;
    }
    return chosen;
}

static int streamSlot(FILE* stream) {
    for (int i = 0; i < MAX_STREAMS; ++i) {
        if (streams[i].stream == stream) return i;
    }
    return -1;
}

static int streamFails(const char* op, FILE* stream) {
    int slot = streamSlot(stream);
    if (slot < 0) return 0; /* standard streams and the log */
    return shouldFail(op, streams[slot].path, streams[slot].mode);
}

static FILE* openCommon(const char* name, const char* path, const char* mode) {
    if (shouldFail("open", path, mode)) {
        errno = faultErrno;
        return NULL;
    }
    FILE* (*realOpen)(const char*, const char*) = real(name);
    FILE* stream = realOpen(path, mode);
    if (stream != NULL) {
        for (int i = 0; i < MAX_STREAMS; ++i) {
            if (streams[i].stream == NULL) {
                streams[i].stream = stream;
                snprintf(streams[i].path, sizeof streams[i].path, "%s", path);
                snprintf(streams[i].mode, sizeof streams[i].mode, "%s", mode);
                break;
            }
        }
    }
    return stream;
}

FILE* fopen(const char* path, const char* mode) { return openCommon("fopen", path, mode); }
FILE* fopen64(const char* path, const char* mode) { return openCommon("fopen64", path, mode); }

int fclose(FILE* stream) {
    int fail = streamFails("close", stream);
    int slot = streamSlot(stream);
    if (slot >= 0) streams[slot].stream = NULL;
    int (*realClose)(FILE*) = real("fclose");
    int result = realClose(stream);
    if (fail) {
        errno = faultErrno;
        return EOF;
    }
    return result;
}

int fflush(FILE* stream) {
    if (stream != NULL && streamFails("flush", stream)) {
        errno = faultErrno;
        return EOF;
    }
    int (*realFlush)(FILE*) = real("fflush");
    return realFlush(stream);
}

/* A failed read or write sets the stream's error indicator, as a real one does. */
static void markError(FILE* stream) { stream->_flags |= 0x20; /* glibc's _IO_ERR_SEEN */ }

size_t fread(void* buffer, size_t size, size_t count, FILE* stream) {
    if (streamFails("read", stream)) {
        errno = faultErrno;
        markError(stream);
        return 0;
    }
    size_t (*realRead)(void*, size_t, size_t, FILE*) = real("fread");
    return realRead(buffer, size, count, stream);
}

size_t __fread_chk(void* buffer, size_t bufferSize, size_t size, size_t count, FILE* stream) {
    (void)bufferSize;
    return fread(buffer, size, count, stream);
}

size_t fwrite(const void* buffer, size_t size, size_t count, FILE* stream) {
    if (streamFails("write", stream)) {
        errno = faultErrno;
        markError(stream);
        return 0;
    }
    size_t (*realWrite)(const void*, size_t, size_t, FILE*) = real("fwrite");
    return realWrite(buffer, size, count, stream);
}

int getc(FILE* stream) {
    if (streamFails("read", stream)) {
        errno = faultErrno;
        markError(stream);
        return EOF;
    }
    int (*realGetc)(FILE*) = real("getc");
    return realGetc(stream);
}

int _IO_getc(FILE* stream) { return getc(stream); }

int putc(int c, FILE* stream) {
    if (streamFails("write", stream)) {
        errno = faultErrno;
        markError(stream);
        return EOF;
    }
    int (*realPutc)(int, FILE*) = real("putc");
    return realPutc(c, stream);
}

int _IO_putc(int c, FILE* stream) { return putc(c, stream); }

static int seekCommon(const char* name, FILE* stream, off_t offset, int whence) {
    if (streamFails("seek", stream)) {
        errno = faultErrno;
        return -1;
    }
    int (*realSeek)(FILE*, off_t, int) = real(name);
    return realSeek(stream, offset, whence);
}

int fseeko(FILE* stream, off_t offset, int whence) { return seekCommon("fseeko", stream, offset, whence); }
int fseeko64(FILE* stream, off_t offset, int whence) { return seekCommon("fseeko64", stream, offset, whence); }

static const char* fdPath(int fd, char* buffer, size_t size) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t length = readlink(link, buffer, size - 1);
    if (length < 0) return NULL;
    buffer[length] = '\0';
    return buffer;
}

static int truncateCommon(const char* name, int fd, off_t length) {
    char path[4096];
    if (shouldFail("truncate", fdPath(fd, path, sizeof path), NULL)) {
        errno = faultErrno;
        return -1;
    }
    int (*realTruncate)(int, off_t) = real(name);
    return realTruncate(fd, length);
}

int ftruncate(int fd, off_t length) { return truncateCommon("ftruncate", fd, length); }
int ftruncate64(int fd, off_t length) { return truncateCommon("ftruncate64", fd, length); }

int renameat2(int oldDir, const char* oldPath, int newDir, const char* newPath, unsigned int flags) {
    if (shouldFail("rename", newPath, NULL)) {
        errno = faultErrno;
        return -1;
    }
    int (*realRename)(int, const char*, int, const char*, unsigned int) = real("renameat2");
    return realRename(oldDir, oldPath, newDir, newPath, flags);
}

int rename(const char* oldPath, const char* newPath) {
    if (shouldFail("rename", newPath, NULL)) {
        errno = faultErrno;
        return -1;
    }
    int (*realRename)(const char*, const char*) = real("rename");
    return realRename(oldPath, newPath);
}

int link(const char* oldPath, const char* newPath) {
    if (shouldFail("rename", newPath, NULL)) {
        errno = faultErrno;
        return -1;
    }
    int (*realLink)(const char*, const char*) = real("link");
    return realLink(oldPath, newPath);
}

int unlink(const char* path) {
    if (shouldFail("unlink", path, NULL)) {
        errno = faultErrno;
        return -1;
    }
    int (*realUnlink)(const char*) = real("unlink");
    return realUnlink(path);
}

ssize_t getrandom(void* buffer, size_t length, unsigned int flags) {
    if (shouldFail("random", NULL, NULL)) {
        errno = faultErrno;
        return -1;
    }
    ssize_t (*realRandom)(void*, size_t, unsigned int) = real("getrandom");
    return realRandom(buffer, length, flags);
}

ssize_t copy_file_range(int inFd, off_t* inOffset, int outFd, off_t* outOffset, size_t length,
                        unsigned int flags) {
    char path[4096];
    if (shouldFail("copy", fdPath(outFd, path, sizeof path), NULL)) {
        errno = faultErrno;
        return -1;
    }
    ssize_t (*realCopy)(int, off_t*, int, off_t*, size_t, unsigned int) = real("copy_file_range");
    return realCopy(inFd, inOffset, outFd, outOffset, length, flags);
}
