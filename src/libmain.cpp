// Anchor translation unit of libzeltodeviceapi: the folder archives are linked in whole.
// It also holds the library's load and unload hooks.
#include "foundation/Journaller.h"
#include "zttypes/zttime.h"

// Run when the library is loaded: journalling stays off until the application sets a log path,
// and the companion library's time base is fixed before any time stamp is taken.
extern "C" __attribute__((constructor)) void so_init() {
  gJournal.store(nullptr, std::memory_order_release);
  ZtTime_initializeTime();
}

// Run when the library is unloaded (or the process ends): the journal is flushed and closed
// once no thread is still writing a line on it.
extern "C" __attribute__((destructor)) void so_fini() { replaceGlobalJournal(nullptr); }
