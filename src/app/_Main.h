// The run driver behind main.
#pragma once

// Reads the command line (argc and argv as main gets them), checks it,
// derives the key, runs the container pipeline or makes a password or key,
// and ends the process with its exit code. Never returns.
[[noreturn]] void cipherMain(int argc, char** argv);

// The absolute input and output names of the run, or null before they are
// made; set by cipherMain and kept until the process ends.
extern char* runInputName;
extern char* runOutputName;
