#pragma once
// The link to one master device: a serial or USB port, or (for playback and recording) a log
// file. It opens the port and brings the device into configuration mode, runs the reader thread
// (KtThread) that hands raw blocks in order to the pool (ParseMessageTask), cuts them into
// messages, offers each to the reply monitor and passes the rest to the master device. It frames
// and writes outgoing messages and performs GotoConfig and GotoMeasurement.
//
// Threads: application threads (open, close, writes, mode switches, reply waits); the reader
// thread (reads, repeat writes, closing on hang-up); pool threads running the parse tasks (one at
// a time per link) and log-file loading.
//
// Locks. m_portLock guards the m_port pointer against deletion: shared for every use from a
// thread other than the reader, exclusive to create or delete the port. The reader thread uses
// the port without it: the port is deleted only after the reader thread has been stopped and
// joined (or by the reader itself). m_fileMutex (recursive) serialises every access to the log
// file and its read buffers; it is never held while a message is handled or an event raised.
// m_protocolMutex guards the protocol manager (searches reorder it; devices add and remove
// handlers from their own threads); taken after m_fileMutex. No lock is held while waiting for
// a reply, for the reader thread or for pool tasks, nor while an event is raised.
// The receive buffer and m_parseOutput belong to the parse tasks, which run one at a time.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "device/CallbackManagerZda.h"
#include "foundation/NonIntrusiveSharedPointer.h"
#include "transport/zbus/IMessageValidator.h"
#include "transport/io/IoInterfaceFile.h"
#include "transport/link/LinkDevice.h"
#include "transport/link/MessageCutter.h"
#include "transport/link/MessageList.h"
#include "transport/link/OpenPortStage.h"
#include "transport/zbus/ProtocolManager.h"
#include "transport/zbus/ReplyMonitor.h"
#include "transport/io/StreamInterface.h"
#include "zttypes/ztdeviceid.h"
#include "zttypes/ztmessage.h"
#include "zttypes/ztmisc.h"
#include "zttypes/zttime.h"

class KtThread;
class SerialInterface;
namespace zelto {
class PacketDataSource;
}

class Communicator : public CallbackManagerZda, public IMessageValidator {
 public:
  using ReplyHandle = zelto::ReplyMonitor::Handle;

  // Reader-pass read size and the bound of the receive buffer (twice the largest message).
  static constexpr size_t kReadBlockSize = 8192;
  // Longest wait of the reader in one USB transfer: a transfer cannot be woken, so this bounds
  // how long closing waits for it (and makes an idle USB reader wake 20 times a second).
  static constexpr unsigned kUsbReaderWaitMs = 50;
  static constexpr size_t kReceiveBufferLimit = 2 * 8192;
  // Time-outs in ms.
  static constexpr unsigned kReplyTimeout = 200;
  static constexpr unsigned kDeviceIdTimeout = 500;
  // Master device ids of the outside inertial units' links.
  static constexpr ZtDeviceId kImarFsasDeviceId = 0xF00000;
  static constexpr ZtDeviceId kImarIFogDeviceId = 0xF10000;
  static uint32_t m_defaultGotoConfigTimeout;  // 150

  Communicator();
  // Adopts an (opened or not) serial port interface.
  explicit Communicator(SerialInterface* port);
  ~Communicator() override;
  // Deletes the link, then calls deleted (when given); on its own reader thread (a handler of
  // the reader's error report that closed the port) the reader is stopped instead and does both
  // once its pass has returned, so the reader is never freed under itself nor asked to join
  // itself.
  void destroy(std::function<void()> deleted = {});

  void initialize();
  // Stops and frees everything; with reinitialize, starts afresh as a new link.
  void clear(bool reinitialize);

  // ---- Port ------------------------------------------------------------------------------
  bool openPort(const ZtString& portName, ZtBaudRate baudRate, OpenPortStage stages = OPS_All,
                bool repeatGotoConfig = false);
  // The port of an outside inertial unit (imarType 0: FSAS, 1: iFOG; another type fails with
  // 33, ZRV_INVALIDPARAM): the protocol manager is emptied and given only the unit's handler, the port opened
  // (269 when one is open already, as openPort), the master device id set (0xF00000 or
  // 0xF10000) and the reader thread started. Nothing is written to the unit: no GotoConfig and
  // no device id request (the units take no requests).
  bool openImarPort_internal(const ZtString& portName, ZtBaudRate baudRate, int imarType,
                             OpenPortStage stages = OPS_All);
  virtual bool reopenPort(ZtBaudRate baudRate, OpenPortStage stages);
  bool reopenPort();
  // Stops the reader thread after its last parse task, then closes and frees the port. Safe on
  // the reader thread itself (hang-up). Not to be called from a parse task of this link.
  void closePort();
  void stopThread();
  // Throws ZtException (256, "Unable to start thread") when the thread cannot start.
  void startThread();
  bool isPortOpen() const;
  ZtString portName() const;  // caller destructs
  ZtBaudRate baudRate() const;
  virtual void flushPort();
  void setMeasuring(bool measuring);
  bool isMeasuring() const { return m_measuring.load(std::memory_order_acquire); }
  // Both links' ports sit under the same parent USB hub (a tracker docked in a station). False
  // without other, without libudev, or when either port has no USB device above it.
  bool isDockedAt(const Communicator* other) const;

  // ---- Messages --------------------------------------------------------------------------
  virtual bool writeMessage(const ZtMessage& message);
  virtual ZtResultValue writeRawData(const ZtByteArray& data);
  ReplyHandle addReplyObject(uint8_t messageId);
  ReplyHandle addReplyObject(uint8_t messageId, uint64_t offset, uint64_t size, const uint8_t* data);
  ReplyHandle addTovanaIndicationReplyObject(uint8_t indicationId);
  ReplyHandle addTovanaClientReplyObject(uint8_t indicationId, ZtDeviceId deviceId);
  // Journals an error message, offers the message to the reply monitor, else to the master.
  void handleMessage(const ZtMessage& message);
  // Polls readMessage for the id until the time-out (see the log-file part: on a port link every
  // poll fails with 265). Returns the last result.
  virtual ZtResultValue waitForMessage(ZtMessage& message, uint8_t messageId, unsigned timeoutMs,
                                       bool stopOnError);
  ZtResultValue getDeviceId();
  virtual ZtResultValue gotoConfig(bool repeat);
  virtual ZtResultValue gotoMeasurement();

  // Reader side (called by KtThread and the parse tasks).
  // Reads up to maxLength (at most kReadBlockSize) bytes; 0 with bytes, else the read result.
  // An array over storage of its own (ZTARRAY_FIXED) with room for maxLength bytes is read
  // into in place. 289 (hang-up) and 288
  // (USB device gone) close the port and raise onError with that code on this link's handlers.
  // waitMs: 0 reads with the port's time-out; otherwise waits for bytes at most that long
  // (-1: until bytes arrive) on a serial port's descriptor, ending early with 258 when the
  // reader is woken (kick, cancel); a USB transfer waits at most kUsbReaderWaitMs.
  ZtResultValue readDataToBuffer(ZtByteArray& data, int waitMs = 0, size_t maxLength = kReadBlockSize);
  // Bytes the reader dropped from its parse backlog because handling fell behind the line.
  // Each such episode raises onError(master device, ZRV_INSUFFICIENTSPACE) once (on the reader
  // thread) and is journalled; see KtThread.
  uint64_t droppedBacklogBytes() const;
  // Appends bytes to the receive buffer and cuts every complete accepted message into output
  // (reporting each to the master); see MessageCutter for what is kept and for how long a
  // candidate that holds messages back is awaited (bounded by the port's baud rate). Garbage
  // and refused messages are dropped; the buffer stays below kReceiveBufferLimit. 259 when no
  // message came out. An empty block judges the awaited candidate against the clock again.
  ZtResultValue processBufferedData(const ZtByteArray& bytes, MessageList& output);
  // The same at a given monotonic time in ms (the steady clock's); MessageCutter::kReadClock
  // reads the steady clock, and only when an awaited candidate needs the time.
  ZtResultValue processBufferedData(const ZtByteArray& bytes, MessageList& output, uint64_t nowMs);
  // The reader's parse step: the next chunk of reader's backlog moves straight into the receive
  // buffer and is cut as processBufferedData cuts; result is what that gives. False (nothing
  // done) when the backlog held nothing to parse. Parse tasks of this link only.
  bool parseReaderChunk(KtThread& reader, MessageList& output, ZtResultValue& result);
  // The parse tasks' message cutter: the awaited candidate and its bound, give-ups so far.
  const MessageCutter& messageCutter() const { return m_cutter; }
  // The steady-clock time (ms) at which the awaited candidate is given up, 0 unless it holds a
  // message back: the reader parses once more then even when the line has gone silent.
  uint64_t awaitedDeadlineMs() const { return m_awaitedDeadlineMs.load(std::memory_order_acquire); }
  // A request waits for its reply (a snapshot, for the reader's pause).
  bool awaitsReply() const { return m_replyMonitor && m_replyMonitor->awaitsReply(); }
  // The parse tasks' reusable output list.
  MessageList& parseOutput() { return m_parseOutput; }
  size_t receiveBufferSize() const { return m_receiveBuffer.size; }

  // Acceptance of a found message: bus id 0xFF or 1; else, with a master device, a bus id not
  // above its configured device count.
  bool sanityCheck(const ZtMessage& message) const override;

  // ---- Accessors -------------------------------------------------------------------------
  ZtResultValue lastResult() const { return m_lastResult.load(std::memory_order_relaxed); }
  ZtDeviceId masterDeviceId() const { return m_masterDeviceId.load(std::memory_order_relaxed); }
  void setMasterDeviceId(ZtDeviceId id) { m_masterDeviceId.store(id, std::memory_order_relaxed); }
  void setMasterDevice(LinkDevice* device) { m_masterDevice.store(device, std::memory_order_release); }
  LinkDevice* masterDevice() const { return m_masterDevice.load(std::memory_order_acquire); }
  void setGotoConfigTimeout(uint32_t ms);
  uint32_t gotoConfigTimeout() const { return m_gotoConfigTimeout.load(std::memory_order_relaxed); }
  uint16_t childDeviceCount() const;
  ZtDevice* findDevice(ZtDeviceId id) const;
  bool isReadingFromFile() const;
  // The packet data source of the device caches (owned; made by initialize, freed by clear).
  zelto::PacketDataSource* dataSource() const { return m_dataSource; }
  void startWirelessFlushing() { m_flushMark.store(m_packetMark.load()); }
  void waitForLastTaskCompletion();
  void addProtocolHandler(IProtocolHandler* handler);
  bool removeProtocolHandler(ZtProtocolType type);
  bool hasProtocol(ZtProtocolType type) const;
  ZtTimeStamp measurementStartTime() const { return m_measurementStartTime.load(); }
  uint32_t droppedPacketCount() const { return m_droppedPacketCount.load(); }
  void setDroppedPacketCount(uint32_t count) { m_droppedPacketCount.store(count); }
  uint64_t packetMark() const { return m_packetMark.load(); }
  uint64_t flushMark() const { return m_flushMark.load(); }
  KtThread* readerThread() const { return m_thread; }

  // ---- Log files -------------------------------------------------------------------------
  bool createLogFile(const ZtString& fileName);
  virtual bool writeMessageToLogFile(const ZtMessage& message);
  bool openLogFile(const ZtString& fileName);
  void closeLogFile(bool deleteFile);
  virtual bool isLogFileOpen(const ZtString& fileName) const;
  ZtString logFileName() const;  // caller destructs
  int64_t logFileSize() const;
  ZtTimeStamp logFileDate() const;
  int64_t logFileReadPosition() const;
  ZtResultValue resetLogFileReadPosition();
  ZtResultValue setLogFileReadPosition(int64_t position);
  // The next message of the log file into message (empty on failure; last result says why).
  // messageId 0 takes any id; another id that does not match gives 286 (the message is
  // consumed). Returns the last result.
  virtual ZtResultValue readMessage(ZtMessage& message, uint8_t messageId);
  uint8_t peekLogMessageId();
  // The first message with the id among the first maxCount messages; position unchanged.
  ZtResultValue readMessageFromStartOfFile(ZtMessage& message, uint8_t messageId, int maxCount);
  void readMessagesFromStartOfFile(MessageList& messages, uint8_t messageId, int maxCount);
  // Reads the next message and hands it to handleMessage; returns the last result.
  ZtResultValue readSinglePacketFromFile();
  // Reads the rest of the file into the message handling, raising onProgressUpdated on this
  // link's handlers; returns the final result (270 at the end of the file).
  ZtResultValue readLogFile(ZtDevice* device);
  // Runs readLogFile on the pool (after aborting and awaiting an earlier load); the task id.
  unsigned loadLogFile(ZtDevice* device);
  void abortLoadLogFile() { m_abortLoad.store(true, std::memory_order_release); }
  bool isLoadAborted() const { return m_abortLoad.load(std::memory_order_acquire); }

 private:
  friend class KtThread;
  ZtResultValue setResult(ZtResultValue result) {
    m_lastResult.store(result, std::memory_order_relaxed);
    return result;
  }
  void construct();
  void destroyParts();
  // Under m_fileMutex.
  void setLogFileLocked(IoInterfaceFile* file) {
    m_logFile = file;
    m_hasLogFile.store(file != nullptr, std::memory_order_release);
  }
  // Closes and frees the port; the reader must be stopped (or be the caller).
  void deletePort();
  void cancelPortRead();
  // The reader's wait on a serial descriptor (timeoutMs -1: no limit): the port has something
  // (bytes, hang-up, failure), nothing came (time-out or kick), or the read was cancelled.
  enum class PortWait { Port, Nothing, Cancelled };
  PortWait waitForPortData(int timeoutMs);
  // Ends the reader's current wait for port data once (it then makes a pass at once).
  void kickReader();
  // Parse backlog reports of the reader (see KtThread): an overflow episode begins (raises
  // onError), closing dropped the unparsed rest, the parser caught up after an overflow.
  void reportParseBacklogOverflow(uint64_t dropped);
  void reportParseBacklogAbandoned(size_t dropped);
  void reportParseBacklogCaughtUp(uint64_t droppedInAll);
  // Cuts the receive buffer (new bytes appended) into output and reports each message found.
  ZtResultValue cutReceived(MessageList& output, uint64_t nowMs);
  ZtResultValue writeSimpleMessage(uint8_t messageId);
  bool logFileLocked() const { return m_logFile != nullptr; }
  ZtResultValue readMessageLocked(ZtMessage& message, uint8_t messageId);
  ZtResultValue readMessageFromStartLocked(ZtMessage& message, uint8_t messageId, int maxCount);
  void closeLogFileLocked(bool deleteFile);
  ZtResultValue failOpenLogFile(ZtResultValue result);
  void journalErrorMessage(const ZtMessage& message) const;

  // Measurement start and packet bookkeeping (part one).
  std::atomic<ZtTimeStamp> m_measurementStartTime{0};
  std::atomic<uint32_t> m_droppedPacketCount{0};
  std::atomic<uint64_t> m_packetMark{0};
  std::atomic<uint64_t> m_flushMark{0};
  std::atomic<uint64_t> m_secondMark{0};
  std::atomic<unsigned> m_lastTaskId{0};  // the link's own last pool task (log-file loading)
  std::atomic<LinkDevice*> m_masterDevice{nullptr};
  std::atomic<uint32_t> m_gotoConfigTimeout{150};
  zelto::NonIntrusiveSharedPointer<ProtocolManager> m_protocolManager;
  std::atomic<ZtDeviceId> m_masterDeviceId{0};
  zelto::PacketDataSource* m_dataSource = nullptr;
  zelto::ReplyMonitor* m_replyMonitor = nullptr;
  IoInterfaceFile* m_logFile = nullptr;  // guarded by m_fileMutex; set by setLogFileLocked
  std::atomic<StreamInterface*> m_port{nullptr};  // deletion guarded by m_portLock
  // The line rate in bits per second of the port openPort opened (0: USB), set with m_port: the
  // cutter asks for it per received chunk. kLineRateAsk: ask the port (a port handed in).
  static constexpr uint32_t kLineRateAsk = UINT32_MAX;
  std::atomic<uint32_t> m_bitsPerSecond{kLineRateAsk};
  int m_portFd = -1;                              // serial descriptor for the reader's wait
  ZtByteArray m_receiveBuffer;                    // parse tasks only
  MessageCutter m_cutter;                         // parse tasks only
  std::atomic<uint64_t> m_awaitedDeadlineMs{0};   // m_cutter's deadline, for the reader
  KtThread* m_thread = nullptr;
  std::atomic<ZtResultValue> m_lastResult{ZRV_OK};
  // Packet bookkeeping (part two).
  std::atomic<uint32_t> m_count1{0};
  std::atomic<uint32_t> m_count2{0};
  // waitForMessage: time of day in ms, both 0 outside a wait. Atomic because application
  // threads may wait on one link at once (a wait begun while another runs keeps its deadline).
  std::atomic<uint32_t> m_waitDeadline{0};
  std::atomic<uint32_t> m_waitStart{0};
  std::atomic<bool> m_measuring{false};
  std::atomic<bool> m_abortLoad{false};

  mutable std::shared_mutex m_portLock;
  mutable std::recursive_mutex m_fileMutex;
  mutable std::mutex m_protocolMutex;
  ZtByteArray m_fileBuffer;  // log-file reader: bytes held; guarded by m_fileMutex
  ZtByteArray m_fileChunk;   // log-file reader: one read; guarded by m_fileMutex
  ZtByteArray m_fileFrame;   // log-file writer: one message's frame, reused; guarded by m_fileMutex
  MessageList m_parseOutput;
  ZtMessage m_parseMessage;  // parse tasks' search output
  int m_kickFd = -1;         // eventfd that ends one wait (repeat GotoConfig starts, cancel)
  std::atomic<bool> m_readCancelled{false};  // set by a cancel, cleared by the next start
  std::atomic<bool> m_hasLogFile{false};     // m_logFile is set, for isReadingFromFile
};
