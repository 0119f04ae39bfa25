#include "transport/link/ParseMessageTask.h"

#include <exception>
#include <new>

#include "foundation/JournalMacros.h"
#include "transport/link/Communicator.h"
#include "transport/link/KtThread.h"

namespace {

// Every task object is preceded by a header naming the slot it occupies (null: the heap).
constexpr size_t kHeader = 16;

struct Header {
  ParseMessageTask::Slot* slot;
};
static_assert(sizeof(Header) <= kHeader);

void* placed(void* block, ParseMessageTask::Slot* slot) {
  ::new (block) Header{slot};
  return static_cast<unsigned char*>(block) + kHeader;
}

}  // namespace

void* ParseMessageTask::operator new(size_t size) { return placed(::operator new(kHeader + size), nullptr); }

void* ParseMessageTask::operator new(size_t size, Slot* slots, size_t count) {
  static_assert(kHeader + sizeof(ParseMessageTask) <= Slot::kBytes);
  if (kHeader + size <= Slot::kBytes) {
    for (size_t i = 0; i < count; ++i) {
      if (!slots[i].busy.load(std::memory_order_acquire)) {
        slots[i].busy.store(true, std::memory_order_relaxed);
        return placed(slots[i].storage, &slots[i]);
      }
    }
  }
  return operator new(size);
}

void ParseMessageTask::operator delete(void* p) noexcept {
  if (!p) return;
  void* block = static_cast<unsigned char*>(p) - kHeader;
  Slot* slot = static_cast<Header*>(block)->slot;
  if (slot)
    slot->busy.store(false, std::memory_order_release);
  else
    ::operator delete(block);
}

void ParseMessageTask::operator delete(void* p, Slot*, size_t) noexcept { operator delete(p); }

ParseMessageTask::ParseMessageTask(Communicator* link, ZtByteArray* bytes, Journaller* journal)
    : m_link(link), m_bytes(bytes), m_journal(journal) {}

ParseMessageTask::ParseMessageTask(KtThread* reader) : m_link(reader->communicator()), m_reader(reader) {}

ParseMessageTask::~ParseMessageTask() {
  if (m_bytes) {
    ZtByteArray_destruct(m_bytes);
    delete m_bytes;
  }
}

bool ParseMessageTask::exec() {
  if (m_reader) {
    MessageList& messages = m_link->parseOutput();
    for (int i = 0; i < KtThread::kChunksPerTask; ++i) {
      ZtResultValue result = ZRV_NODATA;
      // A throw must not end the reader's task early: its backlog would never be taken again.
      try {
        if (!m_link->parseReaderChunk(*m_reader, messages, result)) return true;
      } catch (const std::exception& e) {
        JLOG_ALERT("parsing failed: " << e.what());
        continue;
      } catch (...) {
        JLOG_ALERT("parsing failed");
        continue;
      }
      deliver(messages, result);
    }
    // Make way for other pool work; a follower continues with the rest.
    m_reader->continueParsing();
    return true;
  }
  if (m_bytes && m_bytes->size > 0) parse(*m_bytes);
  return true;
}

void ParseMessageTask::parse(const ZtByteArray& bytes) {
  MessageList& messages = m_link->parseOutput();
  ZtResultValue result;
  try {
    result = m_link->processBufferedData(bytes, messages);
  } catch (const std::exception& e) {
    JLOG_ALERT("parsing failed: " << e.what());
    return;
  } catch (...) {
    JLOG_ALERT("parsing failed");
    return;
  }
  deliver(messages, result);
}

void ParseMessageTask::deliver(MessageList& messages, ZtResultValue result) {
  if (result == ZRV_TIMEOUT || result == ZRV_NODATA) return;
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
}
