// Directory creation, current directory, reverse search, debug-break hook and the
// compatibility functions.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <string>

#include "foundation/Compat.h"
#include "foundation/DebugTools.h"
#include "foundation/Paths.h"
#include "support/TempDir.h"

using zelto::test::TempDir;

namespace {

bool isDir(const std::string& p) {
  struct stat st {};
  return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::wstring widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

TEST(Paths, CreateDirectory) {
  TempDir tmp;
  EXPECT_EQ(zelto::createDirectory(static_cast<const char*>(nullptr)), -1);
  EXPECT_EQ(zelto::createDirectory(""), -1);
  EXPECT_EQ(zelto::createDirectory(tmp.file("one").c_str()), 0);
  EXPECT_TRUE(isDir(tmp.file("one")));
  EXPECT_EQ(zelto::createDirectory(tmp.file("one").c_str()), -1) << "exists already";
  EXPECT_EQ(zelto::createDirectory(tmp.file("x/y").c_str()), -1) << "parent missing";
  EXPECT_EQ(zelto::createDirectory(widen(tmp.file("wide")).c_str()), 0);
  EXPECT_TRUE(isDir(tmp.file("wide")));
  struct stat st {};
  ASSERT_EQ(stat(tmp.file("one").c_str(), &st), 0);
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0755u & ~mask);
}

TEST(Paths, CreatePathMakesEveryMissingLevel) {
  TempDir tmp;
  const std::string nested = tmp.file("a/b/c");
  EXPECT_EQ(zelto::createPath(nested.c_str()), 0);
  EXPECT_TRUE(isDir(tmp.file("a")));
  EXPECT_TRUE(isDir(tmp.file("a/b")));
  EXPECT_TRUE(isDir(nested));
  EXPECT_EQ(zelto::createPath(nested.c_str()), 0) << "an existing path is fine";
  EXPECT_EQ(zelto::createPath((tmp.file("a/b/d/e") + "/").c_str()), 0) << "trailing slash";
  EXPECT_TRUE(isDir(tmp.file("a/b/d/e")));
  EXPECT_EQ(zelto::createPath(widen(tmp.file("w/x")).c_str()), 0);
  EXPECT_TRUE(isDir(tmp.file("w/x")));

  // Relative paths are made below the current directory.
  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(tmp.path().c_str()), 0);
  EXPECT_EQ(zelto::createPath("r/s/t"), 0);
  EXPECT_EQ(chdir(cwd), 0);
  EXPECT_TRUE(isDir(tmp.file("r/s/t")));
}

TEST(Paths, CreatePathFailures) {
  TempDir tmp;
  EXPECT_EQ(zelto::createPath(static_cast<const char*>(nullptr)), -1);
  EXPECT_EQ(zelto::createPath(""), -1);
  std::ofstream(tmp.file("file")) << "x";
  EXPECT_EQ(zelto::createPath(tmp.file("file").c_str()), -1) << "a file, not a directory";
  EXPECT_EQ(zelto::createPath(tmp.file("file/sub/dir").c_str()), -1) << "a file in the way";
  EXPECT_EQ(zelto::createPath(std::string(5000, 'a').c_str()), -1) << "longer than the copy";
}

// A level the caller may not write: run as an unprivileged user (tests may run as root).
TEST(Paths, CreatePathWithoutPermissionFails) {
  TempDir tmp;
  const std::string locked = tmp.file("locked");
  ASSERT_EQ(mkdir(locked.c_str(), 0555), 0);
  ASSERT_EQ(chmod(tmp.path().c_str(), 0755), 0);
  const std::string target = locked + "/a/b";
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
    _exit(zelto::createPath(target.c_str()) == -1 && !isDir(locked + "/a") ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Paths, ReverseFind) {
  struct Case {
    const char* text;
    const char* pattern;
    int expected;
  };
  const Case cases[] = {
      {"a/b/c", "/", 3}, {"abc", "x", -1},   {"abcabc", "bc", 4}, {"abc", "abc", 0},
      {"ab", "abc", -1}, {"", "a", -1},      {nullptr, "a", -1},  {"abc", nullptr, -1},
      {"abc", "", -1},   {"aaa", "aa", 1},
  };
  for (const Case& c : cases)
    EXPECT_EQ(zelto::reverseFind(c.text, c.pattern), c.expected)
        << (c.text ? c.text : "(null)") << " / " << (c.pattern ? c.pattern : "(null)");
}

TEST(Paths, GetCurrentDirectory) {
  char expected[PATH_MAX];
  ASSERT_NE(getcwd(expected, sizeof expected), nullptr);
  char narrow[PATH_MAX];
  EXPECT_EQ(zelto::getCurrentDirectory(narrow, sizeof narrow), static_cast<int>(std::strlen(expected)));
  EXPECT_STREQ(narrow, expected);
  wchar_t wide[PATH_MAX];
  EXPECT_EQ(zelto::getCurrentDirectory(wide, PATH_MAX), static_cast<int>(std::strlen(expected)));
  EXPECT_EQ(std::wstring(wide), widen(expected));
  // Too small for the path and its terminator.
  char tiny[2];
  EXPECT_EQ(zelto::getCurrentDirectory(tiny, sizeof tiny), 0);
  wchar_t tinyWide[2];
  EXPECT_EQ(zelto::getCurrentDirectory(tinyWide, 2), 0);
  EXPECT_EQ(zelto::getCurrentDirectory(static_cast<char*>(nullptr), 10), 0);
}

int gBreaks = 0;

TEST(DebugTools, BreakCallsTheInstalledHookOnly) {
  zelto::DebugTools::setDebugBreaker(nullptr);
  zelto::DebugTools::debugBreak();  // nothing installed: no effect
  zelto::DebugTools::setDebugBreaker([] { ++gBreaks; });
  EXPECT_NE(zelto::DebugTools::debugBreaker(), nullptr);
  zelto::DebugTools::debugBreak();
  zelto::DebugTools::debugBreak();
  EXPECT_EQ(gBreaks, 2);
  zelto::DebugTools::setDebugBreaker(nullptr);
  zelto::DebugTools::debugBreak();
  EXPECT_EQ(gBreaks, 2);
}

TEST(Compat, BoundedStringFunctions) {
  enum Op { Cpy, Cat, NCpy };
  struct Case {
    Op op;
    const char* initial;  // destination before the call
    size_t size;
    const char* src;
    size_t count;
    int result;
    const char* after;  // destination after the call
  };
  const Case cases[] = {
      {Cpy, "zz", 4, "abcd", 0, 34, "zz"},    {Cpy, "zz", 5, "abcd", 0, 0, "abcd"},
      {Cpy, "zz", 0, "a", 0, 34, "zz"},       {Cpy, "zz", 8, nullptr, 0, 22, "zz"},
      {Cpy, "zz", 1, "", 0, 0, ""},           {Cat, "ab", 5, "cd", 0, 0, "abcd"},
      {Cat, "ab", 4, "cd", 0, 34, "ab"},      {Cat, "ab", 0, "cd", 0, 34, "ab"},
      {Cat, "ab", 8, nullptr, 0, 22, "ab"},   {NCpy, "zz", 3, "abcdef", 2, 0, "ab"},
      {NCpy, "zz", 2, "abcdef", 2, 34, "zz"}, {NCpy, "zz", 8, "abc", 10, 0, "abc"},
      {NCpy, "zz", 0, "abc", 1, 34, "zz"},    {NCpy, "zz", 8, nullptr, 1, 22, "zz"},
  };
  for (const Case& c : cases) {
    char dst[16];
    std::strcpy(dst, c.initial);
    int r = -1;
    switch (c.op) {
      case Cpy: r = strcpy_s(dst, c.size, c.src); break;
      case Cat: r = strcat_s(dst, c.size, c.src); break;
      case NCpy: r = strncpy_s(dst, c.size, c.src, c.count); break;
    }
    EXPECT_EQ(r, c.result) << c.op << " " << c.initial << " " << c.size << " " << (c.src ? c.src : "(null)");
    EXPECT_STREQ(dst, c.after) << c.op << " " << c.initial << " " << c.size;
  }
  EXPECT_EQ(strcpy_s(nullptr, 4, "a"), 22);
  EXPECT_EQ(strcat_s(nullptr, 4, "a"), 22);
  EXPECT_EQ(strncpy_s(nullptr, 4, "a", 1), 22);
  char unterminated[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(strcat_s(unterminated, sizeof unterminated, "x"), 34);

  char buf[8];
  EXPECT_EQ(sprintf_s(buf, sizeof buf, "%d-%s", 12, "ab"), 5);
  EXPECT_STREQ(buf, "12-ab");
  EXPECT_EQ(sprintf_s(buf, sizeof buf, "%s", "0123456789"), 7);
  EXPECT_STREQ(buf, "0123456");
  EXPECT_EQ(sprintf_s(nullptr, 8, "x"), -1);
}

TEST(Compat, StrtokS) {
  char text[] = ",,alpha, beta,,gamma";
  char* context = nullptr;
  std::string tokens;
  for (char* t = strtok_s(text, ", ", &context); t; t = strtok_s(nullptr, ", ", &context)) tokens += std::string(t) + "|";
  EXPECT_EQ(tokens, "alpha|beta|gamma|");
  EXPECT_EQ(context, nullptr);
  errno = 0;
  EXPECT_EQ(strtok_s(nullptr, ",", &context), nullptr) << "null text with an empty context";
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(strtok_s(text, nullptr, &context), nullptr);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(strtok_s(text, ",", nullptr), nullptr);
  EXPECT_EQ(errno, EINVAL);
  char blank[] = ",,,";
  context = blank;
  EXPECT_EQ(strtok_s(blank, ",", &context), nullptr);
  EXPECT_EQ(context, nullptr);
}

TEST(Compat, CaseFolding) {
  EXPECT_EQ(compat_tolower('A'), 'a');
  EXPECT_EQ(compat_tolower('z'), 'z');
  EXPECT_EQ(compat_tolower('@'), '@');
  EXPECT_EQ(compat_tolower(0xC4), 0xC4);
  EXPECT_EQ(compat_tolower(-5), -5);
  EXPECT_EQ(compat_tolower(300), '_');

  EXPECT_EQ(compat_wcsnicmp(L".ZSA", L".zsa", 4), 0);
  EXPECT_NE(compat_wcsnicmp(L".txt", L".zsa", 4), 0);
  EXPECT_LT(compat_wcsnicmp(L"abc", L"abd", 3), 0);
  EXPECT_EQ(compat_wcsnicmp(L"abcX", L"ABCy", 3), 0) << "only n characters";
  EXPECT_GT(compat_wcsnicmp(L"abcd", L"abc", 10), 0);
  EXPECT_EQ(compat_wcsnicmp(L"ab", L"AB", 10), 0);
  EXPECT_EQ(compat_wcsnicmp(nullptr, nullptr, 3), 0);
  EXPECT_EQ(compat_wcsnicmp(nullptr, L"a", 3), -1);
  EXPECT_EQ(compat_wcsnicmp(L"a", nullptr, 3), 1);
  EXPECT_EQ(compat_finite(1.0), 1);
  EXPECT_EQ(compat_finite(1.0 / 0.0), 0);
}

TEST(Compat, FileFunctions) {
  TempDir tmp;
  const std::string path = tmp.file("data.txt");
  FILE* f = reinterpret_cast<FILE*>(0x1);
  EXPECT_EQ(fopen_s(&f, tmp.file("missing/x").c_str(), "r"), ENOENT);
  EXPECT_EQ(f, nullptr);
  ASSERT_EQ(fopen_s(&f, path.c_str(), "w"), 0);
  ASSERT_NE(f, nullptr);
  std::fputs("hello", f);
  std::fclose(f);
  EXPECT_EQ(fopen_s(nullptr, path.c_str(), "r"), EINVAL);

  FILE* w = compat_wfopen(widen(path).c_str(), L"rb");
  ASSERT_NE(w, nullptr);
  char buf[8] = {};
  EXPECT_EQ(std::fread(buf, 1, 5, w), 5u);
  EXPECT_STREQ(buf, "hello");
  w = compat_wfreopen(widen(path).c_str(), L"ab", w);
  ASSERT_NE(w, nullptr);
  std::fclose(w);
  EXPECT_EQ(compat_wfopen(widen(path).c_str(), L"rb+xyz"), nullptr) << "mode longer than 5";
  EXPECT_EQ(compat_wfopen(std::wstring(4097, L'a').c_str(), L"r"), nullptr);
  EXPECT_EQ(compat_wfopen(nullptr, L"r"), nullptr);

  wchar_t full[PATH_MAX];
  char real[PATH_MAX];
  ASSERT_NE(realpath(path.c_str(), real), nullptr);
  EXPECT_EQ(compat_wfullpath(full, widen(tmp.path() + "/./data.txt").c_str(), PATH_MAX), 0);
  EXPECT_EQ(std::wstring(full), widen(real));
  EXPECT_EQ(compat_wfullpath(full, widen(tmp.file("nope")).c_str(), PATH_MAX), ENOENT);
  EXPECT_EQ(compat_wfullpath(full, widen(path).c_str(), 4), ERANGE);
  EXPECT_EQ(compat_wfullpath(nullptr, widen(path).c_str(), 4), EINVAL);

  EXPECT_EQ(IsBadWritePtr(path.c_str(), 5), 1);
  EXPECT_EQ(IsBadWritePtr(path.c_str(), 6), 0);
  EXPECT_EQ(IsBadWritePtr(path.c_str(), 0), 0);
  EXPECT_EQ(IsBadWritePtr(nullptr, 1), 0);
  EXPECT_EQ(IsBadWritePtr(tmp.file("nope").c_str(), 1), 0);
}

// Console input read from a pipe standing in for standard input.
TEST(Compat, ConsoleInput) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const int savedStdin = dup(STDIN_FILENO);
  ASSERT_GE(savedStdin, 0);
  ASSERT_EQ(dup2(fds[0], STDIN_FILENO), STDIN_FILENO);
  EXPECT_EQ(_kbhit(), 0);
  ASSERT_EQ(write(fds[1], "x", 1), 1);
  EXPECT_EQ(_kbhit(), 1);
  EXPECT_EQ(_getch(), 'x');
  EXPECT_EQ(_kbhit(), 0);
  dup2(savedStdin, STDIN_FILENO);
  close(savedStdin);
  close(fds[0]);
  close(fds[1]);
  clearerr(stdin);
}

}  // namespace
