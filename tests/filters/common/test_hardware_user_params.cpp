// Hardware and user parameters: sensor sub-prefixes, settings entries that round-trip for every
// hardware class, the device-record readers of each version and the page-5 block.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ekts/Ekts.h"
#include "ekts/Ekts3.h"
#include "ekts/Ekts4.h"
#include "ekts/Ekts5.h"
#include "errors/ZtException.h"
#include "filters/common/EstimationRoutines.h"
#include "filters/common/FilterTypeVersion.h"
#include "filters/common/ZkfGpsPrintData.h"
#include "filters/common/ZkfInertialData.h"
#include "filters/common/ZkfTime.h"
#include "filters/common/KtHardwareParams.h"
#include "filters/common/KtMk4HardwareParams.h"
#include "filters/common/KtMk4_700HardwareParams.h"
#include "filters/common/KtigHardwareParams.h"
#include "filters/common/KtxwHardwareParams.h"
#include "filters/common/ZkfUserParams.h"
#include "foundation/ExcelSerialDate.h"
#include "foundation/SettingsFile.h"
#include "math/fastfloat/FastFloat.h"

namespace {

using zelto::SettingsFile;
using zelto::Variant;
using zelto::Vector3;

std::string zsaText(const SettingsFile& f) {
  std::string text;
  EXPECT_EQ(f.writeZsaString("", text), ZRV_OK);
  // Drop the two comment lines (creator, date).
  for (int i = 0; i < 2; ++i) text.erase(0, text.find('\n') + 1);
  return text;
}

TEST(HardwarePrefixes, CompoundTypes) {
  const struct {
    char letter;
    const char* type;
    const char* prefix;
  } table[] = {
      {'A', "A10G25M3", "A10."}, {'G', "A10G25M3", "G25."}, {'M', "A10G25M3", "M3."}, {'A', "G2", "A0."},
      {'G', "G2", "G2."},        {'A', "", "A0."},          {'G', "", "G0."},        {'M', "", "M0."},
      {'A', "AXA7", "A0."},      {'M', "A1G2M", "M0."},     {'A', "xA0042y", "A0042."},
  };
  for (const auto& row : table) EXPECT_EQ(parseCompoundHwPrefix(row.letter, row.type), row.prefix) << row.type;

  KtHardwareParams hw;
  hw.setHardwareType("A10G25M3");
  EXPECT_EQ(hw.accPrefix("e."), "e.A10.");
  EXPECT_EQ(hw.gyrPrefix("e."), "e.G25.");
  EXPECT_EQ(hw.magPrefix("e."), "e.M3.");
}

SettingsFile& ktEntry(SettingsFile& f, const std::string& p) {
  f.setSetting(p, "sd_v_mag", Variant(0.5));
  f.setSetting(p + "A10.", "acc_range", Variant(160.0));
  f.setSetting(p + "A10.", "deltaAccBias", Variant(0.01));
  f.setSetting(p + "A10.", "sd_init_accBias", Variant(0.02));
  f.setSetting(p + "A10.", "sd_v_acc", Variant(0.03));
  f.setSetting(p + "G25.", "deltaGyrBias", Variant(0.04));
  f.setSetting(p + "G25.", "f_dynamic_gyro", Variant(0.05));
  f.setSetting(p + "G25.", "gyr_range", Variant(1200.0));
  f.setSetting(p + "G25.", "sd_init_gyrBias", Variant(0.06));
  f.setSetting(p + "G25.", "sd_v_gyr", Variant(0.07));
  return f;
}

TEST(KtHardwareParams, ReadsSensorKeysUnderTheirSubPrefixes) {
  SettingsFile f;
  ktEntry(f, "hw.");
  KtHardwareParams hw;
  hw.setHardwareType("A10G25M3");
  ASSERT_TRUE(hw.readFromFileNoThrow(f, "hw."));
  EXPECT_EQ(hw.sd_v_mag, 0.5);
  EXPECT_EQ(hw.acc_range, 160.0);
  EXPECT_EQ(hw.sd_v_acc, 0.03);
  EXPECT_EQ(hw.gyr_range, 1200.0);
  EXPECT_EQ(hw.sd_v_gyr, 0.07);
  EXPECT_EQ(hw.f_dynamic_gyro, 0.05);

  // "ndAcc"/"ndGyr" win over the older keys when present.
  f.setSetting("hw.A10.", "ndAcc", Variant(0.3));
  f.setSetting("hw.G25.", "ndGyr", Variant(0.7));
  ASSERT_TRUE(hw.readFromFileNoThrow(f, "hw."));
  EXPECT_EQ(hw.sd_v_acc, 0.3);
  EXPECT_EQ(hw.sd_v_gyr, 0.7);

  // Another hardware type looks under other sub-prefixes and stops at the first key there.
  KtHardwareParams other;
  other.setHardwareType("A11G25");
  try {
    other.readFromFile(f, "hw.");
    FAIL();
  } catch (const ZtException& e) {
    EXPECT_NE(std::string(e.what()).find("Info: hw.A11.acc_range"), std::string::npos) << e.what();
  }
  EXPECT_EQ(other.sd_v_mag, 0.5);
  EXPECT_EQ(other.acc_range, 0.0);
}

// Fills every field of each class with distinct values.
void fill(KtHardwareParams& h) {
  h.acc_range = 161;
  h.gyr_range = 1201;
  h.sd_v_acc = 0.031;
  h.sd_v_gyr = 0.071;
  h.sd_v_mag = 0.51;
  h.deltaAccBias = 0.011;
  h.deltaGyrBias = 0.041;
  h.sd_init_accBias = 0.021;
  h.sd_init_gyrBias = 0.061;
  h.f_dynamic_gyro = 0.051;
}
void fill(KtMk4HardwareParams& h) {
  h.biasCoeffAcc = Vector3(1, 2, 3);
  h.clipAcc = 4;
  h.ndAcc = Vector3(5, 6, 7);
  h.rawClipAcc = 8;
  h.stMaxAcc = 9;
  h.stMinAcc = 10;
  h.biasCoeffGyr = Vector3(11, 12, 13);
  h.biasTauGyr = Vector3(14, 15, 16);
  h.clipGyr = 17;
  h.ndGyr = Vector3(18, 19, 20);
  h.rawClipGyr = 21;
  h.stMaxGyr = 22;
  h.stMinGyr = 23;
  h.rawClipMag = 24;
  h.sdMag = Vector3(25, 26, 27);
  h.stMaxMag = 28;
  h.stMinMag = 29;
}

struct HardwareCase {
  const char* name;
  const char* entry;  // entry prefix of revision "2.5"
  std::function<std::unique_ptr<KtHardwareParams>()> make;
  std::function<void(KtHardwareParams&)> fillAll;
  std::function<void(const KtHardwareParams&, const KtHardwareParams&)> expectSame;
};

std::vector<HardwareCase> hardwareCases() {
  auto sameKt = [](const KtHardwareParams& a, const KtHardwareParams& b) {
    EXPECT_EQ(a.acc_range, b.acc_range);
    EXPECT_EQ(a.gyr_range, b.gyr_range);
    EXPECT_EQ(a.sd_v_acc, b.sd_v_acc);
    EXPECT_EQ(a.sd_v_gyr, b.sd_v_gyr);
    EXPECT_EQ(a.sd_v_mag, b.sd_v_mag);
    EXPECT_EQ(a.deltaAccBias, b.deltaAccBias);
    EXPECT_EQ(a.deltaGyrBias, b.deltaGyrBias);
    EXPECT_EQ(a.sd_init_accBias, b.sd_init_accBias);
    EXPECT_EQ(a.sd_init_gyrBias, b.sd_init_gyrBias);
    EXPECT_EQ(a.f_dynamic_gyro, b.f_dynamic_gyro);
  };
  auto sameMk4 = [](const KtHardwareParams& x, const KtHardwareParams& y) {
    const auto& a = dynamic_cast<const KtMk4HardwareParams&>(x);
    const auto& b = dynamic_cast<const KtMk4HardwareParams&>(y);
    EXPECT_EQ(a.biasCoeffAcc, b.biasCoeffAcc);
    EXPECT_EQ(a.clipAcc, b.clipAcc);
    EXPECT_EQ(a.ndAcc, b.ndAcc);
    EXPECT_EQ(a.rawClipAcc, b.rawClipAcc);
    EXPECT_EQ(a.stMaxAcc, b.stMaxAcc);
    EXPECT_EQ(a.stMinAcc, b.stMinAcc);
    EXPECT_EQ(a.biasCoeffGyr, b.biasCoeffGyr);
    EXPECT_EQ(a.biasTauGyr, b.biasTauGyr);
    EXPECT_EQ(a.clipGyr, b.clipGyr);
    EXPECT_EQ(a.ndGyr, b.ndGyr);
    EXPECT_EQ(a.rawClipGyr, b.rawClipGyr);
    EXPECT_EQ(a.stMaxGyr, b.stMaxGyr);
    EXPECT_EQ(a.stMinGyr, b.stMinGyr);
    EXPECT_EQ(a.rawClipMag, b.rawClipMag);
    EXPECT_EQ(a.sdMag, b.sdMag);
    EXPECT_EQ(a.stMaxMag, b.stMaxMag);
    EXPECT_EQ(a.stMinMag, b.stMinMag);
  };
  return {
      {"Kt", "ZKF.KT9_C.hw2_5.", [] { return std::make_unique<KtHardwareParams>(); },
       [](KtHardwareParams& h) { fill(h); }, sameKt},
      {"Ktxw", "ZKF.KTW.hw2_5.", [] { return std::make_unique<KtxwHardwareParams>(); },
       [](KtHardwareParams& h) {
         fill(h);
         auto& x = dynamic_cast<KtxwHardwareParams&>(h);
         x.sd_barometer = 0.9;
         x.clipping_offset_acc = 100;
         x.clipping_offset_gyr = 200;
         x.clipping_offset_mag = 65535;
       },
       [sameKt](const KtHardwareParams& a, const KtHardwareParams& b) {
         sameKt(a, b);
         const auto& x = dynamic_cast<const KtxwHardwareParams&>(a);
         const auto& y = dynamic_cast<const KtxwHardwareParams&>(b);
         EXPECT_EQ(x.sd_barometer, y.sd_barometer);
         EXPECT_EQ(x.clipping_offset_acc, y.clipping_offset_acc);
         EXPECT_EQ(x.clipping_offset_gyr, y.clipping_offset_gyr);
         EXPECT_EQ(x.clipping_offset_mag, y.clipping_offset_mag);
       }},
      {"Ktig", "ZKF.KT9_C.hw2_5.", [] { return std::make_unique<KtigHardwareParams>(); },
       [](KtHardwareParams& h) {
         fill(h);
         auto& x = dynamic_cast<KtigHardwareParams&>(h);
         x.sd_barometer = 0.8;
         x.sd_pos_gps[0] = 2.5;
         x.sd_pos_gps[1] = 5.0;
         x.sd_vel_gps[0] = 0.1;
         x.sd_vel_gps[1] = 0.2;
       },
       [sameKt](const KtHardwareParams& a, const KtHardwareParams& b) {
         sameKt(a, b);
         const auto& x = dynamic_cast<const KtigHardwareParams&>(a);
         const auto& y = dynamic_cast<const KtigHardwareParams&>(b);
         EXPECT_EQ(x.sd_barometer, y.sd_barometer);
         for (int i = 0; i < 2; ++i) {
           EXPECT_EQ(x.sd_pos_gps[i], y.sd_pos_gps[i]);
           EXPECT_EQ(x.sd_vel_gps[i], y.sd_vel_gps[i]);
         }
       }},
      {"Mk4", "ZKF.KTmk4.hw2_5.", [] { return std::make_unique<KtMk4HardwareParams>(); },
       [](KtHardwareParams& h) { fill(dynamic_cast<KtMk4HardwareParams&>(h)); }, sameMk4},
      {"Mk4_700", "ZKF.KTmk4.hw2_5.", [] { return std::make_unique<KtMk4_700HardwareParams>(); },
       [](KtHardwareParams& h) {
         auto& x = dynamic_cast<KtMk4_700HardwareParams&>(h);
         fill(x);
         x.sdBarometer = 0.7;
         x.biasTauAcc = Vector3(30, 31, 32);
         x.sdPosGps[0] = 1.5;
         x.sdPosGps[1] = 3.5;
         x.sdVelGps[0] = 0.15;
         x.sdVelGps[1] = 0.35;
       },
       [sameMk4](const KtHardwareParams& a, const KtHardwareParams& b) {
         sameMk4(a, b);
         const auto& x = dynamic_cast<const KtMk4_700HardwareParams&>(a);
         const auto& y = dynamic_cast<const KtMk4_700HardwareParams&>(b);
         EXPECT_EQ(x.sdBarometer, y.sdBarometer);
         EXPECT_EQ(x.biasTauAcc, y.biasTauAcc);
         for (int i = 0; i < 2; ++i) {
           EXPECT_EQ(x.sdPosGps[i], y.sdPosGps[i]);
           EXPECT_EQ(x.sdVelGps[i], y.sdVelGps[i]);
         }
       }},
  };
}

// Written entries are found again under their entry prefix, through the settings file, its
// binary image and its text form; a second write of what was read gives the same settings.
TEST(HardwareParams, EveryClassRoundTripsThroughItsEntry) {
  for (const HardwareCase& c : hardwareCases()) {
    SCOPED_TRACE(c.name);
    // The hardware type and the GNSS prefix are not part of the entry: the device sets them.
    auto make = [&c] {
      auto h = c.make();
      h->setHardwareType("A3G7M1");
      if (auto* ig = dynamic_cast<KtigHardwareParams*>(h.get())) ig->setGpsPrefix("1.0");
      return h;
    };
    auto written = make();
    c.fillAll(*written);
    SettingsFile file;
    written->writeToFile(file, "2.5");
    EXPECT_EQ(file.setting(c.entry, "gp.hw_revision", Variant()).toStdString(), "2.5");

    std::string image(file.serialize(nullptr), '\0');
    file.serialize(image.data());
    SettingsFile fromImage;
    ASSERT_EQ(fromImage.deserialize(image.data(), image.size()), image.size());
    SettingsFile fromText;
    std::string text;
    ASSERT_EQ(file.writeZsaString("", text), ZRV_OK);
    fromText.readZsaString(text.c_str());

    for (const SettingsFile* f : {&file, &fromImage, &fromText}) {
      auto read = make();
      ASSERT_TRUE(read->readFromFileNoThrow(*f, c.entry));
      c.expectSame(*written, *read);
      SettingsFile again;
      read->writeToFile(again, "2.5");
      EXPECT_EQ(zsaText(again), zsaText(file));
    }
  }
}

TEST(HardwareParams, EntryNamesAndTheGnssEntry) {
  KtigHardwareParams ig;
  ig.setHardwareType("A1G1M1");
  ig.setGpsPrefix("3.4");
  ig.sd_pos_gps[1] = 6.0;
  SettingsFile f;
  ig.writeToFile(f, "1.12.7");
  EXPECT_TRUE(f.hasSetting("ZKF.KT9_C.hw1_12.", "gp.hw_revision"));
  EXPECT_TRUE(f.hasSetting("ZKF.KT9_C.hw1_12.", "sd_v_mag"));
  EXPECT_EQ(f.setting("ZKF.GPS_A.hw3_4.", "gp.assembly", Variant()).toStdString(), "GPS-A");
  EXPECT_EQ(f.setting("ZKF.GPS_A.hw3_4.", "gp.hw_revision", Variant()).toStdString(), "3.4");
  EXPECT_EQ(f.setting("ZKF.GPS_A.hw3_4.", "sd_pos_gps", Variant()).toVector()[1], 6.0);
  EXPECT_TRUE(f.hasSetting("ZKF.GPS_A.hw3_4.", "sd_barometer"));
  EXPECT_TRUE(f.hasSetting("ZKF.GPS_A.hw3_4.", "sd_vel_gps"));
}

TEST(KtMk4_700HardwareParams, ReadsBothKeySpellings) {
  for (bool camel : {true, false}) {
    SCOPED_TRACE(camel ? "camel" : "underscore");
    KtMk4_700HardwareParams src;
    src.setHardwareType("A1G2M3");
    SettingsFile f;
    src.writeToFile(f, "1.0");
    const std::string e = "ZKF.KTmk4.hw1_0.";
    const double pos[2] = {11, 12}, vel[2] = {13, 14};
    if (camel) {
      f.clear((e + "sd_barometer").c_str(), false, true);
      f.clear((e + "sd_pos_gps").c_str(), false, true);
      f.clear((e + "sd_vel_gps").c_str(), false, true);
      f.setSetting(e, "sdBarometer", Variant(0.25));
      f.setSetting(e, "sdPosGps", Variant(pos, 2));
      f.setSetting(e, "sdVelGps", Variant(vel, 2));
    } else {
      f.setSetting(e, "sd_barometer", Variant(0.25));
      f.setSetting(e, "sd_pos_gps", Variant(pos, 2));
      f.setSetting(e, "sd_vel_gps", Variant(vel, 2));
    }
    KtMk4_700HardwareParams r;
    r.setHardwareType("A1G2M3");
    ASSERT_TRUE(r.readFromFileNoThrow(f, e));
    EXPECT_EQ(r.sdBarometer, 0.25);
    EXPECT_EQ(r.sdPosGps[1], 12);
    EXPECT_EQ(r.sdVelGps[0], 13);
  }
  // Neither spelling: the reader's own key is named.
  KtMk4_700HardwareParams src;
  SettingsFile f;
  src.writeToFile(f, "1.0");
  f.clear("ZKF.KTmk4.hw1_0.sd_barometer", false, true);
  KtMk4_700HardwareParams r;
  try {
    r.readFromFile(f, "ZKF.KTmk4.hw1_0.");
    FAIL();
  } catch (const ZtException& ex) {
    EXPECT_NE(std::string(ex.what()).find("sdBarometer"), std::string::npos);
  }
  // A one-element GNSS vector is refused.
  src.writeToFile(f, "1.0");
  const double one[1] = {1};
  f.setSetting("ZKF.KTmk4.hw1_0.", "sd_vel_gps", Variant(one, 1));
  EXPECT_FALSE(r.readFromFileNoThrow(f, "ZKF.KTmk4.hw1_0."));
}

double ff(double v) {
  FastFloat f;
  f = v;
  return static_cast<double>(f);
}

TEST(HardwareParams, RecordPagesOfEachVersion) {
  zelto::Ekts3 r3;
  r3.setAccRange(160);
  r3.setGyrRange(1200);
  r3.setSdVAcc(0.03);
  r3.setSdVGyr(0.07);
  r3.setSdVMag(0.5);
  r3.setDeltaAccBias(0.01);
  r3.setDeltaGyrBias(0.04);
  r3.setSdInitAccBias(0.02);
  r3.setSdInitGyrBias(0.06);
  r3.setFDynamicGyro(0.05);
  r3.setSdBarometer(1.25);
  zelto::Vector two(2);
  two[0] = 2.5;
  two[1] = 4.5;
  r3.setSdPosGps(two);
  r3.setSdVelGps(two);

  KtigHardwareParams ig;
  ig.readFromDecryptedEktsPages(&r3);
  EXPECT_EQ(ig.acc_range, ff(160));
  EXPECT_EQ(ig.sd_v_gyr, ff(0.07));
  EXPECT_EQ(ig.f_dynamic_gyro, ff(0.05));
  EXPECT_EQ(ig.sd_barometer, ff(1.25));
  EXPECT_EQ(ig.sd_pos_gps[1], ff(4.5));
  EXPECT_EQ(ig.sd_vel_gps[0], ff(2.5));

  // Version 5 has no GNSS deviations: the empty vectors leave the values alone.
  zelto::Ekts5 r5;
  ig.sd_pos_gps[0] = 77;
  ig.readFromDecryptedEktsPages(&r5);
  EXPECT_EQ(ig.sd_pos_gps[0], 77);
  EXPECT_EQ(ig.sd_v_acc, 0.0);  // absent in version 5: the getter's value

  zelto::Ekts4 r4;
  r4.setRawAccClip(1000);
  r4.setRawGyrClip(2000);
  r4.setRawMagClip(3000);
  r4.setSdBarometer(0.75);
  KtxwHardwareParams xw;
  xw.readFromDecryptedEktsPages(&r4);
  EXPECT_EQ(xw.clipping_offset_acc, 1000);
  EXPECT_EQ(xw.clipping_offset_gyr, 2000);
  EXPECT_EQ(xw.clipping_offset_mag, 3000);
  EXPECT_EQ(xw.sd_barometer, ff(0.75));

  // Mk4: present fields from the record, the others their defaults.
  r5.setNdGyr(Vector3(0.1, 0.2, 0.3));
  r5.setStMinMag(1);
  r5.setAccRange(80);
  r5.setSdBarometer(0.5);
  KtMk4_700HardwareParams mk;
  mk.readFromDecryptedEktsPages(&r5);
  EXPECT_NEAR(mk.ndGyr[2], 0.3, 1e-7);
  // The record's accelerometer densities were never programmed (zeros): the default, as for a
  // record without them; a zero or negative gyroscope axis takes it too, the others stay.
  EXPECT_EQ(mk.ndAcc[0], 0.002);
  EXPECT_EQ(mk.ndAcc[2], 0.002);
  r5.setNdGyr(Vector3(0.0, -0.2, 0.3));
  mk.readFromDecryptedEktsPages(&r5);
  EXPECT_EQ(mk.ndGyr[0], 0.0347);
  EXPECT_EQ(mk.ndGyr[1], 0.0347);
  EXPECT_NEAR(mk.ndGyr[2], 0.3, 1e-7);
  EXPECT_EQ(mk.stMinMag, 1);
  EXPECT_EQ(mk.clipAcc, 80);
  EXPECT_EQ(mk.sdBarometer, 0.5);
  EXPECT_EQ(mk.rawClipMag, 0);  // present in version 5 (cleared image)
  KtMk4HardwareParams defaults;
  zelto::Ekts3 none;  // version 3 lacks every Mk4 field but the ranges
  KtMk4HardwareParams fromV3;
  fromV3.biasCoeffAcc = Vector3(9, 9, 9);
  fromV3.readFromDecryptedEktsPages(&none);
  const struct {
    const char* name;
    double got, expected;
  } table[] = {
      {"biasCoeffAcc", fromV3.biasCoeffAcc[1], 0.0006}, {"clipAcc", fromV3.clipAcc, 0.0},
      {"ndAcc", fromV3.ndAcc[0], 0.002},                {"rawClipAcc", double(fromV3.rawClipAcc), 19923},
      {"stMaxAcc", double(fromV3.stMaxAcc), 1310},              {"stMinAcc", double(fromV3.stMinAcc), 786},
      {"biasCoeffGyr", fromV3.biasCoeffGyr[2], 0.0056}, {"biasTauGyr", fromV3.biasTauGyr[0], 200.0},
      {"clipGyr", fromV3.clipGyr, 0.0},                 {"ndGyr", fromV3.ndGyr[1], 0.0347},
      {"rawClipGyr", double(fromV3.rawClipGyr), 23593},         {"stMaxGyr", double(fromV3.stMaxGyr), 2129},
      {"stMinGyr", double(fromV3.stMinGyr), 819},               {"rawClipMag", double(fromV3.rawClipMag), 2048},
      {"sdMag", fromV3.sdMag[2], 0.001},                {"stMaxMag", double(fromV3.stMaxMag), 3276},
      {"stMinMag", double(fromV3.stMinMag), 1966},              {"default clipAcc", defaults.clipAcc, 250.0},
      {"default clipGyr", defaults.clipGyr, 1590.0},
  };
  for (const auto& row : table) EXPECT_EQ(row.got, row.expected) << row.name;

  // A null record changes nothing.
  KtHardwareParams kt;
  kt.acc_range = 3;
  kt.readFromDecryptedEktsPages(nullptr);
  EXPECT_EQ(kt.acc_range, 3);
}

double page5Real(const unsigned char* block, size_t offset) {
  FastFloat f;
  std::memcpy(static_cast<void*>(&f), block + offset, 6);
  return static_cast<double>(f);
}

TEST(HardwareParams, Page5BlockDecodesWithFastFloat) {
  KtxwHardwareParams xw;
  fill(xw);
  xw.clipping_offset_acc = 0x1234;
  xw.clipping_offset_gyr = 0xBEEF;
  xw.clipping_offset_mag = 7;
  xw.sd_barometer = 0.625;
  unsigned char block[264];
  std::memset(block, 0xEE, sizeof(block));
  xw.writeToDecryptedEktsPage5(block);
  const double ten[10] = {161, 1201, 0.031, 0.071, 0.51, 0.011, 0.041, 0.021, 0.061, 0.051};
  for (int i = 0; i < 10; ++i) EXPECT_EQ(page5Real(block, 6 * i), ff(ten[i])) << i;
  EXPECT_EQ(block[60] | block[61] << 8, 0x1234);
  EXPECT_EQ(block[62] | block[63] << 8, 0xBEEF);
  EXPECT_EQ(block[64] | block[65] << 8, 7);
  EXPECT_EQ(block[66], 0xEE);
  EXPECT_EQ(page5Real(block, 120), 0.625);
  EXPECT_EQ(block[126], 0xEE);

  KtigHardwareParams ig;
  ig.sd_barometer = 1.5;
  ig.sd_pos_gps[0] = 2;
  ig.sd_pos_gps[1] = 3;
  ig.sd_vel_gps[0] = 0.25;
  ig.sd_vel_gps[1] = 0.5;
  std::memset(block, 0xEE, sizeof(block));
  ig.writeToDecryptedEktsPage5(block);
  EXPECT_EQ(block[60], 0xEE);
  const struct {
    size_t offset;
    double value;
  } gnss[] = {{120, 1.5}, {126, 2}, {132, 3}, {138, 0.25}, {144, 0.5}};
  for (const auto& g : gnss) EXPECT_EQ(page5Real(block, g.offset), g.value) << g.offset;
  EXPECT_EQ(block[150], 0xEE);

  KtMk4_700HardwareParams mk;
  fill(static_cast<KtHardwareParams&>(mk));
  mk.sdBarometer = 9;
  std::memset(block, 0xEE, sizeof(block));
  mk.writeToDecryptedEktsPage5(block);
  EXPECT_EQ(page5Real(block, 54), ff(0.051));
  EXPECT_EQ(block[60], 0xEE);
  EXPECT_EQ(block[120], 0xEE);
}

// ------------------------------------------------------------------------------------------
// User parameters

TEST(ZkfUserParams, ClearKeepsTheDateAndFileRoundTrip) {
  ZkfUserParams u;
  EXPECT_EQ(u.storedYear, 2013);
  u.storedYear = 2020;
  u.storedMonth = 7;
  u.storedDay = 9;
  u.declination_angle_deg = 3;
  u.gravityMagnitude = 9.7;
  u.storedGyrBias = Vector3(1, 2, 3);
  u.storedLatLongAlt = Vector3(4, 5, 6);
  u.sampleRate = 400;
  u.enabledFixedGravity = false;
  u.enabledInitialGyroBiasUpdate = true;
  u.r_gps_s = Vector3(7, 8, 9);
  u.x_alignment = zelto::Quaternion(0.5, 0.5, 0.5, 0.5);
  u.n_s_m = Vector3(0, 1, 0);

  SettingsFile f;
  u.writeToFile(f, "u.");
  std::string text;
  ASSERT_EQ(f.writeZsaString("", text), ZRV_OK);
  SettingsFile t;
  t.readZsaString(text.c_str());
  ZkfUserParams r;
  ASSERT_TRUE(r.readFromFileNoThrow(t, "u."));
  EXPECT_EQ(r.storedYear, 2020);
  EXPECT_EQ(r.storedMonth, 7);
  EXPECT_EQ(r.storedDay, 9);
  EXPECT_EQ(r.declination_angle_deg, 3);
  EXPECT_EQ(r.gravityMagnitude, 9.7);
  EXPECT_EQ(r.storedGyrBias, u.storedGyrBias);
  EXPECT_EQ(r.storedLatLongAlt, u.storedLatLongAlt);
  EXPECT_EQ(r.sampleRate, 400);
  EXPECT_FALSE(r.enabledFixedGravity);
  EXPECT_TRUE(r.enabledInitialGyroBiasUpdate);
  EXPECT_EQ(r.r_gps_s, u.r_gps_s);
  EXPECT_TRUE(r.x_alignment.compare(u.x_alignment, 1e-15));
  EXPECT_EQ(r.n_s_m, u.n_s_m);

  r.clear();
  EXPECT_EQ(r.storedYear, 2020);
  EXPECT_EQ(r.storedDay, 9);
  EXPECT_EQ(r.gravityMagnitude, 9.81);
  EXPECT_EQ(r.sampleRate, 100.0);
  EXPECT_TRUE(r.enabledFixedGravity);
  EXPECT_FALSE(r.enabledInitialGyroBiasUpdate);
  EXPECT_EQ(r.storedLatLongAlt, Vector3());
  EXPECT_TRUE(r.x_alignment.compare(zelto::Quaternion(), 0.0));

  // Optional keys absent: date 2013-1-1, lever arm and axis zero, alignment identity.
  for (const char* key : {"storedYear", "storedMonth", "storedDay", "r_gps_s", "x_alignment", "n_s_m"})
    f.clear((std::string("u.") + key).c_str(), false, true);
  ZkfUserParams o;
  o.r_gps_s = Vector3(1, 1, 1);
  o.x_alignment = zelto::Quaternion(0, 1, 0, 0);
  ASSERT_TRUE(o.readFromFileNoThrow(f, "u."));
  EXPECT_EQ(o.storedYear, 2013);
  EXPECT_EQ(o.storedMonth, 1);
  EXPECT_EQ(o.storedDay, 1);
  EXPECT_EQ(o.r_gps_s, Vector3());
  EXPECT_TRUE(o.x_alignment.compare(zelto::Quaternion(), 0.0));

  // A mistyped optional vector or quaternion throws like a missing key.
  for (const char* key : {"r_gps_s", "x_alignment", "n_s_m"}) {
    SCOPED_TRACE(key);
    SettingsFile bad;
    u.writeToFile(bad, "");
    bad.setSetting("", key, Variant("0 0 0 1"));
    EXPECT_FALSE(o.readFromFileNoThrow(bad, ""));
  }
  // A mandatory key absent.
  f.clear("u.sampleRate", false, true);
  EXPECT_FALSE(o.readFromFileNoThrow(f, "u."));
}

double igf(double latDeg, double alt) {
  const double p = latDeg * 0.017453292519943295;
  return 9.780327 * (1 + 0.0053024 * std::sin(p) * std::sin(p) - 0.0000058 * std::pow(std::sin(2 * p), 2)) -
         3.086e-6 * alt;
}

TEST(ZkfUserParams, RecordOfVersion3) {
  zelto::Ekts3 r;
  r.setTestAndCalDate(convertDMYToExcelSerialDate(17, 3, 2011));
  r.setGyroBiasEstimation(Vector3(0.1, 0.2, 0.3));
  r.setLastKnownLatLongAlt(Vector3(30, 40, 500));
  r.setGpsLeverArm(Vector3(1, 2, 3));
  r.setMagneticDeclination(2.5);
  r.setGravityMagnitude(9.8);
  r.setSamplePeriod(1152);
  r.setProcessingFlags(0x3);
  zelto::Matrix3x3 rz;
  rz.isRotateZ(0.5);
  r.setObjectAlignment(rz);
  r.setOutputSettings(0x80000001u);

  ZkfUserParams u;
  u.readFromDecryptedEktsPages(static_cast<const zelto::Ekts*>(&r));
  EXPECT_EQ(u.storedYear, 2011);
  EXPECT_EQ(u.storedMonth, 3);
  EXPECT_EQ(u.storedDay, 17);
  EXPECT_NEAR(u.storedGyrBias[2], 0.3, 1e-9);
  EXPECT_NEAR(u.storedLatLongAlt[1], 40, 1e-9);
  EXPECT_NEAR(u.r_gps_s[0], 1, 1e-9);
  EXPECT_NEAR(u.declination_angle_deg, 2.5, 1e-9);
  EXPECT_EQ(u.gravityMagnitude, ff(9.8));
  EXPECT_EQ(u.sampleRate, 100.0);
  EXPECT_TRUE(u.enabledFixedGravity);
  EXPECT_TRUE(u.enabledInitialGyroBiasUpdate);
  // Alignment: (0, 1, 0, 0) times the quaternion of the matrix.
  zelto::Quaternion qz;
  qz.isRotateZ(0.5);
  zelto::Quaternion expected;
  expected.isQuatMulQuat(zelto::Quaternion(0, 1, 0, 0), qz);
  EXPECT_TRUE(u.x_alignment.compare(expected, 1e-8)) << u.x_alignment;
  EXPECT_EQ(u.n_s_m, Vector3(1, 0, 0));  // version 3 has no holonomic axis

  // Only bit 1: fixed gravity without the initial bias update; the frame bit clear.
  r.setProcessingFlags(0x2);
  r.setOutputSettings(1);
  u.readFromDecryptedEktsPages(static_cast<const zelto::Ekts*>(&r));
  EXPECT_TRUE(u.enabledFixedGravity);
  EXPECT_FALSE(u.enabledInitialGyroBiasUpdate);
  EXPECT_TRUE(u.x_alignment.compare(qz, 1e-8));
}

TEST(ZkfUserParams, RecordEdgeCases) {
  // Empty record: nothing present.
  zelto::Ekts empty;
  ZkfUserParams u;
  u.readFromDecryptedEktsPages(&empty);
  EXPECT_EQ(u.declination_angle_deg, 0.0);
  EXPECT_EQ(u.storedLatLongAlt, Vector3(kDefaultLatitudeDeg, kDefaultLongitudeDeg, 0));
  EXPECT_DOUBLE_EQ(u.gravityMagnitude, igf(kDefaultLatitudeDeg, 0));
  EXPECT_EQ(u.sampleRate, 100.0);
  EXPECT_FALSE(u.enabledFixedGravity);
  EXPECT_FALSE(u.enabledInitialGyroBiasUpdate);
  EXPECT_EQ(u.n_s_m, Vector3(1, 0, 0));

  // Version 4: the declination from the local field (north-west-up), in degrees.
  zelto::Ekts4 r4;
  r4.setMagField(Vector3(1, -1, -2));
  r4.setSamplePeriod(0);  // a period of 0 counts as none
  r4.setLastKnownLatLongAlt(Vector3(60, 0, 1000));
  u.readFromDecryptedEktsPages(&r4);
  EXPECT_NEAR(u.declination_angle_deg, 45.0, 1e-6);
  EXPECT_TRUE(std::isfinite(u.sampleRate));
  EXPECT_EQ(u.sampleRate, 100.0);
  EXPECT_EQ(u.gravityMagnitude, 0.0);  // version 4 holds a gravity field (cleared image: 0)
  r4.setSamplePeriod(288);
  u.readFromDecryptedEktsPages(&r4);
  EXPECT_EQ(u.sampleRate, 400.0);
}

TEST(ZkfUserParams, RecordOfVersion5) {
  zelto::Ekts5 r;
  r.setTestAndCalDate(convertDMYToExcelSerialDate(1, 2, 2015));
  r.setLastKnownDate(0);
  r.setLastKnownLatLongAlt(Vector3(0.0, 0.0, 0.0));
  r.setGyroBiasEstimation(Vector3(-1, -2, -3));
  r.setHolonomicAxis(Vector3(0, 0, 0));
  r.setSamplePeriod(1152);
  r.setOutputSettings(0x80000000u);

  ZkfUserParams u;
  u.declination_angle_deg = 12;
  u.enabledFixedGravity = true;
  u.readFromDecryptedEktsPages(&r);
  EXPECT_EQ(u.storedYear, 2015);  // the last known date 0 gives the calibration date
  EXPECT_EQ(u.storedMonth, 2);
  EXPECT_EQ(u.storedDay, 1);
  EXPECT_EQ(u.declination_angle_deg, 0.0);
  EXPECT_TRUE(std::signbit(u.declination_angle_deg));
  EXPECT_DOUBLE_EQ(u.gravityMagnitude, igf(0, 0));
  EXPECT_FALSE(u.enabledFixedGravity);
  EXPECT_FALSE(u.enabledInitialGyroBiasUpdate);
  EXPECT_EQ(u.sampleRate, 100.0);
  EXPECT_NEAR(u.storedGyrBias[1], -2, 1e-6);
  EXPECT_EQ(u.n_s_m, Vector3(1, 0, 0));
  EXPECT_TRUE(u.x_alignment.compare(zelto::Quaternion(0, 1, 0, 0), 0.0));

  r.setLastKnownDate(convertDMYToExcelSerialDate(31, 12, 2019));
  r.setHolonomicAxis(Vector3(0, 0, 1));
  r.setOutputSettings(0);
  r.setSamplePeriod(0);
  u.readFromDecryptedEktsPages(&r);
  EXPECT_EQ(u.storedYear, 2019);
  EXPECT_EQ(u.storedDay, 31);
  EXPECT_EQ(u.n_s_m, Vector3(0, 0, 1));
  EXPECT_EQ(u.sampleRate, 100.0);
  EXPECT_TRUE(u.x_alignment.compare(zelto::Quaternion(), 0.0));
}

// Every key of every record replaced by values of other kinds, one at a time: the reader either
// converts a scalar or refuses with false; a vector or quaternion key never accepts a
// non-vector or a too short vector. Run under the sanitizers, nothing may read out of bounds.
TEST(AllRecords, SurviveHostileValuesForEveryKey) {
  std::vector<std::pair<const char*, std::function<std::unique_ptr<ZeltoParams>()>>> records = {
      {"ZkfTime", [] { return std::make_unique<ZkfTime>(); }},
      {"ZkfInertialData", [] { return std::make_unique<ZkfInertialData>(); }},
      {"ZkfGpsPrintData", [] { return std::make_unique<ZkfGpsPrintData>(); }},
      {"FilterTypeVersion", [] { return std::make_unique<FilterTypeVersion>('W', 1, 2, 3); }},
      {"ZkfUserParams", [] { return std::make_unique<ZkfUserParams>(); }},
  };
  const std::vector<HardwareCase> cases = hardwareCases();
  for (const HardwareCase& c : cases)
    records.push_back({c.name, [&c] {
                         auto h = c.make();
                         h->setHardwareType("A1G2M3");
                         return std::unique_ptr<ZeltoParams>(std::move(h));
                       }});
  const double one[1] = {1.0};
  const std::string longText(20000, '7');
  const std::vector<Variant> hostile = {Variant("not a number"), Variant(longText), Variant(one, 1),
                                        Variant(one, 0), Variant(-1), Variant(std::nan("")),
                                        Variant(zelto::Matrix(1, 1)), Variant()};
  for (const auto& [name, make] : records) {
    SCOPED_TRACE(name);
    SettingsFile clean;
    make()->writeToFile(clean, "1.0");
    ASSERT_GT(clean.count(), 0u);
    // Plain records write under the prefix given ("1.0"), hardware records under their entry.
    for (uint32_t i = 0; i < clean.count(); ++i) {
      const std::string label = clean.getLabel(i);
      const uint32_t kind = clean.getSetting(i)->value().kind();
      const bool vectorKey = kind == Variant::KindVector || kind == Variant::KindQuaternion;
      for (const Variant& bad : hostile) {
        SettingsFile f;
        clean.copyTo(f, "");
        f.setSetting(label.c_str(), bad);
        for (const char* prefix : {"1.0", "ZKF.KT9_C.hw1_0.", "ZKF.KTW.hw1_0.", "ZKF.KTmk4.hw1_0."}) {
          auto r = make();
          bool ok = false;
          EXPECT_NO_THROW(ok = r->readFromFileNoThrow(f, prefix)) << label;
          if (ok && vectorKey && label.rfind(prefix, 0) == 0 && bad.kind() != Variant::KindEmpty)
            ADD_FAILURE() << label << " accepted a " << bad.typeName();
        }
      }
    }
  }
}

}  // namespace
