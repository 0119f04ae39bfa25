// The sparse classes' edge cases as one table: list heights from the size, reads that do or do
// not store, resizes, normalisation, aliasing of the sums, block copies and reads, transposes,
// the failure texts, empty ranges and reads that must keep both kinds of lists in step.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "errors/ZtException.h"
#include "support/SparseFixtures.h"

using namespace sparsetest;

namespace {

constexpr ZtSize kAll = ~ZtSize{0};

std::vector<std::pair<ZtSize, double>> entriesOf(const SparseVector& v) {
  std::vector<std::pair<ZtSize, double>> out;
  v.forEach(&out, [](void* ctx, ZtSize i, double x) {
    static_cast<std::vector<std::pair<ZtSize, double>>*>(ctx)->emplace_back(i, x);
  });
  return out;
}

std::vector<Entry> entriesOf(const SparseMatrix& m) {
  std::vector<Entry> out;
  m.forEach(&out, [](void* ctx, ZtSize r, ZtSize c, double x) { static_cast<std::vector<Entry>*>(ctx)->emplace_back(r, c, x); });
  std::sort(out.begin(), out.end());
  return out;
}

// Runs f, which must throw a ZtException of code 256 whose text ends with "<signature> <message>".
void expectMathError(const std::function<void()>& f, const std::string& signature, const std::string& message) {
  try {
    f();
    ADD_FAILURE() << "no exception for " << message;
  } catch (const ZtException& e) {
    EXPECT_EQ(e.result(), 256);
    const std::string tail = signature + " " + message;
    const std::string text = e.text();
    ASSERT_GE(text.size(), tail.size()) << text;
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << text;
    EXPECT_NE(text.find("Info: " + tail), std::string::npos) << text;  // composed with the code
  }
}

const char* const kGetValueSig = "ZtReal zelto::SparseMatrix::getValue(ZtSize, ZtSize) const";
const char* const kRowSig =
    "void zelto::SparseMatrix::getDenseRowVector(zelto::Vector&, ZtSize, ZtSize, ZtSize, ZtSize) const";
const char* const kColSig =
    "void zelto::SparseMatrix::getDenseColVector(zelto::Vector&, ZtSize, ZtSize, ZtSize, ZtSize) const";
const char* const kSubSig =
    "void zelto::SparseMatrix::getDenseSubMatrix(zelto::Matrix&, ZtSize, ZtSize, ZtSize, ZtSize, ZtSize, ZtSize) "
    "const";
const char* const kSetSubSig =
    "void zelto::SparseMatrix::setSubMatrix(const zelto::SparseMatrix&, ZtSize, ZtSize, ZtSize, ZtSize, ZtSize, "
    "ZtSize)";

// 3 x 3 with (r, c) = 10 r + c + 1 everywhere.
SparseMatrix filled3x3(Kinds kinds) {
  SparseMatrix m = makeMatrix(3, 3, kinds);
  for (ZtSize r = 0; r < 3; ++r)
    for (ZtSize c = 0; c < 3; ++c) m.appendValue(r, c, static_cast<double>(10 * r + c + 1));
  return m;
}

struct EdgeCase {
  const char* name;
  std::function<void()> run;
};

const EdgeCase kEdgeCases[] = {
    {"maxLevel from the size",
     [] {
       const std::pair<ZtSize, uint16_t> table[] = {{0, 1}, {1, 1}, {2, 2}, {4, 2}, {5, 3}, {16, 3},
                                                    {17, 4}, {64, 4}, {65, 5}, {~ZtSize{0}, 33}};
       for (auto [n, level] : table) {
         EXPECT_EQ(SparseVector::maxLevelFor(n), level) << n;
         if (n <= 65) {
           EXPECT_EQ(SparseVector(n).list().maxLevel(), level) << n;
         }
       }
     }},
    {"const operator[] stores nothing, the other stores 0",
     [] {
       SparseVector v(10);
       v[2] = 1.5;
       const SparseVector& cv = v;
       EXPECT_EQ(cv[7], 0.0);
       EXPECT_EQ(cv[2], 1.5);
       EXPECT_EQ(entriesOf(v).size(), 1u);
       EXPECT_EQ(v[7], 0.0);
       const std::vector<std::pair<ZtSize, double>> want{{2, 1.5}, {7, 0.0}};
       EXPECT_EQ(entriesOf(v), want);
       SparseMatrix m(3, 3, true, false);
       EXPECT_EQ(m.getValue(1, 2), 0.0);
       EXPECT_EQ(entriesOf(m), (std::vector<Entry>{{1, 2, 0.0}}));
     }},
    {"getValue stores the absent entry in both kinds",
     [] {
       SparseMatrix m(4, 4, true, true);
       m.setValue(1, 1, 2.0);
       EXPECT_EQ(m.getValue(2, 3), 0.0);
       EXPECT_EQ(m.getValue(1, 1), 2.0);
       EXPECT_TRUE(kindsAgree(m));
       EXPECT_EQ(m.rowList(2)[3], 0.0);
       EXPECT_EQ(m.colList(3).list().find(2) != nullptr, true);
     }},
    {"resize 5 -> 3 -> 5",
     [] {
       SparseVector v(5);
       v[1] = 1.0;
       v[3] = 3.0;
       v[4] = 4.0;
       v.resize(3);
       EXPECT_EQ(v.size(), 3u);
       EXPECT_EQ(entriesOf(v), (std::vector<std::pair<ZtSize, double>>{{1, 1.0}}));
       v.resize(5);
       const SparseVector& cv = v;
       EXPECT_EQ(cv[3], 0.0);
       EXPECT_EQ(cv[4], 0.0);
       EXPECT_EQ(entriesOf(v).size(), 1u);
     }},
    {"isNormalizeSelf of 1e-17, of (3, 4) and of nothing",
     [] {
       SparseVector tiny(4);
       tiny[2] = 1e-17;
       EXPECT_EQ(tiny.isNormalizeSelf(), 0.0);
       EXPECT_TRUE(tiny.empty());
       SparseVector v(10);
       v[2] = 3.0;
       v[7] = 4.0;
       EXPECT_EQ(v.isNormalizeSelf(), 5.0);
       EXPECT_DOUBLE_EQ(v[2], 0.6);
       EXPECT_DOUBLE_EQ(v[7], 0.8);
       SparseVector none(3);
       EXPECT_EQ(none.isNormalizeSelf(), 0.0);
     }},
    {"isVecSubVec called on b; isSelfNegVec keeps every entry",
     [] {
       SparseVector a(6), b(6);
       a[0] = 5.0;
       a[2] = 1.0;
       b[2] = 4.0;
       b[5] = 2.0;
       b[3] = 0.0;
       b.isVecSubVec(a, b);
       const std::vector<std::pair<ZtSize, double>> want{{0, 5.0}, {2, -3.0}, {3, 0.0}, {5, -2.0}};
       EXPECT_EQ(entriesOf(b), want);
       b.isSelfNegVec();
       const std::vector<std::pair<ZtSize, double>> neg{{0, -5.0}, {2, 3.0}, {3, -0.0}, {5, 2.0}};
       EXPECT_EQ(entriesOf(b), neg);
     }},
    {"isMatMulMat stores no entry for an exact 0",
     [] {
       SparseMatrix a(2, 2, true, false), b(2, 2, false, true), p(2, 2, true, true);
       a.appendValue(0, 0, 1.0);
       a.appendValue(0, 1, 1.0);
       a.appendValue(1, 0, 2.0);
       b.appendValue(0, 0, 1.0);
       b.appendValue(1, 0, -1.0);
       b.appendValue(0, 1, 3.0);
       p.isMatMulMat(a, b);  // (0,0) = 1 - 1 = 0
       EXPECT_EQ(entriesOf(p), (std::vector<Entry>{{0, 1, 3.0}, {1, 0, 2.0}, {1, 1, 6.0}}));
       EXPECT_TRUE(kindsAgree(p));
     }},
    {"dense 2 x 2 into (1, 1) of a 3 x 3",
     [] {
       for (Kinds kinds : {Kinds::Both, Kinds::RowsOnly, Kinds::ColsOnly}) {
         SparseMatrix m = filled3x3(kinds);
         const double src[] = {7.0, 0.0, 0.0, 9.0};
         m.setSubMatrix(Matrix(2, 2, src), 1, 1, 2, 2, 0, 0);
         const std::vector<Entry> want{{0, 0, 1.0},  {0, 1, 2.0},  {0, 2, 3.0}, {1, 0, 11.0},
                                       {1, 1, 7.0},  {2, 0, 21.0}, {2, 2, 9.0}};
         EXPECT_EQ(entriesOf(m), want) << kindsName(kinds);
         EXPECT_TRUE(kindsAgree(m));
       }
     }},
    {"sparse 2 x 2 into (1, 1) of a 3 x 3, and whole rows",
     [] {
       SparseMatrix src(2, 3, false, true);
       src.setValue(0, 1, 7.0);
       src.setValue(1, 2, 9.0);
       SparseMatrix m = filled3x3(Kinds::Both);
       m.setSubMatrix(src, 1, 1, 2, 2, 0, 1);
       const std::vector<Entry> want{{0, 0, 1.0},  {0, 1, 2.0},  {0, 2, 3.0}, {1, 0, 11.0},
                                     {1, 1, 7.0},  {2, 0, 21.0}, {2, 2, 9.0}};
       EXPECT_EQ(entriesOf(m), want);
       EXPECT_TRUE(kindsAgree(m));
       SparseMatrix rowsSrc(2, 3, true, false);
       rowsSrc.setValue(1, 0, 5.0);
       SparseMatrix w = filled3x3(Kinds::Both);
       w.setSubMatrix(rowsSrc, 1, 0, kAll, kAll, 0, 0);  // rows 1 and 2 become rows 0 and 1 of src
       EXPECT_EQ(entriesOf(w), (std::vector<Entry>{{0, 0, 1.0}, {0, 1, 2.0}, {0, 2, 3.0}, {2, 0, 5.0}}));
       EXPECT_TRUE(kindsAgree(w));
     }},
    {"whole rows from a wider source copy only this matrix's columns",
     [] {
       SparseMatrix src(2, 4, true, false);
       src.setValue(0, 1, 5.0);
       src.setValue(0, 3, 6.0);  // beyond the destination's 3 columns
       SparseMatrix m = filled3x3(Kinds::Both);
       m.setSubMatrix(src, 1, 0, 2, 3, 0, 0);
       EXPECT_EQ(entriesOf(m), (std::vector<Entry>{{0, 0, 1.0}, {0, 1, 2.0}, {0, 2, 3.0}, {1, 1, 5.0}}));
       EXPECT_TRUE(kindsAgree(m));
       EXPECT_EQ(m.rowList(1).list().find(3), nullptr);
     }},
    {"getDenseSubMatrix of (1, 1) into (0, 0) of a 2 x 2, and the dense forwarder",
     [] {
       for (Kinds kinds : {Kinds::Both, Kinds::RowsOnly, Kinds::ColsOnly}) {
         SparseMatrix m = makeMatrix(3, 3, kinds);
         m.setValue(1, 1, 11.0);
         m.setValue(2, 1, 21.0);
         m.setValue(0, 2, 2.0);
         const double junk[] = {-1.0, -1.0, -1.0, -1.0};
         Matrix d(2, 2, junk);
         m.getDenseSubMatrix(d, 1, 1, 2, 2, 0, 0);
         const double want[] = {11.0, 0.0, 21.0, 0.0};
         EXPECT_TRUE(sameDense(d, Matrix(2, 2, want))) << kindsName(kinds);
         Matrix e(2, 2, junk);
         e.setSubMatrix(m, 0, 0, 2, 2, 1, 1);
         EXPECT_TRUE(sameDense(e, Matrix(2, 2, want))) << kindsName(kinds);
       }
     }},
    {"isTransposeSelf of row lists only",
     [] {
       SparseMatrix m(2, 3, true, false);
       m.setValue(0, 2, 4.0);
       m.isTransposeSelf();
       EXPECT_FALSE(m.hasRowData());
       EXPECT_TRUE(m.hasColData());
       EXPECT_EQ(m.rows(), 3u);
       EXPECT_EQ(m.cols(), 2u);
       EXPECT_EQ(entriesOf(m), (std::vector<Entry>{{2, 0, 4.0}}));
     }},
    {"no data! and index out of range without lists",
     [] {
       SparseMatrix m(3, 3, false, false);
       expectMathError([&] { m.getValue(0, 0); }, kGetValueSig, "no data!");
       Vector v(3);
       expectMathError([&] { m.getDenseRowVector(v, 0, 0, 3, 0); }, kRowSig, "index out of range");
       expectMathError([&] { m.getDenseColVector(v, 0, 0, 3, 0); }, kColSig, "index out of range");
       const double ones[] = {1, 1, 1, 1};
       Matrix d(2, 2, ones);
       expectMathError([&] { m.getDenseSubMatrix(d, 0, 0, 2, 2, 0, 0); }, kSubSig, "index out of range");
       EXPECT_TRUE(sameDense(d, Matrix(2, 2)));  // zeroed before the failure
       Matrix e(2, 2, ones);
       expectMathError([&] { e.setSubMatrix(m, 0, 0, 1, 1, 0, 0); }, kSubSig, "index out of range");
       const double vv[] = {1.0, 1.0, 1.0};
       expectMathError([&] { m.isSelfAddVecMulMat(Vector(3, vv), filled3x3(Kinds::RowsOnly)); }, kGetValueSig,
                       "no data!");
     }},
    {"source has no data",
     [] {
       SparseMatrix src(3, 3, false, false);
       SparseMatrix m = filled3x3(Kinds::Both);
       expectMathError([&] { m.setSubMatrix(src, 1, 1, 2, 2, 0, 0); }, kSetSubSig, "source has no data");
       // The destination block is already erased.
       EXPECT_EQ(entriesOf(m), (std::vector<Entry>{{0, 0, 1.0}, {0, 1, 2.0}, {0, 2, 3.0}, {1, 0, 11.0}, {2, 0, 21.0}}));
       EXPECT_TRUE(kindsAgree(m));
     }},
    {"empty ranges at index 0 erase nothing",
     [] {
       SparseVector v(4);
       v[0] = 1.0;
       v[3] = 2.0;
       SparseVector other(4);
       other[0] = 5.0;
       v.isSubZero(0, 0);
       v.setSubVector(other, 0, 0, 0);
       v.setSubVector(static_cast<const ZtVector&>(Vector(4)), 0, 0, 0);
       EXPECT_EQ(entriesOf(v).size(), 2u);
       SparseMatrix m = filled3x3(Kinds::Both);
       m.zeroSub(0, 0, 0, 3);
       m.zeroSub(0, 0, 3, 0);
       m.setSubMatrix(Matrix(3, 3), 0, 0, 0, 0, 0, 0);
       m.setSubMatrix(SparseMatrix(3, 3, true, true), 0, 0, 0, 2, 0, 0);
       m.setSubMatrix(SparseMatrix(3, 3, false, true), 0, 0, 2, 0, 0, 0);
       EXPECT_EQ(entriesOf(m).size(), 9u);
       EXPECT_TRUE(kindsAgree(m));
     }},
    {"sums keep zero results stored",
     [] {
       SparseVector a(5), b(5), t(5);
       a[1] = 2.0;
       b[1] = 2.0;
       b[4] = 0.0;
       t.isVecSubVec(a, b);
       EXPECT_EQ(entriesOf(t), (std::vector<std::pair<ZtSize, double>>{{1, 0.0}, {4, 0.0}}));
       a.isSelfSubVec(b);
       EXPECT_EQ(entriesOf(a), (std::vector<std::pair<ZtSize, double>>{{1, 0.0}, {4, 0.0}}));
     }},
};

TEST(SparseEdgeCases, Table) {
  for (const EdgeCase& c : kEdgeCases) {
    SCOPED_TRACE(c.name);
    c.run();
  }
}

}  // namespace
