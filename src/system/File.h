// Whole files and path names.
#pragma once

// 1 when the path names an existing file that is not a directory.
int fileExists(const char* path);

void setCwd(const char* directory);
// A new string with the current directory.
char* getCwd();
// Saves the current directory (one level only) and enters the given one.
void addCwd(const char* directory);
// Returns to the saved directory.
void unaddCwd();
// Drops a directory that addCwd saved and no unaddCwd took back (a fatal
// error came between them). Only a process that outlives a run needs it.
void forgetSavedCwd();

// Renames the file; never replaces an existing destination.
void fileMove(const char* source, const char* destination);
// Makes the destination an exact copy of the source, with its permission bits.
void fileCopy(const char* source, const char* destination);
// Deletes a file, ignoring whether that worked.
void fileDelete(const char* path);

// A new absolute, normalised path; relative paths are taken against the base
// directory. The file need not exist.
char* getFullPath(const char* path, const char* baseDirectory);
// The text after the last '.' of the path, or the empty text at its end when
// there is no dot or the last dot belongs to a directory name.
const char* getExtension(const char* path);
