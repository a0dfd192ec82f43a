// What the libFuzzer targets share: a private working directory, the exit
// hook that turns the end of a run into an exception, the reset of the
// process-wide state between runs, and small file helpers.
//
// The program ends the process on every path (exitWithCode, fatal errors).
// The harness replaces processExit with a hook that throws HarnessExit; C++
// unwinding then runs the destructors on the way up to the catch in
// LLVMFuzzerTestOneInput. The program itself never throws.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Thrown by the exit hook: the exit code the process would have ended with.
struct HarnessExit {
    int code;
};

// Makes processExit throw HarnessExit.
void harnessInstallExitHook();

// A new private directory under $TMPDIR (or /tmp), removed with everything in
// it when the fuzzer exits normally. Its absolute path.
const std::string& harnessMakeWorkDir(const char* prefix);

// Puts every process-wide setting back to its initial value: the argument
// cursor, batchMode, xcout, errorExiting, the cleanup hook and the interrupt
// deferral, the /PE settings and XExInfo, the directory saved by addCwd, and
// the Camellia context of an interrupted pass.
void harnessResetState();

// Fills the random pool from a small generator seeded with seed, so that a
// run (padding sizes, random parts, XExInfo) is reproducible from its input.
void harnessSeedRandomPool(uint32_t seed);

// The number of open file descriptors of the process.
int harnessOpenDescriptors();

// Aborts with the message on standard error: a finding of the fuzzer.
[[noreturn]] void harnessFail(const char* what, const std::string& detail = std::string());

bool readWholeFile(const std::string& path, std::string* content);
void writeWholeFile(const std::string& path, const std::string& content);
bool pathExists(const std::string& path);
// Removes the regular files directly inside the directory (not below).
void removeFilesIn(const std::string& directory);
