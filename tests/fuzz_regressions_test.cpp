// Faults that the libFuzzer targets of fuzz/ found, each kept as an
// end-to-end case of the real binary.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/child.h"
#include "support/run.h"

namespace {

using Names = std::vector<std::string>;

// Found by driver_fuzz ("the output is not next to the input"). Decrypting a
// name without an extension whose directory has a dot gives the output
// <input>.dec beside the input. When the directory name ended in a byte
// that Shift-JIS reads as a lead byte (the last byte of a UTF-8 character,
// or a lone lead byte), the '/' after it was taken as that character's
// second byte: the dot seemed to belong to the file name, and the output
// went to the parent directory under the directory's cut name.
TEST(FuzzRegressions, DecryptedOutputStaysInADirectoryWhoseNameEndsInALeadByte) {
    TempDir dir;
    char buffer[PATH_MAX];
    const std::string home = realpath(dir.path.c_str(), buffer) != nullptr ? buffer : dir.path;
    const std::string plain = patternBytes(300, 11);
    writeFile(home + "/p", plain);
    RunOptions options;
    options.cwd = home;
    ASSERT_EQ(runCipher({"/B", "/P", "pw", "p"}, options).exitCode, 0);
    const std::string container = readFile(home + "/p.cphr");

    static const struct {
        const char* directory;
        const char* what;
    } cases[] = {
        {"j.\xE3\x81\x82", "UTF-8 character whose last byte 0x82 is a Shift-JIS lead byte"},
        {"d.\x95", "a lone Shift-JIS lead byte"},
        {"m.\x83\x5C", "a Shift-JIS character whose second byte is the code of a backslash"},
        {"plain.d", "single-byte name"},
    };
    auto check = [&](const char* locale) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(locale) + ": " + c.what);
            const std::string sub = home + "/" + c.directory;
            ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
            writeFile(sub + "/g", container);
            RunResult run = runCipher({"/B", "/D", "/P", "pw", std::string(c.directory) + "/g"}, options);
            EXPECT_EQ(run.exitCode, 0) << run.out;
            const std::string settings =
                "removeRFileFlag: 0\ncphrMode: 2\n< " + sub + "/g\n> " + sub + "/g.dec\n";
            EXPECT_EQ(run.out.compare(0, settings.size(), settings), 0) << run.out;
            EXPECT_EQ(listDir(sub), (Names{"g", "g.dec"}));
            EXPECT_TRUE(readFile(sub + "/g.dec") == plain);
            EXPECT_TRUE(readFile(sub + "/g") == container);
            Names expected = {c.directory, "p", "p.cphr"};
            std::sort(expected.begin(), expected.end());
            EXPECT_EQ(listDir(home), expected);
            unlink((sub + "/g").c_str());
            unlink((sub + "/g.dec").c_str());
            rmdir(sub.c_str());
        }
    };
    check("C");
    ShiftJisLocale sjis;
    if (!sjis.active()) GTEST_SKIP() << sjis.why();
    check("ja_JP.SJIS");
}

}  // namespace
