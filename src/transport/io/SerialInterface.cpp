#include "transport/io/SerialInterface.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "foundation/JournalMacros.h"

namespace {

// A read that fails this way means the line is gone: the device was unplugged or the other
// side of a pseudo-terminal hung up.
bool isHangUp(int error) { return error == EIO || error == ENXIO || error == ENODEV; }

}  // namespace

SerialInterface::SerialInterface() = default;

SerialInterface::~SerialInterface() {
  if (m_fd >= 0) {
    tcflush(m_fd, TCIOFLUSH);
    ::close(m_fd);
  }
}

void SerialInterface::applyTimeoutToSettings() {
  // VTIME is one byte of tenths of a second; longer time-outs saturate (the reads are bounded by
  // poll anyway, which takes the full value).
  m_settings.c_cc[VMIN] = 0;
  m_settings.c_cc[VTIME] =
      static_cast<cc_t>(std::min<uint64_t>((uint64_t{getTimeout()} + 99) / 100, 255));
}

ZtResultValue SerialInterface::failOpen(ZtResultValue result) {
  JLOG_ALERT("cannot set up serial port, result " << result << ", errno " << errno);
  tcflush(m_fd, TCIOFLUSH);
  ::close(m_fd);
  m_fd = -1;
  return record(result);
}

ZtResultValue SerialInterface::open(const ZtPortInfo& portInfo, uint32_t, uint32_t) {
  if (isOpen()) return record(ZRV_ALREADYOPEN);
  m_baudRate = portInfo.baudRate;

  // The name field holds 31 characters; a longer name is refused rather than cut, since a cut
  // name would name a different node.
  const size_t nameLength = strnlen(portInfo.portName, sizeof portInfo.portName);
  if (nameLength == 0 || nameLength >= sizeof m_portName) return record(ZRV_INPUTCANNOTBEOPENED);
  char name[sizeof m_portName];
  std::memcpy(name, portInfo.portName, nameLength);
  name[nameLength] = '\0';

  std::lock_guard<std::mutex> lock(m_settingsMutex);
  m_fd = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m_fd < 0) {
    JLOG_DEBUG("cannot open " << name << ", errno " << errno);
    return record(ZRV_INPUTCANNOTBEOPENED);
  }
  if (flock(m_fd, LOCK_EX | LOCK_NB) != 0) return failOpen(ZRV_INPUTCANNOTBEOPENED);
  if (tcgetattr(m_fd, &m_settings) != 0) return failOpen(ZRV_ERROR);
  if (cfsetispeed(&m_settings, m_baudRate) != 0 || cfsetospeed(&m_settings, m_baudRate) != 0)
    return failOpen(ZRV_ERROR);

  m_settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                                ICRNL | IXON);
  m_settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  m_settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  m_settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CREAD | CLOCAL | CRTSCTS);
  m_settings.c_cflag |= CS8 | CSTOPB | CREAD | CLOCAL;
  applyTimeoutToSettings();

  if (tcsetattr(m_fd, TCSANOW, &m_settings) != 0) return failOpen(ZRV_INPUTCANNOTBEOPENED);
  if (tcgetattr(m_fd, &m_settings) != 0) return failOpen(ZRV_ERROR);

  m_portNumber = 1;
  std::memcpy(m_portName, name, nameLength + 1);
  tcflush(m_fd, TCIOFLUSH);

  // Raise DTR and RTS. Lines without modem control (pseudo-terminals, some USB bridges) refuse
  // the ioctls; the port works without them.
  int bits = 0;
  if (ioctl(m_fd, TIOCMGET, &bits) == 0) {
    bits |= TIOCM_DTR | TIOCM_RTS;
    ioctl(m_fd, TIOCMSET, &bits);
  }
  return record(ZRV_OK);
}

ZtResultValue SerialInterface::close() {
  if (!isOpen()) return record(ZRV_NOPORTOPEN);
  record(ZRV_OK);
  flushData();
  ::close(m_fd);
  m_fd = -1;
  return getLastResult();
}

ZtResultValue SerialInterface::flushData() {
  if (m_fd >= 0) tcflush(m_fd, TCIOFLUSH);
  return record(ZRV_OK);
}

ZtResultValue SerialInterface::setTimeout(uint32_t milliseconds) {
  std::lock_guard<std::mutex> lock(m_settingsMutex);
  m_timeout.store(milliseconds, std::memory_order_relaxed);
  applyTimeoutToSettings();
  if (isOpen()) tcsetattr(m_fd, TCSANOW, &m_settings);
  return record(ZRV_OK);
}

ZtResultValue SerialInterface::writeData(const ZtByteArray& data, size_t* written) {
  if (!isOpen()) return record(ZRV_NOPORTOPEN);
  if (written) *written = 0;
  if (data.size == 0) return record(ZRV_OK);
  ssize_t n;
  do {
    n = ::write(m_fd, data.data, data.size);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return record(isHangUp(errno) ? ZRV_PORTCLOSED : ZRV_ERROR);
  if (written) *written = static_cast<size_t>(n);
  return record(ZRV_OK);
}

ZtResultValue SerialInterface::readData(size_t maxLength, ZtByteArray& data) {
  return readPolled(maxLength, data, getTimeout());
}

ZtResultValue SerialInterface::readWithin(size_t maxLength, ZtByteArray& data, uint32_t waitMs) {
  if (!isOpen()) return record(ZRV_NOPORTOPEN);
  if (waitMs != 0) return readPolled(maxLength, data, waitMs);
  if (maxLength == 0) {
    ZtArray_assign(ZTARRAY(&data), 0, nullptr);
    return record(ZRV_OK);
  }
  return readNow(maxLength, data);
}

ZtResultValue SerialInterface::readPolled(size_t maxLength, ZtByteArray& data, uint32_t timeoutMs) {
  if (!isOpen()) return record(ZRV_NOPORTOPEN);
  // poll rather than select: select cannot take descriptors at or above FD_SETSIZE.
  struct pollfd pfd = {m_fd, POLLIN | POLLPRI, 0};
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  int ready;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    const int wait = static_cast<int>(std::clamp<int64_t>(left.count(), 0, INT_MAX));
    ready = poll(&pfd, 1, wait);
    if (ready >= 0 || errno != EINTR) break;
  }
  if (ready < 0 || (pfd.revents & (POLLPRI | POLLNVAL))) {
    JLOG_ERROR("waiting for " << m_portName << " failed, errno " << (ready < 0 ? errno : 0)
                              << ", events " << pfd.revents);
    ZtArray_assign(ZTARRAY(&data), 0, nullptr);
    return record(ZRV_ERROR);
  }
  if (ready == 0) {
    ZtArray_assign(ZTARRAY(&data), 0, nullptr);
    return record(ZRV_TIMEOUT);
  }
  if (maxLength == 0) {
    ZtArray_assign(ZTARRAY(&data), 0, nullptr);
    return record((pfd.revents & POLLIN) ? ZRV_OK : ZRV_PORTCLOSED);
  }
  return readNow(maxLength, data);
}

ZtResultValue SerialInterface::readNow(size_t maxLength, ZtByteArray& data) {
  // Bytes are read in place when the array has room for the whole read (a reader's own buffer,
  // or an array over the storage the bytes are meant for); otherwise a read of up to one block
  // goes through the stack, so only the bytes read are copied: sizing the array to maxLength
  // first would clear the whole block on every read (a stream's reader reads one small packet
  // at a time).
  uint8_t block[8192];
  const bool inPlace = data.data && data.reserved >= maxLength;
  const bool viaBlock = !inPlace && maxLength <= sizeof block;
  if (!inPlace && !viaBlock && ZtArray_assign(ZTARRAY(&data), maxLength, nullptr) != 0)
    return record(ZRV_INSUFFICIENTSPACE);
  // Readable or hung up: bytes still queued are delivered first, then the hang-up shows as a
  // read of 0 bytes or EIO.
  ssize_t n;
  do {
    n = ::read(m_fd, viaBlock ? block : data.data, maxLength);
  } while (n < 0 && errno == EINTR);
  if (n > 0) {
    if (viaBlock) {
      if (ZtArray_assign(ZTARRAY(&data), static_cast<size_t>(n), block) != 0) return record(ZRV_INSUFFICIENTSPACE);
    } else if (inPlace) {
      // The bytes are the array's items now (plain bytes: nothing to construct).
      data.size = static_cast<size_t>(n);
      data.flags &= ~ZTARRAY_EMPTY;
    } else {
      ZtArray_assign(ZTARRAY(&data), static_cast<size_t>(n), nullptr);
    }
    return record(ZRV_OK);
  }
  const int error = n == 0 ? 0 : errno;
  ZtArray_assign(ZTARRAY(&data), 0, nullptr);
  if (error == EAGAIN) return record(ZRV_TIMEOUT);
  if (n == 0 || isHangUp(error)) {
    JLOG_ALERT(m_portName << " hung up, errno " << error);
    return record(ZRV_PORTCLOSED);
  }
  JLOG_ERROR("reading " << m_portName << " failed, errno " << error);
  return record(ZRV_ERROR);
}

ZtResultValue SerialInterface::waitForData(size_t length, ZtByteArray& data) {
  ZtArray_assign(ZTARRAY(&data), 0, nullptr);
  if (length == 0) return record(ZRV_OK);
  if (ZtArray_reserve(ZTARRAY(&data), length) != 0) return record(ZRV_INSUFFICIENTSPACE);
  // A monotonic deadline: a time-of-day clock would wrap at midnight.
  using Clock = std::chrono::steady_clock;
  const uint32_t timeout = getTimeout();
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout);
  ZtByteArray chunk;
  ZtByteArray_construct(&chunk, 0, nullptr);
  ZtResultValue result = ZRV_TIMEOUT;
  while (Clock::now() < deadline || timeout == 0) {
    const ZtResultValue r = readData(length - data.size, chunk);
    if (r != ZRV_OK) {
      result = r;
      break;
    }
    ZtByteArray_append(&data, chunk.size, chunk.data);
    if (data.size >= length) {
      result = ZRV_OK;
      break;
    }
    if (timeout == 0) break;
  }
  ZtByteArray_destruct(&chunk);
  return record(result);
}

ZtResultValue SerialInterface::escape(uint32_t mask, uint32_t state) {
  if (!isOpen()) return record(ZRV_NOPORTOPEN);
  const struct {
    uint32_t flag;
    int bit;
  } lines[] = {{kControlDtr, TIOCM_DTR}, {kControlRts, TIOCM_RTS}};
  for (const auto& line : lines) {
    if (!(mask & line.flag)) continue;
    int bits = 0;
    if (ioctl(m_fd, TIOCMGET, &bits) != 0) return record(ZRV_ERROR);
    if (state & line.flag)
      bits |= line.bit;
    else
      bits &= ~line.bit;
    if (ioctl(m_fd, TIOCMSET, &bits) != 0) return record(ZRV_ERROR);
  }
  return record(ZRV_OK);
}

void SerialInterface::getPortName(ZtString& name) const { ZtString_assignCharArray(&name, m_portName); }
