// Linux implementation of the platform layer.
#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

// Whether the locale's character set is Shift-JIS; set once by platformInit.
static bool shiftJisLocale = false;

void platformInit() {
    signal(SIGPIPE, SIG_IGN);
    setlocale(LC_CTYPE, "");
    const char* codeset = nl_langinfo(CODESET);
    shiftJisLocale = codeset != nullptr &&
                     (strcasecmp(codeset, "SHIFT_JIS") == 0 || strcasecmp(codeset, "SJIS") == 0 ||
                      strcasecmp(codeset, "CP932") == 0 || strcasecmp(codeset, "WINDOWS-31J") == 0 ||
                      strcasecmp(codeset, "SHIFT-JIS") == 0);
}

bool platformIsLeadByte(unsigned char byte) {
    return shiftJisLocale && ((byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC));
}

// Set when an interrupt arrives while a message box waits for its answer.
static volatile sig_atomic_t answerBrokenOff = 0;

// Reads one answer line from the terminal; false at end of input or error.
static bool readAnswer(int fd, std::string& answer) {
    answer.clear();
    for (;;) {
        if (answerBrokenOff) return false;
        char c;
        ssize_t got = read(fd, &c, 1);
        if (got < 0 && errno == EINTR) return false;
        if (got <= 0) return false;
        if (c == '\n' || c == '\r') return true;
        answer.push_back(c);
    }
}

static bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t put = write(fd, text.data() + done, text.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        done += static_cast<size_t>(put);
    }
    return true;
}

static void breakOffAnswer(int) { answerBrokenOff = 1; }

int platformMessageBox(const char* text, const char* title, unsigned style) {
    fflush(stdout);
    bool question = (style & 0xF) == MB_OKCANCEL;
    int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty < 0) {
        // No terminal: the box goes to standard error and cannot be answered.
        std::string box = std::string("[") + title + "] " + text + "\n";
        writeAll(STDERR_FILENO, box);
        return question ? 0 : IDOK;
    }
    std::string box = std::string("\n[") + title + "]\n" + text + "\n" +
                      (question ? "[OK / Cancel] (yes = OK): " : "[OK] (Enter): ");
    int result = 0;
    // An interrupt while the box is up breaks off the read (no restart) and
    // counts as Cancel, as closing the box would; caught before the box shows.
    struct sigaction breakOff, saved;
    memset(&breakOff, 0, sizeof breakOff);
    breakOff.sa_handler = breakOffAnswer;
    sigemptyset(&breakOff.sa_mask);
    answerBrokenOff = 0;
    sigaction(SIGINT, &breakOff, &saved);
    if (writeAll(tty, box)) {
        std::string answer;
        bool answered = readAnswer(tty, answer);
        if (!question) {
            result = IDOK;
        } else if (answered && (strcasecmp(answer.c_str(), "y") == 0 ||
                                strcasecmp(answer.c_str(), "yes") == 0 ||
                                strcasecmp(answer.c_str(), "ok") == 0)) {
            result = IDOK;
        } else {
            result = IDCANCEL;
        }
    }
    sigaction(SIGINT, &saved, nullptr);
    close(tty);
    return result;
}

// The interrupt or termination signal that arrived, or 0; set by the handler.
static volatile sig_atomic_t pendingInterrupt = 0;
static const int interruptSignals[] = {SIGINT, SIGTERM, SIGHUP};

static void recordInterrupt(int signal) {
    if (pendingInterrupt == 0) pendingInterrupt = signal;
}

void platformCatchInterrupts() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = recordInterrupt;
    sigemptyset(&action.sa_mask);
    // Restarted calls: a signal never turns a read or write into a failure.
    action.sa_flags = SA_RESTART;
    for (int signal : interruptSignals) sigaction(signal, &action, nullptr);
}

void platformDefaultInterrupts() {
    for (int signal : interruptSignals) ::signal(signal, SIG_DFL);
}

int platformPendingInterrupt() { return pendingInterrupt; }

void platformDieBySignal(int signal) {
    fflush(stdout);
    ::signal(signal, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(signal);
    _exit(128 + signal);
}

void platformSleepMs(unsigned milliseconds) {
    struct timespec wait = {static_cast<time_t>(milliseconds / 1000),
                            static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

uint32_t platformTickCount() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

int platformSeek(FILE* stream, int64_t offset, int whence) {
    return fseeko(stream, static_cast<off_t>(offset), whence);
}

int64_t platformTell(FILE* stream) { return static_cast<int64_t>(ftello(stream)); }

int platformTruncate(FILE* stream, int64_t size) {
    if (fflush(stream) != 0) return -1;
    return ftruncate(fileno(stream), static_cast<off_t>(size));
}

int platformPathExists(const char* path) { return access(path, F_OK) == 0 ? 1 : 0; }

int platformIsDirectory(const char* path) {
    struct stat info;
    if (stat(path, &info) != 0) return 1;
    return S_ISDIR(info.st_mode) ? 1 : 0;
}

int platformIsRegularFile(const char* path) {
    struct stat info;
    return stat(path, &info) == 0 && S_ISREG(info.st_mode) ? 1 : 0;
}

int platformSameFile(const char* first, const char* second) {
    struct stat a, b;
    if (stat(first, &a) != 0 || stat(second, &b) != 0) return 0;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino ? 1 : 0;
}

char* platformGetCwd() { return getcwd(nullptr, 0); }

int platformSetCwd(const char* directory) { return chdir(directory) == 0 ? 0 : -1; }

char* platformFullPath(const char* path) {
    std::string full;
    if (path[0] != '/') {
        char* cwd = getcwd(nullptr, 0);
        if (cwd == nullptr) return nullptr;
        full = cwd;
        free(cwd);
        full += '/';
    }
    full += path;
    // Fold the components: empty and "." vanish, ".." drops the one before it
    // (never above the root). A trailing separator is kept.
    bool trailing = full.size() > 1 && full.back() == '/';
    std::string result;
    size_t start = 0;
    while (start <= full.size()) {
        size_t end = full.find('/', start);
        if (end == std::string::npos) end = full.size();
        std::string part = full.substr(start, end - start);
        if (part.empty() || part == ".") {
        } else if (part == "..") {
            size_t cut = result.rfind('/');
            result.erase(cut == std::string::npos ? 0 : cut);
        } else {
            result += '/';
            result += part;
        }
        start = end + 1;
    }
    if (result.empty()) result = "/";
    else if (trailing) result += '/';
    return strdup(result.c_str());
}

// Copies source to a new destination that must not exist, with the source's
// permission bits, and makes it durable before the caller deletes the source.
static int copyForMove(const char* source, const char* destination) {
    int in = open(source, O_RDONLY | O_CLOEXEC);
    if (in < 0) return -1;
    struct stat info;
    if (fstat(in, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(in);
        return -1;
    }
    int out = open(destination, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, info.st_mode & 07777);
    if (out < 0) {
        close(in);
        return -1;
    }
    // open() applies the umask; a move keeps the mode as it was.
    if (fchmod(out, info.st_mode & 07777) != 0) {
        close(out);
        unlink(destination);
        close(in);
        return -1;
    }
    static char buffer[1 << 20];
    bool ok = true;
    for (;;) {
        ssize_t got = read(in, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) { ok = false; break; }
        if (got == 0) break;
        ssize_t done = 0;
        while (done < got) {
            ssize_t put = write(out, buffer + done, static_cast<size_t>(got - done));
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) { ok = false; break; }
            done += put;
        }
        if (!ok) break;
    }
    if (ok && fsync(out) != 0) ok = false;
    if (close(out) != 0) ok = false;
    close(in);
    if (!ok) {
        unlink(destination);
        return -1;
    }
    return 0;
}

int platformMoveFile(const char* source, const char* destination) {
    if (renameat2(AT_FDCWD, source, AT_FDCWD, destination, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EXDEV && errno != EINVAL && errno != ENOSYS) return -1;
    if (errno == EXDEV) {
        if (copyForMove(source, destination) != 0) return -1;
        return unlink(source) == 0 ? 0 : -1;
    }
    // No atomic no-replace rename here: link() never replaces either.
    if (link(source, destination) != 0) {
        if (errno == EXDEV) {
            if (copyForMove(source, destination) != 0) return -1;
            return unlink(source) == 0 ? 0 : -1;
        }
        return -1;
    }
    return unlink(source) == 0 ? 0 : -1;
}

int platformDeleteFile(const char* path) {
    struct stat info;
    if (lstat(path, &info) != 0) return -1;
    if (!S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode)) {
        errno = EPERM;
        return -1;
    }
    return unlink(path) == 0 ? 0 : -1;
}

int platformCopyPermissions(const char* source, FILE* destination) {
    struct stat info;
    if (stat(source, &info) != 0) return -1;
    return fchmod(fileno(destination), info.st_mode & 07777) == 0 ? 0 : -1;
}

int platformRandomFill(void* buffer, size_t length, int* error) {
    unsigned char* bytes = static_cast<unsigned char*>(buffer);
    size_t done = 0;
    *error = 0;
    while (done < length) {
        ssize_t got = getrandom(bytes + done, length - done, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            *error = errno;
            return errno == ENOSYS || errno == EPERM ? 1 : 2;
        }
        done += static_cast<size_t>(got);
    }
    return 0;
}
