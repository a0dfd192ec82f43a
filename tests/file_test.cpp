// Whole files and path names: existence, the current-directory slot,
// moving and copying, absolute paths and extensions.
#include "system/File.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "support/child.h"
#include "support/run.h"
#include "system/System.h"

namespace {

// Runs the statement in a child that must end with exactly this report.
#define EXPECT_REPORT(statement, expectedLine) \
    EXPECT_FATAL_OUTPUT(statement, std::string(expectedLine) + "\nexitcode: 1\n")

std::string currentDirectory() {
    char buffer[PATH_MAX];
    return getcwd(buffer, sizeof buffer) != nullptr ? buffer : "";
}

std::string physical(const std::string& path) {
    char buffer[PATH_MAX];
    return realpath(path.c_str(), buffer) != nullptr ? buffer : "";
}

unsigned modeOf(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : ~0u;
}

std::string taken(char* text) {
    std::string copy = text;
    free(text);
    return copy;
}

// Works inside a fresh directory that is the current one during the test.
class FileTest : public testing::Test {
protected:
    void SetUp() override {
        before = currentDirectory();
        home = physical(dir.path);
        ASSERT_EQ(chdir(home.c_str()), 0);
    }
    void TearDown() override { EXPECT_EQ(chdir(before.c_str()), 0); }
    std::string path(const std::string& name) const { return home + "/" + name; }

    TempDir dir;
    std::string home;  // dir.path without symbolic links, as getcwd gives it
    std::string before;
};

TEST_F(FileTest, FileExists) {
    writeFile(path("empty"), "");
    writeFile(path("full"), "x");
    ASSERT_EQ(mkdir(path("sub").c_str(), 0700), 0);
    ASSERT_EQ(symlink("full", path("link").c_str()), 0);
    ASSERT_EQ(symlink("sub", path("dirlink").c_str()), 0);
    ASSERT_EQ(symlink("gone", path("dangling").c_str()), 0);
    static const struct {
        const char* name;
        int exists;
    } cases[] = {
        {"empty", 1},   {"full", 1},     {"link", 1},     {"sub", 0},  {"sub/", 0},
        {"dirlink", 0}, {"dangling", 0}, {"missing", 0},  {".", 0},    {"full/x", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fileExists(c.name), c.exists) << c.name;
        EXPECT_EQ(fileExists(path(c.name).c_str()), c.exists) << c.name;
    }
    EXPECT_EQ(fileExists(""), 0);
    EXPECT_EQ(fileExists(nullptr), 0);
}

TEST_F(FileTest, CurrentDirectory) {
    ASSERT_EQ(mkdir(path("sub").c_str(), 0700), 0);
    EXPECT_EQ(taken(getCwd()), home);
    setCwd("sub");
    EXPECT_EQ(taken(getCwd()), path("sub"));
    addCwd(home.c_str());
    EXPECT_EQ(currentDirectory(), home);
    unaddCwd();
    EXPECT_EQ(currentDirectory(), path("sub"));
    // The slot is empty again: another pair works.
    addCwd("..");
    EXPECT_EQ(currentDirectory(), home);
    unaddCwd();
    EXPECT_EQ(currentDirectory(), path("sub"));
}

TEST_F(FileTest, CurrentDirectoryReports) {
    writeFile(path("file"), "x");
    EXPECT_REPORT(setCwd(nullptr), "ERROR File 14 setCwd");
    EXPECT_REPORT(setCwd(""), "ERROR File 14 setCwd");
    EXPECT_REPORT(setCwd("missing"), "ERROR File 15 setCwd");
    EXPECT_REPORT(setCwd("file"), "ERROR File 15 setCwd");
    EXPECT_REPORT(addCwd("missing"), "ERROR File 15 setCwd");
    EXPECT_REPORT(
        {
            addCwd(".");
            addCwd(".");
        },
        "ERROR File 35 addCwd");
    EXPECT_REPORT(unaddCwd(), "ERROR File 41 unaddCwd");
    EXPECT_REPORT(
        {
            addCwd(".");
            unaddCwd();
            unaddCwd();
        },
        "ERROR File 41 unaddCwd");
    // A current directory that has been removed has no name any more.
    EXPECT_REPORT(
        {
            if (mkdir("doomed", 0700) != 0 || chdir("doomed") != 0 || rmdir(path("doomed").c_str()) != 0) {
                _exit(99);
            }
            getCwd();
        },
        "ERROR File 25 getCwd");
}

TEST_F(FileTest, GetFullPath) {
    const std::string parent = home.substr(0, home.rfind('/'));
    const struct {
        const char* path;
        std::string full;
    } cases[] = {
        {"a.txt", home + "/a.txt"},
        {"./a.txt", home + "/a.txt"},
        {"sub/../a.txt", home + "/a.txt"},
        {"sub//./b", home + "/sub/b"},
        {".", home},
        {"..", parent},
        {"../x", parent + "/x"},
        {"/w.d/./a", "/w.d/a"},
        {"/a//b///c", "/a/b/c"},
        {"//a", "/a"},
        {"/a/b/..", "/a"},
        {"/a/../../..", "/"},
        {"/../../a", "/a"},
        {"/", "/"},
        {"/E", "/E"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(taken(getFullPath(c.path, ".")), c.full) << c.path;
        EXPECT_EQ(currentDirectory(), home) << c.path;
    }
    ASSERT_EQ(mkdir(path("base").c_str(), 0700), 0);
    EXPECT_EQ(taken(getFullPath("x", "base")), path("base/x"));
    EXPECT_EQ(taken(getFullPath("../y", home.c_str())), parent + "/y");
    EXPECT_EQ(taken(getFullPath("/abs", "base")), "/abs");
    EXPECT_EQ(currentDirectory(), home);
}

TEST_F(FileTest, GetFullPathReports) {
    EXPECT_REPORT(getFullPath("", "."), "ERROR File 79 getFullPath");
    EXPECT_REPORT(getFullPath(nullptr, "."), "ERROR File 79 getFullPath");
    EXPECT_REPORT(getFullPath("a", ""), "ERROR File 80 getFullPath");
    EXPECT_REPORT(getFullPath("a", nullptr), "ERROR File 80 getFullPath");
    EXPECT_REPORT(getFullPath("a", "missing"), "ERROR File 15 setCwd");
}

TEST_F(FileTest, MoveRenames) {
    ASSERT_EQ(mkdir(path("sub").c_str(), 0700), 0);
    writeFile(path("a"), "alpha");
    fileMove(path("a").c_str(), path("b").c_str());
    EXPECT_FALSE(pathExists(path("a")));
    EXPECT_EQ(readFile(path("b")), "alpha");
    fileMove("b", "sub/c");
    EXPECT_EQ(listDir(home), std::vector<std::string>{"sub"});
    EXPECT_EQ(readFile(path("sub/c")), "alpha");
}

TEST_F(FileTest, MoveNeverReplaces) {
    writeFile(path("a"), "alpha");
    writeFile(path("b"), "beta");
    EXPECT_REPORT(fileMove(path("a").c_str(), path("b").c_str()), "ERROR File 48 fileMove");
    EXPECT_EQ(readFile(path("a")), "alpha");
    EXPECT_EQ(readFile(path("b")), "beta");
    EXPECT_REPORT(fileMove(path("missing").c_str(), path("c").c_str()), "ERROR File 48 fileMove");
    EXPECT_FALSE(pathExists(path("c")));
}

TEST_F(FileTest, MoveAcrossFileSystems) {
    struct stat here, there;
    if (stat("/dev/shm", &there) != 0 || stat(home.c_str(), &here) != 0 || here.st_dev == there.st_dev) {
        GTEST_SKIP() << "/dev/shm is not another file system here";
    }
    char pattern[] = "/dev/shm/cipher-file-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string other = pattern;
    const std::string content = patternBytes(2500000, 3);
    writeFile(path("a"), content);
    ASSERT_EQ(chmod(path("a").c_str(), 0666), 0);
    mode_t savedMask = umask(022);
    fileMove(path("a").c_str(), (other + "/a").c_str());
    writeFile(other + "/taken", "t");
    fileMove((other + "/taken").c_str(), path("taken").c_str());
    umask(savedMask);
    EXPECT_FALSE(pathExists(path("a")));
    EXPECT_TRUE(readFile(other + "/a") == content);
    EXPECT_EQ(modeOf(other + "/a"), 0666u);  // a move keeps the mode, whatever the umask
    EXPECT_EQ(readFile(path("taken")), "t");
    EXPECT_FALSE(pathExists(other + "/taken"));

    // Still no replacing across file systems.
    writeFile(other + "/b", "beta");
    writeFile(path("b"), "home");
    EXPECT_REPORT(fileMove((other + "/b").c_str(), path("b").c_str()), "ERROR File 48 fileMove");
    EXPECT_EQ(readFile(other + "/b"), "beta");
    EXPECT_EQ(readFile(path("b")), "home");
    unlink((other + "/a").c_str());
    unlink((other + "/b").c_str());
    rmdir(other.c_str());
}

TEST_F(FileTest, CopySizes) {
    for (size_t size : {size_t{0}, size_t{1}, size_t{999999}, size_t{1000000}, size_t{1000001},
                        size_t{2000001}}) {
        SCOPED_TRACE(size);
        const std::string content = patternBytes(size, static_cast<uint32_t>(size));
        writeFile(path("src"), content);
        fileCopy(path("src").c_str(), path("dst").c_str());
        EXPECT_TRUE(readFile(path("dst")) == content);
        EXPECT_TRUE(readFile(path("src")) == content);
    }
}

TEST_F(FileTest, CopyReplacesAnExistingDestination) {
    writeFile(path("src"), "short");
    writeFile(path("dst"), std::string(5000, 'o'));
    ASSERT_EQ(chmod(path("dst").c_str(), 0400), 0);
    fileCopy("src", "dst");
    EXPECT_EQ(readFile(path("dst")), "short");
}

TEST_F(FileTest, CopyKeepsThePermissionBits) {
    mode_t savedMask = umask(022);
    for (unsigned mode : {0600u, 0640u, 0666u, 0751u, 0400u}) {
        SCOPED_TRACE(mode);
        writeFile(path("src"), "data");
        ASSERT_EQ(chmod(path("src").c_str(), mode), 0);
        fileCopy("src", "dst");
        EXPECT_EQ(modeOf(path("dst")), mode);
        EXPECT_EQ(readFile(path("dst")), "data");
        unlink(path("src").c_str());
    }
    umask(savedMask);
}

TEST(GetExtension, TextAfterTheLastDot) {
    static const struct {
        const char* path;
        const char* extension;
    } cases[] = {
        {"a.cphr", "cphr"},       {"a.CPHR", "CPHR"},     {"/w/a.txt.cphr", "cphr"},
        {"a.b.c", "c"},           {"abc", ""},            {"/w.d/a", ""},
        {"abc.", ""},             {".hidden", "hidden"},  {"", ""},
        {"/w/a.tar.gz", "gz"},    {"d.x/", ""},
    };
    for (const auto& c : cases) {
        const char* extension = getExtension(c.path);
        EXPECT_STREQ(extension, c.extension) << c.path;
        // A position inside the path, not a copy.
        EXPECT_EQ(extension, c.path + strlen(c.path) - strlen(c.extension)) << c.path;
    }
}

}  // namespace
