#pragma once
// One device configuration for one call of ZtDevice::createConfigFile or applyConfigFile: the
// device's configuration requests and its meta information, both owned.
//
// create: every request is sent, its reply turned into a set message and written back to the
// device, and only then are the "Info." settings and the "Config." settings added to the file.
// apply: the "Config." settings of a file are read and checked as a whole, then sent in label
// order; the requests and the meta information play no part.
#include <cstddef>

class ZtDevice;
class DeviceConfigurationMessages;
class DeviceConfigurationMetaInformation;
namespace zelto {
class SettingsFile;
}

class DeviceConfigurationCollection {
 public:
  // Takes ownership of both; either may be null.
  DeviceConfigurationCollection(DeviceConfigurationMessages* messages, DeviceConfigurationMetaInformation* metaInformation);
  // Destroys both.
  virtual ~DeviceConfigurationCollection();
  DeviceConfigurationCollection(const DeviceConfigurationCollection&) = delete;
  DeviceConfigurationCollection& operator=(const DeviceConfigurationCollection&) = delete;

  // False without requests, when an exchange fails, or when the file could not take a setting.
  virtual bool create(ZtDevice& device, zelto::SettingsFile& file, int timeoutMs) const;
  // False when the file's configuration settings do not read, or the first message the device
  // does not acknowledge (the messages after it are not sent).
  virtual bool apply(ZtDevice& device, const zelto::SettingsFile& file, int timeoutMs) const;

  size_t messageCount() const;
  size_t metaInformationCount() const;

 private:
  DeviceConfigurationMessages* m_messages;
  DeviceConfigurationMetaInformation* m_metaInformation;
};
