// Journal lines read back from the file: format, levels, line integrity across threads,
// shared files, threaded mode, header, call stack and the call-site macros.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "foundation/JournalMacros.h"
#include "foundation/Semaphore.h"
#include "foundation/ThreadPool.h"
#include "support/TempDir.h"
#include "zttypes/zttime.h"

using zelto::test::TempDir;

namespace {

std::vector<std::string> readLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

struct Parsed {
  long seconds = 0;
  int millis = 0;
  unsigned thread = 0;
  std::string level;
  std::string message;
};

// "%10ld.%03d <%04X> [LEVEL] message"
bool parse(const std::string& line, Parsed& out) {
  if (line.size() < 10 || line.find('.') != 10) return false;
  char levelText[16] = {};
  int consumed = 0;
  if (std::sscanf(line.c_str(), "%10ld.%3d <%8X> %15[^]]]%n", &out.seconds, &out.millis, &out.thread, levelText,
                  &consumed) != 4)
    return false;
  for (int i = 11; i < 14; ++i)
    if (line[i] < '0' || line[i] > '9') return false;
  if (line[14] != ' ' || line[15] != '<') return false;
  if (levelText[0] != '[' || static_cast<size_t>(consumed) >= line.size() || line[consumed] != ' ') return false;
  out.level = std::string(levelText) + "] ";
  out.message = line.substr(consumed + 1);
  return true;
}

std::vector<Parsed> parsedLines(const std::string& path) {
  std::vector<Parsed> out;
  for (const std::string& l : readLines(path)) {
    Parsed p;
    if (parse(l, p)) out.push_back(p);
  }
  return out;
}

class JournalTest : public ::testing::Test {
 protected:
  TempDir tmp;
  std::string path = tmp.file("zda.log");
};

TEST_F(JournalTest, LineFormatAndLevelTexts) {
  {
    Journaller j(path, true, JLL_TRACE);
    for (int level = JLL_TRACE; level <= JLL_WRITE; ++level) j.log(level, "level " + std::to_string(level));
  }
  const auto lines = readLines(path);
  ASSERT_EQ(lines.size(), 6u);
  const char* texts[] = {"[TRACE] ", "[DEBUG] ", "[ALERT] ", "[ERROR] ", "[FATAL] ", "[WRITE] "};
  const long now = static_cast<long>(ZtTimeStamp_now() / 1000);
  const unsigned tid = static_cast<unsigned>(syscall(SYS_gettid));
  for (int level = 0; level < 6; ++level) {
    Parsed p;
    ASSERT_TRUE(parse(lines[level], p)) << lines[level];
    EXPECT_EQ(p.level, texts[level]);
    EXPECT_EQ(p.message, "level " + std::to_string(level));
    EXPECT_EQ(p.thread, tid);
    EXPECT_LE(std::labs(p.seconds - now), 5);
    EXPECT_EQ(lines[level].find('.'), 10u) << "seconds right-aligned in 10 columns";
  }
}

TEST_F(JournalTest, FileThresholdFiltersLines) {
  {
    Journaller j(path, true, JLL_ERROR);
    j.setDebugLevel(JLL_FATAL);
    j.log(JLL_ALERT, "below both");
    j.log(JLL_ERROR, "at the file level");
    j.log(JLL_FATAL, "above both");
    j.setLogLevel(JLL_OFF);
    j.log(JLL_FATAL, "file off");
  }
  std::vector<std::string> messages;
  for (const Parsed& p : parsedLines(path)) messages.push_back(p.level + p.message);
  // Switching the file off leaves its own line (and every later one) to the debug sink only.
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0].rfind("[WRITE] ", 0), 0u);
  EXPECT_NE(messages[0].find("Journaller.cpp("), std::string::npos);
  EXPECT_NE(messages[0].find("):setDebugLevel Debugger output log level switched to [FATAL] "), std::string::npos);
  EXPECT_EQ(messages[1], "[ERROR] at the file level");
  EXPECT_EQ(messages[2], "[FATAL] above both");
}

TEST_F(JournalTest, LevelChangeToOffWithTheOtherOffWritesNothing) {
  {
    Journaller j(path, true, JLL_OFF);
    j.setLogLevel(JLL_OFF);
    j.setDebugLevel(JLL_OFF);
    j.log(JLL_WRITE, "nothing");
  }
  EXPECT_TRUE(readLines(path).empty());
}

TEST_F(JournalTest, EmptyMessageIsOneWholeLine) {
  {
    Journaller j(path, true, JLL_ERROR);
    j.log(JLL_ERROR, "");
    j.log(JLL_ERROR, "next");
  }
  const auto lines = readLines(path);
  ASSERT_EQ(lines.size(), 2u);
  Parsed p;
  ASSERT_TRUE(parse(lines[0], p));
  EXPECT_EQ(p.message, "");
  ASSERT_TRUE(parse(lines[1], p));
  EXPECT_EQ(p.message, "next");
}

// A line written by one thread between two pieces of another thread's line lands whole,
// before or after that line, never inside it.
TEST_F(JournalTest, PartialLinesOfTwoThreadsNeverInterleave) {
  {
    Journaller j(path, true, JLL_ERROR);
    zelto::Semaphore firstPieceWritten, otherLineWritten;
    std::thread b([&] {
      j.writeMessage("B first piece, ");
      firstPieceWritten.post();
      otherLineWritten.wait1(10000);
      j.writeMessage("B second piece\n");
    });
    ASSERT_TRUE(firstPieceWritten.wait1(10000));
    j.log(JLL_ERROR, "A whole line");
    otherLineWritten.post();
    b.join();
  }
  const auto lines = readLines(path);
  ASSERT_EQ(lines.size(), 2u);
  Parsed p;
  ASSERT_TRUE(parse(lines[0], p)) << lines[0];
  EXPECT_EQ(p.message, "A whole line");
  EXPECT_EQ(lines[1], "B first piece, B second piece");
}

TEST_F(JournalTest, TwoJournalsShareOneFileUntilTheLastGoes) {
  auto first = std::make_unique<Journaller>(path, true, JLL_ERROR);
  first->log(JLL_ERROR, "one");
  first->flushFile();
  auto second = std::make_unique<Journaller>(path, true, JLL_ERROR);  // purge has no effect now
  EXPECT_EQ(second->filename(), path);
  second->log(JLL_ERROR, "two");
  first.reset();
  second->log(JLL_ERROR, "three");  // the file stays open for the second journal
  second.reset();
  std::vector<std::string> messages;
  for (const Parsed& p : parsedLines(path)) messages.push_back(p.message);
  EXPECT_EQ(messages, (std::vector<std::string>{"one", "two", "three"}));

  // A new first journal on the name purges again.
  { Journaller again(path, true, JLL_ERROR); }
  EXPECT_TRUE(readLines(path).empty());
  { Journaller append(path, false, JLL_ERROR); append.log(JLL_ERROR, "appended"); }
  EXPECT_EQ(readLines(path).size(), 1u);
}

TEST_F(JournalTest, ThreadedModeKeepsEachThreadsOrder) {
  constexpr int kThreads = 4;
  constexpr int kLines = 300;
  {
    Journaller j(path, true, JLL_ERROR);
    Journaller::setThreaded(true);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        for (int i = 0; i < kLines; ++i) j.log(JLL_ERROR, "T" + std::to_string(t) + " " + std::to_string(i));
      });
    for (auto& th : threads) th.join();
    Journaller::setThreaded(false);  // waits for the queued journal tasks
  }
  std::map<int, int> next;
  int total = 0;
  for (const Parsed& p : parsedLines(path)) {
    int t = -1, i = -1;
    ASSERT_EQ(std::sscanf(p.message.c_str(), "T%d %d", &t, &i), 2) << p.message;
    EXPECT_EQ(i, next[t]) << "thread " << t;
    next[t] = i + 1;
    ++total;
  }
  EXPECT_EQ(total, kThreads * kLines);
}

TEST_F(JournalTest, HeaderFollowsTheLevelOfTheThreadsLastLine) {
  {
    Journaller j(path, true, JLL_ERROR);
    j.setDebugLevel(JLL_FATAL);  // writes at level 5: the thread's line level is now 5
    j.writeFileHeader("zda");
    j.log(JLL_ALERT, "below");  // filtered before it changes the line level
    j.log(JLL_ERROR, "error");
    j.setLogLevel(JLL_FATAL);
    j.log(JLL_ERROR, "hidden");
  }
  const auto lines = readLines(path);
  ASSERT_GE(lines.size(), 6u);
  EXPECT_EQ(lines[1], "Journaller logging to " + path + " for zda");
  EXPECT_EQ(lines[2].rfind("Current time is ", 0), 0u);
  EXPECT_EQ(lines[3], "Current log level is [ERROR] ");
  EXPECT_EQ(lines[4], "Journaller is not using threaded logging");
  Parsed p;
  ASSERT_TRUE(parse(lines[5], p));
  EXPECT_EQ(p.message, "error");
  EXPECT_EQ(readLines(path).back().find("hidden"), std::string::npos);

  // On a fresh thread the header has the new-record level 5 and passes a threshold of 5.
  {
    Journaller j(path, true, JLL_WRITE);
    std::thread([&] { j.writeFileHeader(""); }).join();
  }
  const auto header = readLines(path);
  ASSERT_EQ(header.size(), 4u);
  EXPECT_EQ(header[0], "Journaller logging to " + path);
  EXPECT_EQ(header[2], "Current log level is [WRITE] ");
}

TEST_F(JournalTest, CallstackBetweenMarkersOnlyAtOrAboveTheFileLevel) {
  {
    Journaller j(path, true, JLL_ERROR);
    j.writeCallstack(JLL_ALERT);
    j.writeCallstack(JLL_FATAL);
  }
  const auto lines = readLines(path);
  ASSERT_GE(lines.size(), 3u);
  Parsed first, last;
  ASSERT_TRUE(parse(lines.front(), first));
  ASSERT_TRUE(parse(lines.back(), last));
  EXPECT_EQ(first.level, "[FATAL] ");
  EXPECT_EQ(first.message, "************ Dump Begin ************");
  EXPECT_EQ(last.message, "************* Dump End *************");
  for (size_t i = 1; i + 1 < lines.size(); ++i) {
    Parsed p;
    EXPECT_FALSE(parse(lines[i], p)) << "frames carry no prefix: " << lines[i];
    EXPECT_FALSE(lines[i].empty());
  }
}

TEST_F(JournalTest, MacrosFormatOnlyWhatPassesAndPrefixTheCallSite) {
  Journaller j(path, true, JLL_ERROR);
  int evaluated = 0;
  auto costly = [&] { return ++evaluated; };
  JLOG_TO(&j, JLL_DEBUG, "hidden " << costly());
  EXPECT_EQ(evaluated, 0);
  JLOG_TO(&j, JLL_ERROR, "shown " << costly());
  EXPECT_EQ(evaluated, 1);
  const int line = __LINE__ - 2;

  Journaller* saved = gJournal.exchange(nullptr);
  JLOG_ERROR("no journal " << costly());
  EXPECT_EQ(evaluated, 1);
  EXPECT_FALSE(JLOG_ENABLED(JLL_FATAL));
  gJournal = &j;
  EXPECT_TRUE(JLOG_ENABLED(JLL_ERROR));
  EXPECT_FALSE(JLOG_ENABLED(JLL_ALERT));
  JLOG_FATAL("global " << 7);
  gJournal = saved;

  j.flushFile();
  const auto lines = parsedLines(path);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].message, std::string(__FILE__) + "(" + std::to_string(line) + "):TestBody shown 1");
  EXPECT_EQ(lines[1].level, "[FATAL] ");
  EXPECT_NE(lines[1].message.find("):TestBody global 7"), std::string::npos);
}

TEST_F(JournalTest, UnopenableFileSwallowsLinesAndLeavesOtherFilesAlone) {
  const std::string missing = tmp.file("missing/dir/zda.log");
  {
    Journaller lost(missing, true, JLL_TRACE);
    Journaller kept(path, true, JLL_TRACE);
    EXPECT_EQ(lost.filename(), missing);
    EXPECT_NO_THROW({
      lost.log(JLL_FATAL, "lost");
      lost.writeFileHeader("zda");
      lost.flushFile();
    });
    kept.log(JLL_FATAL, "kept");
  }
  EXPECT_TRUE(readLines(missing).empty());
  const auto lines = parsedLines(path);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].message, "kept");
}

}  // namespace
