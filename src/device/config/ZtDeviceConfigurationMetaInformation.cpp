#include "device/config/ZtDeviceConfigurationMetaInformation.h"

#include "device/ZtDevice.h"
#include "foundation/SettingsFile.h"
#include "foundation/Variant.h"

bool ZtDeviceConfigurationMetaInformation::write(ZtDevice& device, zelto::SettingsFile& file) const {
  ZtString productCode = device.productCode();
  file.addSetting("Info.", "ProductCode", zelto::Variant(productCode));
  ZtString_destruct(&productCode);
  const ZtVersion version = device.firmwareVersion();
  ZtString text;
  ZtString_construct(&text, "");
  ZtVersion_toString(&version, &text);
  file.addSetting("Info.", "FirmwareVersion", zelto::Variant(text));
  ZtString_destruct(&text);
  return true;
}
