// Library-wide exported functions.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "foundation/Journaller.h"
#include "zeltodeviceapi/zdalibrary.h"

extern "C" void zdaSetLogPath(const ZtString* path) {
  // The old journal goes first (once no thread is in a line on it), so the new one truncates
  // the file when it has the same name.
  replaceGlobalJournal(nullptr);
  const std::string fileName = std::string(path ? ZtString_c_str(path) : "") + "zda.log";
  auto* journal = new Journaller(fileName, true, JLL_ERROR);
  journal->setLogLevel(JLL_ERROR);
  journal->setDebugLevel(JLL_FATAL);
  journal->writeFileHeader("zda");
  replaceGlobalJournal(journal);
}

extern "C" void zdaDllVersion(ZtVersion* version) {
  if (!version) return;
  *version = ZtVersion{};
  version->major = 4;
  version->minor = 1;
  version->revision = 0;
  version->build = static_cast<uint32_t>(std::strtoul("0", nullptr, 10));
}

extern "C" void zdaDllPath(ZtString* path) {
  if (path) ZtString_assignCharArray(path, "");
}

// raw x 100 in 64 bits: in 32 bits it overflows for |raw| > 21474836.
int ztScaleBatteryLevel(int raw) {
  const double level = static_cast<double>(static_cast<int64_t>(raw) * 100) / 200.0;
  if (level > 100.0) return 100;
  return static_cast<int>(level);
}
