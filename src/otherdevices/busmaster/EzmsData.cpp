#include "otherdevices/busmaster/EzmsData.h"

namespace zelto {

void EzmsData::clear() {
  firstWord = 0;
  blueToothDisabled = 0;
  outputFlags = 0;
  baudRateCode = 0;
  syncByte = 0;
  value8 = value10 = value12 = 0;
  value14 = 0;
  hostByte = kHostByteDefault;
  hostReserved = 0;
  busPowerDisabled = 0;
}

bool EzmsData::setZmsData(const ZtMessage& message) {
  if (ZtMessage_empty(&message) || ZtMessage_dataSize(&message) < kDataSize) return false;
  firstWord = ZtMessage_getDataLong(&message, 0);
  blueToothDisabled = ZtMessage_getDataByte(&message, 4);
  outputFlags = ZtMessage_getDataByte(&message, 5);
  baudRateCode = ZtMessage_getDataByte(&message, 6);
  syncByte = ZtMessage_getDataByte(&message, 7);
  value8 = ZtMessage_getDataShort(&message, 8);
  value10 = ZtMessage_getDataShort(&message, 10);
  value12 = ZtMessage_getDataShort(&message, 12);
  value14 = ZtMessage_getDataByte(&message, 14);
  return true;
}

void EzmsData::toMessage(uint8_t busId, ZtMessage& message) const {
  ZtMessage_assignSized(&message, kDataSize);
  ZtMessage_setMessageId(&message, kMessageId);
  ZtMessage_setBusId(&message, busId);
  ZtMessage_setDataLong(&message, firstWord, 0);
  ZtMessage_setDataByte(&message, blueToothDisabled, 4);
  ZtMessage_setDataByte(&message, outputFlags, 5);
  ZtMessage_setDataByte(&message, baudRateCode, 6);
  ZtMessage_setDataByte(&message, syncByte, 7);
  ZtMessage_setDataShort(&message, value8, 8);
  ZtMessage_setDataShort(&message, value10, 10);
  ZtMessage_setDataShort(&message, value12, 12);
  ZtMessage_setDataByte(&message, value14, 14);
  ZtMessage_recomputeChecksum(&message);
}

}  // namespace zelto
