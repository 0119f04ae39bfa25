#pragma once
// One 39-byte frame of the iFOG unit (CRC over bytes 0 to 36, carried in bytes 37 and 38).
#include "transport/imar/ImarFrame.h"

namespace imar {

class IFogMessage : public ImarFrame<39> {
 public:
  using ImarFrame<39>::ImarFrame;
};

}  // namespace imar
