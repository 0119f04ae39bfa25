// IoInterfaceFile: positions, side switching, insert/delete/find, read-only files, write
// failures; doesFileExist and makeFilenameUnique.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/TempDir.h"
#include "transport/io/IoInterfaceFile.h"

namespace {

using zelto::test::TempDir;

struct Bytes {
  ZtByteArray a;
  Bytes() { ZtByteArray_construct(&a, 0, nullptr); }
  explicit Bytes(const std::string& s) {
    ZtByteArray_construct(&a, s.size(), reinterpret_cast<const uint8_t*>(s.data()));
  }
  ~Bytes() { ZtByteArray_destruct(&a); }
  Bytes(const Bytes&) = delete;
  Bytes& operator=(const Bytes&) = delete;
  std::string str() const { return std::string(reinterpret_cast<const char*>(a.data), a.size); }
};

struct Str {
  ZtString s;
  explicit Str(const std::string& text = "") { ZtString_construct(&s, text.c_str()); }
  ~Str() { ZtString_destruct(&s); }
  Str(const Str&) = delete;
  Str& operator=(const Str&) = delete;
};

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string pattern(size_t size, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(size, '\0');
  for (auto& c : s) c = static_cast<char>('a' + gen() % 26);
  return s;
}

class FileTest : public ::testing::Test {
 protected:
  // Opens a file holding content for reading and writing.
  void openWith(const std::string& content, const std::string& name = "f.log") {
    path = dir.file(name);
    writeFile(path, content);
    Str n(path);
    ASSERT_EQ(ZRV_OK, file.open(n.s, false, false));
  }
  std::string onDisk() {
    EXPECT_EQ(ZRV_OK, file.flushData());
    return readFile(path);
  }

  TempDir dir;
  std::string path;
  IoInterfaceFile file;
};

TEST_F(FileTest, OpenCreatesOnlyWithCreateNewAndMeasuresExistingFiles) {
  Str missing(dir.file("missing.log"));
  EXPECT_EQ(ZRV_INPUTCANNOTBEOPENED, file.open(missing.s, false, false));
  EXPECT_FALSE(file.isOpen());
  EXPECT_EQ(ZRV_INPUTCANNOTBEOPENED, file.getLastResult());

  EXPECT_EQ(ZRV_OK, file.open(missing.s, true, false));
  EXPECT_TRUE(file.isOpen());
  EXPECT_FALSE(file.isReadOnly());
  EXPECT_EQ(1, doesFileExist(dir.file("missing.log").c_str()));
  EXPECT_EQ(ZRV_ALREADYOPEN, file.open(missing.s, false, false));
  EXPECT_EQ(ZRV_ALREADYOPEN, file.create(missing.s));
  EXPECT_TRUE(file.isOpen());
  EXPECT_EQ(ZRV_OK, file.close());

  openWith("0123456789", "sized.log");
  EXPECT_EQ(10, file.getFileSize());
  EXPECT_EQ(0, file.getReadPosition());
  EXPECT_EQ(0, file.getWritePosition());
  Str name;
  EXPECT_EQ(ZRV_OK, file.getName(name.s));
  char resolved[4096];
  ASSERT_NE(nullptr, realpath(path.c_str(), resolved));
  EXPECT_STREQ(resolved, ZtString_c_str(&name.s));
  EXPECT_GT(file.getFileDate(), 0);
}

TEST_F(FileTest, CreateTruncatesAndFailsInMissingDirectory) {
  path = dir.file("c.log");
  writeFile(path, "old content");
  Str n(path);
  ASSERT_EQ(ZRV_OK, file.create(n.s));
  EXPECT_EQ(0, file.getFileSize());
  EXPECT_EQ("", onDisk());
  file.close();
  Str bad(dir.file("no/such/dir.log"));
  EXPECT_EQ(ZRV_OUTPUTCANNOTBECREATED, file.create(bad.s));
  EXPECT_FALSE(file.isOpen());
  Str directory(dir.path());
  EXPECT_EQ(ZRV_INPUTCANNOTBEOPENED, file.open(directory.s, false, false));
}

TEST_F(FileTest, ReadOnlyFilesRefuseEveryChange) {
  path = dir.file("ro.log");
  writeFile(path, "abc");
  Str n(path);
  ASSERT_EQ(ZRV_OK, file.open(n.s, false, true));
  EXPECT_TRUE(file.isReadOnly());
  Bytes data("x");
  size_t written = 99;
  EXPECT_EQ(ZRV_READONLY, file.writeData(data.a, &written));
  EXPECT_EQ(99u, written);
  EXPECT_EQ(ZRV_READONLY, file.appendData(data.a));
  EXPECT_EQ(ZRV_READONLY, file.insertData(0, data.a));
  EXPECT_EQ(ZRV_READONLY, file.deleteData(0, 1));
  EXPECT_EQ(ZRV_READONLY, file.setWritePosition(1));
  EXPECT_EQ(ZRV_READONLY, file.closeAndDelete());
  EXPECT_FALSE(file.isOpen());
  EXPECT_EQ("abc", readFile(path));
}

// A file the process may not write opens read-only through the fallback. Root may write any
// file, so the check runs in a child that drops to an unprivileged user.
TEST_F(FileTest, UnwritableFileFallsBackToReadOnly) {
  path = dir.file("locked.log");
  writeFile(path, "abc");
  ASSERT_EQ(0, chmod(path.c_str(), 0444));
  ASSERT_EQ(0, chmod(dir.path().c_str(), 0755));
  EXPECT_EXIT(
      {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
        IoInterfaceFile f;
        Str n(path);
        if (f.open(n.s, false, false) != ZRV_OK || !f.isReadOnly()) _exit(1);
        Bytes data("x");
        _exit(f.writeData(data.a) == ZRV_READONLY ? 0 : 2);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(FileTest, ReadPastEndReturnsEndOfFileAndKeepsTheStreamInStep) {
  openWith("abcdef");
  Bytes data("stale");
  EXPECT_EQ(ZRV_ENDOFFILE, file.readData(10, data.a));
  EXPECT_EQ(0u, data.a.size);
  EXPECT_EQ(0, file.getReadPosition());
  // The failed read must not have moved the stream: the next read starts at the read position.
  EXPECT_EQ(ZRV_OK, file.readData(2, data.a));
  EXPECT_EQ("ab", data.str());
  EXPECT_EQ(ZRV_OK, file.readData(4, data.a));
  EXPECT_EQ("cdef", data.str());
  EXPECT_EQ(6, file.getReadPosition());
  EXPECT_EQ(ZRV_ENDOFFILE, file.readData(1, data.a));
  EXPECT_EQ(ZRV_OK, file.readData(0, data.a));
  EXPECT_EQ(0u, data.a.size);
}

TEST_F(FileTest, ReadAndWriteSidesKeepTheirOwnPositions) {
  openWith("0123456789");
  Bytes data;
  EXPECT_EQ(ZRV_OK, file.readData(3, data.a));
  EXPECT_EQ("012", data.str());
  Bytes ab("AB");
  size_t written = 0;
  EXPECT_EQ(ZRV_OK, file.writeData(ab.a, &written));
  EXPECT_EQ(2u, written);
  EXPECT_EQ(2, file.getWritePosition());
  EXPECT_EQ(ZRV_OK, file.readData(3, data.a));
  EXPECT_EQ("345", data.str());
  EXPECT_EQ(ZRV_OK, file.writeData(ab.a));
  EXPECT_EQ(4, file.getWritePosition());
  EXPECT_EQ("ABAB456789", onDisk());

  EXPECT_EQ(ZRV_OK, file.setWritePosition(-1));
  EXPECT_EQ(10, file.getWritePosition());
  Bytes tail("XYZ");
  EXPECT_EQ(ZRV_OK, file.writeData(tail.a));
  EXPECT_EQ(13, file.getFileSize());
  EXPECT_EQ(ZRV_OK, file.setReadPosition(8));
  EXPECT_EQ(ZRV_OK, file.readData(5, data.a));
  EXPECT_EQ("89XYZ", data.str());
  EXPECT_EQ(ZRV_INVALIDPARAM, file.setReadPosition(-2));

  EXPECT_EQ(ZRV_OK, file.setWritePosition(1));
  EXPECT_EQ(ZRV_OK, file.appendData(ab.a));
  EXPECT_EQ(15, file.getWritePosition());
  EXPECT_EQ(15, file.getFileSize());
  EXPECT_EQ("ABAB456789XYZAB", onDisk());
}

// Writes that would grow a file beyond limit bytes fail with EFBIG while this lives.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t limit) {
    m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &m_old);
    struct rlimit reduced = m_old;
    reduced.rlim_cur = limit;
    m_ok = setrlimit(RLIMIT_FSIZE, &reduced) == 0;
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &m_old);
    std::signal(SIGXFSZ, m_oldHandler);
  }
  bool ok() const { return m_ok; }

 private:
  struct rlimit m_old = {};
  void (*m_oldHandler)(int) = nullptr;
  bool m_ok = false;
};

// A write, insert or delete that fails part-way leaves the stream somewhere in the file: the
// next read must still start at the read position and the next write at the write position.
TEST_F(FileTest, FailedChangesKeepBothSidesAtTheirPositions) {
  const std::string content = pattern(1000, 3);
  const struct {
    const char* name;
    std::function<ZtResultValue(IoInterfaceFile&)> fail;
  } cases[] = {
      {"write", [](IoInterfaceFile& f) {
         Bytes large(std::string(64 * 1024, 'x'));
         EXPECT_EQ(ZRV_OK, f.setWritePosition(-1));
         return f.writeData(large.a);
       }},
      {"append", [](IoInterfaceFile& f) {
         Bytes large(std::string(64 * 1024, 'x'));
         return f.appendData(large.a);
       }},
      {"insert", [](IoInterfaceFile& f) {
         Bytes large(std::string(8 * 1024, 'x'));
         return f.insertData(500, large.a);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    openWith(content, std::string(c.name) + ".log");
    Bytes data;
    ASSERT_EQ(ZRV_OK, file.readData(3, data.a));
    {
      FileSizeLimit limit(4096);
      ASSERT_TRUE(limit.ok());
      EXPECT_EQ(ZRV_ERROR, c.fail(file));
    }
    EXPECT_EQ(3, file.getReadPosition());
    EXPECT_EQ(ZRV_OK, file.readData(5, data.a));
    EXPECT_EQ(content.substr(3, 5), data.str());
    // Back to writing: the next write lands at the write position, not where the failure ended.
    const int64_t writeAt = file.getWritePosition();
    ASSERT_LE(writeAt, 1000);
    Bytes mark("MARK");
    EXPECT_EQ(ZRV_OK, file.writeData(mark.a));
    EXPECT_EQ("MARK", onDisk().substr(static_cast<size_t>(writeAt), 4));
    file.close();
  }
}

TEST_F(FileTest, ReadTerminatedDataStopsAfterTheTerminator) {
  openWith("ab\ncd");
  Bytes data;
  EXPECT_EQ(ZRV_OK, file.readTerminatedData(10, '\n', data.a));
  EXPECT_EQ("ab\n", data.str());
  EXPECT_EQ(3, file.getReadPosition());
  EXPECT_EQ(ZRV_ENDOFFILE, file.readTerminatedData(10, '\n', data.a));
  EXPECT_EQ("cd", data.str());
  EXPECT_EQ(5, file.getReadPosition());
}

struct InsertCase {
  size_t fileSize;
  int64_t start;
  size_t length;
};

TEST_F(FileTest, InsertShiftsTheTailAcrossChunks) {
  openWith("xyz");
  Bytes abc("abc");
  EXPECT_EQ(ZRV_OK, file.insertData(0, abc.a));
  EXPECT_EQ(6, file.getFileSize());
  EXPECT_EQ(3, file.getWritePosition());
  EXPECT_EQ("abcxyz", onDisk());
  file.close();

  const InsertCase cases[] = {
      {3, 3, 2},       {10, 5, 600},   {1000, 100, 600}, {1000, 0, 1},
      {1300, 1, 512},  {5000, 17, 3},  {2048, 512, 513}, {700, 650, 2000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.fileSize << " " << c.start << " " << c.length);
    std::string model = pattern(c.fileSize, 1);
    const std::string insert = std::string(c.length, 'Z');
    openWith(model, "insert.log");
    Bytes data(insert);
    ASSERT_EQ(ZRV_OK, file.insertData(c.start, data.a));
    model.insert(static_cast<size_t>(c.start), insert);
    EXPECT_EQ(static_cast<int64_t>(model.size()), file.getFileSize());
    EXPECT_EQ(c.start + static_cast<int64_t>(c.length), file.getWritePosition());
    EXPECT_EQ(model, onDisk());
    file.close();
  }
  openWith("abc", "bad.log");
  Bytes one("1");
  EXPECT_EQ(ZRV_INVALIDPARAM, file.insertData(4, one.a));
  EXPECT_EQ(ZRV_INVALIDPARAM, file.insertData(-1, one.a));
  EXPECT_EQ("abc", onDisk());
}

TEST_F(FileTest, DeleteCutsAndClampsToTheFile) {
  struct Case {
    size_t fileSize;
    int64_t start, length;
  };
  const Case cases[] = {
      {6, 1, 2}, {6, 4, 10}, {6, 10, 2}, {6, 6, 0}, {6, 0, 6}, {2000, 100, 700}, {2000, 1, 1998},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.fileSize << " " << c.start << " " << c.length);
    std::string model = pattern(c.fileSize, 2);
    openWith(model, "delete.log");
    ASSERT_EQ(ZRV_OK, file.deleteData(c.start, c.length));
    const size_t start = std::min(static_cast<size_t>(c.start), model.size());
    model.erase(start, static_cast<size_t>(c.length));
    EXPECT_EQ(static_cast<int64_t>(model.size()), file.getFileSize());
    EXPECT_EQ(static_cast<int64_t>(start), file.getWritePosition());
    EXPECT_EQ(model, onDisk());
    file.close();
  }
  openWith("abcdef", "neg.log");
  EXPECT_EQ(ZRV_INVALIDPARAM, file.deleteData(-1, 2));
  EXPECT_EQ(ZRV_INVALIDPARAM, file.deleteData(1, -2));
  EXPECT_EQ("abcdef", onDisk());
  // The write position follows the cut: the next write lands where the bytes were removed.
  EXPECT_EQ(ZRV_OK, file.deleteData(1, 2));
  Bytes x("X");
  EXPECT_EQ(ZRV_OK, file.writeData(x.a));
  EXPECT_EQ("aXef", onDisk());
}

TEST_F(FileTest, FindLocatesPatternsAcrossBlocksAndAfterPartialMatches) {
  struct Case {
    std::string content, needle;
    int64_t from;
    ZtResultValue result;
    int64_t at;
  };
  const std::string big = std::string(510, '.') + "abcd" + std::string(600, '.');
  const Case cases[] = {
      {"xab", "ab", 0, ZRV_OK, 1},
      {"xaab", "ab", 0, ZRV_OK, 2},
      {"aaab", "aab", 0, ZRV_OK, 1},
      {"abababc", "ababc", 0, ZRV_OK, 2},
      {"xyz", "ab", 0, ZRV_ENDOFFILE, 0},
      {big, "abcd", 0, ZRV_OK, 510},
      {big, "abcd", 300, ZRV_OK, 510},
      {big, "abcd", 511, ZRV_ENDOFFILE, 0},
      {"ab", "", 0, ZRV_OK, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.needle + " from " + std::to_string(c.from));
    openWith(c.content, "find.log");
    ASSERT_EQ(ZRV_OK, file.setReadPosition(c.from));
    Bytes needle(c.needle);
    int64_t position = -1;
    EXPECT_EQ(c.result, file.find(needle.a, position));
    EXPECT_EQ(c.at, position);
    if (c.result == ZRV_OK && !c.needle.empty()) {
      EXPECT_EQ(c.at, file.getReadPosition());
      Bytes data;
      ASSERT_EQ(ZRV_OK, file.readData(c.needle.size(), data.a));
      EXPECT_EQ(c.needle, data.str());
    }
    if (c.result == ZRV_ENDOFFILE) {
      EXPECT_EQ(static_cast<int64_t>(c.content.size()), file.getReadPosition());
    }
    file.close();
  }
}

TEST_F(FileTest, CloseAndDeleteRemovesWritableFilesOnly) {
  openWith("abc", "gone.log");
  EXPECT_EQ(ZRV_OK, file.closeAndDelete());
  EXPECT_FALSE(file.isOpen());
  EXPECT_EQ(0, doesFileExist(path.c_str()));
  EXPECT_EQ(ZRV_NOFILEOPEN, file.closeAndDelete());

  path = dir.file("kept.log");
  writeFile(path, "abc");
  Str n(path);
  ASSERT_EQ(ZRV_OK, file.open(n.s, false, true));
  EXPECT_EQ(ZRV_READONLY, file.closeAndDelete());
  EXPECT_FALSE(file.isOpen());
  EXPECT_EQ(1, doesFileExist(path.c_str()));
}

TEST_F(FileTest, ClosedFileAnswersNoFileOpenAndLeavesArraysAlone) {
  Bytes data("keep");
  int64_t position = 5;
  EXPECT_EQ(ZRV_NOFILEOPEN, file.readData(3, data.a));
  EXPECT_EQ(ZRV_NOFILEOPEN, file.readTerminatedData(3, '\n', data.a));
  EXPECT_EQ("keep", data.str());
  EXPECT_EQ(ZRV_NOFILEOPEN, file.writeData(data.a));
  EXPECT_EQ(ZRV_NOFILEOPEN, file.appendData(data.a));
  EXPECT_EQ(ZRV_NOFILEOPEN, file.insertData(0, data.a));
  EXPECT_EQ(ZRV_NOFILEOPEN, file.deleteData(0, 1));
  EXPECT_EQ(ZRV_NOFILEOPEN, file.find(data.a, position));
  EXPECT_EQ(ZRV_NOFILEOPEN, file.setReadPosition(1));
  EXPECT_EQ(ZRV_NOFILEOPEN, file.setWritePosition(1));
  EXPECT_EQ(ZRV_NOFILEOPEN, file.getLastResult());
  EXPECT_EQ(ZRV_OK, file.close());
  EXPECT_TRUE(file.isReadOnly());
  // Operations of the live ports are not offered by files.
  ZtPortInfo info = {};
  EXPECT_EQ(ZRV_UNSUPPORTED, file.open(info));
  EXPECT_EQ(ZRV_UNSUPPORTED, file.setTimeout(5));
  EXPECT_EQ(ZRV_UNSUPPORTED, file.waitForData(1, data.a));
}

// /dev/full fails every write with ENOSPC: the failure must surface, whether the stream writes
// through at once (large write) or only when its buffer is flushed.
TEST_F(FileTest, FullDeviceReportsNoSpace) {
  Str full("/dev/full");
  ASSERT_EQ(ZRV_OK, file.open(full.s, false, false));
  Bytes large(std::string(64 * 1024, 'x'));
  EXPECT_EQ(ZRV_OUTPUTCANNOTBEWRITTEN, file.writeData(large.a));
  EXPECT_EQ(0, file.getWritePosition());
  file.close();

  ASSERT_EQ(ZRV_OK, file.open(full.s, false, false));
  Bytes small("abc");
  EXPECT_EQ(ZRV_OK, file.writeData(small.a));
  EXPECT_EQ(ZRV_OUTPUTCANNOTBEWRITTEN, file.flushData());
  EXPECT_EQ(ZRV_OK, file.writeData(small.a));
  EXPECT_EQ(ZRV_OUTPUTCANNOTBEWRITTEN, file.close());
  EXPECT_FALSE(file.isOpen());
}

TEST(MakeFilenameUnique, PicksTheFirstFreeNumber) {
  TempDir dir;
  const std::string run = dir.file("run.log");
  auto unique = [](std::string name, size_t capacity = 4096) {
    std::vector<char> buffer(capacity, '\0');
    std::snprintf(buffer.data(), capacity, "%s", name.c_str());
    makeFilenameUnique(buffer.data(), capacity);
    return std::string(buffer.data());
  };
  EXPECT_EQ(run, unique(run));  // no such file: unchanged
  writeFile(run, "");
  EXPECT_EQ(dir.file("run_1.log"), unique(run));
  writeFile(dir.file("run_1.log"), "");
  EXPECT_EQ(dir.file("run_2.log"), unique(run));
  for (int i = 2; i <= 9; ++i) writeFile(dir.file("run_" + std::to_string(i) + ".log"), "");
  EXPECT_EQ(dir.file("run_n.log"), unique(run));
  char plain[4096];
  std::snprintf(plain, sizeof plain, "%s", run.c_str());
  makeFilenameUnique(plain);  // the path buffer of 4096 bytes
  EXPECT_EQ(dir.file("run_n.log"), plain);
  // A name that would not fit the buffer is left alone rather than cut.
  EXPECT_EQ(run, unique(run, run.size() + 2));

  // Names shorter than an extension keep their whole text as the stem.
  ASSERT_EQ(0, chdir(dir.path().c_str()));
  writeFile("ab", "");
  EXPECT_EQ("ab_1.log", unique("ab"));
  EXPECT_EQ(1, doesFileExist("ab"));
  EXPECT_EQ(0, doesFileExist("ab_1.log"));
  EXPECT_EQ(0, doesFileExist(nullptr));
  ASSERT_EQ(0, chdir("/"));
}

}  // namespace
