#include "transport/link/Communicator.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "device/cache/PacketDataSource.h"
#include "foundation/JournalMacros.h"
#include "foundation/ThreadPool.h"
#include "errors/ZtException.h"
#include "transport/link/JanitorClassFuncP1.h"
#include "transport/link/KtThread.h"
#include "transport/zbus/MidAndDataReplyObject.h"
#include "transport/zbus/MidReplyObject.h"
#include "transport/imar/FsasProtocolHandler.h"
#include "transport/imar/IFogProtocolHandler.h"
#include "transport/zbus/ProtocolHandler.h"
#include "transport/io/SerialInterface.h"
#include "transport/zbus/TovanaClientReplyObject.h"
#include "transport/zbus/TovanaIndicationReplyObject.h"
#include "transport/io/UsbInterface.h"
#include "transport/link/Zt4FileTask.h"
#include "zeltodeviceapi/ztdevicetypes.h"
#include "zeltodeviceapi/ztscanner.h"

uint32_t Communicator::m_defaultGotoConfigTimeout = 150;

namespace {

constexpr uint8_t kReqDeviceId = 0x00;
constexpr uint8_t kDeviceIdReply = 0x01;
constexpr uint8_t kGotoMeasurement = 0x10;
constexpr uint8_t kGotoMeasurementAck = 0x11;
constexpr uint8_t kGotoConfig = 0x30;
constexpr uint8_t kGotoConfigAck = 0x31;
constexpr uint8_t kConfiguration = 0x0D;
constexpr uint8_t kError = 0x42;
constexpr uint32_t kMsPerDay = 24u * 3600u * 1000u;

// Awaits the acknowledge of a request or an Error message, whichever comes first: a refused
// request must end the wait at once and carry the device's error code.
class AckOrErrorReplyObject : public ReplyObject {
 public:
  explicit AckOrErrorReplyObject(uint8_t ackId) : m_ackId(ackId) {}
  bool isReplyFor(const ZtMessage& message) const override {
    const uint8_t id = ZtMessage_getMessageId(&message);
    return id == m_ackId || id == kError;
  }
  uint8_t msgId() const override { return m_ackId; }

 private:
  const uint8_t m_ackId;
};

// RAII for the C message and array records used locally.
struct LocalMessage {
  ZtMessage m;
  LocalMessage() { ZtMessage_construct(&m); }
  ~LocalMessage() { ZtMessage_destruct(&m); }
  LocalMessage(const LocalMessage&) = delete;
  LocalMessage& operator=(const LocalMessage&) = delete;
};
struct LocalBytes {
  ZtByteArray b;
  LocalBytes() { ZtByteArray_construct(&b, 0, nullptr); }
  ~LocalBytes() { ZtByteArray_destruct(&b); }
  LocalBytes(const LocalBytes&) = delete;
  LocalBytes& operator=(const LocalBytes&) = delete;
};

bool isUsbName(const char* name) {
  return std::strncmp(name, "USB", 3) == 0 || std::strncmp(name, "\\\\?\\usb", 7) == 0;
}

// Elapsed ms since start on the time of day, across midnight.
uint32_t elapsedSince(uint32_t start, uint32_t now) { return (now + kMsPerDay - start) % kMsPerDay; }

}  // namespace

// ---- Construction ---------------------------------------------------------------------------

Communicator::Communicator() { construct(); }

Communicator::Communicator(SerialInterface* port) {
  construct();
  if (port) {
    m_port.store(port);
    m_portFd = port->getHandle();
  }
}

void Communicator::construct() {
  ZtByteArray_construct(&m_receiveBuffer, 0, nullptr);
  ZtByteArray_construct(&m_fileBuffer, 0, nullptr);
  ZtByteArray_construct(&m_fileChunk, 0, nullptr);
  ZtByteArray_construct(&m_fileFrame, 0, nullptr);
  ZtMessage_construct(&m_parseMessage);
  m_kickFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  m_gotoConfigTimeout = m_defaultGotoConfigTimeout;
  initialize();
}

void Communicator::initialize() {
  m_protocolManager.reset(new ProtocolManager(*this));
  m_protocolManager->add(new ProtocolHandler);
  m_replyMonitor = new zelto::ReplyMonitor;
  m_measurementStartTime = 0;
  m_droppedPacketCount = 0;
  m_packetMark = 0;
  m_flushMark = 0;
  m_secondMark = 0;
  m_count1 = 0;
  m_count2 = 0;
  m_masterDevice = nullptr;
  m_waitDeadline = 0;
  m_waitStart = 0;
  m_dataSource = new zelto::PacketDataSource(this);
  m_thread = new KtThread(this);
}

void Communicator::destroyParts() {
  // The reader first (it queues parse tasks and may close the port), then our own pool task.
  if (m_thread) {
    cancelPortRead();
    delete m_thread;
    m_thread = nullptr;
  }
  waitForLastTaskCompletion();
  {
    std::lock_guard<std::recursive_mutex> lock(m_fileMutex);
    closeLogFileLocked(false);
  }
  deletePort();
  delete m_dataSource;
  m_dataSource = nullptr;
  delete m_replyMonitor;
  m_replyMonitor = nullptr;
  m_protocolManager.reset();
  ZtArray_assign(ZTARRAY(&m_receiveBuffer), 0, nullptr);
}

void Communicator::clear(bool reinitialize) {
  destroyParts();
  if (reinitialize) initialize();
}

Communicator::~Communicator() {
  m_abortLoad = true;
  destroyParts();
  ZtMessage_destruct(&m_parseMessage);
  ZtByteArray_destruct(&m_fileFrame);
  ZtByteArray_destruct(&m_fileChunk);
  ZtByteArray_destruct(&m_fileBuffer);
  ZtByteArray_destruct(&m_receiveBuffer);
  if (m_kickFd >= 0) ::close(m_kickFd);
}

void Communicator::destroy(std::function<void()> deleted) {
  if (m_thread && m_thread->isCurrentThread()) {
    m_thread->deleteLinkOnExit(std::move(deleted));
    return;
  }
  delete this;
  if (deleted) deleted();
}

// ---- Port -----------------------------------------------------------------------------------

bool Communicator::openPort(const ZtString& name, ZtBaudRate rate, OpenPortStage stages,
                            bool repeatGotoConfig) {
  if (stages & OPS_OpenPort) {
    {
      std::lock_guard<std::recursive_mutex> lock(m_fileMutex);
      if (m_logFile) {
        setResult(ZRV_ALREADYOPEN);
        return false;
      }
    }
    std::unique_lock<std::shared_mutex> lock(m_portLock);
    if (StreamInterface* open = m_port.load()) {
      setResult(ZRV_ALREADYOPEN);
      ZtString openName;
      ZtString_construct(&openName, "");
      ZtBaudRate openRate = 0;
      if (auto* serial = dynamic_cast<SerialInterface*>(open)) {
        serial->getPortName(openName);
        openRate = serial->getBaudrate();
      } else if (auto* usb = dynamic_cast<UsbInterface*>(open)) {
        usb->getPortName(openName);
      }
      const bool same = std::strcmp(ZtString_c_str(&openName), ZtString_c_str(&name)) == 0 && rate == openRate;
      ZtString_destruct(&openName);
      return same;
    }
    ZtPortInfo info = {};
    const char* text = ZtString_c_str(&name);
    if (std::strlen(text) <= 254) std::snprintf(info.portName, sizeof info.portName, "%s", text);
    info.baudRate = rate;
    StreamInterface* port;
    ZtResultValue result;
    if (isUsbName(info.portName)) {
      port = new UsbInterface;
      result = port->open(info, 0, 0);
    } else {
      port = new SerialInterface;
      result = port->open(info, 65536, 65536);
    }
    setResult(result);
    if (result != ZRV_OK) {
      delete port;
      return false;
    }
    auto* serial = dynamic_cast<SerialInterface*>(port);
    m_portFd = serial ? serial->getHandle() : -1;
    m_bitsPerSecond.store(serial ? ZtBaud_toNumeric(serial->getBaudrate()) : 0, std::memory_order_relaxed);
    m_port.store(port);
    kickReader();  // a reader started without a port waits for one
  }
  if (!m_port.load()) {
    setResult(ZRV_NOPORTOPEN);
    return false;
  }
  // The port takes no lock, so its time-out is set before the reader starts reading rather
  // than after; with time-out 0 the reads never block, and GotoConfig needs no read allowance.
  ZtResultValue timeoutResult = ZRV_OK;
  if (stages & (OPS_StartThread | OPS_InitDevice)) {
    std::shared_lock<std::shared_mutex> lock(m_portLock);
    StreamInterface* port = m_port.load();
    timeoutResult = port ? port->setTimeout(0) : ZRV_NOPORTOPEN;
  }
  if (stages & OPS_StartThread) startThread();
  if (stages & OPS_InitDevice) {
    ZtResultValue result = gotoConfig(repeatGotoConfig);
    if (result == ZRV_OK) result = getDeviceId();
    if (result != ZRV_OK) {
      stopThread();
      deletePort();
      setResult(result);
      return false;
    }
  }
  return setResult(timeoutResult) == ZRV_OK;
}

bool Communicator::openImarPort_internal(const ZtString& name, ZtBaudRate rate, int imarType, OpenPortStage stages) {
  IProtocolHandler* handler = imarType == 0   ? static_cast<IProtocolHandler*>(new imar::FsasProtocolHandler)
                              : imarType == 1 ? static_cast<IProtocolHandler*>(new imar::IFogProtocolHandler)
                                              : nullptr;
  if (!handler) {
    setResult(ZRV_INVALIDPARAM);
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(m_protocolMutex);
    if (!m_protocolManager) {
      delete handler;
      setResult(ZRV_ERROR);
      return false;
    }
    m_protocolManager->clear();
    m_protocolManager->add(handler);
  }
  // Opened in two steps so that the reader starts with the unit's id in place.
  if (!openPort(name, rate, static_cast<OpenPortStage>(stages & OPS_OpenPort), false)) return false;
  setMasterDeviceId(imarType == 0 ? kImarFsasDeviceId : kImarIFogDeviceId);
  return openPort(name, rate, static_cast<OpenPortStage>(stages & OPS_StartThread), false);
}

bool Communicator::reopenPort(ZtBaudRate baudRate, OpenPortStage stages) {
  ZtString name = portName();
  closePort();
  const bool ok = openPort(name, baudRate, stages, false);
  ZtString_destruct(&name);
  return ok;
}

bool Communicator::reopenPort() { return reopenPort(baudRate(), OPS_All); }

void Communicator::cancelPortRead() {
  // Stored before the kick: the reader reads the flag after the kick's read returns.
  m_readCancelled.store(true);
  kickReader();
  std::shared_lock<std::shared_mutex> lock(m_portLock);
  if (StreamInterface* port = m_port.load()) port->cancelIo();
}

void Communicator::stopThread() {
  if (!m_thread) return;
  cancelPortRead();
  m_thread->stopThread();
  m_thread->finishParsing();
}

void Communicator::startThread() {
  if (!m_thread) throw ZtException(ZRV_ERROR, "Unable to start thread");
  if (m_thread->isAlive()) return;
  // The pool the reader hands its bytes to exists before the first exchange: made on the reader's
  // first hand-over, its workers' start would be charged to the first reply's time-out (150 ms
  // for a GotoConfig), which a loaded machine can exceed. Throws as below when it cannot start.
  zelto::ThreadPool::instance();
  // Drop a cancel left over from an earlier stop.
  m_readCancelled.store(false);
  if (!m_thread->startThread("KtThread")) throw ZtException(ZRV_ERROR, "Unable to start thread");
}

void Communicator::deletePort() {
  std::unique_lock<std::shared_mutex> lock(m_portLock);
  StreamInterface* port = m_port.exchange(nullptr);
  m_bitsPerSecond.store(kLineRateAsk, std::memory_order_relaxed);
  m_portFd = -1;
  if (port) {
    port->close();
    delete port;
  }
}

void Communicator::closePort() {
  // The reader is stopped even when the port is already gone: after a hang-up it may still be
  // raising onError, which must be over when this returns.
  stopThread();
  deletePort();
}

bool Communicator::isPortOpen() const {
  std::shared_lock<std::shared_mutex> lock(m_portLock);
  StreamInterface* port = m_port.load();
  return port && port->isOpen();
}

ZtString Communicator::portName() const {
  ZtString name;
  ZtString_construct(&name, "");
  std::shared_lock<std::shared_mutex> lock(m_portLock);
  StreamInterface* port = m_port.load();
  if (auto* serial = dynamic_cast<SerialInterface*>(port))
    serial->getPortName(name);
  else if (auto* usb = dynamic_cast<UsbInterface*>(port))
    usb->getPortName(name);
  return name;
}

ZtBaudRate Communicator::baudRate() const {
  std::shared_lock<std::shared_mutex> lock(m_portLock);
  auto* serial = dynamic_cast<SerialInterface*>(m_port.load());
  return serial ? serial->getBaudrate() : 0;
}

void Communicator::flushPort() {
  std::shared_lock<std::shared_mutex> lock(m_portLock);
  if (StreamInterface* port = m_port.load()) port->flushData();
}

void Communicator::setMeasuring(bool measuring) {
  m_measuring.store(measuring, std::memory_order_release);
  std::shared_lock<std::shared_mutex> lock(m_portLock);
  if (auto* usb = dynamic_cast<UsbInterface*>(m_port.load())) {
    usb->setRawIo(measuring);
    usb->setTimeout(measuring ? 2000 : 0);
  }
}

bool Communicator::isDockedAt(const Communicator* other) const {
  if (!other) return false;
  ZtPortInfo ports[2] = {};
  const Communicator* links[2] = {this, other};
  for (int i = 0; i < 2; ++i) {
    ZtString name = links[i]->portName();
    std::snprintf(ports[i].portName, sizeof ports[i].portName, "%s", ZtString_c_str(&name));
    ZtString_destruct(&name);
    if (ports[i].portName[0] == '\0') return false;  // no port: nothing to look up
  }
  ZtUsbHubInfo hubs[2];
  for (int i = 0; i < 2; ++i) {
    ZtUsbHubInfo_construct(&hubs[i], nullptr);
    ZtScanner_scanUsbHub(&hubs[i], &ports[i]);
  }
  const bool docked = ZtUsbHubInfo_parentPathMatches(&hubs[0], &hubs[1]) != 0;
  ZtUsbHubInfo_destruct(&hubs[0]);
  ZtUsbHubInfo_destruct(&hubs[1]);
  return docked;
}

// ---- Writing and requests -------------------------------------------------------------------

ZtResultValue Communicator::writeRawData(const ZtByteArray& data) {
  std::shared_lock<std::shared_mutex> lock(m_portLock);
  StreamInterface* port = m_port.load();
  if (!port) return ZRV_NOPORTOPEN;
  return port->writeData(data);
}

bool Communicator::writeMessage(const ZtMessage& message) {
  if (!m_port.load()) {
    setResult(ZRV_NOPORTOPEN);
    return false;
  }
  LocalBytes bytes;
  if (ProtocolHandler::composeMessage(bytes.b, message) < 0) {
    setResult(ZRV_INVALIDMESSAGE);
    return false;
  }
  setResult(writeRawData(bytes.b));
  if (LinkDevice* master = masterDevice()) master->messageSentToDevice(message);
  return lastResult() == ZRV_OK;
}

ZtResultValue Communicator::writeSimpleMessage(uint8_t messageId) {
  LocalMessage message;
  ZtMessage_constructSized(&message.m, 0);
  ZtMessage_setMessageId(&message.m, messageId);
  ZtMessage_setBusId(&message.m, ZTMESSAGE_MASTER_BUS_ID);
  return writeMessage(message.m) ? ZRV_OK : lastResult();
}

// A link emptied by clear(false) has no monitor: registrations give empty handles and the
// requests below refuse with 265.
Communicator::ReplyHandle Communicator::addReplyObject(uint8_t messageId) {
  if (!m_replyMonitor) return {};
  return m_replyMonitor->addReplyObject(new MidReplyObject(messageId));
}

Communicator::ReplyHandle Communicator::addReplyObject(uint8_t messageId, uint64_t offset, uint64_t size,
                                                       const uint8_t* data) {
  if (!m_replyMonitor) return {};
  return m_replyMonitor->addReplyObject(new MidAndDataReplyObject(messageId, offset, size, data));
}

Communicator::ReplyHandle Communicator::addTovanaIndicationReplyObject(uint8_t indicationId) {
  if (!m_replyMonitor) return {};
  return m_replyMonitor->addReplyObject(new TovanaIndicationReplyObject(indicationId));
}

Communicator::ReplyHandle Communicator::addTovanaClientReplyObject(uint8_t indicationId, ZtDeviceId deviceId) {
  if (!m_replyMonitor) return {};
  return m_replyMonitor->addReplyObject(new TovanaClientReplyObject(indicationId, deviceId));
}

ZtResultValue Communicator::getDeviceId() {
  if (!m_replyMonitor) return setResult(ZRV_UNSUPPORTED);
  ReplyHandle reply = m_replyMonitor->addReplyObject(new AckOrErrorReplyObject(kDeviceIdReply));
  if (writeSimpleMessage(kReqDeviceId) != ZRV_OK) return setResult(ZRV_ERROR);
  LocalMessage answer;
  reply->message(answer.m, kDeviceIdTimeout);
  // A device that refuses with an Error message reports its own code (1 to 255), which the port
  // scanner answers with a reset; an error without a code counts as no reply.
  if (ZtMessage_getMessageId(&answer.m) == kError && ZtMessage_dataSize(&answer.m) >= 1 &&
      ZtMessage_getDataByte(&answer.m, 0) != 0)
    return setResult(static_cast<ZtResultValue>(ZtMessage_getDataByte(&answer.m, 0)));
  if (ZtMessage_getMessageId(&answer.m) != kDeviceIdReply) return setResult(ZRV_COULDNOTOPENFILE);
  // A reply too short to hold an id must not be read past its payload.
  if (ZtMessage_dataSize(&answer.m) < 4) {
    JLOG_ALERT("device id reply with " << ZtMessage_dataSize(&answer.m) << " payload bytes");
    return setResult(ZRV_INVALIDMESSAGE);
  }
  m_masterDeviceId = ZtMessage_getDataLong(&answer.m, 0);
  return setResult(ZRV_OK);
}

ZtResultValue Communicator::gotoConfig(bool repeat) {
  if (!m_replyMonitor) return setResult(ZRV_UNSUPPORTED);
  uint32_t portTimeout = 0;
  {
    std::shared_lock<std::shared_mutex> lock(m_portLock);
    if (StreamInterface* port = m_port.load()) portTimeout = port->getTimeout();
  }
  repeat = repeat || (m_masterDeviceId.load() & 0xF0000) == 0x30000;
  // Repeat mode has the reader thread write the request; without one nobody would.
  if (repeat && !(m_thread && m_thread->isAlive() && m_port.load())) return setResult(ZRV_UNSUPPORTED);
  ReplyHandle reply = addReplyObject(kGotoConfigAck);
  if (repeat) {
    m_thread->setDoGotoConfig(true);
    kickReader();  // an idle reader would otherwise start repeating only after its wait
  } else
    writeSimpleMessage(kGotoConfig);
  LocalMessage answer;
  reply->message(answer.m, gotoConfigTimeout() + portTimeout);
  if (repeat) m_thread->setDoGotoConfig(false);
  return setResult(ZtMessage_getMessageId(&answer.m) == kGotoConfigAck ? ZRV_OK : ZRV_INITIALIZATIONFAILED);
}

ZtResultValue Communicator::gotoMeasurement() {
  bool portOrNoFile;
  {
    std::lock_guard<std::recursive_mutex> lock(m_fileMutex);
    portOrNoFile = m_port.load() != nullptr || m_logFile == nullptr;
  }
  if (!masterDevice() || !portOrNoFile || !m_thread || !m_replyMonitor) return setResult(ZRV_UNSUPPORTED);
  m_thread->setDoGotoConfig(false);
  if (isMeasuring()) return setResult(ZRV_OK);
  ReplyHandle reply = m_replyMonitor->addReplyObject(new AckOrErrorReplyObject(kGotoMeasurementAck));
  if (writeSimpleMessage(kGotoMeasurement) != ZRV_OK) return setResult(ZRV_ERROR);
  LocalMessage answer;
  reply->message(answer.m, kReplyTimeout);
  const uint8_t id = ZtMessage_getMessageId(&answer.m);
  if (id == kGotoMeasurementAck) {
    m_droppedPacketCount = 0;
    m_packetMark = 0xFFFF;
    m_secondMark = 0;
    m_count1 = 0;
    m_count2 = 0;
    m_measurementStartTime = ZtTimeStamp_now();
    return setResult(ZRV_OK);
  }
  gotoConfig(false);
  ZtResultValue result = ZRV_ERROR;
  if (id == kError) {
    // An error without a code (or with code 0) must not read as success.
    const uint8_t code = ZtMessage_dataSize(&answer.m) >= 1 ? ZtMessage_getDataByte(&answer.m, 0) : 0;
    result = code != 0 ? static_cast<ZtResultValue>(code) : ZRV_UNEXPECTEDMESSAGE;
  }
  return setResult(result);
}

ZtResultValue Communicator::waitForMessage(ZtMessage& message, uint8_t messageId, unsigned timeoutMs,
                                           bool stopOnError) {
  StreamInterface* port;
  uint32_t portTimeout = 0;
  bool timeoutCleared = false;
  {
    std::shared_lock<std::shared_mutex> lock(m_portLock);
    port = m_port.load();
    if (!port) return setResult(ZRV_NOPORTOPEN);
    portTimeout = port->getTimeout();
    if (portTimeout != 0) timeoutCleared = port->setTimeout(0) == ZRV_OK;
  }
  // The outermost wait sets the deadline and clears it at its end; a wait begun meanwhile keeps
  // that deadline and leaves the fields alone, so waits ending in any order leave them clear.
  uint32_t start = m_waitStart.load();
  uint32_t deadline = m_waitDeadline.load();
  const bool outermost = deadline == 0 && start == 0;
  if (outermost) {
    start = ZtTime_getTimeOfDay() % kMsPerDay;
    deadline = static_cast<uint32_t>((uint64_t{start} + timeoutMs) % kMsPerDay);
    if (start == 0 && deadline == 0) deadline = 1;
    m_waitStart = start;
    m_waitDeadline = deadline;
  }
  const uint32_t span = elapsedSince(start, deadline);
  for (;;) {
    readMessage(message, messageId);
    const uint8_t id = ZtMessage_getMessageId(&message);
    if (id == messageId) {
      setResult(ZRV_OK);
      break;
    }
    if (stopOnError && id == kError) {
      setResult(ZRV_UNEXPECTEDMESSAGE);
      break;
    }
    if (elapsedSince(start, ZtTime_getTimeOfDay() % kMsPerDay) > span) break;
    ZtTime_msleep(1);
  }
  if (timeoutCleared) {
    std::shared_lock<std::shared_mutex> lock(m_portLock);
    if (StreamInterface* current = m_port.load()) current->setTimeout(portTimeout);
  }
  if (outermost) {
    m_waitDeadline = 0;
    m_waitStart = 0;
  }
  return lastResult();
}

// ---- Receiving ------------------------------------------------------------------------------

void Communicator::kickReader() {
  if (m_kickFd < 0) return;
  const uint64_t one = 1;
  ssize_t ignored = ::write(m_kickFd, &one, sizeof one);
  (void)ignored;
}

Communicator::PortWait Communicator::waitForPortData(int timeoutMs) {
  // A cancel stays in force until the next start; a kick (which a cancel also sends) is consumed
  // here. Two descriptors per wait, as few as a reader that can be stopped needs.
  if (m_readCancelled.load()) return PortWait::Cancelled;
  pollfd fds[2] = {{m_portFd, POLLIN | POLLPRI, 0}, {m_kickFd, POLLIN, 0}};
  const int n = ::poll(fds, 2, timeoutMs);
  if (n < 0) return errno == EINTR ? PortWait::Nothing : PortWait::Port;  // the read reports it
  if (fds[1].revents & POLLIN) {
    uint64_t value;
    ssize_t ignored = ::read(m_kickFd, &value, sizeof value);
    (void)ignored;
    if (m_readCancelled.load()) return PortWait::Cancelled;
  }
  // Readable, hung up or failed: the read tells which.
  return fds[0].revents ? PortWait::Port : PortWait::Nothing;
}

ZtResultValue Communicator::readDataToBuffer(ZtByteArray& data, int waitMs, size_t maxLength) {
  maxLength = std::min(maxLength, kReadBlockSize);
  StreamInterface* port = m_port.load();
  if (!port) {
    ZtArray_assign(ZTARRAY(&data), 0, nullptr);
    // A reader without a port has nothing to do until a port opens or it is stopped.
    if (waitMs != 0) {
      pollfd fds[1] = {{m_kickFd, POLLIN, 0}};
      if (!m_readCancelled.load() && ::poll(fds, 1, waitMs) > 0 && (fds[0].revents & POLLIN)) {
        uint64_t value;
        ssize_t ignored = ::read(m_kickFd, &value, sizeof value);
        (void)ignored;
      }
    }
    return ZRV_UNSUPPORTED;
  }
  ZtResultValue result;
  if (waitMs != 0 && m_portFd < 0) {
    // USB: the transfer itself waits, bounded because nothing can wake it.
    const unsigned wait = waitMs < 0 ? kUsbReaderWaitMs : std::min<unsigned>(waitMs, kUsbReaderWaitMs);
    result = port->readWithin(maxLength, data, wait);
  } else {
    // Serial: wait on the descriptor (and the wake-ups), then read what is there.
    if (waitMs == 0) {
      result = port->readData(maxLength, data);
    } else if (waitForPortData(waitMs) == PortWait::Port) {
      result = port->readWithin(maxLength, data, 0);  // readable: no second poll
    } else {
      ZtArray_assign(ZTARRAY(&data), 0, nullptr);
      return ZRV_TIMEOUT;
    }
  }
  if (data.size > 0) return ZRV_OK;
  // A hung-up serial line (289) or a USB device that is gone (288 from a read on the open port)
  // never recovers: close the port, which ends the reading, and report it.
  if (result == ZRV_PORTCLOSED || result == ZRV_NOPORTOPEN) {
    JLOG_ALERT("port " << (result == ZRV_PORTCLOSED ? "hung up" : "gone") << "; closing it");
    closePort();
    LinkDevice* master = masterDevice();
    onError(master ? master->linkedDevice() : nullptr, result);
  }
  return result;
}

bool Communicator::sanityCheck(const ZtMessage& message) const {
  const uint8_t busId = ZtMessage_getBusId(&message);
  if (busId == ZTMESSAGE_MASTER_BUS_ID || busId == 1) return true;
  LinkDevice* master = masterDevice();
  if (!master) return false;
  return busId <= master->configuredDeviceCount();
}

ZtResultValue Communicator::processBufferedData(const ZtByteArray& bytes, MessageList& output) {
  return processBufferedData(bytes, output, MessageCutter::kReadClock);
}

ZtResultValue Communicator::processBufferedData(const ZtByteArray& bytes, MessageList& output, uint64_t nowMs) {
  output.clear();
  if (!m_port.load() || !m_protocolManager) return ZRV_UNSUPPORTED;
  // An empty buffer holds no awaited candidate (also after the link was cleared).
  if (m_receiveBuffer.size == 0) m_cutter.reset();
  if (bytes.size > 0) ZtByteArray_append(&m_receiveBuffer, bytes.size, bytes.data);
  return cutReceived(output, nowMs);
}

bool Communicator::parseReaderChunk(KtThread& reader, MessageList& output, ZtResultValue& result) {
  output.clear();
  if (!m_port.load() || !m_protocolManager) {
    // As processBufferedData without a port: the chunk is taken and dropped.
    ZtByteArray& scratch = reader.parseChunk();
    ZtArray_assign(ZTARRAY(&scratch), 0, nullptr);
    result = ZRV_UNSUPPORTED;
    return reader.takeParseChunk(scratch);
  }
  if (m_receiveBuffer.size == 0) m_cutter.reset();
  // The chunk goes from the reader's backlog straight behind the bytes already held.
  if (!reader.takeParseChunk(m_receiveBuffer)) return false;
  result = cutReceived(output, MessageCutter::kReadClock);
  return true;
}

ZtResultValue Communicator::cutReceived(MessageList& output, uint64_t nowMs) {
  static_assert(MessageCutter::kBufferLimit == kReceiveBufferLimit);
  uint32_t bitsPerSecond = m_bitsPerSecond.load(std::memory_order_relaxed);
  if (bitsPerSecond == kLineRateAsk) bitsPerSecond = ZtBaud_toNumeric(baudRate());
  std::unique_lock<std::mutex> protocolLock(m_protocolMutex);
  m_cutter.cut(*m_protocolManager, m_receiveBuffer, output, nowMs, bitsPerSecond);
  protocolLock.unlock();
  const uint64_t deadline = m_receiveBuffer.size ? m_cutter.awaitedDeadlineMs() : 0;
  // Only the parse step (one at a time) writes the deadline: a changed one is stored, and a new
  // one wakes the reader, which may be waiting without a time-out on a silent line.
  if (m_awaitedDeadlineMs.load(std::memory_order_relaxed) != deadline) {
    m_awaitedDeadlineMs.store(deadline, std::memory_order_release);
    if (deadline != 0) kickReader();
  }
  // Reported outside the lock: a handler may change the link's protocols. A report that throws
  // must not cost the messages behind it (their bytes have left the buffer already).
  if (LinkDevice* master = masterDevice()) {
    for (size_t i = 0; i < output.size(); ++i) {
      try {
        master->messageReceivedFromDevice(output[i]);
      } catch (const std::exception& e) {
        JLOG_ALERT("received-message report failed: " << e.what());
      } catch (...) {
        JLOG_ALERT("received-message report failed");
      }
    }
  }
  return output.empty() ? ZRV_NODATA : ZRV_OK;
}

void Communicator::journalErrorMessage(const ZtMessage& message) const {
  if (!JLOG_ENABLED(JLL_ALERT) || !m_replyMonitor) return;
  const uint8_t* raw = ZtMessage_getMessageStart(&message);
  const size_t total = std::min<size_t>(ZtMessage_getTotalMessageSize(&message), 131);
  std::string hex = "Error message received: ";
  char digits[3];
  for (size_t i = 0; raw && i < total; ++i) {
    std::snprintf(digits, sizeof digits, "%02X", raw[i]);
    hex += digits;
  }
  JLOG_ALERT(hex);
  const JournalUse use;
  m_replyMonitor->dumpObjectList(use.journal(), JLL_ALERT);
}

void Communicator::handleMessage(const ZtMessage& message) {
  if (ZtMessage_getMessageId(&message) == kError) journalErrorMessage(message);
  if (m_replyMonitor && m_replyMonitor->addReply(message)) return;
  if (LinkDevice* master = masterDevice()) master->handleLinkMessage(message);
}

// ---- Accessors ------------------------------------------------------------------------------

void Communicator::setGotoConfigTimeout(uint32_t ms) {
  m_gotoConfigTimeout = ms == 0 ? m_defaultGotoConfigTimeout : ms;
}

uint16_t Communicator::childDeviceCount() const {
  LinkDevice* master = masterDevice();
  return master ? master->configuredDeviceCount() : 0;
}

ZtDevice* Communicator::findDevice(ZtDeviceId id) const {
  LinkDevice* master = masterDevice();
  if (!master) return nullptr;
  if (id == 0 || id == master->linkedDeviceId()) return master->linkedDevice();
  return master->findLinkedChild(id);
}

bool Communicator::isReadingFromFile() const {
  // Asked per packet by the devices: read without the file lock (a file opened or closed
  // meanwhile is seen by the next packet).
  return !m_port.load() && m_hasLogFile.load(std::memory_order_acquire);
}

uint64_t Communicator::droppedBacklogBytes() const { return m_thread ? m_thread->droppedBytes() : 0; }

void Communicator::reportParseBacklogOverflow(uint64_t dropped) {
  JLOG_ALERT("message handling falls behind the line: dropped " << dropped
                                                                << " unparsed bytes (parse backlog full)");
  LinkDevice* master = masterDevice();
  onError(master ? master->linkedDevice() : nullptr, ZRV_INSUFFICIENTSPACE);
}

void Communicator::reportParseBacklogAbandoned(size_t dropped) {
  JLOG_ALERT("closing: dropped " << dropped << " unparsed bytes the handling could not keep up with");
}

void Communicator::reportParseBacklogCaughtUp(uint64_t droppedInAll) {
  JLOG_ALERT("message handling caught up with the line; " << droppedInAll << " bytes dropped in all");
}

void Communicator::waitForLastTaskCompletion() {
  const unsigned id = m_lastTaskId.load();
  if (id != 0) zelto::ThreadPool::instance()->waitForCompletion(id);
}

void Communicator::addProtocolHandler(IProtocolHandler* handler) {
  // The manager keeps an existing handler of the same type; an offered duplicate stays ours.
  std::lock_guard<std::mutex> lock(m_protocolMutex);
  if (!m_protocolManager) {
    delete handler;
    return;
  }
  auto kept = m_protocolManager->add(handler);
  if (handler && kept.get() != handler) delete handler;
}

bool Communicator::removeProtocolHandler(ZtProtocolType type) {
  std::lock_guard<std::mutex> lock(m_protocolMutex);
  return m_protocolManager && m_protocolManager->remove(type);
}

bool Communicator::hasProtocol(ZtProtocolType type) const {
  std::lock_guard<std::mutex> lock(m_protocolMutex);
  return m_protocolManager && m_protocolManager->hasProtocol(type);
}

// ---- Log files ------------------------------------------------------------------------------

bool Communicator::createLogFile(const ZtString& fileName) {
  std::lock_guard<std::recursive_mutex> lock(m_fileMutex);
  if (m_logFile) return setResult(ZRV_ALREADYOPEN), false;
  if (m_port.load()) return setResult(ZRV_UNSUPPORTED), false;
  setLogFileLocked(new IoInterfaceFile);
  ZtResultValue result = m_logFile->create(fileName);
  if (result == ZRV_OK) {
    // Write test: the file must take bytes and give them back.
    LocalBytes probe;
    ZtByteArray_append(&probe.b, 5, reinterpret_cast<const uint8_t*>("Zelto"));
    result = m_logFile->writeData(probe.b);
    if (result == ZRV_OK) result = m_logFile->deleteData(0, 5);
  }
  if (result != ZRV_OK) {
    closeLogFileLocked(true);
    return setResult(result), false;
  }
  setResult(ZRV_OK);
  return true;
}

bool Communicator::writeMessageToLogFile(const ZtMessage& message) {
  std::lock_guard<std::recursive_mutex> lock(m_fileMutex);
  if (!m_logFile) return setResult(ZRV_NOFILEOPEN), false;
  if (ProtocolHandler::composeMessage(m_fileFrame, message) < 0) return setResult(ZRV_INVALIDLOGFILE), false;
  return setResult(m_logFile->writeData(m_fileFrame)) == ZRV_OK;
}

ZtResultValue Communicator::failOpenLogFile(ZtResultValue result) {
  closeLogFileLocked(false);
  return setResult(result);
}

bool Communicator::openLogFile(const ZtString& fileName) {
  std::lock_guard<std::recursive_mutex> lock(m_fileMutex);
  if (m_port.load()) return setResult(ZRV_UNSUPPORTED), false;
  if (m_logFile) {
    setResult(ZRV_ALREADYOPEN);
    return isLogFileOpen(fileName);
  }
  setLogFileLocked(new IoInterfaceFile);
  ZtResultValue result = m_logFile->open(fileName, false, true);
  if (result != ZRV_OK) {
    delete m_logFile;
    setLogFileLocked(nullptr);
    return setResult(result), false;
  }
  LocalBytes head;
  result = m_logFile->readData(2, head.b);
  if (result != ZRV_OK || head.b.size < 2 || head.b.data[0] != ZTMESSAGE_PREAMBLE ||
      head.b.data[1] != ZTMESSAGE_MASTER_BUS_ID)
    return failOpenLogFile(ZRV_INVALIDLOGFILE), false;
  if (m_logFile->setReadPosition(0) != ZRV_OK) return failOpenLogFile(ZRV_COULDNOTSETPOSITION), false;
  LocalMessage configuration;
  readMessageFromStartLocked(configuration.m, kConfiguration, 5);
  if (ZtMessage_getMessageId(&configuration.m) != kConfiguration) return failOpenLogFile(ZRV_INVALIDLOGFILE), false;
  ZtDeviceConfiguration config;
  ZtDeviceConfiguration_construct(&config);
  ZtDeviceConfiguration_readFromMessage(&config, &configuration.m);
  m_masterDeviceId = config.masterDeviceId;
  ZtDeviceConfiguration_destruct(&config);
  setResult(ZRV_OK);
  return true;
}

void Communicator::closeLogFileLocked(bool deleteFile) {
  if (!m_logFile) return;
  if (deleteFile)
    m_logFile->closeAndDelete();
  else
    m_logFile->close();
  delete m_logFile;
  setLogFileLocked(nullptr);
  ZtArray_assign(ZTARRAY(&m_fileBuffer), 0, nullptr);
}

void Communicator::closeLogFile(bool deleteFile) {
  std::lock_guard<std::recursive_mutex> lock(m_fileMutex);
  closeLogFileLocked(deleteFile);
}

bool Communicator::isLogFileOpen(const ZtString& fileName) const {
  std::lock_guard<std::recursive_mutex> lock(m_fileMutex);
  ZtString open = logFileName();
  const bool same = m_logFile && !ZtString_empty(&open) &&
                    std::strcmp(ZtString_c_str(&open), ZtString_c_str(&fileName)) == 0;
  ZtString_destruct(&open);
  return same;
}

ZtString Communicator::logFileName() const {
  ZtString name;
  ZtString_construct(&name, "");
  std::lock_guard<std::recursive_mutex> lock(m_fileMutex);
  if (m_logFile && m_logFile->getName(name) != ZRV_OK) ZtString_assignCharArray(&name, "");
  return name;
}

int64_t Communicator::logFileSize() const {
  std::lock_guard<std::recursive_mutex> lock(m_fileMutex);
  return m_logFile ? m_logFile->getFileSize() : 0;
}

ZtTimeStamp Communicator::logFileDate() const {
  std::lock_guard<std::recursive_mutex> lock(m_fileMutex);
  return m_logFile ? m_logFile->getFileDate() : 0;
}

int64_t Communicator::logFileReadPosition() const {
  std::lock_guard<std::recursive_mutex> lock(m_fileMutex);
  return m_logFile ? m_logFile->getReadPosition() : 0;
}

ZtResultValue Communicator::resetLogFileReadPosition() { return setLogFileReadPosition(0); }

ZtResultValue Communicator::setLogFileReadPosition(int64_t position) {
  std::lock_guard<std::recursive_mutex> lock(m_fileMutex);
  if (!m_logFile) return setResult(ZRV_NOFILEOPEN);
  return setResult(m_logFile->setReadPosition(position));
}

ZtResultValue Communicator::readMessage(ZtMessage& message, uint8_t messageId) {
  std::lock_guard<std::recursive_mutex> lock(m_fileMutex);
  return readMessageLocked(message, messageId);
}

ZtResultValue Communicator::readMessageLocked(ZtMessage& message, uint8_t messageId) {
  ZtMessage_clear(&message);
  if (m_port.load() || !m_logFile || !m_protocolManager) return setResult(ZRV_UNSUPPORTED);
  std::lock_guard<std::mutex> protocolLock(m_protocolMutex);
  const int minimum = m_protocolManager->likelyMinimumMessageSize();
  const size_t chunk = minimum > 0 ? static_cast<size_t>(minimum) : ProtocolHandler::kMinimumMessageSize;
  ZtByteArray& held = m_fileBuffer;
  ZtArray_assign(ZTARRAY(&held), 0, nullptr);
  // Every pass either reads bytes from the file or drops held bytes, so the loop ends.
  for (;;) {
    if (held.size == 0) {
      const ZtResultValue r = setResult(m_logFile->readData(chunk, m_fileChunk));
      if (r != ZRV_OK || m_fileChunk.size == 0) return lastResult();
      ZtByteArray_append(&held, m_fileChunk.size, m_fileChunk.data);
    }
    const MessageLocation found = m_protocolManager->findMessage(message, held);
    if (found.isComplete()) {
      const size_t end = static_cast<size_t>(found.start()) + static_cast<size_t>(found.size());
      if (end < held.size) {
        const int64_t back = static_cast<int64_t>(held.size - end);
        m_logFile->setReadPosition(m_logFile->getReadPosition() - back);
      }
      ZtArray_assign(ZTARRAY(&held), 0, nullptr);
      if (messageId != 0 && ZtMessage_getMessageId(&message) != messageId) {
        ZtMessage_clear(&message);
        return setResult(ZRV_UNEXPECTEDMESSAGE);
      }
      return setResult(ZRV_OK);
    }
    if (found.isAwaiting()) {
      const size_t start = static_cast<size_t>(found.start());
      const size_t total = static_cast<size_t>(-static_cast<int64_t>(found.size()));
      if (start + total > held.size) {
        // A garbage candidate may claim more bytes than the file still has: read what is left
        // and let the search judge again, so the messages behind it are not lost with it.
        const int64_t left = m_logFile->getFileSize() - m_logFile->getReadPosition();
        const size_t need = start + total - held.size;
        if (left <= 0) {
          const size_t next = MessageCutter::nextCandidate(held.data, held.size, start);
          if (next < held.size) {
            ZtByteArray_eraseFront(&held, next);
            continue;
          }
          ZtMessage_clear(&message);
          return setResult(ZRV_ENDOFFILE);
        }
        const ZtResultValue r =
            setResult(m_logFile->readData(std::min<size_t>(need, static_cast<size_t>(left)), m_fileChunk));
        if (r != ZRV_OK) {
          ZtMessage_clear(&message);
          return r;
        }
        ZtByteArray_append(&held, m_fileChunk.size, m_fileChunk.data);
        continue;
      }
      // The first candidate awaits nothing the held bytes lack: it is dead, move past it.
      ZtByteArray_eraseFront(&held, MessageCutter::nextCandidate(held.data, held.size, start));
      continue;
    }
    // Nothing complete and nothing awaited (including a skipped FA 00 00 candidate): keep only
    // a tail that may still begin a message, and never the first byte.
    ZtByteArray_eraseFront(&held, MessageCutter::liveTailStart(held.data, held.size));
  }
}

uint8_t Communicator::peekLogMessageId() {
  std::lock_guard<std::recursive_mutex> lock(m_fileMutex);
  if (!m_logFile) return setResult(ZRV_NOFILEOPEN), 0;
  const int64_t position = m_logFile->getReadPosition();
  LocalMessage message;
  readMessageLocked(message.m, 0);
  setResult(m_logFile->setReadPosition(position));
  return ZtMessage_getMessageId(&message.m);
}

ZtResultValue Communicator::readMessageFromStartOfFile(ZtMessage& message, uint8_t messageId, int maxCount) {
  std::lock_guard<std::recursive_mutex> lock(m_fileMutex);
  return readMessageFromStartLocked(message, messageId, maxCount);
}

ZtResultValue Communicator::readMessageFromStartLocked(ZtMessage& message, uint8_t messageId, int maxCount) {
  ZtMessage_clear(&message);
  if (m_port.load() || !m_logFile) return setResult(ZRV_UNSUPPORTED);
  zelto::JanitorClassFuncP1<IoInterface, int64_t, ZtResultValue> restore(
      *m_logFile, &IoInterface::setReadPosition, m_logFile->getReadPosition());
  m_logFile->setReadPosition(0);
  if (maxCount == 0) return readMessageLocked(message, messageId);
  if (maxCount < 0) return lastResult();
  for (int i = 0; i < maxCount; ++i) {
    readMessageLocked(message, 0);
    if (m_logFile->getLastResult() != ZRV_OK || ZtMessage_empty(&message)) break;
    if (ZtMessage_getMessageId(&message) == messageId) return lastResult();
  }
  ZtMessage_clear(&message);
  return lastResult();
}

void Communicator::readMessagesFromStartOfFile(MessageList& messages, uint8_t messageId, int maxCount) {
  messages.clear();
  std::lock_guard<std::recursive_mutex> lock(m_fileMutex);
  if (m_port.load() || !m_logFile) {
    setResult(ZRV_UNSUPPORTED);
    return;
  }
  if (maxCount < 0) return;
  zelto::JanitorClassFuncP1<IoInterface, int64_t, ZtResultValue> restore(
      *m_logFile, &IoInterface::setReadPosition, m_logFile->getReadPosition());
  m_logFile->setReadPosition(0);
  LocalMessage message;
  for (int i = 0; maxCount == 0 || i < maxCount; ++i) {
    readMessageLocked(message.m, 0);
    if (ZtMessage_empty(&message.m)) break;
    if (ZtMessage_getMessageId(&message.m) == messageId)
      messages.append(message.m);
    else if (maxCount == 0)
      break;
  }
}

ZtResultValue Communicator::readSinglePacketFromFile() {
  LocalMessage message;
  if (readMessage(message.m, 0) == ZRV_OK) handleMessage(message.m);
  return lastResult();
}

ZtResultValue Communicator::readLogFile(ZtDevice* device) {
  ZtString name = logFileName();
  int last = -1;
  LocalMessage message;
  ZtResultValue result;
  for (;;) {
    result = readMessage(message.m, 0);
    if (result == ZRV_OK) {
      try {
        handleMessage(message.m);
      } catch (...) {
        // A failing handler costs this message only (no progress for it); an abort still holds.
        if (isLoadAborted()) break;
        continue;
      }
    }
    int64_t position, size;
    {
      std::lock_guard<std::recursive_mutex> lock(m_fileMutex);
      position = m_logFile ? m_logFile->getReadPosition() : 0;
      size = m_logFile ? m_logFile->getFileSize() : 0;
    }
    if (size != 0) {
      const int p = static_cast<int>(position * 100 / size);
      if (p != last && p <= 99) {
        onProgressUpdated(device, p, 100, &name);
        last = p;
      }
    }
    if (isLoadAborted()) break;
    if (result != ZRV_OK && result != ZRV_UNEXPECTEDMESSAGE) break;
  }
  if (!isLoadAborted()) onProgressUpdated(device, 100, 100, &name);
  ZtString_destruct(&name);
  return setResult(result);
}

unsigned Communicator::loadLogFile(ZtDevice* device) {
  abortLoadLogFile();
  waitForLastTaskCompletion();
  m_abortLoad.store(false, std::memory_order_release);
  const unsigned id = zelto::ThreadPool::instance()->addTask(new Zt4FileTask(this, device), m_lastTaskId.load());
  m_lastTaskId = id;
  return id;
}
