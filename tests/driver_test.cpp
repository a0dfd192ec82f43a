// End-to-end runs of the cipher binary: command-line checks and reports,
// switch rules, output names, the trace of the settings, the overwrite
// question and silent operation. The files on disk are checked after
// every run.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/run.h"

namespace {

using Args = std::vector<std::string>;
using Names = std::vector<std::string>;

const std::string kNoPassphrase = "パスフレーズ(または鍵)が指定されませんでした。";
const std::string kNoInput = "入力ファイルにアクセスできません。";
const std::string kUnknownArgument = "不明なコマンド引数が指定されました。";
const std::string kSameFile = "入力ファイルと出力ファイルが同じです。";
const std::string kQuestionBox = "[上書きの確認] 出力ファイルは既に存在します。\n上書きしますか?\n";
const std::string kCancelled = "キャンセルしました。\nexitcode: 2\n";
const std::string kOverwriting = "上書きします。\n";

// The report of a fatal error with a message, and its box on standard error
// (there is no terminal).
std::string reportOut(const std::string& place, const std::string& message) {
    return "ERROR " + place + "\nmessage: " + message + "\nexitcode: 1\n";
}
std::string reportErr(const std::string& message) { return "[Cipher Error] " + message + "\n"; }

// The four lines of the settings that every checked run prints first.
std::string settings(int removeRFileFlag, int cphrMode, const std::string& input, const std::string& output) {
    return "removeRFileFlag: " + std::to_string(removeRFileFlag) + "\ncphrMode: " + std::to_string(cphrMode) +
           "\n< " + input + "\n> " + output + "\n";
}

bool startsWith(const std::string& text, const std::string& head) { return text.compare(0, head.size(), head) == 0; }

// Each test works in a fresh directory that is the binary's current one.
class DriverTest : public testing::Test {
protected:
    DriverTest() {
        char buffer[PATH_MAX];
        home = realpath(dir.path.c_str(), buffer) != nullptr ? buffer : dir.path;
    }
    RunResult run(const Args& args) const {
        RunOptions options;
        options.cwd = home;
        return runCipher(args, options);
    }
    std::string path(const std::string& name) const { return home + "/" + name; }
    // Every file's content, to prove a run left the directory as it was.
    std::vector<std::pair<std::string, std::string>> snapshot() const {
        std::vector<std::pair<std::string, std::string>> files;
        for (const std::string& name : listDir(home)) files.emplace_back(name, readFile(path(name)));
        return files;
    }

    TempDir dir;
    std::string home;  // dir.path as the binary's getcwd sees it
};

TEST_F(DriverTest, CommandLineReports) {
    writeFile(path("a.txt"), "plain");
    ASSERT_EQ(mkdir(path("sub").c_str(), 0700), 0);
    const std::string generic158 = "ERROR System 158 getArg\nexitcode: 1\n";
    const std::string generic79 = "ERROR File 79 getFullPath\nexitcode: 1\n";
    const struct {
        Args args;
        std::string out;
        std::string err;
    } cases[] = {
        // The passphrase is checked before the input.
        {{}, reportOut("_Main 84 main", kNoPassphrase), reportErr(kNoPassphrase)},
        {{"a.txt"}, reportOut("_Main 84 main", kNoPassphrase), reportErr(kNoPassphrase)},
        {{"/P", "pw"}, reportOut("_Main 85 main", kNoInput), reportErr(kNoInput)},
        {{"/P"}, generic158, "[Cipher Error] An error occurred @ System 158 getArg\n"},
        {{"/P", "pw", "/PE", "41"}, generic158, "[Cipher Error] An error occurred @ System 158 getArg\n"},
        {{"/P", "pw", "a.txt", "b", "c"}, reportOut("_Main 81 main", kUnknownArgument), reportErr(kUnknownArgument)},
        // Three names are reported before the missing passphrase.
        {{"x", "y", "z"}, reportOut("_Main 81 main", kUnknownArgument), reportErr(kUnknownArgument)},
        // An argument that merely starts like a switch is the first file name.
        {{"/Ex", "/P", "pw"}, reportOut("_Main 81 main", kUnknownArgument), reportErr(kUnknownArgument)},
        {{"/P", "pw", "missing.txt"}, reportOut("_Main 85 main", kNoInput), reportErr(kNoInput)},
        {{"/P", "pw", "sub"}, reportOut("_Main 85 main", kNoInput), reportErr(kNoInput)},
        {{"/P", "pw", "/X"}, reportOut("_Main 85 main", kNoInput), reportErr(kNoInput)},
        {{"/P", "pw", ""}, generic79, "[Cipher Error] An error occurred @ File 79 getFullPath\n"},
        {{"/P", "pw", "a.txt", ""}, generic79, "[Cipher Error] An error occurred @ File 79 getFullPath\n"},
    };
    const auto before = snapshot();
    for (const auto& c : cases) {
        std::string shown;
        for (const std::string& a : c.args) shown += "[" + a + "] ";
        SCOPED_TRACE(shown);
        RunResult result = run(c.args);
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(snapshot(), before);
    }
}

TEST_F(DriverTest, SameFileIsRefused) {
    writeFile(path("a.txt"), "plain");
    ASSERT_EQ(mkdir(path("sub").c_str(), 0700), 0);
    ASSERT_EQ(link(path("a.txt").c_str(), path("hard.txt").c_str()), 0);
    ASSERT_EQ(symlink("a.txt", path("soft.txt").c_str()), 0);
    const struct {
        Args args;
        std::string output;
    } cases[] = {
        {{"/P", "pw", "a.txt", "a.txt"}, "a.txt"},
        {{"/P", "pw", "a.txt", "./sub/..//a.txt"}, "a.txt"},
        {{"/P", "pw", "a.txt", "hard.txt"}, "hard.txt"},
        {{"/P", "pw", "a.txt", "soft.txt"}, "soft.txt"},
        {{"/B", "/P", "pw", "soft.txt", "a.txt"}, "a.txt"},
    };
    const auto before = snapshot();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        RunResult result = run(c.args);
        EXPECT_EQ(result.exitCode, 1);
        const std::string input = c.args[c.args.size() - 2];
        EXPECT_EQ(result.out, settings(0, 1, path(input), path(c.output)) + reportOut("_Main 116 main", kSameFile));
        EXPECT_EQ(snapshot(), before);
    }
}

TEST_F(DriverTest, NamesDifferingInCaseAreDifferentFiles) {
    writeFile(path("a.txt"), "plain");
    RunResult result = run({"/P", "pw", "a.txt", "A.TXT"});
    EXPECT_EQ(result.exitCode, 0) << result.out;
    EXPECT_TRUE(startsWith(result.out, settings(0, 1, path("a.txt"), path("A.TXT")))) << result.out;
    EXPECT_EQ(listDir(home), (Names{"A.TXT", "a.txt"}));
    EXPECT_EQ(readFile(path("a.txt")), "plain");
}

TEST_F(DriverTest, SwitchRules) {
    const std::string plain = patternBytes(1000, 1);
    const struct {
        Args args;
        int removeRFileFlag;
        int cphrMode;
        std::string output;
        int exitCode;
        Names after;
    } cases[] = {
        // The last /E or /D wins; a decryption of a plain file is refused
        // and its output removed.
        {{"/E", "/D", "/P", "pw", "a.txt"}, 0, 2, "a", 3, {"a.txt"}},
        {{"/D", "/E", "/P", "pw", "a.txt"}, 0, 1, "a.txt.cphr", 0, {"a.txt", "a.txt.cphr"}},
        // Switches are matched without regard to case.
        {{"/d", "/P", "pw", "a.txt"}, 0, 2, "a", 3, {"a.txt"}},
        {{"/p", "pw", "/b", "/r", "a.txt"}, 1, 1, "a.txt.cphr", 0, {"a.txt.cphr"}},
        {{"/P", "pw", "/R", "/R", "/E", "a.txt", "out.bin"}, 1, 1, "out.bin", 0, {"out.bin"}},
        // A passphrase may be empty, or look like a switch.
        {{"/P", "", "a.txt"}, 0, 1, "a.txt.cphr", 0, {"a.txt", "a.txt.cphr"}},
        {{"/P", "/E", "a.txt"}, 0, 1, "a.txt.cphr", 0, {"a.txt", "a.txt.cphr"}},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const std::string& a : c.args) shown += "[" + a + "] ";
        SCOPED_TRACE(shown);
        for (const std::string& name : listDir(home)) unlink(path(name).c_str());
        writeFile(path("a.txt"), plain);
        RunResult result = run(c.args);
        EXPECT_EQ(result.exitCode, c.exitCode);
        EXPECT_TRUE(startsWith(result.out, settings(c.removeRFileFlag, c.cphrMode, path("a.txt"), path(c.output))))
            << result.out;
        EXPECT_EQ(listDir(home), c.after);
        if (pathExists(path("a.txt"))) {
            EXPECT_TRUE(readFile(path("a.txt")) == plain);
        }
    }
}

TEST_F(DriverTest, LastPassphraseWins) {
    const std::string plain = patternBytes(300, 2);
    writeFile(path("a.txt"), plain);
    ASSERT_EQ(run({"/P", "first", "/P", "second", "a.txt"}).exitCode, 0);
    unlink(path("a.txt").c_str());
    RunResult refused = run({"/P", "first", "a.txt.cphr"});
    EXPECT_EQ(refused.exitCode, 3);
    EXPECT_EQ(listDir(home), Names{"a.txt.cphr"});
    RunResult accepted = run({"/P", "second", "/P", "x", "/P", "second", "a.txt.cphr"});
    EXPECT_EQ(accepted.exitCode, 0);
    EXPECT_TRUE(readFile(path("a.txt")) == plain);
}

TEST_F(DriverTest, OutputNames) {
    const std::string plain = patternBytes(500, 3);
    ASSERT_EQ(mkdir(path("dir.d").c_str(), 0700), 0);
    // Plain files as the names need them; a container under "x.cphr".
    writeFile(path("x"), plain);
    ASSERT_EQ(run({"/P", "pw", "x", "x.cphr"}).exitCode, 0);
    unlink(path("x").c_str());
    const std::string container = readFile(path("x.cphr"));

    enum Content { PLAIN, CONTAINER };
    const struct {
        std::string input;
        Content content;
        Args switches;
        int cphrMode;
        std::string output;
        int exitCode;  // 3: a plain file refused as a container
    } cases[] = {
        {"a.txt", PLAIN, {}, 1, "a.txt.cphr", 0},
        {"a.txt.cphr", CONTAINER, {}, 2, "a.txt", 0},
        {"a.CPHR", CONTAINER, {}, 2, "a", 0},
        {"a.cphr", CONTAINER, {"/E"}, 1, "a.cphr.cphr", 0},
        {"a.txt", PLAIN, {"/D"}, 2, "a", 3},
        {"a", PLAIN, {"/D"}, 2, "a.dec", 3},
        {"a.", PLAIN, {"/D"}, 2, "a", 3},
        {"dir.d/a", PLAIN, {"/D"}, 2, "dir.d/a.dec", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        const std::string& content = c.content == PLAIN ? plain : container;
        writeFile(path(c.input), content);
        Args args = c.switches;
        args.insert(args.end(), {"/P", "pw", c.input});
        RunResult result = run(args);
        EXPECT_EQ(result.exitCode, c.exitCode);
        EXPECT_TRUE(startsWith(result.out, settings(0, c.cphrMode, path(c.input), path(c.output)))) << result.out;
        EXPECT_EQ(pathExists(path(c.output)), c.exitCode == 0);  // a refused output is removed
        if (c.cphrMode == 2 && c.exitCode == 0) {
            EXPECT_TRUE(readFile(path(c.output)) == plain);
        }
        EXPECT_TRUE(readFile(path(c.input)) == content);
        unlink(path(c.input).c_str());
        unlink(path(c.output).c_str());
    }
    EXPECT_EQ(listDir(home), (Names{"dir.d", "x.cphr"}));
}

TEST_F(DriverTest, NameAfterTheInputIsTheOutputEvenWhenItLooksLikeASwitch) {
    if (pathExists("/E")) GTEST_SKIP() << "/E exists on this machine";
    writeFile(path("a.txt"), "plain");
    // The run stops in key derivation (X-EXT 5 is refused), after the
    // settings and before anything is written.
    RunResult result = run({"/PE", "41", "5", "/P", "pw", "a.txt", "/E"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(startsWith(result.out, settings(0, 1, path("a.txt"), "/E"))) << result.out;
    EXPECT_FALSE(pathExists("/E"));
    EXPECT_EQ(listDir(home), Names{"a.txt"});
}

TEST_F(DriverTest, DirectoryAsOutputIsNotAskedAboutAndFailsLater) {
    writeFile(path("a.txt"), "plain");
    ASSERT_EQ(mkdir(path("sub").c_str(), 0700), 0);
    const std::string head = settings(1, 1, path("a.txt"), path("sub"));
    RunResult moved = run({"/R", "/P", "pw", "a.txt", "sub"});
    EXPECT_EQ(moved.exitCode, 1);
    EXPECT_TRUE(startsWith(moved.out, head)) << moved.out;
    EXPECT_EQ(moved.out.find("上書き"), std::string::npos);
    EXPECT_NE(moved.out.find("ERROR File 48 fileMove\n"), std::string::npos) << moved.out;
    EXPECT_EQ(moved.err, "[Cipher Error] An error occurred @ File 48 fileMove\n");
    EXPECT_EQ(readFile(path("a.txt")), "plain");
    EXPECT_EQ(listDir(path("sub")), Names{});
}

TEST_F(DriverTest, OverwriteQuestionWithoutTerminalCancels) {
    writeFile(path("a.txt"), "plain");
    writeFile(path("a.txt.cphr"), "old");
    const auto before = snapshot();
    const std::string head = settings(0, 1, path("a.txt"), path("a.txt.cphr"));
    RunResult asked = run({"/P", "pw", "a.txt"});
    EXPECT_EQ(asked.exitCode, 2);
    EXPECT_EQ(asked.out, head + kCancelled);
    EXPECT_EQ(asked.err, kQuestionBox);
    EXPECT_EQ(snapshot(), before);

    // Silent: the question is still shown, nothing is traced.
    RunResult silent = run({"/S", "/P", "pw", "a.txt"});
    EXPECT_EQ(silent.exitCode, 2);
    EXPECT_EQ(silent.out, "");
    EXPECT_EQ(silent.err, kQuestionBox);
    EXPECT_EQ(snapshot(), before);
}

TEST_F(DriverTest, BatchOverwritesWithoutAsking) {
    writeFile(path("a.txt"), "plain");
    writeFile(path("a.txt.cphr"), "old");
    RunResult result = run({"/B", "/P", "pw", "a.txt"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_TRUE(startsWith(result.out, settings(0, 1, path("a.txt"), path("a.txt.cphr")) + kOverwriting))
        << result.out;
    EXPECT_EQ(result.err, "");
    EXPECT_NE(readFile(path("a.txt.cphr")), "old");
    EXPECT_EQ(readFile(path("a.txt")), "plain");
}

TEST_F(DriverTest, OverwriteQuestionOnTerminal) {
    const std::string head = settings(0, 1, path("a.txt"), path("a.txt.cphr"));
    for (const std::string answer : {"yes", "Y", "ok"}) {
        SCOPED_TRACE(answer);
        writeFile(path("a.txt"), "plain");
        writeFile(path("a.txt.cphr"), "old");
        RunResult result = runCipherOnTerminal({"/P", "pw", "a.txt"}, answer, home);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_TRUE(startsWith(result.out, head + kOverwriting)) << result.out;
        EXPECT_NE(result.err.find("上書きの確認"), std::string::npos) << result.err;
        EXPECT_NE(result.err.find("出力ファイルは既に存在します。"), std::string::npos) << result.err;
        EXPECT_NE(readFile(path("a.txt.cphr")), "old");
    }
    // "\x03" is Ctrl-C typed at the question: an interrupt cancels too.
    for (const std::string answer : {"no", "", "yess", "\x03"}) {
        SCOPED_TRACE("[" + answer + "]");
        writeFile(path("a.txt"), "plain");
        writeFile(path("a.txt.cphr"), "old");
        const auto before = snapshot();
        RunResult result = runCipherOnTerminal({"/P", "pw", "a.txt"}, answer, home);
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_EQ(result.out, head + kCancelled);
        EXPECT_NE(result.err.find("上書きの確認"), std::string::npos) << result.err;
        EXPECT_EQ(snapshot(), before);
    }
}

TEST_F(DriverTest, SilentRunsKeepTheirExitCodes) {
    writeFile(path("a.txt"), "plain");
    const struct {
        Args args;
        int exitCode;
        std::string err;
        Names after;
    } cases[] = {
        {{"/S"}, 1, reportErr(kNoPassphrase), {"a.txt"}},
        {{"/S", "/B"}, 1, "", {"a.txt"}},
        {{"/B", "/S", "/P", "pw", "missing"}, 1, "", {"a.txt"}},
        {{"/S", "/P", "pw", "a.txt"}, 0, "", {"a.txt", "a.txt.cphr"}},
        {{"/S", "/B", "/D", "/P", "pw", "a.txt"}, 3, "", {"a.txt", "a.txt.cphr"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.size());
        RunResult result = run(c.args);
        EXPECT_EQ(result.exitCode, c.exitCode);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(listDir(home), c.after);
    }
}

TEST_F(DriverTest, StretchingArgumentsAsTheDriverReadsThem) {
    writeFile(path("a.txt"), "plain");
    const struct {
        std::string chr;
        std::string ext;
        std::string traced;  // the values key derivation reports
    } accepted[] = {
        {"41", "10", "XChr: 0x41\nXExp: 10\n"},
        {"A", "10", "XChr: 0x41\nXExp: 10\n"},     // one character: its code
        {"0x41", "10", "XChr: 0x30\nXExp: 10\n"},  // not two digits: the code of '0'
        {"fF", " +11x", "XChr: 0xff\nXExp: 11\n"},
        {"", "010", "XChr: 0x00\nXExp: 10\n"},
    };
    for (const auto& c : accepted) {
        SCOPED_TRACE(c.chr + " " + c.ext);
        RunResult result = run({"/B", "/pe", "99", "99", "/PE", c.chr, c.ext, "/P", "pw", "a.txt"});
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_NE(result.out.find(c.traced), std::string::npos) << result.out;
    }
    // 2^32 + 10 is clamped, not wrapped to an accepted 10.
    RunResult clamped = run({"/B", "/PE", "41", "4294967306", "/P", "pw", "a.txt"});
    EXPECT_EQ(clamped.exitCode, 1);
    EXPECT_NE(clamped.out.find("ERROR _Tools 123 GetRawKey\n"), std::string::npos) << clamped.out;
    RunResult lengthClamped = run({"/MP", "4294967304"});  // 2^32 + 8
    EXPECT_EQ(lengthClamped.exitCode, 1);
    EXPECT_TRUE(startsWith(lengthClamped.out, "ERROR Tools 5 MkPassword\n")) << lengthClamped.out;
    RunResult noDigits = run({"/MP", "abc"});  // length 0
    EXPECT_EQ(noDigits.exitCode, 1);
    EXPECT_TRUE(startsWith(noDigits.out, "ERROR Tools 5 MkPassword\n")) << noDigits.out;
}

TEST_F(DriverTest, UnwritableTraceEndsWithTwoBeforeAnything) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    writeFile(path("a.txt"), "plain");
    // The first trace line fails, and so does the report of that failure:
    // exit code 2, no box, nothing written.
    RunOptions options;
    options.cwd = home;
    RunResult result = runProgram("/bin/sh", {"-c", "exec \"$0\" /P pw a.txt >/dev/full", CIPHER_BIN}, options);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(listDir(home), Names{"a.txt"});
}

TEST_F(DriverTest, MakePasswordAndKeyEndTheRun) {
    writeFile(path("a.txt"), "plain");
    const struct {
        Args args;
        size_t length;  // of the printed line, 0 for no output at all
    } cases[] = {
        {{"/MP"}, 22},
        {{"/mp", "8", "x", "y"}, 8},
        {{"/B", "/MP", "30"}, 30},
        {{"/MK"}, 128},
        {{"/MK", "/S"}, 128},
        {{"/S", "/MK"}, 0},
        {{"/P", "pw", "/mk", "a.txt"}, 128},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + std::to_string(c.length));
        RunResult result = run(c.args);
        EXPECT_EQ(result.exitCode, 0);
        if (c.length == 0) {
            EXPECT_EQ(result.out, "");
        } else {
            ASSERT_EQ(result.out.size(), c.length + 1) << result.out;
            EXPECT_EQ(result.out.find('\n'), c.length);
        }
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(listDir(home), Names{"a.txt"});
    }
}

}  // namespace
