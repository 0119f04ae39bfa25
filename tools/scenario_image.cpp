// Build-time tool: turns the readable scenario source (ZSA text) into the scrambled zsb image
// that the library embeds as its built-in filter profiles.
//   scenario_image <source.zsa> <output.zsb>
#include <cstdio>
#include <vector>

#include "foundation/SettingsFile.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <source.zsa> <output.zsb>\n", argv[0]);
    return 2;
  }
  zelto::SettingsFile settings;
  const ZtResultValue read = settings.readZsa(argv[1]);
  if (read != 0) {
    std::fprintf(stderr, "%s: cannot read %s (result %d)\n", argv[0], argv[1], static_cast<int>(read));
    return 1;
  }
  std::vector<char> image(settings.serialize(nullptr));
  if (settings.serialize(image.data()) != image.size()) return 1;
  // Read back what is written: the library must be able to load it.
  zelto::SettingsFile check;
  if (check.deserialize(image.data(), image.size()) != image.size() || !check.isEncrypted()) {
    std::fprintf(stderr, "%s: the image does not read back\n", argv[0]);
    return 1;
  }
  std::FILE* out = std::fopen(argv[2], "wb");
  if (!out) return 1;
  const bool ok = std::fwrite(image.data(), 1, image.size(), out) == image.size();
  return (std::fclose(out) == 0 && ok) ? 0 : 1;
}
