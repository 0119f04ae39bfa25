// Storage model of zelto::Vector and zelto::Matrix (owned records, views over caller storage,
// resizing rules), comparison, and the text, binary and MAT-file forms.
#include <gtest/gtest.h>

#include <chrono>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <new>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "errors/ZtException.h"
#include "math/Matrix.h"
#include "math/Matrix3x3.h"
#include "math/MatrixF.h"
#include "math/Vector.h"
#include "math/Vector3.h"
#include "math/VectorF.h"
#include "support/TempDir.h"

using namespace zelto;
using zelto::test::TempDir;

namespace {

std::vector<double> items(const ZtVector& v) { return std::vector<double>(v.data, v.data + v.size); }

std::vector<double> storageElements(const ZtMatrix& m) {
  std::vector<double> out;
  for (ZtSize r = 0; r < m.rows; ++r)
    for (ZtSize c = 0; c < m.cols; ++c) out.push_back(m.data[r * m.stride + c]);
  return out;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

uint32_t u32At(const std::string& s, size_t at) {
  uint32_t v;
  std::memcpy(&v, s.data() + at, 4);
  return v;
}

// ---- Vector storage -----------------------------------------------------------------------

TEST(VectorStorage, Constructors) {
  const Vector empty;
  EXPECT_EQ(empty.data, nullptr);
  EXPECT_EQ(empty.size, 0u);
  EXPECT_EQ(empty.flags, 0);
  EXPECT_EQ(Vector(0).data, nullptr);

  const double src[3] = {1, 2, 3};
  const Vector copied(3, src);
  EXPECT_NE(copied.data, src);
  EXPECT_EQ(copied.flags & kOwnedStorage, kOwnedStorage);
  EXPECT_EQ(items(copied), (std::vector<double>{1, 2, 3}));

  double storage[4] = {4, 5, 6, 7};
  const Vector view(4, storage, 0);
  EXPECT_EQ(view.data, storage);
  EXPECT_EQ(view.flags, 0);

  // Copies of a view are owned deep copies.
  Vector deep(view);
  storage[0] = 40;
  EXPECT_NE(deep.data, storage);
  EXPECT_EQ(deep[0], 4.0);
  EXPECT_EQ(deep.flags & kOwnedStorage, kOwnedStorage);

  const Vector fromQuat(ZtQuaternion{1, 2, 3, 4});
  EXPECT_EQ(items(fromQuat), (std::vector<double>{1, 2, 3, 4}));

  EXPECT_EQ(items(Vector::constructRange(0, 0.5, 2)), (std::vector<double>{0, 0.5, 1, 1.5, 2}));
  EXPECT_EQ(Vector::constructRange(2, 1, 0).size, 0u);
}

TEST(VectorStorage, AssignmentIntoViewKeepsStorage) {
  double storage[3] = {0, 0, 0};
  Vector view(3, storage, 0);
  const double src[3] = {7, 8, 9};
  view = Vector(3, src);
  EXPECT_EQ(view.data, storage);
  EXPECT_EQ(storage[2], 9.0);
  view = static_cast<const double*>(nullptr);  // ignored
  EXPECT_EQ(storage[0], 7.0);

  Vector3 fixed(1, 2, 3);
  Vector3 other(fixed);
  EXPECT_EQ(other.data, &other[0]);
  EXPECT_NE(other.data, fixed.data);
  EXPECT_EQ(other.flags, kInternalStorage);
  other = Vector3(4, 5, 6);
  EXPECT_EQ(items(other), (std::vector<double>{4, 5, 6}));

  VectorF<5> f;
  EXPECT_EQ(f.size, 5u);
  VectorF<5> g(f);
  EXPECT_EQ(g.data, &g[0]);
}

TEST(VectorStorage, FixedPointConversionAndMatrixValidity) {
  const int32_t raw[3] = {1 << 20, -(3 << 19), 1};
  const Vector3 v = toVector3(raw, 20);
  EXPECT_EQ(v.data, &v[0]);
  EXPECT_EQ(items(v), (std::vector<double>{1.0, -1.5, std::pow(2.0, -20)}));

  const double src[4] = {1, -3, 2, 0};
  Matrix m(2, 2, src);
  EXPECT_TRUE(m.isValid(0.0));
  EXPECT_TRUE(m.isValid(3.0));
  EXPECT_FALSE(m.isValid(2.5));
  m(1, 1) = std::numeric_limits<double>::quiet_NaN();
  EXPECT_FALSE(m.isValid(-1.0));
  EXPECT_TRUE(Matrix().isValid(1.0));
}

TEST(VectorStorage, RelocateReleasesOwnedStorage) {
  Vector v(3);
  double storage[3] = {1, 2, 3};
  v.relocate(storage, 0);  // the owned block is freed (ASan reports a leak otherwise)
  EXPECT_EQ(v.data, storage);
  EXPECT_EQ(v.size, 3u);
  EXPECT_EQ(v.flags, 0);
  v.relocate(storage, 2);  // same pointer: nothing happens
  EXPECT_EQ(v.flags, 0);
}

TEST(VectorStorage, ResizingRules) {
  double storage[3] = {1, 2, 3};
  Vector view(3, storage, 0);
  try {
    view.changeSize(5);
    FAIL() << "a view with storage must not be resized";
  } catch (const ZtException& e) {
    EXPECT_EQ(e.result(), 256);
    const std::string text = e.what();
    EXPECT_EQ(text.rfind("256: ", 0), 0u) << text;
    EXPECT_NE(text.find("\tInfo: void zelto::Vector::changeSize(ZtSize) Resizing of this object is not allowed"),
              std::string::npos)
        << text;
  }
  EXPECT_EQ(view.data, storage);
  EXPECT_EQ(view.size, 3u);
  EXPECT_THROW(view.insertItems(0, 1, 0.0), ZtException);

  // An empty view can be sized by changeSize but not by insertItems (its flags lack bit 1).
  Vector empty(0, nullptr, 0);
  EXPECT_THROW(empty.insertItems(0, 1, 1.0), ZtException);
  empty.changeSize(2);
  EXPECT_EQ(empty.size, 2u);
  EXPECT_EQ(empty.flags & kOwnedStorage, kOwnedStorage);

  const double src[3] = {1, 2, 3};
  Vector v(3, src);
  v.changeSize(5);
  EXPECT_EQ(std::vector<double>(v.data, v.data + 3), (std::vector<double>{1, 2, 3}));
  v.changeSize(2);
  EXPECT_EQ(items(v), (std::vector<double>{1, 2}));
  v.changeSize(0);
  EXPECT_EQ(v.size, 0u);

  Vector w(3, src);
  w.insertItems(1, 2, 7.0);
  EXPECT_EQ(items(w), (std::vector<double>{1, 7, 7, 2, 3}));
  w.insertItems(5, 1, 9.0);
  EXPECT_EQ(items(w), (std::vector<double>{1, 7, 7, 2, 3, 9}));
  w.insertItems(0, 0, 9.0);
  EXPECT_EQ(w.size, 6u);
}

TEST(VectorStorage, ValidityAndComparison) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    std::vector<double> v;
    double maxAbs;
    bool valid;
  } cases[] = {
      {{}, 1.0, true},        {{1, -2}, 0.0, true},  {{1, -2}, 2.0, true},
      {{1, -2.5}, 2.0, false}, {{1, nan}, 0.0, false}, {{INFINITY}, -1.0, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Vector(c.v.size(), c.v.data()).isValid(c.maxAbs), c.valid) << c.maxAbs;

  const Vector a, b;
  EXPECT_FALSE(a == b);
  EXPECT_TRUE(a != b);
  EXPECT_FALSE(a.compare(b));
  const double x[2] = {1.0, 2.0};
  const double y[2] = {1.0, std::nextafter(2.0, 3.0)};
  const Vector vx(2, x), vy(2, y);
  EXPECT_TRUE(vx == Vector(2, x));
  EXPECT_FALSE(vx == vy);
  EXPECT_TRUE(vx.compare(vy, 1e-15));
  EXPECT_TRUE(vx.compare(vy, uint64_t{1}));
  EXPECT_FALSE(vx.compare(vy, uint64_t{0}));
  EXPECT_FALSE(vx.compare(Vector(1, x), 1.0));
}

// ---- Vector forms -------------------------------------------------------------------------

TEST(VectorForms, TextForm) {
  const double src[2] = {1, 0.5};
  const Vector v(2, src);
  char buffer[64];
  EXPECT_EQ(v.writeToString(nullptr), 9);
  EXPECT_EQ(v.writeToString(buffer), 9);
  EXPECT_STREQ(buffer, "2: 1 0.5 ");
  std::string s = "x";
  EXPECT_EQ(v.writeToString(s), 9);
  EXPECT_EQ(s, "x2: 1 0.5 ");

  Vector r;
  EXPECT_EQ(r.readFromString("2: 1 0.5 "), 8);  // the trailing blank is not consumed
  EXPECT_EQ(items(r), (std::vector<double>{1, 0.5}));
  EXPECT_EQ(r.readFromString(std::string("0: ")), 2);
  EXPECT_EQ(r.size, 0u);
}

TEST(VectorForms, TextFormRejectsBadInput) {
  const double src[2] = {1, 2};
  struct Case {
    const char* text;
    size_t sizeAfter;
  } cases[] = {
      {"x", 2},                    // no header
      {"2 1 2", 2},                // no colon
      {"-3: 1 2 3", 2},            // negative size
      {"4000000000: 1", 2},        // beyond int
      {"1000000: 1 2", 2},         // more items than the text could hold
      {"3: 1 2", 3},               // missing item: sized, partial contents
      {"2: 1 z", 2},               // bad item
  };
  for (const Case& c : cases) {
    Vector v(2, src);
    EXPECT_EQ(v.readFromString(c.text), 0) << c.text;
    EXPECT_EQ(v.size, c.sizeAfter) << c.text;
  }
}

TEST(VectorForms, BinaryFormAndBoundedReader) {
  const double src[2] = {1.5, -2.25};
  const Vector v(2, src);
  EXPECT_EQ(v.serialize(nullptr), 20);
  char buffer[20];
  EXPECT_EQ(v.serialize(buffer), 20);
  EXPECT_EQ(u32At(std::string(buffer, 20), 0), 2u);

  Vector r;
  EXPECT_EQ(r.deserialize(buffer), 20);
  EXPECT_EQ(items(r), items(v));

  // A byte count that does not cover the declared items: nothing read, nothing changed.
  Vector bounded(1, src);
  EXPECT_EQ(bounded.deserialize(buffer, 19), 0);
  EXPECT_EQ(bounded.deserialize(buffer, 3), 0);
  EXPECT_EQ(items(bounded), (std::vector<double>{1.5}));
  char huge[4];
  const uint32_t n = 0xFFFFFFFFu;
  std::memcpy(huge, &n, 4);
  EXPECT_EQ(bounded.deserialize(huge, sizeof huge), 0);
  EXPECT_EQ(bounded.deserialize(buffer, 20), 20);
  EXPECT_EQ(items(bounded), items(v));
}

TEST(VectorForms, RandomRoundTrips) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> exponent(-300, 300);
  std::uniform_int_distribution<int> count(0, 40);
  for (int round = 0; round < 50; ++round) {
    Vector v(count(rng));
    for (ZtSize i = 0; i < v.size; ++i) v[i] = (rng() % 2 ? -1 : 1) * std::pow(10.0, exponent(rng));
    std::string text;
    v.writeToString(text);
    Vector t;
    ASSERT_EQ(t.readFromString(text), static_cast<int>(text.size()) - 1);
    ASSERT_EQ(t.size, v.size);
    // "%.16g" keeps 16 significant digits: a few ulps at most.
    for (ZtSize i = 0; i < v.size; ++i) EXPECT_LE(ulpDiff(v[i], t[i]), 4u);

    std::vector<char> bytes(v.serialize(nullptr));
    v.serialize(bytes.data());
    Vector b;
    ASSERT_EQ(b.deserialize(bytes.data(), bytes.size()), static_cast<int>(bytes.size()));
    EXPECT_EQ(items(b), items(v));
  }
}

TEST(VectorForms, DisplayStreamAndMatlab) {
  const double src[2] = {1, 0.5};
  const Vector v(2, src);
  char buffer[128];
  v.display(buffer);
  EXPECT_STREQ(buffer, "Vector 2: [ 1 0.5 ]\n");
  std::ostringstream os;
  os << v;
  EXPECT_EQ(os.str(), "[2]( 1 0.5 )");

  TempDir dir;
  const std::string path = dir.path() + "/v.mat";
  v.saveAsMatlab(path.c_str(), "abcde");
  const std::string mat = readFile(path);
  ASSERT_EQ(mat.size(), 128u + 8 + 56 + 16);
  EXPECT_EQ(mat.substr(0, 12), "ztMath/Zelto");
  EXPECT_EQ(mat[115], ' ');
  EXPECT_EQ(mat.substr(124, 4), std::string("\x00\x01IM", 4));
  EXPECT_EQ(u32At(mat, 128), 14u);
  EXPECT_EQ(u32At(mat, 132), 56u + 16);
  EXPECT_EQ(u32At(mat, 160), 1u);  // dimensions 1 x 2
  EXPECT_EQ(u32At(mat, 164), 2u);
  EXPECT_EQ(u32At(mat, 168), 1u);  // name subelement: 5 bytes + 3 zeros
  EXPECT_EQ(u32At(mat, 172), 5u);
  EXPECT_EQ(mat.substr(176, 8), std::string("abcde\0\0\0", 8));
  EXPECT_EQ(u32At(mat, 184), 9u);
  EXPECT_EQ(u32At(mat, 188), 16u);

  v.saveAsMatlab((dir.path() + "/missing/dir/v.mat").c_str(), "v");  // silently nothing
}

// Sizes whose byte counts do not fit a size_t: the companion library refuses them without
// calling the allocator, so these cases also run under the sanitizers.
constexpr ZtSize kHugeItems = SIZE_MAX / 4;
constexpr ZtSize kHugeDim = ZtSize{1} << 33;

TEST(VectorStorage, AllocationFailuresThrowAndKeepTheVector) {
  EXPECT_THROW(Vector{kHugeItems}, std::bad_alloc);
  const double src[3] = {1, 2, 3};
  Vector v(3, src);
  struct Case {
    const char* name;
    void (*op)(Vector&);
  } cases[] = {
      {"changeSize", [](Vector& x) { x.changeSize(kHugeItems); }},
      {"insertItems", [](Vector& x) { x.insertItems(1, kHugeItems, 0.0); }},
  };
  for (const Case& c : cases) {
    EXPECT_THROW(c.op(v), std::bad_alloc) << c.name;
    EXPECT_EQ(items(v), (std::vector<double>{1, 2, 3})) << c.name;
  }
  Vector empty;
  EXPECT_THROW(empty.changeSize(kHugeItems), std::bad_alloc);
  EXPECT_EQ(empty.data, nullptr);

  // A view that cannot take the source's size is refused, not silently left as it was.
  Vector3 fixed(1, 2, 3);
  Vector& asVector = fixed;
  const double five[5] = {5, 5, 5, 5, 5};
  EXPECT_THROW(asVector = Vector(5, five), ZtException);
  EXPECT_EQ(items(fixed), (std::vector<double>{1, 2, 3}));
}

TEST(VectorStorage, RangeCountsThatAreNotSizes) {
  struct Case {
    double start, step, end;
    size_t size;
  } cases[] = {
      {0, 1, -5, 0},    // step away from the end
      {0, -1, 5, 0},
      {0, 0, 0, 0},     // 0 / 0
      {1, 0.5, 1.2, 1},
      {5, -2, 1, 3},
  };
  for (const Case& c : cases) {
    const Vector v = Vector::constructRange(c.start, c.step, c.end);
    EXPECT_EQ(v.size, c.size) << c.start << " " << c.step << " " << c.end;
    if (c.size == 3) {
      EXPECT_EQ(items(v), (std::vector<double>{5, 3, 1}));
    }
  }
  EXPECT_THROW(Vector::constructRange(0, 1e-300, 1), std::bad_alloc);
}

// ---- Matrix storage -----------------------------------------------------------------------

TEST(MatrixStorage, ConstructorsAndViews) {
  const Matrix zeroCols(3, 0);
  EXPECT_EQ(zeroCols.data, nullptr);
  EXPECT_EQ(zeroCols.rows, 0u);
  EXPECT_EQ(zeroCols.cols, 0u);

  const double src[6] = {1, 2, 3, 4, 5, 6};
  const Matrix m(2, 3, src);
  EXPECT_EQ(m.stride, 3u);
  EXPECT_EQ(storageElements(m), (std::vector<double>(src, src + 6)));
  EXPECT_EQ(items(m.row(1)), (std::vector<double>{4, 5, 6}));
  EXPECT_EQ(items(m.col(2)), (std::vector<double>{3, 6}));

  // A 2 x 2 view on the top-right block of a 3 x 4 array.
  double big[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  Matrix block(2, 2, 4, big + 2, 0);
  EXPECT_EQ(storageElements(block), (std::vector<double>{2, 3, 6, 7}));
  double dense[4];
  block.setArray(dense);
  EXPECT_EQ(std::vector<double>(dense, dense + 4), (std::vector<double>{2, 3, 6, 7}));
  const double in[4] = {-1, -2, -3, -4};
  block.isArray(in);
  EXPECT_EQ(std::vector<double>(big, big + 12), (std::vector<double>{0, 1, -1, -2, 4, 5, -3, -4, 8, 9, 10, 11}));

  Matrix copy(block);
  EXPECT_EQ(copy.stride, 2u);
  EXPECT_EQ(storageElements(copy), storageElements(block));
  EXPECT_EQ(copy.flags & kOwnedStorage, kOwnedStorage);

  Matrix3x3 fixed;
  fixed(1, 1) = 5;
  Matrix3x3 fixedCopy(fixed);
  EXPECT_EQ(fixedCopy.data, &fixedCopy(0, 0));
  EXPECT_EQ(fixedCopy(1, 1), 5.0);
  MatrixF<2, 3> mf;
  mf = m;
  EXPECT_EQ(storageElements(mf), storageElements(m));
  EXPECT_EQ(mf.flags, kInternalStorage);
}

TEST(MatrixStorage, ResizingRules) {
  const double src[4] = {1, 2, 3, 4};
  Matrix m(2, 2, src);
  m.changeSize(3, 3);
  EXPECT_EQ(storageElements(m), (std::vector<double>{1, 2, 0, 3, 4, 0, 0, 0, 0}));
  m.changeSize(1, 2);
  EXPECT_EQ(storageElements(m), (std::vector<double>{1, 2}));

  Matrix top(2, 2, src);
  top.insertRows(0, 1, 5.0);
  EXPECT_EQ(storageElements(top), (std::vector<double>{5, 5, 1, 2, 3, 4}));
  Matrix mid(2, 2, src);
  mid.insertCols(1, 2, 9.0);
  EXPECT_EQ(storageElements(mid), (std::vector<double>{1, 9, 9, 2, 3, 9, 9, 4}));

  Matrix empty;
  empty.changeSize(2, 3);
  EXPECT_EQ(empty.rows, 2u);
  EXPECT_EQ(empty.stride, 3u);

  double storage[4] = {1, 2, 3, 4};
  Matrix view(2, 2, 2, storage, 0);
  struct Case {
    void (*op)(Matrix&);
    const char* signature;
  } cases[] = {
      {[](Matrix& x) { x.changeSize(3, 3); }, "void zelto::Matrix::changeSize(ZtSize, ZtSize)"},
      {[](Matrix& x) { x.insertRows(0, 1, 0.0); }, "void zelto::Matrix::insertRows(ZtSize, ZtSize, ZtReal)"},
      {[](Matrix& x) { x.insertCols(0, 1, 0.0); }, "void zelto::Matrix::insertCols(ZtSize, ZtSize, ZtReal)"},
  };
  for (const Case& c : cases) {
    try {
      c.op(view);
      ADD_FAILURE() << c.signature;
    } catch (const ZtException& e) {
      EXPECT_NE(std::string(e.what()).find(std::string(c.signature) + " resizing of this object is not allowed"),
                std::string::npos)
          << e.what();
    }
    EXPECT_EQ(view.data, storage);
    EXPECT_EQ(view.rows, 2u);
  }
}

TEST(MatrixStorage, AllocationFailuresThrowAndKeepTheMatrix) {
  EXPECT_THROW(Matrix(kHugeDim, kHugeDim), std::bad_alloc);
  EXPECT_THROW(Matrix(kHugeDim, kHugeDim, static_cast<const double*>(nullptr)), std::bad_alloc);
  const double src[4] = {1, 2, 3, 4};
  Matrix m(2, 2, src);
  struct Case {
    const char* name;
    void (*op)(Matrix&);
  } cases[] = {
      {"changeSize", [](Matrix& x) { x.changeSize(kHugeDim, kHugeDim); }},
      {"insertRows", [](Matrix& x) { x.insertRows(1, kHugeItems / 2, 0.0); }},
      {"insertCols", [](Matrix& x) { x.insertCols(1, kHugeItems / 2, 0.0); }},
  };
  for (const Case& c : cases) {
    EXPECT_THROW(c.op(m), std::bad_alloc) << c.name;
    EXPECT_EQ(m.rows, 2u) << c.name;
    EXPECT_EQ(m.cols, 2u) << c.name;
    EXPECT_EQ(storageElements(m), (std::vector<double>{1, 2, 3, 4})) << c.name;
  }
  Matrix empty;
  EXPECT_THROW(empty.changeSize(kHugeDim, kHugeDim), std::bad_alloc);

  double storage[4] = {1, 2, 3, 4};
  Matrix view(2, 2, 2, storage, 0);
  EXPECT_THROW(view = Matrix(3, 3), ZtException);
  EXPECT_EQ(view.rows, 2u);
  EXPECT_EQ(view.data, storage);
}

TEST(MatrixStorage, Comparison) {
  const double a[4] = {1, 2, 3, 4};
  double b[4] = {1, 2, 3, 4};
  b[0] = std::nextafter(1.0, 2.0);
  b[0] = std::nextafter(b[0], 2.0);  // 2 ulps on the diagonal
  b[1] = std::nextafter(2.0, 3.0);   // 1 ulp off the diagonal
  const Matrix ma(2, 2, a), mb(2, 2, b);
  EXPECT_TRUE(ma.compare(mb, uint64_t{2}, uint64_t{0}));  // 2 everywhere
  EXPECT_FALSE(ma.compare(mb, uint64_t{1}, uint64_t{0}));
  EXPECT_FALSE(ma.compare(mb, uint64_t{0}, uint64_t{2}));  // diagonal must be equal
  EXPECT_TRUE(ma.compare(mb, uint64_t{2}, uint64_t{1}));
  EXPECT_TRUE(ma.compare(mb, 1e-15));
  EXPECT_FALSE(ma == mb);
  EXPECT_TRUE(ma == Matrix(2, 2, a));
  EXPECT_FALSE(Matrix() == Matrix());
  EXPECT_TRUE(Matrix() != Matrix());
  EXPECT_FALSE(ma == Matrix(1, 4, a));
}

// ---- Matrix forms -------------------------------------------------------------------------

TEST(MatrixForms, TextAndBinaryForms) {
  const double src[6] = {1, 2, 3, 4, 5, 0.25};
  const Matrix m(2, 3, src);
  char buffer[128];
  EXPECT_EQ(m.writeToString(nullptr), 20);
  EXPECT_EQ(m.writeToString(buffer), 20);
  EXPECT_STREQ(buffer, "2,3: 1 2 3 4 5 0.25 ");
  Matrix r;
  EXPECT_EQ(r.readFromString(buffer), 19);
  EXPECT_EQ(storageElements(r), storageElements(m));
  EXPECT_EQ(r.stride, 3u);

  for (const char* bad : {"2;3: 1", "-1,2: 1 2", "2,-1: 1", "2,3 1 2", "2,3: 1 2", "100000,100000: 1"}) {
    Matrix x(1, 1);
    EXPECT_EQ(x.readFromString(bad), 0) << bad;
  }
  Matrix untouched(1, 1);
  untouched(0, 0) = 3;
  EXPECT_EQ(untouched.readFromString("-2,2: 1 2 3 4"), 0);
  EXPECT_EQ(untouched.rows, 1u);

  EXPECT_EQ(m.serialize(nullptr), 56);
  EXPECT_EQ(Matrix().serialize(nullptr), 8);
  std::vector<char> bytes(56);
  m.serialize(bytes.data());
  Matrix b;
  EXPECT_EQ(b.deserialize(bytes.data()), 56);
  EXPECT_EQ(storageElements(b), storageElements(m));
  Matrix bounded(1, 1);
  EXPECT_EQ(bounded.deserialize(bytes.data(), 55), 0);
  EXPECT_EQ(bounded.deserialize(bytes.data(), 7), 0);
  EXPECT_EQ(bounded.rows, 1u);

  // Shapes without elements: nothing is copied and a huge row count costs nothing.
  {
    Matrix empty;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_GT(empty.readFromString("2000000000,0:"), 0);
    EXPECT_EQ(empty.cols, 0u);
    const uint32_t shape[2] = {553000000u, 0u};
    EXPECT_EQ(empty.deserialize(reinterpret_cast<const char*>(shape), sizeof shape), 8);
    char out[8];
    EXPECT_EQ(empty.serialize(out), 8);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
  }

  // The stride of a view is not part of either form.
  double big[8] = {1, 2, -1, -1, 3, 4, -1, -1};
  const Matrix view(2, 2, 4, big, 0);
  std::string text;
  view.writeToString(text);
  EXPECT_EQ(text, "2,2: 1 2 3 4 ");
  std::vector<char> viewBytes(view.serialize(nullptr));
  view.serialize(viewBytes.data());
  Matrix back;
  back.deserialize(viewBytes.data(), viewBytes.size());
  EXPECT_EQ(storageElements(back), (std::vector<double>{1, 2, 3, 4}));
}

TEST(MatrixForms, RandomRoundTrips) {
  std::mt19937_64 rng(11);
  std::normal_distribution<double> value(0.0, 1e6);
  std::uniform_int_distribution<int> dim(0, 9);
  for (int round = 0; round < 40; ++round) {
    Matrix m(dim(rng), dim(rng));
    for (ZtSize r = 0; r < m.rows; ++r)
      for (ZtSize c = 0; c < m.cols; ++c) m(r, c) = value(rng);
    std::string text;
    m.writeToString(text);
    Matrix t;
    ASSERT_GT(t.readFromString(text), 0) << text;
    ASSERT_EQ(t.rows, m.rows);
    ASSERT_EQ(t.cols, m.cols);
    for (ZtSize r = 0; r < m.rows; ++r)
      for (ZtSize c = 0; c < m.cols; ++c) EXPECT_LE(ulpDiff(m(r, c), t(r, c)), 4u);
    std::vector<char> bytes(m.serialize(nullptr));
    m.serialize(bytes.data());
    Matrix b;
    ASSERT_EQ(b.deserialize(bytes.data(), bytes.size()), static_cast<int>(bytes.size()));
    EXPECT_EQ(storageElements(b), storageElements(m));
  }
}

TEST(MatrixForms, DisplayStreamAndMatlab) {
  const double src[6] = {1, 2, 3, 4, 5, 6};
  const Matrix m(3, 2, src);
  char buffer[256];
  m.display(buffer);
  EXPECT_STREQ(buffer,
               "Matrix 3,2:\n"
               "0 \xDA        1        2 \xBF\n"
               "1 \xB3        3        4 \xB3\n"
               "2 \xC0        5        6 \xD9\n");
  Matrix(1, 2, src).display(buffer);
  EXPECT_STREQ(buffer, "Matrix 1,2:\n0 [        1        2 ]\n");
  Matrix tall(11, 1);
  tall.isZero();
  tall.display(buffer + 0);
  EXPECT_EQ(std::string(buffer).substr(13, 3), "00 ");

  std::ostringstream os;
  os << Matrix(2, 2, src);
  EXPECT_EQ(os.str(), "[2,2]{\n( 1 2 )\n( 3 4 )}");

  TempDir dir;
  const std::string path = dir.path() + "/m.mat";
  m.saveAsMatlab(path.c_str(), nullptr);
  const std::string mat = readFile(path);
  ASSERT_EQ(mat.size(), 128u + 8 + 48 + 48);
  EXPECT_EQ(u32At(mat, 132), 48u + 48);
  EXPECT_EQ(u32At(mat, 160), 3u);
  EXPECT_EQ(u32At(mat, 164), 2u);
  EXPECT_EQ(u32At(mat, 172), 0u);  // empty name
  double first[2];
  std::memcpy(first, mat.data() + 184, 16);
  EXPECT_EQ(first[0], 1.0);  // column-major
  EXPECT_EQ(first[1], 3.0);
}

}  // namespace
