#include "foundation/JournalFile.h"

JournalFile::JournalFile(const std::string& name, bool purge)
    : m_name(name), m_stream(name, purge ? (std::ios::out | std::ios::trunc) : (std::ios::out | std::ios::app)) {}

JournalFile::~JournalFile() {
  if (m_stream.is_open()) {
    m_stream.flush();
    m_stream.close();
  }
}
