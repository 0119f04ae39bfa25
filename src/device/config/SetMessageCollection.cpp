#include "device/config/SetMessageCollection.h"

#include "foundation/BinaryObject.h"
#include "foundation/SettingsFile.h"
#include "foundation/Variant.h"

namespace Internal {

namespace {

// True when bytes hold exactly one complete Zbus message with a correct checksum; message then
// holds it.
bool loadWholeMessage(const zelto::BinaryObject& bytes, SetMessage& message) {
  ZtMessage loaded;
  ZtMessage_construct(&loaded);
  const bool whole = bytes.size() != 0 && ZtMessage_load(&loaded, bytes.size(), bytes.data()) == 1 &&
                     ZtMessage_getTotalMessageSize(&loaded) == bytes.size() && ZtMessage_isChecksumOk(&loaded);
  if (whole) message.setMessage(loaded);
  ZtMessage_destruct(&loaded);
  return whole;
}

}  // namespace

SetMessageCollection::~SetMessageCollection() = default;

bool SetMessageCollection::apply(ZtDevice& device, int timeoutMs) const {
  for (const auto& entry : m_messages)
    if (!entry.second.apply(device, timeoutMs)) return false;
  return true;
}

bool SetMessageCollection::read(const zelto::SettingsFile& file) {
  const uint32_t count = file.size();
  for (uint32_t index = 0; index < count; ++index) {
    const zelto::Setting* setting = file.getSetting(index);
    if (!setting) return false;
    if (!setting->hasPrefix(m_messagePrefix)) continue;
    const zelto::Variant& value = setting->value();
    if (value.kind() != zelto::Variant::KindBinaryObject) return false;
    SetMessage message;
    if (!loadWholeMessage(value.toConstBinaryObject(), message)) return false;
    if (!add(setting->label(), message)) return false;
  }
  return true;
}

bool SetMessageCollection::write(zelto::SettingsFile& file) const {
  bool complete = true;
  for (const auto& [name, message] : m_messages) {
    const ZtMessage& raw = message.getMessage();
    const size_t size = ZtMessage_getTotalMessageSize(&raw);
    if (size == 0) {
      complete = false;
      continue;
    }
    const uint32_t before = file.size();
    const zelto::Variant value(zelto::BinaryObject(static_cast<uint32_t>(size), ZtMessage_getMessageStart(&raw)));
    if (file.addSetting(m_messagePrefix, name.c_str(), value) != ZRV_OK || file.size() != before + 1) complete = false;
  }
  return complete;
}

bool SetMessageCollection::add(const std::string& name, const SetMessage& message) {
  return m_messages.emplace(name, message).second;
}

bool SetMessageCollection::add(const std::string& name, const uint8_t* bytes, size_t count) {
  if (m_messages.count(name)) return false;
  return m_messages.emplace(name, SetMessage(bytes, count)).second;
}

}  // namespace Internal
