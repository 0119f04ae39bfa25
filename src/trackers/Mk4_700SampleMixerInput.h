#pragma once
// One input sample of the navigation tracker's sample mixer: the strapdown increments of one
// output period and the navigation filter's latest estimate (navigation frame east-north-up).
#include <cstdint>

#include "math/Quaternion.h"

namespace zelto {

struct Mk4_700SampleMixerInput {
  double sampleFrequency = 0.0;          // Hz: the rate of the increments
  Quaternion dq{1.0, 0.0, 0.0, 0.0};     // orientation increment
  double dv[3] = {0.0, 0.0, 0.0};        // velocity increment, sensor frame
  double velocity[3] = {0.0, 0.0, 0.0};  // navigation frame
  double accBias[3] = {0.0, 0.0, 0.0};
  double gyrBias[3] = {0.0, 0.0, 0.0};
  double gravity[3] = {0.0, 0.0, 0.0};   // navigation frame
  Quaternion orientation{1.0, 0.0, 0.0, 0.0};
  double position[3] = {0.0, 0.0, 0.0};  // latitude, longitude (degrees), altitude (m)
  uint8_t navigationState = 0;           // 0: no position
  uint8_t ready = 0;
  uint8_t filterData = 0;
  uint8_t aiding = 0;
  uint8_t biasRemoved = 0;               // dv is already free of the accelerometer bias
  uint32_t status = 0;
  uint16_t status2 = 0;
};

}  // namespace zelto
