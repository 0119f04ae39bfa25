#pragma once
// The sample mixer's output for one packet: position, velocity, orientation and acceleration
// in the navigation frame, and the filter's status passed on.
#include <cstdint>

#include "math/Quaternion.h"

namespace zelto {

struct Mk4_700SampleMixerOutput {
  double position[3] = {0.0, 0.0, 0.0};  // latitude, longitude (degrees), altitude (m)
  double velocity[3] = {0.0, 0.0, 0.0};
  Quaternion orientation{0.0, 0.0, 0.0, 0.0};
  double acceleration[3] = {0.0, 0.0, 0.0};
  uint32_t navigationState = 0;
  uint32_t status = 0;
  uint16_t status2 = 0;
  uint8_t aiding = 0;
  uint8_t valid = 0;
};

}  // namespace zelto
