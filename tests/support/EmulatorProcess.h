#pragma once
// The emulator program (zda_emulator) in a process of its own, serving a device on a new
// pseudo-terminal until it is stopped: started with its arguments, its first line read as the
// port's path. The destructor stops it as terminate does (a process that will not end is killed).
#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace zelto::test {

class EmulatorProcess {
 public:
  // program: the emulator's path (<build>/tests/support/emulator/zda_emulator).
  EmulatorProcess(const std::string& program, const std::vector<std::string>& arguments);
  ~EmulatorProcess();
  EmulatorProcess(const EmulatorProcess&) = delete;
  EmulatorProcess& operator=(const EmulatorProcess&) = delete;

  // The pseudo-terminal the emulator serves (empty when it did not start).
  const std::string& port() const { return m_port; }
  // Sends SIGTERM and waits at most limit for the process to end; true when it ended in time
  // (else it is killed). True at once when it has ended already.
  bool terminate(std::chrono::milliseconds limit);
  // Sends the signal s to the running process (nothing once it has ended).
  void signal(int s) const;

 private:
  pid_t m_pid = -1;
  std::string m_port;
};

}  // namespace zelto::test
