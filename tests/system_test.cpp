// Diagnostic output, formatting into new strings, the fatal-error report,
// the process exit and the argument cursor.
#include "system/System.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <printf.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/child.h"
#include "support/run.h"

#ifdef CIPHER_SANITIZED
// From the sanitizer runtime: the size that was asked for a heap block.
extern "C" size_t __sanitizer_get_allocated_size(const volatile void* block);
#endif

namespace {

// Collects what is written to standard output while it lives, one entry per
// write: a SOCK_SEQPACKET socket keeps the boundaries of the writes, so the
// chunks of coutLongText can be seen. No assertion may run while it captures.
class StdoutWrites {
public:
    StdoutWrites() {
        fflush(stdout);
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0) abort();
        reader_ = pair[0];
        saved_ = dup(1);
        dup2(pair[1], 1);
        close(pair[1]);
    }
    ~StdoutWrites() { restore(); }

    std::vector<std::string> take() {
        restore();
        std::vector<std::string> writes;
        char buffer[65536];
        for (;;) {
            ssize_t got = recv(reader_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got <= 0) break;
            writes.emplace_back(buffer, static_cast<size_t>(got));
        }
        return writes;
    }

private:
    void restore() {
        if (saved_ < 0) return;
        fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
        saved_ = -1;
    }
    int reader_ = -1;
    int saved_ = -1;
};

std::vector<size_t> sizesOf(const std::vector<std::string>& writes) {
    std::vector<size_t> sizes;
    for (const std::string& w : writes) sizes.push_back(w.size());
    return sizes;
}

std::string joined(const std::vector<std::string>& writes) {
    std::string all;
    for (const std::string& w : writes) all += w;
    return all;
}

// %W: a conversion of this test that writes wLength bytes of 'w' and counts
// how often it runs, which is once per formatting attempt of vxcout. With
// wWrites false it writes nothing and only reports the length, which the
// formatter adds to its count all the same.
int wCalls = 0;
size_t wLength = 0;
bool wWrites = true;

int printW(FILE* stream, const struct printf_info*, const void* const*) {
    ++wCalls;
    if (!wWrites) return static_cast<int>(wLength);
    std::string text(wLength, 'w');
    return fputs(text.c_str(), stream) < 0 ? -1 : static_cast<int>(wLength);
}

int arginfoW(const struct printf_info*, size_t, int*, int*) { return 0; }

// vxcout through variadic arguments, without the printf format check (which
// does not know %W).
char* callVxcout(const char* format, ...) {
    va_list args;
    va_start(args, format);
    char* text = vxcout(format, args);
    va_end(args);
    return text;
}

// Size of a heap block: exact under the sanitizers, rounded up by glibc.
size_t blockSize(void* block) {
#ifdef CIPHER_SANITIZED
    return __sanitizer_get_allocated_size(block);
#else
    return malloc_usable_size(block);
#endif
}

bool registerW() {
    static bool registered = register_printf_specifier('W', printW, arginfoW) == 0;
    return registered;
}

TEST(Vxcout, StartsNearTheFormatLengthAndDoubles) {
    ASSERT_TRUE(registerW());
    // The format "%W" has length 2, so the capacities tried are 102, 204,
    // 408, 816, 1632, ... and a text fits when it is not longer.
    struct Case {
        size_t length;
        int attempts;
    };
    static const Case cases[] = {{0, 1}, {101, 1}, {102, 1}, {103, 2}, {204, 2},
                                 {205, 3}, {816, 4}, {817, 5}, {1000, 5}};
    for (const Case& c : cases) {
        SCOPED_TRACE("text length " + std::to_string(c.length));
        wCalls = 0;
        wLength = c.length;
        char* text = callVxcout("%W");
        EXPECT_EQ(wCalls, c.attempts);
        EXPECT_EQ(std::string(text), std::string(c.length, 'w'));
        free(text);
    }
}

TEST(Vxcout, ShrinksTheBlockToTheText) {
    std::string thousand = patternBytes(1000, 7);
    for (char& c : thousand) c = static_cast<char>('a' + (static_cast<unsigned char>(c) % 26));
    char* text = strFormat("%s", thousand.c_str());
    EXPECT_EQ(std::string(text), thousand);
    size_t size = blockSize(text);
#ifdef CIPHER_SANITIZED
    EXPECT_EQ(size, 1001u);
#else
    // glibc rounds a little up; without the shrink it would hold 1632 + 20.
    EXPECT_GE(size, 1001u);
    EXPECT_LT(size, 1652u);
#endif
    free(text);

    char* empty = callVxcout("");
    EXPECT_STREQ(empty, "");
#ifdef CIPHER_SANITIZED
    EXPECT_EQ(blockSize(empty), 1u);
#endif
    free(empty);
}

TEST(Vxcout, LargestCapacityIsTheFirstAbove128MiB) {
    ASSERT_TRUE(registerW());
    // The capacities are 102 * 2^k; the last one tried is 102 * 2^21 =
    // 213,909,504, the first above 134,217,728. %W only claims its length
    // here, so the 22 attempts cost no formatting of 200 MB each.
    const size_t last = 213909504;
    wCalls = 0;
    wLength = last;
    wWrites = false;
    char* text = callVxcout("%W");
    EXPECT_EQ(wCalls, 22);
    free(text);

    ChildOutput child;
    EXPECT_EXIT(
        {
            child.redirect();
            batchMode = 1;
            wLength = last + 1;
            free(callVxcout("%W"));
        },
        testing::ExitedWithCode(1), "");
    wWrites = true;
    EXPECT_EQ(child.out(), "ERROR System 91 vxcout\nexitcode: 1\n");
}

TEST(StrFormat, FormatsLikePrintf) {
    char* text = strFormat("%s.%s|%d|%5.2f|%%|%c", "a.txt", "cphr", -42, 3.14159, 'z');
    EXPECT_STREQ(text, "a.txt.cphr|-42| 3.14|%|z");
    free(text);
}

TEST(CoutLongText, ChunksOfNinetyEightBytes) {
    struct Case {
        size_t length;
        std::vector<size_t> chunks;
    };
    const Case cases[] = {{0, {}},       {1, {1}},          {97, {97}},         {98, {98}},
                          {99, {98, 1}}, {196, {98, 98}},   {250, {98, 98, 54}}};
    for (const Case& c : cases) {
        SCOPED_TRACE("length " + std::to_string(c.length));
        std::string text(c.length, 'x');
        for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
        StdoutWrites capture;
        coutLongText(text.c_str());
        std::vector<std::string> writes = capture.take();
        EXPECT_EQ(sizesOf(writes), c.chunks);
        EXPECT_EQ(joined(writes), text);
    }
}

TEST(CoutLongText, PercentSignsPassUnchanged) {
    const char* text = "100%d %s %n %% %*d %";
    StdoutWrites capture;
    coutLongText(text);
    xcout("%s", text);
    std::string all = joined(capture.take());
    EXPECT_EQ(all, std::string(text) + text);
}

TEST(CoutLongText, NeverSplitsADoubleByteCharacter) {
    const std::string a97(97, 'a'), a96(96, 'a'), a98(98, 'a');
    const std::string kanji = "\x95\x5c";  // a Shift-JIS character, second byte 0x5C
    struct Case {
        std::string text;
        std::vector<size_t> shiftJis;  // chunk sizes under Shift-JIS
        std::vector<size_t> utf8;      // and where no byte is a lead byte
    };
    const Case cases[] = {
        {a97 + kanji, {99}, {98, 1}},                // starts at byte 97: one chunk of 99
        {a96 + kanji + "b", {98, 1}, {98, 1}},       // ends at byte 97
        {a98 + kanji, {98, 2}, {98, 2}},             // starts a new chunk
        {a97 + "\x95", {98}, {98}},                  // a lead byte before the end stands alone
        {a97 + kanji + a97 + kanji, {99, 99}, {98, 98, 2}},
    };
    for (const Case& c : cases) {
        StdoutWrites capture;
        coutLongText(c.text.c_str());
        std::vector<std::string> writes = capture.take();
        EXPECT_EQ(sizesOf(writes), c.utf8) << "text length " << c.text.size();
        EXPECT_EQ(joined(writes), c.text);
    }

    ShiftJisLocale sjis;
    if (!sjis.active()) GTEST_SKIP() << sjis.why();
    for (const Case& c : cases) {
        StdoutWrites capture;
        coutLongText(c.text.c_str());
        std::vector<std::string> writes = capture.take();
        EXPECT_EQ(sizesOf(writes), c.shiftJis) << "text length " << c.text.size();
        EXPECT_EQ(joined(writes), c.text);
    }
}

TEST(Xcout, PlainStringFormsWriteTheArgumentDirectly) {
    const std::string long300(300, 'q');
    struct Case {
        const char* name;
        void (*print)(const char*);
        std::vector<std::string> writes;
    };
    // "%s\n" sends the text through the chunker and the line end on its own;
    // a formatted line is one text, so its chunks end differently.
    const Case cases[] = {
        {"%s empty", [](const char* t) { xcout("%s", t + 300); }, {}},
        {"%s\\n empty", [](const char* t) { xcout("%s\n", t + 300); }, {"\n"}},
        {"%s long", [](const char* t) { xcout("%s", t); }, {std::string(98, 'q'), std::string(98, 'q'),
                                                              std::string(98, 'q'), std::string(6, 'q')}},
        {"%s\\n long", [](const char* t) { xcout("%s\n", t); },
         {std::string(98, 'q'), std::string(98, 'q'), std::string(98, 'q'), std::string(6, 'q'), "\n"}},
        {"formatted long", [](const char* t) { xcout("%s%c", t, '\n'); },
         {std::string(98, 'q'), std::string(98, 'q'), std::string(98, 'q'), std::string(6, 'q') + "\n"}},
        {"formatted", [](const char*) { xcout("%s: %d\n", "padSize", 17); }, {"padSize: 17\n"}},
        {"null hook", [](const char* t) {
             xcout = xcoutNull;
             xcout("%s\n", t);
             xcout("ERROR %s %d %s\n", "System", 91, "vxcout");
             xcout = xcoutConsole;
         },
         {}},
    };
    for (const Case& c : cases) {
        StdoutWrites capture;
        c.print(long300.c_str());
        std::vector<std::string> writes = capture.take();
        EXPECT_EQ(writes, c.writes) << c.name;
    }
}

TEST(ExitWithCode, TracesTheCodeAndExits) {
    ChildOutput child;
    EXPECT_EXIT(
        {
            child.redirect();
            exitWithCode(7);
        },
        testing::ExitedWithCode(7), "");
    EXPECT_EQ(child.out(), "exitcode: 7\n");

    ChildOutput silent;
    EXPECT_EXIT(
        {
            silent.redirect();
            xcout = xcoutNull;
            exitWithCode(3);
        },
        testing::ExitedWithCode(3), "");
    EXPECT_EQ(silent.out(), "");
}

TEST(ExitWithCode, WritesOutBufferedOutput) {
    ChildOutput child;
    EXPECT_EXIT(
        {
            child.redirect();
            printf("still buffered ");
            exitWithCode(0);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EQ(child.out(), "still buffered exitcode: 0\n");
}

// One fatal report and what it must leave on the two streams. Without a
// terminal the box goes to standard error as "[title] text".
struct FatalCase {
    const char* name;
    int batch;
    bool silent;
    const char* message;  // null: fatalError
    std::string out;
    std::string err;
};

TEST(FatalError, ReportLinesBoxAndExitCode) {
    const char* passphraseMissing = "パスフレーズ(または鍵)が指定されませんでした。";
    const FatalCase cases[] = {
        {"generic", 0, false, nullptr, "ERROR FileStream 30 fileOpen\nexitcode: 1\n",
         "[Cipher Error] An error occurred @ FileStream 30 fileOpen\n"},
        {"message", 0, false, passphraseMissing,
         std::string("ERROR FileStream 30 fileOpen\nmessage: ") + passphraseMissing + "\nexitcode: 1\n",
         std::string("[Cipher Error] ") + passphraseMissing + "\n"},
        {"batch generic", 1, false, nullptr, "ERROR FileStream 30 fileOpen\nexitcode: 1\n", ""},
        {"batch message", 1, false, passphraseMissing,
         std::string("ERROR FileStream 30 fileOpen\nmessage: ") + passphraseMissing + "\nexitcode: 1\n", ""},
        {"silent, box still shown", 0, true, nullptr, "",
         "[Cipher Error] An error occurred @ FileStream 30 fileOpen\n"},
        {"silent batch", 1, true, passphraseMissing, "", ""},
    };
    for (const FatalCase& c : cases) {
        SCOPED_TRACE(c.name);
        ChildOutput child;
        EXPECT_EXIT(
            {
                child.redirect();
                batchMode = c.batch;
                if (c.silent) xcout = xcoutNull;
                if (c.message == nullptr) fatalError("FileStream", 30, "fileOpen");
                fatalErrorMsg("FileStream", 30, "fileOpen", c.message);
            },
            testing::ExitedWithCode(1), "");
        EXPECT_EQ(child.out(), c.out);
        EXPECT_EQ(child.err(), c.err);
    }
}

// A hook that prints its first line and raises a fatal error on the second,
// like a console write failing in the middle of a report.
int hookCalls = 0;
void failOnSecondLine(const char* format, ...) {
    if (++hookCalls == 2) fatalError("System", 114, "coutLongText");
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
}

TEST(FatalError, NestedReportEndsWithTwo) {
    ChildOutput child;
    EXPECT_EXIT(
        {
            child.redirect();
            xcout = failOnSecondLine;
            fatalErrorMsg("_Main", 84, "main", "パスフレーズ(または鍵)が指定されませんでした。");
        },
        testing::ExitedWithCode(2), "");
    EXPECT_EQ(child.out(), "ERROR _Main 84 main\n");
    EXPECT_EQ(child.err(), "");  // no box

    ChildOutput already;
    EXPECT_EXIT(
        {
            already.redirect();
            errorExiting = 1;
            fatalError("File", 48, "fileMove");
        },
        testing::ExitedWithCode(2), "");
    EXPECT_EQ(already.out(), "");
    EXPECT_EQ(already.err(), "");
}

TEST(FatalError, UnwritableStandardOutputEndsWithTwoBeforeAnyBox) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    ChildOutput child;
    EXPECT_EXIT(
        {
            child.redirect();
            int full = open("/dev/full", O_WRONLY);
            dup2(full, 1);
            close(full);
            xcout("removeRFileFlag: %d\n", 0);
        },
        testing::ExitedWithCode(2), "");
    EXPECT_EQ(child.err(), "");
}

void xcoutStderr(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
}

TEST(CoutLongText, FailedWriteIsFatal) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    // The trace goes elsewhere, so the report of the failed write is seen.
    ChildOutput child;
    EXPECT_EXIT(
        {
            child.redirect();
            int full = open("/dev/full", O_WRONLY);
            dup2(full, 1);
            close(full);
            batchMode = 1;
            xcout = xcoutStderr;
            coutLongText("x");
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EQ(child.err(), "ERROR System 114 coutLongText\nexitcode: 1\n");
}

TEST(GetArg, HandsOutArgumentsInOrderThenFails) {
    char program[] = "cipher", first[] = "/P", second[] = "pw";
    char* argv[] = {program, first, second, nullptr};
    int savedCount = argCount, savedIndex = argIndex;
    char** savedValues = argValues;
    argCount = 3;
    argValues = argv;
    setArgIndex(1);
    EXPECT_EQ(getArg(), first);  // the argument itself, not a copy
    EXPECT_EQ(argIndex, 2);
    EXPECT_EQ(getArg(), second);
    EXPECT_EQ(argIndex, 3);

    for (int batch : {0, 1}) {
        SCOPED_TRACE(batch ? "batch" : "boxes");
        ChildOutput child;
        EXPECT_EXIT(
            {
                child.redirect();
                batchMode = batch;
                getArg();
            },
            testing::ExitedWithCode(1), "");
        EXPECT_EQ(child.out(), "ERROR System 158 getArg\nexitcode: 1\n");
        EXPECT_EQ(child.err(), batch ? "" : "[Cipher Error] An error occurred @ System 158 getArg\n");
    }
    argCount = savedCount;
    argValues = savedValues;
    argIndex = savedIndex;
}

}  // namespace
