// Device configuration record and its Configuration message (0x0D), the first message of every
// log file. The message may come from a file or a device: nothing in it is trusted beyond the
// payload it actually carries.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "zeltodeviceapi/ztdevicetypes.h"

static_assert(sizeof(ZtDeviceConfigurationDevice) == ZTDEVICECONFIGURATION_DEVICE_SIZE);
static_assert(offsetof(ZtDeviceConfiguration, date) == 16);
static_assert(offsetof(ZtDeviceConfiguration, reservedBlock2) == 64);
static_assert(offsetof(ZtDeviceConfiguration, numberOfDevices) == 96);

namespace {

constexpr size_t kMasterSize = ZTDEVICECONFIGURATION_MASTER_SIZE;
constexpr size_t kDeviceSize = ZTDEVICECONFIGURATION_DEVICE_SIZE;

// The master part: every field before numberOfDevices.
constexpr size_t kMasterFieldsSize = offsetof(ZtDeviceConfiguration, numberOfDevices);

void copyMaster(ZtDeviceConfiguration* to, const ZtDeviceConfiguration* from) {
  std::memmove(to, from, kMasterFieldsSize);
}

// Copies up to size bytes of the payload at offset; what the payload lacks is zero.
void readBlock(const ZtMessage* m, size_t offset, void* to, size_t size) {
  std::memset(to, 0, size);
  const size_t dataSize = ZtMessage_dataSize(m);
  if (offset >= dataSize) return;
  const uint8_t* from = ZtMessage_getDataBuffer(m, offset);
  if (from) std::memcpy(to, from, std::min(size, dataSize - offset));
}

void writeBlock(ZtMessage* m, size_t offset, const void* from, size_t size) {
  ZtMessage_setDataBuffer(m, static_cast<const uint8_t*>(from), size, offset);
}

}  // namespace

extern "C" {

void ZtDeviceConfiguration_construct(ZtDeviceConfiguration* config) { std::memset(config, 0, sizeof *config); }

void ZtDeviceConfiguration_destruct(ZtDeviceConfiguration* config) {
  std::free(config->deviceInfo);
  config->deviceInfo = nullptr;
  config->numberOfDevices = 0;
}

void ZtDeviceConfiguration_assign(ZtDeviceConfiguration* config, uint16_t count, const ZtDeviceConfiguration* source) {
  // The record array always holds exactly numberOfDevices records, and a source is never read
  // beyond its own count (it may be config itself, so read it before freeing anything).
  ZtDeviceConfigurationDevice* records = config->deviceInfo;
  const bool resize = count != config->numberOfDevices || (count > 0 && !records);
  if (resize) {
    records = nullptr;
    if (count > 0) {
      records = static_cast<ZtDeviceConfigurationDevice*>(std::calloc(count, kDeviceSize));
      if (!records) {
        ZtDeviceConfiguration_destruct(config);
        return;
      }
      // Without a source the records already held stay, as far as they go.
      if (!source && config->deviceInfo) {
        std::memcpy(records, config->deviceInfo, std::min<size_t>(count, config->numberOfDevices) * kDeviceSize);
      }
    }
  }
  if (source) {
    if (source != config) copyMaster(config, source);
    const size_t available = source->deviceInfo ? source->numberOfDevices : 0;
    const size_t n = std::min<size_t>(count, available);
    if (n > 0 && records != source->deviceInfo) std::memmove(records, source->deviceInfo, n * kDeviceSize);
    if (count > n) std::memset(records + n, 0, (count - n) * kDeviceSize);
  }
  if (resize) {
    std::free(config->deviceInfo);
    config->deviceInfo = records;
  }
  config->numberOfDevices = count;
}

void ZtDeviceConfiguration_copy(ZtDeviceConfiguration* config, const ZtDeviceConfiguration* source) {
  if (config == source) return;
  ZtDeviceConfiguration_assign(config, source->numberOfDevices, source);
}

int ZtDeviceConfiguration_empty(const ZtDeviceConfiguration* config) { return config->numberOfDevices == 0; }

void ZtDeviceConfiguration_readFromMessage(ZtDeviceConfiguration* config, const ZtMessage* message) {
  // The count field comes from the wire or a file: believe it only as far as whole records are
  // present in the payload.
  const size_t dataSize = ZtMessage_dataSize(message);
  const size_t present = dataSize > kMasterSize ? (dataSize - kMasterSize) / kDeviceSize : 0;
  const uint16_t count =
      static_cast<uint16_t>(std::min<size_t>(ZtMessage_getDataShort(message, 96), present));
  if (count != config->numberOfDevices || (count > 0 && !config->deviceInfo)) {
    ZtDeviceConfiguration_assign(config, count, nullptr);
    if (config->numberOfDevices != count) return;  // out of memory: nothing sensible to read into
  }

  config->masterDeviceId = ZtMessage_getDataLong(message, 0);
  config->samplingPeriod = ZtMessage_getDataShort(message, 4);
  config->outputSkipFactor = ZtMessage_getDataShort(message, 6);
  config->reservedShort1 = ZtMessage_getDataShort(message, 8);
  config->reservedShort2 = ZtMessage_getDataShort(message, 10);
  config->reservedLong = ZtMessage_getDataLong(message, 12);
  readBlock(message, 16, config->date, sizeof config->date);
  readBlock(message, 24, config->time, sizeof config->time);
  readBlock(message, 32, config->reservedBlock1, sizeof config->reservedBlock1);
  readBlock(message, 64, config->reservedBlock2, sizeof config->reservedBlock2);

  for (size_t i = 0; i < count; ++i) {
    const size_t o = kMasterSize + i * kDeviceSize;
    ZtDeviceConfigurationDevice& d = config->deviceInfo[i];
    d.deviceId = ZtMessage_getDataLong(message, o);
    d.dataLength = ZtMessage_getDataShort(message, o + 4);
    d.outputMode = ZtMessage_getDataShort(message, o + 6);
    d.outputSettings = ZtMessage_getDataLong(message, o + 8);
    d.currentScenario = ZtMessage_getDataShort(message, o + 12);
    d.firmwareMajor = ZtMessage_getDataByte(message, o + 14);
    d.firmwareMinor = ZtMessage_getDataByte(message, o + 15);
    d.firmwareRevision = ZtMessage_getDataByte(message, o + 16);
    d.filterType = ZtMessage_getDataByte(message, o + 17);
    d.filterMajor = ZtMessage_getDataByte(message, o + 18);
    d.filterMinor = ZtMessage_getDataByte(message, o + 19);
  }
}

void ZtDeviceConfiguration_writeToMessage(const ZtDeviceConfiguration* config, ZtMessage* message) {
  // A message holds at most (8185 - 98) / 20 = 404 records; the count written is the count sent.
  constexpr size_t kMaxRecords = (ZTMESSAGE_MAX_DATA_SIZE - kMasterSize) / kDeviceSize;
  const size_t count = std::min<size_t>(config->deviceInfo ? config->numberOfDevices : 0, kMaxRecords);
  ZtMessage_constructSized(message, kMasterSize + count * kDeviceSize);
  ZtMessage_setMessageId(message, ZTDEVICECONFIGURATION_MESSAGE_ID);
  ZtMessage_setBusId(message, ZTMESSAGE_MASTER_BUS_ID);

  ZtMessage_setDataLong(message, config->masterDeviceId, 0);
  ZtMessage_setDataShort(message, config->samplingPeriod, 4);
  ZtMessage_setDataShort(message, config->outputSkipFactor, 6);
  ZtMessage_setDataShort(message, config->reservedShort1, 8);
  ZtMessage_setDataShort(message, config->reservedShort2, 10);
  ZtMessage_setDataLong(message, config->reservedLong, 12);
  writeBlock(message, 16, config->date, sizeof config->date);
  writeBlock(message, 24, config->time, sizeof config->time);
  writeBlock(message, 32, config->reservedBlock1, sizeof config->reservedBlock1);
  writeBlock(message, 64, config->reservedBlock2, sizeof config->reservedBlock2);
  ZtMessage_setDataShort(message, static_cast<uint16_t>(count), 96);

  for (size_t i = 0; i < count; ++i) {
    const size_t o = kMasterSize + i * kDeviceSize;
    const ZtDeviceConfigurationDevice& d = config->deviceInfo[i];
    ZtMessage_setDataLong(message, d.deviceId, o);
    ZtMessage_setDataShort(message, d.dataLength, o + 4);
    ZtMessage_setDataShort(message, d.outputMode, o + 6);
    ZtMessage_setDataLong(message, d.outputSettings, o + 8);
    ZtMessage_setDataShort(message, d.currentScenario, o + 12);
    ZtMessage_setDataByte(message, d.firmwareMajor, o + 14);
    ZtMessage_setDataByte(message, d.firmwareMinor, o + 15);
    ZtMessage_setDataByte(message, d.firmwareRevision, o + 16);
    ZtMessage_setDataByte(message, d.filterType, o + 17);
    ZtMessage_setDataByte(message, d.filterMajor, o + 18);
    ZtMessage_setDataByte(message, d.filterMinor, o + 19);
  }
  ZtMessage_recomputeChecksum(message);
}

}  // extern "C"
