#pragma once
// Descriptive settings written into a device configuration file beside the configuration itself.
#include <cstddef>

class ZtDevice;
namespace zelto {
class SettingsFile;
}

namespace Internal {

class MetaInformation {
 public:
  virtual ~MetaInformation() = default;
  // Adds this information about the device to file.
  virtual bool write(ZtDevice& device, zelto::SettingsFile& file) const = 0;
  // The number of settings write adds.
  virtual size_t size() const = 0;
};

}  // namespace Internal
