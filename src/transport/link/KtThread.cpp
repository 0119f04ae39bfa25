#include "transport/link/KtThread.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <thread>

#include "foundation/ThreadPool.h"
#include "transport/link/Communicator.h"
#include "transport/link/ParseMessageTask.h"
#include "zttypes/ztmessage.h"
#include "zttypes/zttime.h"

namespace {

constexpr uint8_t kGotoConfig = 0x30;
constexpr size_t kPaddedGotoConfigPayload = 59;

void appendGotoConfig(ZtByteArray& block, size_t payloadSize) {
  ZtMessage m;
  ZtMessage_constructSized(&m, payloadSize);
  ZtMessage_setMessageId(&m, kGotoConfig);
  ZtByteArray_append(&block, ZtMessage_getTotalMessageSize(&m), ZtMessage_getMessageStart(&m));
  ZtMessage_destruct(&m);
}

}  // namespace

KtThread::KtThread(Communicator* link) : m_link(link) {
  ZtByteArray_construct(&m_gotoConfigBlock, 0, nullptr);
  ZtByteArray_construct(&m_readBuffer, 0, nullptr);
  appendGotoConfig(m_gotoConfigBlock, kPaddedGotoConfigPayload);
  appendGotoConfig(m_gotoConfigBlock, 0);
  if (Journaller* global = gJournal.load(std::memory_order_acquire))
    m_journal = new Journaller(global->filename(), false, JLL_DEBUG);
}

KtThread::~KtThread() {
  stopThread();
  waitForCompletion();
  ZtByteArray_destruct(&m_readBuffer);
  ZtByteArray_destruct(&m_gotoConfigBlock);
  delete m_journal;
}

void KtThread::setDoGotoConfig(bool doGotoConfig) {
  std::srand(static_cast<unsigned>(ZtTimeStamp_now()));
  m_doGotoConfig.store(doGotoConfig, std::memory_order_release);
}

void KtThread::waitForCompletion() {
  const unsigned id = m_lastTaskId.load(std::memory_order_acquire);
  if (id != 0) zelto::ThreadPool::instance()->waitForCompletion(id);
}

unsigned KtThread::jitterMs(long randomValue) {
  // rand() * 10 overflows an int; the product needs 64 bits.
  return static_cast<unsigned>(5 + (static_cast<int64_t>(randomValue) * 10) / 2147483647);
}

void KtThread::initFunction() { setPriority(5); }

int KtThread::innerFunction() {
  if (doGotoConfig()) {
    if (m_link->writeRawData(m_gotoConfigBlock) != ZRV_OK && m_journal && m_journal->isEnabled(JLL_ALERT))
      m_journal->log(JLL_ALERT, "Sending gotoconfig failed");
    std::this_thread::sleep_for(std::chrono::milliseconds(jitterMs(std::rand())));
  }
  if (m_link->readDataToBuffer(m_readBuffer) != ZRV_OK) return 1;
  const size_t count = m_readBuffer.size;
  if (count == 0) return 3;
  // The task copies the bytes read; the read buffer keeps its capacity.
  const unsigned id = zelto::ThreadPool::instance()->addTask(new ParseMessageTask(m_link, m_readBuffer, m_journal),
                                                             m_lastTaskId.load(std::memory_order_relaxed));
  m_lastTaskId.store(id, std::memory_order_release);
  // Straight on: the next pass waits for the port (poll on a serial line, the blocking read of a
  // measuring USB device), so a pause here would only delay the next message.
  return 0;
}
