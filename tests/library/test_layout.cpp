// The functions a streaming tracker runs per packet (cmake/hot-functions.txt) name functions the
// libraries still define, and where the build orders its text, they lead the device library's
// text in one dense run.
#include <gtest/gtest.h>

#include "support/CommandOutput.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using zelto::test::commandOutput;

std::vector<std::string> listedFunctions() {
  std::vector<std::string> names;
  std::ifstream in(ZDA_HOT_FUNCTIONS);
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && line[0] != '#') names.push_back(line);
  return names;
}

struct Function {
  unsigned long long address = 0;
  unsigned long long size = 0;
};

// The text symbols an object defines, by name, with address and size.
std::map<std::string, Function> textSymbols(const std::string& so) {
  std::map<std::string, Function> out;
  std::istringstream lines(commandOutput("nm -S --defined-only '" + so + "'"));
  for (std::string line; std::getline(lines, line);) {
    std::istringstream f(line);
    std::string address, size, kind, name;
    if (!(f >> address >> size >> kind >> name) || (kind != "t" && kind != "T")) continue;
    out[name] = {std::stoull(address, nullptr, 16), std::stoull(size, nullptr, 16)};
  }
  return out;
}

TEST(HotPathLayout, ListedFunctionsExistAndLeadTheText) {
  const std::vector<std::string> listed = listedFunctions();
  ASSERT_GE(listed.size(), 50u) << "no list read from " << ZDA_HOT_FUNCTIONS;
  const auto device = textSymbols(ZDA_DEVICEAPI_SO);
  const auto types = textSymbols(ZDA_ZTTYPES_SO);
  ASSERT_FALSE(device.empty()) << "nm read no text symbols from " << ZDA_DEVICEAPI_SO;

  // A list gone stale after renames lays out nothing: regenerate it with scripts/hot-functions.
  std::vector<Function> inDevice;
  size_t found = 0;
  for (const std::string& name : listed) {
    const auto d = device.find(name);
    if (d != device.end()) inDevice.push_back(d->second);
    if (d != device.end() || types.count(name) != 0) ++found;
  }
  EXPECT_GE(found * 10, listed.size() * 9) << found << " of " << listed.size() << " listed functions exist";

  if (!ZDA_HOT_LAYOUT) GTEST_SKIP() << "this build does not order its text";
  ASSERT_FALSE(inDevice.empty());
  unsigned long long textStart = ~0ull, lo = ~0ull, hi = 0, bytes = 0;
  for (const auto& [name, f] : device) textStart = std::min(textStart, f.address);
  for (const Function& f : inDevice) {
    lo = std::min(lo, f.address);
    hi = std::max(hi, f.address + f.size);
    bytes += f.size;
  }
  EXPECT_EQ(lo, textStart) << "the listed functions do not start the text";
  // Alignment padding only between them: nothing else is placed in their run.
  EXPECT_LE(hi - lo, bytes + 16 * inDevice.size()) << "the listed functions are spread over " << (hi - lo)
                                                   << " bytes for " << bytes << " bytes of code";
}

}  // namespace
