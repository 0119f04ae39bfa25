#include "support/PtyPort.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace zelto::test {

PtyPort::PtyPort() {
  char name[256] = {};
  struct termios raw = {};
  cfmakeraw(&raw);
  if (openpty(&m_master, &m_slave, name, &raw, nullptr) != 0)
    throw std::runtime_error("openpty failed");
  fcntl(m_master, F_SETFD, FD_CLOEXEC);
  fcntl(m_slave, F_SETFD, FD_CLOEXEC);
  // Non-blocking master: receive() waits with poll and never blocks past its time-out.
  fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
  m_slavePath = name;
}

PtyPort::~PtyPort() {
  hangUp();
  if (m_slave >= 0) ::close(m_slave);
}

bool PtyPort::send(const void* data, size_t size) {
  if (m_master < 0) return false;
  const auto* p = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = ::write(m_master, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        struct pollfd pfd = {m_master, POLLOUT, 0};
        if (poll(&pfd, 1, 1000) <= 0) return false;
        continue;
      }
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

std::vector<uint8_t> PtyPort::receive(size_t maxSize, int timeoutMs) {
  std::vector<uint8_t> out;
  if (m_master < 0 || maxSize == 0) return out;
  struct pollfd pfd = {m_master, POLLIN, 0};
  if (poll(&pfd, 1, timeoutMs) <= 0 || !(pfd.revents & POLLIN)) return out;
  out.resize(maxSize);
  const ssize_t n = ::read(m_master, out.data(), maxSize);
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

std::vector<uint8_t> PtyPort::receiveExactly(size_t size, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::vector<uint8_t> out;
  while (out.size() < size) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    const std::vector<uint8_t> part = receive(size - out.size(), static_cast<int>(left));
    out.insert(out.end(), part.begin(), part.end());
  }
  return out;
}

void PtyPort::hangUp() {
  if (m_master >= 0) {
    ::close(m_master);
    m_master = -1;
  }
}

}  // namespace zelto::test
