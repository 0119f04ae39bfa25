// Replacing the library journal: the journal taken away is deleted only after every thread that
// could be writing a line on it has finished that line; uses begun after the swap see the new
// journal and do not hold the replacement up.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "foundation/Journaller.h"
#include "support/TempDir.h"

namespace {

using zelto::test::TempDir;

// A journal that reports its deletion.
class WatchedJournal : public Journaller {
 public:
  WatchedJournal(const std::string& file, std::atomic<bool>& deleted) : Journaller(file), m_deleted(deleted) {}
  ~WatchedJournal() override { m_deleted = true; }

 private:
  std::atomic<bool>& m_deleted;
};

TEST(JournalReplace, TheOldJournalOutlivesEveryUseThatSawIt) {
  TempDir dir;
  std::atomic<bool> deleted{false};
  replaceGlobalJournal(new WatchedJournal(dir.file("a.log"), deleted));

  std::atomic<bool> replaced{false};
  std::thread replacer;
  {
    const JournalUse use;
    ASSERT_NE(use.journal(), nullptr);
    replacer = std::thread([&] {
      replaceGlobalJournal(nullptr);
      replaced = true;
    });
    // The pointer is gone at once; the journal itself stays while this use holds it.
    while (gJournal.load() != nullptr) std::this_thread::yield();
    {
      const JournalUse later;  // begun after the swap: sees no journal
      EXPECT_EQ(later.journal(), nullptr);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(deleted.load());
    EXPECT_FALSE(replaced.load());
    use.journal()->log(JLL_FATAL, "still writable");
  }
  replacer.join();
  EXPECT_TRUE(deleted.load());
  EXPECT_TRUE(replaced.load());
}

TEST(JournalReplace, ReplacingNothingOrWithoutUsersReturnsAtOnce) {
  TempDir dir;
  replaceGlobalJournal(nullptr);
  EXPECT_EQ(gJournal.load(), nullptr);
  std::atomic<bool> deleted{false};
  replaceGlobalJournal(new WatchedJournal(dir.file("b.log"), deleted));
  {
    const JournalUse nested1;
    const JournalUse nested2;
    EXPECT_EQ(nested1.journal(), nested2.journal());
  }
  replaceGlobalJournal(nullptr);
  EXPECT_TRUE(deleted.load());
}

}  // namespace
