#include "support/CommandOutput.h"

#include <array>
#include <cstdio>
#include <memory>

namespace zelto::test {

std::string commandOutput(const std::string& command) {
  std::string out;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return out;
  std::array<char, 512> buf{};
  while (fgets(buf.data(), buf.size(), pipe.get())) out += buf.data();
  return out;
}

}  // namespace zelto::test
