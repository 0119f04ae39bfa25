#pragma once
// Compatibility layer: bounded string functions with explicit result codes, wide-character
// file functions, console input and a few helpers, under the names the rest of the library
// uses. Nothing here throws.
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cwchar>

// Result codes of the bounded string functions.
enum : int {
  COMPAT_OK = 0,
  COMPAT_EINVAL = 22,  // a null pointer
  COMPAT_ERANGE = 34   // the destination is too small
};

// Formats into buffer, never writing more than size bytes (always terminated). Returns the
// number of characters stored, -1 for a null buffer or format or size 0.
int sprintf_s(char* buffer, size_t size, const char* format, ...) __attribute__((format(printf, 3, 4)));

// 22 when dst or src is null; 34 (destination unchanged) when size cannot hold src and its
// terminator; else copies and returns 0.
int strcpy_s(char* dst, size_t size, const char* src);
// 22 when either is null; 34 (unchanged) when size cannot hold dst + src + terminator.
int strcat_s(char* dst, size_t size, const char* src);
// Copies n = min(count, length(src)) characters and terminates; 22 for null, 34 (unchanged)
// when size < n + 1.
int strncpy_s(char* dst, size_t size, const char* src, size_t count);

// Sets *stream to null, then opens; 0 on success, else errno (22 for null arguments).
int fopen_s(FILE** stream, const char* path, const char* mode);

// Tokeniser with an explicit context. A null context or delimiters, or a null text while the
// context is null, sets errno to EINVAL and returns null.
char* strtok_s(char* text, const char* delimiters, char** context);

// Null when the path is longer than 4096 or the mode longer than 5 wide characters, or either
// does not convert completely.
FILE* compat_wfopen(const wchar_t* path, const wchar_t* mode);
// Reopens stream on path (at most 512 bytes converted) with mode (at most 20 bytes).
FILE* compat_wfreopen(const wchar_t* path, const wchar_t* mode, FILE* stream);
// Absolute canonical form of an existing path, at most length wide characters including the
// terminator. 0 on success, else errno (22 for null arguments, 34 when it does not fit).
int compat_wfullpath(wchar_t* buffer, const wchar_t* path, size_t length);

int compat_finite(double x);
// 'A'..'Z' lowered; 128..255 and negative values unchanged; 256 and above become '_'.
int compat_tolower(int c);
// Case-insensitive comparison of at most n wide characters (folded as compat_tolower).
int compat_wcsnicmp(const wchar_t* a, const wchar_t* b, size_t n);

// One character from standard input without line editing or echo.
int _getch();
// 1 when standard input has a character ready (without waiting), else 0.
int _kbhit();

// 1 when size is at most the size of the file at path; 0 otherwise (also for a null path,
// size 0 or a path that cannot be examined).
int IsBadWritePtr(const char* path, size_t size);
