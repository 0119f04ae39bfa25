#pragma once
// A sized byte blob held by typed values.
//   text:   "%u:" size, then "%02X" per byte without separators ("3:01ABFF")
//   binary: u32 size, then the bytes
#include <cstddef>
#include <cstdint>
#include <string>

namespace zelto {

class BinaryObject {
 public:
  BinaryObject() = default;
  // Copies size bytes from bytes; null bytes gives size zero-filled bytes.
  BinaryObject(uint32_t size, const void* bytes);
  BinaryObject(const BinaryObject& other);
  BinaryObject(BinaryObject&& other) noexcept;
  BinaryObject& operator=(const BinaryObject& other);
  BinaryObject& operator=(BinaryObject&& other) noexcept;
  ~BinaryObject();

  // Equal size and equal bytes.
  bool operator==(const BinaryObject& other) const;
  bool operator!=(const BinaryObject& other) const { return !(*this == other); }

  uint32_t size() const { return m_size; }
  const uint8_t* data() const { return m_data; }
  uint8_t* data() { return m_data; }
  // Replaces the contents with a copy of size bytes (zero-filled when bytes is null).
  void assign(uint32_t size, const void* bytes);

  // Writes the binary form (null out: only the size); returns size + 4.
  size_t serialize(char* out) const;
  // Reads the binary form from at most available bytes; returns the bytes used, or 0 (object
  // unchanged) when the form does not fit in them.
  size_t deserialize(const char* in, size_t available);

  int writeToString(char* out) const;
  int writeToString(std::string& out) const;
  // Reads "%d:" and exactly size bytes of one or two hexadecimal digits each (white space may
  // precede each); returns the characters used, or 0 (object emptied) when the size is negative,
  // exceeds what the text can hold, or a byte is missing.
  int readFromString(const char* text);

 private:
  uint32_t m_size = 0;
  uint8_t* m_data = nullptr;
};

}  // namespace zelto
