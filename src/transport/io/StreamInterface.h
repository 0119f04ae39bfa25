#pragma once
// Base of the live ports (serial, USB): a stream with a read time-out.
#include "transport/io/IoInterface.h"

class StreamInterface : public IoInterface {
 public:
  ~StreamInterface() override;
  using IoInterface::open;

  ZtResultValue setTimeout(uint32_t milliseconds) override = 0;
  virtual uint32_t getTimeout() const = 0;
};
