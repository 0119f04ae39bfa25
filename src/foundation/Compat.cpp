#include "foundation/Compat.h"

#include <sys/select.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "zttypes/ztmath.h"

namespace {

// Converts a wide text of at most maxChars characters into out (capacity bytes).
bool narrow(const wchar_t* text, size_t maxChars, char* out, size_t capacity) {
  if (!text || std::wcslen(text) > maxChars) return false;
  std::mbstate_t state{};
  const wchar_t* src = text;
  const size_t n = std::wcsrtombs(out, &src, capacity, &state);
  return n != static_cast<size_t>(-1) && src == nullptr;
}

// Console mode without line editing and echo for the lifetime of the object (when stdin is a
// terminal); the previous settings come back in every case.
class RawConsole {
 public:
  RawConsole() {
    m_active = tcgetattr(STDIN_FILENO, &m_saved) == 0;
    if (!m_active) return;
    termios raw = m_saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  }
  ~RawConsole() {
    if (m_active) tcsetattr(STDIN_FILENO, TCSANOW, &m_saved);
  }
  RawConsole(const RawConsole&) = delete;
  RawConsole& operator=(const RawConsole&) = delete;

 private:
  termios m_saved{};
  bool m_active = false;
};

}  // namespace

int sprintf_s(char* buffer, size_t size, const char* format, ...) {
  if (!buffer || !format || size == 0) return -1;
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buffer, size, format, args);
  va_end(args);
  if (n < 0) {
    buffer[0] = '\0';
    return -1;
  }
  return static_cast<size_t>(n) < size ? n : static_cast<int>(size - 1);
}

int strcpy_s(char* dst, size_t size, const char* src) {
  if (!dst || !src) return COMPAT_EINVAL;
  const size_t n = std::strlen(src);
  if (size == 0 || size < n + 1) return COMPAT_ERANGE;
  std::memcpy(dst, src, n + 1);
  return COMPAT_OK;
}

int strcat_s(char* dst, size_t size, const char* src) {
  if (!dst || !src) return COMPAT_EINVAL;
  if (size == 0) return COMPAT_ERANGE;
  // An unterminated destination counts as full.
  const size_t have = strnlen(dst, size);
  const size_t add = std::strlen(src);
  if (have == size || size < have + add + 1) return COMPAT_ERANGE;
  std::memcpy(dst + have, src, add + 1);
  return COMPAT_OK;
}

int strncpy_s(char* dst, size_t size, const char* src, size_t count) {
  if (!dst || !src) return COMPAT_EINVAL;
  const size_t n = strnlen(src, count);
  if (size == 0 || size < n + 1) return COMPAT_ERANGE;
  std::memcpy(dst, src, n);
  dst[n] = '\0';
  return COMPAT_OK;
}

int fopen_s(FILE** stream, const char* path, const char* mode) {
  if (!stream) return EINVAL;
  *stream = nullptr;
  if (!path || !mode) return EINVAL;
  FILE* f = std::fopen(path, mode);
  if (!f) return errno;
  *stream = f;
  return 0;
}

char* strtok_s(char* text, const char* delimiters, char** context) {
  if (!context || !delimiters || (!text && !*context)) {
    errno = EINVAL;
    return nullptr;
  }
  char* s = text ? text : *context;
  s += std::strspn(s, delimiters);
  if (!*s) {
    *context = nullptr;
    return nullptr;
  }
  char* end = s + std::strcspn(s, delimiters);
  if (*end) {
    *end = '\0';
    *context = end + 1;
  } else {
    *context = nullptr;
  }
  return s;
}

FILE* compat_wfopen(const wchar_t* path, const wchar_t* mode) {
  // Every wide character may take MB_LEN_MAX bytes: too much for the stack of a worker.
  std::vector<char> narrowPath(4096 * MB_LEN_MAX + 1);
  char narrowMode[5 * MB_LEN_MAX + 1];
  if (!narrow(path, 4096, narrowPath.data(), narrowPath.size())) return nullptr;
  if (!narrow(mode, 5, narrowMode, sizeof narrowMode)) return nullptr;
  return std::fopen(narrowPath.data(), narrowMode);
}

FILE* compat_wfreopen(const wchar_t* path, const wchar_t* mode, FILE* stream) {
  char narrowPath[512];
  char narrowMode[20];
  if (!stream || !narrow(path, sizeof narrowPath, narrowPath, sizeof narrowPath) ||
      !narrow(mode, sizeof narrowMode, narrowMode, sizeof narrowMode))
    return nullptr;
  return std::freopen(narrowPath, narrowMode, stream);
}

int compat_wfullpath(wchar_t* buffer, const wchar_t* path, size_t length) {
  if (!buffer || !path) return EINVAL;
  char narrowPath[4096];
  if (!narrow(path, sizeof narrowPath, narrowPath, sizeof narrowPath)) return EINVAL;
  char resolved[PATH_MAX];
  if (!realpath(narrowPath, resolved)) return errno;
  std::mbstate_t state{};
  const char* src = resolved;
  const size_t n = std::mbsrtowcs(buffer, &src, length, &state);
  if (n == static_cast<size_t>(-1)) return EILSEQ;
  if (src != nullptr) return ERANGE;  // no room for the whole path and its terminator
  return 0;
}

int compat_finite(double x) { return ZtMath_isFinite(x); }

int compat_tolower(int c) {
  if (c >= 256) return '_';
  if (c >= 'A' && c <= 'Z') return c + ('a' - 'A');
  return c;
}

int compat_wcsnicmp(const wchar_t* a, const wchar_t* b, size_t n) {
  if (!a) return b ? -1 : 0;
  if (!b) return 1;
  for (size_t i = 0; i < n; ++i) {
    const int ca = compat_tolower(static_cast<int>(a[i]));
    const int cb = compat_tolower(static_cast<int>(b[i]));
    if (ca != cb) return ca - cb;
    if (a[i] == L'\0') return 0;
  }
  return 0;
}

int _getch() {
  RawConsole raw;
  return std::getchar();
}

int _kbhit() {
  RawConsole raw;
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(STDIN_FILENO, &readable);
  timeval noWait{0, 0};
  return select(STDIN_FILENO + 1, &readable, nullptr, nullptr, &noWait) > 0 ? 1 : 0;
}

int IsBadWritePtr(const char* path, size_t size) {
  if (!path || size == 0) return 0;
  struct stat st {};
  if (stat(path, &st) != 0) return 0;
  return size <= static_cast<size_t>(st.st_size) ? 1 : 0;
}
