// Arbitrary bytes as the payload of the settings records devices and log files carry: the
// device configuration (0x0D), the wireless station's and the bus master's settings (0x8B).
// Reading must stay inside the payload and believe no count beyond it; whatever is read must
// compose into a message that reads back into the same record, and a configuration read again
// into a record already holding one must give the same result as into a fresh one.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "otherdevices/busmaster/EzmsData.h"
#include "otherdevices/wireless/EwmsData.h"
#include "zeltodeviceapi/ztdevicetypes.h"
#include "zttypes/ztmessage.h"

namespace {

void require(bool ok) {
  if (!ok) __builtin_trap();
}

constexpr size_t kMaster = ZTDEVICECONFIGURATION_MASTER_SIZE;
constexpr size_t kDevice = ZTDEVICECONFIGURATION_DEVICE_SIZE;
constexpr size_t kMasterFields = offsetof(ZtDeviceConfiguration, numberOfDevices);

bool sameConfiguration(const ZtDeviceConfiguration& a, const ZtDeviceConfiguration& b) {
  if (std::memcmp(&a, &b, kMasterFields) != 0 || a.numberOfDevices != b.numberOfDevices) return false;
  return a.numberOfDevices == 0 ||
         std::memcmp(a.deviceInfo, b.deviceInfo, a.numberOfDevices * sizeof *a.deviceInfo) == 0;
}

bool sameData(const ZtMessage& a, const ZtMessage& b) {
  const size_t n = ZtMessage_dataSize(&a);
  return n == ZtMessage_dataSize(&b) && (n == 0 || std::memcmp(ZtMessage_constData(&a), ZtMessage_constData(&b), n) == 0);
}

void configuration(const ZtMessage& in, const uint8_t* data, size_t size) {
  ZtDeviceConfiguration config;
  ZtDeviceConfiguration_construct(&config);
  ZtDeviceConfiguration_readFromMessage(&config, &in);
  const size_t present = size > kMaster ? (size - kMaster) / kDevice : 0;
  const size_t count = config.numberOfDevices;
  require(count <= present && (count == 0) == (config.deviceInfo == nullptr));

  ZtMessage out;
  ZtDeviceConfiguration_writeToMessage(&config, &out);
  require(ZtMessage_dataSize(&out) == kMaster + count * kDevice);
  if (size >= kMaster) {
    // Every byte read is written back where it came from; only the count may shrink.
    const uint8_t* o = ZtMessage_constData(&out);
    require(std::memcmp(o, data, kMaster - 2) == 0 && ZtMessage_getDataShort(&out, kMaster - 2) == count);
    require(count == 0 || std::memcmp(o + kMaster, data + kMaster, count * kDevice) == 0);
  }

  ZtDeviceConfiguration again;
  ZtDeviceConfiguration_construct(&again);
  ZtDeviceConfiguration_readFromMessage(&again, &out);
  require(sameConfiguration(config, again));

  // Reuse: a record holding another configuration (the input cut short) reads the full one.
  ZtMessage shorter;
  ZtMessage_constructSized(&shorter, size / 2);
  if (size / 2) ZtMessage_setDataBuffer(&shorter, data, size / 2, 0);
  ZtDeviceConfiguration_readFromMessage(&again, &shorter);
  ZtDeviceConfiguration_readFromMessage(&again, &in);
  require(sameConfiguration(config, again));

  // Copies and a self-assignment that shrinks keep the records they still hold.
  ZtDeviceConfiguration copy;
  ZtDeviceConfiguration_construct(&copy);
  ZtDeviceConfiguration_copy(&copy, &config);
  require(sameConfiguration(config, copy));
  ZtDeviceConfiguration_assign(&copy, static_cast<uint16_t>(count / 2), &copy);
  require(copy.numberOfDevices == count / 2 && std::memcmp(&copy, &config, kMasterFields) == 0);
  require(count / 2 == 0 || std::memcmp(copy.deviceInfo, config.deviceInfo, count / 2 * kDevice) == 0);

  ZtDeviceConfiguration_destruct(&copy);
  ZtMessage_destruct(&shorter);
  ZtDeviceConfiguration_destruct(&again);
  ZtMessage_destruct(&out);
  ZtDeviceConfiguration_destruct(&config);
}

void stationSettings(const ZtMessage& in, size_t size) {
  zelto::EwmsData station;
  const bool accepted = station.setWmsData(in);
  require(accepted == (size >= zelto::EwmsData::kFixedSize));
  if (!accepted) return;
  require(station.inputTriggerCount() <= zelto::EwmsData::kSlots && station.outputTriggerCount() <= zelto::EwmsData::kSlots);
  require(station.productCode().size() <= zelto::EwmsData::kProductCodeSize);
  ZtMessage first = station.toMessage(0xFF);
  zelto::EwmsData again;
  require(again.setWmsData(first));
  require(again.inputTriggerCount() == station.inputTriggerCount() &&
          again.outputTriggerCount() == station.outputTriggerCount() && again.productCode() == station.productCode());
  ZtMessage second = again.toMessage(0xFF);
  require(sameData(first, second));
  ZtMessage_destruct(&second);
  ZtMessage_destruct(&first);
}

void busMasterSettings(const ZtMessage& in, const uint8_t* data, size_t size) {
  zelto::EzmsData master;
  const bool accepted = master.setZmsData(in);
  require(accepted == (size >= zelto::EzmsData::kDataSize));
  if (!accepted) return;
  // Every byte of the record is kept, known or not.
  ZtMessage out;
  ZtMessage_construct(&out);
  master.toMessage(0x01, out);
  require(ZtMessage_dataSize(&out) == zelto::EzmsData::kDataSize &&
          std::memcmp(ZtMessage_constData(&out), data, zelto::EzmsData::kDataSize) == 0);
  ZtMessage_destruct(&out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > ZTMESSAGE_MAX_DATA_SIZE) return 0;
  ZtMessage in;
  ZtMessage_constructSized(&in, size);
  if (size) ZtMessage_setDataBuffer(&in, data, size, 0);
  configuration(in, data, size);
  stationSettings(in, size);
  busMasterSettings(in, data, size);
  ZtMessage_destruct(&in);
  return 0;
}
