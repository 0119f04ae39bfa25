// Library-wide exported functions.
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
