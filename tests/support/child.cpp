#include "support/child.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>

#include "platform/platform.h"
#include "system/System.h"

void ChildOutput::redirect() const {
    setsid();
    fflush(stdout);
    fflush(stderr);
    int out = open(dir.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(dir.file("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, 1);
    dup2(err, 2);
    close(out);
    close(err);
}

void ChildOutput::redirectBatch() const {
    redirect();
    batchMode = 1;
    xcout = xcoutConsole;
}

ShiftJisLocale::ShiftJisLocale() {
    if (access("/usr/bin/localedef", X_OK) != 0) {
        why_ = "no /usr/bin/localedef";
        return;
    }
    RunResult made = runProgram("/usr/bin/localedef", {"-c", "--no-warnings=ascii", "-f", "SHIFT_JIS", "-i",
                                                       "ja_JP", dir_.file("ja_JP.SJIS")});
    if (made.exitCode != 0) {
        why_ = "localedef failed: " + made.err;
        return;
    }
    const char* old = getenv("LC_ALL");
    hadLcAll_ = old != nullptr;
    if (hadLcAll_) oldLcAll_ = old;
    setenv("LOCPATH", dir_.path.c_str(), 1);
    setenv("LC_ALL", "ja_JP.SJIS", 1);
    switched_ = true;
    platformInit();
    active_ = platformIsLeadByte(0x81);
    if (!active_) why_ = "the Shift-JIS locale did not load";
}

ShiftJisLocale::~ShiftJisLocale() {
    if (!switched_) return;
    setenv("LC_ALL", "C", 1);
    unsetenv("LOCPATH");
    platformInit();
    if (hadLcAll_) setenv("LC_ALL", oldLcAll_.c_str(), 1);
    else unsetenv("LC_ALL");
}
