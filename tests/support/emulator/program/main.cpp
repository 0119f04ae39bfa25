// zda_emulator [device-id-hex] [rate-hz] [serve]: emulates a tracker on a new pseudo-terminal.
// Prints the slave path on the first line, then serves until stdin closes or, with a third
// argument, until SIGTERM or SIGINT (stdin is then not read). While serving, SIGUSR1 stops the data stream (the tracker
// stays in measurement, silent) and SIGUSR2 starts it again. It ends at once whatever its reader
// does: a stream into a full terminal that nobody reads gives up its write when asked to stop.
//
// An id of the host-filtered family (0x07......) is served as that tracker: its record, its
// settings and, while measuring, raw sensor data of a default trajectory (still for three
// seconds, then turns, round after round) without orientation, so the host filter runs. The rate
// is taken as the sample period that gives it (2000 Hz: period 58). A fourth-generation id is
// served in that mode with raw data at the rate (0xA010) from the same trajectory; a 700-series
// id also in navigation mode (GNSS solutions at 4 Hz, pressure at 50 Hz). A GNSS-aided id
// (0x06......) is served as that tracker with raw data at the rate's sample period and GNSS PVT
// items at 4 Hz. Any other id gets the plain scripted conversation with counter-only data at the
// rate.
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <utility>
#include <vector>

#include "support/emulator/DeviceEmulator.h"
#include "support/emulator/GnssPvtItems.h"
#include "support/emulator/RawTrajectory.h"
#include "support/emulator/TrackerModel.h"
#include "zttypes/ztdeviceid.h"

namespace {
std::atomic<bool> gStop{false};
std::atomic<int> gStream{0};  // 1: stop the stream, 2: start it again
void onSignal(int) { gStop = true; }
void onStream(int signal) { gStream = signal == SIGUSR1 ? 1 : 2; }

// The sample period of a rate: 115200 / rate ticks; 2000 Hz is the fractional 57.6 (sent as 58).
uint16_t periodOf(double rate) {
  if (!(rate > 0.0)) return 1152;
  const double ticks = 115200.0 / rate;
  if (std::fabs(ticks - 57.6) < 0.5) return 58;
  return static_cast<uint16_t>(std::lround(std::min(ticks, 65535.0)));
}

// The simulated motion of a stream at this output rate: truth at 1 kHz or more, at 52°N, with
// low-cost sensor noise.
filtersim::SimulatorConfig streamConfig(double outputRate) {
  filtersim::SimulatorConfig config;
  config.outputRate = outputRate;
  config.truthRate = std::max(1000.0, outputRate);
  config.latitude = 52.0 * M_PI / 180.0;
  config.acc.noiseDensity = 0.01 / std::sqrt(outputRate);
  config.gyr.noiseDensity = 0.002 / std::sqrt(outputRate);
  config.mag.noiseDensity = 0.002 / std::sqrt(outputRate);
  return config;
}
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
  signal(SIGUSR1, onStream);
  signal(SIGUSR2, onStream);
  // Blocked here, so the emulator's threads inherit the mask and every signal comes to this
  // thread, which checks the requests with them blocked and waits atomically (sigsuspend): a
  // signal sent right after the path was printed is not lost.
  sigset_t handled, previous;
  sigemptyset(&handled);
  for (int s : {SIGUSR1, SIGUSR2, SIGTERM, SIGINT}) sigaddset(&handled, s);
  sigprocmask(SIG_BLOCK, &handled, &previous);
  zelto::test::DeviceEmulator emulator(std::make_unique<zelto::test::FdEmulatorLink>(master));
  zelto::test::TrackerModel model;
  std::unique_ptr<zelto::test::RawTrajectory> stream;
  std::unique_ptr<zelto::test::GnssPvtItems> gnss;
  if (ZtDeviceId_isLegacyKtig(static_cast<ZtDeviceId>(id))) {
    const double leverArm[3] = {0, 0, 0};
    model.useGnss(static_cast<uint32_t>(id), leverArm);
    const uint16_t period = periodOf(rate);
    zelto::test::RawTrajectory::useRawOutput(model, period, 0);
    model.setRow(zelto::test::TrackerModel::HeadingOffset, {0, 0, 0, 0});
    model.attachTo(emulator);
    const filtersim::SimulatorConfig config = streamConfig(zelto::test::RawTrajectory::rateOf(period, 0));
    filtersim::GnssConfig receiver;
    receiver.rate = 4.0;
    gnss = std::make_unique<zelto::test::GnssPvtItems>(receiver, filtersim::BarometerConfig{}, config);
    stream = std::make_unique<zelto::test::RawTrajectory>(model.sensor, config, zelto::test::defaultDemoTrajectory(),
                                                          true);
    stream->setExtraItems([&gnss](const filtersim::Sample& s, std::vector<uint8_t>& out) { gnss->append(s, out); });
    stream->attachTo(emulator);
  } else if (ZtDeviceId_isKtix(static_cast<ZtDeviceId>(id))) {
    model.deviceId = static_cast<uint32_t>(id);
    const uint16_t period = periodOf(rate);
    zelto::test::RawTrajectory::useRawOutput(model, period, 0);
    // No heading offset: the printed orientation is the filter's own.
    model.setRow(zelto::test::TrackerModel::HeadingOffset, {0, 0, 0, 0});
    model.attachTo(emulator);
    const filtersim::SimulatorConfig config = streamConfig(zelto::test::RawTrajectory::rateOf(period, 0));
    stream = std::make_unique<zelto::test::RawTrajectory>(model.sensor, config, zelto::test::defaultDemoTrajectory(),
                                                          true);
    stream->attachTo(emulator);
  } else if (ZtDeviceId_isKtMk4(static_cast<ZtDeviceId>(id))) {
    const bool navigation = ZtDeviceId_isKtMk4_700(static_cast<ZtDeviceId>(id)) != 0;
    std::vector<std::pair<uint16_t, uint16_t>> configuration = {{0xA010, static_cast<uint16_t>(std::lround(rate))}};
    if (navigation) configuration.insert(configuration.end(), {{0x8840, 4}, {0x3010, 50}});
    model.useFourthGeneration(static_cast<uint32_t>(id), configuration);
    model.attachTo(emulator);
    const filtersim::SimulatorConfig config = streamConfig(rate);
    zelto::test::RawStreamOptions options;
    if (navigation) options.navigation = zelto::test::NavigationStream{};
    stream = std::make_unique<zelto::test::RawTrajectory>(model.sensor, config, zelto::test::defaultDemoTrajectory(),
                                                          true, options);
    stream->useOutputConfiguration(model);
    stream->attachTo(emulator);
  } else {
    emulator.setDeviceId(static_cast<uint32_t>(id));
    emulator.setDataRate(rate);
  }
  emulator.start();
  printf("%s\n", name);
  fflush(stdout);
  // Keep our slave descriptor open so the master never sees a hang-up between clients.
  if (argc > 3) {
    for (;;) {
      const int request = gStream.exchange(0);
      if (request != 0) emulator.setMeasuring(request == 2);
      if (gStop) break;
      sigsuspend(&previous);
    }
  } else {
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    char c;
    while (!gStop && read(STDIN_FILENO, &c, 1) > 0) {
    }
  }
  emulator.stop();
  close(slave);
  return 0;
}
