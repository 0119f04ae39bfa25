#pragma once
// Host filter profile files for the fourth-generation trackers' tests: the built-in profiles'
// scenario of one filter copied under new labels, each with its own type, flags or filter
// name, written as a ".zsa" file that a control loads (ZtControl_loadFilterProfiles).
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace zelto::test {

struct ProfileVariant {
  std::string label;      // the new label below the list prefix ("plain")
  int type = 0;           // "gp.type"
  std::string filter;     // "gp.filter"; empty: as built in
  std::string version;    // "gp.filterVersion"; empty: as built in
  std::vector<std::pair<std::string, std::string>> changed;  // key (below the label) and value
};

// The lines of the built-in file under listPrefix + "." + source + ".", turned into each
// variant and listed as the prefix's only scenarios; every other line of the built-in file
// stays (unlisted scenarios are not read).
inline bool writeProfiles(const std::string& path, const std::string& listPrefix, const std::string& source,
                          const std::vector<ProfileVariant>& variants) {
  std::ifstream in(ZDA_SOURCE_DIR "/data/scenarios/scenarios.zsa");
  if (!in) return false;
  const std::string from = listPrefix + "." + source + ".";
  std::vector<std::string> scenario, rest;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(from, 0) == 0)
      scenario.push_back(line.substr(from.size()));
    if (line.rfind(listPrefix + ".scenarios=", 0) != 0) rest.push_back(line);
  }
  std::ofstream out(path);
  out << listPrefix << ".scenarios=U:" << variants.size() << ":";
  for (size_t i = 0; i < variants.size(); ++i) out << (i ? " " : "") << listPrefix << "." << variants[i].label;
  out << "\n";
  for (const ProfileVariant& v : variants) {
    for (const std::string& line : scenario) {
      const std::string key = line.substr(0, line.find('='));
      std::string value = line.substr(line.find('=') + 1);
      if (key == "gp.type") value = "I:" + std::to_string(v.type);
      if (key == "gp.filter" && !v.filter.empty()) value = "S:" + v.filter;
      if (key == "gp.filterVersion" && !v.version.empty()) value = "S:" + v.version;
      for (const auto& [k, changed] : v.changed)
        if (k == key) value = changed;
      out << listPrefix << "." << v.label << "." << key << "=" << value << "\n";
    }
  }
  for (const std::string& line : rest) out << line << "\n";
  return static_cast<bool>(out);
}

}  // namespace zelto::test
