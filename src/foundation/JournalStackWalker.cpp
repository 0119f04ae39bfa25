#include "foundation/JournalStackWalker.h"

#include "foundation/Journaller.h"

JournalStackWalker::JournalStackWalker(Journaller* journal) : m_journal(journal) {}

JournalStackWalker::~JournalStackWalker() = default;

void JournalStackWalker::OnOutput(const std::string& text) { m_journal->writeMessage(text + "\n"); }
