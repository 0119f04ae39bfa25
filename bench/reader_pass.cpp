// The link reader's hand-over on a warm processor, beside a plain reader in the same run.
//   BM_ReaderPass/<0 library, 1 reference>: a 100-byte data frame is written to a pseudo-terminal
//     and, once the slave has it queued, one reader pass is timed: the library's KtThread pass
//     (wait on the port and the wake-up descriptor, read into the parse backlog, publish it and
//     queue the link's parse task on the pool, which wakes a worker), or the reference's (poll of
//     the port and a stop descriptor, read into a buffer, append it to a mutex-guarded queue and
//     notify a consumer thread through a condition variable). The parse (or the consumer) is
//     waited for untimed between frames, as a 2000 Hz stream leaves it done between packets.
//     10 000 samples after 500 warm-up ones: p50_us and p90_us of the pass (wall time) and
//     cpu_us (the reader thread's CPU per pass, mean).
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "ThreadStats.h"
#include "foundation/ThreadPool.h"
#include "support/PtyPort.h"
#include "support/emulator/EmuFrame.h"
#include "transport/io/SerialInterface.h"
#include "transport/link/Communicator.h"
#include "transport/link/KtThread.h"

namespace {

using Clock = std::chrono::steady_clock;

class ReaderPassProbe : public KtThread {
 public:
  using KtThread::KtThread;
  int pass() { return innerFunction(); }
};

// A plain reader: poll + read, then the bytes handed to a consumer thread.
class PlainHandOff {
 public:
  PlainHandOff(int fd) : m_fd(fd), m_stopFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    m_queue.reserve(1 << 16);
    m_consumer = std::thread([this] {
      std::unique_lock<std::mutex> lk(m_mutex);
      for (;;) {
        m_changed.wait(lk, [&] { return m_stop || !m_queue.empty(); });
        if (m_queue.empty()) return;
        m_taken += m_queue.size();
        m_queue.clear();
        m_done.notify_all();
      }
    });
  }
  ~PlainHandOff() {
    {
      std::lock_guard<std::mutex> lk(m_mutex);
      m_stop = true;
    }
    m_changed.notify_one();
    m_consumer.join();
    close(m_stopFd);
  }
  void pass() {
    pollfd fds[2] = {{m_fd, POLLIN | POLLPRI, 0}, {m_stopFd, POLLIN, 0}};
    if (poll(fds, 2, -1) <= 0) return;
    const ssize_t n = read(m_fd, m_block, sizeof m_block);
    if (n <= 0) return;
    {
      std::lock_guard<std::mutex> lk(m_mutex);
      m_queue.insert(m_queue.end(), m_block, m_block + n);
    }
    m_changed.notify_one();
  }
  void waitTaken(size_t total) {
    std::unique_lock<std::mutex> lk(m_mutex);
    m_done.wait_for(lk, std::chrono::seconds(2), [&] { return m_taken >= total; });
  }

 private:
  int m_fd;
  int m_stopFd;
  uint8_t m_block[8192];
  std::mutex m_mutex;
  std::condition_variable m_changed, m_done;
  std::vector<uint8_t> m_queue;
  size_t m_taken = 0;
  bool m_stop = false;
  std::thread m_consumer;
};

bool waitQueued(int fd, size_t count) {
  for (int i = 0; i < 200000; ++i) {
    int n = 0;
    if (ioctl(fd, FIONREAD, &n) == 0 && n >= static_cast<int>(count)) return true;
    std::this_thread::yield();
  }
  return false;
}

void BM_ReaderPass(benchmark::State& state) {
  const bool reference = state.range(0) != 0;
  zelto::test::PtyPort pty;
  auto* port = new SerialInterface;
  ZtPortInfo info = {};
  std::snprintf(info.portName, sizeof info.portName, "%s", pty.slavePath().c_str());
  info.baudRate = B921600;
  if (port->open(info) != ZRV_OK) {
    delete port;
    state.SkipWithError("port did not open");
    return;
  }
  Communicator link(port);
  zelto::ThreadPool::instance();  // the pool's workers exist before the first sample
  const std::vector<uint8_t> frame = zelto::test::EmuFrame{0xFF, 0x36, std::vector<uint8_t>(95, 0x5A)}.encode();
  constexpr int kWarm = 500, kSamples = 10000;
  std::vector<double> us;
  us.reserve(kSamples);
  double cpuNs = 0;
  for (auto _ : state) {
    ReaderPassProbe probe(&link);
    PlainHandOff* plain = reference ? new PlainHandOff(port->getHandle()) : nullptr;
    size_t sent = 0;
    for (int i = 0; i < kWarm + kSamples; ++i) {
      if (!pty.send(frame) || !waitQueued(pty.slaveFd(), frame.size())) {
        state.SkipWithError("the frame did not arrive");
        break;
      }
      sent += frame.size();
      const double c0 = benchstats::clockNs(CLOCK_THREAD_CPUTIME_ID);
      const auto t0 = Clock::now();
      if (plain)
        plain->pass();
      else
        probe.pass();
      const auto t1 = Clock::now();
      const double c1 = benchstats::clockNs(CLOCK_THREAD_CPUTIME_ID);
      if (i >= kWarm) {
        us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        cpuNs += c1 - c0;
      }
      if (plain)
        plain->waitTaken(sent);
      else
        probe.waitForCompletion();
    }
    delete plain;
  }
  std::sort(us.begin(), us.end());
  if (!us.empty()) {
    state.counters["p50_us"] = us[us.size() / 2];
    state.counters["p90_us"] = us[us.size() * 9 / 10];
    state.counters["cpu_us"] = cpuNs / 1e3 / static_cast<double>(us.size());
  }
}
BENCHMARK(BM_ReaderPass)->Arg(0)->Arg(1)->ArgName("reference")->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
