#include "foundation/JournalThreader.h"

#include <sys/syscall.h>
#include <unistd.h>

#include "foundation/JournalFile.h"
#include "foundation/JournalTask.h"
#include "foundation/ThreadPool.h"

JournalThreader& journalThreader() {
  // Never destroyed: journals may still write while other static objects go away at exit.
  static JournalThreader* threader = new JournalThreader();
  return *threader;
}

JournalThreader::JournalThreader() = default;

JournalThreader::~JournalThreader() {
  flushAll();
  std::lock_guard<std::mutex> lk(m_mapMutex);
  for (auto& entry : m_files) delete entry.second;
  m_files.clear();
}

int32_t JournalThreader::threadKey() {
  thread_local const int32_t key = static_cast<int32_t>(syscall(SYS_gettid));
  return key;
}

JournalThreader::FileRecord* JournalThreader::fileInfo(JournalFile* file) {
  std::lock_guard<std::mutex> lk(m_mapMutex);
  FileRecord*& record = m_files[file];
  if (!record) {
    record = new FileRecord();
    record->file = file;
  }
  return record;
}

std::string& JournalThreader::line(FileRecord* record, int32_t key) { return record->lines[key].text; }

JournalLogLevel JournalThreader::lineLevel(FileRecord* record, int32_t key) {
  std::lock_guard<std::recursive_mutex> lk(record->mutex);
  return record->lines[key].level;
}

JournalLogLevel JournalThreader::setLineLevel(FileRecord* record, int32_t key, JournalLogLevel level) {
  std::lock_guard<std::recursive_mutex> lk(record->mutex);
  LineRecord& l = record->lines[key];
  const JournalLogLevel previous = l.level;
  l.level = level;
  return previous;
}

void JournalThreader::flushMessage(FileRecord* record, const std::string& text) {
  if (!record->file) return;  // the debug-output sink has no target on this platform
  if (Journaller::threaded()) {
    zelto::ThreadPool* pool = zelto::ThreadPool::instance();
    record->lastTask = pool->addTask(new JournalTask(record, text), record->lastTask);
  } else {
    record->file->stream() << text;
  }
}

void JournalThreader::flushFile(FileRecord* record) {
  unsigned last = 0;
  {
    std::lock_guard<std::recursive_mutex> lk(record->mutex);
    last = record->lastTask;
  }
  // The journal tasks take the record's lock to write: wait without holding it.
  if (last) {
    if (zelto::ThreadPool* pool = zelto::gPool.load(std::memory_order_acquire)) pool->waitForCompletion(last);
  }
  std::lock_guard<std::recursive_mutex> lk(record->mutex);
  if (record->lastTask == last) record->lastTask = 0;
  if (record->file) record->file->stream().flush();
}

void JournalThreader::flushAll() {
  // Held throughout so no record is removed while it is flushed; journal tasks never take it.
  std::lock_guard<std::mutex> lk(m_mapMutex);
  for (auto& entry : m_files) flushFile(entry.second);
}

void JournalThreader::removeFile(JournalFile* file) {
  FileRecord* record = nullptr;
  {
    std::lock_guard<std::mutex> lk(m_mapMutex);
    auto it = m_files.find(file);
    if (it == m_files.end()) return;
    record = it->second;
    m_files.erase(it);
  }
  flushFile(record);
  delete record;
}
