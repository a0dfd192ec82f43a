// libFuzzer target: the command-line driver, cipherMain, with argument
// vectors taken from the input, in a private directory of a few small files.
//
// Input: one option byte (bit 0: run under a Shift-JIS locale when one is
// installed, see scripts/fuzz.sh), then the arguments separated by NUL bytes.
// The driver gets "cipher", "/B" (so no message box ever waits), then those
// arguments. fuzz/driver_fuzz.dict holds the switches and the fixture's names.
//
// An input is skipped (-1) when it has more than MAX_ARGUMENTS arguments,
// when its /PE X-EXT lies outside 10..14 (above, stretching costs seconds;
// below, the range check is a fatal error that leaves key derivation's SHA
// context to the end of the process, which an unwinding harness would take
// for a leak; tests/keys_test covers that check), or when an argument that
// the driver takes as a file name could reach outside the directory or
// name a directory (absolute, "..", a trailing '/', an existing directory,
// or a parent directory that does not exist), since opening a directory for
// writing retries for two seconds. The harness follows the driver's switch
// loop to find the file names: everything after the switches, and any
// argument may be one ("/P pw a.txt /E" writes a file named /E).
//
// Every run starts from the same files: a.txt, an empty file e, d.x/f,
// containers of a.txt made by the real pipeline with passphrase "pw"
// (b.cphr), with "pw" and /PE 41 10 (c.cphr) and with the raw key
// 000102...3f (k.cphr), and names with multibyte characters: s.<ソ> (its
// Shift-JIS second byte is the code of '\\'), and f in the directories
// j.<あ> (in UTF-8, whose bytes read as Shift-JIS end in a lead byte) and
// m.<ソ> (in Shift-JIS). Random bytes come from a pool seeded by the input.
//
// Checked after each run: the exit code is 0, 1 or 3 (2 needs a cancelled
// question or a failing report, neither possible here); no stream is left
// open; exit code 3 leaves no output and the input as it was; exit code 0
// after a file run leaves an output; an output named by the driver lies in
// the input's directory; no file other than the input and the output was
// created, changed or removed.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "app/_Main.h"
#include "app/_Tools.h"
#include "cipher/_Cipher.h"
#include "harness.h"
#include "platform/platform.h"
#include "system/Line.h"
#include "system/MemAlloc.h"
#include "system/System.h"

namespace {

enum { MAX_ARGUMENTS = 12, MAX_ARGUMENT_LENGTH = 200 };

const char* const RAW_KEY_HEX =
    "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"
    "202122232425262728292a2b2c2d2e2f303132333435363738393a3b3c3d3e3f";

std::string workDir;
// The subdirectories of workDir: "d.x", "j.<あ in UTF-8>", "m.<ソ in Shift-JIS>".
const char* const SUBDIRS[] = {"d.x", "j.\xE3\x81\x82", "m.\x83\x5C"};
// The fuzzer's own directory: its corpus paths may be relative to it, so a
// run enters workDir and leaves it again.
std::string fuzzerDir;
// The files every run starts from: name relative to workDir, content.
std::map<std::string, std::string> fixture;
bool shiftJisAvailable = false;

bool isSwitch(const std::string& argument, const char* name) {
    if (argument.size() != strlen(name)) return false;
    for (size_t i = 0; i < argument.size(); ++i) {
        char a = argument[i] >= 'A' && argument[i] <= 'Z' ? static_cast<char>(argument[i] + 32) : argument[i];
        char n = name[i] >= 'A' && name[i] <= 'Z' ? static_cast<char>(name[i] + 32) : name[i];
        if (a != n) return false;
    }
    return true;
}

bool isDirectory(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// A file name the driver may open, create or delete: it must stay inside the
// working directory and name no directory.
bool safeFileName(const std::string& name) {
    if (name.empty()) return true;  // getFullPath ends the run first
    if (name[0] == '/' || name.find("..") != std::string::npos || name.back() == '/') return false;
    if (isDirectory(name)) return false;
    size_t slash = name.rfind('/');
    return slash == std::string::npos || isDirectory(name.substr(0, slash));
}

// Follows the driver's switch loop: the argument vector is acceptable when
// every argument it would take as a file name is safe and the X-EXT in force
// is cheap and in range. Gives the number of file names, or -1.
int fileNamesIfAcceptable(const std::vector<std::string>& args) {
    size_t i = 0;
    bool stretched = false;
    int32_t xExt = 0;
    while (i < args.size()) {
        const std::string& a = args[i];
        if (isSwitch(a, "/MP") || isSwitch(a, "/MK")) return 0;  // nothing more is read
        if (isSwitch(a, "/B") || isSwitch(a, "/S") || isSwitch(a, "/R") || isSwitch(a, "/E") ||
            isSwitch(a, "/D")) {
            i += 1;
        } else if (isSwitch(a, "/P")) {
            i += 2;
        } else if (isSwitch(a, "/PE")) {
            stretched = true;
            if (i + 2 < args.size()) xExt = parseDecimal(args[i + 2].c_str());
            i += 3;
        } else {
            break;
        }
    }
    if (stretched && (xExt < 10 || xExt > 14)) return -1;
    int names = 0;
    for (; i < args.size(); ++i, ++names) {
        if (!safeFileName(args[i])) return -1;
    }
    return names;
}

std::vector<std::string> splitArguments(const uint8_t* data, size_t size) {
    std::vector<std::string> args;
    if (size == 0) return args;
    std::string current;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    args.push_back(current);
    return args;
}

void freeRunNames() {
    free(runInputName);
    runInputName = nullptr;
    free(runOutputName);
    runOutputName = nullptr;
}

void resetAll() {
    harnessResetState();
    freeRunNames();
}

void layOutFixture() {
    for (const char* sub : SUBDIRS) removeFilesIn(workDir + "/" + sub);
    removeFilesIn(workDir);
    for (const auto& entry : fixture) writeWholeFile(workDir + "/" + entry.first, entry.second);
}

// Encrypts a.txt with the real pipeline and keeps the container's bytes.
std::string makeContainer(const char* passphrase, bool stretched) {
    resetAll();
    xcout = xcoutNull;
    batchMode = 1;
    if (stretched) {
        xExFlag = 1;
        xChr = 0x41;
        xExp = 10;
    }
    const std::string input = workDir + "/a.txt";
    const std::string output = workDir + "/made.cphr";
    const uint8_t* key = GetRawKey(passphrase, 1, input.c_str());
    if (Cipher(output.c_str(), input.c_str(), 0, 1, key) != 1) harnessFail("fixture encryption gave 0");
    std::string container;
    if (!readWholeFile(output, &container)) harnessFail("cannot read", output);
    unlink(output.c_str());
    resetAll();
    return container;
}

// Every file under the working directory (one level of subdirectories).
std::map<std::string, std::string> snapshot() {
    std::map<std::string, std::string> files;
    std::vector<std::string> subs = {std::string()};
    for (const char* sub : SUBDIRS) subs.push_back(std::string(sub) + "/");
    for (const std::string& sub : subs) {
        std::string dir = workDir + "/" + sub;
        if (DIR* handle = opendir(dir.c_str())) {
            while (struct dirent* entry = readdir(handle)) {
                std::string path = dir + entry->d_name;
                if (isDirectory(path)) continue;
                std::string content;
                readWholeFile(path, &content);
                files[sub + entry->d_name] = content;
            }
            closedir(handle);
        }
    }
    return files;
}

std::string directoryOf(const std::string& name) {
    size_t slash = name.rfind('/');
    return slash == std::string::npos ? std::string() : name.substr(0, slash);
}

std::string relativeName(const char* absolute) {
    if (absolute == nullptr) return std::string();
    std::string name = absolute;
    const std::string prefix = workDir + "/";
    return name.compare(0, prefix.size(), prefix) == 0 ? name.substr(prefix.size()) : name;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char* cwd = getcwd(nullptr, 0);
    if (cwd == nullptr) harnessFail("getcwd");
    fuzzerDir = cwd;
    free(cwd);
    workDir = harnessMakeWorkDir("cipher-driver-fuzz");
    if (chdir(workDir.c_str()) != 0) harnessFail("chdir", workDir);
    for (const char* sub : SUBDIRS) {
        if (mkdir((workDir + "/" + sub).c_str(), 0755) != 0) harnessFail("mkdir", sub);
    }
    // The trace goes nowhere, but through the real console writes.
    int null = open("/dev/null", O_WRONLY);
    if (null < 0 || dup2(null, STDOUT_FILENO) < 0) harnessFail("cannot send standard output to /dev/null");
    close(null);
    harnessInstallExitHook();

    harnessSeedRandomPool(1);
    fixture["a.txt"] = "hello, world\n";
    fixture["e"] = "";
    fixture["d.x/f"] = "x";
    fixture["s.\x83\x5C"] = "so";
    for (const char* sub : SUBDIRS) fixture[std::string(sub) + "/f"] = "x";
    layOutFixture();
    fixture["b.cphr"] = makeContainer("pw", false);
    fixture["c.cphr"] = makeContainer("pw", true);
    fixture["k.cphr"] = makeContainer(RAW_KEY_HEX, false);

    setenv("LC_ALL", "ja_JP.SJIS", 1);
    platformInit();
    shiftJisAvailable = platformIsLeadByte(0x81);
    setenv("LC_ALL", "C", 1);
    platformInit();
    fprintf(stderr, "driver_fuzz: Shift-JIS locale %s\n", shiftJisAvailable ? "available" : "not available");
    if (chdir(fuzzerDir.c_str()) != 0) harnessFail("chdir", fuzzerDir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return -1;
    const bool shiftJis = (data[0] & 1) != 0 && shiftJisAvailable;
    std::vector<std::string> args = splitArguments(data + 1, size - 1);
    if (args.size() > MAX_ARGUMENTS) return -1;
    for (const std::string& a : args) {
        if (a.size() > MAX_ARGUMENT_LENGTH) return -1;
    }
    if (chdir(workDir.c_str()) != 0) harnessFail("chdir", workDir);
    layOutFixture();
    const int fileNames = fileNamesIfAcceptable(args);
    if (fileNames < 0) {
        if (chdir(fuzzerDir.c_str()) != 0) harnessFail("chdir", fuzzerDir);
        return -1;
    }

    resetAll();
    uint32_t seed = 2166136261u;
    for (size_t i = 0; i < size; ++i) seed = (seed ^ data[i]) * 16777619u;
    harnessSeedRandomPool(seed);
    setenv("LC_ALL", shiftJis ? "ja_JP.SJIS" : "C", 1);

    std::vector<std::string> argStrings = {"cipher", "/B"};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argStrings) argv.push_back(&a[0]);
    argv.push_back(nullptr);

    const int descriptors = harnessOpenDescriptors();
    int code = -1;
    try {
        cipherMain(static_cast<int>(argStrings.size()), argv.data());
    } catch (const HarnessExit& e) {
        code = e.code;
    }
    if (code != 0 && code != 1 && code != 3) harnessFail("exit code", std::to_string(code));
    if (harnessOpenDescriptors() != descriptors) harnessFail("a stream was left open");
    if (chdir(workDir.c_str()) != 0) harnessFail("chdir", workDir);

    const std::string input = relativeName(runInputName);
    const std::string output = relativeName(runOutputName);
    std::map<std::string, std::string> after = snapshot();
    if (code == 3) {
        if (after.count(output) != 0) harnessFail("an output is left after a refusal", output);
        auto kept = after.find(input);
        if (kept == after.end() || kept->second != fixture[input]) {
            harnessFail("a refused input is not as it was", input);
        }
    }
    if (code == 0 && runOutputName != nullptr && after.count(output) == 0) {
        harnessFail("no output after success", output);
    }
    if (fileNames == 1 && runOutputName != nullptr && directoryOf(output) != directoryOf(input)) {
        harnessFail("the output is not next to the input", input + " -> " + output);
    }
    for (const auto& entry : fixture) {
        if (entry.first == input || entry.first == output) continue;
        auto now = after.find(entry.first);
        if (now == after.end()) harnessFail("a file was removed", entry.first);
        if (now->second != entry.second) harnessFail("a file was changed", entry.first);
    }
    for (const auto& entry : after) {
        if (entry.first != input && entry.first != output && fixture.count(entry.first) == 0) {
            harnessFail("a file was created", entry.first);
        }
    }

    resetAll();
    setenv("LC_ALL", "C", 1);
    if (chdir(fuzzerDir.c_str()) != 0) harnessFail("chdir", fuzzerDir);
    return 0;
}
