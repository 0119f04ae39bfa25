#include "transport/link/Zt4FileTask.h"

#include <exception>

#include "foundation/DebugTools.h"
#include "foundation/JournalMacros.h"
#include "transport/link/Communicator.h"

bool Zt4FileTask::exec() {
  try {
    m_link->readLogFile(m_device);
  } catch (const std::exception& e) {
    JLOG_ALERT(e.what());
    zelto::DebugTools::debugBreak();
  }
  return true;
}
