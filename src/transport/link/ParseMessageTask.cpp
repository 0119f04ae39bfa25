#include "transport/link/ParseMessageTask.h"

#include <exception>

#include "foundation/JournalMacros.h"
#include "foundation/SpareList.h"
#include "transport/link/Communicator.h"

namespace {

// Blocks queued at once before queueing allocates again, and the storage a spare array may keep
// (one full read). Made once and never destroyed: the pool may delete tasks while the process
// exits.
constexpr size_t kSpareLimit = 256;

zelto::SpareList<void>& spareBlocks() {
  static auto* spares = new zelto::SpareList<void>(kSpareLimit);
  return *spares;
}

zelto::SpareList<ZtByteArray>& spareArrays() {
  static auto* spares = new zelto::SpareList<ZtByteArray>(kSpareLimit);
  return *spares;
}

}  // namespace

void* ParseMessageTask::operator new(std::size_t size) {
  if (size == sizeof(ParseMessageTask))
    if (void* block = spareBlocks().take()) return block;
  return ::operator new(size);
}

void ParseMessageTask::operator delete(void* block, std::size_t size) noexcept {
  if (!block) return;
  if (size == sizeof(ParseMessageTask) && spareBlocks().give(block)) return;
  ::operator delete(block);
}

ParseMessageTask::ParseMessageTask(Communicator* link, const ZtByteArray& bytes, Journaller* journal)
    : m_link(link), m_bytes(spareArrays().take()), m_journal(journal) {
  if (!m_bytes) {
    m_bytes = new ZtByteArray;
    ZtByteArray_construct(m_bytes, 0, nullptr);
  }
  // On a failed copy (no memory) the block is parsed as empty.
  if (ZtArray_assign(ZTARRAY(m_bytes), bytes.size, bytes.data) != 0) ZtArray_assign(ZTARRAY(m_bytes), 0, nullptr);
}

ParseMessageTask::~ParseMessageTask() {
  if (m_bytes->reserved <= Communicator::kReadBlockSize && spareArrays().give(m_bytes)) return;
  ZtByteArray_destruct(m_bytes);
  delete m_bytes;
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
