// Every operation of the sparse vector against the same operation on dense vectors, over
// random vectors of sizes up to 200 and densities of 1 to 30 %: exact for copies and block
// moves, within 1e-13 relative for sums, products, lengths and dot products.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <set>
#include <vector>

#include "support/SparseFixtures.h"

using namespace sparsetest;

namespace {

constexpr double kSparseVectorTol = 1e-13;

struct Case {
  ZtSize n;
  double density;
};

const Case kCases[] = {{1, 0.3}, {4, 0.3}, {17, 0.1}, {64, 0.01}, {65, 0.3}, {120, 0.05}, {200, 0.01},
                       {200, 0.1}, {200, 0.3}};

std::set<ZtSize> indexesOf(const SparseVector& v) {
  std::set<ZtSize> out;
  for (auto* n = v.list().first(); n != nullptr; n = n->next()) out.insert(n->key);
  return out;
}

class SparseVectorVsDense : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    rng.seed(GetParam().n * 1000 + static_cast<unsigned>(GetParam().density * 100));
    da = randomDenseVector(GetParam().n, GetParam().density, rng);
    db = randomDenseVector(GetParam().n, GetParam().density, rng);
    fillShuffled(a, da, rng);
    fillShuffled(b, db, rng);
  }
  ZtSize n() const { return GetParam().n; }
  ZtSize randomIndex(ZtSize limit) { return limit == 0 ? 0 : rng() % limit; }

  std::mt19937_64 rng;
  Vector da, db;
  SparseVector a{GetParam().n}, b{GetParam().n};
};

TEST_P(SparseVectorVsDense, CopiesAndConversions) {
  ASSERT_TRUE(listWellFormed(a.list()));
  EXPECT_TRUE(sameDense(denseOf(a), da));
  for (ZtSize i = 0; i < n(); ++i) ASSERT_EQ(static_cast<const SparseVector&>(a)[i], da[i]) << i;

  SparseVector copy(a);
  EXPECT_EQ(copy.size(), n());
  EXPECT_EQ(indexesOf(copy), indexesOf(a));
  EXPECT_TRUE(sameDense(denseOf(copy), da));
  EXPECT_TRUE(listWellFormed(copy.list()));

  SparseVector assigned(3);
  assigned[1] = 5.0;
  assigned = a;
  EXPECT_EQ(assigned.size(), n());
  EXPECT_TRUE(sameDense(denseOf(assigned), da));
  assigned = assigned;  // self-assignment keeps everything
  EXPECT_TRUE(sameDense(denseOf(assigned), da));

  SparseVector fromDense(7);
  fromDense[6] = 1.0;
  fromDense = static_cast<const ZtVector&>(db);
  EXPECT_EQ(fromDense.size(), n());
  EXPECT_EQ(indexesOf(fromDense), indexesOf(b));  // zeros of the dense value are not stored
  EXPECT_TRUE(sameDense(denseOf(fromDense), db));
  EXPECT_TRUE(listWellFormed(fromDense.list()));

  std::vector<ZtSize> visited;
  a.forEach(&visited, [](void* ctx, ZtSize i, double) { static_cast<std::vector<ZtSize>*>(ctx)->push_back(i); });
  EXPECT_TRUE(std::is_sorted(visited.begin(), visited.end()));
  EXPECT_EQ(visited.size(), indexesOf(a).size());
}

TEST_P(SparseVectorVsDense, BlockMovesAndErasures) {
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    const ZtSize count = randomIndex(n() + 1);
    const ZtSize srcStart = randomIndex(n() - count + 1), dstStart = randomIndex(n() - count + 1);

    // getSubVector into a dense vector prefilled with garbage.
    Vector got(n()), want(n());
    for (ZtSize i = 0; i < n(); ++i) got[i] = want[i] = -3.0 - static_cast<double>(i);
    a.getSubVector(got, dstStart, count, srcStart);
    want.setSubVector(da, dstStart, count, srcStart);
    ASSERT_TRUE(sameDense(got, want));

    // setSubVector from a sparse and from a dense source.
    SparseVector s(b);
    s.setSubVector(a, dstStart, count, srcStart);
    Vector ds(db);
    ds.setSubVector(da, dstStart, count, srcStart);
    ASSERT_TRUE(sameDense(denseOf(s), ds));
    ASSERT_TRUE(listWellFormed(s.list()));
    SparseVector t(b);
    t.setSubVector(static_cast<const ZtVector&>(da), dstStart, count, srcStart);
    ASSERT_TRUE(sameDense(denseOf(t), ds));
    ASSERT_EQ(indexesOf(t), indexesOf(s));  // only the source's non-zeros are stored

    // A source that is the vector itself behaves like a copy of it (overlapping ranges).
    SparseVector self(a);
    self.setSubVector(self, dstStart, count, srcStart);
    Vector dself(da);
    dself.setSubVector(Vector(da), dstStart, count, srcStart);
    ASSERT_TRUE(sameDense(denseOf(self), dself));

    // isSubZero erases exactly the range.
    SparseVector z(a);
    z.isSubZero(srcStart, count);
    Vector dz(da);
    dz.isSubZero(srcStart, count);
    ASSERT_TRUE(sameDense(denseOf(z), dz));
    for (ZtSize i : indexesOf(z)) ASSERT_TRUE(i < srcStart || i >= srcStart + count) << i;
    ASSERT_TRUE(listWellFormed(z.list()));
  }
  SparseVector all(a);
  all.isSubZero(0, n());
  EXPECT_TRUE(all.empty());
  all = a;
  all.isZero();
  EXPECT_TRUE(all.empty());
  EXPECT_EQ(all.size(), n());
}

TEST_P(SparseVectorVsDense, Resize) {
  const ZtSize cut = n() / 2;
  SparseVector v(a);
  v.resize(cut);
  EXPECT_EQ(v.size(), cut);
  for (ZtSize i : indexesOf(v)) EXPECT_LT(i, cut);
  v.resize(n());
  Vector d(da);
  for (ZtSize i = cut; i < n(); ++i) d[i] = 0.0;
  EXPECT_TRUE(sameDense(denseOf(v), d));
  EXPECT_EQ(v.list().maxLevel(), SparseVector::maxLevelFor(n()));  // fixed at construction
}

TEST_P(SparseVectorVsDense, ReductionsAndDotProducts) {
  EXPECT_NEAR(a.sumVal(), da.sumVal(), kSparseVectorTol * std::max(1.0, std::abs(da.sumVal())));
  EXPECT_NEAR(a.cartesianLength(), da.l2Norm(), kSparseVectorTol * std::max(1.0, da.l2Norm()));
  double dense = 0.0;
  for (ZtSize i = 0; i < n(); ++i) dense += da[i] * db[i];
  const double scale = kSparseVectorTol * std::max(1.0, std::abs(dense));
  EXPECT_NEAR(a.dotProduct(b), dense, scale);
  EXPECT_NEAR(a.dotProduct(static_cast<const ZtVector&>(db)), dense, scale);
  std::vector<double> strided(2 * n() + 1, 99.0);
  for (ZtSize i = 0; i < n(); ++i) strided[2 * i] = db[i];
  EXPECT_NEAR(a.dotProduct(strided.data(), 2), dense, scale);

  SparseVector unit(a);
  Vector dunit(n());
  const double length = unit.isNormalizeSelf();
  if (da.l2Norm() >= 1e-16) {
    const double dlength = dunit.isNormalizeVecL2(da);
    EXPECT_NEAR(length, dlength, kSparseVectorTol * dlength);
    EXPECT_TRUE(sameDense(denseOf(unit), dunit, kSparseVectorTol));
    EXPECT_NEAR(unit.cartesianLength(), 1.0, kSparseVectorTol);
  } else {
    EXPECT_EQ(length, 0.0);
    EXPECT_TRUE(unit.empty());
  }
}

TEST_P(SparseVectorVsDense, SumsKeepTheUnionOfIndexes) {
  std::set<ZtSize> both = indexesOf(a);
  for (ZtSize i : indexesOf(b)) both.insert(i);
  const double s = -1.75, s2 = 0.5;
  Vector want(n());

  struct SumCase {
    const char* name;
    std::function<void(SparseVector&, const SparseVector&, const SparseVector&)> sparse;
    std::function<void(Vector&, const Vector&, const Vector&)> dense;
  };
  const SumCase cases[] = {
      {"isSelfAddVec", [](SparseVector& t, const SparseVector&, const SparseVector& y) { t.isSelfAddVec(y); },
       [](Vector& t, const Vector& x, const Vector& y) { t.isVecAddVec(x, y); }},
      {"isSelfAddScaMulVec",
       [s](SparseVector& t, const SparseVector&, const SparseVector& y) { t.isSelfAddScaMulVec(s, y); },
       [s](Vector& t, const Vector& x, const Vector& y) { t.isVecAddScaMulVec(x, s, y); }},
      {"isSelfSubVec", [](SparseVector& t, const SparseVector&, const SparseVector& y) { t.isSelfSubVec(y); },
       [](Vector& t, const Vector& x, const Vector& y) { t.isVecSubVec(x, y); }},
      {"isVecAddVec", [](SparseVector& t, const SparseVector& x, const SparseVector& y) { t.isVecAddVec(x, y); },
       [](Vector& t, const Vector& x, const Vector& y) { t.isVecAddVec(x, y); }},
      {"isVecSubVec", [](SparseVector& t, const SparseVector& x, const SparseVector& y) { t.isVecSubVec(x, y); },
       [](Vector& t, const Vector& x, const Vector& y) { t.isVecSubVec(x, y); }},
      {"isScaMulVecAddScaMulVec",
       [s, s2](SparseVector& t, const SparseVector& x, const SparseVector& y) {
         t.isScaMulVecAddScaMulVec(s, x, s2, y);
       },
       [s, s2](Vector& t, const Vector& x, const Vector& y) { t.isScaMulVecAddScaMulVec(s, x, s2, y); }},
  };
  for (const SumCase& c : cases) {
    SCOPED_TRACE(c.name);
    c.dense(want, da, db);
    // Into a separate target (holding a itself for the in-place forms).
    SparseVector target(a);
    if (std::string(c.name).rfind("isSelf", 0) != 0) target[0] = 42.0;  // overwritten entirely
    c.sparse(target, a, b);
    EXPECT_TRUE(sameDense(denseOf(target), want, kSparseVectorTol));
    EXPECT_EQ(indexesOf(target), both);
    EXPECT_EQ(target.size(), n());
    EXPECT_TRUE(listWellFormed(target.list()));
    if (std::string(c.name).rfind("isSelf", 0) == 0) continue;
    // this = a and this = b give the same values.
    SparseVector asA(a), asB(b);
    c.sparse(asA, asA, b);
    c.sparse(asB, a, asB);
    EXPECT_TRUE(sameDense(denseOf(asA), want, kSparseVectorTol));
    EXPECT_TRUE(sameDense(denseOf(asB), want, kSparseVectorTol));
    EXPECT_EQ(indexesOf(asA), both);
    EXPECT_EQ(indexesOf(asB), both);
  }

  // An operand that is the target itself.
  SparseVector twice(a);
  twice.isSelfAddVec(twice);
  want.isScaMulVec(2.0, da);
  EXPECT_TRUE(sameDense(denseOf(twice), want));
  twice.isSelfSubVec(twice);
  EXPECT_EQ(indexesOf(twice), indexesOf(a));  // zero results stay stored
  EXPECT_EQ(twice.sumVal(), 0.0);
}

TEST_P(SparseVectorVsDense, ScalingAndNegation) {
  SparseVector v(a);
  v.isSelfMulSca(-2.5);
  Vector want(n());
  want.isScaMulVec(-2.5, da);
  EXPECT_TRUE(sameDense(denseOf(v), want));
  EXPECT_EQ(indexesOf(v), indexesOf(a));

  SparseVector neg(7);
  neg[3] = 1.0;
  neg.isNegVec(a);
  want.isNegVec(da);
  EXPECT_EQ(neg.size(), 7u);  // keeps its own size
  EXPECT_TRUE(sameDense(denseOf(SparseVector(a)), da));
  neg.resize(n());
  EXPECT_TRUE(sameDense(denseOf(neg), want));
  neg.isSelfNegVec();
  EXPECT_TRUE(sameDense(denseOf(neg), da));
  neg.isNegVec(neg);
  EXPECT_TRUE(sameDense(denseOf(neg), want));
}

TEST_P(SparseVectorVsDense, MatrixTimesVector) {
  for (Kinds kinds : {Kinds::Both, Kinds::RowsOnly}) {
    SCOPED_TRACE(kindsName(kinds));
    const ZtSize rows = 1 + rng() % 150;
    const Matrix dm = randomDense(rows, n(), GetParam().density, rng);
    SparseMatrix m = makeMatrix(rows, n(), kinds);
    fillShuffled(m, dm, rng);
    SparseVector y(rows);
    y[0] = 9.0;
    y.isMatMulVec(m, a);
    Vector want(rows);
    want.isMatMulVec(dm, da);
    EXPECT_TRUE(sameDense(denseOf(y), want, kSparseVectorTol));
    for (ZtSize i : indexesOf(y)) EXPECT_NE(y[i], 0.0);  // products store non-zeros only
  }
  // The operand as the target: x = M x.
  const Matrix dsq = randomDense(n(), n(), GetParam().density, rng);
  SparseMatrix sq = makeMatrix(n(), n(), Kinds::RowsOnly);
  fillShuffled(sq, dsq, rng);
  SparseVector x(a);
  x.isMatMulVec(sq, x);
  Vector want(n());
  want.isMatMulVec(dsq, da);
  EXPECT_TRUE(sameDense(denseOf(x), want, kSparseVectorTol));
}

INSTANTIATE_TEST_SUITE_P(Sizes, SparseVectorVsDense, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return "n" + std::to_string(info.param.n) + "_d" +
                                  std::to_string(static_cast<int>(info.param.density * 100));
                         });

}  // namespace
