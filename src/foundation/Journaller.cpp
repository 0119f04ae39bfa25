#include "foundation/Journaller.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "foundation/JournalFile.h"
#include "foundation/JournalMacros.h"
#include "foundation/JournalStackWalker.h"
#include "foundation/JournalThreader.h"
#include "zttypes/zttime.h"

std::atomic<Journaller*> gJournal{nullptr};

namespace {

// Uses of gJournal in progress, counted in two slots by the parity of the epoch they began in.
// A replacement swaps the pointer, then twice moves the epoch on and waits for the slot just
// left to empty: every use that could have loaded the old pointer began (incremented its slot)
// before the swap, so it is counted in one of the two slots the replacement drains, while new
// uses go to the other slot and cannot keep the wait going forever. Constant-initialised, so
// they work in load and unload hooks and at exit.
std::atomic<unsigned> gJournalEpoch{0};
std::atomic<long> gJournalUses[2] = {{0}, {0}};
std::mutex gJournalReplaceMutex;

}  // namespace

JournalUse::JournalUse() noexcept : m_slot(gJournalEpoch.load() & 1u), m_journal(nullptr) {
  gJournalUses[m_slot].fetch_add(1);
  m_journal = gJournal.load();
}

JournalUse::~JournalUse() {
  if (gJournalUses[m_slot].fetch_sub(1) == 1) gJournalUses[m_slot].notify_all();
}

void replaceGlobalJournal(Journaller* journal) {
  std::lock_guard<std::mutex> lock(gJournalReplaceMutex);
  Journaller* previous = gJournal.exchange(journal);
  if (!previous) return;
  for (int pass = 0; pass < 2; ++pass) {
    std::atomic<long>& uses = gJournalUses[gJournalEpoch.fetch_add(1) & 1u];
    for (long n = uses.load(); n != 0; n = uses.load()) uses.wait(n);
  }
  delete previous;
}

const char* const gLogLevelString[6] = {"[TRACE] ", "[DEBUG] ", "[ALERT] ", "[ERROR] ", "[FATAL] ", "[WRITE] "};

const char* journalLevelText(JournalLogLevel level) {
  if (level < 0) return "";
  if (level >= JLL_OFF) return "[OFF] ";
  return gLogLevelString[level];
}

namespace {

std::atomic<bool> gThreaded{false};

// File name -> shared file. Made on first use and never destroyed (journals may outlive other
// static objects at exit). The lock also guards every JournalFile's reference count.
struct JournalFileMap {
  std::mutex mutex;
  std::map<std::string, JournalFile*> files;
};

JournalFileMap& journalFileMap() {
  static JournalFileMap* map = new JournalFileMap();
  return *map;
}

std::string timeText() {
  const ZtTimeStamp ms = ZtTimeStamp_now();
  char buf[48];
  std::snprintf(buf, sizeof buf, "%10ld.%03d ", static_cast<long>(ms / 1000), static_cast<int>(ms % 1000));
  return buf;
}

}  // namespace

Journaller::Journaller(const char* fileName, bool purge, JournalLogLevel level)
    : m_file(nullptr), m_record(nullptr), m_logLevel(level), m_debugLevel(level) {
  const std::string name = fileName ? fileName : "";
  JournalFileMap& map = journalFileMap();
  std::lock_guard<std::mutex> lk(map.mutex);
  JournalFile*& file = map.files[name];
  if (file)
    ++file->m_refCount;
  else
    file = new JournalFile(name, purge);
  m_file = file;
  m_record = journalThreader().fileInfo(m_file);
}

Journaller::~Journaller() {
  JournalFileMap& map = journalFileMap();
  std::lock_guard<std::mutex> lk(map.mutex);
  if (--m_file->m_refCount > 0) return;
  map.files.erase(m_file->name());
  // Writes out the queued lines, then drops the record; the file closes on delete.
  journalThreader().removeFile(m_file);
  delete m_file;
}

std::string Journaller::tag() const { return std::string(); }

const std::string& Journaller::filename() const { return m_file->name(); }

bool Journaller::threaded() { return gThreaded.load(std::memory_order_acquire); }

void Journaller::setThreaded(bool threaded) {
  const bool was = gThreaded.exchange(threaded, std::memory_order_acq_rel);
  if (was && !threaded) journalThreader().flushAll();
}

void Journaller::piece(const char* text, size_t length, bool emptyFlushes) {
  JournalFileRecord* record = m_record;
  std::lock_guard<std::recursive_mutex> lk(record->mutex);
  if (length == 0) {
    if (emptyFlushes) flush();
    return;
  }
  std::string& line = journalThreader().line(record, JournalThreader::threadKey());
  line.append(text, length);
  const char last = text[length - 1];
  if (last == '\n' || last == '\r') flush();
}

void Journaller::flush() {
  JournalThreader& threader = journalThreader();
  JournalFileRecord* record = m_record;
  std::lock_guard<std::recursive_mutex> lk(record->mutex);
  JournalThreader::LineRecord& line = record->lines[JournalThreader::threadKey()];
  if (line.text.empty()) return;
  // The debug-output sink drops its lines on this platform, so only the file threshold matters.
  if (line.level >= logLevel()) threader.flushMessage(record, line.text);
  line.text.clear();
}

void Journaller::flushFile() { journalThreader().flushFile(m_record); }

void Journaller::writeTime() {
  const std::string t = timeText();
  piece(t.data(), t.size(), true);
}

void Journaller::writeThread() {
  char buf[24];
  std::snprintf(buf, sizeof buf, "<%04X> ", static_cast<unsigned>(JournalThreader::threadKey()));
  piece(buf, std::strlen(buf), true);
}

void Journaller::writeTag() {
  const std::string t = tag();
  piece(t.data(), t.size(), false);  // an empty tag is skipped, not a line end
}

void Journaller::writeLevel(JournalLogLevel level) {
  const char* t = journalLevelText(level);
  piece(t, std::strlen(t), true);
}

void Journaller::writeMessage(const char* text) {
  if (!text) text = "";
  piece(text, std::strlen(text), true);
}

void Journaller::log(JournalLogLevel level, const char* message) {
  if (!isEnabled(level)) return;
  JournalFileRecord* record = m_record;
  // Held across the pieces so the line level and the pending text belong to this call.
  std::lock_guard<std::recursive_mutex> lk(record->mutex);
  journalThreader().setLineLevel(record, JournalThreader::threadKey(), level);
  writeTime();
  writeThread();
  writeTag();
  writeLevel(level);
  // An empty message must not end the line before its "\n": the prefix would go out alone
  // and another thread's line could land between it and the line end.
  if (message && *message) writeMessage(message);
  writeMessage("\n");
}

void Journaller::writeFileHeader(const char* applicationName) {
  JournalFileRecord* record = m_record;
  std::lock_guard<std::recursive_mutex> lk(record->mutex);
  writeMessage("Journaller logging to ");
  writeMessage(m_file->name());
  if (applicationName && *applicationName) {
    writeMessage(" for ");
    writeMessage(applicationName);
  }
  writeMessage("\nCurrent time is ");
  writeTime();
  writeMessage("\nCurrent log level is ");
  writeLevel(logLevel());
  writeMessage("\nJournaller is ");
  if (!threaded()) writeMessage("not ");
  writeMessage("using threaded logging\n");
}

void Journaller::setLogLevel(JournalLogLevel level) {
  m_logLevel.store(level, std::memory_order_relaxed);
  JLOG_TO(this, JLL_WRITE, "Log level switched to " << journalLevelText(level));
}

void Journaller::setDebugLevel(JournalLogLevel level) {
  m_debugLevel.store(level, std::memory_order_relaxed);
  JLOG_TO(this, JLL_WRITE, "Debugger output log level switched to " << journalLevelText(level));
}

void Journaller::writeCallstack(JournalLogLevel level) {
  if (level < logLevel()) return;
  log(level, "************ Dump Begin ************");
  JournalStackWalker walker(this);
  walker.ShowCallstack();
  log(level, "************* Dump End *************");
}
