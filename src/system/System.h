// Diagnostic trace, fatal errors, process exit and the argument cursor.
#pragma once
#include <cstdarg>
#include <cstdint>

#define CIPHER_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))

// The print hook of the diagnostic trace. xcoutConsole by default; /S (and
// the /MP and /MK paths just before they exit) switch it to xcoutNull.
typedef void (*XcoutFunc)(const char* format, ...);
extern XcoutFunc xcout;

void xcoutConsole(const char* format, ...) CIPHER_PRINTF(1, 2);
void xcoutNull(const char* format, ...) CIPHER_PRINTF(1, 2);

// Formats into a new block of exactly the text's length plus one. The caller
// frees it. Ends the process when the text outgrows 128 MiB.
char* vxcout(const char* format, va_list args);
char* strFormat(const char* format, ...) CIPHER_PRINTF(1, 2);

// Writes the text to standard output byte for byte, in chunks that never
// split a double-byte character.
void coutLongText(const char* text);

// Traces "exitcode: %d" and ends the process.
[[noreturn]] void exitWithCode(int code);

// How every end of the process goes out: the standard exit. Only the fuzz
// harness replaces it, with a hook that never returns either (it unwinds).
typedef void (*ExitFunc)(int code);
extern ExitFunc processExit;

// The one road of every unrecoverable failure: the report line, the message
// line when there is a message, an error box unless batchMode, exit code 1.
// A failure while a report is being made ends the process with code 2.
[[noreturn]] void fatalError(const char* source, int line, const char* function);
[[noreturn]] void fatalErrorMsg(const char* source, int line, const char* function,
                                const char* message);

// What the running container pipeline must repair or remove on disk if the
// run ends early; set by the pipeline while it works on files, null
// otherwise. Run once, by the fatal-error report or by an interrupt.
typedef void (*CleanupFunc)();
extern CleanupFunc cleanupHook;
// Nonzero while the pipeline runs a step that must finish before an
// interrupt is acted on; set and cleared by the pipeline.
extern int interruptDeferred;
// At a safe point: when an interrupt or termination signal has arrived (and
// is not deferred), traces it, runs cleanupHook and ends the process by that
// signal.
void checkInterrupt();

// Set to 1 by /B: no message box is ever shown.
extern int batchMode;
// Set to 1 by the first fatal-error report; never cleared.
extern int errorExiting;

// The argument cursor. argCount and argValues are main's argc and argv,
// stored once at start; argIndex is the next argument to take.
extern int argCount;
extern char** argValues;
extern int argIndex;

char* getArg();
void setArgIndex(int index);
