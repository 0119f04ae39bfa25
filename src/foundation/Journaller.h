#pragma once
// The journal: time-stamped, thread-tagged text lines in a log file, with a file threshold and
// a debug-output threshold. Lines look like
//   "%10ld.%03d " (seconds.milliseconds) "<%04X> " (kernel thread id) <tag> <level text> <message>
// Several journals on one file name share one open file. Each thread assembles its own pending
// line per file, so lines of different threads never interleave.
//
// Call sites use the macros of foundation/JournalMacros.h.
#include <atomic>
#include <string>

typedef int JournalLogLevel;
enum : int {
  JLL_TRACE = 0,
  JLL_DEBUG = 1,
  JLL_ALERT = 2,
  JLL_ERROR = 3,
  JLL_FATAL = 4,
  JLL_WRITE = 5,
  JLL_OFF = 6  // a threshold of 6 or more lets nothing through
};

// "[TRACE] " .. "[WRITE] " for levels 0..5.
extern const char* const gLogLevelString[6];
// The level text; "[OFF] " for 6 and above, "" for negative levels.
const char* journalLevelText(JournalLogLevel level);

class JournalFile;
struct JournalFileRecord;

class Journaller {
 public:
  // Both thresholds = level. A journal on a file name already open shares that file (its purge
  // choice stays as first made); otherwise the file is truncated (purge) or appended to.
  Journaller(const char* fileName, bool purge = true, JournalLogLevel level = JLL_ERROR);
  Journaller(const std::string& fileName, bool purge = true, JournalLogLevel level = JLL_ERROR)
      : Journaller(fileName.c_str(), purge, level) {}
  virtual ~Journaller();
  Journaller(const Journaller&) = delete;
  Journaller& operator=(const Journaller&) = delete;

  // One journal line; nothing is formatted when level is below both thresholds.
  virtual void log(JournalLogLevel level, const char* message);
  void log(JournalLogLevel level, const std::string& message) { log(level, message.c_str()); }
  // A few lines naming the file, the application, the time, the level and the threading mode.
  virtual void writeFileHeader(const char* applicationName);
  // Text written after the thread id of each line (default: none).
  virtual std::string tag() const;

  void setLogLevel(JournalLogLevel level);
  void setDebugLevel(JournalLogLevel level);
  JournalLogLevel logLevel() const { return m_logLevel.load(std::memory_order_relaxed); }
  JournalLogLevel debugLevel() const { return m_debugLevel.load(std::memory_order_relaxed); }
  // level is at or above the file or the debug threshold.
  bool isEnabled(JournalLogLevel level) const { return level >= logLevel() || level >= debugLevel(); }

  // At or above the file threshold: the current call stack between two marker lines.
  void writeCallstack(JournalLogLevel level);

  // Pieces of the calling thread's pending line; a piece ending in CR or LF (or an empty
  // piece) ends the line.
  void writeTime();
  void writeThread();
  void writeTag();
  void writeLevel(JournalLogLevel level);
  void writeMessage(const char* text);
  void writeMessage(const std::string& text) { writeMessage(text.c_str()); }
  // Hands the pending line to the file (and debug sink) when its level passes.
  void flush();
  // Writes out what is buffered for this journal's file (waiting for queued journal tasks).
  void flushFile();

  const std::string& filename() const;

  // Threaded mode: finished lines are written by chained pool tasks, one chain per file.
  static bool threaded();
  static void setThreaded(bool threaded);

 private:
  void piece(const char* text, size_t length, bool emptyFlushes);

  JournalFile* m_file;
  JournalFileRecord* m_record;  // the threader's record of m_file; lives as long as the file
  std::atomic<JournalLogLevel> m_logLevel;
  std::atomic<JournalLogLevel> m_debugLevel;
};

// The library journal: null (journalling off) until the application sets a log path. Read it
// through a JournalUse (the macros of JournalMacros.h do); replace it only with
// replaceGlobalJournal.
extern std::atomic<Journaller*> gJournal;

// Keeps the library journal of the moment alive for a scope (a line being written): a
// replacement deletes the journal it took away only after every use that could have seen it has
// ended. Cheap: two atomic increments on a shared counter; uses nest.
class JournalUse {
 public:
  JournalUse() noexcept;
  ~JournalUse();
  JournalUse(const JournalUse&) = delete;
  JournalUse& operator=(const JournalUse&) = delete;
  // Null when journalling is off.
  Journaller* journal() const { return m_journal; }

 private:
  unsigned m_slot;
  Journaller* m_journal;
};

// Publishes journal (null: journalling off) as gJournal, then waits until no thread uses the
// previous journal and deletes it. Replacements are serialised. Never from inside a JournalUse
// of the calling thread (it would wait for itself).
void replaceGlobalJournal(Journaller* journal);
