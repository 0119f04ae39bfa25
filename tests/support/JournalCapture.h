#pragma once
// The library journal, alert level and above, into a temporary file while the object lives
// (journalling is off again afterwards): a test reads what was journalled. One at a time.
//
//   JournalCapture journal;
//   ... run ...
//   EXPECT_EQ(journal.count("recorded without the packets"), 1u);
#include <string>

#include "support/TempDir.h"

class Journaller;

namespace zelto::test {

class JournalCapture {
 public:
  JournalCapture();
  ~JournalCapture();
  JournalCapture(const JournalCapture&) = delete;
  JournalCapture& operator=(const JournalCapture&) = delete;

  // Everything journalled so far.
  std::string text() const;
  // The journal lines that contain fragment.
  size_t count(const std::string& fragment) const;

 private:
  TempDir m_dir;
  std::string m_path;
  Journaller* m_journal;
};

}  // namespace zelto::test
