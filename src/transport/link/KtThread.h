#pragma once
// The reader thread of one Communicator. Each pass reads what the port has (up to 8192 bytes)
// and queues it as a ParseMessageTask chained behind the previous one, so blocks are parsed
// strictly in arrival order on the pool while this thread never parses. While a GotoConfig in
// repeat mode waits for its acknowledge, every pass first writes the goto-config block.
#include <atomic>

#include "foundation/Journaller.h"
#include "foundation/StandardThread.h"
#include "zttypes/ztarray.h"

class Communicator;

class KtThread : public zelto::StandardThread {
 public:
  explicit KtThread(Communicator* link);
  // Stops the thread and waits for its last parse task.
  ~KtThread() override;

  // Seeds the jitter generator and sets or clears the repeat-GotoConfig flag.
  void setDoGotoConfig(bool doGotoConfig);
  bool doGotoConfig() const { return m_doGotoConfig.load(std::memory_order_acquire); }
  // Waits until the last parse task this thread queued has run.
  void waitForCompletion();
  Communicator* communicator() const { return m_link; }
  // The bytes written per repeat pass: a GotoConfig with 59 zero payload bytes, then an empty one.
  const ZtByteArray& gotoConfigBlock() const { return m_gotoConfigBlock; }

  // Pause after a repeat write: 5 to 15 ms from a rand() value (64-bit arithmetic).
  static unsigned jitterMs(long randomValue);

 protected:
  void initFunction() override;
  // 0 after a block of any size, 3 after nothing, 1 after a failed read.
  int innerFunction() override;

 private:
  Communicator* const m_link;
  std::atomic<bool> m_doGotoConfig{false};
  std::atomic<unsigned> m_lastTaskId{0};  // written by this thread, read by waiters
  ZtByteArray m_gotoConfigBlock;
  ZtByteArray m_readBuffer;  // reused for every read; only this thread touches it
  Journaller* m_journal = nullptr;  // own journal on the library journal's file, or null
};
