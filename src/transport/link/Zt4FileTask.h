#pragma once
// Reads a link's whole log file into a device on a pool thread (Communicator::loadLogFile).
#include "foundation/ThreadPoolTask.h"
#include "zeltodeviceapi/ztdevicetypes.h"

class Communicator;

class Zt4FileTask : public zelto::ThreadPoolTask {
 public:
  Zt4FileTask(Communicator* link, ZtDevice* device) : m_link(link), m_device(device) {}
  // Runs readLogFile; always done. A standard exception is journalled and hits the debug break.
  bool exec() override;

 private:
  Communicator* const m_link;  // not owned
  ZtDevice* const m_device;    // not owned
};
