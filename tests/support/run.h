// Helpers for tests that run the real binary and look at files on disk.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct RunResult {
    int exitCode;       // the process's exit code, or 128 + signal
    std::string out;    // everything written to standard output
    std::string err;    // everything written to standard error
};

struct RunOptions {
    std::string cwd;            // working directory; empty keeps the test's own
    std::string stdinText;      // fed to standard input
    std::vector<std::string> env;  // extra NAME=value entries
};

// Runs the cipher binary with the arguments in a new session (no controlling
// terminal), waits for it and collects its output.
RunResult runCipher(const std::vector<std::string>& args, const RunOptions& options = RunOptions());
// The same for any program.
RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options = RunOptions());

// Runs the binary on a pseudo-terminal that becomes its controlling terminal;
// answer is typed when the program prompts. Gives the terminal transcript in
// err and standard output (kept apart from the terminal) in out.
RunResult runCipherOnTerminal(const std::vector<std::string>& args, const std::string& answer,
                              const std::string& cwd);

// A fresh empty directory, removed with everything in it when it goes away.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return path + "/" + name; }
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
bool pathExists(const std::string& path);
// Names in the directory, sorted, without "." and "..".
std::vector<std::string> listDir(const std::string& path);
// Byte k of an endless deterministic stream (splitmix64 of k): no period near
// any size a test uses, so a repeated or skipped stretch shows.
uint8_t streamByte(uint64_t k);
// Deterministic pseudo-random bytes for test files.
std::string patternBytes(size_t length, uint32_t seed);
// Splits text into lines without their "\n".
std::vector<std::string> splitLines(const std::string& text);
std::string toHex(const uint8_t* bytes, size_t length);
