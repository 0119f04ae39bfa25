#pragma once
// List of unsigned 32-bit integers with the text and binary forms of typed values.
//   text:   "%u:" count, then " %u" per value ("3: 1 2 3"); the hex form "%x:" and " %x"
//   binary: u32 count, then count u32 values (host order)
#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/List.h"

namespace zelto {

class IntList : public List<unsigned int> {
 public:
  IntList() = default;
  explicit IntList(uint32_t capacity) : List<unsigned int>(capacity) {}
  IntList(const IntList& other) = default;
  ~IntList() override;
  IntList& operator=(const IntList& other);

  // Same count and equal values.
  bool operator==(const IntList& other) const;
  bool operator!=(const IntList& other) const { return !(*this == other); }

  // Writes the binary form (null out: only the size); returns 4 + 4 x count.
  size_t serialize(char* out) const;
  // Reads the binary form from at most available bytes; returns the bytes used, or 0 (list
  // unchanged) when the form does not fit in them.
  size_t deserialize(const char* in, size_t available);

  // Text form into out (null: only the length); returns the length.
  int writeToString(char* out, bool hex = false) const;
  // Appends the text form; returns the characters appended.
  int writeToString(std::string& out, bool hex = false) const;
  int writeToStringHex(char* out) const { return writeToString(out, true); }
  int writeToStringHex(std::string& out) const { return writeToString(out, true); }
  // Reads "%u:" and count values (hex: hexadecimal numbers, each with or without "0x"); returns
  // the characters used, or 0 (list emptied) when the count or a value is missing or out of range.
  int readFromString(const char* text, bool hex = false);

  // Adds v to every value (modulo 2^32).
  void addValue(int v);
  // start, start + step, ... while below end (step > 0) or above end (step < 0); end itself is
  // never included, and nothing wraps past 0 or 2^32 - 1. Step 0 changes nothing.
  void setIncremental(uint32_t start, uint32_t end, int32_t step);
};

}  // namespace zelto
