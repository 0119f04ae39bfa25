#pragma once
// Byte-stream and file interface behind every port and log file. The link layer calls an
// interface only through these virtual operations; an operation a kind of interface does not
// support answers ZRV_UNSUPPORTED (265) instead of failing to link.
//
// Interfaces take no lock: one reader thread reads while other threads write, and the owner
// calls setTimeout/close while no read is pending.
#include <cstddef>
#include <cstdint>

#include "zttypes/ztarray.h"
#include "zttypes/ztmisc.h"
#include "zttypes/ztresult.h"

class IoInterface {
 public:
  IoInterface() = default;
  IoInterface(const IoInterface&) = delete;
  IoInterface& operator=(const IoInterface&) = delete;
  virtual ~IoInterface();

  virtual ZtResultValue close() = 0;
  virtual ZtResultValue flushData() = 0;
  virtual bool isOpen() const = 0;
  virtual ZtResultValue getLastResult() const = 0;
  // Writes the array; *written (when given) receives the count of bytes written on success.
  virtual ZtResultValue writeData(const ZtByteArray& data, size_t* written = nullptr) = 0;
  // Reads at most maxLength bytes into data (resized to the bytes read).
  virtual ZtResultValue readData(size_t maxLength, ZtByteArray& data) = 0;

  virtual ZtResultValue open(const ZtPortInfo& portInfo, uint32_t readBufferSize = 0,
                             uint32_t writeBufferSize = 0);
  virtual ZtResultValue setTimeout(uint32_t milliseconds);
  virtual ZtResultValue waitForData(size_t length, ZtByteArray& data);
  virtual void cancelIo();
  virtual ZtResultValue appendData(const ZtByteArray& data);
  virtual ZtResultValue closeAndDelete();
  virtual ZtResultValue create(const ZtString& fileName);
  virtual ZtResultValue deleteData(int64_t start, int64_t length);
  virtual ZtResultValue find(const ZtByteArray& pattern, int64_t& position);
  virtual int64_t getFileSize();
  virtual ZtResultValue getName(ZtString& name) const;
  virtual int64_t getReadPosition();
  virtual int64_t getWritePosition();
  virtual ZtResultValue insertData(int64_t start, const ZtByteArray& data);
  virtual bool isReadOnly() const;
  virtual ZtResultValue open(const ZtString& fileName, bool createNew, bool readOnly);
  virtual ZtResultValue setReadPosition(int64_t position);
  virtual ZtResultValue setWritePosition(int64_t position);
};
