#pragma once
// List of labels with the text and binary forms of typed values.
//   text:   "%u:" count, then the labels separated by one blank ("2:alpha beta"; empty: "0: ")
//   binary: u32 count, then the labels separated by single blanks and one NUL (empty: the count
//           alone)
#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/Label.h"
#include "foundation/List.h"

namespace zelto {

class LabelList : public List<Label> {
 public:
  LabelList() = default;
  LabelList(const LabelList& other) = default;
  ~LabelList() override;
  LabelList& operator=(const LabelList& other);

  // Same count and each label equal to the one at the same place, ignoring case.
  bool operator==(const LabelList& other) const;
  bool operator!=(const LabelList& other) const { return !(*this == other); }

  using List<Label>::append;
  uint32_t append(const char* label) { return List<Label>::append(Label(label)); }

  // Writes the binary form (null out: only the size); returns its size.
  size_t serialize(char* out) const;
  // Reads the binary form from at most available bytes; returns the bytes used, or 0 (list
  // unchanged) when the text has no NUL within them. The whole text up to its NUL is always used,
  // so that the next value starts right after it.
  size_t deserialize(const char* in, size_t available);

  int writeToString(char* out) const;
  int writeToString(std::string& out) const;
  // Reads "%u:" and count labels (longer labels keep their first 255 characters); returns the
  // characters used, or 0 (list emptied) when the count or a label is missing.
  int readFromString(const char* text);
};

}  // namespace zelto
