#include "transport/link/ParseMessageTask.h"

#include <exception>

#include "foundation/JournalMacros.h"
#include "transport/link/Communicator.h"

ParseMessageTask::ParseMessageTask(Communicator* link, ZtByteArray* bytes, Journaller* journal)
    : m_link(link), m_bytes(bytes), m_journal(journal) {}

ParseMessageTask::~ParseMessageTask() {
  if (m_bytes) {
    ZtByteArray_destruct(m_bytes);
    delete m_bytes;
  }
}

bool ParseMessageTask::exec() {
  if (!m_bytes || m_bytes->size == 0) return true;
  MessageList& messages = m_link->parseOutput();
  const ZtResultValue result = m_link->processBufferedData(*m_bytes, messages);
  if (result == ZRV_TIMEOUT || result == ZRV_NODATA) return true;
  for (size_t i = 0; i < messages.size(); ++i) {
    // One failing handler must not cost the messages behind it.
    try {
      m_link->handleMessage(messages[i]);
    } catch (const std::exception& e) {
      JLOG_ALERT("message handling failed: " << e.what());
    } catch (...) {
      JLOG_ALERT("message handling failed");
    }
  }
  return true;
}
