#pragma once
// The one object through which a tracker reaches its device record. It holds exactly one
// record (an empty `zelto::Ekts` until the first successful initialize), picks the version class
// from the record's format version and forwards every field accessor to it: the presence test
// and getter of all fields, the setter of those marked SET in EktsFields.h.
// No lock: the owning device serialises calls.
#include <cstdint>

#include "ekts/Ekts.h"

class EktsManager {
 public:
  EktsManager();
  virtual ~EktsManager();
  EktsManager(const EktsManager&) = delete;
  EktsManager& operator=(const EktsManager&) = delete;

  // The held record, never null; ownership stays here.
  zelto::Ekts* ekts() const { return m_ekts; }

  // Replaces the held record by a new empty record of the format version (2 and 3: Ekts3,
  // 4: Ekts4, 5: Ekts5). Any other version returns false and changes nothing. The new record is
  // made before the old one goes, so a failed allocation (std::bad_alloc) leaves it in place.
  bool initialize(int version);
  // Takes the version from image byte 29 (of an unscrambled copy of the first 30 bytes when the
  // image is scrambled), initialises and loads the image. False, with nothing changed, for a null
  // buffer, fewer than 30 bytes, a negative size or a version initialize refuses. The caller's
  // buffer is never changed.
  bool initializeFromBuffer(const uint8_t* buffer, int size, bool encrypted);
  // The held record's scrambled export: 1320 for a version record (written unless out is null),
  // 0 for the empty record.
  int getEncryptedEktsData(uint8_t* out);
  static void codeEkts(const void* source, void* destination, int length, int keyPosition);
  // Page 1 to 5 of the held image; null while the empty record is held and for other pages.
  uint8_t* getPagePtr(int page);
  // True when the held image holds all five pages.
  bool hasPage5() const;

  uint8_t zkfScenarioType() const;
  uint8_t zkfScenarioVersion() const;
  uint8_t hardwareVersionMajor() const;
  uint8_t hardwareVersionMinor() const;
  uint8_t ktsVersionMajor() const;
  uint8_t ktsVersionMinor() const;
  uint8_t gpsPrintHardwareVersionMajor() const;
  uint8_t gpsPrintHardwareVersionMinor() const;
  uint8_t gpsConfigurationSettingsVersionMajor() const;
  uint8_t gpsConfigurationSettingsVersionMinor() const;

#define EKTS_MANAGER_GET(name, Name, kind)  \
  virtual bool has##Name() const;            \
  virtual zelto::EktsGet_##kind name() const;
#define EKTS_MANAGER_SET(name, Name, kind) \
  EKTS_MANAGER_GET(name, Name, kind)        \
  virtual void set##Name(zelto::EktsSet_##kind value);
#define EKTS_FIELD(name, Name, kind, o3, o4, o5, mgr) EKTS_MANAGER_##mgr(name, Name, kind)
#include "ekts/EktsFields.h"
#undef EKTS_FIELD
#undef EKTS_MANAGER_SET
#undef EKTS_MANAGER_GET

 private:
  zelto::Ekts* m_ekts;
};
