#pragma once
// Live port on a tty node (also the virtual serial ports of USB serial bridges): opened
// exclusively, raw 8N2 at the requested speed, DTR and RTS raised, reads bounded by the
// port time-out.
#include <termios.h>

#include <atomic>
#include <mutex>

#include "transport/io/StreamInterface.h"

class SerialInterface : public StreamInterface {
 public:
  // Control-line selectors of escape().
  static constexpr uint32_t kControlDtr = 8;
  static constexpr uint32_t kControlRts = 64;

  SerialInterface();
  ~SerialInterface() override;

  ZtResultValue close() override;
  ZtResultValue closeLive() { return close(); }
  ZtResultValue flushData() override;
  bool isOpen() const override { return m_fd >= 0; }
  ZtResultValue getLastResult() const override { return m_lastResult.load(std::memory_order_relaxed); }
  ZtResultValue writeData(const ZtByteArray& data, size_t* written = nullptr) override;
  // One read of whatever the line has (up to maxLength) once it is readable. Time-out 258,
  // hang-up (device unplugged, pseudo-terminal master closed) 289, other failures 256.
  ZtResultValue readData(size_t maxLength, ZtByteArray& data) override;
  // waitMs 0: one read of what the line has, without polling first, for a caller that has just
  // seen the descriptor readable or hung up (a read on a quiet line would wait for the port
  // time-out). Otherwise readData with a time-out of waitMs.
  ZtResultValue readWithin(size_t maxLength, ZtByteArray& data, uint32_t waitMs) override;
  using StreamInterface::open;
  ZtResultValue open(const ZtPortInfo& portInfo, uint32_t readBufferSize = 0,
                     uint32_t writeBufferSize = 0) override;
  ZtResultValue setTimeout(uint32_t milliseconds) override;
  // Collects exactly length bytes, or fails when the time-out passes first.
  ZtResultValue waitForData(size_t length, ZtByteArray& data) override;
  void cancelIo() override {}
  uint32_t getTimeout() const override { return m_timeout.load(std::memory_order_relaxed); }

  // Sets (state holds the flag) or clears DTR and/or RTS as selected by mask.
  ZtResultValue escape(uint32_t mask, uint32_t state);
  ZtBaudRate getBaudrate() const { return isOpen() ? m_baudRate : 0; }
  int getHandle() const { return m_fd; }
  uint16_t getPortNumber() const { return m_portNumber; }
  void getPortName(ZtString& name) const;

 private:
  ZtResultValue record(ZtResultValue result) {
    m_lastResult.store(result, std::memory_order_relaxed);
    return result;
  }
  // Closes the descriptor after a failed open step and records the step's result.
  ZtResultValue failOpen(ZtResultValue result);
  void applyTimeoutToSettings();
  // The read step of readData once the line is readable or hung up.
  ZtResultValue readNow(size_t maxLength, ZtByteArray& data);
  ZtResultValue readPolled(size_t maxLength, ZtByteArray& data, uint32_t timeoutMs);

  ZtBaudRate m_baudRate = 0;
  // Written by the reader thread and by writing threads alike.
  std::atomic<ZtResultValue> m_lastResult{ZRV_OK};
  uint16_t m_portNumber = 0;
  char m_portName[32] = {};
  // The link changes the time-out from request threads while the reader thread reads; each
  // read takes the value once. m_settingsMutex guards m_settings between setTimeout callers
  // and open (reads and writes never touch it).
  std::atomic<uint32_t> m_timeout{0};
  std::mutex m_settingsMutex;
  struct termios m_settings = {};
  int m_fd = -1;
};
