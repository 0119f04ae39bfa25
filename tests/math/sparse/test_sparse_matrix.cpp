// Every operation of the sparse matrix against the same operation on dense matrices, over
// random matrices up to 200 x 200 at densities of 1 to 30 %, with both kinds of lists, row
// lists only and column lists only. After every writing operation both kinds must hold the
// same entries and every list must be a well-formed skip list.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "support/SparseFixtures.h"

using namespace sparsetest;

namespace {

constexpr double kTol = 1e-13;
constexpr ZtSize kSparseMatrixAll = ~ZtSize{0};

struct Shape {
  ZtSize rows, cols;
};

using Param = std::tuple<Shape, double, Kinds>;

size_t storedCount(const SparseMatrix& m) {
  size_t count = 0;
  m.forEach(&count, [](void* ctx, ZtSize, ZtSize, double) { ++*static_cast<size_t*>(ctx); });
  return count;
}

class SparseMatrixVsDense : public ::testing::TestWithParam<Param> {
 protected:
  void SetUp() override {
    const Shape s = std::get<0>(GetParam());
    rows = s.rows;
    cols = s.cols;
    density = std::get<1>(GetParam());
    kinds = std::get<2>(GetParam());
    rng.seed(rows * 7919 + cols * 31 + static_cast<unsigned>(density * 100) * 3 + static_cast<unsigned>(kinds));
    da = randomDense(rows, cols, density, rng);
    db = randomDense(rows, cols, density, rng);
    fillShuffled(a, da, rng);
    fillShuffled(b, db, rng);
  }
  SparseMatrix make(Kinds k) { return makeMatrix(rows, cols, k); }
  SparseMatrix sparseOf(const Matrix& d, Kinds k) {
    SparseMatrix m = makeMatrix(d.rows, d.cols, k);
    fillShuffled(m, d, rng);
    return m;
  }
  ZtSize pick(ZtSize limit) { return limit == 0 ? 0 : rng() % limit; }

  ZtSize rows = 0, cols = 0;
  double density = 0;
  Kinds kinds = Kinds::Both;
  std::mt19937_64 rng;
  Matrix da, db;
  SparseMatrix a = makeMatrix(std::get<0>(GetParam()).rows, std::get<0>(GetParam()).cols, std::get<2>(GetParam()));
  SparseMatrix b = makeMatrix(std::get<0>(GetParam()).rows, std::get<0>(GetParam()).cols, std::get<2>(GetParam()));
};

TEST_P(SparseMatrixVsDense, BuildCopyAndRead) {
  ASSERT_TRUE(kindsAgree(a));
  EXPECT_TRUE(sameDense(denseOf(a), da));

  // Appending in row-major order gives the same matrix.
  SparseMatrix appended = make(kinds);
  for (ZtSize r = 0; r < rows; ++r)
    for (ZtSize c = 0; c < cols; ++c)
      if (da(r, c) != 0.0) appended.appendValue(r, c, da(r, c));
  EXPECT_TRUE(kindsAgree(appended));
  EXPECT_TRUE(sameDense(denseOf(appended), da));

  SparseMatrix copy(a);
  EXPECT_EQ(copy.hasRowData(), a.hasRowData());
  EXPECT_EQ(copy.hasColData(), a.hasColData());
  EXPECT_TRUE(kindsAgree(copy));
  EXPECT_TRUE(sameDense(denseOf(copy), da));

  SparseMatrix fromDense = make(kinds);
  fromDense.setValue(0, 0, 5.0);
  fromDense = static_cast<const ZtMatrix&>(db);
  EXPECT_TRUE(kindsAgree(fromDense));
  EXPECT_TRUE(sameDense(denseOf(fromDense), db));
  EXPECT_EQ(storedCount(fromDense), storedCount(b));

  // getValue reads every element and stores the absent ones as 0 in every kind present.
  SparseMatrix read(a);
  for (ZtSize r = 0; r < rows; ++r)
    for (ZtSize c = 0; c < cols; ++c) ASSERT_EQ(read.getValue(r, c), da(r, c));
  EXPECT_EQ(storedCount(read), rows * cols);
  EXPECT_TRUE(kindsAgree(read));
  EXPECT_TRUE(sameDense(denseOf(read), da));

  // The visitor walks rows (or, without row lists, columns) in increasing order.
  std::vector<std::pair<ZtSize, ZtSize>> order;
  a.forEach(&order, [](void* ctx, ZtSize r, ZtSize c, double) {
    static_cast<std::vector<std::pair<ZtSize, ZtSize>>*>(ctx)->emplace_back(r, c);
  });
  auto major = order;
  if (!a.hasRowData())
    for (auto& p : major) std::swap(p.first, p.second);
  EXPECT_TRUE(std::is_sorted(major.begin(), major.end()));
  EXPECT_EQ(order.size(), storedCount(a));
}

TEST_P(SparseMatrixVsDense, AssignmentIntoEveryKind) {
  for (Kinds target : {Kinds::Both, Kinds::RowsOnly, Kinds::ColsOnly}) {
    SCOPED_TRACE(kindsName(target));
    SparseMatrix t = make(target);
    t.setValue(rows - 1, cols - 1, 7.0);
    t = a;
    EXPECT_TRUE(kindsAgree(t));
    EXPECT_TRUE(sameDense(denseOf(t), da));
  }
  a = a;
  EXPECT_TRUE(sameDense(denseOf(a), da));
}

TEST_P(SparseMatrixVsDense, Products) {
  const ZtSize inner = 1 + pick(60);
  const Matrix dl = randomDense(rows, inner, density, rng);
  const Matrix dr = randomDense(inner, cols, density, rng);
  const SparseMatrix left = sparseOf(dl, Kinds::RowsOnly), leftT = [&] {
    Matrix t(inner, rows);
    t.isTransposeOf(dl);
    return sparseOf(t, Kinds::ColsOnly);
  }();
  const SparseMatrix right = sparseOf(dr, Kinds::ColsOnly);
  Matrix want(rows, cols);
  want.isMatMulMat(dl, dr);

  SparseMatrix p = make(kinds);
  p.setValue(0, 0, 3.0);
  p.isMatMulMat(left, right);
  EXPECT_TRUE(kindsAgree(p));
  EXPECT_TRUE(sameDense(denseOf(p), want, kTol));
  size_t nonZero = 0;
  for (ZtSize i = 0; i < rows * cols; ++i) nonZero += want.data[i] != 0.0;
  EXPECT_EQ(storedCount(p), nonZero);  // no entry for a zero product element

  SparseMatrix q = make(kinds);
  q.isMatMulMat(static_cast<const ZtMatrix&>(dl), right);
  EXPECT_TRUE(kindsAgree(q));
  EXPECT_TRUE(sameDense(denseOf(q), want, kTol));

  SparseMatrix t = make(kinds);
  t.isTransMatMulMat(leftT, right);
  EXPECT_TRUE(kindsAgree(t));
  EXPECT_TRUE(sameDense(denseOf(t), want, kTol));

  // Every element is the merge dot product of its two lists, bit for bit, stored when not 0.
  const Matrix gotP = denseOf(p), gotT = denseOf(t);
  for (ZtSize r = 0; r < rows; ++r)
    for (ZtSize c = 0; c < cols; ++c) {
      ASSERT_EQ(gotP(r, c), left.rowList(r).dotProduct(right.colList(c))) << r << ", " << c;
      ASSERT_EQ(gotT(r, c), leftT.colList(r).dotProduct(right.colList(c))) << r << ", " << c;
    }
  EXPECT_EQ(storedCount(t), nonZero);

  if (rows == cols && kinds == Kinds::Both) {
    // The target as an operand: a = a * a.
    Matrix sq(rows, cols);
    sq.isMatMulMat(da, da);
    SparseMatrix self(a);
    self.isMatMulMat(self, self);
    EXPECT_TRUE(kindsAgree(self));
    EXPECT_TRUE(sameDense(denseOf(self), sq, kTol));
  }
}

TEST_P(SparseMatrixVsDense, SumsOverSharedKinds) {
  const double s = 0.375, s2 = -2.0;
  for (Kinds other : {Kinds::Both, Kinds::RowsOnly, Kinds::ColsOnly}) {
    if ((kinds == Kinds::RowsOnly && other == Kinds::ColsOnly) || (kinds == Kinds::ColsOnly && other == Kinds::RowsOnly))
      continue;  // the sums need a shared kind
    SCOPED_TRACE(kindsName(other));
    const SparseMatrix bb = sparseOf(db, other);
    Matrix want(rows, cols);

    SparseMatrix t(a);
    t.isSelfAddMat(bb);
    want.isMatAddMat(da, db);
    EXPECT_TRUE(kindsAgree(t));
    EXPECT_TRUE(sameDense(denseOf(t), want, kTol));

    t = a;
    t.isSelfAddScaMulMat(s, bb);
    want.isMatAddScaMulMat(da, s, db);
    EXPECT_TRUE(kindsAgree(t));
    EXPECT_TRUE(sameDense(denseOf(t), want, kTol));

    t = a;
    t.isSelfSubMat(bb);
    want.isMatSubMat(da, db);
    EXPECT_TRUE(kindsAgree(t));
    EXPECT_TRUE(sameDense(denseOf(t), want, kTol));
  }
  // s1 A + s2 B with all three sharing the target's kinds.
  Matrix want(rows, cols);
  want.isScaMulMatAddScaMulMat(s, da, s2, db);
  SparseMatrix t = make(kinds);
  t.setValue(0, 0, 1.0);
  t.isScaMulMatAddScaMulMat(s, a, s2, b);
  EXPECT_TRUE(kindsAgree(t));
  EXPECT_TRUE(sameDense(denseOf(t), want, kTol));
  t = a;
  t.isScaMulMatAddScaMulMat(s, t, s2, b);  // the target as an operand
  EXPECT_TRUE(sameDense(denseOf(t), want, kTol));

  t = a;
  t.isSelfMulSca(-3.0);
  want.isScaMulMat(-3.0, da);
  EXPECT_TRUE(kindsAgree(t));
  EXPECT_TRUE(sameDense(denseOf(t), want));
  EXPECT_EQ(storedCount(t), storedCount(a));
}

TEST_P(SparseMatrixVsDense, BlockCopiesAndErasures) {
  const Matrix dsrc = randomDense(rows + 3, cols + 2, density, rng);
  const SparseMatrix sources[] = {sparseOf(db, Kinds::Both), sparseOf(db, Kinds::RowsOnly),
                                  sparseOf(db, Kinds::ColsOnly)};
  const int rounds = rows * cols > 4000 ? 2 : 8;
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE(round);
    ZtSize nr = pick(rows + 1), nc = pick(cols + 1);
    const ZtSize dr = pick(rows - nr + 1), dc = pick(cols - nc + 1);
    const ZtSize sr = pick(rows - nr + 1), sc = pick(cols - nc + 1);
    if (round == 0) nr = nc = 0;

    SparseMatrix z(a);
    z.zeroSub(dr, dc, nr, nc);
    Matrix dz(da);
    dz.zeroSub(dr, dc, nr, nc);
    ASSERT_TRUE(kindsAgree(z));
    ASSERT_TRUE(sameDense(denseOf(z), dz));

    // Dense source.
    SparseMatrix d(a);
    d.setSubMatrix(static_cast<const ZtMatrix&>(dsrc), dr, dc, nr, nc, sr, sc);
    Matrix dd(da);
    dd.setSubMatrix(dsrc, dr, dc, nr, nc, sr, sc);
    ASSERT_TRUE(kindsAgree(d));
    ASSERT_TRUE(sameDense(denseOf(d), dd));

    // Sparse source of every kind; the whole-row form too.
    for (const SparseMatrix& src : sources) {
      SCOPED_TRACE(std::string(src.hasRowData() ? "rows " : "") + (src.hasColData() ? "cols" : ""));
      SparseMatrix s(a);
      s.setSubMatrix(src, dr, dc, nr, nc, sr, sc);
      Matrix ds(da);
      ds.setSubMatrix(db, dr, dc, nr, nc, sr, sc);
      ASSERT_TRUE(kindsAgree(s));
      ASSERT_TRUE(sameDense(denseOf(s), ds));

      SparseMatrix w(a);
      w.setSubMatrix(src, dr, 0, nr, cols, sr, 0);
      Matrix dw(da);
      dw.setSubMatrix(db, dr, 0, nr, cols, sr, 0);
      ASSERT_TRUE(kindsAgree(w));
      ASSERT_TRUE(sameDense(denseOf(w), dw));
    }

    // The matrix as its own source, overlapping blocks.
    SparseMatrix self(a);
    self.setSubMatrix(self, dr, dc, nr, nc, sr, sc);
    Matrix dself(da);
    dself.setSubMatrix(Matrix(da), dr, dc, nr, nc, sr, sc);
    ASSERT_TRUE(kindsAgree(self));
    ASSERT_TRUE(sameDense(denseOf(self), dself));

    // Dense reads: block, row and column, into prefilled destinations.
    Matrix got(rows + 1, cols + 1), want(rows + 1, cols + 1);
    for (ZtSize i = 0; i < got.rows * got.cols; ++i) got.data[i] = want.data[i] = 100.0 + static_cast<double>(i);
    a.getDenseSubMatrix(got, sr, sc, nr, nc, dr + 1, dc);
    want.setSubMatrix(da, dr + 1, dc, nr, nc, sr, sc);
    ASSERT_TRUE(sameDense(got, want));
    Matrix viaDense(rows + 1, cols + 1);
    viaDense = want;
    viaDense.setSubMatrix(b, dr, dc + 1, nr, nc, sr, sc);  // forwards with its own argument order
    want.setSubMatrix(db, dr, dc + 1, nr, nc, sr, sc);
    ASSERT_TRUE(sameDense(viaDense, want));

    const ZtSize r = pick(rows), c = pick(cols);
    Vector rowGot(cols + 2), rowWant(cols + 2), colGot(rows + 2), colWant(rows + 2);
    for (ZtSize i = 0; i < cols + 2; ++i) rowGot[i] = rowWant[i] = -1.0;
    for (ZtSize i = 0; i < rows + 2; ++i) colGot[i] = colWant[i] = -1.0;
    SparseMatrix reader(a);  // reads through the other kind store zeros
    reader.getDenseRowVector(rowGot, r, sc, nc, 2);
    for (ZtSize i = 0; i < nc; ++i) rowWant[2 + i] = da(r, sc + i);
    ASSERT_TRUE(sameDense(rowGot, rowWant));
    reader.getDenseColVector(colGot, sr, c, nr, 1);
    for (ZtSize i = 0; i < nr; ++i) colWant[1 + i] = da(sr + i, c);
    ASSERT_TRUE(sameDense(colGot, colWant));
    ASSERT_TRUE(kindsAgree(reader));
    ASSERT_TRUE(sameDense(denseOf(reader), da));
  }

  // -1 stands for the source's counts.
  const Matrix small = randomDense(rows / 2 + 1 > rows ? rows : rows / 2 + 1, cols, 0.5, rng);
  SparseMatrix d(a);
  d.setSubMatrix(static_cast<const ZtMatrix&>(small), rows - small.rows, 0, kSparseMatrixAll, kSparseMatrixAll, 0, 0);
  SparseMatrix s(a);
  s.setSubMatrix(sparseOf(small, kinds), rows - small.rows, 0, kSparseMatrixAll, kSparseMatrixAll, 0, 0);
  Matrix want(da);
  want.setSubMatrix(small, rows - small.rows, 0, small.rows, small.cols, 0, 0);
  EXPECT_TRUE(kindsAgree(d));
  EXPECT_TRUE(sameDense(denseOf(d), want));
  EXPECT_TRUE(kindsAgree(s));
  EXPECT_TRUE(sameDense(denseOf(s), want));
}

TEST_P(SparseMatrixVsDense, RowsColumnsTransposeAndIdentity) {
  const Vector colValues = randomDenseVector(rows, 0.5, rng), rowValues = randomDenseVector(cols, 0.5, rng);
  const ZtSize r = pick(rows), c = pick(cols);
  SparseMatrix t(a);
  t.setCol(colValues, c);
  t.setRow(rowValues, r);
  Matrix want(da);
  want.setCol(colValues, c);
  want.setRow(rowValues, r);
  EXPECT_TRUE(kindsAgree(t));
  EXPECT_TRUE(sameDense(denseOf(t), want));
  EXPECT_GE(storedCount(t), rows + cols - 1);  // zeros of the vectors are stored

  SparseMatrix tr(a);
  tr.isTransposeSelf();
  EXPECT_EQ(tr.rows(), cols);
  EXPECT_EQ(tr.cols(), rows);
  EXPECT_EQ(tr.hasRowData(), a.hasColData());
  EXPECT_EQ(tr.hasColData(), a.hasRowData());
  Matrix dtr(cols, rows);
  dtr.isTransposeOf(da);
  EXPECT_TRUE(kindsAgree(tr));
  EXPECT_TRUE(sameDense(denseOf(tr), dtr));

  SparseMatrix id(a);
  id.isIdentity(2.5);
  Matrix did(rows, cols);
  for (ZtSize i = 0; i < std::min(rows, cols); ++i) did(i, i) = 2.5;
  EXPECT_TRUE(kindsAgree(id));
  EXPECT_TRUE(sameDense(denseOf(id), did));
  id.isZero();
  EXPECT_EQ(storedCount(id), 0u);

  // Row 0 += v^T * M, with M of rows x cols and row lists.
  const Vector v = randomDenseVector(rows, 0.7, rng);
  SparseMatrix acc(b);
  acc.isSelfAddVecMulMat(v, sparseOf(da, Kinds::RowsOnly));
  Vector row0(cols);
  row0.isTransMatMulVec(da, v);
  Matrix dacc(db);
  for (ZtSize j = 0; j < cols; ++j) dacc(0, j) += row0[j];
  EXPECT_TRUE(kindsAgree(acc));
  EXPECT_TRUE(sameDense(denseOf(acc), dacc, kTol));
}

TEST_P(SparseMatrixVsDense, ResizeAndKindManagement) {
  for (Shape to : {Shape{rows / 2, cols + 3}, Shape{rows + 4, cols / 3}, Shape{0, cols}, Shape{rows, 0}}) {
    SCOPED_TRACE(std::to_string(to.rows) + "x" + std::to_string(to.cols));
    SparseMatrix m(a);
    m.resize(to.rows, to.cols);
    EXPECT_EQ(m.rows(), to.rows);
    EXPECT_EQ(m.cols(), to.cols);
    Matrix want(to.rows, to.cols);
    want.setSubMatrix(da, 0, 0, std::min(rows, to.rows), std::min(cols, to.cols), 0, 0);
    EXPECT_TRUE(kindsAgree(m));
    EXPECT_TRUE(sameDense(denseOf(m), want));
    m.resize(rows, cols);  // grown back: the cut entries stay gone
    Matrix back(rows, cols);
    back.setSubMatrix(want, 0, 0, std::min(rows, to.rows), std::min(cols, to.cols), 0, 0);
    EXPECT_TRUE(kindsAgree(m));
    EXPECT_TRUE(sameDense(denseOf(m), back));
    if (rows > 0 && cols > 0) {
      m.setValue(rows - 1, cols - 1, 4.0);
      EXPECT_TRUE(kindsAgree(m));
    }
  }

  SparseMatrix m(a);
  m.addRowData();
  m.addColData();
  EXPECT_TRUE(m.hasRowData() && m.hasColData());
  EXPECT_TRUE(kindsAgree(m));
  EXPECT_TRUE(sameDense(denseOf(m), da));
  m.freeRowData();
  EXPECT_FALSE(m.hasRowData());
  EXPECT_TRUE(sameDense(denseOf(m), da));
  m.addRowData();
  m.freeColData();
  EXPECT_TRUE(sameDense(denseOf(m), da));
  m.addColData();
  m.zeroRows();
  m.rebuildRowData();
  EXPECT_TRUE(kindsAgree(m));
  EXPECT_TRUE(sameDense(denseOf(m), da));
  m.zeroCols();
  m.rebuildColData();
  EXPECT_TRUE(kindsAgree(m));
  EXPECT_TRUE(sameDense(denseOf(m), da));
}

const Shape kShapes[] = {{1, 1}, {4, 7}, {33, 20}, {64, 65}, {200, 200}};

// Every shape, density and kind, except the largest shape above 1 % with one kind only (kept
// fast under the sanitizers; the same code paths run on 64 x 65 at every density).
std::vector<Param> params() {
  std::vector<Param> out;
  for (const Shape& s : kShapes)
    for (double d : {0.01, 0.1, 0.3})
      for (Kinds k : {Kinds::Both, Kinds::RowsOnly, Kinds::ColsOnly})
        if (!(s.rows * s.cols > 10000 && d > 0.05 && k != Kinds::Both)) out.emplace_back(s, d, k);
  return out;
}

INSTANTIATE_TEST_SUITE_P(Random, SparseMatrixVsDense, ::testing::ValuesIn(params()),
                         [](const ::testing::TestParamInfo<Param>& info) {
                           const Shape s = std::get<0>(info.param);
                           return std::to_string(s.rows) + "x" + std::to_string(s.cols) + "_d" +
                                  std::to_string(static_cast<int>(std::get<1>(info.param) * 100)) + "_" +
                                  kindsName(std::get<2>(info.param));
                         });

}  // namespace
