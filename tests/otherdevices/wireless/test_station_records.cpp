// The station's records: the flushing progress record, the settings record of message 0x8B
// (fixed part, trigger lists, refusal of short data, whole entries only, at most 16 per side)
// and the conversion of generic sync settings to trigger entries.
#include <gtest/gtest.h>

#include <vector>

#include "otherdevices/wireless/EwmsData.h"
#include "otherdevices/wireless/FlushingIndication.h"
#include "otherdevices/wireless/TovanaStationDevice.h"
#include "support/emulator/EmuFrame.h"

namespace {

using zelto::EwmsData;
using zelto::WmsTriggerSetting;
using zelto::test::putU16;
using zelto::test::putU32;

TEST(FlushingIndication, CountsDownAgainstTheLargestTotal) {
  FlushingIndication f;
  EXPECT_EQ(f.totalPacketCount(), 0);
  EXPECT_EQ(f.maxTotalPacketCount(), 0);
  EXPECT_EQ(f.find(7), -1);
  f.addOrUpdate(7, 100);
  f.addOrUpdate(9, 20);
  EXPECT_EQ(f.maxTotalPacketCount(), 120);
  f.addOrUpdate(7, 40);
  EXPECT_EQ(f.totalPacketCount(), 60);
  EXPECT_EQ(f.maxTotalPacketCount(), 120);
  EXPECT_EQ(f.find(9), 1);
  EXPECT_TRUE(f.removeAt(0));
  EXPECT_EQ(f.find(9), 0);
  EXPECT_EQ(f.maxTotalPacketCount(), 120);
  // An index the record does not hold is refused, not read past the vectors.
  EXPECT_FALSE(f.removeAt(1));
  EXPECT_FALSE(f.removeAt(-1));
  f.clear();
  EXPECT_EQ(f.size(), 0u);
  f.addOrUpdate(3, 5);
  EXPECT_EQ(f.maxTotalPacketCount(), 5);
}

// A 0x8B message with the fixed part and raw trigger bytes after it.
ZtMessage settingsMessage(const std::vector<uint8_t>& tail, const std::string& code = "WS-A B") {
  std::vector<uint8_t> p;
  putU32(p, 0x00A00001);
  std::string c = code;
  c.resize(20, ' ');
  p.insert(p.end(), c.begin(), c.end());
  putU16(p, 0x0102);
  putU16(p, 0xBEEF);
  putU16(p, 0x0002);
  putU16(p, 120);
  p.insert(p.end(), tail.begin(), tail.end());
  ZtMessage m;
  ZtMessage_constructSized(&m, p.size());
  ZtMessage_setMessageId(&m, 0x8B);
  if (!p.empty()) ZtMessage_setDataBuffer(&m, p.data(), p.size(), 0);
  return m;
}

std::vector<uint8_t> entry(uint8_t mask, uint8_t polarity, bool once, uint16_t skipFirst, uint16_t skipFactor,
                           uint16_t parameter) {
  std::vector<uint8_t> e{mask, static_cast<uint8_t>(polarity << 6 | (once ? 0x20 : 0))};
  putU16(e, skipFirst);
  putU16(e, skipFactor);
  putU16(e, parameter);
  return e;
}

std::vector<uint8_t> dataOf(const ZtMessage& m) {
  const size_t n = ZtMessage_dataSize(&m);
  const uint8_t* d = ZtMessage_getDataBuffer(&m, 0);
  return std::vector<uint8_t>(d, d + n);
}

TEST(EwmsData, ParsesAndComposesTheSettingsMessage) {
  std::vector<uint8_t> tail{2};
  for (auto& b : entry(3, 2, true, 1, 2, 300)) tail.push_back(b);
  for (auto& b : entry(1, 1, false, 4, 5, 6)) tail.push_back(b);
  tail.push_back(1);
  for (auto& b : entry(2, 3, false, 7, 8, 9)) tail.push_back(b);
  ZtMessage m = settingsMessage(tail);
  EwmsData d;
  ASSERT_TRUE(d.setWmsData(m));
  EXPECT_EQ(d.deviceId(), 0x00A00001u);
  EXPECT_EQ(d.productCode(), std::string("WS-A B") + std::string(14, ' '));
  EXPECT_EQ(d.hardwareVersion(), 0x0102);
  EXPECT_EQ(d.stationValue(), 0xBEEF);
  EXPECT_EQ(d.updateRate(), 120);
  ASSERT_EQ(d.inputTriggerCount(), 2u);
  ASSERT_EQ(d.outputTriggerCount(), 1u);
  const WmsTriggerSetting& in0 = d.internalInputTriggerSetting(0);
  EXPECT_EQ(in0.index, 0);
  EXPECT_EQ(in0.lineMask, 3);
  EXPECT_EQ(in0.polarity, 2);
  EXPECT_TRUE(in0.triggerOnce);
  EXPECT_EQ(in0.parameter, 300);
  EXPECT_EQ(d.internalOutputTriggerSetting(0).skipFactor, 8);
  // Composed again it is the same message, the further station value included.
  ZtMessage again = d.toMessage(0xFF);
  EXPECT_EQ(ZtMessage_getMessageId(&again), 0x8B);
  EXPECT_EQ(dataOf(again), dataOf(m));
  ZtMessage_destruct(&again);
  ZtMessage_destruct(&m);
}

TEST(EwmsData, RefusesShortDataAndReadsOnlyWholeEntries) {
  struct Case {
    const char* name;
    std::vector<uint8_t> tail;
    bool accepted;
    size_t inputs, outputs;
  };
  std::vector<uint8_t> partial{2};
  for (auto& b : entry(1, 1, false, 0, 0, 1)) partial.push_back(b);
  partial.insert(partial.end(), {1, 1, 0});  // three bytes of a second entry
  std::vector<uint8_t> many{20};              // more entries than the 16 slots
  for (int i = 0; i < 20; ++i)
    for (auto& b : entry(1, 1, false, 0, 0, static_cast<uint16_t>(i))) many.push_back(b);
  many.push_back(1);
  for (auto& b : entry(2, 1, false, 0, 0, 77)) many.push_back(b);
  const Case cases[] = {
      {"fixed part only", {}, true, 0, 0},
      {"partial last entry", partial, true, 1, 0},
      {"count beyond the data", {9}, true, 0, 0},
      {"twenty entries", many, true, 16, 1},
  };
  for (const Case& c : cases) {
    ZtMessage m = settingsMessage(c.tail);
    EwmsData d;
    EXPECT_EQ(d.setWmsData(m), c.accepted) << c.name;
    EXPECT_EQ(d.inputTriggerCount(), c.inputs) << c.name;
    EXPECT_EQ(d.outputTriggerCount(), c.outputs) << c.name;
    ZtMessage_destruct(&m);
  }
  // The sync-out list after twenty sync-in entries is still found where the count puts it.
  ZtMessage m = settingsMessage(many);
  EwmsData d;
  ASSERT_TRUE(d.setWmsData(m));
  EXPECT_EQ(d.internalInputTriggerSetting(15).parameter, 15);
  EXPECT_EQ(d.internalOutputTriggerSetting(0).parameter, 77);
  ZtMessage_destruct(&m);
  // Under the fixed size: refused, the record unchanged.
  ZtMessage shortMessage;
  ZtMessage_constructSized(&shortMessage, 31);
  ZtMessage_setMessageId(&shortMessage, 0x8B);
  EXPECT_FALSE(d.setWmsData(shortMessage));
  EXPECT_EQ(d.updateRate(), 120);
  ZtMessage_destruct(&shortMessage);
  // A record from the 32 bytes composes counts 0 and 0 at offsets 32 and 33.
  ZtMessage fixed = settingsMessage({});
  EwmsData e;
  ASSERT_TRUE(e.setWmsData(fixed));
  ZtMessage composed = e.toMessage(0xFF);
  ASSERT_EQ(ZtMessage_dataSize(&composed), 34u);
  EXPECT_EQ(ZtMessage_getDataByte(&composed, 32), 0);
  EXPECT_EQ(ZtMessage_getDataByte(&composed, 33), 0);
  ZtMessage_destruct(&composed);
  ZtMessage_destruct(&fixed);
}

TEST(EwmsData, DefaultsAndClearedTriggers) {
  EwmsData d;
  EXPECT_EQ(d.productCode(), " ");
  EXPECT_EQ(d.internalInputTriggerSetting(0).index, 4);
  EXPECT_EQ(d.internalInputTriggerSetting(15).polarity, 1);
  EXPECT_EQ(d.internalOutputTriggerSetting(3).index, 5);
  d.clearTriggerSettings();
  EXPECT_EQ(d.internalInputTriggerSetting(3).index, 4);
  EXPECT_EQ(d.internalInputTriggerSetting(4).index, 0);
  EXPECT_EQ(d.internalOutputTriggerSetting(4).index, 5);
  EXPECT_EQ(d.internalOutputTriggerSetting(5).index, 0);
  EXPECT_EQ(d.internalOutputTriggerSetting(0).polarity, 0);
}

// setTriggerSettings overwrites the slot its entry names, on the side of its type, and the
// composed message then lists that slot; an index outside the 16 slots changes nothing.
TEST(EwmsData, SetTriggerSettingsWritesTheNamedSlotOfItsSide) {
  EwmsData d;
  zelto::WmsSyncInSettings in;
  in.index = 2;
  in.lineMask = 1;
  in.skipFactor = 9;
  d.setTriggerSettings(in);
  zelto::WmsSyncOutSettings out;
  out.index = 4;
  out.lineMask = 2;
  out.parameter = 7;
  d.setTriggerSettings(out);
  EXPECT_EQ(d.internalInputTriggerSetting(2).skipFactor, 9);
  EXPECT_EQ(d.internalOutputTriggerSetting(2).lineMask, 0);  // the other side's slot 2 untouched
  EXPECT_EQ(d.internalOutputTriggerSetting(4).parameter, 7);
  EXPECT_EQ(d.inputTriggerCount(), 3u);
  EXPECT_EQ(d.outputTriggerCount(), 5u);
  ZtMessage m = d.toMessage(0xFF);
  ASSERT_EQ(ZtMessage_dataSize(&m), EwmsData::kFixedSize + 2 + 8 * 8u);
  EXPECT_EQ(ZtMessage_getDataByte(&m, 32), 3);
  EXPECT_EQ(ZtMessage_getDataByte(&m, 33 + 2 * 8), 1);                // slot 2's line mask
  EXPECT_EQ(ZtMessage_getDataShort(&m, 33 + 3 * 8 + 1 + 4 * 8 + 6), 7);  // sync-out slot 4's parameter
  ZtMessage_destruct(&m);
  for (int32_t index : {-1, 16}) {
    in.index = index;
    d.setTriggerSettings(in);
    out.index = index;
    d.setTriggerSettings(out);
  }
  EXPECT_EQ(d.inputTriggerCount(), 3u);
  EXPECT_EQ(d.outputTriggerCount(), 5u);
  EXPECT_EQ(d.internalInputTriggerSetting(15).skipFactor, 0);
}

ZtSyncSetting sync(int32_t line, int32_t function, uint32_t pulseWidth = 0, int32_t polarity = 1) {
  ZtSyncSetting s{};
  s.line = line;
  s.function = function;
  s.polarity = polarity;
  s.pulseWidth = pulseWidth;
  s.skipFirst = 3;
  s.skipFactor = 4;
  s.clockPeriod = 55;
  s.triggerOnce = 1;
  return s;
}

TEST(StationSyncConversion, SettingsBecomeTriggerEntries) {
  EwmsData d;
  // Pulse widths round to the nearest millisecond.
  ASSERT_TRUE(TovanaStationDevice::syncSettingsToWms({sync(9, 0, 2499)}, d));
  EXPECT_EQ(d.internalOutputTriggerSetting(0).lineMask, 2);
  EXPECT_EQ(d.internalOutputTriggerSetting(0).parameter, 2);
  ASSERT_TRUE(TovanaStationDevice::syncSettingsToWms({sync(9, 0, 2500)}, d));
  EXPECT_EQ(d.internalOutputTriggerSetting(0).parameter, 3);
  // Two lines of one function merge; the other fields are the last one's.
  ZtSyncSetting second = sync(9, 0, 4000, 3);
  second.skipFactor = 9;
  ASSERT_TRUE(TovanaStationDevice::syncSettingsToWms({sync(8, 0, 1000), second}, d));
  EXPECT_EQ(d.internalOutputTriggerSetting(0).lineMask, 3);
  EXPECT_EQ(d.internalOutputTriggerSetting(0).polarity, 3);
  EXPECT_EQ(d.internalOutputTriggerSetting(0).skipFactor, 9);
  EXPECT_EQ(d.internalOutputTriggerSetting(0).parameter, 4);
  // Functions without a trigger of their own land in the slot that is never sent.
  ASSERT_TRUE(TovanaStationDevice::syncSettingsToWms({sync(8, 2), sync(9, 3), sync(0, 7)}, d));
  for (int e = 0; e < 5; ++e) EXPECT_EQ(d.internalOutputTriggerSetting(e).lineMask, 0) << e;
  for (int a = 0; a < 4; ++a) EXPECT_EQ(d.internalInputTriggerSetting(a).lineMask, 0) << a;
  EXPECT_EQ(d.internalOutputTriggerSetting(5).lineMask, 3);
  EXPECT_EQ(d.internalInputTriggerSetting(4).lineMask, 1);
  // Sync-in: the clock period is the third parameter, polarity outside 1..3 is 0.
  ASSERT_TRUE(TovanaStationDevice::syncSettingsToWms({sync(1, 2, 0, 9)}, d));
  EXPECT_EQ(d.internalInputTriggerSetting(2).lineMask, 2);
  EXPECT_EQ(d.internalInputTriggerSetting(2).parameter, 55);
  EXPECT_EQ(d.internalInputTriggerSetting(2).polarity, 0);
  // 65 535 ms still fits the 16-bit entry; a pulse that rounds to 65 536 ms would wrap: refused.
  ASSERT_TRUE(TovanaStationDevice::syncSettingsToWms({sync(8, 1, 65535499)}, d));
  EXPECT_EQ(d.internalOutputTriggerSetting(1).parameter, 65535);
  EXPECT_FALSE(TovanaStationDevice::syncSettingsToWms({sync(8, 1, 65535500)}, d));
  EXPECT_FALSE(TovanaStationDevice::syncSettingsToWms({sync(8, 1, 0xFFFFFFFFu)}, d));
}

TEST(StationSyncConversion, Tables) {
  const int32_t events[] = {0, 1, 5, 5, 3, 4, 2, 5};
  for (int32_t f = 0; f <= 7; ++f) EXPECT_EQ(TovanaStationDevice::syncOutFunctionToEvent(f), events[f]) << f;
  const int32_t functions[] = {0, 1, 6, 4, 5, 12};
  for (int32_t e = 0; e <= 5; ++e) EXPECT_EQ(TovanaStationDevice::eventToSyncOutFunction(e), functions[e]) << e;
  for (int32_t a = 0; a <= 3; ++a) {
    EXPECT_EQ(TovanaStationDevice::syncInFunctionToAction(a), a);
    EXPECT_EQ(TovanaStationDevice::actionToSyncInFunction(a), a);
  }
  EXPECT_EQ(TovanaStationDevice::syncInFunctionToAction(4), 4);
  EXPECT_EQ(TovanaStationDevice::actionToSyncInFunction(4), 12);
}

}  // namespace
