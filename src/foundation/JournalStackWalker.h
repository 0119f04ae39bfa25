#pragma once
// Writes each call-stack frame as its own line into a journal (no time, thread or level prefix;
// the line carries the level of the calling thread's current journal line).
#include "foundation/StackWalker.h"

class Journaller;

class JournalStackWalker : public StackWalker {
 public:
  explicit JournalStackWalker(Journaller* journal);
  ~JournalStackWalker() override;

 protected:
  void OnOutput(const std::string& text) override;

 private:
  Journaller* m_journal;
};
