#include "ekts/EktsManager.h"

#include <cstring>
#include <memory>

#include "ekts/Ekts3.h"
#include "ekts/Ekts4.h"
#include "ekts/Ekts5.h"

EktsManager::EktsManager() : m_ekts(new zelto::Ekts()) {}

EktsManager::~EktsManager() { delete m_ekts; }

bool EktsManager::initialize(int version) {
  std::unique_ptr<zelto::Ekts> fresh;
  switch (version) {
    case 2:
    case 3: fresh = std::make_unique<zelto::Ekts3>(); break;
    case 4: fresh = std::make_unique<zelto::Ekts4>(); break;
    case 5: fresh = std::make_unique<zelto::Ekts5>(); break;
    default: return false;
  }
  delete m_ekts;
  m_ekts = fresh.release();
  return true;
}

bool EktsManager::initializeFromBuffer(const uint8_t* buffer, int size, bool encrypted) {
  constexpr int kHeader = 30;
  if (!buffer || size < kHeader) return false;
  uint8_t header[kHeader];
  std::memcpy(header, buffer, kHeader);
  if (encrypted) zelto::Ekts::codeEkts(header, header, kHeader, 0);
  if (!initialize(header[29])) return false;
  m_ekts->initializeFromBuffer(buffer, size, encrypted);
  return true;
}

int EktsManager::getEncryptedEktsData(uint8_t* out) { return m_ekts->getEncryptedEktsData(out); }

void EktsManager::codeEkts(const void* source, void* destination, int length, int keyPosition) {
  zelto::Ekts::codeEkts(source, destination, length, keyPosition);
}

uint8_t* EktsManager::getPagePtr(int page) {
  uint8_t* data = m_ekts->pointerToData();
  if (!data || page < 1 || page > 5) return nullptr;
  return data + (page - 1) * zelto::Ekts::kPageSize;
}

bool EktsManager::hasPage5() const { return m_ekts->dataSize() > 1319; }

uint8_t EktsManager::zkfScenarioType() const { return static_cast<uint8_t>(m_ekts->zkfScenario() & 0xFF); }
uint8_t EktsManager::zkfScenarioVersion() const { return static_cast<uint8_t>(m_ekts->zkfScenario() >> 8); }
uint8_t EktsManager::hardwareVersionMajor() const { return static_cast<uint8_t>(m_ekts->hardwareVersion() >> 8); }
uint8_t EktsManager::hardwareVersionMinor() const { return static_cast<uint8_t>(m_ekts->hardwareVersion() & 0xFF); }
uint8_t EktsManager::ktsVersionMajor() const { return static_cast<uint8_t>(m_ekts->ktsVersion() >> 8); }
uint8_t EktsManager::ktsVersionMinor() const { return static_cast<uint8_t>(m_ekts->ktsVersion() & 0xFF); }
uint8_t EktsManager::gpsPrintHardwareVersionMajor() const {
  return static_cast<uint8_t>(m_ekts->gpsPrintHardwareVersion() >> 8);
}
uint8_t EktsManager::gpsPrintHardwareVersionMinor() const {
  return static_cast<uint8_t>(m_ekts->gpsPrintHardwareVersion() & 0xFF);
}
uint8_t EktsManager::gpsConfigurationSettingsVersionMajor() const {
  return static_cast<uint8_t>(m_ekts->gpsConfigurationSettingsVersion() >> 8);
}
uint8_t EktsManager::gpsConfigurationSettingsVersionMinor() const {
  return static_cast<uint8_t>(m_ekts->gpsConfigurationSettingsVersion() & 0xFF);
}

#define EKTS_MANAGER_GET(name, Name, kind)                              \
  bool EktsManager::has##Name() const { return m_ekts->has##Name(); }   \
  zelto::EktsGet_##kind EktsManager::name() const { return m_ekts->name(); }
#define EKTS_MANAGER_SET(name, Name, kind) \
  EKTS_MANAGER_GET(name, Name, kind)        \
  void EktsManager::set##Name(zelto::EktsSet_##kind value) { m_ekts->set##Name(value); }
#define EKTS_FIELD(name, Name, kind, o3, o4, o5, mgr) EKTS_MANAGER_##mgr(name, Name, kind)
#include "ekts/EktsFields.h"
#undef EKTS_FIELD
#undef EKTS_MANAGER_SET
#undef EKTS_MANAGER_GET
