// Settings files: ZSA and zsb round trips of every value kind, label order and case, prefix
// operations, result codes, saves that fail without harming the old file, and hostile images.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/SettingsFile.h"
#include "support/TempDir.h"

namespace zelto {
namespace {

using test::TempDir;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

std::string u32(uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }

std::string imageOf(const SettingsFile& f) {
  std::string image(f.serialize(nullptr), '\0');
  EXPECT_EQ(f.serialize(image.data()), image.size());
  return image;
}

// A settings file whose binary saves are plain: the flag comes from the last image read.
void makePlain(SettingsFile& f) {
  const std::string empty = "*" + u32(0);
  ASSERT_EQ(f.deserialize(empty.data(), empty.size()), 5u);
  ASSERT_FALSE(f.isEncrypted());
}

std::vector<std::string> labelsOf(const SettingsFile& f) {
  std::vector<std::string> labels;
  for (uint32_t i = 0; i < f.size(); ++i) labels.emplace_back(f.getLabel(i));
  return labels;
}

// One setting of every kind.
void fillEveryKind(SettingsFile& f) {
  IntList ints;
  ints.append(1);
  ints.append(4000000000u);
  LabelList labels;
  labels.append("alpha");
  labels.append("Beta");
  const double m[6] = {1, 2, 3, 4, 5, 6.25};
  const double v[3] = {-1.5, 0, 1e-300};
  const uint8_t bytes[4] = {0, 1, 0xFE, 0xFF};
  f.setSetting("k.bool", Variant(true));
  f.setSetting("k.double", Variant(1.0 / 3.0));
  f.setSetting("k.int32", Variant(-5));
  f.setSetting("k.int64", Variant(1L << 40));
  f.setSetting("k.intlist", Variant(ints));
  f.setSetting("k.matrix", Variant(static_cast<const ZtMatrix&>(Matrix(2, 3, m))));
  f.setSetting("k.binary", Variant(BinaryObject(4, bytes)));
  f.setSetting("k.quaternion", Variant(ZtQuaternion{0.5, -0.5, 0.5, -0.5}));
  f.setSetting("k.string", Variant("a short text"));
  f.setSetting("k.text", Variant(std::string(5000, 'x')));
  f.setSetting("k.labels", Variant(labels));
  f.setSetting("k.vector", Variant(v, 3));
  f.setSetting("k.empty", Variant());
}

void expectSameSettings(const SettingsFile& a, const SettingsFile& b) {
  ASSERT_EQ(labelsOf(a), labelsOf(b));
  for (uint32_t i = 0; i < a.size(); ++i) {
    const Variant& x = a.getSetting(i)->value();
    const Variant& y = b.getSetting(i)->value();
    EXPECT_EQ(x.kind(), y.kind()) << a.getLabel(i);
    if (!x.empty()) {
      EXPECT_TRUE(x == y) << a.getLabel(i);
    }
  }
}

class SettingsFileTest : public ::testing::Test {
 protected:
  TempDir dir;
};

// ---- round trips ----

TEST_F(SettingsFileTest, ZsaRoundTripOfEveryKind) {
  SettingsFile f;
  fillEveryKind(f);
  ASSERT_EQ(f.writeZsa(dir.file("all.zsa")), 0);
  EXPECT_FALSE(f.isModified());
  const std::string text = readFile(dir.file("all.zsa"));
  EXPECT_EQ(text.rfind("; ZSA file created by Zelto (tm)\n;", 0), 0u) << text.substr(0, 80);
  EXPECT_NE(text.find("\nk.int32=I:-5\n"), std::string::npos);
  EXPECT_NE(text.find("\nk.empty=\n"), std::string::npos);

  SettingsFile back;
  ASSERT_EQ(back.readZsa(dir.file("all")), 0);  // ".zsa" appended
  EXPECT_TRUE(back.isModified());
  expectSameSettings(f, back);
}

TEST_F(SettingsFileTest, ZsbRoundTripOfEveryKindScrambledAndPlain) {
  for (bool plain : {false, true}) {
    SettingsFile f;
    if (plain) makePlain(f);
    fillEveryKind(f);
    const std::string image = imageOf(f);
    EXPECT_EQ(image[0], plain ? '*' : '#');
    EXPECT_EQ(image.find("k.quaternion") != std::string::npos, plain);
    SettingsFile back;
    EXPECT_EQ(back.deserialize(image.data(), image.size()), image.size());
    EXPECT_EQ(back.isEncrypted(), !plain);
    EXPECT_FALSE(back.isModified());
    expectSameSettings(f, back);
    // Saved again it keeps its form.
    EXPECT_EQ(imageOf(back), image);
  }
}

// The zsb layout and the scramble key are persisted formats (the embedded scenario image and
// every stored file depend on them): these bytes must never change.
TEST_F(SettingsFileTest, ZsbImagesAreByteExact) {
  SettingsFile plain;
  makePlain(plain);
  plain.setSetting("b", Variant("xy"));
  plain.setSetting("a", Variant(5));
  EXPECT_EQ(imageOf(plain), std::string("*\x02\0\0\0" "Wa\0" "I\x05\0\0\0" "Wb\0" "Sxy\0", 20));
  SettingsFile scrambled;
  scrambled.setSetting("a", Variant(5));
  scrambled.setSetting("b", Variant("xy"));
  EXPECT_EQ(imageOf(scrambled),
            std::string("#\x03\xF5\x5A\x75\x7F\x10\xE7\x34\x41\x8C\x54\x8A\x5E\xBC\x77\x7A\x9D\x5F\x1F", 20));

  // The key stream over zero bytes is the 101-byte table, repeated.
  static const uint8_t kTable[101] = {
      0x01, 0xF5, 0x5A, 0x75, 0x28, 0x71, 0xE7, 0x7D, 0x44, 0x8C, 0x54, 0x8A, 0x09, 0xDE, 0x77, 0x29, 0xE5,
      0x26, 0x1F, 0x30, 0xFD, 0x4D, 0xDE, 0x39, 0xE2, 0xDD, 0x2C, 0x3E, 0x93, 0xCD, 0xB6, 0xF4, 0xDB, 0x59,
      0xE0, 0xB5, 0x58, 0xB4, 0x99, 0x61, 0xC2, 0x97, 0x69, 0x1E, 0x7C, 0xF8, 0x8D, 0x1C, 0x7A, 0xB2, 0xDD,
      0xA1, 0xE2, 0x68, 0x8B, 0xFB, 0xBB, 0x28, 0x07, 0xAE, 0x3F, 0x93, 0xE8, 0xEF, 0x19, 0xA5, 0x8A, 0x31,
      0xD8, 0xE6, 0x4E, 0xDF, 0xA9, 0x42, 0xBD, 0xA0, 0x93, 0x03, 0x73, 0xA5, 0x54, 0x43, 0x78, 0x2B, 0x2B,
      0x52, 0x06, 0x55, 0x82, 0xD3, 0xE2, 0x8A, 0xE6, 0x0C, 0x57, 0x29, 0xC9, 0x9F, 0xFB, 0x2C, 0x8B,
  };
  SettingsFile zeros;
  zeros.setSetting("", Variant(BinaryObject(250, nullptr)));
  const std::string image = imageOf(zeros);
  const std::string plainImage = "#" + u32(1) + "W" + std::string(1, '\0') + "N" + u32(250) + std::string(250, '\0');
  ASSERT_EQ(image.size(), plainImage.size());
  EXPECT_EQ(image[0], '#');
  for (size_t k = 1; k < image.size(); ++k)
    ASSERT_EQ(static_cast<uint8_t>(image[k]) ^ kTable[(k - 1) % 101], static_cast<uint8_t>(plainImage[k])) << k;
}

TEST_F(SettingsFileTest, ZsbFileSaveAndReopen) {
  {
    SettingsFile f;
    ASSERT_EQ(f.create(dir.file("profiles").c_str()), 0);
    EXPECT_TRUE(f.isModified());
    fillEveryKind(f);
    EXPECT_EQ(f.save(), 0);
    EXPECT_FALSE(f.isModified());
  }
  SettingsFile back;
  ASSERT_EQ(back.open(dir.file("profiles").c_str()), 0);
  EXPECT_EQ(back.size(), 13u);
  EXPECT_TRUE(back.setting("K.INT32") == Variant(-5));
}

// ---- labels ----

TEST_F(SettingsFileTest, LabelsAreOneSettingIgnoringCaseAndStaySorted) {
  SettingsFile f;
  f.setSetting("acc", Variant(1));
  f.setSetting("Acc", Variant(2));
  ASSERT_EQ(f.size(), 1u);
  EXPECT_STREQ(f.getLabel(0), "Acc");
  EXPECT_EQ(f.setting("ACC").toInt32(), 2);

  for (const char* l : {"zeta", "Beta", "alpha", "Gamma", "delta", "_x", "a1"}) f.setSetting(l, Variant(l));
  EXPECT_EQ(labelsOf(f), (std::vector<std::string>{"_x", "a1", "Acc", "alpha", "Beta", "delta", "Gamma", "zeta"}));

  f.addSetting(nullptr, "BETA", Variant(9));  // replaces in place
  EXPECT_EQ(f.size(), 8u);
  EXPECT_EQ(f.setting("beta").toInt32(), 9);
}

TEST_F(SettingsFileTest, LookupsFindEveryLabelWithNineAndTenSettings) {
  for (int n : {9, 10, 11, 40}) {
    SettingsFile f;
    for (int i = n - 1; i >= 0; --i) f.setSetting("P.", ("item" + std::to_string(100 + i)).c_str(), Variant(i));
    for (int i = 0; i < n; ++i) {
      const std::string label = "ITEM" + std::to_string(100 + i);
      EXPECT_EQ(f.findSetting(("p." + label).c_str()), static_cast<uint32_t>(i)) << n;
      Variant out;
      EXPECT_EQ(f.getSetting("P.", label.c_str(), out), 0);
      EXPECT_EQ(out.toInt32(), i);
    }
    EXPECT_FALSE(f.hasSetting("P.item099"));
    EXPECT_FALSE(f.hasSetting("P.item1000"));
    EXPECT_FALSE(f.hasSetting("Q.item100"));
  }
}

// ---- result codes ----

TEST_F(SettingsFileTest, ResultCodes) {
  SettingsFile f;
  Variant untouched(77);
  std::string text = "keep";
  Setting setting;
  Variant* ref = nullptr;
  size_t used = 0;
  char small[8];
  char name[300];
  const std::string longLabel(250, 'l');
  struct Case {
    const char* what;
    std::function<ZtResultValue()> call;
    ZtResultValue expected;
  } cases[] = {
      {"save without a name", [&] { return f.save(); }, 287},
      {"missing file", [&] { return f.open(dir.file("missing").c_str()); }, 271},
      {"missing zsa", [&] { return f.readZsa(dir.file("missing.zsa")); }, 271},
      {"create in a missing directory", [&] { return f.create(dir.file("no/such").c_str()); }, 271},
      {"create", [&] { return f.create(dir.file("codes").c_str()); }, 0},
      {"create while attached", [&] { return f.create(dir.file("other").c_str()); }, 269},
      {"open while attached", [&] { return f.open(dir.file("codes").c_str()); }, 269},
      {"no output buffer", [&] { return f.getFilename(static_cast<char*>(nullptr)); }, 274},
      {"file name", [&] { return f.getFilename(name); }, 0},
      {"absent value", [&] { return f.getSetting("x.", "y", untouched); }, 262},
      {"absent setting", [&] { return f.getSetting("x.", "y", setting); }, 262},
      {"absent text", [&] { return f.getSetting("x.", "y", text); }, 262},
      {"absent ref", [&] { return f.getSettingRef("x.", "y", &ref); }, 262},
      {"label too long", [&] { return f.setSetting("0123456789", longLabel.c_str(), Variant(1)); }, 266},
      {"buffer too small", [&] { return f.writeZsaString(nullptr, sizeof small, small, &used); }, 261},
      {"read-only flag", [&] { return f.setReadOnly("a", "b", true); }, 0},
      {"save", [&] { return f.save(); }, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(c.call(), c.expected) << c.what;
  EXPECT_EQ(untouched.toInt32(), 77);
  EXPECT_EQ(text, "keep");
  EXPECT_EQ(ref, nullptr);
  EXPECT_EQ(std::string(name), dir.file("codes.zsb"));
  EXPECT_GT(used, sizeof small);

  // A 250-character label behind a 10-character label prefix: 266, earlier lines stay read.
  writeFile(dir.file("long.zsa"), "first=I:1\n" + longLabel + "=I:2\nlast=I:3\n");
  SettingsFile g;
  EXPECT_EQ(g.readZsa(dir.file("long.zsa"), nullptr, "0123456789"), 266);
  EXPECT_EQ(labelsOf(g), (std::vector<std::string>{"0123456789first"}));
}

TEST_F(SettingsFileTest, FileNames) {
  struct Case {
    const char* given;
    const char* used;
  } cases[] = {{"profiles", "profiles.zsb"}, {"profiles.ZSB", "profiles.ZSB"}, {"x.dorn", "x.dorn"},
               {"abc", "abc.zsb"},           {"abc.zsa", "abc.zsa.zsb"}};
  for (const auto& c : cases) {
    SettingsFile f;
    ASSERT_EQ(f.create(dir.file(c.given).c_str()), 0) << c.given;
    char name[300];
    f.getFilename(name);
    EXPECT_EQ(std::string(name), dir.file(c.used));
    struct stat st {};
    EXPECT_EQ(::stat(dir.file(c.used).c_str(), &st), 0) << c.used;
  }
  SettingsFile wide;
  const std::string narrowName = dir.file("wide");
  const std::wstring wideName(narrowName.begin(), narrowName.end());
  EXPECT_EQ(wide.create(wideName.c_str()), 0);
  wchar_t back[300];
  EXPECT_EQ(wide.getFilename(back), 0);
  EXPECT_EQ(std::wstring(back), wideName + L".zsb");
}

TEST_F(SettingsFileTest, ZsaWriterCreatesTheDirectories) {
  SettingsFile f;
  f.setSetting("a", Variant(1));
  const std::string name = dir.file("x/y/z/deep.zsa");
  ASSERT_EQ(f.writeZsa(name), 0);
  SettingsFile back;
  ASSERT_EQ(back.readZsa(name), 0);
  EXPECT_EQ(back.setting("a").toInt32(), 1);
}

TEST_F(SettingsFileTest, ZsaStringFitsExactly) {
  SettingsFile f;
  f.setSetting("a", Variant(1));
  std::string text;
  f.writeZsaString("", text, "me");
  EXPECT_EQ(text, "; ZSA file created by me\n; one setting per line: label=kind:value\na=I:1\n");
  std::vector<char> buffer(text.size() + 1);
  size_t used = 0;
  EXPECT_EQ(f.writeZsaString(nullptr, text.size(), buffer.data(), &used, "me"), 261);
  EXPECT_EQ(used, text.size() + 1);
  EXPECT_EQ(f.writeZsaString(nullptr, text.size() + 1, buffer.data(), &used, "me"), 0);
  EXPECT_EQ(std::string(buffer.data()), text);
}

// ---- ZSA reading ----

TEST_F(SettingsFileTest, ZsaLineRules) {
  SettingsFile f;
  EXPECT_EQ(f.readZsaString("; comment=I:9\r\n"
                            "k==S:x\n"
                            "=I:1\n"
                            "no equals sign\n"
                            "\n\n"
                            "crlf=S:abc\r\n"
                            "num=I:12\r\n"
                            " blank=B:Y\n"
                            "bad=M:-1,5:\n"
                            "dup=I:1\nDUP=I:2\n"),
            0);
  EXPECT_TRUE(f.isModified());
  EXPECT_EQ(f.setting("k").toStdString(), "x");
  EXPECT_EQ(f.setting("").toInt32(), 1);
  EXPECT_FALSE(f.hasSetting("; comment"));
  EXPECT_EQ(f.setting("crlf").toStdString(), "abc");
  EXPECT_EQ(f.setting("num").toInt32(), 12);
  EXPECT_TRUE(f.setting(" blank").toBool());
  EXPECT_FALSE(f.hasSetting("bad"));  // malformed values are skipped
  EXPECT_EQ(f.setting("dup").toInt32(), 2);
  EXPECT_STREQ(f.getLabel(f.findSetting("dup")), "DUP");
  EXPECT_EQ(f.size(), 6u);
}

TEST_F(SettingsFileTest, ZsaFilterAndLabelPrefix) {
  writeFile(dir.file("cfg.zsa"), "; x\nConfig.a=I:1\nconfig.b=I:2\nInfo.c=I:3\nConf=I:4\n");
  SettingsFile f;
  EXPECT_EQ(f.readZsa(dir.file("cfg.zsa"), "Config.", "P."), 0);
  EXPECT_EQ(labelsOf(f), (std::vector<std::string>{"P.Config.a", "P.config.b"}));
}

// A line longer than any line buffer is one line: its tail never becomes a setting of its own.
TEST_F(SettingsFileTest, LongZsaLinesAreNeverSplit) {
  std::string line = "long=S:" + std::string(127992, 'a') + "evil=I:1";
  writeFile(dir.file("long.zsa"), "; x\n" + line + "\nafter=I:2\n" + "list=L:3: " + std::string(200000, ' ') +
                                      "1 2 3\n");
  SettingsFile f;
  ASSERT_EQ(f.readZsa(dir.file("long.zsa")), 0);
  EXPECT_FALSE(f.hasSetting("evil"));
  EXPECT_EQ(f.setting("long").kind(), static_cast<uint32_t>('T'));
  EXPECT_EQ(f.setting("after").toInt32(), 2);
  EXPECT_EQ(f.setting("list").toIntList().count(), 3u);
}

// Texts holding line breaks cannot inject settings through the ZSA writer.
TEST_F(SettingsFileTest, LineBreaksInTextsStayInsideTheirLine) {
  SettingsFile f;
  f.setSetting("note", Variant("x\nevil=I:1\r\n"));
  std::string text;
  f.writeZsaString(nullptr, text);
  SettingsFile back;
  back.readZsaString(text.c_str());
  EXPECT_FALSE(back.hasSetting("evil"));
  EXPECT_EQ(back.setting("note").toStdString(), "x evil=I:1\r ");
}

// ---- saves ----

TEST_F(SettingsFileTest, SaveRules) {
  // An unchanged binary file is not rewritten.
  {
    SettingsFile f;
    f.create(dir.file("same").c_str());
    f.setSetting("a", Variant(1));
    ASSERT_EQ(f.save(), 0);
  }
  SettingsFile f;
  ASSERT_EQ(f.open(dir.file("same").c_str()), 0);
  writeFile(dir.file("same.zsb"), "changed behind our back");
  EXPECT_EQ(f.save(), 0);
  EXPECT_EQ(readFile(dir.file("same.zsb")), "changed behind our back");

  // A ".zsa" name writes the text every time, modified or not.
  SettingsFile z;
  z.setSetting("b", Variant(2));
  ASSERT_EQ(z.writeZsa(dir.file("text")), 0);
  writeFile(dir.file("text.zsa"), "");
  EXPECT_FALSE(z.isModified());
  EXPECT_EQ(z.save(), 0);
  EXPECT_NE(readFile(dir.file("text.zsa")).find("b=I:2"), std::string::npos);

  // A name given with ".zsa" does not become the file's name; one completed with it does.
  SettingsFile named;
  named.setSetting("c", Variant(3));
  ASSERT_EQ(named.writeZsa(dir.file("given.zsa")), 0);
  EXPECT_EQ(named.save(), 287);

  // Saving keeps the file's permission bits; closing with saveOnClose saves.
  ::chmod(dir.file("same.zsb").c_str(), 0640);
  {
    SettingsFile s(true);
    ASSERT_EQ(s.open(dir.file("other").c_str()), 271);
    writeFile(dir.file("same.zsb"), imageOf(f));
    ASSERT_EQ(s.open(dir.file("same").c_str()), 0);
    s.setSetting("added", Variant(3));
  }
  struct stat st {};
  ASSERT_EQ(::stat(dir.file("same.zsb").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  SettingsFile reread;
  reread.open(dir.file("same").c_str());
  EXPECT_EQ(reread.setting("added").toInt32(), 3);
}

TEST_F(SettingsFileTest, FailedWritesReportErrorsAndKeepModified) {
  // Both names lead to /dev/full: the writes fail with ENOSPC, and the device node stays.
  ASSERT_EQ(::symlink("/dev/full", dir.file("full.zsb").c_str()), 0);
  ASSERT_EQ(::symlink("/dev/full", dir.file("full.zsa").c_str()), 0);
  SettingsFile f;
  ASSERT_EQ(f.create(dir.file("full").c_str()), 0);
  f.setSetting("a", Variant(1));
  EXPECT_EQ(f.save(), 273);
  EXPECT_TRUE(f.isModified());
  EXPECT_EQ(f.writeZsa(dir.file("full.zsa")), 271);
  EXPECT_TRUE(f.isModified());
  struct stat st {};
  ASSERT_EQ(::stat("/dev/full", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  // No temporary files are left behind in the directory.
  size_t entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 2u);
}

// Where the old file may not be written (a read-only directory, or a read-only file in a
// writable one) the save fails and the old file is untouched: renaming a fresh file over a
// read-only one would bypass its permissions. The child drops root first, as root ignores them.
TEST_F(SettingsFileTest, FailedSaveLeavesTheOldFileIntact) {
  struct Case {
    const char* name;
    mode_t directoryMode;
  } cases[] = {{"read-only directory", 0555}, {"read-only file", 0777}};
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  for (const auto& c : cases) {
    const std::string ro = dir.file(std::string("d") + std::to_string(c.directoryMode));
    ASSERT_EQ(::mkdir(ro.c_str(), 0755), 0);
    SettingsFile seed;
    ASSERT_EQ(seed.create((ro + "/keep").c_str()), 0);
    seed.setSetting("original", Variant(1));
    ASSERT_EQ(seed.writeZsa(ro + "/keep.zsa"), 0);
    seed.setSetting("original", Variant(1));
    ASSERT_EQ(seed.save(), 0);
    seed.close();
    const std::string binaryBefore = readFile(ro + "/keep.zsb");
    const std::string textBefore = readFile(ro + "/keep.zsa");
    ASSERT_EQ(::chmod((ro + "/keep.zsb").c_str(), 0444), 0);
    ASSERT_EQ(::chmod((ro + "/keep.zsa").c_str(), 0444), 0);
    ASSERT_EQ(::chmod(ro.c_str(), c.directoryMode), 0);

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(10);
      SettingsFile f;
      if (f.open((ro + "/keep").c_str()) != 0) ::_exit(11);
      f.setSetting("changed", Variant(2));
      if (f.save() != 273) ::_exit(12);
      if (!f.isModified()) ::_exit(13);
      if (f.writeZsa(ro + "/keep.zsa") != 271) ::_exit(14);
      ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::chmod(ro.c_str(), 0755);
    ASSERT_TRUE(WIFEXITED(status)) << c.name;
    EXPECT_EQ(WEXITSTATUS(status), 0) << c.name;
    EXPECT_EQ(readFile(ro + "/keep.zsb"), binaryBefore) << c.name;
    EXPECT_EQ(readFile(ro + "/keep.zsa"), textBefore) << c.name;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(ro), std::filesystem::directory_iterator()), 2)
        << c.name << ": temporaries left behind";
  }
}

// A file whose name nearly fills NAME_MAX still saves: the temporary beside it gets a shorter
// name.
TEST_F(SettingsFileTest, SaveBesideANameOfMaximalLength) {
  std::string base = "zda-settings-" + std::to_string(::getpid()) + "-";
  base += std::string(246 - base.size(), 'n');
  const std::string name = "/tmp/" + base;  // + ".zsb": 255 bytes, 250 of them the file's own name
  SettingsFile f;
  ASSERT_EQ(f.create(name.c_str()), 0);
  f.setSetting("a", Variant(1));
  EXPECT_EQ(f.save(), 0);
  f.close();
  SettingsFile back;
  EXPECT_EQ(back.open(name.c_str()), 0);
  EXPECT_EQ(back.setting("a").toInt32(), 1);
  back.close();
  ::unlink((name + ".zsb").c_str());
}

// ---- hostile images ----

TEST_F(SettingsFileTest, HostileImagesAddNothing) {
  const std::string record = "W" + std::string("lbl") + '\0' + "I" + u32(5);
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"empty", ""},
      {"marker only", "*"},
      {"short count", "*" + std::string("\x01\x00\x00", 3)},
      {"count 300001", "*" + u32(300001) + record},
      {"count above the image", "*" + u32(2) + record},
      {"count 0xFFFFFFFF", "*" + u32(0xFFFFFFFFu) + record},
      {"label without NUL", "*" + u32(1) + "Wlabel"},
      {"label over 255", "*" + u32(1) + "W" + std::string(256, 'l') + '\0' + "I" + u32(5)},
      {"value overruns", "*" + u32(1) + "Wlbl" + '\0' + "J" + u32(5)},
      {"text without NUL", "*" + u32(1) + "Wlbl" + '\0' + "Sabc"},
      {"list overruns", "*" + u32(1) + "Wlbl" + '\0' + "L" + u32(1000) + u32(1)},
      {"second record cut", "*" + u32(2) + record + "W" + "x" + '\0'},
  };
  for (bool scrambled : {false, true}) {
    for (const auto& [what, plainImage] : cases) {
      std::string image = plainImage;
      if (scrambled && !image.empty()) {
        // Scramble as the writer would: serialize a scrambled file, learn the key stream by
        // XOR against its plain twin, and apply it.
        SettingsFile probe;
        probe.setSetting("k", Variant(std::string(image.size() + 8, 'x')));
        std::string scrambledProbe = imageOf(probe);
        SettingsFile plainProbe;
        makePlain(plainProbe);
        plainProbe.setSetting("k", Variant(std::string(image.size() + 8, 'x')));
        std::string plainTwin = imageOf(plainProbe);
        image[0] = '#';
        for (size_t k = 1; k < image.size(); ++k) image[k] ^= scrambledProbe[k] ^ plainTwin[k];
      }
      SettingsFile f;
      f.setSetting("held", Variant(1));
      EXPECT_EQ(f.deserialize(image.data(), image.size()), 0u) << what << (scrambled ? " scrambled" : "");
      EXPECT_EQ(labelsOf(f), std::vector<std::string>{"held"}) << what;
      EXPECT_TRUE(f.isEncrypted()) << what;
    }
  }
}

TEST_F(SettingsFileTest, ImageEdgeCases) {
  SettingsFile f;
  const std::string none = "*" + u32(0);
  EXPECT_EQ(f.deserialize(none.data(), none.size()), 5u);
  EXPECT_EQ(f.size(), 0u);

  // A label held twice stays twice, in image order; an unknown kind holds nothing.
  const std::string twice = "*" + u32(3) + "Wb" + '\0' + "I" + u32(1) + "WB" + '\0' + "I" + u32(2) + "Wa" + '\0' + "X";
  SettingsFile g;
  EXPECT_EQ(g.deserialize(twice.data(), twice.size()), twice.size());
  EXPECT_EQ(labelsOf(g), (std::vector<std::string>{"a", "b", "B"}));
  EXPECT_EQ(g.getSetting(1)->value().toInt32(), 1);
  EXPECT_EQ(g.getSetting(2)->value().toInt32(), 2);
  EXPECT_EQ(g.getSetting(0u)->value().kind(), static_cast<uint32_t>('X'));
}

// ---- prefix operations ----

class PrefixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* l : {"Acc.rate", "acc.range", "Gyr.rate", "gyr.bias", "Mag.RATE", "mag", "zz"})
      f.setSetting(l, Variant(1));
  }
  SettingsFile f;
};

TEST_F(PrefixTest, ClearSelections) {
  struct Case {
    const char* prefix;
    bool invert;
    bool exact;
    int removed;
    std::vector<std::string> left;
  } cases[] = {
      {"#.rate", false, false, 3, {"acc.range", "gyr.bias", "mag", "zz"}},
      {"#.rate", true, false, 4, {"Acc.rate", "Gyr.rate", "Mag.RATE"}},
      {"ACC.", false, false, 2, {"gyr.bias", "Gyr.rate", "mag", "Mag.RATE", "zz"}},
      {"acc.", true, false, 5, {"acc.range", "Acc.rate"}},
      {"mag", false, true, 1, {"acc.range", "Acc.rate", "gyr.bias", "Gyr.rate", "Mag.RATE", "zz"}},
      {"MAG", true, true, 6, {"mag"}},
      {"", false, false, 7, {}},
      {nullptr, true, false, 0, {"acc.range", "Acc.rate", "gyr.bias", "Gyr.rate", "mag", "Mag.RATE", "zz"}},
  };
  for (const auto& c : cases) {
    SettingsFile g;
    f.copyTo(g, nullptr);
    EXPECT_EQ(g.clear(c.prefix, c.invert, c.exact), c.removed) << (c.prefix ? c.prefix : "null") << c.invert;
    EXPECT_EQ(labelsOf(g), c.left) << (c.prefix ? c.prefix : "null") << c.invert;
  }
}

TEST_F(PrefixTest, UpdateValuesCopyAndReplace) {
  EXPECT_EQ(f.updateValues("#.RATE", Variant(100)), 3);
  EXPECT_EQ(f.setting("mag.rate").toInt32(), 100);
  EXPECT_EQ(f.setting("acc.range").toInt32(), 1);

  SettingsFile g;
  EXPECT_EQ(f.copyTo(g, "gyr.", false, "Old."), 2);
  EXPECT_EQ(labelsOf(g), (std::vector<std::string>{"Old.gyr.bias", "Old.Gyr.rate"}));
  SettingsFile h;
  EXPECT_EQ(f.copyTo(h, "gyr.", true), 5);
  EXPECT_FALSE(h.hasSetting("gyr.bias"));
  EXPECT_TRUE(h.hasSetting("zz"));

  // Copying into itself under a new prefix.
  EXPECT_EQ(f.copyTo(f, "mag", false, "copy."), 2);
  EXPECT_TRUE(f.hasSetting("copy.mag.rate"));

  // Relabelling keeps values and order, and a relabelled setting replaces one already holding
  // its new label, so labels stay unique.
  f.setSetting("sensor.rate", Variant(5));
  EXPECT_EQ(f.replacePrefix("ACC.", "sensor."), 2);
  EXPECT_EQ(f.setting("sensor.rate").toInt32(), 100);
  EXPECT_TRUE(f.hasSetting("sensor.range"));
  EXPECT_FALSE(f.hasSetting("acc.rate"));
  const auto labels = labelsOf(f);
  for (size_t i = 1; i < labels.size(); ++i) {
    EXPECT_LT(settingsStringCompare(labels[i - 1].c_str(), labels[i].c_str()), 0);
  }
}

TEST_F(SettingsFileTest, ImportZsaAndZsb) {
  SettingsFile source;
  source.setSetting("Config.a", Variant(1));
  source.setSetting("Config.b", Variant("two"));
  source.setSetting("Info.c", Variant(3));
  ASSERT_EQ(source.writeZsa(dir.file("src.zsa")), 0);
  SettingsFile binary;
  ASSERT_EQ(binary.create(dir.file("src").c_str()), 0);
  source.copyTo(binary, nullptr);
  ASSERT_EQ(binary.save(), 0);
  const std::string binaryImage = readFile(dir.file("src.zsb"));

  for (const std::string& name : {dir.file("src.zsa"), dir.file("src")}) {
    SettingsFile f;
    f.setSetting("Config.a", Variant(0));
    f.setSetting("keep", Variant(9));
    EXPECT_EQ(f.import(name, "config."), 0) << name;
    EXPECT_EQ(labelsOf(f), (std::vector<std::string>{"Config.a", "Config.b", "keep"})) << name;
    EXPECT_EQ(f.setting("config.a").toInt32(), 1);
  }
  EXPECT_EQ(readFile(dir.file("src.zsb")), binaryImage);  // the source is not rewritten
  SettingsFile f;
  EXPECT_EQ(f.import(dir.file("absent.zsa")), 271);
}

TEST(Setting, LabelsFormatAndPrefix) {
  Setting s;
  EXPECT_TRUE(s.setLabel("%s", "plain"));
  EXPECT_STREQ(s.label(), "plain");
  EXPECT_TRUE(s.setLabel("%s.%d", "axis", 2));
  EXPECT_STREQ(s.label(), "axis.2");
  EXPECT_TRUE(s.setLabel(std::string("from.string")));
  EXPECT_STREQ(s.label(), "from.string");
  EXPECT_TRUE(s.setPrefixedLabel("P.", "key"));
  EXPECT_STREQ(s.label(), "P.key");
  EXPECT_FALSE(s.setLabel("%s", std::string(256, 'x').c_str()));
  EXPECT_FALSE(s.setPrefixedLabel("P.", std::string(254, 'x').c_str()));
  EXPECT_STREQ(s.label(), "P.key");
  EXPECT_TRUE(s.hasPrefix("p."));
  EXPECT_TRUE(s.hasPrefix(nullptr));
  EXPECT_FALSE(s.hasPrefix("P.keys"));
}

TEST(SettingsCompare, NaturalAndCaseInsensitiveOrders) {
  struct Case {
    const char* a;
    const char* b;
    int natural;
  } cases[] = {
      {"x2", "x10", -1}, {"item", "Item1", -1}, {"a", "B", -1}, {"10", "9", 1}, {"abc", "ABC", 0},
      {"a10b", "a10a", 1}, {"", "", 0}, {"", "a", -1}, {"007", "7", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(alphaNumericCompare(c.a, c.b), c.natural) << c.a << " " << c.b;
    EXPECT_EQ(alphaNumericCompare(c.b, c.a), -c.natural) << c.a << " " << c.b;
  }
  EXPECT_EQ(alphaNumericCompare("abcX", "abcY", 3), 0);
  EXPECT_EQ(alphaNumericCompare("x", "y", 0), 0);
  EXPECT_EQ(settingsStringCompare("Abc", "aBC"), 0);
  EXPECT_LT(settingsStringCompare("_", "a"), 0);  // the order of strcasecmp: '_' before letters
  EXPECT_EQ(settingsStringCompare("abX", "ABy", 2), 0);
  EXPECT_EQ(settingsStringCompare("a", "b", 0), 0);
}

}  // namespace
}  // namespace zelto
