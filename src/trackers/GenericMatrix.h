#pragma once
// A small matrix of plain elements over a malloc'd array, copyable by value. The device
// record hands out its output configuration (32 rows of two 16-bit values) in one of these.
// Element (r, c) is element r * columns + c of the array.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace zelto {

template <typename T>
class GenericMatrix {
 public:
  GenericMatrix() = default;
  // rows x cols elements, all zero; throws std::bad_alloc when the array cannot be allocated.
  GenericMatrix(int32_t rows, int32_t cols) { allocate(rows, cols); }
  GenericMatrix(const GenericMatrix& other) {
    allocate(other.m_rows, other.m_cols);
    if (m_data && other.m_data) std::memcpy(m_data, other.m_data, byteCount());
  }
  GenericMatrix& operator=(const GenericMatrix& other) {
    if (this == &other) return *this;
    GenericMatrix copy(other);
    swap(copy);
    return *this;
  }
  virtual ~GenericMatrix() {
    std::free(m_data);
    m_data = nullptr;
  }

  int32_t rows() const { return m_rows; }
  int32_t cols() const { return m_cols; }
  T* data() { return m_data; }
  const T* data() const { return m_data; }
  T& operator()(int32_t r, int32_t c) { return m_data[static_cast<size_t>(r) * m_cols + c]; }
  const T& operator()(int32_t r, int32_t c) const { return m_data[static_cast<size_t>(r) * m_cols + c]; }

 private:
  size_t count() const {
    return (m_rows > 0 && m_cols > 0) ? static_cast<size_t>(m_rows) * static_cast<size_t>(m_cols) : 0;
  }
  size_t byteCount() const { return count() * sizeof(T); }
  void allocate(int32_t rows, int32_t cols) {
    m_rows = rows;
    m_cols = cols;
    size_t n = byteCount();
    if (n == 0) return;
    m_data = static_cast<T*>(std::calloc(count(), sizeof(T)));
    if (!m_data) {
      m_rows = m_cols = 0;
      throw std::bad_alloc();
    }
  }
  void swap(GenericMatrix& other) noexcept {
    T* d = m_data;
    m_data = other.m_data;
    other.m_data = d;
    int32_t r = m_rows, c = m_cols;
    m_rows = other.m_rows;
    m_cols = other.m_cols;
    other.m_rows = r;
    other.m_cols = c;
  }

  // Member order is part of the type's contract: array, then rows, then columns.
  T* m_data = nullptr;
  int32_t m_rows = 0;
  int32_t m_cols = 0;
};

}  // namespace zelto
