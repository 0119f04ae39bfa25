#include "support/JournalCapture.h"

#include <fstream>
#include <iterator>
#include <sstream>

#include "foundation/Journaller.h"

namespace zelto::test {

JournalCapture::JournalCapture() : m_path(m_dir.file("journal.log")), m_journal(new Journaller(m_path, true, JLL_ALERT)) {
  replaceGlobalJournal(m_journal);
}

JournalCapture::~JournalCapture() { replaceGlobalJournal(nullptr); }

std::string JournalCapture::text() const {
  m_journal->flushFile();
  std::ifstream in(m_path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

size_t JournalCapture::count(const std::string& fragment) const {
  std::istringstream lines(text());
  size_t n = 0;
  for (std::string line; std::getline(lines, line);) n += line.find(fragment) != std::string::npos ? 1 : 0;
  return n;
}

}  // namespace zelto::test
