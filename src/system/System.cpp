#include "system/System.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "system/MemAlloc.h"

XcoutFunc xcout = xcoutConsole;
int batchMode = 0;
int errorExiting = 0;
int argCount = 0;
char** argValues = nullptr;
int argIndex = 1;
ExitFunc processExit = exit;
CleanupFunc cleanupHook = nullptr;
int interruptDeferred = 0;

// Runs the cleanup at most once: a failure inside it must not run it again.
static void runCleanup() {
    CleanupFunc cleanup = cleanupHook;
    cleanupHook = nullptr;
    if (cleanup != nullptr) cleanup();
}

void checkInterrupt() {
    if (interruptDeferred) return;
    int signal = platformPendingInterrupt();
    if (signal == 0) return;
    // From here on the process is ending: a failure while cleaning up ends
    // it at once with code 2.
    errorExiting = 1;
    xcout("interrupted by signal %d\n", signal);
    runCleanup();
    platformDieBySignal(signal);
}

void xcoutConsole(const char* format, ...) {
    va_list args;
    va_start(args, format);
    // The two plain forms go out without formatting or allocation, however
    // long the text (the password and key outputs use "%s\n").
    if (strcmp(format, "%s") == 0) {
        coutLongText(va_arg(args, const char*));
    } else if (strcmp(format, "%s\n") == 0) {
        coutLongText(va_arg(args, const char*));
        coutLongText("\n");
    } else {
        char* text = vxcout(format, args);
        coutLongText(text);
        free(text);
    }
    va_end(args);
}

void xcoutNull(const char*, ...) {}

char* vxcout(const char* format, va_list args) {
    int64_t capacity = static_cast<int64_t>(strlen(format)) + 100;
    for (;;) {
        char* buffer = static_cast<char*>(memAlloc(static_cast<int32_t>(capacity + 20)));
        va_list attempt;
        va_copy(attempt, args);
        int length = vsnprintf(buffer, static_cast<size_t>(capacity + 10), format, attempt);
        va_end(attempt);
        if (length >= 0 && length <= capacity) {
            return static_cast<char*>(memRealloc(buffer, length + 1));
        }
        free(buffer);
        if (capacity > 0x8000000) fatalError("System", 91, "vxcout");
        capacity *= 2;
    }
}

char* strFormat(const char* format, ...) {
    va_list args;
    va_start(args, format);
    char* text = vxcout(format, args);
    va_end(args);
    return text;
}

void coutLongText(const char* text) {
    size_t position = 0;
    while (text[position] != '\0') {
        // A chunk is 98 bytes, one more when a double-byte character starts at
        // its last byte, so no character is ever split between two writes.
        size_t length = 0;
        while (length < 98 && text[position + length] != '\0') {
            if (platformIsLeadByte(static_cast<unsigned char>(text[position + length])) &&
                text[position + length + 1] != '\0') {
                length += 2;
            } else {
                length += 1;
            }
        }
        char chunkFormat[32];
        if (snprintf(chunkFormat, sizeof chunkFormat, "%%.%us", static_cast<unsigned>(length)) < 0) {
            fatalError("System", 113, "coutLongText");
        }
        // The text is an argument, never a format, so '%' passes unchanged.
        // Flushing at once puts every line out before the next step runs and
        // makes a failed write show here rather than at exit.
        int written = printf(chunkFormat, text + position);
        if (written != static_cast<int>(length) || fflush(stdout) != 0) {
            fatalError("System", 114, "coutLongText");
        }
        position += length;
    }
}

// A hook that returned would break [[noreturn]]: abort rather than go on.
[[noreturn]] static void endProcess(int code) {
    processExit(code);
    abort();
}

void exitWithCode(int code) {
    xcout("exitcode: %d\n", code);
    endProcess(code);
}

void fatalError(const char* source, int line, const char* function) {
    fatalErrorMsg(source, line, function, nullptr);
}

void fatalErrorMsg(const char* source, int line, const char* function, const char* message) {
    if (errorExiting) {
        // A failure while reporting (the trace cannot be written, say) still
        // repairs what it can on disk before ending.
        runCleanup();
        endProcess(2);
    }
    // Set before any output: a failure while reporting ends in the branch above.
    errorExiting = 1;
    xcout("ERROR %s %d %s\n", source, line, function);
    if (message != nullptr) xcout("message: %s\n", message);
    runCleanup();
    if (!batchMode) {
        if (message != nullptr) {
            platformMessageBox(message, "Cipher Error", MB_TOPMOST | MB_ICONERROR | MB_OK);
        } else {
            char* text = strFormat("An error occurred @ %s %d %s", source, line, function);
            platformMessageBox(text, "Cipher Error", MB_TOPMOST | MB_ICONERROR | MB_OK);
            free(text);
        }
    }
    exitWithCode(1);
}

char* getArg() {
    if (argCount - argIndex >= 1) return argValues[argIndex++];
    fatalError("System", 158, "getArg");
}

void setArgIndex(int index) { argIndex = index; }
