#pragma once
// Per-file, per-thread assembly of journal lines, and the hand-over of finished lines to the
// file: at once under the file record's lock, or (threaded mode) as pool tasks chained one
// behind the other per file so lines keep their order.
//
// Lock order: the threader's map lock, then a file record's lock. Journal tasks take only the
// file record's lock; nobody holds it while waiting for them.
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "foundation/Journaller.h"

class JournalFile;

// The pending line of one thread for one file.
struct JournalLineRecord {
  std::string text;
  JournalLogLevel level = JLL_WRITE;  // level of the thread's last log call on this file
};

// Everything the threader keeps for one file.
struct JournalFileRecord {
  JournalFile* file = nullptr;
  std::recursive_mutex mutex;  // guards lines, lastTask and the file's stream
  std::unordered_map<int32_t, JournalLineRecord> lines;  // by thread key
  unsigned lastTask = 0;  // last journal task queued for this file (threaded mode)
};

class JournalThreader {
 public:
  using LineRecord = JournalLineRecord;
  using FileRecord = JournalFileRecord;

  JournalThreader();
  ~JournalThreader();
  JournalThreader(const JournalThreader&) = delete;
  JournalThreader& operator=(const JournalThreader&) = delete;

  // The calling thread's key: its kernel thread id.
  static int32_t threadKey();

  // Finds or makes the record of a file; the record lives until removeFile.
  FileRecord* fileInfo(JournalFile* file);
  // The thread's pending line (made empty when new). Call with the record's lock held.
  std::string& line(FileRecord* record, int32_t key);
  JournalLogLevel lineLevel(FileRecord* record, int32_t key);
  // Returns the previous level.
  JournalLogLevel setLineLevel(FileRecord* record, int32_t key, JournalLogLevel level);
  // Hands one finished text to the file. Call with the record's lock held.
  void flushMessage(FileRecord* record, const std::string& text);
  // Waits for the file's queued journal tasks, then flushes its stream.
  void flushFile(FileRecord* record);
  void flushAll();
  void removeFile(JournalFile* file);

 private:
  std::mutex m_mapMutex;
  std::unordered_map<JournalFile*, FileRecord*> m_files;
};

// The process-wide threader (made on first use, lives until the process ends).
JournalThreader& journalThreader();
