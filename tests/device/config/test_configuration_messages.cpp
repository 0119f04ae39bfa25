// The configuration message classes over a device whose custom-message exchange is scripted:
// turning a reply into a set message, what counts as accepted, the order and the stop of a
// collection's run, the file form of set messages, and the ownership of a configuration.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/config/DeviceConfigurationCollection.h"
#include "device/config/DeviceConfigurationMessages.h"
#include "device/config/ResponseMessage.h"
#include "device/config/SetMessage.h"
#include "device/config/SetMessageCollection.h"
#include "device/config/ZtDeviceConfigurationMetaInformation.h"
#include "foundation/BinaryObject.h"
#include "foundation/SettingsFile.h"
#include "support/ConfigTestDevice.h"
#include "support/ZtValues.h"
#include "support/emulator/EmuFrame.h"

using zelto::test::Bytes;
using zelto::test::ConfigTestDevice;
using zelto::test::EmuFrame;

namespace {

Bytes frame(uint8_t id, const Bytes& payload, uint8_t busId = 0xFF) { return EmuFrame{busId, id, payload}.encode(); }

Bytes bytesOf(const Internal::ConfigurationMessage& message) {
  const ZtMessage& m = message.getMessage();
  const uint8_t* p = ZtMessage_getMessageStart(&m);
  return p ? Bytes(p, p + ZtMessage_getTotalMessageSize(&m)) : Bytes();
}

// A linkless device whose exchange is a function of the sent frame: it returns whether an answer
// came and fills the reply frame. Every sent frame is recorded.
class ScriptedDevice : public ConfigTestDevice {
 public:
  using Answer = std::function<bool(const Bytes& sent, Bytes& reply)>;
  ScriptedDevice() : ConfigTestDevice(ZtDeviceId(0x00112233)) {}

  // A settings table as a device keeps it: a request without payload gets id + 1 with the value,
  // one with payload stores it and gets id + 1 without payload; ids without a row are silent.
  void useTable() {
    answer = [this](const Bytes& sent, Bytes& reply) {
      const uint8_t id = sent[2];
      auto row = table.find(id);
      if (row == table.end()) return false;
      const Bytes payload(sent.begin() + 4, sent.end() - 1);
      if (payload.empty()) {
        reply = frame(static_cast<uint8_t>(id + 1), row->second);
      } else {
        row->second = payload;
        reply = frame(static_cast<uint8_t>(id + 1), {});
      }
      return true;
    };
  }

  bool sendCustomMessage(const ZtMessage& message, bool waitForResult, ZtMessage& reply, int timeoutMs) override {
    EXPECT_TRUE(waitForResult);
    EXPECT_EQ(timeoutMs, expectedTimeout);
    const uint8_t* p = ZtMessage_getMessageStart(&message);
    const Bytes bytes = p ? Bytes(p, p + ZtMessage_getTotalMessageSize(&message)) : Bytes();
    sent.push_back(bytes);
    Bytes replyBytes;
    if (!answer || !answer(bytes, replyBytes)) return false;
    EXPECT_EQ(ZtMessage_load(&reply, replyBytes.size(), replyBytes.data()), 1);
    return true;
  }

  Answer answer;
  std::map<uint8_t, Bytes> table;
  std::vector<Bytes> sent;
  int expectedTimeout = 70;
};

// Each device goes through removeIfNoRefs, as devices do.
struct DeviceHolder {
  ScriptedDevice* device = new ScriptedDevice();
  ~DeviceHolder() { device->removeIfNoRefs(); }
  ScriptedDevice& operator*() { return *device; }
  ScriptedDevice* operator->() { return device; }
};

// A reply becomes the set message: the reply's payload under bus id 0xFF and the request's id,
// with a correct checksum (also in the extended length form). Any other reply id is refused and
// leaves the set message as it was; request id 0xFF is never matched by reply id 0.
TEST(ConfigurationMessages, ConvertTurnsTheReplyIntoTheSetMessage) {
  const Bytes longPayload(300, 0x5A);
  struct Row {
    const char* name;
    uint8_t requestId;
    Bytes reply;  // empty: an empty response
    bool converted;
    Bytes set;
  };
  const Row rows[] = {
      {"value", 0xD0, frame(0xD1, {0x12, 0x34}), true, frame(0xD0, {0x12, 0x34})},
      {"reply from bus id 3", 0xD2, frame(0xD3, {1, 2, 3, 4}, 3), true, frame(0xD2, {1, 2, 3, 4})},
      {"reply without payload", 0x04, frame(0x05, {}), true, frame(0x04, {})},
      {"extended length", 0x84, frame(0x85, longPayload, 1), true, frame(0x84, longPayload)},
      {"reply id + 2", 0xD0, frame(0xD2, {0x12, 0x34}), false, {}},
      {"reply id - 1", 0xD0, frame(0xCF, {0x12, 0x34}), false, {}},
      {"request 0xFF, reply 0x00", 0xFF, frame(0x00, {0x01}), false, {}},
      {"empty response", 0xD0, {}, false, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Bytes requestBytes = ConfigTestDevice::requestFrame(row.requestId);
    const Internal::RequestMessage request(requestBytes.data(), requestBytes.size());
    Internal::ResponseMessage response;
    if (!row.reply.empty()) {
      response = Internal::ResponseMessage(row.reply.data(), row.reply.size());
    } else {
      zelto::test::Message empty;
      response.setMessage(empty.m);
    }
    const Bytes sentinel = frame(0x42, {0x99});
    Internal::SetMessage set(sentinel.data(), sentinel.size());
    EXPECT_EQ(request.convert(response, set), row.converted);
    EXPECT_EQ(bytesOf(set), row.converted ? row.set : sentinel);
    if (row.converted) {
      EXPECT_TRUE(ZtMessage_isChecksumOk(&set.getMessage()));
    }
  }
}

// send hands back what the device's exchange returned, or leaves the response alone; apply counts
// only a reply with the own id + 1 as accepted, whatever the exchange said.
TEST(ConfigurationMessages, SendAndApplyOverTheDeviceExchange) {
  struct Row {
    const char* name;
    uint8_t id;
    bool answered;
    int replyId;
    bool sent;
    bool applied;
  };
  const Row rows[] = {
      {"acknowledged", 0xD0, true, 0xD1, true, true},
      {"silent", 0xD0, false, 0, false, false},
      {"another id handed back", 0xD0, true, 0xD3, true, false},
      {"id 0xFF answered with 0x00", 0xFF, true, 0x00, true, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    DeviceHolder device;
    device->answer = [&row](const Bytes&, Bytes& reply) {
      reply = frame(static_cast<uint8_t>(row.replyId), {0x07});
      return row.answered;
    };
    const Bytes bytes = frame(row.id, {0x00, 0x01});
    const Internal::SetMessage message(bytes.data(), bytes.size());
    const Bytes sentinel = frame(0x42, {});
    Internal::ResponseMessage response(sentinel.data(), sentinel.size());
    EXPECT_EQ(message.send(*device, response, 70), row.sent);
    EXPECT_EQ(bytesOf(response), row.sent ? frame(static_cast<uint8_t>(row.replyId), {0x07}) : sentinel);
    EXPECT_EQ(message.apply(*device, 70), row.applied);
    EXPECT_EQ(device->sent, (std::vector<Bytes>{bytes, bytes}));
  }
}

// A run goes through the requests in byte order of their names: request, then the set message
// made from its reply; the first failure stops it and keeps the set messages made so far.
TEST(ConfigurationMessages, GenerateRunsInNameOrderAndStopsAtTheFirstFailure) {
  DeviceConfigurationMessages requests;
  const std::vector<std::pair<std::string, uint8_t>> entries = {{"b", 0x10}, {"B", 0x20}, {"a", 0x30}};
  for (const auto& [name, id] : entries) {
    const Bytes bytes = ConfigTestDevice::requestFrame(id);
    ASSERT_TRUE(requests.add(name, bytes.data(), bytes.size()));
  }
  struct Row {
    const char* name;
    std::function<void(ScriptedDevice&)> script;
    std::vector<std::string> preset;  // names the set collection holds before
    bool result;
    std::vector<Bytes> sent;
    size_t made;
  };
  const Bytes reqB = ConfigTestDevice::requestFrame(0x20), setB = frame(0x20, {2});
  const Bytes reqA = ConfigTestDevice::requestFrame(0x30), setA = frame(0x30, {3});
  const Bytes reqb = ConfigTestDevice::requestFrame(0x10), setb = frame(0x10, {1});
  const Row rows[] = {
      {"all", [](ScriptedDevice&) {}, {}, true, {reqB, setB, reqA, setA, reqb, setb}, 3},
      {"unanswered request", [](ScriptedDevice& d) { d.table.erase(0x30); }, {}, false, {reqB, setB, reqA}, 1},
      {"refused set message",
       [](ScriptedDevice& d) {
         d.answer = [inner = d.answer](const Bytes& sent, Bytes& reply) {
           return sent.size() == 5 ? inner(sent, reply) : sent[2] != 0x30 && inner(sent, reply);
         };
       },
       {}, false, {reqB, setB, reqA, setA}, 1},
      {"name already made", [](ScriptedDevice&) {}, {"a"}, false, {reqB, setB, reqA, setA}, 2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    DeviceHolder device;
    device->table = {{0x10, {1}}, {0x20, {2}}, {0x30, {3}}};
    device->useTable();
    row.script(*device);
    Internal::SetMessageCollection made;
    const Bytes other = frame(0x77, {});
    for (const std::string& name : row.preset) ASSERT_TRUE(made.add(name, other.data(), other.size()));
    EXPECT_EQ(requests.generate(*device, made, 70), row.result);
    EXPECT_EQ(device->sent, row.sent);
    EXPECT_EQ(made.size(), row.made);
  }
  DeviceHolder device;
  Internal::SetMessageCollection made;
  EXPECT_TRUE(DeviceConfigurationMessages().generate(*device, made, 70));
  EXPECT_TRUE(device->sent.empty());
}

// The file form of set messages: "Config." + name holding the whole frame, through the ZSA text
// and back under the whole label; messages the file could not hold as settings of their own fail
// the write instead of vanishing from it.
TEST(ConfigurationMessages, SetMessagesThroughTheSettingsFile) {
  EXPECT_STREQ(Internal::SetMessageCollection::m_messagePrefix, "Config.");
  Internal::SetMessageCollection written;
  const Bytes mode = frame(0xD0, {0x40, 0x06}), period = frame(0x04, {0x02, 0x40});
  ASSERT_TRUE(written.add("OutputMode", mode.data(), mode.size()));
  ASSERT_TRUE(written.add("Period", Internal::SetMessage(period.data(), period.size())));
  EXPECT_FALSE(written.add("Period", mode.data(), mode.size()));
  zelto::SettingsFile file;
  ASSERT_EQ(file.addSetting("Other.", "Value", zelto::Variant(3)), ZRV_OK);
  EXPECT_TRUE(written.write(file));
  std::string text;
  ASSERT_EQ(file.writeZsaString(nullptr, text), ZRV_OK);

  zelto::SettingsFile reread;
  ASSERT_EQ(reread.readZsaString(text.c_str()), ZRV_OK);
  ASSERT_EQ(reread.count(), 3u);
  Internal::SetMessageCollection read;
  ASSERT_TRUE(read.read(reread));
  EXPECT_EQ(read.size(), 2u);
  DeviceHolder device;
  device->answer = [](const Bytes& sent, Bytes& reply) {
    reply = frame(static_cast<uint8_t>(sent[2] + 1), {});
    return true;
  };
  EXPECT_TRUE(read.apply(*device, 70));
  EXPECT_EQ(device->sent, (std::vector<Bytes>{mode, period}));

  struct Row {
    const char* name;
    std::vector<std::pair<std::string, Bytes>> messages;
    size_t settings;  // the file's settings after the write
  };
  const Row rows[] = {
      {"names equal but for case", {{"Period", period}, {"period", mode}}, 1},
      {"a label over 255 characters", {{std::string(250, 'x'), period}, {"Period", period}}, 1},
      {"an empty message", {{"Empty", {}}, {"Period", period}}, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Internal::SetMessageCollection messages;
    for (const auto& [name, bytes] : row.messages) ASSERT_TRUE(messages.add(name, bytes.data(), bytes.size()));
    zelto::SettingsFile target;
    EXPECT_FALSE(messages.write(target));
    EXPECT_EQ(target.count(), row.settings);
  }
}

// The configuration deletes both parts it was given.
class CountedMessages : public DeviceConfigurationMessages {
 public:
  explicit CountedMessages(int& destroyed) : m_destroyed(destroyed) {}
  ~CountedMessages() override { ++m_destroyed; }

 private:
  int& m_destroyed;
};

class CountedMeta : public ZtDeviceConfigurationMetaInformation {
 public:
  explicit CountedMeta(int& destroyed) : m_destroyed(destroyed) {}
  ~CountedMeta() override { ++m_destroyed; }

 private:
  int& m_destroyed;
};

TEST(ConfigurationMessages, TheConfigurationOwnsItsPartsAndCountsThem) {
  int destroyed = 0;
  { DeviceConfigurationCollection collection(new CountedMessages(destroyed), new CountedMeta(destroyed)); }
  EXPECT_EQ(destroyed, 2);

  auto* messages = new DeviceConfigurationMessages();
  const Bytes request = ConfigTestDevice::requestFrame(0xD0);
  messages->add("OutputMode", request.data(), request.size());
  const DeviceConfigurationCollection full(messages, new CountedMeta(destroyed));
  EXPECT_EQ(full.messageCount(), 1u);
  EXPECT_EQ(full.metaInformationCount(), 2u);

  // Without a request list nothing is asked and nothing written.
  const DeviceConfigurationCollection empty(nullptr, nullptr);
  EXPECT_EQ(empty.messageCount(), 0u);
  EXPECT_EQ(empty.metaInformationCount(), 0u);
  DeviceHolder device;
  zelto::SettingsFile file;
  EXPECT_FALSE(empty.create(*device, file, 70));
  EXPECT_EQ(file.count(), 0u);
  EXPECT_TRUE(device->sent.empty());
}

// Saving over the scripted device: the file is filled only after every exchange succeeded, so a
// failing last request leaves it empty; the "Info." settings come with the six set messages.
TEST(ConfigurationMessages, CreateFillsTheFileOnlyAfterEveryExchange) {
  for (bool lastAnswers : {true, false}) {
    SCOPED_TRACE(lastAnswers ? "every request answered" : "the last request unanswered");
    DeviceHolder device;
    device->table = {{0xD0, {0, 1}}, {0xD2, {0, 0, 0, 2}}, {0x18, {0x0C}}, {0x04, {0x04, 0x80}},
                     {0xD4, {0, 0}},  {0x84, {0, 5}}};
    if (!lastAnswers) device->table.erase(0x04);  // "Period" comes last in name order
    device->useTable();
    const DeviceConfigurationCollection collection(device->determineConfigurationMessages(),
                                                   device->determineConfigurationMetaInformation());
    zelto::SettingsFile file;
    EXPECT_EQ(collection.create(*device, file, 70), lastAnswers);
    EXPECT_EQ(file.count(), lastAnswers ? 8u : 0u);
    EXPECT_EQ(device->sent.size(), lastAnswers ? 12u : 11u);
  }
}

}  // namespace
