// Record images from devices and files: any size and version byte, plain or scrambled. Every
// field is read through the manager, then the image is exported and imported again and must
// come back unchanged.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ekts/EktsManager.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool encrypted = data[0] & 1;
  const bool negative = data[0] & 2;
  // The buffer is exactly the remaining bytes, so ASan sees any read past it.
  std::vector<uint8_t> buffer(data + 1, data + size);
  const int n = negative ? -static_cast<int>(buffer.size()) - 1 : static_cast<int>(buffer.size());
  EktsManager m;
  const bool ok = m.initializeFromBuffer(buffer.empty() ? nullptr : buffer.data(), n, encrypted);
  volatile double sink = 0;
#define EKTS_MANAGER_READ(name, Name) \
  if (m.has##Name()) sink = sink + 1;  \
  (void)m.name();
#define EKTS_FIELD(name, Name, kind, o3, o4, o5, mgr) EKTS_MANAGER_READ(name, Name)
#include "ekts/EktsFields.h"
#undef EKTS_FIELD
  if (!ok) {
    if (m.getEncryptedEktsData(nullptr) != 0) abort();
    return 0;
  }
  const int total = m.getEncryptedEktsData(nullptr);
  if (total != 1320) abort();
  std::vector<uint8_t> out(total);
  m.getEncryptedEktsData(out.data());
  EktsManager again;
  if (!again.initializeFromBuffer(out.data(), total, true)) abort();
  if (std::memcmp(again.ekts()->pointerToData(), m.ekts()->pointerToData(), 1320) != 0) abort();
  return 0;
}
