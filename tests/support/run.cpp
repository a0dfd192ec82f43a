#include "support/run.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

extern char** environ;

static std::vector<char*> argvFor(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return argv;
}

static int decodeStatus(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

static void setupChildEnv(const RunOptions& options) {
    for (const std::string& e : options.env) putenv(strdup(e.c_str()));
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
}

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options) {
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) abort();
    std::vector<char*> argv = argvFor(program, args);
    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(in[0]); close(in[1]); close(out[0]); close(out[1]); close(err[0]); close(err[1]);
        setupChildEnv(options);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);
    size_t fed = 0;
    if (options.stdinText.empty()) {
        close(in[1]);
        in[1] = -1;
    }
    RunResult result{-1, "", ""};
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen) {
        struct pollfd fds[3];
        int n = 0;
        if (outOpen) fds[n++] = {out[0], POLLIN, 0};
        if (errOpen) fds[n++] = {err[0], POLLIN, 0};
        if (in[1] >= 0) fds[n++] = {in[1], POLLOUT, 0};
        if (poll(fds, n, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < n; ++i) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == in[1]) {
                ssize_t put = write(in[1], options.stdinText.data() + fed, options.stdinText.size() - fed);
                if (put > 0) fed += static_cast<size_t>(put);
                if (put <= 0 || fed == options.stdinText.size()) {
                    close(in[1]);
                    in[1] = -1;
                }
                continue;
            }
            char buffer[65536];
            ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got <= 0) {
                if (fds[i].fd == out[0]) outOpen = false;
                else errOpen = false;
            } else if (fds[i].fd == out[0]) {
                result.out.append(buffer, static_cast<size_t>(got));
            } else {
                result.err.append(buffer, static_cast<size_t>(got));
            }
        }
    }
    if (in[1] >= 0) close(in[1]);
    close(out[0]);
    close(err[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitCode = decodeStatus(status);
    return result;
}

RunResult runCipher(const std::vector<std::string>& args, const RunOptions& options) {
    return runProgram(CIPHER_BIN, args, options);
}

RunResult runCipherOnTerminal(const std::vector<std::string>& args, const std::string& answer,
                              const std::string& cwd) {
    int master = -1;
    int out[2];
    if (pipe(out) != 0) abort();
    std::string program = CIPHER_BIN;
    std::vector<char*> argv = argvFor(program, args);
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        // forkpty made the terminal our controlling one; standard output goes
        // to a pipe so the trace stays apart from the dialog.
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    RunResult result{-1, "", ""};
    bool answered = false;
    bool outOpen = true, ttyOpen = true;
    while (outOpen || ttyOpen) {
        struct pollfd fds[2];
        int n = 0;
        if (outOpen) fds[n++] = {out[0], POLLIN, 0};
        if (ttyOpen) fds[n++] = {master, POLLIN, 0};
        int ready = poll(fds, n, 20000);
        if (ready <= 0) break;
        for (int i = 0; i < n; ++i) {
            if (fds[i].revents == 0) continue;
            char buffer[4096];
            ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got <= 0) {
                if (fds[i].fd == out[0]) outOpen = false;
                else ttyOpen = false;
                continue;
            }
            if (fds[i].fd == out[0]) {
                result.out.append(buffer, static_cast<size_t>(got));
            } else {
                result.err.append(buffer, static_cast<size_t>(got));
                if (!answered && result.err.find("): ") != std::string::npos) {
                    std::string line = answer + "\n";
                    if (write(master, line.data(), line.size()) < 0) abort();
                    answered = true;
                }
            }
        }
    }
    close(out[0]);
    close(master);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitCode = decodeStatus(status);
    return result;
}

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/cipher-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) abort();
    path = buffer.data();
}

static void removeTree(const std::string& path) {
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) return;
    if (S_ISDIR(info.st_mode)) {
        chmod(path.c_str(), 0700);
        for (const std::string& name : listDir(path)) removeTree(path + "/" + name);
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

TempDir::~TempDir() { removeTree(path); }

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) abort();
}

bool pathExists(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

std::vector<std::string> listDir(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return names;
    while (struct dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

uint8_t streamByte(uint64_t k) {
    uint64_t z = k + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return static_cast<uint8_t>(z ^ (z >> 31));
}

std::string patternBytes(size_t length, uint32_t seed) {
    std::string bytes(length, '\0');
    uint64_t state = 0x9E3779B97F4A7C15ull ^ seed;
    for (size_t i = 0; i < length; ++i) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        bytes[i] = static_cast<char>(state >> 24);
    }
    return bytes;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string toHex(const uint8_t* bytes, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < length; ++i) {
        hex += digits[bytes[i] >> 4];
        hex += digits[bytes[i] & 15];
    }
    return hex;
}
