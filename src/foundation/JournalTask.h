#pragma once
// Writes one finished journal text to its file on a pool worker (threaded journal mode).
#include <string>

#include "foundation/JournalThreader.h"
#include "foundation/ThreadPoolTask.h"

class JournalTask : public zelto::ThreadPoolTask {
 public:
  JournalTask(JournalThreader::FileRecord* record, std::string text);
  ~JournalTask() override;
  bool exec() override;

 private:
  JournalThreader::FileRecord* m_record;
  std::string m_text;
};
