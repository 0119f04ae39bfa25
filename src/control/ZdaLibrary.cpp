// Library-wide exported functions.
#include <string>

#include "foundation/Journaller.h"
#include "zeltodeviceapi/zdalibrary.h"
#include "zttypes/zttime.h"

extern "C" void zdaSetLogPath(const ZtString* path) {
  // Threads may be in the middle of a line on the old journal: unpublish it first and give
  // them a moment before it goes away.
  Journaller* previous = gJournal.exchange(nullptr);
  if (previous) {
    ZtTime_msleep(20);
    delete previous;
  }
  const std::string fileName = std::string(path ? ZtString_c_str(path) : "") + "zda.log";
  auto* journal = new Journaller(fileName, true, JLL_ERROR);
  journal->setLogLevel(JLL_ERROR);
  journal->setDebugLevel(JLL_FATAL);
  journal->writeFileHeader("zda");
  gJournal.store(journal);
}
