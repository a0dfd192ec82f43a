// Failures injected into every phase of an encryption and a decryption run of
// the real binary (the copy or move, each layer, each pass, the trailer, the
// random source), through the LD_PRELOAD library in tests/fault: each must
// end with its report and exit code 1 and lose nothing. Without /R the input
// stays byte for byte and no output is left; under /R a failure between two
// steps puts the file back under the input name byte for byte, and one
// inside a pass leaves it under the output name and says so.
//
// Phases are picked by the file's name and the stream's open mode ("r+b" is
// only ever the writer of a pass, "ab" an appending layer or a cut), and by
// the count of matching calls; "the last matching call" is found by a dry run
// with the same filter, so the cases do not depend on how many calls each
// phase makes.
#include <gtest/gtest.h>

#include <errno.h>

#include <string>
#include <vector>

#include "support/run.h"

#ifndef CIPHER_SANITIZED

namespace {

const char* const PASSPHRASE = "fault passphrase";
// Three copy chunks and three chunks of each pass; a multiple of 16, so the
// padding is 16 to 240 bytes and the container 160 to 384 bytes longer.
const size_t PLAIN_LENGTH = 3300000;
const char* const PLAIN = "plain.bin";
const char* const SEALED = "plain.bin.cphr";
const char* const OPENED = "sealed.bin";
const char* const CONTAINER = "sealed.bin.cphr";

// The nth value that means "the last matching call of a successful run".
const int LAST = -1;

enum Direction { ENCRYPT, DECRYPT };
enum Role { INPUT, OUTPUT, NO_FILE };
// What the disk must look like afterwards under /R: the input back under its
// name, or the half-made file left under the output name (a pass failed).
enum MoveOutcome { RESTORED, LEFT };

struct FaultCase {
    const char* phase;
    Direction direction;
    bool move;       // /R
    bool stretch;    // /PE 41 10
    const char* op;  // FAULT_OP, or "" for the file-size limit alone
    Role file;       // FAULT_PATH: the input's or the output's name
    const char* mode;  // FAULT_MODE, or null for any
    int nth;         // FAULT_NTH; 0 = every call; LAST
    bool onward;     // and every matching call after the nth
    int error;       // FAULT_ERRNO
    int64_t sizeLimit;  // FAULT_FSIZE as bytes beyond the input's length (or a negative
                        // count: that many bytes less than it); 0 = no limit
    const char* report;
    MoveOutcome outcome;
};

// Growth of the file beyond the plain length that the adding layers never
// reach: the padding and random parts add at least 160 bytes.
const int64_t INSIDE_THE_LAYERS = 150;
const int64_t HALF_WAY = -static_cast<int64_t>(PLAIN_LENGTH / 2);

const FaultCase CASES[] = {
    // Encryption: the copy or move.
    {"copy: output cannot be created", ENCRYPT, false, false, "open", OUTPUT, "wb", 0, false, EACCES, 0,
     "ERROR FileStream 30 fileOpen", RESTORED},
    {"copy: read of the input", ENCRYPT, false, false, "read", INPUT, "rb", 2, false, EIO, 0,
     "ERROR FileStream 84 fileRead", RESTORED},
    {"copy: write of the output", ENCRYPT, false, false, "write", OUTPUT, "wb", 1, false, ENOSPC, 0,
     "ERROR FileStream 92 fileWrite", RESTORED},
    {"copy: close of the output", ENCRYPT, false, false, "close", OUTPUT, "wb", 1, false, EIO, 0,
     "ERROR FileStream 35 fileClose", RESTORED},
    {"copy: disk full", ENCRYPT, false, false, "", NO_FILE, nullptr, 0, false, 0, HALF_WAY,
     "ERROR FileStream 92 fileWrite", RESTORED},
    {"move: rename refused", ENCRYPT, true, false, "rename", OUTPUT, nullptr, 1, false, EACCES, 0,
     "ERROR File 48 fileMove", RESTORED},
    // Encryption: the layers.
    {"random source broken", ENCRYPT, false, false, "random", NO_FILE, nullptr, 1, false, EIO, 0,
     "ERROR CryptoRand 30 getCryptoBlock_MS", RESTORED},
    {"random source missing", ENCRYPT, true, false, "random", NO_FILE, nullptr, 1, false, ENOSYS, 0,
     "ERROR CryptoRand 25 getCryptoBlock_MS", RESTORED},
    {"padding: write", ENCRYPT, false, false, "write", OUTPUT, "ab", 1, false, EIO, 0,
     "ERROR FileStream 73 writeChar", RESTORED},
    {"padding: write", ENCRYPT, true, false, "write", OUTPUT, "ab", 1, false, EIO, 0,
     "ERROR FileStream 73 writeChar", RESTORED},
    {"padding: size of the file", ENCRYPT, true, false, "seek", OUTPUT, "rb", 1, false, EIO, 0,
     "ERROR FileStream 40 getFileSize", RESTORED},
    {"random part: close", ENCRYPT, true, false, "close", OUTPUT, "ab", 2, false, EIO, 0,
     "ERROR FileStream 35 fileClose", RESTORED},
    {"layers: disk full", ENCRYPT, false, false, "", NO_FILE, nullptr, 0, false, 0, INSIDE_THE_LAYERS,
     "ERROR FileStream 35 fileClose", RESTORED},
    {"layers: disk full", ENCRYPT, true, false, "", NO_FILE, nullptr, 0, false, 0, INSIDE_THE_LAYERS,
     "ERROR FileStream 35 fileClose", RESTORED},
    {"hash: read", ENCRYPT, false, false, "read", OUTPUT, "rb", 1, false, EIO, 0,
     "ERROR FileStream 84 fileRead", RESTORED},
    {"hash: read", ENCRYPT, true, false, "read", OUTPUT, "rb", 1, false, EIO, 0,
     "ERROR FileStream 84 fileRead", RESTORED},
    // Encryption: the passes and the trailer.
    {"first pass: write", ENCRYPT, false, false, "write", OUTPUT, "r+b", 1, false, EIO, 0,
     "ERROR FileStream 92 fileWrite", RESTORED},
    {"first pass: write", ENCRYPT, true, false, "write", OUTPUT, "r+b", 1, false, ENOSPC, 0,
     "ERROR FileStream 92 fileWrite", LEFT},
    {"first pass: close", ENCRYPT, true, false, "close", OUTPUT, "r+b", 1, false, EIO, 0,
     "ERROR FileStream 35 fileClose", LEFT},
    {"second pass: write", ENCRYPT, false, false, "write", OUTPUT, "r+b", LAST, false, EIO, 0,
     "ERROR FileStream 92 fileWrite", RESTORED},
    {"second pass: write", ENCRYPT, true, false, "write", OUTPUT, "r+b", LAST, false, EIO, 0,
     "ERROR FileStream 92 fileWrite", LEFT},
    {"trailer: close", ENCRYPT, false, true, "close", OUTPUT, "ab", LAST, false, ENOSPC, 0,
     "ERROR FileStream 35 fileClose", RESTORED},
    {"trailer: close", ENCRYPT, true, true, "close", OUTPUT, "ab", LAST, false, ENOSPC, 0,
     "ERROR FileStream 35 fileClose", RESTORED},
    {"trailer: open", ENCRYPT, false, true, "open", OUTPUT, "ab", LAST, true, EACCES, 0,
     "ERROR FileStream 30 fileOpen", RESTORED},

    // Decryption: before the pipeline, the copy or move.
    {"key: trailer read", DECRYPT, false, true, "read", INPUT, "rb", 1, false, EIO, 0,
     "ERROR FileStream 84 fileRead", RESTORED},
    {"key: trailer read", DECRYPT, true, true, "read", INPUT, "rb", 1, false, EIO, 0,
     "ERROR FileStream 84 fileRead", RESTORED},
    {"copy: read of the container", DECRYPT, false, false, "read", INPUT, "rb", 1, false, EIO, 0,
     "ERROR FileStream 84 fileRead", RESTORED},
    {"copy: write of the output", DECRYPT, false, false, "write", OUTPUT, "wb", 3, false, ENOSPC, 0,
     "ERROR FileStream 92 fileWrite", RESTORED},
    {"copy: disk full", DECRYPT, false, false, "", NO_FILE, nullptr, 0, false, 0, HALF_WAY,
     "ERROR FileStream 92 fileWrite", RESTORED},
    {"move: rename refused", DECRYPT, true, false, "rename", OUTPUT, nullptr, 1, false, EACCES, 0,
     "ERROR File 48 fileMove", RESTORED},
    // Decryption: the trailer cut.
    {"trailer cut: truncate", DECRYPT, false, true, "truncate", OUTPUT, nullptr, 1, false, EIO, 0,
     "ERROR FileStream 59 setFileSize", RESTORED},
    {"trailer cut: truncate", DECRYPT, true, true, "truncate", OUTPUT, nullptr, 1, false, EIO, 0,
     "ERROR FileStream 59 setFileSize", RESTORED},
    {"trailer cut: close after the cut", DECRYPT, true, true, "close", OUTPUT, "ab", 1, false, EIO, 0,
     "ERROR FileStream 35 fileClose", RESTORED},
    // Decryption: the passes.
    {"outer pass: read", DECRYPT, true, false, "read", OUTPUT, "rb", 1, false, EIO, 0,
     "ERROR FileStream 84 fileRead", LEFT},
    {"outer pass: write", DECRYPT, false, false, "write", OUTPUT, "r+b", 1, false, EIO, 0,
     "ERROR FileStream 92 fileWrite", RESTORED},
    {"outer pass: write", DECRYPT, true, false, "write", OUTPUT, "r+b", 1, false, ENOSPC, 0,
     "ERROR FileStream 92 fileWrite", LEFT},
    {"outer pass: seek", DECRYPT, true, false, "seek", OUTPUT, "r+b", 1, false, EIO, 0,
     "ERROR FileStream 78 fileSeek", LEFT},
    {"inner pass: write", DECRYPT, false, true, "write", OUTPUT, "r+b", LAST, false, EIO, 0,
     "ERROR FileStream 92 fileWrite", RESTORED},
    {"inner pass: close", DECRYPT, true, false, "close", OUTPUT, "r+b", LAST, false, EIO, 0,
     "ERROR FileStream 35 fileClose", LEFT},
    // Decryption: the cuts, each between two steps.
    {"random part cut: truncate", DECRYPT, false, false, "truncate", OUTPUT, nullptr, 1, false, EIO, 0,
     "ERROR FileStream 59 setFileSize", RESTORED},
    {"random part cut: truncate", DECRYPT, true, false, "truncate", OUTPUT, nullptr, 1, false, EIO, 0,
     "ERROR FileStream 59 setFileSize", RESTORED},
    {"hash cut: truncate", DECRYPT, true, true, "truncate", OUTPUT, nullptr, 3, false, EIO, 0,
     "ERROR FileStream 59 setFileSize", RESTORED},
    {"hash cut: close after the cut", DECRYPT, true, false, "close", OUTPUT, "ab", 2, false, EIO, 0,
     "ERROR FileStream 35 fileClose", RESTORED},
    {"padding: read of the size byte", DECRYPT, true, false, "read", OUTPUT, "rb", LAST, false, EIO, 0,
     "ERROR FileStream 68 readChar", RESTORED},
    {"padding cut: truncate", DECRYPT, false, false, "truncate", OUTPUT, nullptr, LAST, false, EIO, 0,
     "ERROR FileStream 59 setFileSize", RESTORED},
    {"padding cut: truncate", DECRYPT, true, true, "truncate", OUTPUT, nullptr, LAST, false, EIO, 0,
     "ERROR FileStream 59 setFileSize", RESTORED},
    {"padding cut: close after the cut", DECRYPT, true, false, "close", OUTPUT, "ab", LAST, false, EIO, 0,
     "ERROR FileStream 35 fileClose", RESTORED},
};

std::string describe(const FaultCase& c) {
    std::string text = std::string(c.direction == ENCRYPT ? "encrypt" : "decrypt") +
                       (c.move ? " /R" : "") + (c.stretch ? " /PE" : "") + ", " + c.phase + " (" +
                       (c.op[0] ? c.op : "size limit") + ")";
    return text;
}

// The plain file and its containers, made once without faults.
struct Material {
    std::string plain;
    std::string container;         // made with the passphrase alone
    std::string stretchContainer;  // made with /PE 41 10
};

std::vector<std::string> keyArgs(bool stretch) {
    std::vector<std::string> args = {"/B", "/P", PASSPHRASE};
    if (stretch) args.insert(args.end(), {"/PE", "41", "10"});
    return args;
}

const Material& material() {
    static Material made;
    if (!made.plain.empty()) return made;
    made.plain = patternBytes(PLAIN_LENGTH, 0xFA017);
    for (bool stretch : {false, true}) {
        TempDir dir;
        writeFile(dir.file(PLAIN), made.plain);
        std::vector<std::string> args = keyArgs(stretch);
        args.push_back(dir.file(PLAIN));
        RunResult run = runCipher(args);
        EXPECT_EQ(run.exitCode, 0) << run.out;
        (stretch ? made.stretchContainer : made.container) = readFile(dir.file(SEALED));
    }
    return made;
}

// Puts the case's input into the directory; gives its bytes.
std::string prepare(const FaultCase& c, const TempDir& dir) {
    const Material& m = material();
    const std::string bytes =
        c.direction == ENCRYPT ? m.plain : (c.stretch ? m.stretchContainer : m.container);
    writeFile(dir.file(c.direction == ENCRYPT ? PLAIN : CONTAINER), bytes);
    return bytes;
}

std::vector<std::string> argsFor(const FaultCase& c, const TempDir& dir) {
    std::vector<std::string> args = keyArgs(c.stretch);
    if (c.move) args.push_back("/R");
    args.push_back(dir.file(c.direction == ENCRYPT ? PLAIN : CONTAINER));
    return args;
}

std::vector<std::string> faultEnv(const FaultCase& c, int nth, int64_t inputLength) {
    std::vector<std::string> env = {std::string("LD_PRELOAD=") + FAULTINJECT_LIB};
    if (c.op[0] != '\0') {
        env.push_back(std::string("FAULT_OP=") + c.op);
        env.push_back("FAULT_NTH=" + std::to_string(nth) + (c.onward ? "+" : ""));
        env.push_back("FAULT_ERRNO=" + std::to_string(c.error));
    }
    if (c.file != NO_FILE) {
        const bool plainSide = (c.direction == ENCRYPT) == (c.file == INPUT);
        const char* name = c.direction == ENCRYPT ? (plainSide ? PLAIN : SEALED)
                                                  : (plainSide ? OPENED : CONTAINER);
        env.push_back(std::string("FAULT_PATH=/") + name);
    }
    if (c.mode != nullptr) env.push_back(std::string("FAULT_MODE=") + c.mode);
    if (c.sizeLimit != 0) {
        const int64_t base = c.sizeLimit < 0 ? inputLength : static_cast<int64_t>(PLAIN_LENGTH);
        env.push_back("FAULT_FSIZE=" + std::to_string(base + c.sizeLimit));
    }
    return env;
}

// The count of calls that match the case's filter in a run without faults.
int countMatchingCalls(FaultCase c) {
    c.onward = false;
    TempDir dir;
    const std::string input = prepare(c, dir);
    RunOptions options;
    options.env = faultEnv(c, LAST, static_cast<int64_t>(input.size()));
    options.env.push_back("FAULT_LOG=" + dir.file("calls.log"));
    RunResult run = runCipher(argsFor(c, dir), options);
    EXPECT_EQ(run.exitCode, 0) << run.out;
    return static_cast<int>(splitLines(readFile(dir.file("calls.log"))).size());
}

TEST(FaultTest, EveryPhaseFailsWithItsReportAndLosesNothing) {
    int tried = 0;
    for (const FaultCase& c : CASES) {
        SCOPED_TRACE(describe(c));
        int nth = c.nth;
        if (nth == LAST) {
            nth = countMatchingCalls(c);
            ASSERT_GT(nth, 0) << "no call matches the filter";
        }
        TempDir dir;
        const std::string input = prepare(c, dir);
        const std::string inputName = dir.file(c.direction == ENCRYPT ? PLAIN : CONTAINER);
        const std::string outputName = dir.file(c.direction == ENCRYPT ? SEALED : OPENED);
        RunOptions options;
        options.env = faultEnv(c, nth, static_cast<int64_t>(input.size()));
        RunResult run = runCipher(argsFor(c, dir), options);
        ++tried;

        EXPECT_EQ(run.exitCode, 1) << run.out;
        // The report, then at most the note on a file left as it is, then the
        // exit line: nothing runs on after the failure.
        std::vector<std::string> lines = splitLines(run.out);
        size_t report = lines.size();
        for (size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].compare(0, 6, "ERROR ") == 0) {
                report = i;
                break;
            }
        }
        ASSERT_LT(report, lines.size()) << run.out;
        EXPECT_EQ(lines[report], c.report) << run.out;
        std::vector<std::string> after(lines.begin() + static_cast<long>(report) + 1, lines.end());
        const std::string leftLine = "the file is left as it stands: " + outputName;
        if (c.move && c.outcome == LEFT) {
            EXPECT_EQ(after, (std::vector<std::string>{leftLine, "exitcode: 1"})) << run.out;
        } else {
            EXPECT_EQ(after, (std::vector<std::string>{"exitcode: 1"})) << run.out;
        }
        EXPECT_EQ(run.out.find("interrupted"), std::string::npos);

        if (c.move && c.outcome == LEFT) {
            // Under the output name, the length unchanged (the pass failed
            // part way); the input name is free.
            EXPECT_EQ(listDir(dir.path), (std::vector<std::string>{c.direction == ENCRYPT ? SEALED : OPENED}));
        } else {
            EXPECT_EQ(listDir(dir.path),
                      (std::vector<std::string>{c.direction == ENCRYPT ? PLAIN : CONTAINER}));
            EXPECT_TRUE(readFile(inputName) == input) << "the input is not byte for byte what it was";
        }
    }
    printf("fault cases tried: %d\n", tried);
}

// A run that the library does not hit at all must succeed: the filters of the
// table really pick calls of a normal run, and loading the library alone
// changes nothing.
TEST(FaultTest, LibraryWithoutAFaultChangesNothing) {
    TempDir dir;
    const std::string plain = patternBytes(100000, 7);
    writeFile(dir.file(PLAIN), plain);
    RunOptions options;
    options.env = {std::string("LD_PRELOAD=") + FAULTINJECT_LIB, "FAULT_OP=write", "FAULT_NTH=-1"};
    RunResult run = runCipher({"/B", "/P", PASSPHRASE, "/R", dir.file(PLAIN)}, options);
    EXPECT_EQ(run.exitCode, 0) << run.out;
    run = runCipher({"/B", "/P", PASSPHRASE, "/R", dir.file(SEALED)}, options);
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_TRUE(readFile(dir.file(PLAIN)) == plain);
}

}  // namespace

#else

TEST(FaultTest, NeedsThePlainBuild) {
    GTEST_SKIP() << "the sanitizer runtime must come first in the preload list";
}

#endif
