#pragma once
// Directory creation, the current directory and a reverse substring search. Failures are
// reported through the results only; nothing throws.
#include <cwchar>

namespace zelto {

// Creates one directory with mode 0755: 0 on success, -1 on failure or a null/empty path.
int createDirectory(const char* path);
// Converts to multibyte (at most 4096 bytes) and creates the directory.
int createDirectory(const wchar_t* path);

// Creates the directory and every missing one above it, each with mode 0755. 0 when the
// directory exists afterwards (also when it existed before), -1 when a level cannot be made,
// the path is null or empty, or longer than 4096 bytes.
int createPath(const char* path);
int createPath(const wchar_t* path);

// The largest index at which pattern occurs in text; -1 when either is null or empty, or
// there is no occurrence.
int reverseFind(const char* text, const char* pattern);

// Writes the current directory into buffer (size bytes with its terminator) and returns its
// length; 0 on failure (also when it does not fit).
int getCurrentDirectory(char* buffer, unsigned size);
// The same into a wide buffer of size characters; returns the multibyte length, 0 on failure.
int getCurrentDirectory(wchar_t* buffer, unsigned size);

}  // namespace zelto
