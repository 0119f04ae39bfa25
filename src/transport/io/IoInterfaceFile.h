#pragma once
// Random-access file with independent read and write positions over one buffered stream
// (log files). The stream's own position belongs to the side named by m_reading; switching
// sides flushes and seeks to the saved position of the other side, so runs of reads or runs
// of writes cost no seeks.
#include <cstdio>

#include "transport/io/IoInterface.h"
#include "zttypes/zttime.h"

class IoInterfaceFile : public IoInterface {
 public:
  IoInterfaceFile();
  ~IoInterfaceFile() override;

  ZtResultValue close() override;
  ZtResultValue closeFile() { return close(); }
  ZtResultValue flushData() override;
  bool isOpen() const override { return m_handle != nullptr; }
  ZtResultValue getLastResult() const override { return m_lastResult; }
  ZtResultValue writeData(const ZtByteArray& data, size_t* written = nullptr) override;
  ZtResultValue readData(size_t maxLength, ZtByteArray& data) override;
  // Reads byte by byte until the terminator has been stored or maxLength bytes were read.
  ZtResultValue readTerminatedData(size_t maxLength, uint8_t terminator, ZtByteArray& data);

  using IoInterface::open;
  ZtResultValue appendData(const ZtByteArray& data) override;
  ZtResultValue closeAndDelete() override;
  ZtResultValue create(const ZtString& fileName) override;
  ZtResultValue deleteData(int64_t start, int64_t length) override;
  ZtResultValue find(const ZtByteArray& pattern, int64_t& position) override;
  int64_t getFileSize() override { return m_fileSize; }
  ZtResultValue getName(ZtString& name) const override;
  int64_t getReadPosition() override { return m_readPosition; }
  int64_t getWritePosition() override { return m_writePosition; }
  ZtResultValue insertData(int64_t start, const ZtByteArray& data) override;
  bool isReadOnly() const override { return m_handle == nullptr || m_readOnly; }
  ZtResultValue open(const ZtString& fileName, bool createNew, bool readOnly) override;
  ZtResultValue setReadPosition(int64_t position) override;
  ZtResultValue setWritePosition(int64_t position) override;

  // Modification time in milliseconds (whole seconds); 0 when the file cannot be examined.
  ZtTimeStamp getFileDate() const;

 private:
  ZtResultValue record(ZtResultValue result) { return m_lastResult = result; }
  bool gotoRead();
  bool gotoWrite();
  // After a failed write, insert or delete the stream may stand anywhere: the next switch to
  // either side seeks again.
  void loseStreamPosition();
  // Stores the resolved full path of fileName; false when it cannot be resolved.
  bool storeFullPath(const char* fileName);
  void resetClosed();
  // Copies length bytes from src to dst (src > dst) in 512-byte chunks.
  ZtResultValue moveDown(int64_t src, int64_t dst, int64_t length);

  std::FILE* m_handle = nullptr;
  int64_t m_fileSize = 0;
  int64_t m_readPosition = 0;
  int64_t m_writePosition = 0;
  ZtResultValue m_lastResult = ZRV_OK;
  ZtString m_fileName;
  bool m_reading = true;
  // False while the stream position is unknown (see loseStreamPosition); m_reading is then true.
  bool m_inStep = true;
  bool m_readOnly = false;
};

// 1 when the file can be opened for reading, else 0.
int doesFileExist(const char* path);

// When a file named path exists, replaces path (a buffer of capacity bytes, 4096 unless said
// otherwise) by the first free name stem_1.log .. stem_9.log, where stem is path without its
// last four characters (the extension), or stem_n.log when all nine exist. A name that would
// not fit the buffer leaves path unchanged.
void makeFilenameUnique(char* path, size_t capacity = 4096);
