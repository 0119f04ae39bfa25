// The build-time generator of the WMM tables: the generated tables hold exactly the numbers of
// the coefficient files, and any file that does not match its checksum, epoch, row order or
// terminators stops the generator (and so the build).
#include <gtest/gtest.h>

#include <cstdio>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/TempDir.h"
#include "math/geomag/WmmTable.h"
#include "support/wmm/Wmm2015Table.h"

namespace {

const std::string kDataDir = std::string(ZDA_SOURCE_DIR) + "/data/wmm";
const std::string kGenerator = std::string(ZDA_SOURCE_DIR) + "/src/math/geomag/WmmTables.cmake";

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

std::string join(const std::vector<std::string>& v) {
  std::string s;
  for (const auto& l : v) s += l + "\n";
  return s;
}

struct Outcome {
  int status;
  std::string output;
};

Outcome runGenerator(const std::string& dataDir, const std::string& output, const std::string& models) {
  const std::string command = "cmake -DWMM_DATA_DIR='" + dataDir + "' -DWMM_OUTPUT='" + output + "' -DWMM_MODELS='" +
                              models + "' -P '" + kGenerator + "' 2>&1";
  Outcome o{-1, ""};
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return o;
  char buf[512];
  while (fgets(buf, sizeof buf, pipe)) o.output += buf;
  o.status = pclose(pipe);
  return o;
}

TEST(WmmGenerator, TablesHoldTheFileNumbers) {
  struct Model {
    const char* file;
    const WmmCoefficient* rows;
  } models[] = {
      {"WMM2005.COF", g_wmmTable20052010},
      {"WMM2010.COF", g_wmmTable20102015},
      {"WMM2015.COF", g_wmmTable20152020},
  };
  for (const Model& m : models) {
    const auto text = lines(readFile(kDataDir + "/" + m.file));
    ASSERT_EQ(text.size(), 93u) << m.file;
    for (int i = 0; i < 90; ++i) {
      std::istringstream row(text[i + 1]);
      int n, order;
      std::string g, h, gdot, hdot;
      row >> n >> order >> g >> h >> gdot >> hdot;
      const WmmCoefficient& c = m.rows[i];
      EXPECT_EQ(c.n, n) << m.file << " row " << i;
      EXPECT_EQ(c.m, order) << m.file << " row " << i;
      // Same decimal text, same double (sign of zero included).
      EXPECT_EQ(std::to_string(c.g), std::to_string(std::strtod(g.c_str(), nullptr))) << m.file << " row " << i;
      EXPECT_EQ(c.g, std::strtod(g.c_str(), nullptr)) << m.file << " row " << i;
      EXPECT_EQ(c.h, std::strtod(h.c_str(), nullptr)) << m.file << " row " << i;
      EXPECT_EQ(c.gdot, std::strtod(gdot.c_str(), nullptr)) << m.file << " row " << i;
      EXPECT_EQ(c.hdot, std::strtod(hdot.c_str(), nullptr)) << m.file << " row " << i;
      EXPECT_EQ(std::signbit(c.hdot), hdot[0] == '-') << m.file << " row " << i;
    }
  }
  EXPECT_EQ(g_wmmTable20102015[0].g, -29496.6);
  EXPECT_EQ(g_wmmTable20052010[0].gdot, 8.0);
  EXPECT_EQ(g_wmmTable20152020[89].n, 12);
  EXPECT_EQ(g_wmmTable20152020[89].m, 12);
}

TEST(WmmGenerator, RejectsFilesThatDoNotMatch) {
  const std::string original = readFile(kDataDir + "/WMM2010.COF");
  const auto originalLines = lines(original);
  ASSERT_EQ(originalLines.size(), 93u);

  auto swapped = originalLines;
  std::swap(swapped[2], swapped[3]);
  auto noTerminator = originalLines;
  noTerminator.pop_back();
  auto badTerminator = originalLines;
  badTerminator[92].back() = '8';
  auto garbage = originalLines;
  garbage[40] = "  5  3   abc   1.0  2.0  3.0";
  auto extraRow = originalLines;
  extraRow.insert(extraRow.begin() + 91, originalLines[90]);

  struct Case {
    const char* name;
    std::string text;
    bool matchingChecksum;  // write SHA256SUMS for the altered text, so another check must catch it
    const char* epoch;
    const char* message;
  } cases[] = {
      {"unaltered", original, true, "2010.0", nullptr},
      {"altered digit, old checksum", [&] { auto l = originalLines; l[1][20] = '7'; return join(l); }(), false, "2010.0",
       "SHA-256"},
      {"other epoch", original, true, "2015.0", "epoch 2010.0, expected 2015.0"},
      {"rows out of order", join(swapped), true, "2010.0", "where (1, 1) belongs"},
      {"terminator missing", join(noTerminator), true, "2010.0", "92 lines"},
      {"terminator altered", join(badTerminator), true, "2010.0", "terminator"},
      {"row not numbers", join(garbage), true, "2010.0", "line 41"},
      {"extra row", join(extraRow), true, "2010.0", "94 lines"},
  };
  for (const Case& c : cases) {
    zelto::test::TempDir dir;
    writeFile(dir.file("WMM2010.COF"), c.text);
    if (c.matchingChecksum) {
      ASSERT_EQ(std::system(("cd '" + dir.path() + "' && sha256sum WMM2010.COF > SHA256SUMS").c_str()), 0);
    } else {
      writeFile(dir.file("SHA256SUMS"), readFile(kDataDir + "/SHA256SUMS"));
    }
    const std::string output = dir.file("out.cpp");
    const Outcome o = runGenerator(dir.path(), output, std::string("WMM2010.COF:") + c.epoch + ":g_table");
    if (c.message == nullptr) {
      EXPECT_EQ(o.status, 0) << c.name << ": " << o.output;
      const std::string generated = readFile(output);
      EXPECT_NE(generated.find("const WmmCoefficient g_table[90] = {\n    {1, 0, -29496.6, 0.0, 11.6, 0.0},\n"),
                std::string::npos)
          << generated;
      EXPECT_NE(generated.find("    {12, 12, 0.0, 0.9, 0.1, 0.0},\n};"), std::string::npos) << generated;
    } else {
      EXPECT_NE(o.status, 0) << c.name;
      EXPECT_NE(o.output.find(c.message), std::string::npos) << c.name << ": " << o.output;
      EXPECT_FALSE(std::ifstream(output).good()) << c.name << ": no output on failure";
    }
  }
}

}  // namespace
