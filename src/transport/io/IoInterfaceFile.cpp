#include "transport/io/IoInterfaceFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "foundation/JournalMacros.h"

namespace {

constexpr size_t kChunk = 512;

ZtResultValue writeErrorCode(int error) {
  switch (error) {
    case ENOMEM: return ZRV_INSUFFICIENTSPACE;
    case ENOSPC: return ZRV_OUTPUTCANNOTBEWRITTEN;
    default: return ZRV_ERROR;
  }
}

// Writes all of size bytes; returns 0 or the mapped errno of a short write. A short write
// with errno 0 counts as success (the stream gave no reason).
ZtResultValue writeAll(std::FILE* f, const void* data, size_t size, size_t& done) {
  errno = 0;
  done = std::fwrite(data, 1, size, f);
  if (done == size) return ZRV_OK;
  const int error = errno;
  std::clearerr(f);
  if (error == 0) return ZRV_OK;
  JLOG_ERROR("file write failed after " << done << " of " << size << " bytes, errno " << error);
  return writeErrorCode(error);
}

// Flushes buffered output; a failure here means data written earlier was lost.
ZtResultValue flushStream(std::FILE* f) {
  errno = 0;
  if (std::fflush(f) == 0) return ZRV_OK;
  const int error = errno;
  std::clearerr(f);
  JLOG_ERROR("flushing file failed, errno " << error);
  return writeErrorCode(error);
}

}  // namespace

IoInterfaceFile::IoInterfaceFile() { ZtString_construct(&m_fileName, ""); }

IoInterfaceFile::~IoInterfaceFile() {
  if (m_handle) std::fclose(m_handle);  // fclose flushes
  ZtString_destruct(&m_fileName);
}

void IoInterfaceFile::resetClosed() {
  m_handle = nullptr;
  m_fileSize = 0;
  m_readPosition = 0;
  m_writePosition = 0;
  m_reading = true;
  m_inStep = true;
  m_readOnly = false;
}

void IoInterfaceFile::loseStreamPosition() {
  m_reading = true;
  m_inStep = false;
}

bool IoInterfaceFile::gotoRead() {
  if (m_reading && m_inStep) return true;
  std::fflush(m_handle);
  std::clearerr(m_handle);
  m_reading = true;
  m_inStep = fseeko(m_handle, m_readPosition, SEEK_SET) == 0;
  return m_inStep;
}

bool IoInterfaceFile::gotoWrite() {
  if (!m_reading) return true;
  std::fflush(m_handle);
  std::clearerr(m_handle);
  m_reading = false;
  m_inStep = fseeko(m_handle, m_writePosition, SEEK_SET) == 0;
  if (!m_inStep) m_reading = true;
  return m_inStep;
}

bool IoInterfaceFile::storeFullPath(const char* fileName) {
  // realpath with a null buffer allocates, so no path length limit applies.
  std::unique_ptr<char, decltype(&std::free)> full(realpath(fileName, nullptr), &std::free);
  if (!full) return false;
  ZtString_assignCharArray(&m_fileName, full.get());
  return true;
}

ZtResultValue IoInterfaceFile::create(const ZtString& fileName) {
  if (m_handle) return record(ZRV_ALREADYOPEN);
  const char* name = ZtString_c_str(&fileName);
  std::FILE* f = std::fopen(name, "w+b");
  if (!f) return record(ZRV_OUTPUTCANNOTBECREATED);
  m_handle = f;
  if (!storeFullPath(name)) {
    std::fclose(f);
    ::unlink(name);
    resetClosed();
    return record(ZRV_INVALIDPARAM);
  }
  m_fileSize = m_readPosition = m_writePosition = 0;
  m_reading = true;
  m_readOnly = false;
  return record(ZRV_OK);
}

ZtResultValue IoInterfaceFile::open(const ZtString& fileName, bool createNew, bool readOnly) {
  if (m_handle) return record(ZRV_ALREADYOPEN);
  const char* name = ZtString_c_str(&fileName);
  std::FILE* f = std::fopen(name, readOnly ? "rb" : "r+b");
  if (!f) {
    if (createNew) {
      f = std::fopen(name, "w+b");
    } else {
      f = std::fopen(name, "rb");
      readOnly = true;
    }
    if (!f) return record(ZRV_INPUTCANNOTBEOPENED);
  }
  // A directory opens read-only under Linux but cannot be read as a file.
  struct stat st;
  if (fstat(fileno(f), &st) != 0 || S_ISDIR(st.st_mode)) {
    std::fclose(f);
    return record(ZRV_INPUTCANNOTBEOPENED);
  }
  m_handle = f;
  if (!storeFullPath(name)) {
    std::fclose(f);
    resetClosed();
    return record(ZRV_INVALIDPARAM);
  }
  m_readOnly = readOnly;
  fseeko(f, 0, SEEK_END);
  const off_t size = ftello(f);
  m_fileSize = size > 0 ? size : 0;
  m_readPosition = m_writePosition = 0;
  m_reading = true;
  fseeko(f, 0, SEEK_SET);
  return record(ZRV_OK);
}

ZtResultValue IoInterfaceFile::close() {
  ZtResultValue result = ZRV_OK;
  if (m_handle) {
    result = flushStream(m_handle);
    if (std::fclose(m_handle) != 0 && result == ZRV_OK) result = writeErrorCode(errno);
  }
  resetClosed();
  return record(result);
}

ZtResultValue IoInterfaceFile::closeAndDelete() {
  if (!m_handle) return record(ZRV_NOFILEOPEN);
  const bool readOnly = m_readOnly;
  std::fflush(m_handle);
  std::fclose(m_handle);
  resetClosed();
  if (readOnly) return record(ZRV_READONLY);
  return record(std::remove(ZtString_c_str(&m_fileName)) == 0 ? ZRV_OK : ZRV_READONLY);
}

ZtResultValue IoInterfaceFile::flushData() {
  if (!m_handle) return record(ZRV_OK);
  return record(flushStream(m_handle));
}

ZtResultValue IoInterfaceFile::getName(ZtString& name) const {
  ZtString_assignCharArray(&name, ZtString_c_str(&m_fileName));
  return ZRV_OK;
}

ZtTimeStamp IoInterfaceFile::getFileDate() const {
  struct stat st;
  if (ZtString_empty(&m_fileName) || stat(ZtString_c_str(&m_fileName), &st) != 0) return 0;
  return static_cast<ZtTimeStamp>(st.st_mtime) * 1000;
}

ZtResultValue IoInterfaceFile::setReadPosition(int64_t position) {
  if (!m_handle) return record(ZRV_NOFILEOPEN);
  if (position < 0) return record(ZRV_INVALIDPARAM);
  if (position != m_readPosition) {
    m_readPosition = position;
    if (m_reading && m_inStep && fseeko(m_handle, position, SEEK_SET) != 0) {
      loseStreamPosition();
      return record(ZRV_ERROR);
    }
  }
  return record(ZRV_OK);
}

ZtResultValue IoInterfaceFile::setWritePosition(int64_t position) {
  if (!m_handle) return record(ZRV_NOFILEOPEN);
  if (m_readOnly) return record(ZRV_READONLY);
  if (position == -1) {
    if (m_reading) std::fflush(m_handle);
    if (fseeko(m_handle, 0, SEEK_END) != 0) {
      loseStreamPosition();
      return record(ZRV_ERROR);
    }
    m_reading = false;
    m_inStep = true;
    m_writePosition = ftello(m_handle);
    return record(ZRV_OK);
  }
  if (position < 0) return record(ZRV_INVALIDPARAM);
  if (position != m_writePosition) {
    m_writePosition = position;
    if (!m_reading && fseeko(m_handle, position, SEEK_SET) != 0) {
      loseStreamPosition();
      return record(ZRV_ERROR);
    }
  }
  return record(ZRV_OK);
}

ZtResultValue IoInterfaceFile::readData(size_t maxLength, ZtByteArray& data) {
  if (!m_handle) return record(ZRV_NOFILEOPEN);
  if (maxLength == 0) {
    ZtArray_assign(ZTARRAY(&data), 0, nullptr);
    return record(ZRV_OK);
  }
  if (!gotoRead()) return record(ZRV_ERROR);
  if (ZtArray_assign(ZTARRAY(&data), maxLength, nullptr) != 0) return record(ZRV_INSUFFICIENTSPACE);
  const size_t got = std::fread(data.data, 1, maxLength, m_handle);
  if (got < maxLength) {
    // Not enough bytes: nothing is consumed, so the stream goes back to the read position
    // and the next read sees the same bytes.
    const bool failed = std::ferror(m_handle) != 0;
    std::clearerr(m_handle);
    fseeko(m_handle, m_readPosition, SEEK_SET);
    ZtArray_assign(ZTARRAY(&data), 0, nullptr);
    return record(failed ? ZRV_ERROR : ZRV_ENDOFFILE);
  }
  m_readPosition += static_cast<int64_t>(got);
  return record(ZRV_OK);
}

ZtResultValue IoInterfaceFile::readTerminatedData(size_t maxLength, uint8_t terminator,
                                                  ZtByteArray& data) {
  if (!m_handle) return record(ZRV_NOFILEOPEN);
  if (maxLength == 0) {
    ZtArray_assign(ZTARRAY(&data), 0, nullptr);
    return record(ZRV_OK);
  }
  if (ZtArray_assign(ZTARRAY(&data), maxLength, nullptr) != 0) return record(ZRV_INSUFFICIENTSPACE);
  if (!gotoRead()) {
    ZtArray_assign(ZTARRAY(&data), 0, nullptr);
    return record(ZRV_ERROR);
  }
  size_t stored = 0;
  ZtResultValue result = ZRV_OK;
  while (stored < maxLength) {
    const int c = std::fgetc(m_handle);
    if (c == EOF) {
      std::clearerr(m_handle);
      result = ZRV_ENDOFFILE;
      break;
    }
    data.data[stored++] = static_cast<uint8_t>(c);
    ++m_readPosition;
    if (static_cast<uint8_t>(c) == terminator) break;
  }
  ZtArray_assign(ZTARRAY(&data), stored, nullptr);
  return record(result);
}

ZtResultValue IoInterfaceFile::writeData(const ZtByteArray& data, size_t* written) {
  if (!m_handle) return record(ZRV_NOFILEOPEN);
  if (m_readOnly) return record(ZRV_READONLY);
  if (data.size == 0) {
    if (written) *written = 0;
    return record(ZRV_OK);
  }
  if (!gotoWrite()) return record(ZRV_ERROR);
  size_t done = 0;
  const ZtResultValue result = writeAll(m_handle, data.data, data.size, done);
  if (result != ZRV_OK) {
    // The stream position is uncertain after a failed write: seek again before the next one.
    loseStreamPosition();
    return record(result);
  }
  m_writePosition += static_cast<int64_t>(done);
  if (written) *written = done;
  if (m_writePosition > m_fileSize) m_fileSize = m_writePosition;
  return record(ZRV_OK);
}

ZtResultValue IoInterfaceFile::appendData(const ZtByteArray& data) {
  if (!m_handle) return record(ZRV_NOFILEOPEN);
  if (m_readOnly) return record(ZRV_READONLY);
  if (data.size == 0) return record(ZRV_OK);
  if (m_reading || m_writePosition != m_fileSize) {
    if (m_reading) std::fflush(m_handle);
    if (fseeko(m_handle, 0, SEEK_END) != 0) {
      loseStreamPosition();
      return record(ZRV_ERROR);
    }
    m_reading = false;
    m_inStep = true;
  }
  size_t done = 0;
  const ZtResultValue result = writeAll(m_handle, data.data, data.size, done);
  if (result != ZRV_OK) {
    loseStreamPosition();
    return record(result);
  }
  m_writePosition = m_fileSize = ftello(m_handle);
  return record(ZRV_OK);
}

ZtResultValue IoInterfaceFile::insertData(int64_t start, const ZtByteArray& data) {
  if (!m_handle) return record(ZRV_NOFILEOPEN);
  if (m_readOnly) return record(ZRV_READONLY);
  if (start < 0 || start > m_fileSize) return record(ZRV_INVALIDPARAM);
  if (!gotoWrite()) return record(ZRV_ERROR);
  if (data.size == 0) return record(ZRV_OK);
  const size_t length = data.size;
  const size_t chunk = std::max(kChunk, length);
  std::unique_ptr<uint8_t[]> work(new (std::nothrow) uint8_t[2 * chunk]);
  if (!work) return ZRV_INSUFFICIENTSPACE;
  uint8_t* current = work.get();
  uint8_t* next = work.get() + chunk;

  // Shift [start, size) forward by length, front to back. The next chunk is always read before
  // the current one is written; a chunk is never shorter than the shift, so the write never
  // reaches bytes not yet read. Reads stop at the old end so moved bytes are not read again.
  int64_t left = m_fileSize - start;
  auto readChunk = [&](uint8_t* buffer) -> size_t {
    const size_t want = static_cast<size_t>(std::min<int64_t>(left, static_cast<int64_t>(chunk)));
    if (want == 0) return 0;
    const size_t got = std::fread(buffer, 1, want, m_handle);
    left = got == want ? left - static_cast<int64_t>(got) : 0;
    return got;
  };
  int64_t from = start;
  if (fseeko(m_handle, from, SEEK_SET) != 0) return record(ZRV_ERROR);
  size_t have = readChunk(current);
  while (have > 0) {
    const size_t nextHave = readChunk(next);
    if (std::ferror(m_handle)) {
      std::clearerr(m_handle);
      loseStreamPosition();
      return record(ZRV_ERROR);
    }
    std::clearerr(m_handle);
    size_t done = 0;
    ZtResultValue result = ZRV_ERROR;
    if (fseeko(m_handle, from + static_cast<int64_t>(length), SEEK_SET) == 0)
      result = writeAll(m_handle, current, have, done);
    if (result != ZRV_OK || done != have) {
      loseStreamPosition();
      return record(result != ZRV_OK ? result : ZRV_ERROR);
    }
    from += static_cast<int64_t>(have);
    std::swap(current, next);
    have = nextHave;
    if (left > 0 && fseeko(m_handle, from + static_cast<int64_t>(have), SEEK_SET) != 0) {
      loseStreamPosition();
      return record(ZRV_ERROR);
    }
  }
  std::clearerr(m_handle);
  size_t done = 0;
  ZtResultValue result = ZRV_ERROR;
  if (fseeko(m_handle, start, SEEK_SET) == 0) result = writeAll(m_handle, data.data, length, done);
  if (result != ZRV_OK) {
    loseStreamPosition();
    return record(result);
  }
  m_writePosition = start + static_cast<int64_t>(done);
  m_fileSize += static_cast<int64_t>(length);
  return record(ZRV_OK);
}

ZtResultValue IoInterfaceFile::moveDown(int64_t src, int64_t dst, int64_t length) {
  uint8_t buffer[kChunk];
  while (length > 0) {
    const size_t want = static_cast<size_t>(std::min<int64_t>(length, kChunk));
    if (fseeko(m_handle, src, SEEK_SET) != 0) return ZRV_ERROR;
    const size_t got = std::fread(buffer, 1, want, m_handle);
    std::clearerr(m_handle);
    if (got != want) return ZRV_ERROR;
    if (fseeko(m_handle, dst, SEEK_SET) != 0) return ZRV_ERROR;
    size_t done = 0;
    const ZtResultValue result = writeAll(m_handle, buffer, got, done);
    if (result != ZRV_OK) return result;
    if (done != got) return ZRV_ERROR;
    src += static_cast<int64_t>(got);
    dst += static_cast<int64_t>(got);
    length -= static_cast<int64_t>(got);
  }
  return ZRV_OK;
}

ZtResultValue IoInterfaceFile::deleteData(int64_t start, int64_t length) {
  if (!m_handle) return record(ZRV_NOFILEOPEN);
  if (m_readOnly) return record(ZRV_READONLY);
  if (start < 0 || length < 0) return record(ZRV_INVALIDPARAM);
  if (!gotoWrite()) return record(ZRV_ERROR);
  // A start beyond the end deletes nothing; it must not grow the file.
  start = std::min(start, m_fileSize);
  const int64_t tail = m_fileSize - start;
  if (length < tail) {
    const ZtResultValue moved = moveDown(start + length, start, tail - length);
    if (moved != ZRV_OK) {
      loseStreamPosition();
      return record(moved);
    }
    m_fileSize -= length;
  } else {
    m_fileSize = start;
  }
  ZtResultValue result = flushStream(m_handle);
  if (result == ZRV_OK && ftruncate(fileno(m_handle), m_fileSize) != 0) {
    switch (errno) {
      case EBADF: result = ZRV_TRUNCATEBADF; break;
      case EACCES: result = ZRV_TRUNCATEACCESS; break;
      case EINVAL: result = ZRV_INVALIDPARAM; break;
      case ENOSPC: result = ZRV_INSUFFICIENTSPACE; break;
      default: result = ZRV_ERROR; break;
    }
  }
  m_writePosition = start;
  fseeko(m_handle, start, SEEK_SET);
  return record(result);
}

ZtResultValue IoInterfaceFile::find(const ZtByteArray& pattern, int64_t& position) {
  if (!m_handle) return record(ZRV_NOFILEOPEN);
  position = 0;
  if (pattern.size == 0) return record(ZRV_OK);
  if (!gotoRead()) return record(ZRV_ERROR);

  // Knuth-Morris-Pratt: the running match count carries across blocks, and a mismatch falls
  // back to the longest proper prefix that is still matched, so no byte needs re-reading.
  const uint8_t* p = pattern.data;
  const size_t n = pattern.size;
  std::vector<size_t> fallback(n, 0);
  for (size_t i = 1, k = 0; i < n; ++i) {
    while (k > 0 && p[i] != p[k]) k = fallback[k - 1];
    if (p[i] == p[k]) ++k;
    fallback[i] = k;
  }

  uint8_t block[kChunk];
  size_t matched = 0;
  size_t want = kChunk - static_cast<size_t>(m_readPosition % static_cast<int64_t>(kChunk));
  for (;;) {
    const size_t got = std::fread(block, 1, want, m_handle);
    if (got == 0) {
      std::clearerr(m_handle);
      return record(ZRV_ENDOFFILE);
    }
    const int64_t blockStart = m_readPosition;
    m_readPosition += static_cast<int64_t>(got);
    for (size_t i = 0; i < got; ++i) {
      while (matched > 0 && block[i] != p[matched]) matched = fallback[matched - 1];
      if (block[i] == p[matched]) ++matched;
      if (matched == n) {
        const int64_t at = blockStart + static_cast<int64_t>(i + 1) - static_cast<int64_t>(n);
        m_readPosition = at;
        position = at;
        std::clearerr(m_handle);
        fseeko(m_handle, at, SEEK_SET);
        return record(ZRV_OK);
      }
    }
    want = kChunk;
  }
}

int doesFileExist(const char* path) {
  if (!path) return 0;
  std::FILE* f = std::fopen(path, "r");
  if (!f) return 0;
  std::fclose(f);
  return 1;
}

void makeFilenameUnique(char* path, size_t capacity) {
  if (!path || capacity == 0 || !doesFileExist(path)) return;
  const size_t length = strnlen(path, capacity);
  if (length == capacity) return;  // not terminated inside the buffer
  // Names shorter than an extension have none to strip: the whole name is the stem.
  const size_t stemLength = length >= 4 ? length - 4 : length;
  const int stemInt = static_cast<int>(std::min<size_t>(stemLength, INT_MAX));
  std::vector<char> candidate(capacity);
  for (int i = 1; i <= 9; ++i) {
    const int n = std::snprintf(candidate.data(), capacity, "%.*s_%d.log", stemInt, path, i);
    if (n < 0 || static_cast<size_t>(n) >= capacity) return;
    if (!doesFileExist(candidate.data())) {
      std::memcpy(path, candidate.data(), static_cast<size_t>(n) + 1);
      return;
    }
  }
  const int n = std::snprintf(candidate.data(), capacity, "%.*s_n.log", stemInt, path);
  if (n < 0 || static_cast<size_t>(n) >= capacity) return;
  std::memcpy(path, candidate.data(), static_cast<size_t>(n) + 1);
}
