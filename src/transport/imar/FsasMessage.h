#pragma once
// One 41-byte frame of the FSAS unit (CRC over bytes 0 to 38, carried in bytes 39 and 40).
#include "transport/imar/ImarFrame.h"

namespace imar {

class FsasMessage : public ImarFrame<41> {
 public:
  using ImarFrame<41>::ImarFrame;
};

}  // namespace imar
