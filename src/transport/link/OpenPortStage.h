#pragma once
// What Communicator::openPort does, as a bit set; OPS_All is the full open.
#include <cstdint>

enum OpenPortStage : uint32_t {
  OPS_None = 0,
  OPS_OpenPort = 1,     // open the port interface
  OPS_StartThread = 2,  // start the reader thread
  OPS_InitDevice = 4,   // bring the device into configuration mode and read its device id
  OPS_All = 7
};

constexpr OpenPortStage operator|(OpenPortStage a, OpenPortStage b) {
  return static_cast<OpenPortStage>(static_cast<uint32_t>(a) | static_cast<uint32_t>(b));
}
