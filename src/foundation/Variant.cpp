#include "foundation/Variant.h"

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "errors/ZtException.h"

namespace zelto {

namespace {

// Truncation toward zero saturated to [lo, hi]; NaN gives 0. The bounds are exact doubles
// (2^31, 2^32, 2^63, 2^64) so the comparisons decide before any out-of-range cast.
int32_t saturateInt32(double x) {
  if (std::isnan(x)) return 0;
  if (x <= -2147483648.0) return INT32_MIN;
  if (x >= 2147483648.0) return INT32_MAX;
  return static_cast<int32_t>(x);
}

uint32_t saturateUint32(double x) {
  if (std::isnan(x) || x <= 0.0) return 0;
  if (x >= 4294967296.0) return UINT32_MAX;
  return static_cast<uint32_t>(x);
}

int64_t saturateInt64(double x) {
  if (std::isnan(x)) return 0;
  if (x <= -9223372036854775808.0) return INT64_MIN;
  if (x >= 9223372036854775808.0) return INT64_MAX;
  return static_cast<int64_t>(x);
}

uint64_t saturateUint64(double x) {
  if (std::isnan(x) || x <= 0.0) return 0;
  if (x >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<uint64_t>(x);
}

bool isTextSeparator(char c) { return c == ' ' || c == '\t' || c == '\n'; }

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Number of characters of text after dropping trailing carriage returns and line feeds.
size_t trimmedLength(const char* text) {
  size_t n = std::strlen(text);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n')) --n;
  return n;
}

void appendFormatted(std::string& out, const char* format, double value) {
  char buffer[400];
  int n = std::snprintf(buffer, sizeof buffer, format, value);
  // "%f" of a large number does not fit a label: fall back to a form that does.
  if (n < 0 || static_cast<size_t>(n) > Label::kMaxLength) n = std::snprintf(buffer, sizeof buffer, "%.17g", value);
  out.assign(buffer, static_cast<size_t>(n));
}

void appendLabel(LabelList& list, const char* format, double value) {
  std::string text;
  appendFormatted(text, format, value);
  list.append(text.c_str());
}

void appendLabel(LabelList& list, const char* format, long value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, format, value);
  list.append(buffer);
}

}  // namespace

// ---- construction ----

Variant::Variant(bool value) : Variant() { set(KindBool, &value); }

Variant::Variant(float value) : Variant() {
  const double d = value;
  set(KindDouble, &d);
}

Variant::Variant(double value) : Variant() { set(KindDouble, &value); }

Variant::Variant(int value) : Variant() {
  const int32_t v = value;
  set(KindInt32, &v);
}

Variant::Variant(unsigned int value) : Variant() {
  const int32_t v = static_cast<int32_t>(value);
  set(KindInt32, &v);
}

Variant::Variant(long value) : Variant() {
  const int64_t v = value;
  set(KindInt64, &v);
}

Variant::Variant(unsigned long value) : Variant() {
  const int64_t v = static_cast<int64_t>(value);
  set(KindInt64, &v);
}

Variant::Variant(const ZtMatrix& value) : Variant() { set(KindMatrix, &value); }

Variant::Variant(const ZtQuaternion& value) : Variant() { set(KindQuaternion, &value); }

Variant::Variant(const ZtVector& value) : Variant() { set(KindVector, &value); }

Variant::Variant(const double* values, size_t count) : Variant() {
  set(KindVector, nullptr);
  if (count != 0) *static_cast<Vector*>(m_value.p) = Vector(count, values);
}

Variant::Variant(const BinaryObject& value) : Variant() { set(KindBinaryObject, &value); }

Variant::Variant(const IntList& value) : Variant() { set(KindIntList, &value); }

Variant::Variant(const LabelList& value) : Variant() { set(KindLabelList, &value); }

Variant::Variant(const char* text) : Variant() { setText(text, text == nullptr ? 0 : std::strlen(text)); }

Variant::Variant(const std::string& text) : Variant() { setText(text.c_str(), std::strlen(text.c_str())); }

Variant::Variant(const ZtString& text) : Variant() {
  // size counts the NUL: 0 or 1 is the empty text.
  if (text.data == nullptr || text.size <= 1)
    setText("", 0);
  else
    setText(text.data, strnlen(text.data, text.size - 1));
}

Variant::Variant(const Variant& other) : Variant() { *this = other; }

Variant::Variant(Variant&& other) noexcept : m_kind(other.m_kind), m_value(other.m_value) {
  other.m_kind = KindEmpty;
  other.m_value.j = 0;
}

Variant& Variant::operator=(const Variant& other) {
  if (&other == this) return *this;
  if (other.isText()) {
    setTextOfKind(other.m_kind, other.textBuffer(), std::strlen(other.textBuffer()));
  } else if (isKnownKind(other.m_kind)) {
    set(other.m_kind, other.getDataConst());
  } else {
    clear();
    m_kind = other.m_kind;
  }
  return *this;
}

Variant& Variant::operator=(Variant&& other) noexcept {
  if (&other != this) {
    clear();
    m_kind = std::exchange(other.m_kind, KindEmpty);
    m_value = other.m_value;
    other.m_value.j = 0;
  }
  return *this;
}

Variant::~Variant() { clear(); }

void Variant::clear() {
  switch (m_kind) {
    case KindIntList: delete static_cast<IntList*>(m_value.p); break;
    case KindMatrix: delete static_cast<Matrix*>(m_value.p); break;
    case KindBinaryObject: delete static_cast<BinaryObject*>(m_value.p); break;
    case KindQuaternion: delete static_cast<Quaternion*>(m_value.p); break;
    case KindString:
    case KindText: delete[] textBuffer(); break;
    case KindLabelList: delete static_cast<LabelList*>(m_value.p); break;
    case KindVector: delete static_cast<Vector*>(m_value.p); break;
    default: break;
  }
  m_kind = KindEmpty;
  m_value.j = 0;
}

const char* Variant::typeName() const {
  switch (m_kind) {
    case KindBool: return "bool";
    case KindDouble: return "double";
    case KindInt32: return "int32_t";
    case KindInt64: return "int64_t";
    case KindIntList: return "Integer list";
    case KindMatrix: return "Matrix";
    case KindBinaryObject: return "Binary object";
    case KindQuaternion: return "Quaternion";
    case KindString:
    case KindText: return "String";
    case KindLabelList: return "String list";
    case KindVector: return "Vector";
    default: return "";
  }
}

bool Variant::typeMatches(const Variant& other) const {
  return m_kind == other.m_kind || (m_kind == KindText && other.m_kind == KindString);
}

bool Variant::isKnownKind(uint32_t kind) {
  switch (kind) {
    case KindBool:
    case KindDouble:
    case KindInt32:
    case KindInt64:
    case KindIntList:
    case KindMatrix:
    case KindBinaryObject:
    case KindQuaternion:
    case KindString:
    case KindText:
    case KindLabelList:
    case KindVector: return true;
    default: return false;
  }
}

// ---- setting and getting ----

void Variant::setText(const char* text, size_t length) {
  setTextOfKind(length < kStringCapacity ? KindString : KindText, text, length);
}

void Variant::setTextOfKind(uint32_t kind, const char* text, size_t length) {
  if (kind == KindString && length >= kStringCapacity) kind = KindText;
  if (length >= kTextCapacity) length = kTextCapacity - 1;
  // text may be this value's own buffer: it is copied before the old buffer is released.
  if (m_kind != kind) {
    char* buffer = new char[kind == KindString ? kStringCapacity : kTextCapacity];
    if (length != 0) std::memcpy(buffer, text, length);
    buffer[length] = '\0';
    clear();
    m_kind = kind;
    m_value.p = buffer;
    return;
  }
  if (length != 0) std::memmove(textBuffer(), text, length);
  textBuffer()[length] = '\0';
}

void Variant::set(uint32_t kind, const void* data) {
  if (kind == KindEmpty) kind = m_kind;
  if (kind == KindEmpty) return;
  if (kind == KindString || kind == KindText) {
    const char* text = static_cast<const char*>(data);
    if (text == nullptr) text = "";
    setText(text, std::strlen(text));
    return;
  }
  if (kind != m_kind) {
    clear();
    switch (kind) {
      case KindIntList: m_value.p = new IntList(); break;
      case KindMatrix: m_value.p = new Matrix(); break;
      case KindBinaryObject: m_value.p = new BinaryObject(); break;
      case KindQuaternion: m_value.p = new Quaternion(0.0, 0.0, 0.0, 0.0); break;
      case KindLabelList: m_value.p = new LabelList(); break;
      case KindVector: m_value.p = new Vector(); break;
      default: m_value.j = 0; break;
    }
    m_kind = kind;
  } else if (data == nullptr) {
    // Same kind, fresh value.
    switch (kind) {
      case KindIntList: static_cast<IntList*>(m_value.p)->clearItems(); break;
      case KindMatrix: *static_cast<Matrix*>(m_value.p) = Matrix(); break;
      case KindBinaryObject: static_cast<BinaryObject*>(m_value.p)->assign(0, nullptr); break;
      case KindQuaternion: *static_cast<Quaternion*>(m_value.p) = Quaternion(0.0, 0.0, 0.0, 0.0); break;
      case KindLabelList: static_cast<LabelList*>(m_value.p)->clearItems(); break;
      case KindVector: *static_cast<Vector*>(m_value.p) = Vector(); break;
      default: m_value.j = 0; break;
    }
  }
  if (data == nullptr) return;
  switch (kind) {
    case KindBool: m_value.b = *static_cast<const bool*>(data); break;
    case KindDouble: std::memcpy(&m_value.f, data, sizeof(double)); break;
    case KindInt32: std::memcpy(&m_value.i, data, sizeof(int32_t)); break;
    case KindInt64: std::memcpy(&m_value.j, data, sizeof(int64_t)); break;
    case KindIntList: *static_cast<IntList*>(m_value.p) = *static_cast<const IntList*>(data); break;
    case KindMatrix: *static_cast<Matrix*>(m_value.p) = *static_cast<const ZtMatrix*>(data); break;
    case KindBinaryObject:
      *static_cast<BinaryObject*>(m_value.p) = *static_cast<const BinaryObject*>(data);
      break;
    case KindQuaternion: *static_cast<Quaternion*>(m_value.p) = *static_cast<const ZtQuaternion*>(data); break;
    case KindLabelList: *static_cast<LabelList*>(m_value.p) = *static_cast<const LabelList*>(data); break;
    case KindVector: *static_cast<Vector*>(m_value.p) = *static_cast<const ZtVector*>(data); break;
    default: break;
  }
}

size_t Variant::setFromBinary(uint32_t kind, const void* data, size_t available) {
  if (kind == KindEmpty) kind = m_kind;
  const char* in = static_cast<const char*>(data);
  if (in == nullptr) available = 0;
  size_t used = 0;
  switch (kind) {
    case KindBool:
      if (available >= 1) {
        const bool b = in[0] != 0;
        set(kind, &b);
        used = 1;
      }
      break;
    case KindDouble:
    case KindInt64:
      if (available >= 8) {
        set(kind, in);
        used = 8;
      }
      break;
    case KindInt32:
      if (available >= 4) {
        set(kind, in);
        used = 4;
      }
      break;
    case KindString:
    case KindText: {
      const char* nul = static_cast<const char*>(std::memchr(in, '\0', available));
      if (nul != nullptr) {
        setTextOfKind(kind, in, static_cast<size_t>(nul - in));
        used = static_cast<size_t>(nul - in) + 1;
      }
      break;
    }
    case KindIntList:
    case KindMatrix:
    case KindBinaryObject:
    case KindQuaternion:
    case KindLabelList:
    case KindVector:
      if (available == 0) break;
      set(kind, nullptr);
      switch (kind) {
        case KindIntList: used = static_cast<IntList*>(m_value.p)->deserialize(in, available); break;
        case KindMatrix: {
          Matrix& m = *static_cast<Matrix*>(m_value.p);
          uint32_t dims[2];
          if (available >= 8 && (std::memcpy(dims, in, 8), dims[0] == 0 || dims[1] == 0)) {
            // Without elements the matrix is the empty 0 x 0 one (as a copy makes it): a hostile
            // 4e9 x 0 shape would otherwise cost a pass per row in every later operation.
            used = 8;
          } else {
            used = static_cast<size_t>(m.deserialize(in, available));
          }
          break;
        }
        case KindBinaryObject: used = static_cast<BinaryObject*>(m_value.p)->deserialize(in, available); break;
        case KindQuaternion:
          used = static_cast<size_t>(static_cast<Quaternion*>(m_value.p)->deserialize(in, available));
          break;
        case KindLabelList: used = static_cast<LabelList*>(m_value.p)->deserialize(in, available); break;
        case KindVector: used = static_cast<size_t>(static_cast<Vector*>(m_value.p)->deserialize(in, available)); break;
        default: break;
      }
      break;
    default: break;
  }
  if (used == 0) clear();
  return used;
}

void Variant::get(void* out, bool toBinary) const {
  if (out == nullptr || !isKnownKind(m_kind)) return;
  if (toBinary) {
    // serialize writes the kind byte first; the contents follow it.
    std::string image(serialize(nullptr), '\0');
    serialize(image.data());
    std::memcpy(out, image.data() + 1, image.size() - 1);
    return;
  }
  switch (m_kind) {
    case KindBool: *static_cast<bool*>(out) = m_value.b; break;
    case KindDouble: std::memcpy(out, &m_value.f, sizeof(double)); break;
    case KindInt32: std::memcpy(out, &m_value.i, sizeof(int32_t)); break;
    case KindInt64: std::memcpy(out, &m_value.j, sizeof(int64_t)); break;
    case KindIntList: *static_cast<IntList*>(out) = *static_cast<const IntList*>(m_value.p); break;
    case KindMatrix: ZtMatrix_copy(static_cast<ZtMatrix*>(out), static_cast<const Matrix*>(m_value.p)); break;
    case KindBinaryObject: *static_cast<BinaryObject*>(out) = *static_cast<const BinaryObject*>(m_value.p); break;
    case KindQuaternion: *static_cast<ZtQuaternion*>(out) = *static_cast<const Quaternion*>(m_value.p); break;
    case KindString:
    case KindText: std::strcpy(static_cast<char*>(out), textBuffer()); break;
    case KindLabelList: *static_cast<LabelList*>(out) = *static_cast<const LabelList*>(m_value.p); break;
    case KindVector: ZtVector_copy(static_cast<ZtVector*>(out), static_cast<const Vector*>(m_value.p)); break;
    default: break;
  }
}

void* Variant::getData() { return const_cast<void*>(getDataConst()); }

const void* Variant::getDataConst() const {
  switch (m_kind) {
    case KindBool: return &m_value.b;
    case KindDouble: return &m_value.f;
    case KindInt32: return &m_value.i;
    case KindInt64: return &m_value.j;
    default: return isKnownKind(m_kind) ? m_value.p : nullptr;
  }
}

// ---- accessors ----

void Variant::throwWrongKind(const char* what) { throw ZtException(ZRV_UNSUPPORTED, what); }

const char* Variant::toConstCString() const {
  if (!isText()) throwWrongKind("Contained data is not a String");
  return textBuffer();
}

const BinaryObject& Variant::toConstBinaryObject() const { return heldAs<BinaryObject>(KindBinaryObject, "Contained data is not a Binary Object"); }

const LabelList& Variant::toConstLabelList() const { return heldAs<LabelList>(KindLabelList, "Contained data is not a String List"); }

const IntList& Variant::toConstIntList() const { return heldAs<IntList>(KindIntList, "Contained data is not an IntList"); }

const Quaternion& Variant::toConstQuaternion() const { return heldAs<Quaternion>(KindQuaternion, "Contained data is not a Quaternion"); }

const Matrix& Variant::toConstMatrix() const { return heldAs<Matrix>(KindMatrix, "Contained data is not a Matrix"); }

const Vector& Variant::toConstVector() const { return heldAs<Vector>(KindVector, "Contained data is not a Vector"); }

// ---- conversions ----

double Variant::firstElement() const {
  switch (m_kind) {
    case KindIntList: {
      const IntList& list = *static_cast<const IntList*>(m_value.p);
      return list.count() == 0 ? 0.0 : static_cast<double>(list[0]);
    }
    case KindMatrix: {
      const Matrix& m = *static_cast<const Matrix*>(m_value.p);
      return m.rows == 0 || m.cols == 0 ? 0.0 : m.data[0];
    }
    case KindVector: {
      const Vector& v = *static_cast<const Vector*>(m_value.p);
      return v.size == 0 ? 0.0 : v.data[0];
    }
    default: return 0.0;
  }
}

const char* Variant::numericText() const {
  if (isText()) return textBuffer();
  if (m_kind == KindLabelList) {
    const LabelList& list = *static_cast<const LabelList*>(m_value.p);
    return list.count() == 0 ? nullptr : list[0].c_str();
  }
  return nullptr;
}

bool Variant::toBool() const {
  switch (m_kind) {
    case KindBool: return m_value.b;
    case KindDouble: return m_value.f != 0.0;
    case KindInt32: return m_value.i != 0;
    case KindInt64: return m_value.j != 0;
    case KindIntList: {
      const IntList& list = *static_cast<const IntList*>(m_value.p);
      for (uint32_t i = 0; i < list.count(); ++i)
        if (list[i] != 0) return true;
      return false;
    }
    case KindMatrix: {
      const Matrix& m = *static_cast<const Matrix*>(m_value.p);
      return m.rows != 0 && m.cols != 0 && (m.maxVal() != 0.0 || m.minVal() != 0.0);
    }
    case KindVector: {
      const Vector& v = *static_cast<const Vector*>(m_value.p);
      for (size_t i = 0; i < v.size; ++i)
        if (v.data[i] != 0.0) return true;
      return false;
    }
    case KindBinaryObject: return static_cast<const BinaryObject*>(m_value.p)->size() != 0;
    case KindQuaternion: return static_cast<const Quaternion*>(m_value.p)->isValid(0.0);
    case KindString:
    case KindText: return textBuffer()[0] != '\0';
    case KindLabelList: {
      const LabelList& list = *static_cast<const LabelList*>(m_value.p);
      for (uint32_t i = 0; i < list.count(); ++i)
        if (!list[i].empty()) return true;
      return false;
    }
    default: return false;
  }
}

int32_t Variant::toInt32() const {
  switch (m_kind) {
    case KindBool: return m_value.b ? 1 : 0;
    case KindDouble: return saturateInt32(m_value.f);
    case KindInt32: return m_value.i;
    case KindInt64: return static_cast<int32_t>(static_cast<uint32_t>(m_value.j));
    case KindIntList: {
      const IntList& list = *static_cast<const IntList*>(m_value.p);
      return list.count() == 0 ? 0 : static_cast<int32_t>(list[0]);
    }
    case KindMatrix:
    case KindVector: return saturateInt32(firstElement());
    case KindBinaryObject: {
      const BinaryObject& b = *static_cast<const BinaryObject*>(m_value.p);
      int32_t v = 0;
      if (b.size() >= 4) std::memcpy(&v, b.data(), 4);
      return v;
    }
    case KindQuaternion: return saturateInt32(static_cast<const Quaternion*>(m_value.p)->cartesianLength());
    case KindString:
    case KindText:
    case KindLabelList: {
      const char* text = numericText();
      return text == nullptr ? 0 : static_cast<int32_t>(static_cast<uint32_t>(std::strtol(text, nullptr, 10)));
    }
    default: return 0;
  }
}

uint32_t Variant::toUint32() const {
  switch (m_kind) {
    case KindDouble: return saturateUint32(m_value.f);
    case KindMatrix:
    case KindVector: return saturateUint32(firstElement());
    case KindQuaternion: return saturateUint32(static_cast<const Quaternion*>(m_value.p)->cartesianLength());
    default: return static_cast<uint32_t>(toInt32());
  }
}

int64_t Variant::toInt64() const {
  switch (m_kind) {
    case KindBool: return m_value.b ? 1 : 0;
    case KindDouble: return saturateInt64(m_value.f);
    case KindInt32: return m_value.i;
    case KindInt64: return m_value.j;
    case KindIntList: {
      const IntList& list = *static_cast<const IntList*>(m_value.p);
      return list.count() == 0 ? 0 : static_cast<int64_t>(list[0]);
    }
    case KindMatrix:
    case KindVector: return saturateInt64(firstElement());
    case KindBinaryObject: {
      const BinaryObject& b = *static_cast<const BinaryObject*>(m_value.p);
      int64_t v = 0;
      if (b.size() >= 8) std::memcpy(&v, b.data(), 8);
      return v;
    }
    case KindQuaternion: return saturateInt64(static_cast<const Quaternion*>(m_value.p)->cartesianLength());
    case KindString:
    case KindText:
    case KindLabelList: {
      const char* text = numericText();
      return text == nullptr ? 0 : static_cast<int64_t>(std::strtol(text, nullptr, 10));
    }
    default: return 0;
  }
}

uint64_t Variant::toUint64() const {
  switch (m_kind) {
    case KindDouble: return saturateUint64(m_value.f);
    case KindMatrix:
    case KindVector: return saturateUint64(firstElement());
    case KindQuaternion: return saturateUint64(static_cast<const Quaternion*>(m_value.p)->cartesianLength());
    default: return static_cast<uint64_t>(toInt64());
  }
}

double Variant::toDouble() const {
  switch (m_kind) {
    case KindBool: return m_value.b ? 1.0 : 0.0;
    case KindDouble: return m_value.f;
    case KindInt32: return m_value.i;
    case KindInt64: return static_cast<double>(m_value.j);
    case KindIntList:
    case KindMatrix:
    case KindVector: return firstElement();
    case KindBinaryObject: {
      const BinaryObject& b = *static_cast<const BinaryObject*>(m_value.p);
      double v = 0.0;
      if (b.size() >= 8) std::memcpy(&v, b.data(), 8);
      return v;
    }
    case KindQuaternion: return static_cast<const Quaternion*>(m_value.p)->cartesianLength();
    case KindString:
    case KindText:
    case KindLabelList: {
      const char* text = numericText();
      return text == nullptr ? 0.0 : std::strtod(text, nullptr);
    }
    default: return 0.0;
  }
}

float Variant::toFloat() const {
  if (m_kind == KindBinaryObject) {
    const BinaryObject& b = *static_cast<const BinaryObject*>(m_value.p);
    float v = 0.0f;
    if (b.size() >= 4) std::memcpy(&v, b.data(), 4);
    return v;
  }
  return static_cast<float>(toDouble());
}

Matrix Variant::toMatrix() const {
  switch (m_kind) {
    case KindBool:
    case KindDouble:
    case KindInt32:
    case KindInt64: {
      const double v = toDouble();
      return Matrix(1, 1, &v);
    }
    case KindIntList: {
      const IntList& list = *static_cast<const IntList*>(m_value.p);
      Matrix m(1, list.count());
      for (uint32_t i = 0; i < list.count(); ++i) m.data[i] = list[i];
      return m;
    }
    case KindVector: {
      const Vector& v = *static_cast<const Vector*>(m_value.p);
      return Matrix(1, v.size, v.data);
    }
    case KindMatrix: return *static_cast<const Matrix*>(m_value.p);
    case KindQuaternion: {
      Matrix m(3, 3);
      m.isQuat(*static_cast<const Quaternion*>(m_value.p));
      return m;
    }
    default: return Matrix();
  }
}

Vector Variant::toVector() const {
  switch (m_kind) {
    case KindBool:
    case KindDouble:
    case KindInt32:
    case KindInt64: {
      const double v = toDouble();
      return Vector(1, &v);
    }
    case KindIntList: {
      const IntList& list = *static_cast<const IntList*>(m_value.p);
      Vector v(list.count());
      for (uint32_t i = 0; i < list.count(); ++i) v.data[i] = list[i];
      return v;
    }
    case KindMatrix: {
      const Matrix& m = *static_cast<const Matrix*>(m_value.p);
      return m.rows == 0 ? Vector() : Vector(m.cols, m.data);
    }
    case KindQuaternion: return Vector(*static_cast<const ZtQuaternion*>(static_cast<const Quaternion*>(m_value.p)));
    case KindVector: return *static_cast<const Vector*>(m_value.p);
    default: return Vector();
  }
}

Quaternion Variant::toQuaternion() const {
  Quaternion q;  // identity
  switch (m_kind) {
    case KindQuaternion: return *static_cast<const Quaternion*>(m_value.p);
    case KindVector: {
      const Vector& v = *static_cast<const Vector*>(m_value.p);
      if (v.size == 4) q = Quaternion(v.data);
      break;
    }
    case KindIntList: {
      const IntList& list = *static_cast<const IntList*>(m_value.p);
      if (list.count() >= 4) {
        q = Quaternion(list[0], list[1], list[2], list[3]);
        q.isNormalizeSelf();
      } else if (list.count() == 3) {
        const double angles[3] = {static_cast<double>(list[0]), static_cast<double>(list[1]),
                                  static_cast<double>(list[2])};
        q.isEuler(Vector(3, angles));
      }
      break;
    }
    case KindMatrix: {
      const Matrix& m = *static_cast<const Matrix*>(m_value.p);
      if (m.rows >= 1 && m.cols >= 4) {
        q = Quaternion(m(0, 0), m(0, 1), m(0, 2), m(0, 3));
      } else if (m.rows >= 4 && m.cols >= 1) {
        q = Quaternion(m(0, 0), m(1, 0), m(2, 0), m(3, 0));
      } else if (m.rows == 3 && m.cols == 3) {
        q.isRmat(m);
      }
      break;
    }
    default: break;
  }
  return q;
}

IntList Variant::toIntList() const {
  IntList list;
  switch (m_kind) {
    case KindBool:
    case KindInt32:
    case KindInt64: list.append(toUint32()); break;
    case KindDouble: list.append(saturateUint32(m_value.f)); break;
    case KindIntList: list = *static_cast<const IntList*>(m_value.p); break;
    case KindMatrix: {
      const Matrix& m = *static_cast<const Matrix*>(m_value.p);
      if (m.rows == 0) break;
      list.reserve(static_cast<uint32_t>(m.cols));
      for (size_t c = 0; c < m.cols; ++c) list.append(saturateUint32(m.data[c]));
      break;
    }
    case KindVector: {
      const Vector& v = *static_cast<const Vector*>(m_value.p);
      list.reserve(static_cast<uint32_t>(v.size));
      for (size_t i = 0; i < v.size; ++i) list.append(saturateUint32(v.data[i]));
      break;
    }
    case KindQuaternion: {
      const Quaternion& q = *static_cast<const Quaternion*>(m_value.p);
      for (double v : {q.w, q.x, q.y, q.z}) list.append(saturateUint32(v));
      break;
    }
    default: break;
  }
  return list;
}

LabelList Variant::toLabelList() const {
  LabelList list;
  switch (m_kind) {
    case KindBool: list.append(m_value.b ? "true" : "false"); break;
    case KindDouble: appendLabel(list, "%f", m_value.f); break;
    case KindInt32: appendLabel(list, "%ld", static_cast<long>(m_value.i)); break;
    case KindInt64: appendLabel(list, "%ld", static_cast<long>(m_value.j)); break;
    case KindIntList: {
      const IntList& ints = *static_cast<const IntList*>(m_value.p);
      list.reserve(ints.count());
      // "%d" of each element: values above 2^31 - 1 read back negative, as they always have.
      for (uint32_t i = 0; i < ints.count(); ++i) appendLabel(list, "%ld", static_cast<long>(static_cast<int32_t>(ints[i])));
      break;
    }
    case KindMatrix: {
      const Matrix& m = *static_cast<const Matrix*>(m_value.p);
      for (size_t r = 0; r < m.rows; ++r)
        for (size_t c = 0; c < m.cols; ++c) appendLabel(list, "%f", m(r, c));
      break;
    }
    case KindQuaternion: {
      const Quaternion& q = *static_cast<const Quaternion*>(m_value.p);
      for (double v : {q.w, q.x, q.y, q.z}) appendLabel(list, "%f", v);
      break;
    }
    case KindVector: {
      const Vector& v = *static_cast<const Vector*>(m_value.p);
      for (size_t i = 0; i < v.size; ++i) appendLabel(list, "%f", v.data[i]);
      break;
    }
    case KindString:
    case KindText: {
      const char* p = textBuffer();
      while (*p != '\0') {
        while (isTextSeparator(*p)) ++p;
        if (*p == '\0') break;
        const char* start = p;
        while (*p != '\0' && !isTextSeparator(*p)) ++p;
        const size_t n = std::min<size_t>(static_cast<size_t>(p - start), Label::kMaxLength);
        char piece[Label::kCapacity];
        std::memcpy(piece, start, n);
        piece[n] = '\0';
        list.append(piece);
      }
      break;
    }
    case KindLabelList: list = *static_cast<const LabelList*>(m_value.p); break;
    default: break;
  }
  return list;
}

BinaryObject Variant::toBinaryObject() const {
  return m_kind == KindBinaryObject ? *static_cast<const BinaryObject*>(m_value.p) : BinaryObject();
}

std::string Variant::toStdString() const { return isText() ? std::string(textBuffer()) : std::string(); }

void Variant::toZtString(ZtString* out) const {
  if (out == nullptr) return;
  const char* text = isText() ? textBuffer() : "";
  ZtString_assign(out, std::strlen(text), text);
}

void Variant::setValueKeepType(const Variant& other) {
  if (&other == this) return;
  if (m_kind == other.m_kind || m_kind == KindEmpty || (m_kind == KindText && other.m_kind == KindString)) {
    *this = other;
    return;
  }
  switch (m_kind) {
    case KindBool: {
      const bool v = other.toBool();
      set(m_kind, &v);
      break;
    }
    case KindDouble: {
      const double v = other.toDouble();
      set(m_kind, &v);
      break;
    }
    case KindInt32: {
      const int32_t v = other.toInt32();
      set(m_kind, &v);
      break;
    }
    case KindInt64: {
      const int64_t v = other.toInt64();
      set(m_kind, &v);
      break;
    }
    case KindIntList: {
      const IntList v = other.toIntList();
      set(m_kind, &v);
      break;
    }
    case KindMatrix: {
      const Matrix v = other.toMatrix();
      set(m_kind, static_cast<const ZtMatrix*>(&v));
      break;
    }
    case KindQuaternion: {
      const Quaternion v = other.toQuaternion();
      set(m_kind, static_cast<const ZtQuaternion*>(&v));
      break;
    }
    case KindLabelList: {
      const LabelList v = other.toLabelList();
      set(m_kind, &v);
      break;
    }
    case KindVector: {
      const Vector v = other.toVector();
      set(m_kind, static_cast<const ZtVector*>(&v));
      break;
    }
    case KindBinaryObject: set(m_kind, nullptr); break;
    default: break;  // texts and unknown kinds keep their value
  }
}

// ---- comparison ----

bool Variant::operator==(const Variant& other) const {
  if (m_kind != other.m_kind) {
    return isText() && other.isText() && std::strcmp(textBuffer(), other.textBuffer()) == 0;
  }
  switch (m_kind) {
    case KindBool: return m_value.b == other.m_value.b;
    case KindDouble: return std::fabs(m_value.f - other.m_value.f) <= 1e-16 * std::fabs(m_value.f);
    case KindInt32: return m_value.i == other.m_value.i;
    case KindInt64: return m_value.j == other.m_value.j;
    case KindIntList: return *static_cast<const IntList*>(m_value.p) == *static_cast<const IntList*>(other.m_value.p);
    case KindMatrix:
      return *static_cast<const Matrix*>(m_value.p) == *static_cast<const ZtMatrix*>(static_cast<const Matrix*>(other.m_value.p));
    case KindVector:
      return *static_cast<const Vector*>(m_value.p) == *static_cast<const ZtVector*>(static_cast<const Vector*>(other.m_value.p));
    case KindQuaternion:
      return *static_cast<const Quaternion*>(m_value.p) ==
             *static_cast<const ZtQuaternion*>(static_cast<const Quaternion*>(other.m_value.p));
    case KindBinaryObject:
      return *static_cast<const BinaryObject*>(m_value.p) == *static_cast<const BinaryObject*>(other.m_value.p);
    case KindString:
    case KindText: return std::strcmp(textBuffer(), other.textBuffer()) == 0;
    case KindLabelList:
      return *static_cast<const LabelList*>(m_value.p) == *static_cast<const LabelList*>(other.m_value.p);
    default: return false;
  }
}

// ---- text form ----

int Variant::writeToString(char* out) const {
  std::string text;
  writeToString(text);
  if (out != nullptr) std::memcpy(out, text.c_str(), text.size() + 1);
  return static_cast<int>(text.size());
}

int Variant::writeToString(std::string& out) const {
  if (m_kind == KindEmpty) return 0;
  const size_t before = out.size();
  out += static_cast<char>(m_kind);
  out += ':';
  writeContentsToString(out, false);
  return static_cast<int>(out.size() - before);
}

int Variant::writeContentsToString(char* out, bool hex) const {
  std::string text;
  if (hex && isText()) {
    static const char kDigits[] = "0123456789ABCDEF";
    for (const char* p = textBuffer(); *p != '\0'; ++p) {
      if (p != textBuffer()) text += ' ';
      const unsigned char c = static_cast<unsigned char>(*p);
      text += kDigits[c >> 4];
      text += kDigits[c & 0x0F];
    }
  } else {
    writeContentsToString(text, hex);
  }
  if (out != nullptr) std::memcpy(out, text.c_str(), text.size() + 1);
  return static_cast<int>(text.size());
}

int Variant::writeContentsToString(std::string& out, bool hex) const {
  const size_t before = out.size();
  char buffer[64];
  switch (m_kind) {
    case KindBool: out += m_value.b ? 'Y' : 'N'; break;
    case KindDouble:
      std::snprintf(buffer, sizeof buffer, "%.16g", m_value.f);
      out += buffer;
      break;
    case KindInt32:
      std::snprintf(buffer, sizeof buffer, hex ? "0x%X" : "%d", hex ? static_cast<unsigned>(m_value.i) : m_value.i);
      out += buffer;
      break;
    case KindInt64:
      if (hex)
        std::snprintf(buffer, sizeof buffer, "0x%lX", static_cast<unsigned long>(m_value.j));
      else
        std::snprintf(buffer, sizeof buffer, "%ld", static_cast<long>(m_value.j));
      out += buffer;
      break;
    case KindIntList: static_cast<const IntList*>(m_value.p)->writeToString(out, hex); break;
    case KindMatrix: static_cast<const Matrix*>(m_value.p)->writeToString(out); break;
    case KindBinaryObject: static_cast<const BinaryObject*>(m_value.p)->writeToString(out); break;
    case KindQuaternion: static_cast<const Quaternion*>(m_value.p)->writeToString(out); break;
    case KindString:
    case KindText: out += textBuffer(); break;
    case KindLabelList: static_cast<const LabelList*>(m_value.p)->writeToString(out); break;
    case KindVector: static_cast<const Vector*>(m_value.p)->writeToString(out); break;
    default: break;
  }
  return static_cast<int>(out.size() - before);
}

int Variant::hexToText(char* out, size_t capacity, const char* text) {
  if (out == nullptr || capacity == 0) return 0;
  size_t n = 0;
  const char* p = text == nullptr ? "" : text;
  while (n + 1 < capacity) {
    while (isSpace(*p)) ++p;
    const char* digits = p;
    if (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X') && std::isxdigit(static_cast<unsigned char>(digits[2])))
      digits += 2;
    if (!std::isxdigit(static_cast<unsigned char>(*digits))) break;
    char* end = nullptr;
    const unsigned long v = std::strtoul(digits, &end, 16);
    out[n++] = static_cast<char>(v & 0xFF);
    p = end;
  }
  out[n] = '\0';
  return static_cast<int>(n);
}

int Variant::readFromString(const char* text, bool hex) {
  clear();
  if (text == nullptr || text[0] == '\0') return 0;
  const uint32_t kind = static_cast<unsigned char>(text[0]);
  // The second character (the colon) is skipped unexamined, but never past the end.
  const char* contents = text[1] == '\0' ? text + 1 : text + 2;
  const int head = static_cast<int>(contents - text);
  char* end = nullptr;
  int used = 0;
  switch (kind) {
    case KindBool: {
      const bool b = contents[0] == 'y' || contents[0] == 'Y' || contents[0] == '1';
      set(kind, &b);
      return head + (contents[0] != '\0' ? 1 : 0);
    }
    case KindDouble: {
      const double v = std::strtod(contents, &end);
      set(kind, &v);
      return head + static_cast<int>(end - contents);
    }
    case KindInt32: {
      int32_t v = 0;
      if (hex) {
        const char* digits = contents;
        while (isSpace(*digits)) ++digits;
        if (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits += 2;
        errno = 0;
        const unsigned long long u = std::strtoull(digits, &end, 16);
        if (end == digits) end = const_cast<char*>(contents);
        v = static_cast<int32_t>(static_cast<uint32_t>(u > 0xFFFFFFFFull || errno == ERANGE ? 0xFFFFFFFFull : u));
      } else {
        const long long w = std::strtoll(contents, &end, 10);
        v = w < INT32_MIN ? INT32_MIN : w > INT32_MAX ? INT32_MAX : static_cast<int32_t>(w);
      }
      set(kind, &v);
      return head + static_cast<int>(end - contents);
    }
    case KindInt64: {
      int64_t v = 0;
      if (hex) {
        const char* digits = contents;
        while (isSpace(*digits)) ++digits;
        if (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits += 2;
        const unsigned long long u = std::strtoull(digits, &end, 16);
        if (end == digits) end = const_cast<char*>(contents);
        v = static_cast<int64_t>(u);
      } else {
        v = std::strtoll(contents, &end, 10);
      }
      set(kind, &v);
      return head + static_cast<int>(end - contents);
    }
    case KindString:
    case KindText: {
      // The whole rest of the text is the value. The count is its trimmed length + 3 (kind, colon
      // and the end of the text); a text without its colon counts only its kind letter.
      const size_t length = trimmedLength(contents);
      if (hex) {
        char* buffer = new char[kTextCapacity];
        hexToText(buffer, kTextCapacity, contents);
        // A NUL among the bytes ends the text.
        setTextOfKind(kind, buffer, std::strlen(buffer));
        delete[] buffer;
      } else {
        setTextOfKind(kind, contents, length);
      }
      return head + static_cast<int>(length) + (head == 2 ? 1 : 0);
    }
    case KindIntList:
      set(kind, nullptr);
      used = static_cast<IntList*>(m_value.p)->readFromString(contents, hex);
      break;
    case KindMatrix: {
      set(kind, nullptr);
      // A shape without elements reads as the empty matrix (see setFromBinary), decided here
      // from the header alone: the numeric reader would make a pass per row of a 2e9 x 0 shape.
      size_t pos = 0;
      int rows = 0;
      int cols = 0;
      if (parseTextInt(contents, &pos, &rows) && contents[pos] == ',' && (++pos, parseTextInt(contents, &pos, &cols)) &&
          contents[pos] == ':' && rows >= 0 && cols >= 0 && (rows == 0 || cols == 0)) {
        used = static_cast<int>(pos) + 1;
      } else {
        used = static_cast<Matrix*>(m_value.p)->readFromString(contents);
      }
      break;
    }
    case KindBinaryObject:
      set(kind, nullptr);
      used = static_cast<BinaryObject*>(m_value.p)->readFromString(contents);
      break;
    case KindQuaternion:
      set(kind, nullptr);
      used = static_cast<Quaternion*>(m_value.p)->readFromString(contents);
      break;
    case KindLabelList:
      set(kind, nullptr);
      used = static_cast<LabelList*>(m_value.p)->readFromString(contents);
      break;
    case KindVector:
      set(kind, nullptr);
      used = static_cast<Vector*>(m_value.p)->readFromString(contents);
      break;
    default:
      m_kind = kind;
      return head;
  }
  if (used <= 0) {
    clear();
    return 0;
  }
  return head + used;
}

// ---- binary form ----

size_t Variant::serialize(char* out) const {
  char* contents = out == nullptr ? nullptr : out + 1;
  if (out != nullptr) out[0] = static_cast<char>(m_kind);
  size_t n = 0;
  switch (m_kind) {
    case KindBool:
      if (contents != nullptr) contents[0] = m_value.b ? 1 : 0;
      n = 1;
      break;
    case KindDouble:
    case KindInt64:
      if (contents != nullptr) std::memcpy(contents, &m_value.j, 8);
      n = 8;
      break;
    case KindInt32:
      if (contents != nullptr) std::memcpy(contents, &m_value.i, 4);
      n = 4;
      break;
    case KindIntList: n = static_cast<const IntList*>(m_value.p)->serialize(contents); break;
    case KindMatrix: {
      const Matrix& m = *static_cast<const Matrix*>(m_value.p);
      if (m.rows == 0 || m.cols == 0) {
        // Without elements only the dimensions are written (the matrix has no storage to copy).
        if (contents != nullptr) {
          const uint32_t dims[2] = {static_cast<uint32_t>(m.rows), static_cast<uint32_t>(m.cols)};
          std::memcpy(contents, dims, 8);
        }
        n = 8;
      } else {
        n = static_cast<size_t>(m.serialize(contents));
      }
      break;
    }
    case KindBinaryObject: n = static_cast<const BinaryObject*>(m_value.p)->serialize(contents); break;
    case KindQuaternion: n = static_cast<size_t>(static_cast<const Quaternion*>(m_value.p)->serialize(contents)); break;
    case KindString:
    case KindText:
      n = std::strlen(textBuffer()) + 1;
      if (contents != nullptr) std::memcpy(contents, textBuffer(), n);
      break;
    case KindLabelList: n = static_cast<const LabelList*>(m_value.p)->serialize(contents); break;
    case KindVector: n = static_cast<size_t>(static_cast<const Vector*>(m_value.p)->serialize(contents)); break;
    default: break;
  }
  return 1 + n;
}

size_t Variant::deserialize(const char* in, size_t available) {
  clear();
  if (in == nullptr || available == 0) return 0;
  const uint32_t kind = static_cast<unsigned char>(in[0]);
  if (kind == KindEmpty) return 1;
  if (!isKnownKind(kind)) {
    m_kind = kind;
    return 1;
  }
  const size_t used = setFromBinary(kind, in + 1, available - 1);
  return used == 0 ? 0 : used + 1;
}

}  // namespace zelto
