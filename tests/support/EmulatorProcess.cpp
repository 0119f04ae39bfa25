#include "support/EmulatorProcess.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

namespace zelto::test {

EmulatorProcess::EmulatorProcess(const std::string& program, const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int out[2];
  if (pipe(out) != 0) return;
  m_pid = fork();
  if (m_pid == 0) {
    // A test that ends abruptly (an abort on a hang) takes its emulators with it.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    close(out[1]);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  if (m_pid < 0) {
    close(out[0]);
    return;
  }
  // The first line names the port.
  char c;
  while (read(out[0], &c, 1) == 1 && c != '\n') m_port += c;
  close(out[0]);
}

EmulatorProcess::~EmulatorProcess() { terminate(std::chrono::seconds(5)); }

void EmulatorProcess::signal(int s) const {
  if (m_pid > 0) kill(m_pid, s);
}

bool EmulatorProcess::terminate(std::chrono::milliseconds limit) {
  if (m_pid <= 0) return true;
  kill(m_pid, SIGTERM);
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) break;
    if (std::chrono::steady_clock::now() > end) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
      m_pid = -1;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  m_pid = -1;
  return true;
}

}  // namespace zelto::test
