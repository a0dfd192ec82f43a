// Buffered file streams: opening with retries, sizes beyond 4 GiB, single
// bytes, exact runs, and the report of every failure that can be provoked.
#include "system/FileStream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "support/child.h"
#include "support/run.h"
#include "system/System.h"

namespace {

// Standard output of the test process goes to a file while it lives. No
// assertion may run while it captures.
class CapturedStdout {
public:
    CapturedStdout() {
        fflush(stdout);
        saved_ = dup(1);
        int file = open(dir_.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(file, 1);
        close(file);
    }
    ~CapturedStdout() { restore(); }
    std::string take() {
        restore();
        return readFile(dir_.file("out"));
    }

private:
    void restore() {
        if (saved_ < 0) return;
        fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
        saved_ = -1;
    }
    TempDir dir_;
    int saved_ = -1;
};

std::string report(int line, const char* operation) {
    return "ERROR FileStream " + std::to_string(line) + " " + operation + "\nexitcode: 1\n";
}

// Runs the statement in a child that must end with the FileStream report of
// that line and operation, and nothing else on standard output.
#define EXPECT_REPORT(statement, line, operation) EXPECT_FATAL_OUTPUT(statement, report(line, operation))

class FileStreamTest : public testing::Test {
protected:
    TempDir dir;
    std::string path(const char* name) const { return dir.file(name); }
};

TEST_F(FileStreamTest, MissingFileFailsAfterTheRetries) {
    const std::string missing = path("missing");
    ChildOutput child;
    EXPECT_EXIT(
        {
            child.redirectBatch();
            fileOpen(missing.c_str(), "rb");
        },
        testing::ExitedWithCode(1), "");
    EXPECT_EQ(child.out(), "Can not open file \"" + missing + "\" as \"rb\" mode.\n" + report(30, "fileOpen"));
    EXPECT_FALSE(pathExists(missing));
}

TEST_F(FileStreamTest, FirstTryPrintsNothing) {
    writeFile(path("f"), "abc");
    CapturedStdout capture;
    FILE* stream = fileOpen(path("f").c_str(), "rb");
    std::string out = capture.take();
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(out, "");
    fileClose(stream);
}

TEST_F(FileStreamTest, OpensAtARetryWhenTheFileAppears) {
    const std::string name = path("late");
    const std::string staged = path("staged");
    // The file appears (whole, by a rename) a while after the first try.
    std::thread creator([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        writeFile(staged, "late content");
        if (rename(staged.c_str(), name.c_str()) != 0) abort();
    });
    CapturedStdout capture;
    FILE* stream = openRetry(name.c_str(), "rb");
    std::string out = capture.take();
    creator.join();
    ASSERT_NE(stream, nullptr);
    unsigned retry = 0;
    char tail = 0;
    ASSERT_EQ(sscanf(out.c_str(), "File opened at %u-th retrial.%c", &retry, &tail), 2) << out;
    EXPECT_EQ(out, "File opened at " + std::to_string(retry) + "-th retrial.\n");
    EXPECT_GE(retry, 1u);
    EXPECT_LE(retry, 20u);
    char content[12];
    fileRead(stream, content, 12);
    EXPECT_EQ(std::string(content, 12), "late content");
    EXPECT_EQ(readChar(stream), -1);
    fileClose(stream);
}

TEST_F(FileStreamTest, SetFileSizeCutsExtendsAndCreates) {
    const std::string name = path("f");
    writeFile(name, "abcdef");
    setFileSize(name.c_str(), 3);
    EXPECT_EQ(readFile(name), "abc");
    setFileSize(name.c_str(), 6);
    EXPECT_EQ(readFile(name), std::string("abc\0\0\0", 6));
    setFileSize(name.c_str(), 6);
    EXPECT_EQ(readFile(name), std::string("abc\0\0\0", 6));
    setFileSize(name.c_str(), 0);
    EXPECT_EQ(readFile(name), "");
    EXPECT_EQ(getFileSizeByName(name.c_str()), 0);

    const std::string fresh = path("fresh");
    setFileSize(fresh.c_str(), 5);
    EXPECT_EQ(readFile(fresh), std::string(5, '\0'));
}

TEST_F(FileStreamTest, SizesAndPositionsBeyondFourGiB) {
    const std::string name = path("sparse");
    const int64_t size = (int64_t{5} << 30) + 3;  // sparse: takes no disk space
    setFileSize(name.c_str(), size);
    EXPECT_EQ(getFileSizeByName(name.c_str()), size);

    // A byte written just past 4 GiB must not land at offset 1.
    FILE* writer = fileOpen(name.c_str(), "r+b");
    fileSeek(writer, (int64_t{1} << 32) + 1);
    writeChar(writer, 'Z');
    fileClose(writer);

    FILE* reader = fileOpen(name.c_str(), "rb");
    EXPECT_EQ(getFileSize(reader), size);
    EXPECT_EQ(readChar(reader), -1);  // getFileSize leaves the stream at the end
    fileSeek(reader, 1);
    EXPECT_EQ(readChar(reader), 0);
    fileSeek(reader, (int64_t{1} << 32) + 1);
    EXPECT_EQ(readChar(reader), 'Z');
    fileSeek(reader, size - 1);
    EXPECT_EQ(readChar(reader), 0);
    EXPECT_EQ(readChar(reader), -1);
    fileClose(reader);
}

TEST_F(FileStreamTest, ReadCharGivesEveryByteThenMinusOneForever) {
    const std::string name = path("f");
    writeFile(name, std::string("\x00\xff\x7f", 3));
    FILE* stream = fileOpen(name.c_str(), "rb");
    EXPECT_EQ(readChar(stream), 0);
    EXPECT_EQ(readChar(stream), 255);  // not the end-of-file value
    EXPECT_EQ(readChar(stream), 127);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(readChar(stream), -1);
    fileSeek(stream, 3);  // the size: accepted, and still the end
    EXPECT_EQ(readChar(stream), -1);
    fileSeek(stream, 1000);  // beyond the end: accepted as well
    EXPECT_EQ(readChar(stream), -1);
    fileSeek(stream, 1);
    EXPECT_EQ(readChar(stream), 255);
    fileClose(stream);
}

TEST_F(FileStreamTest, WriteCharWritesTheLowEightBits) {
    const std::string name = path("f");
    FILE* stream = fileOpen(name.c_str(), "wb");
    for (int byte : {0, 255, 0x141, -1, 0x1ff}) writeChar(stream, byte);
    fileClose(stream);
    EXPECT_EQ(readFile(name), std::string("\x00\xff\x41\xff\xff", 5));
}

TEST_F(FileStreamTest, AppendModeWritesAtTheEnd) {
    const std::string name = path("f");
    writeFile(name, "head");
    FILE* stream = fileOpen(name.c_str(), "ab");
    fileWrite(stream, "tail", 4);
    fileClose(stream);
    EXPECT_EQ(readFile(name), "headtail");
}

TEST_F(FileStreamTest, ReaderAndInPlaceWriterOnOneFile) {
    const std::string name = path("f");
    const std::string original = patternBytes(3000000, 11);
    writeFile(name, original);
    FILE* reader = fileOpen(name.c_str(), "rb");
    FILE* writer = fileOpen(name.c_str(), "r+b");
    // Rewrite the file block by block in place, reading each block before
    // its new contents go out, as the reverse-CBC layer does.
    const int32_t block = 1000000;
    std::string buffer(block, '\0');
    for (int64_t offset = 0; offset < 3000000; offset += block) {
        fileSeek(reader, offset);
        fileRead(reader, &buffer[0], block);
        for (char& c : buffer) c = static_cast<char>(c ^ 0x5a);
        fileSeek(writer, offset);
        fileWrite(writer, buffer.data(), block);
    }
    fileClose(writer);
    fileSeek(reader, 0);  // drops what the reader had buffered
    std::string back(3000000, '\0');
    fileRead(reader, &back[0], 3000000);
    EXPECT_EQ(readChar(reader), -1);
    fileClose(reader);
    std::string expected = original;
    for (char& c : expected) c = static_cast<char>(c ^ 0x5a);
    EXPECT_TRUE(back == expected);
    EXPECT_TRUE(readFile(name) == expected);
}

TEST_F(FileStreamTest, CountZero) {
    const std::string name = path("f");
    writeFile(name, "abc");
    // A write-only stream that has failed a read: its error indicator is set.
    FILE* stream = fileOpen(name.c_str(), "ab");
    ASSERT_EQ(getc(stream), EOF);
    ASSERT_TRUE(ferror(stream));
    fileWrite(stream, "xyz", 0);  // no effect at all, the indicator ignored
    EXPECT_REPORT(fileRead(stream, nullptr, 0), 85, "fileRead");
    clearerr(stream);
    fileClose(stream);
    EXPECT_EQ(readFile(name), "abc");
}

TEST_F(FileStreamTest, SizeAndSeekFailures) {
    const std::string name = path("f");
    writeFile(name, "abc");
    EXPECT_REPORT(setFileSize(name.c_str(), -1), 54, "setFileSize");
    EXPECT_REPORT(setFileSize(path("new").c_str(), -1), 54, "setFileSize");
    EXPECT_FALSE(pathExists(path("new")));  // nothing was opened
    // A length no file system accepts.
    EXPECT_REPORT(setFileSize(name.c_str(), INT64_MAX), 59, "setFileSize");
    EXPECT_EQ(readFile(name), "abc");

    FILE* stream = fileOpen(name.c_str(), "rb");
    EXPECT_REPORT(fileSeek(stream, -1), 78, "fileSeek");
    fileClose(stream);

    // A pipe has no positions at all.
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    FILE* piped = fdopen(pipeEnds[0], "rb");
    ASSERT_NE(piped, nullptr);
    EXPECT_REPORT(getFileSize(piped), 40, "getFileSize");
    EXPECT_REPORT(fileSeek(piped, 0), 78, "fileSeek");
    fclose(piped);
    close(pipeEnds[1]);
}

TEST_F(FileStreamTest, ReadFailures) {
    const std::string name = path("f");
    writeFile(name, "abc");
    FILE* stream = fileOpen(name.c_str(), "rb");
    char buffer[8];
    EXPECT_REPORT(fileRead(stream, buffer, 4), 84, "fileRead");
    fileSeek(stream, 10);  // beyond the end
    EXPECT_REPORT(fileRead(stream, buffer, 1), 84, "fileRead");
    fileSeek(stream, 0);
    // A failed write sets the error indicator; a later full read still fails.
    ASSERT_EQ(fputc('x', stream), EOF);
    EXPECT_REPORT(fileRead(stream, buffer, 3), 85, "fileRead");
    fileClose(stream);

    // A directory opens for reading, but every read fails.
    FILE* directory = fileOpen(dir.path.c_str(), "rb");
    EXPECT_REPORT(readChar(directory), 68, "readChar");
    EXPECT_REPORT(fileRead(directory, buffer, 1), 84, "fileRead");
    fileClose(directory);
}

TEST_F(FileStreamTest, WriteFailures) {
    const std::string name = path("f");
    writeFile(name, "abc");
    FILE* readOnly = fileOpen(name.c_str(), "rb");
    EXPECT_REPORT(fileWrite(readOnly, "x", 1), 92, "fileWrite");
    EXPECT_REPORT(writeChar(readOnly, 'x'), 73, "writeChar");
    fileClose(readOnly);

    // All bytes taken into the buffer, but the stream failed before.
    FILE* stream = fileOpen(name.c_str(), "ab");
    ASSERT_EQ(getc(stream), EOF);
    ASSERT_TRUE(ferror(stream));
    EXPECT_REPORT(fileWrite(stream, "xyz", 3), 93, "fileWrite");
    clearerr(stream);
    fileClose(stream);

    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    // A full disk: the bulk write, the byte that fills the buffer, and the
    // close that writes out the rest.
    std::string block(1000000, 'x');
    FILE* full = fileOpen("/dev/full", "wb");
    EXPECT_REPORT(fileWrite(full, block.data(), 1000000), 92, "fileWrite");
    EXPECT_REPORT(for (int i = 0; i < 1000000; ++i) writeChar(full, 'x'), 73, "writeChar");
    EXPECT_REPORT(
        {
            writeChar(full, 'x');
            fileClose(full);
        },
        35, "fileClose");
    fclose(full);
}

}  // namespace
