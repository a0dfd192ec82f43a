// SIGINT and SIGTERM in the middle of a long run of the real binary. The
// signal is sent when the trace shows that a given step has begun; the run
// must then clean up (an incomplete copy removed; under /R the moved file put
// back under its name, byte for byte, once the running step has ended), say
// "interrupted by signal <n>" once and die by that signal. A run that ended
// before the signal landed proves nothing: it is recognised and tried again
// with a bigger file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/run.h"

extern char** environ;

namespace {

const char* const PASSPHRASE = "interrupt passphrase";

#ifdef CIPHER_SANITIZED
// Everything is slower under the sanitizers; a smaller file lasts as long.
const size_t START_LENGTH = 8u << 20;
#else
const size_t START_LENGTH = 24u << 20;
#endif
const int TRIES = 3;

// A cipher run whose standard output is read as it comes.
struct Child {
    pid_t pid = -1;
    int out = -1;
    std::string trace;
};

Child start(const std::vector<std::string>& args) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) abort();
    std::string program = CIPHER_BIN;
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    Child child;
    child.pid = fork();
    if (child.pid == 0) {
        // No controlling terminal, and the default action for the signals,
        // whatever the test process has.
        setsid();
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(pipeFds[1], 1);
        dup2(null, 2);
        close(pipeFds[0]);
        close(pipeFds[1]);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    child.out = pipeFds[0];
    return child;
}

// Adds what the child writes next to its trace; false when the output ends.
bool readMore(Child& child) {
    for (;;) {
        char buffer[4096];
        ssize_t got = read(child.out, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        child.trace.append(buffer, static_cast<size_t>(got));
        return true;
    }
}

// Reads until the trace holds the text; false when the output ends first.
bool readUntil(Child& child, const std::string& text) {
    while (child.trace.find(text) == std::string::npos) {
        if (!readMore(child)) return false;
    }
    return true;
}

// Reads the rest of the trace and gives the exit status as 128 + signal or
// the exit code.
int finish(Child& child) {
    readUntil(child, std::string(1, '\0'));
    close(child.out);
    int status = 0;
    while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int countOf(const std::string& text, const std::string& part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

enum Direction { ENCRYPT, DECRYPT };

struct InterruptCase {
    const char* name;
    Direction direction;
    bool move;
    int signal;
    // The trace text after which the signal is sent.
    const char* trigger;
};

const InterruptCase CASES[] = {
    {"copy", ENCRYPT, false, SIGINT, "_Cipher (261) Cipher\n"},
    {"first pass", ENCRYPT, false, SIGTERM, "rawKey: "},
    {"outer pass", DECRYPT, false, SIGINT, "rawKey: "},
    {"first pass", ENCRYPT, true, SIGINT, "rawKey: "},
    {"second pass", ENCRYPT, true, SIGTERM, "\nrawKey: "},
    {"outer pass", DECRYPT, true, SIGTERM, "rawKey: "},
    {"inner pass", DECRYPT, true, SIGINT, "\nrawKey: "},
};

// The nth occurrence is meant when the trigger starts with a line end: the
// second key line.
bool waitForTrigger(Child& child, const char* trigger) {
    if (trigger[0] != '\n') return readUntil(child, trigger);
    if (!readUntil(child, trigger + 1)) return false;
    size_t first = child.trace.find(trigger + 1);
    while (child.trace.find(trigger + 1, first + 1) == std::string::npos) {
        if (!readMore(child)) return false;
    }
    return true;
}

TEST(InterruptTest, SignalInTheMiddleOfARunLosesNothing) {
    signal(SIGPIPE, SIG_IGN);
    for (const InterruptCase& c : CASES) {
        const std::string what = std::string(c.direction == ENCRYPT ? "encrypt" : "decrypt") +
                                 (c.move ? " /R" : "") + ", " + c.name + ", signal " +
                                 std::to_string(c.signal);
        SCOPED_TRACE(what);
        bool interrupted = false;
        size_t length = START_LENGTH;
        for (int attempt = 0; attempt < TRIES && !interrupted; ++attempt, length *= 2) {
            TempDir dir;
            const std::string plainName = dir.file("data.bin");
            const std::string containerName = dir.file("data.bin.cphr");
            const std::string plain = patternBytes(length, 0x5161 + static_cast<uint32_t>(attempt));
            writeFile(plainName, plain);
            std::string input = plain;
            if (c.direction == DECRYPT) {
                RunResult made = runCipher({"/B", "/S", "/R", "/P", PASSPHRASE, plainName});
                ASSERT_EQ(made.exitCode, 0);
                input = readFile(containerName);
            }
            const std::string inputName = c.direction == ENCRYPT ? plainName : containerName;
            const std::string outputName = c.direction == ENCRYPT ? containerName : plainName;
            std::vector<std::string> args = {"/B", "/P", PASSPHRASE};
            if (c.move) args.push_back("/R");
            args.push_back(inputName);

            Child child = start(args);
            const bool triggered = waitForTrigger(child, c.trigger);
            if (triggered) kill(child.pid, c.signal);
            const int status = finish(child);
            if (status == 0) {
                // Done before the signal mattered: the result must be sound,
                // and a bigger file is tried.
                printf("%s: the run of %zu bytes ended first; trying a bigger file\n", what.c_str(), length);
                EXPECT_TRUE(pathExists(outputName));
                continue;
            }
            ASSERT_TRUE(triggered) << child.trace;
            interrupted = true;
            EXPECT_EQ(status, 128 + c.signal) << child.trace;
            EXPECT_EQ(countOf(child.trace, "interrupted by signal "), 1) << child.trace;
            EXPECT_NE(child.trace.find("\ninterrupted by signal " + std::to_string(c.signal) + "\n"),
                      std::string::npos)
                << child.trace;
            EXPECT_EQ(child.trace.find("exitcode:"), std::string::npos) << child.trace;
            EXPECT_EQ(child.trace.find("ERROR"), std::string::npos) << child.trace;
            // Copy or move, the input is back as it was and nothing else is left.
            EXPECT_EQ(listDir(dir.path), (std::vector<std::string>{c.direction == ENCRYPT ? "data.bin" : "data.bin.cphr"}));
            EXPECT_TRUE(readFile(inputName) == input) << "the input is not byte for byte what it was";
        }
        EXPECT_TRUE(interrupted) << "every run ended before the signal landed";
    }
}

// A signal before the pipeline starts (here while the stretched key is being
// made) ends the run at once, with nothing written.
TEST(InterruptTest, SignalBeforeThePipelineWritesNothing) {
    TempDir dir;
    writeFile(dir.file("a.txt"), "plain text\n");
    Child child = start({"/B", "/R", "/P", PASSPHRASE, "/PE", "41", "40", dir.file("a.txt")});
    ASSERT_TRUE(readUntil(child, "passphrase expanding...\n")) << child.trace;
    kill(child.pid, SIGTERM);
    EXPECT_EQ(finish(child), 128 + SIGTERM) << child.trace;
    EXPECT_EQ(listDir(dir.path), (std::vector<std::string>{"a.txt"}));
    EXPECT_EQ(readFile(dir.file("a.txt")), "plain text\n");
}

}  // namespace
