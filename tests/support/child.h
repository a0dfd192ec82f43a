// Helpers for tests that end the process (death tests) or switch its locale.
#pragma once
#include <string>

#include "support/run.h"

// Where a dying child's standard output and error go, for the test to read
// after the child has ended (death tests fork, so the paths carry over).
struct ChildOutput {
    TempDir dir;
    // First thing in the child: leave the controlling terminal, so that an
    // error box never waits for an answer, and send both streams to files.
    void redirect() const;
    // The same, and no boxes, and the trace back on standard output.
    void redirectBatch() const;
    std::string out() const { return readFile(dir.file("out")); }
    std::string err() const { return readFile(dir.file("err")); }
};

// Switches the process to a Shift-JIS locale built for the test with
// localedef, and back to "C" when it goes away.
class ShiftJisLocale {
public:
    ShiftJisLocale();
    ~ShiftJisLocale();
    bool active() const { return active_; }
    const std::string& why() const { return why_; }

private:
    TempDir dir_;
    bool active_ = false;
    bool switched_ = false;
    bool hadLcAll_ = false;
    std::string oldLcAll_;
    std::string why_;
};

// Runs the statement in a child (no terminal, batch mode) that must end with
// exit code 1 and exactly this standard output.
#define EXPECT_FATAL_OUTPUT(statement, expectedOut)         \
    do {                                                    \
        ChildOutput child_;                                 \
        EXPECT_EXIT(                                        \
            {                                               \
                child_.redirectBatch();                     \
                statement;                                  \
            },                                              \
            testing::ExitedWithCode(1), "");                \
        EXPECT_EQ(child_.out(), std::string(expectedOut));  \
    } while (0)
