#pragma once
// One open journal file, shared by every Journaller on the same file name.
// The reference count is guarded by the journal file map's lock (Journaller.cpp); the stream
// by the file's record in the JournalThreader.
#include <fstream>
#include <string>

class JournalFile {
 public:
  // Truncates the file when purge is set, else appends. An open failure leaves the stream
  // failed: its lines are then silently lost.
  JournalFile(const std::string& name, bool purge);
  ~JournalFile();
  JournalFile(const JournalFile&) = delete;
  JournalFile& operator=(const JournalFile&) = delete;

  const std::string& name() const { return m_name; }
  std::ofstream& stream() { return m_stream; }

  int m_refCount = 1;

 private:
  std::string m_name;
  std::ofstream m_stream;
};
