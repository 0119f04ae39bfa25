#pragma once
// A pseudo-terminal standing in for a serial device. The library opens slavePath() as a serial
// port; the test (or the device emulator) plays the device on the master side. Closing the
// master (hangUp) is what an unplugged USB-serial adapter looks like to the port.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zelto::test {

class PtyPort {
 public:
  PtyPort();
  ~PtyPort();
  PtyPort(const PtyPort&) = delete;
  PtyPort& operator=(const PtyPort&) = delete;

  const std::string& slavePath() const { return m_slavePath; }
  int masterFd() const { return m_master; }
  // A descriptor of the slave held by the fixture (keeps the pty alive while the library's
  // descriptor is closed; lets a test inspect the line settings with tcgetattr).
  int slaveFd() const { return m_slave; }

  // Sends bytes to the port (what the device transmits). True when all were written.
  bool send(const void* data, size_t size);
  bool send(const std::vector<uint8_t>& data) { return send(data.data(), data.size()); }
  // Receives what the port has written: up to maxSize bytes, waiting at most timeoutMs for
  // the first byte. Empty on time-out.
  std::vector<uint8_t> receive(size_t maxSize, int timeoutMs);
  // Receives exactly size bytes unless timeoutMs passes first (then returns what arrived).
  std::vector<uint8_t> receiveExactly(size_t size, int timeoutMs);

  // Closes the master: the port sees a hang-up.
  void hangUp();
  bool isHungUp() const { return m_master < 0; }

 private:
  int m_master = -1;
  int m_slave = -1;
  std::string m_slavePath;
};

}  // namespace zelto::test
