// Reading a 100 MB log file through a port-less link: readLogFile into a counting master
// (messages/s and bytes/s), for small (40-byte) and large (1 kB) data messages.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "support/NullLinkDevice.h"
#include "support/LogFileBuilder.h"
#include "support/TempDir.h"
#include "transport/link/Communicator.h"

namespace {

using zelto::test::LogFileBuilder;
using zelto::test::TempDir;

constexpr size_t kFileBytes = 100u << 20;

class CountingDevice : public zelto::test::NullLinkDevice {
 public:
  void handleMessage(const ZtMessage&) override { ++handled; }
  uint64_t handled = 0;
};

struct TestFile {
  std::string path;
  size_t bytes = 0;
  size_t messages = 0;
};

// One file per message size, made on first use and kept for the process.
const TestFile& testFile(size_t filler) {
  static TempDir dir;
  static std::map<size_t, TestFile> files;
  auto it = files.find(filler);
  if (it != files.end()) return it->second;
  TestFile f;
  f.path = dir.file("bench" + std::to_string(filler) + ".zlog");
  LogFileBuilder b;
  b.configuration(0x00345678);
  uint16_t counter = 0;
  while (f.bytes < kFileBytes) {
    for (int i = 0; i < 4096; ++i) b.data(counter++, filler);
    f.bytes += b.bytes().size();
    b.appendTo(f.path);
  }
  f.messages = b.frameCount();
  return files.emplace(filler, f).first->second;
}

void BM_ReadLogFile(benchmark::State& state) {
  const TestFile& file = testFile(static_cast<size_t>(state.range(0)));
  uint64_t messages = 0;
  for (auto _ : state) {
    Communicator link;
    CountingDevice device;
    ZtString name;
    ZtString_construct(&name, file.path.c_str());
    if (!link.openLogFile(name)) {
      state.SkipWithError("open failed");
      ZtString_destruct(&name);
      break;
    }
    ZtString_destruct(&name);
    link.setMasterDevice(&device);
    if (link.readLogFile(nullptr) != ZRV_ENDOFFILE || device.handled != file.messages) {
      state.SkipWithError("short read");
      break;
    }
    link.setMasterDevice(nullptr);
    messages += device.handled;
  }
  state.counters["msgs/s"] = benchmark::Counter(static_cast<double>(messages), benchmark::Counter::kIsRate);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * file.bytes));
}
// Payload filler: 30 gives 40-byte frames, 1000 gives 1012-byte frames (extended form).
BENCHMARK(BM_ReadLogFile)->Arg(30)->Arg(1000)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
