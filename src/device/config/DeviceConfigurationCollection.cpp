#include "device/config/DeviceConfigurationCollection.h"

#include "device/config/DeviceConfigurationMessages.h"
#include "device/config/DeviceConfigurationMetaInformation.h"
#include "device/config/SetMessageCollection.h"

DeviceConfigurationCollection::DeviceConfigurationCollection(DeviceConfigurationMessages* messages,
                                                             DeviceConfigurationMetaInformation* metaInformation)
    : m_messages(messages), m_metaInformation(metaInformation) {}

DeviceConfigurationCollection::~DeviceConfigurationCollection() {
  delete m_messages;
  delete m_metaInformation;
}

bool DeviceConfigurationCollection::create(ZtDevice& device, zelto::SettingsFile& file, int timeoutMs) const {
  Internal::SetMessageCollection setMessages;
  if (!m_messages) return false;
  if (!m_messages->generate(device, setMessages, timeoutMs)) return false;
  if (m_metaInformation && !m_metaInformation->write(device, file)) return false;
  return setMessages.write(file);
}

bool DeviceConfigurationCollection::apply(ZtDevice& device, const zelto::SettingsFile& file, int timeoutMs) const {
  Internal::SetMessageCollection setMessages;
  if (!setMessages.read(file)) return false;
  return setMessages.apply(device, timeoutMs);
}

size_t DeviceConfigurationCollection::messageCount() const { return m_messages ? m_messages->size() : 0; }

size_t DeviceConfigurationCollection::metaInformationCount() const {
  return m_metaInformation ? m_metaInformation->size() : 0;
}
