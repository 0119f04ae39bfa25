// zda_emulator [device-id-hex] [rate-hz]: emulates a tracker on a new pseudo-terminal.
// Prints the slave path on the first line, then serves until stdin closes or SIGTERM.
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <memory>

#include "support/emulator/DeviceEmulator.h"

namespace {
std::atomic<bool> gStop{false};
void onSignal(int) { gStop = true; }
}  // namespace

int main(int argc, char** argv) {
  const unsigned long id = argc > 1 ? strtoul(argv[1], nullptr, 16) : 0x01234567ul;
  const double rate = argc > 2 ? atof(argv[2]) : 100.0;
  int master = -1, slave = -1;
  char name[256] = {};
  termios raw{};
  cfmakeraw(&raw);
  if (openpty(&master, &slave, name, &raw, nullptr) != 0) {
    perror("openpty");
    return 1;
  }
  signal(SIGTERM, onSignal);
  signal(SIGINT, onSignal);
  zelto::test::DeviceEmulator emulator(std::make_unique<zelto::test::FdEmulatorLink>(master));
  emulator.setDeviceId(static_cast<uint32_t>(id));
  emulator.setDataRate(rate);
  emulator.start();
  printf("%s\n", name);
  fflush(stdout);
  // Keep our slave descriptor open so the master never sees a hang-up between clients.
  char c;
  while (!gStop && read(STDIN_FILENO, &c, 1) > 0) {
  }
  while (!gStop && argc > 3) pause();
  emulator.stop();
  close(slave);
  return 0;
}
