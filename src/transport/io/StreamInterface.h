#pragma once
// Base of the live ports (serial, USB): a stream with a read time-out.
#include "transport/io/IoInterface.h"

class StreamInterface : public IoInterface {
 public:
  ~StreamInterface() override;
  using IoInterface::open;

  ZtResultValue setTimeout(uint32_t milliseconds) override = 0;
  virtual uint32_t getTimeout() const = 0;
  // As readData, but waiting at most waitMs for the first bytes instead of the port time-out
  // (a reader thread's wait). By default the port time-out applies.
  virtual ZtResultValue readWithin(size_t maxLength, ZtByteArray& data, uint32_t waitMs);
};
