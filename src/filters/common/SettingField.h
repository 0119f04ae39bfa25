#pragma once
// One persisted value of a record as a row of a key table: the settings key, the stored form and
// the member it lives in. Records with long key lists (run-time parameters, scenarios, states)
// describe them once as such a table and walk it with ZeltoParams::readFields / writeFields, so
// that reading and writing use the same keys and forms; a reader whose order differs from the
// writer's reorders a copy of the table.
//
// A table points into one record; it is built on the stack for one read or write.
#include <cstddef>
#include <cstdint>

#include "math/Matrix.h"
#include "math/Quaternion.h"
#include "math/Vector.h"

struct SettingField {
  enum Kind : uint8_t {
    Real,               // double: written 'F', read as a number
    Flag,               // bool: written 'B', read by the boolean conversion
    Int32,              // int32_t: written 'I', read as a signed 32-bit integer
    Int32ReadUnsigned,  // int32_t: written 'I', read by the unsigned conversion
    Uint16,             // uint16_t: written as unsigned 32-bit, read unsigned, low 16 bits kept
    Uint16Word,         // uint16_t: written 'J', read as signed 32-bit, low 16 bits kept
    Uint64Low32,        // uint64_t: its low 32 bits written as unsigned 32-bit, read unsigned
    Uint32,             // uint32_t: written as unsigned 32-bit, read by the unsigned conversion
    RealCount,          // double holding a count: written 'F', read by the unsigned conversion
    VectorAll,          // zelto::Vector: a stored vector of at least its size (else throws)
    LeadingValues,      // double[count]: the leading values of the stored value converted to a
                        // vector, at most count; the rest kept. Written as a vector of count.
    ValuesAll,          // double[count]: a stored vector of at least count values (else throws)
    MatrixAll,          // zelto::Matrix: a stored matrix of at least its shape (else throws)
    QuaternionValue,    // zelto::Quaternion: a stored quaternion or a vector of four (else throws)
  };

  static SettingField real(const char* key, double& v) { return {key, Real, &v, 1}; }
  static SettingField flag(const char* key, bool& v) { return {key, Flag, &v, 1}; }
  static SettingField int32(const char* key, int32_t& v) { return {key, Int32, &v, 1}; }
  static SettingField int32ReadUnsigned(const char* key, int32_t& v) { return {key, Int32ReadUnsigned, &v, 1}; }
  static SettingField uint16(const char* key, uint16_t& v) { return {key, Uint16, &v, 1}; }
  static SettingField uint16Word(const char* key, uint16_t& v) { return {key, Uint16Word, &v, 1}; }
  static SettingField uint64Low32(const char* key, uint64_t& v) { return {key, Uint64Low32, &v, 1}; }
  static SettingField uint32(const char* key, uint32_t& v) { return {key, Uint32, &v, 1}; }
  static SettingField realCount(const char* key, double& v) { return {key, RealCount, &v, 1}; }
  static SettingField vector(const char* key, zelto::Vector& v) { return {key, VectorAll, &v, 1}; }
  static SettingField leadingValues(const char* key, double* v, uint32_t count) {
    return {key, LeadingValues, v, count};
  }
  static SettingField values(const char* key, double* v, uint32_t count) { return {key, ValuesAll, v, count}; }
  static SettingField matrix(const char* key, zelto::Matrix& v) { return {key, MatrixAll, &v, 1}; }
  static SettingField quaternion(const char* key, zelto::Quaternion& v) { return {key, QuaternionValue, &v, 1}; }

  const char* key;
  Kind kind;
  void* target;
  uint32_t count = 1;  // elements of a LeadingValues target
};
