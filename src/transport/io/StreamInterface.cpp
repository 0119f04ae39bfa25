#include "transport/io/StreamInterface.h"

StreamInterface::~StreamInterface() = default;

ZtResultValue StreamInterface::readWithin(size_t maxLength, ZtByteArray& data, uint32_t) {
  return readData(maxLength, data);
}
