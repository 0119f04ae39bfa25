#include "support/TestTracker.h"

#include <cstring>

#include "filters/common/DecryptedScenarioPage.h"

#include "ekts/EktsManager.h"
#include "support/TestDevice.h"
#include "transport/link/Communicator.h"

namespace zelto::test {

namespace {

struct Message {
  ZtMessage m;
  Message() { ZtMessage_construct(&m); }
  Message(uint8_t id, std::vector<uint8_t> payload) {
    ZtMessage_constructSized(&m, 0);
    ZtMessage_setMessageId(&m, id);
    if (!payload.empty()) ZtMessage_setDataBuffer(&m, payload.data(), payload.size(), 0);
  }
  ~Message() { ZtMessage_destruct(&m); }
  Message(const Message&) = delete;
  Message& operator=(const Message&) = delete;
};

}  // namespace

bool fetchRecordOf(ZtDevice& device, EktsManager& record) {
  Message request(0x90, {0, 255});
  Message reply;
  if (!device.ZtDevice::sendCustomMessage(request.m, true, reply.m, 2000)) return false;
  const uint8_t* data = ZtMessage_constData(&reply.m);
  return data && record.initializeFromBuffer(data, static_cast<int>(ZtMessage_dataSize(&reply.m)), true);
}

bool fetchConfigurationOf(ZtDevice& device, ZtDeviceConfiguration& configuration) {
  Message request(0x0C, {});
  Message reply;
  if (!device.ZtDevice::sendCustomMessage(request.m, true, reply.m, 1000)) return false;
  ZtDeviceConfiguration_readFromMessage(&configuration, &reply.m);
  return true;
}

void TestScenarioParams::writeToDecryptedScenarioPage(void* out) {
  auto* page = static_cast<DecryptedScenarioPage*>(out);
  page->clear();
  page->type = m_profile.type;
  page->version = m_profile.version;
  page->setLabel(m_profile.label);
  std::memcpy(page->values, &m_marker, sizeof m_marker);
  page->trailer = 0xBEEF;
}

TestTracker::TestTracker(Communicator* communicator)
    : WithTestTrackerSlots<KtDevice>(TestDevice::noFactory(), communicator) {}

TestTracker::TestTracker(DeviceFactory& factory, Communicator* communicator)
    : WithTestTrackerSlots<KtDevice>(factory, communicator) {}

TestTracker::TestTracker(ZtDevice* master, ZtDeviceId id) : WithTestTrackerSlots<KtDevice>(master, id) {}

bool TestTracker::loadRecord(const std::vector<uint8_t>& image, bool encrypted) {
  return m_ekts->initializeFromBuffer(image.data(), static_cast<int>(image.size()), encrypted);
}

bool TestTracker::fetchRecord() { return fetchRecordOf(*this, *m_ekts); }

bool TestTracker::fetchConfiguration() { return fetchConfigurationOf(*this, m_configuration); }

void TestTracker::setConfiguredDevices(const std::vector<ZtDeviceId>& ids) {
  ZtDeviceConfiguration_assign(&m_configuration, static_cast<uint16_t>(ids.size()), nullptr);
  for (size_t i = 0; i < ids.size(); ++i) m_configuration.deviceInfo[i].deviceId = ids[i];
}

const KtDevice::KtSyncSettings TestTracker::recordSync() const {
  KtSyncSettings s;
  s.syncInMode = m_ekts->syncInMode();
  s.syncInSkipFactor = m_ekts->syncInSkipFactor();
  s.syncInOffset = m_ekts->syncInOffset();
  s.syncOutMode = m_ekts->syncOutMode();
  s.syncOutSkipFactor = m_ekts->syncOutSkipFactor();
  s.syncOutOffset = m_ekts->syncOutOffset();
  s.syncOutPulseWidth = m_ekts->syncOutPulseWidth();
  return s;
}

}  // namespace zelto::test
