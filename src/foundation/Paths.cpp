#include "foundation/Paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace zelto {

namespace {

constexpr size_t kMaxPath = 4096;

bool toMultibyte(const wchar_t* path, char (&out)[kMaxPath]) {
  if (!path) return false;
  std::mbstate_t state{};
  const wchar_t* src = path;
  const size_t n = std::wcsrtombs(out, &src, kMaxPath, &state);
  // src is null only when the terminator was converted too: anything else did not fit.
  return n != static_cast<size_t>(-1) && src == nullptr;
}

bool isDirectory(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// 0 when path is a directory afterwards, else -1; errno tells why mkdir failed.
int makeLevel(const std::string& path) {
  if (mkdir(path.c_str(), 0755) == 0) return 0;
  if (errno == EEXIST) return isDirectory(path) ? 0 : (errno = ENOTDIR, -1);
  return -1;
}

}  // namespace

int createDirectory(const char* path) {
  if (!path || !*path) return -1;
  return mkdir(path, 0755) == 0 ? 0 : -1;
}

int createDirectory(const wchar_t* path) {
  char narrow[kMaxPath];
  if (!toMultibyte(path, narrow)) return -1;
  return createDirectory(narrow);
}

int createPath(const char* path) {
  if (!path || !*path) return -1;
  if (std::strlen(path) >= kMaxPath) return -1;
  std::string full(path);
  while (full.size() > 1 && full.back() == '/') full.pop_back();

  if (makeLevel(full) == 0) return 0;
  if (errno != ENOENT) return -1;

  // Walk up until a level exists or can be made...
  size_t end = full.size();
  for (;;) {
    const size_t slash = full.rfind('/', end - 1);
    if (slash == std::string::npos || slash == 0) {
      end = 0;  // nothing above exists to build on: start from the first level
      break;
    }
    end = slash;
    if (makeLevel(full.substr(0, end)) == 0) break;
    if (errno != ENOENT) return -1;
  }
  // ...then make each level below it down to the full path.
  for (;;) {
    const size_t next = full.find('/', end + 1);
    if (next == std::string::npos) break;
    end = next;
    if (makeLevel(full.substr(0, end)) != 0) return -1;
  }
  return makeLevel(full);
}

int createPath(const wchar_t* path) {
  char narrow[kMaxPath];
  if (!toMultibyte(path, narrow)) return -1;
  return createPath(narrow);
}

int reverseFind(const char* text, const char* pattern) {
  if (!text || !pattern || !*text || !*pattern) return -1;
  const size_t n = std::strlen(text);
  const size_t m = std::strlen(pattern);
  if (m > n) return -1;
  for (size_t i = n - m + 1; i-- > 0;)
    if (std::memcmp(text + i, pattern, m) == 0) return static_cast<int>(i);
  return -1;
}

int getCurrentDirectory(char* buffer, unsigned size) {
  if (!buffer || size == 0) return 0;
  if (!getcwd(buffer, size)) return 0;
  return static_cast<int>(std::strlen(buffer));
}

int getCurrentDirectory(wchar_t* buffer, unsigned size) {
  if (!buffer || size == 0) return 0;
  char narrow[kMaxPath];
  const unsigned narrowSize = size < kMaxPath ? size : static_cast<unsigned>(kMaxPath);
  const int length = getCurrentDirectory(narrow, narrowSize);
  if (length == 0) return 0;
  std::mbstate_t state{};
  const char* src = narrow;
  const size_t n = std::mbsrtowcs(buffer, &src, size, &state);
  if (n == static_cast<size_t>(-1) || src != nullptr) return 0;  // not converted or no room for the terminator
  return length;
}

}  // namespace zelto
