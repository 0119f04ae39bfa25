#pragma once
// The typed value of settings files, filter records and device configuration files: one value of
// one of twelve kinds, named by a letter:
//   'B' bool            'F' double          'I' int32_t          'J' int64_t
//   'L' IntList         'M' Matrix          'N' BinaryObject     'Q' Quaternion
//   'S' text < 256 characters (256-byte buffer)   'T' text of 256..16383 characters (16384 bytes)
//   'U' LabelList       'V' Vector
// 'B', 'F', 'I' and 'J' are held inline; every other kind owns its object, released whenever the
// kind changes and by clear(). Kind 0 is the empty value; any other letter (read from a text or
// binary form) is an unknown kind that holds nothing.
//
// Text form (a value in a ZSA line):  kind letter, ':', contents   e.g. F:0.5  I:-3  B:Y  S:abc
// Binary form (a value in a zsb record): kind byte, then the contents in host byte order.
//
// Readers take their input from files users edit and from devices: every count, size and
// dimension is checked against what remains of the input before anything is reserved, and the
// binary reader never reads past the bytes it is given. A malformed value reads as 0 (empty
// value).
//
// Conversions never fail: a kind without a meaningful conversion gives the target's neutral value
// (0, false, empty, the identity quaternion). Reals convert to integers by truncation toward zero,
// saturated to the target's range; NaN gives 0.
//
// Not thread-safe: the holder of a value serialises access.
#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/BinaryObject.h"
#include "foundation/IntList.h"
#include "foundation/LabelList.h"
#include "math/Matrix.h"
#include "math/Quaternion.h"
#include "math/Vector.h"
#include "zttypes/ztarray.h"
#include "zttypes/ztmath.h"

namespace zelto {

class Variant {
 public:
  enum Kind : uint32_t {
    KindEmpty = 0,
    KindBool = 'B',
    KindDouble = 'F',
    KindInt32 = 'I',
    KindInt64 = 'J',
    KindIntList = 'L',
    KindMatrix = 'M',
    KindBinaryObject = 'N',
    KindQuaternion = 'Q',
    KindString = 'S',
    KindText = 'T',
    KindLabelList = 'U',
    KindVector = 'V',
  };
  static constexpr size_t kStringCapacity = 256;  // 'S': at most 255 characters
  static constexpr size_t kTextCapacity = 16384;  // 'T': at most 16383 characters

  union VariantValue {
    bool b;
    double f;
    int32_t i;
    int64_t j;
    void* p;
  };

  Variant() { m_value.j = 0; }
  Variant(bool value);
  Variant(float value);
  Variant(double value);
  Variant(int value);
  Variant(unsigned int value);
  Variant(long value);
  Variant(unsigned long value);
  Variant(const ZtMatrix& value);
  Variant(const ZtQuaternion& value);
  Variant(const ZtVector& value);
  Variant(const double* values, size_t count);
  Variant(const BinaryObject& value);
  Variant(const IntList& value);
  Variant(const LabelList& value);
  // Texts: fewer than 256 characters make 'S', longer ones 'T' cut to 16383 characters. A null
  // text is the empty text.
  Variant(const char* text);
  Variant(const std::string& text);
  Variant(const ZtString& text);
  Variant(const Variant& other);
  Variant(Variant&& other) noexcept;
  Variant& operator=(const Variant& other);
  Variant& operator=(Variant&& other) noexcept;
  ~Variant();

  uint32_t kind() const { return m_kind; }
  bool empty() const { return m_kind == KindEmpty; }
  void clear();
  // "bool", "double", "int32_t", "int64_t", "Integer list", "Matrix", "Binary object",
  // "Quaternion", "String" ('S' and 'T'), "String list", "Vector"; "" otherwise.
  const char* typeName() const;
  // Kinds equal, or this 'T' and the other 'S'.
  bool typeMatches(const Variant& other) const;
  // True for the twelve kinds.
  static bool isKnownKind(uint32_t kind);

  // The general setter. Kind 0 keeps the present kind; another kind clears the value first. Null
  // data gives a fresh value of the kind (0, false, empty text/list/matrix/vector/object, zero
  // quaternion); otherwise data points to a value of the kind's own type: bool, double, int32_t,
  // int64_t, IntList, ZtMatrix, BinaryObject, ZtQuaternion, NUL-terminated text, LabelList,
  // ZtVector. Texts take 'S' or 'T' as their length requires.
  void set(uint32_t kind, const void* data);
  // As set, but data holds the kind's binary contents (the binary form without its kind byte) in
  // at most available bytes. Returns the bytes used, 0 (value empty) when they are malformed.
  size_t setFromBinary(uint32_t kind, const void* data, size_t available);
  // Copies the value into caller storage of the kind's own type (an IntList, LabelList or
  // BinaryObject object; a constructed ZtMatrix or ZtVector record; a text buffer of the kind's
  // capacity), or with toBinary writes the binary contents (see serialize for the size). Nothing
  // for an empty or unknown value.
  void get(void* out, bool toBinary = false) const;
  // The inline value ('B', 'F', 'I', 'J') or the owned object or text; null when empty.
  void* getData();
  const void* getDataConst() const;

  // References to the contained object; throw ZtException 265 for any other kind.
  const char* toConstCString() const;
  const BinaryObject& toConstBinaryObject() const;
  const LabelList& toConstLabelList() const;
  const IntList& toConstIntList() const;
  const Quaternion& toConstQuaternion() const;
  const Matrix& toConstMatrix() const;
  const Vector& toConstVector() const;

  bool toBool() const;
  int32_t toInt32() const;
  uint32_t toUint32() const;
  int64_t toInt64() const;
  uint64_t toUint64() const;
  float toFloat() const;
  double toDouble() const;
  double toMathValue() const { return toDouble(); }
  Quaternion toQuaternion() const;
  Matrix toMatrix() const;
  Vector toVector() const;
  IntList toIntList() const;
  LabelList toLabelList() const;
  BinaryObject toBinaryObject() const;
  std::string toStdString() const;
  // Assigns the text ('S', 'T'; else the empty text) to a constructed ZtString.
  void toZtString(ZtString* out) const;

  explicit operator bool() const { return toBool(); }
  explicit operator int() const { return toInt32(); }
  explicit operator unsigned int() const { return toUint32(); }
  explicit operator long() const { return toInt64(); }
  explicit operator unsigned long() const { return toUint64(); }
  explicit operator float() const { return toFloat(); }
  explicit operator double() const { return toDouble(); }
  explicit operator Matrix() const { return toMatrix(); }
  explicit operator Vector() const { return toVector(); }
  explicit operator Quaternion() const { return toQuaternion(); }
  explicit operator BinaryObject() const { return toBinaryObject(); }
  explicit operator IntList() const { return toIntList(); }
  explicit operator LabelList() const { return toLabelList(); }

  // Same kind, empty, or this 'T' and other 'S': becomes a copy of other. Otherwise a text keeps
  // its value, and any other kind keeps its kind and takes other converted to it ('N' becomes
  // an empty object; an unknown kind stays as it is).
  void setValueKeepType(const Variant& other);

  // Equal kinds and values ('S' and 'T' compare by text). Empty and unknown values equal
  // nothing. Reals: |a - b| <= 1e-16 |a| (a is this value).
  bool operator==(const Variant& other) const;
  bool operator!=(const Variant& other) const { return !(*this == other); }

  // Whole text form into out (null: only the length); returns the length. The empty value gives
  // the empty text; an unknown kind its letter and a colon.
  int writeToString(char* out) const;
  // Appends the whole text form; returns the characters appended.
  int writeToString(std::string& out) const;
  // Contents only. hex: 'I' "0x%X", 'J' "0x%lX", 'L' the hexadecimal list form, and (char*
  // writer only) 'S'/'T' every character as "%02X" separated by blanks.
  int writeContentsToString(char* out, bool hex) const;
  int writeContentsToString(std::string& out, bool hex) const;
  int writeContentsToStringHex(char* out) const { return writeContentsToString(out, true); }
  // Reads a whole text form; the value is replaced. Returns the characters used: 0 for the empty
  // text and for malformed contents of a list, matrix, vector, quaternion or binary object (the
  // value is then empty). Texts drop trailing carriage returns and line feeds and keep the kind
  // letter read, except that an 'S' text too long for its buffer becomes 'T'.
  int readFromString(const char* text, bool hex = false);
  int readFromString(const std::string& text, bool hex = false) { return readFromString(text.c_str(), hex); }
  // Reads white-space separated hexadecimal byte values into out, storing at most capacity - 1
  // bytes and a terminating NUL; stops at the text's end or at an item that is no hexadecimal
  // number. Returns the number of bytes stored.
  static int hexToText(char* out, size_t capacity, const char* text);

  // Binary form into out (null: only the size); returns the size, kind byte included. The
  // empty value is the single byte 0; an unknown kind its byte alone.
  size_t serialize(char* out) const;
  // Reads one binary form from at most available bytes; the value is replaced. Returns the bytes
  // used, 0 (value empty) when the form does not fit in them or is malformed.
  size_t deserialize(const char* in, size_t available);

 private:
  void setText(const char* text, size_t length);
  // Stores text (length characters) keeping kind 'S' or 'T' as given, 'S' turning into 'T' when
  // too long for its buffer.
  void setTextOfKind(uint32_t kind, const char* text, size_t length);
  char* textBuffer() const { return static_cast<char*>(m_value.p); }
  bool isText() const { return m_kind == KindString || m_kind == KindText; }
  // First element of a list, matrix or vector (0 when it has none).
  double firstElement() const;
  // Text of 'S'/'T', the first label of 'U'; null otherwise.
  const char* numericText() const;
  [[noreturn]] static void throwWrongKind(const char* what);
  // The held object of kind `kind`, or ZtException 265 with `what`.
  template <typename T>
  const T& heldAs(uint32_t kind, const char* what) const {
    if (m_kind != kind) throwWrongKind(what);
    return *static_cast<const T*>(m_value.p);
  }

  uint32_t m_kind = KindEmpty;
  VariantValue m_value;
};

}  // namespace zelto
