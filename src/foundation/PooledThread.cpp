#include "foundation/PooledThread.h"

#include "foundation/ThreadPool.h"

namespace zelto {

PooledThread::PooledThread(ThreadPool* pool) : m_pool(pool) {
  // The pool's wait already bounds an idle pass; a yield on top would only add a syscall.
  setYield(false);
}

PooledThread::~PooledThread() { stopThread(); }

int PooledThread::innerFunction() {
  m_pool->workerPass(this);
  return 0;
}

}  // namespace zelto
