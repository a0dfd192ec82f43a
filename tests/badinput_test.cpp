// Unfit inputs through the real binary: odd kinds of files and names, and
// damaged containers. Each must end with its report or refusal and leave
// nothing behind that should not be there; the input is never changed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "support/run.h"

namespace {

typedef std::vector<std::string> Names;

const char* const PASSPHRASE = "bad input passphrase";

std::string rawKeyHex() {
    const std::string key = patternBytes(64, 0xBAD);
    return toHex(reinterpret_cast<const uint8_t*>(key.data()), key.size());
}

// The line of the trace that starts with "ERROR ", or "".
std::string reportOf(const std::string& trace) {
    for (const std::string& line : splitLines(trace)) {
        if (line.compare(0, 6, "ERROR ") == 0) return line;
    }
    return "";
}

struct BadInput {
    const char* name;
    // Makes the files in the directory; gives the arguments after the key.
    std::function<Names(const TempDir&)> setup;
    int exitCode;
    const char* report;  // the ERROR line, or "" for none
    Names left;          // the directory afterwards
};

std::string repeat(char c, size_t count) { return std::string(count, c); }

const std::string TEXT = "some plain text\n";

std::vector<BadInput> badInputs() {
    return {
        {"directory as input",
         [](const TempDir& d) {
             mkdir(d.file("dir").c_str(), 0700);
             return Names{d.file("dir")};
         },
         1, "ERROR _Main 85 main", {"dir"}},
        {"directory as output",
         [](const TempDir& d) {
             writeFile(d.file("a.txt"), TEXT);
             mkdir(d.file("dir").c_str(), 0700);
             return Names{d.file("a.txt"), d.file("dir")};
         },
         1, "ERROR FileStream 30 fileOpen", {"a.txt", "dir"}},
        {"FIFO as input",
         [](const TempDir& d) {
             mkfifo(d.file("fifo").c_str(), 0600);
             return Names{d.file("fifo")};
         },
         1, "ERROR _Main 85 main", {"fifo"}},
        {"/dev/zero as input", [](const TempDir&) { return Names{"/dev/zero", "/dev/zero.out"}; }, 1,
         "ERROR _Main 85 main", {}},
        {"/dev/null as input", [](const TempDir&) { return Names{"/dev/null", "/dev/null.out"}; }, 1,
         "ERROR _Main 85 main", {}},
        {"dangling symbolic link",
         [](const TempDir& d) {
             EXPECT_EQ(symlink(d.file("gone").c_str(), d.file("link").c_str()), 0);
             return Names{d.file("link")};
         },
         1, "ERROR _Main 85 main", {"link"}},
        {"symbolic link to a file is followed",
         [](const TempDir& d) {
             writeFile(d.file("a.txt"), TEXT);
             EXPECT_EQ(symlink(d.file("a.txt").c_str(), d.file("link").c_str()), 0);
             return Names{d.file("link")};
         },
         0, "", {"a.txt", "link", "link.cphr"}},
        {"output in a missing directory",
         [](const TempDir& d) {
             writeFile(d.file("a.txt"), TEXT);
             return Names{d.file("a.txt"), d.file("missing/a.cphr")};
         },
         1, "ERROR FileStream 30 fileOpen", {"a.txt"}},
        // /proc takes no new files, not even from root.
        {"output where nothing can be created",
         [](const TempDir& d) {
             writeFile(d.file("a.txt"), TEXT);
             return Names{d.file("a.txt"), "/proc/cipher-test.cphr"};
         },
         1, "ERROR FileStream 30 fileOpen", {"a.txt"}},
        {"output where nothing can be created, /R",
         [](const TempDir& d) {
             writeFile(d.file("a.txt"), TEXT);
             return Names{"/R", d.file("a.txt"), "/proc/cipher-test.cphr"};
         },
         1, "ERROR File 48 fileMove", {"a.txt"}},
        {"name with spaces",
         [](const TempDir& d) {
             writeFile(d.file("my plain file.txt"), TEXT);
             return Names{d.file("my plain file.txt")};
         },
         0, "", {"my plain file.txt", "my plain file.txt.cphr"}},
        {"UTF-8 name",
         [](const TempDir& d) {
             writeFile(d.file("日本語のファイル.txt"), TEXT);
             return Names{d.file("日本語のファイル.txt")};
         },
         0, "", {"日本語のファイル.txt", "日本語のファイル.txt.cphr"}},
        // 0x95 0x5C is a Shift-JIS character whose second byte is the
        // backslash code.
        {"Shift-JIS name",
         [](const TempDir& d) {
             writeFile(d.file("\x95\x5c.txt"), TEXT);
             return Names{d.file("\x95\x5c.txt")};
         },
         0, "", {"\x95\x5c.txt", "\x95\x5c.txt.cphr"}},
        {"output name of 255 bytes",
         [](const TempDir& d) {
             writeFile(d.file(repeat('n', 250)), TEXT);
             return Names{d.file(repeat('n', 250))};
         },
         0, "", {repeat('n', 250), repeat('n', 250) + ".cphr"}},
        {"output name of 256 bytes",
         [](const TempDir& d) {
             writeFile(d.file(repeat('n', 251)), TEXT);
             return Names{d.file(repeat('n', 251))};
         },
         1, "ERROR FileStream 30 fileOpen", {repeat('n', 251)}},
        {"empty file",
         [](const TempDir& d) {
             writeFile(d.file("empty"), "");
             return Names{d.file("empty")};
         },
         0, "", {"empty", "empty.cphr"}},
        {"stretching exponent 9",
         [](const TempDir& d) {
             writeFile(d.file("a.txt"), TEXT);
             return Names{"/PE", "41", "9", d.file("a.txt")};
         },
         1, "ERROR _Tools 123 GetRawKey", {"a.txt"}},
        {"stretching exponent 41",
         [](const TempDir& d) {
             writeFile(d.file("a.txt"), TEXT);
             return Names{"/R", "/PE", "41", "41", d.file("a.txt")};
         },
         1, "ERROR _Tools 123 GetRawKey", {"a.txt"}},
        // The first byte of a multibyte character is the code: 0xE3 fits.
        // No argument gives a code above 0xFF.
        {"stretching character from a UTF-8 letter",
         [](const TempDir& d) {
             writeFile(d.file("a.txt"), TEXT);
             return Names{"/PE", "あ", "10", d.file("a.txt")};
         },
         0, "", {"a.txt", "a.txt.cphr"}},
    };
}

TEST(BadInputTest, EachGivesItsReportAndLeavesOnlyWhatItShould) {
    int tried = 0;
    for (const BadInput& c : badInputs()) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        Names args = {"/B", "/P", PASSPHRASE};
        Names rest = c.setup(dir);
        args.insert(args.end(), rest.begin(), rest.end());
        // The inputs as they were, to prove them unchanged.
        Names before = listDir(dir.path);
        std::vector<std::string> contents;
        for (const std::string& name : before) {
            // Never read a FIFO: that would wait for a writer.
            struct stat info;
            const bool plainFile = lstat(dir.file(name).c_str(), &info) == 0 && S_ISREG(info.st_mode);
            contents.push_back(plainFile ? readFile(dir.file(name)) : "");
        }
        RunResult run = runCipher(args);
        ++tried;
        EXPECT_EQ(run.exitCode, c.exitCode) << run.out;
        EXPECT_EQ(reportOf(run.out), c.report) << run.out;
        EXPECT_EQ(listDir(dir.path), c.left);
        for (size_t i = 0; i < before.size(); ++i) {
            if (!contents[i].empty()) {
                EXPECT_TRUE(readFile(dir.file(before[i])) == contents[i]) << before[i] << " changed";
            }
        }
        // A container that was made must give the text back.
        for (const std::string& name : c.left) {
            if (name.size() < 5 || name.compare(name.size() - 5, 5, ".cphr") != 0) continue;
            Names back = {"/B", "/P", PASSPHRASE};
            if (rest[0] == "/PE") back.insert(back.end(), {rest[0], rest[1], rest[2]});
            back.insert(back.end(), {dir.file(name), dir.file("back")});
            RunResult opened = runCipher(back);
            EXPECT_EQ(opened.exitCode, 0) << opened.out;
            EXPECT_EQ(readFile(dir.file("back")), name == "empty.cphr" ? "" : TEXT);
        }
    }
    printf("bad inputs tried: %d\n", tried);
}

// A device node under the output name is not a file to replace: the run
// fails, and the node is still there afterwards (as root, unlinking it would
// succeed).
TEST(BadInputTest, DeviceAsOutputIsNeverRemoved) {
    TempDir dir;
    if (mknod(dir.file("null").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
        GTEST_SKIP() << "cannot make a device node here (needs root)";
    }
    writeFile(dir.file("a.txt"), TEXT);
    RunResult run = runCipher({"/B", "/P", PASSPHRASE, dir.file("a.txt"), dir.file("null")});
    EXPECT_EQ(run.exitCode, 1) << run.out;
    // Which step notices first depends on how the pipeline reads the file.
    EXPECT_NE(reportOf(run.out), "") << run.out;
    struct stat info;
    ASSERT_EQ(lstat(dir.file("null").c_str(), &info), 0);
    EXPECT_TRUE(S_ISCHR(info.st_mode));
    EXPECT_EQ(readFile(dir.file("a.txt")), TEXT);
}

struct Container {
    std::string bytes;
    Names key;  // the arguments that decrypt it
};

Container makeContainer(const std::string& plain, const Names& key) {
    TempDir dir;
    writeFile(dir.file("p"), plain);
    Names args = {"/B", "/S"};
    args.insert(args.end(), key.begin(), key.end());
    args.push_back(dir.file("p"));
    EXPECT_EQ(runCipher(args).exitCode, 0);
    return {readFile(dir.file("p.cphr")), key};
}

// Decrypts the bytes as a container; checks the outcome and that the
// container is unchanged and nothing else is left. Gives the trace.
std::string decryptExpecting(const std::string& bytes, const Names& key, int exitCode,
                             const std::string& report, bool move = false) {
    TempDir dir;
    writeFile(dir.file("c.cphr"), bytes);
    Names args = {"/B"};
    if (move) args.push_back("/R");
    args.insert(args.end(), key.begin(), key.end());
    args.push_back(dir.file("c.cphr"));
    RunResult run = runCipher(args);
    EXPECT_EQ(run.exitCode, exitCode) << run.out;
    EXPECT_EQ(reportOf(run.out), report) << run.out;
    EXPECT_EQ(listDir(dir.path), Names{"c.cphr"});
    EXPECT_TRUE(readFile(dir.file("c.cphr")) == bytes) << "the container changed";
    return run.out;
}

TEST(BadInputTest, TruncatedContainersAreRefused) {
    const std::string plain = patternBytes(5000, 1);
    const Container sealed = makeContainer(plain, {"/P", PASSPHRASE});
    const size_t n = sealed.bytes.size();
    for (size_t length : {size_t(0), size_t(1), size_t(15), size_t(16), size_t(31), size_t(32),
                          size_t(48), size_t(383), size_t(384), n - 64, n - 17, n - 16, n - 15, n - 1}) {
        SCOPED_TRACE("length " + std::to_string(length));
        decryptExpecting(sealed.bytes.substr(0, length), sealed.key, 3, "");
        decryptExpecting(sealed.bytes.substr(0, length), sealed.key, 3, "", true);
    }
    // With /PE, a file shorter than the trailer asks for a negative length.
    const Container stretched = makeContainer(plain, {"/P", PASSPHRASE, "/PE", "41", "10"});
    for (size_t length : {size_t(0), size_t(40), size_t(63)}) {
        SCOPED_TRACE("stretched, length " + std::to_string(length));
        decryptExpecting(stretched.bytes.substr(0, length), stretched.key, 1,
                         "ERROR FileStream 54 setFileSize");
        decryptExpecting(stretched.bytes.substr(0, length), stretched.key, 1,
                         "ERROR FileStream 54 setFileSize", true);
    }
    for (size_t length : {size_t(64), size_t(64 + 384), stretched.bytes.size() - 1}) {
        SCOPED_TRACE("stretched, length " + std::to_string(length));
        decryptExpecting(stretched.bytes.substr(0, length), stretched.key, 3, "");
    }
}

// Every byte of a small container flipped in turn: each is refused, with no
// plain text left behind.
TEST(BadInputTest, EveryFlippedByteIsRefused) {
    const Container sealed = makeContainer("", {"/P", rawKeyHex()});
    ASSERT_EQ(sealed.bytes.size(), 384u);
#ifdef CIPHER_SANITIZED
    // Each run is slow here: one byte in each block.
    const size_t step = 16;
#else
    const size_t step = 1;
#endif
    for (size_t i = 0; i < sealed.bytes.size(); i += step) {
        SCOPED_TRACE("byte " + std::to_string(i));
        std::string damaged = sealed.bytes;
        damaged[i] = static_cast<char>(damaged[i] ^ 0xFF);
        const std::string trace = decryptExpecting(damaged, sealed.key, 3, "");
        if (HasFailure()) break;
        EXPECT_NE(trace.find("_Cipher (313) Cipher\n"), std::string::npos) << trace;
    }
}

// A raw key drops stretching: /PE neither appends nor cuts a trailer, so a
// raw-key container decrypts with or without it, and 64 bytes appended to it
// spoil it.
TEST(BadInputTest, StretchingWithARawKey) {
    const std::string plain = patternBytes(1000, 2);
    const Container sealed = makeContainer(plain, {"/P", rawKeyHex(), "/PE", "41", "10"});
    decryptExpecting(sealed.bytes + patternBytes(64, 3), {"/P", rawKeyHex(), "/PE", "41", "10"}, 3, "");
    TempDir dir;
    writeFile(dir.file("c.cphr"), sealed.bytes);
    RunResult run = runCipher({"/B", "/P", rawKeyHex(), "/PE", "41", "10", dir.file("c.cphr")});
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_TRUE(readFile(dir.file("c")) == plain);
    // No trailer was appended: the container decrypts without /PE too.
    run = runCipher({"/B", "/P", rawKeyHex(), dir.file("c.cphr"), dir.file("d")});
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_TRUE(readFile(dir.file("d")) == plain);
}

#ifndef CIPHER_SANITIZED
// Runs the binary until its second read of the input (the copy has measured
// the input and read its first chunk), changes the input meanwhile, and lets
// it go on. Uses the stop of the fault-injection library.
RunResult runChangingTheInput(const Names& args, const std::function<void()>& change) {
    TempDir logs;
    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        int out = open(logs.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(out, 1);
        dup2(null, 2);
        setenv("LD_PRELOAD", FAULTINJECT_LIB, 1);
        setenv("FAULT_OP", "read", 1);
        setenv("FAULT_PATH", "/big.bin", 1);
        setenv("FAULT_MODE", "rb", 1);
        setenv("FAULT_NTH", "2", 1);
        setenv("FAULT_STOP", "1", 1);
        std::vector<char*> argv = {const_cast<char*>(CIPHER_BIN)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(CIPHER_BIN, argv.data());
        _exit(127);
    }
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, WUNTRACED), pid);
    EXPECT_TRUE(WIFSTOPPED(status)) << "the run never reached its second read";
    if (WIFSTOPPED(status)) {
        change();
        kill(pid, SIGCONT);
        EXPECT_EQ(waitpid(pid, &status, 0), pid);
    }
    RunResult result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(logs.file("out")), ""};
    return result;
}

TEST(BadInputTest, InputThatShrinksWhileItIsCopied) {
    TempDir dir;
    const std::string plain = patternBytes(5000000, 4);
    writeFile(dir.file("big.bin"), plain);
    RunResult run = runChangingTheInput({"/B", "/P", PASSPHRASE, dir.file("big.bin")},
                                        [&] { EXPECT_EQ(truncate(dir.file("big.bin").c_str(), 1500000), 0); });
    EXPECT_EQ(run.exitCode, 1) << run.out;
    EXPECT_EQ(reportOf(run.out), "ERROR FileStream 84 fileRead") << run.out;
    EXPECT_EQ(listDir(dir.path), Names{"big.bin"});
    EXPECT_TRUE(readFile(dir.file("big.bin")) == plain.substr(0, 1500000));
}

TEST(BadInputTest, InputThatGrowsWhileItIsCopiedGivesTheMeasuredLength) {
    TempDir dir;
    const std::string plain = patternBytes(5000000, 5);
    writeFile(dir.file("big.bin"), plain);
    RunResult run = runChangingTheInput({"/B", "/P", PASSPHRASE, dir.file("big.bin")}, [&] {
        writeFile(dir.file("big.bin"), plain + patternBytes(1000000, 6));
    });
    EXPECT_EQ(run.exitCode, 0) << run.out;
    RunResult back = runCipher({"/B", "/S", "/P", PASSPHRASE, dir.file("big.bin.cphr"), dir.file("back")});
    EXPECT_EQ(back.exitCode, 0);
    EXPECT_TRUE(readFile(dir.file("back")) == plain);
}
#endif

}  // namespace
