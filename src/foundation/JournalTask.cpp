#include "foundation/JournalTask.h"

#include "foundation/JournalFile.h"

JournalTask::JournalTask(JournalThreader::FileRecord* record, std::string text)
    : m_record(record), m_text(std::move(text)) {}

JournalTask::~JournalTask() = default;

bool JournalTask::exec() {
  std::lock_guard<std::recursive_mutex> lk(m_record->mutex);
  if (m_record->file) m_record->file->stream() << m_text;
  return true;
}
