#include "transport/zbus/IProtocolHandler.h"

IProtocolHandler::~IProtocolHandler() = default;

MessageLocation IProtocolHandler::findMessageIn(ZtMessage& message, const uint8_t* data, size_t size) const {
  const ZtByteArray view = byteArrayView(data, size);
  return findMessage(message, view);
}

ZtByteArray IProtocolHandler::byteArrayView(const uint8_t* data, size_t size) noexcept {
  ZtByteArray view;
  if (!data)
    size = 0;
  // The array never writes through a fixed view that is only read, so dropping const is safe here.
  view.data = const_cast<uint8_t*>(data);
  view.size = size;
  view.reserved = size;
  view.flags = ZTARRAY_FIXED | (size == 0 ? ZTARRAY_EMPTY : 0);
  view.descriptor = &g_ztByteArrayDescriptor;
  return view;
}
