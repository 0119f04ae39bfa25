#ifndef ZDA_TESTS_SUPPORT_SPARSEFIXTURES_H
#define ZDA_TESTS_SUPPORT_SPARSEFIXTURES_H
// Fixtures of the sparse vector and matrix tests: allocators that count or never give back,
// random sparse values beside their dense equal, and checkers of the skip-list structure and
// of the agreement between a matrix's row and column lists.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <tuple>
#include <vector>

#include "math/Matrix.h"
#include "math/Vector.h"
#include "math/sparse/Allocator.h"
#include "math/sparse/SparseMatrix.h"
#include "math/sparse/SparseVector.h"

namespace sparsetest {

using zelto::Matrix;
using zelto::SparseMatrix;
using zelto::SparseVector;
using zelto::Vector;

// Hands out C-library memory with a size prefix, so it knows the live bytes at every moment.
class CountingAllocator : public Allocator {
 public:
  void* malloc(size_t size) override {
    ++mallocs;
    return place(std::malloc(size + kPrefix), size);
  }
  void free(void* p) override {
    if (p == nullptr) return;
    ++frees;
    char* base = static_cast<char*>(p) - kPrefix;
    liveBytes -= sizeOf(base);
    std::free(base);
  }
  void* realloc(void* p, size_t size) override {
    ++reallocs;
    if (p == nullptr) return place(std::malloc(size + kPrefix), size);
    char* base = static_cast<char*>(p) - kPrefix;
    const size_t old = sizeOf(base);
    void* q = std::realloc(base, size + kPrefix);
    if (q == nullptr) throw std::bad_alloc();
    liveBytes -= old;
    return place(q, size);
  }
  // Every malloc and realloc this allocator served since the last reset.
  size_t calls() const { return mallocs + reallocs; }

  size_t liveBytes = 0;
  size_t mallocs = 0;
  size_t frees = 0;
  size_t reallocs = 0;

 private:
  static constexpr size_t kPrefix = 16;
  static size_t sizeOf(const char* base) {
    size_t n;
    std::memcpy(&n, base, sizeof n);
    return n;
  }
  void* place(void* base, size_t size) {
    if (base == nullptr) throw std::bad_alloc();
    std::memcpy(base, &size, sizeof size);
    liveBytes += size;
    return static_cast<char*>(base) + kPrefix;
  }
};

// Bump allocator over fixed chunks that cannot give anything back: every byte lives until the
// arena goes. Counts the frees it is (wrongly) asked for.
class ArenaAllocator : public Allocator {
 public:
  bool canFree() const override { return false; }
  void* malloc(size_t size) override {
    size = (size + kPrefix + 15) & ~size_t{15};
    if (m_chunks.empty() || m_used + size > kChunk) {
      m_chunks.emplace_back(new char[std::max(kChunk, size)]);
      m_used = 0;
    }
    char* p = m_chunks.back().get() + m_used;
    m_used += size;
    handedOut += size;
    std::memcpy(p, &size, sizeof size);
    return p + kPrefix;
  }
  void free(void*) override { ++frees; }
  void* realloc(void* p, size_t size) override {
    void* q = malloc(size);
    if (p != nullptr) {
      size_t old;
      std::memcpy(&old, static_cast<char*>(p) - kPrefix, sizeof old);
      std::memcpy(q, p, std::min(old - kPrefix, size));
    }
    return q;
  }

  size_t handedOut = 0;
  size_t frees = 0;

 private:
  static constexpr size_t kPrefix = 16;
  static constexpr size_t kChunk = 1 << 16;
  std::vector<std::unique_ptr<char[]>> m_chunks;
  size_t m_used = 0;
};

enum class Kinds { Both, RowsOnly, ColsOnly };

inline const char* kindsName(Kinds k) {
  return k == Kinds::Both ? "both" : k == Kinds::RowsOnly ? "rows" : "cols";
}

inline SparseMatrix makeMatrix(ZtSize rows, ZtSize cols, Kinds kinds, Allocator* allocator = nullptr) {
  return SparseMatrix(rows, cols, kinds != Kinds::ColsOnly, kinds != Kinds::RowsOnly, allocator);
}

// Values in [-1, 1) without 0, so stored entries and dense non-zeros coincide.
inline double randomValue(std::mt19937_64& rng) {
  std::uniform_real_distribution<double> d(-1.0, 1.0);
  double x;
  do x = d(rng);
  while (x == 0.0);
  return x;
}

inline Matrix randomDense(ZtSize rows, ZtSize cols, double density, std::mt19937_64& rng) {
  Matrix m(rows, cols);
  std::bernoulli_distribution keep(density);
  for (ZtSize r = 0; r < rows; ++r)
    for (ZtSize c = 0; c < cols; ++c)
      if (keep(rng)) m(r, c) = randomValue(rng);
  return m;
}

// Writes the non-zero elements of d in random order through setValue.
inline void fillShuffled(SparseMatrix& s, const Matrix& d, std::mt19937_64& rng) {
  std::vector<std::pair<ZtSize, ZtSize>> cells;
  for (ZtSize r = 0; r < d.rows; ++r)
    for (ZtSize c = 0; c < d.cols; ++c)
      if (d(r, c) != 0.0) cells.emplace_back(r, c);
  std::shuffle(cells.begin(), cells.end(), rng);
  for (const auto& [r, c] : cells) s.setValue(r, c, d(r, c));
}

inline Vector randomDenseVector(ZtSize n, double density, std::mt19937_64& rng) {
  Vector v(n);
  std::bernoulli_distribution keep(density);
  for (ZtSize i = 0; i < n; ++i)
    if (keep(rng)) v[i] = randomValue(rng);
  return v;
}

inline void fillShuffled(SparseVector& s, const Vector& d, std::mt19937_64& rng) {
  std::vector<ZtSize> idx;
  for (ZtSize i = 0; i < d.size; ++i)
    if (d[i] != 0.0) idx.push_back(i);
  std::shuffle(idx.begin(), idx.end(), rng);
  for (ZtSize i : idx) s[i] = d[i];
}

using Entry = std::tuple<ZtSize, ZtSize, double>;

// The stored entries of one kind as (row, column, value), sorted.
inline std::vector<Entry> rowEntries(const SparseMatrix& m) {
  std::vector<Entry> out;
  for (ZtSize r = 0; r < m.rows(); ++r)
    for (auto* n = m.rowList(r).list().first(); n != nullptr; n = n->next()) out.emplace_back(r, n->key, n->value);
  return out;
}

inline std::vector<Entry> colEntries(const SparseMatrix& m) {
  std::vector<Entry> out;
  for (ZtSize c = 0; c < m.cols(); ++c)
    for (auto* n = m.colList(c).list().first(); n != nullptr; n = n->next()) out.emplace_back(n->key, c, n->value);
  std::sort(out.begin(), out.end());
  return out;
}

// Skip-list shape: level 0 strictly increasing, every level a subsequence of the one below,
// nothing linked at or above the list's level + 1, levels below maxLevel.
template <typename List>
::testing::AssertionResult listWellFormed(const List& list) {
  const auto* header = list.header();
  if (list.level() < 0 || list.level() >= list.maxLevel())
    return ::testing::AssertionFailure() << "level " << list.level() << " of maxLevel " << list.maxLevel();
  for (int i = list.level() + 1; i < list.maxLevel(); ++i)
    if (header->forward()[i] != nullptr) return ::testing::AssertionFailure() << "link above level at " << i;
  if (list.level() > 0 && header->forward()[list.level()] == nullptr)
    return ::testing::AssertionFailure() << "level " << list.level() << " not in use";
  for (auto* n = header->forward()[0]; n != nullptr && n->next() != nullptr; n = n->next())
    if (!(n->key < n->next()->key)) return ::testing::AssertionFailure() << "level 0 not increasing at " << n->key;
  for (int i = 1; i <= list.level(); ++i) {
    auto* below = header->forward()[i - 1];
    for (auto* n = header->forward()[i]; n != nullptr; n = n->forward()[i]) {
      while (below != nullptr && below != n) below = below->forward()[i - 1];
      if (below == nullptr) return ::testing::AssertionFailure() << "level " << i << " not a subsequence at " << n->key;
    }
  }
  return ::testing::AssertionSuccess();
}

// Both kinds (when present) hold the same entries, and every list is well formed.
inline ::testing::AssertionResult kindsAgree(const SparseMatrix& m) {
  if (m.hasRowData())
    for (ZtSize r = 0; r < m.rows(); ++r) {
      auto res = listWellFormed(m.rowList(r).list());
      if (!res) return res << " (row " << r << ")";
    }
  if (m.hasColData())
    for (ZtSize c = 0; c < m.cols(); ++c) {
      auto res = listWellFormed(m.colList(c).list());
      if (!res) return res << " (column " << c << ")";
    }
  if (m.hasRowData() && m.hasColData() && rowEntries(m) != colEntries(m))
    return ::testing::AssertionFailure() << "row and column lists differ";
  return ::testing::AssertionSuccess();
}

// Dense picture of the stored entries (through whichever kind exists).
inline Matrix denseOf(const SparseMatrix& m) {
  Matrix d(m.rows(), m.cols());
  m.forEach(&d, [](void* ctx, ZtSize r, ZtSize c, double x) { (*static_cast<Matrix*>(ctx))(r, c) = x; });
  return d;
}

inline Vector denseOf(const SparseVector& v) {
  Vector d(v.size());
  v.forEach(&d, [](void* ctx, ZtSize i, double x) { (*static_cast<Vector*>(ctx))[i] = x; });
  return d;
}

inline ::testing::AssertionResult sameDense(const ZtMatrix& got, const ZtMatrix& want, double relTol = 0.0) {
  if (got.rows != want.rows || got.cols != want.cols)
    return ::testing::AssertionFailure() << "size " << got.rows << "x" << got.cols << " != " << want.rows << "x"
                                         << want.cols;
  for (ZtSize r = 0; r < got.rows; ++r)
    for (ZtSize c = 0; c < got.cols; ++c) {
      const double g = got.data[r * got.stride + c], w = want.data[r * want.stride + c];
      if (g == w) continue;
      if (relTol > 0.0 && std::abs(g - w) <= relTol * std::max(std::abs(w), 1e-300)) continue;
      return ::testing::AssertionFailure() << "(" << r << ", " << c << "): " << g << " != " << w;
    }
  return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult sameDense(const ZtVector& got, const ZtVector& want, double relTol = 0.0) {
  if (got.size != want.size) return ::testing::AssertionFailure() << "size " << got.size << " != " << want.size;
  for (ZtSize i = 0; i < got.size; ++i) {
    const double g = got.data[i], w = want.data[i];
    if (g == w) continue;
    if (relTol > 0.0 && std::abs(g - w) <= relTol * std::max(std::abs(w), 1e-300)) continue;
    return ::testing::AssertionFailure() << "[" << i << "]: " << g << " != " << w;
  }
  return ::testing::AssertionSuccess();
}

}  // namespace sparsetest

#endif
