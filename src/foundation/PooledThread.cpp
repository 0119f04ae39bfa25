#include "foundation/PooledThread.h"

#include "foundation/ThreadPool.h"

namespace zelto {

PooledThread::PooledThread(ThreadPool* pool) : m_pool(pool) {
  // Each pass ends in the pool's wait; a yield on top would only add a syscall.
  setYield(false);
}

PooledThread::~PooledThread() { stopThread(); }

int PooledThread::innerFunction() {
  m_pool->workerPass(this);
  return 0;
}

}  // namespace zelto
