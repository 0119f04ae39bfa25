// zelto::Quaternion: Hamilton products, conversions to and from rotation matrices, Euler angles
// and rotation vectors, slerp, the q / -q comparison and the text and binary forms; the special
// 3 x 3 matrices and rotations of zelto::Matrix and Matrix3x3. Eigen serves as the independent
// reference for the rotation conventions.
#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>

#include "math/Matrix.h"
#include "math/Matrix3x3.h"
#include "math/Quaternion.h"
#include "math/Vector.h"
#include "math/Vector3.h"

using namespace zelto;

namespace {

const double kPi = 3.14159265358979323846;
const double kC45 = std::cos(kPi / 4);

::testing::AssertionResult nearQuat(const ZtQuaternion& a, const ZtQuaternion& b, double tol) {
  if (std::fabs(a.w - b.w) <= tol && std::fabs(a.x - b.x) <= tol && std::fabs(a.y - b.y) <= tol &&
      std::fabs(a.z - b.z) <= tol)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "(" << a.w << ", " << a.x << ", " << a.y << ", " << a.z << ") vs ("
                                       << b.w << ", " << b.x << ", " << b.y << ", " << b.z << ")";
}

::testing::AssertionResult nearMatrix(const ZtMatrix& a, const ZtMatrix& b, double tol) {
  for (ZtSize r = 0; r < a.rows; ++r)
    for (ZtSize c = 0; c < a.cols; ++c)
      if (!(std::fabs(a.data[r * a.stride + c] - b.data[r * b.stride + c]) <= tol))
        return ::testing::AssertionFailure() << "element (" << r << ", " << c << "): " << a.data[r * a.stride + c]
                                             << " vs " << b.data[r * b.stride + c];
  return ::testing::AssertionSuccess();
}

Quaternion randomUnit(std::mt19937_64& rng) {
  std::normal_distribution<double> n(0.0, 1.0);
  Quaternion q(n(rng), n(rng), n(rng), n(rng));
  q.isNormalizeSelf();
  return q;
}

// ---- text and binary forms ----------------------------------------------------------------

TEST(QuaternionForms, TextForm) {
  Quaternion q;
  q.isIdentity();
  char buffer[256];
  EXPECT_EQ(q.writeToString(nullptr), 8);
  EXPECT_EQ(q.writeToString(buffer), 8);
  EXPECT_STREQ(buffer, "1 0 0 0 ");
  std::string s = "q=";
  EXPECT_EQ(Quaternion(0.5, -0.5, 0.25, 1e-300).writeToString(s), 21);
  EXPECT_EQ(s, "q=0.5 -0.5 0.25 1e-300 ");

  Quaternion r(0, 1, 0, 0);
  EXPECT_EQ(r.readFromString("1 0 0 0 more words"), 7);
  EXPECT_EQ(r.w, 1.0);
  EXPECT_EQ(r.x, 0.0);
  EXPECT_EQ(r.readFromString(std::string("0 0 2 0")), 7);  // normalised on reading
  EXPECT_EQ(r.y, 1.0);
  const Quaternion before = r;
  EXPECT_EQ(r.readFromString("1 2 3"), 0);
  EXPECT_EQ(r.readFromString("a b c d"), 0);
  EXPECT_EQ(std::memcmp(&r, &before, sizeof r), 0);
}

TEST(QuaternionForms, BinaryForm) {
  const Quaternion q(2, 0, 0, 0);
  EXPECT_EQ(q.serialize(nullptr), 32);
  char bytes[32];
  EXPECT_EQ(q.serialize(bytes), 32);
  double raw[4];
  std::memcpy(raw, bytes, 32);
  EXPECT_EQ(raw[0], 2.0);  // written as held
  Quaternion r(0, 0, 0, 0);
  EXPECT_EQ(r.deserialize(bytes), 32);
  EXPECT_TRUE(nearQuat(r, Quaternion(1, 0, 0, 0), 0.0));  // normalised on reading
  Quaternion bounded(0, 1, 0, 0);
  EXPECT_EQ(bounded.deserialize(bytes, 31), 0);
  EXPECT_EQ(bounded.x, 1.0);
  // A zero quaternion read back is detectably invalid.
  const Quaternion zero(0, 0, 0, 0);
  zero.serialize(bytes);
  EXPECT_EQ(r.deserialize(bytes, 32), 32);
  EXPECT_FALSE(r.isValid(0.0));
}

TEST(QuaternionForms, ValidityDisplayAndStream) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    Quaternion q;
    double tolerance;
    bool valid;
  } cases[] = {
      {Quaternion(1, 0, 0, 0), 0.0, true},   {Quaternion(2, 0, 0, 0), 0.0, true},
      {Quaternion(2, 0, 0, 0), 1e-6, false}, {Quaternion(1.0000001, 0, 0, 0), 1e-6, true},
      {Quaternion(inf, 0, 0, 0), 0.0, false}, {Quaternion(1, std::nan(""), 0, 0), -1.0, false},
  };
  for (const Case& c : cases) EXPECT_EQ(c.q.isValid(c.tolerance), c.valid) << c.q.w << " " << c.tolerance;

  char buffer[128];
  Quaternion(1, 0.5, 0, -2).display(buffer);
  EXPECT_STREQ(buffer, "Quat: [ 1 0.5 0 -2 ]\n");
  std::ostringstream os;
  os << Quaternion(1, 0.5, 0, -2);
  EXPECT_EQ(os.str(), "[Q]( 1 0.5 0 -2 )");
}

// ---- products, comparison and matrices ----------------------------------------------------

Eigen::Quaterniond quaternionToEigen(const ZtQuaternion& q) { return Eigen::Quaterniond(q.w, q.x, q.y, q.z); }

Eigen::Matrix3d toEigen3(const ZtMatrix& m) {
  Eigen::Matrix3d e;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) e(r, c) = m.data[r * m.stride + c];
  return e;
}

Matrix3x3 quaternionFromEigen(const Eigen::Matrix3d& e) {
  Matrix3x3 m;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) m(r, c) = e(r, c);
  return m;
}

Eigen::Matrix3d rx(double a) { return Eigen::AngleAxisd(a, Eigen::Vector3d::UnitX()).toRotationMatrix(); }
Eigen::Matrix3d ry(double a) { return Eigen::AngleAxisd(a, Eigen::Vector3d::UnitY()).toRotationMatrix(); }
Eigen::Matrix3d rz(double a) { return Eigen::AngleAxisd(a, Eigen::Vector3d::UnitZ()).toRotationMatrix(); }

TEST(Quaternion, HamiltonProductAgainstEigen) {
  std::mt19937_64 rng(1);
  for (int i = 0; i < 50; ++i) {
    const Quaternion a = randomUnit(rng), b = randomUnit(rng);
    Quaternion p;
    p.isQuatMulQuat(a, b);
    const Eigen::Quaterniond e = quaternionToEigen(a) * quaternionToEigen(b);
    EXPECT_TRUE(nearQuat(p, Quaternion(e.w(), e.x(), e.y(), e.z()), 1e-15));
    // In place, either operand.
    Quaternion c = a;
    c.isQuatMulQuat(c, b);
    EXPECT_TRUE(nearQuat(c, p, 0.0));
    c = b;
    c.isQuatMulQuat(a, c);
    EXPECT_TRUE(nearQuat(c, p, 0.0));
    Quaternion inv;
    inv.isInverseOf(a);
    c.isQuatMulQuat(a, inv);
    EXPECT_TRUE(nearQuat(c, Quaternion(1, 0, 0, 0), 1e-15));
    // isQuat(a b) = isQuat(a) isQuat(b).
    Matrix3x3 ma, mb, mab, prod;
    ma.isQuat(a);
    mb.isQuat(b);
    mab.isQuat(p);
    prod.isMatMulMat(ma, mb);
    EXPECT_TRUE(nearMatrix(mab, prod, 1e-14));
    EXPECT_TRUE(toEigen3(ma).isApprox(quaternionToEigen(a).toRotationMatrix(), 1e-14));
    // Left and right product matrices.
    Matrix l(4, 4), r(4, 4);
    l.isLeftQuat(a);
    r.isRightQuat(b);
    Vector va(a), vb(b), lp(4), rp(4);
    lp.isMatMulVec(l, vb);
    rp.isMatMulVec(r, va);
    EXPECT_TRUE(nearQuat(Quaternion(lp), p, 1e-15));
    EXPECT_TRUE(nearQuat(Quaternion(rp), p, 1e-15));
  }
}

TEST(Quaternion, ComparisonTreatsNegationAsEqual) {
  const Quaternion q(0.5, 0.5, -0.5, 0.5);
  const Quaternion neg(-0.5, -0.5, 0.5, -0.5);
  Quaternion conj;
  conj.isInverseOf(q);
  EXPECT_TRUE(q == neg);
  EXPECT_TRUE(q.compare(neg, 0.0));
  EXPECT_TRUE(q.compare(neg, uint64_t{0}));
  EXPECT_FALSE(q == conj);
  EXPECT_TRUE(q != conj);
  EXPECT_TRUE(Quaternion(1, 0, 0, 0) == Quaternion(-1, 0, 0, 0));
  EXPECT_TRUE(q.compare(Quaternion(0.5, 0.5, -0.5, 0.5 + 1e-9), 1e-8));
  EXPECT_FALSE(q.compare(Quaternion(0.5, 0.5, -0.5, 0.5 + 1e-9), 1e-10));
  Quaternion p = q;
  p.makePositiveDefinite();
  EXPECT_EQ(p.w, 0.5);
  p = neg;
  p.makePositiveDefinite();
  EXPECT_TRUE(nearQuat(p, q, 0.0));
}

TEST(Quaternion, RotationMatrixConversion) {
  Quaternion q;
  Matrix3x3 m;
  m.isIdentity();
  q.isRmat(m);
  EXPECT_TRUE(nearQuat(q, Quaternion(1, 0, 0, 0), 0.0));
  const double d[3] = {1, -1, -1};
  m.isDiag(d);
  q.isRmat(m);
  EXPECT_TRUE(nearQuat(q, Quaternion(0, -1, 0, 0), 0.0));

  // Round trips, including rotations near 180 degrees about each axis (the other branches).
  std::mt19937_64 rng(2);
  std::vector<Quaternion> qs;
  for (int i = 0; i < 40; ++i) qs.push_back(randomUnit(rng));
  for (double s : {1.0, -1.0}) {
    qs.push_back(Quaternion(1e-5, s, 0.01, 0));
    qs.push_back(Quaternion(1e-5, 0.01, s, 0));
    qs.push_back(Quaternion(1e-5, 0, 0.01, s));
  }
  for (Quaternion& in : qs) {
    in.isNormalizeSelf();
    m.isQuat(in);
    q.isRmat(m);
    EXPECT_TRUE(q.compare(in, 1e-12)) << in.w << " " << in.x << " " << in.y << " " << in.z;
  }
  Quaternion row;
  const double rows[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  const Matrix rm(2, 4, rows);
  row.isMatRow(rm, 1);
  EXPECT_TRUE(nearQuat(row, Quaternion(5, 6, 7, 8), 0.0));
  const Matrix cm(4, 2, rows);
  row.isMatCol(cm, 1);
  EXPECT_TRUE(nearQuat(row, Quaternion(2, 4, 6, 8), 0.0));
}

TEST(Quaternion, EulerAngles) {
  Vector3 yaw90(0, 0, 90);
  Quaternion q;
  q.isEuler(yaw90);
  EXPECT_TRUE(nearQuat(q, Quaternion(kC45, 0, 0, kC45), 1e-15));
  Vector3 back;
  q.setEuler(back);
  EXPECT_NEAR(back[0], 0, 1e-12);
  EXPECT_NEAR(back[1], 0, 1e-12);
  EXPECT_NEAR(back[2], 90, 1e-12);

  Matrix3x3 m;
  Vector3 out;
  m.isEuler(Vector3(90, 0, 0));  // roll 90 maps y to z
  out.isMatMulVec(m, Vector3(0, 1, 0));
  EXPECT_NEAR(out[2], 1.0, 1e-15);
  m.isEuler(Vector3(0, 0, 90));  // yaw 90 maps x to y
  out.isMatMulVec(m, Vector3(1, 0, 0));
  EXPECT_NEAR(out[1], 1.0, 1e-15);

  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> angle(-179.0, 179.0), pitch(-89.0, 89.0);
  for (int i = 0; i < 50; ++i) {
    const Vector3 v(angle(rng), pitch(rng), angle(rng));
    m.isEuler(v);
    const double k = kPi / 180;
    EXPECT_TRUE(toEigen3(m).isApprox(rz(v[2] * k) * ry(v[1] * k) * rx(v[0] * k), 1e-13));
    q.isEuler(v);
    q.setEuler(back);
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(back[j], v[j], 1e-9);

    // ZXY: the angles (a, b, c) of Rx(a) Ry(b) Rz(c).
    const Matrix3x3 zxy = quaternionFromEigen(rx(v[0] * k) * ry(v[1] * k) * rz(v[2] * k));
    q.isRmat(zxy);
    q.setEulerZXY(back);
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(back[j], v[j], 1e-9);

    q.isEulerYUp(v);
    q.setEulerYUp(back);
    for (int j = 0; j < 3; ++j) EXPECT_NEAR(back[j], v[j], 1e-9);
  }

  Quaternion z90;
  z90.isRotateZ(kPi / 2);
  z90.setEulerZXY(back);  // through the gimbal branch
  EXPECT_EQ(back[0], 0.0);
  EXPECT_EQ(back[2], 90.0);
  EXPECT_NEAR(back[1], 0.0, 1e-12);

  q.isEulerYUp(Vector3(0, 0, 0));
  EXPECT_TRUE(nearQuat(q, qgm, 1e-16));
  Quaternion prod;
  prod.isQuatMulQuat(qgm, qmg);
  EXPECT_TRUE(nearQuat(prod, Quaternion(1, 0, 0, 0), 0.0));
  // qgm is the rotation by 120 degrees about (1, 1, 1)/sqrt(3).
  const Eigen::Quaterniond ref(Eigen::AngleAxisd(2 * kPi / 3, Eigen::Vector3d(1, 1, 1).normalized()));
  EXPECT_TRUE(nearQuat(qgm, Quaternion(ref.w(), ref.x(), ref.y(), ref.z()), 1e-15));
}

TEST(Quaternion, RotationVector) {
  Quaternion q;
  q.isHelical(Vector3(0, 0, 0));
  EXPECT_TRUE(nearQuat(q, Quaternion(1, 0, 0, 0), 0.0));
  q.isHelical(Vector3(0, 0, kPi));
  EXPECT_TRUE(nearQuat(q, Quaternion(0, 0, 0, 1), 1e-15));
  q.isHelical(Vector3(0, 0, 3 * kPi / 2));
  EXPECT_TRUE(nearQuat(q, Quaternion(kC45, 0, 0, -kC45), 1e-15));

  std::mt19937_64 rng(4);
  std::normal_distribution<double> n(0.0, 1.0);
  for (int i = 0; i < 50; ++i) {
    const Vector3 v(n(rng), n(rng), n(rng));
    q.isHelical(v);
    const Eigen::Vector3d ev(v[0], v[1], v[2]);
    Eigen::Quaterniond ref(Eigen::AngleAxisd(ev.norm(), ev.normalized()));
    EXPECT_TRUE(q.compare(Quaternion(ref.w(), ref.x(), ref.y(), ref.z()), 1e-14));
    Vector3 back;
    double s;
    q.setHelical(back, s);
    EXPECT_NEAR(s, std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z), 1e-15);
    EXPECT_LE(back.l2Norm(), kPi + 1e-12);
    Quaternion again;
    again.isHelical(back);
    EXPECT_TRUE(again.compare(q, 1e-12));
  }
}

TEST(Quaternion, Slerp) {
  std::mt19937_64 rng(5);
  for (int i = 0; i < 20; ++i) {
    Quaternion a = randomUnit(rng), b = randomUnit(rng);
    Quaternion r;
    r.isSlerp(a, b, 0.0, 1e-9);
    const double d = a.w * b.w + a.x * b.x + a.y * b.y + a.z * b.z;
    Quaternion expectA = a;
    if (d < 0) expectA = Quaternion(-a.w, -a.x, -a.y, -a.z);
    EXPECT_TRUE(nearQuat(r, expectA, 1e-14));
    r.isSlerp(a, b, 1.0, 1e-9);
    EXPECT_TRUE(nearQuat(r, b, 1e-14));
    // Constant angular rate along the path.
    Quaternion prev = expectA;
    double first = -1;
    for (int k = 1; k <= 8; ++k) {
      r.isSlerp(a, b, k / 8.0, 1e-9);
      const double step = acosClamped(std::fabs(prev.w * r.w + prev.x * r.x + prev.y * r.y + prev.z * r.z));
      if (first < 0) first = step;
      EXPECT_NEAR(step, first, 1e-12);
      prev = r;
    }
  }
  const Quaternion a(kC45, kC45, 0, 0), b(0, 0, kC45, -kC45);  // d = 0: no flip
  const Quaternion negA(-0.6, 0, 0.8, 0), bb(0.6, 0.8, 0, 0);  // d = -0.36
  Quaternion r;
  r.isSlerp(negA, bb, 0.5, 1e-9);
  Quaternion expect(bb.w - negA.w, bb.x - negA.x, bb.y - negA.y, bb.z - negA.z);
  expect.isNormalizeSelf();
  EXPECT_TRUE(nearQuat(r, expect, 1e-15));
  r.isSlerp(a, Quaternion(-a.w, -a.x, -a.y, -a.z), 0.5, 1e-9);  // a = -b: angle 0, result a
  EXPECT_TRUE(nearQuat(r, a, 0.0));
  r.isSlerp(a, b, 0.5, 1e-9);
  EXPECT_NEAR(r.cartesianLength(), 1.0, 1e-15);
}

TEST(Quaternion, RotateVectorMatchesMatrix) {
  std::mt19937_64 rng(6);
  std::normal_distribution<double> n(0.0, 1.0);
  for (int i = 0; i < 50; ++i) {
    const Quaternion q = randomUnit(rng);
    const Vector3 v(n(rng), n(rng), n(rng));
    Vector3 byQuat, byMatrix;
    byQuat.isRotateVecByQuat(v, q);
    Matrix3x3 m;
    m.isQuat(q);
    byMatrix.isMatMulVec(m, v);
    const Eigen::Vector3d ref = quaternionToEigen(q) * Eigen::Vector3d(v[0], v[1], v[2]);
    for (int j = 0; j < 3; ++j) {
      EXPECT_NEAR(byQuat[j], byMatrix[j], 1e-14);
      EXPECT_NEAR(byQuat[j], ref[j], 1e-14);
    }
  }
  Quaternion qx;
  qx.isRotateX(kPi / 2);
  Vector3 out;
  out.isRotateVecByQuat(Vector3(0, 1, 0), qx);
  EXPECT_NEAR(out[2], 1.0, 1e-15);
}

// ---- special matrices -----------------------------------------------------------------------

TEST(SpecialMatrices, IdentityRotationsAndCross) {
  Matrix m(4, 4);
  m.isIdentity(2.0, 5);
  for (ZtSize r = 0; r < 4; ++r)
    for (ZtSize c = 0; c < 4; ++c) EXPECT_EQ(m(r, c), r == c && r % 2 == 0 ? 2.0 : 0.0);
  // A strided view: only the view's elements are written.
  double big[8] = {9, 9, 9, 9, 9, 9, 9, 9};
  Matrix view(2, 2, 4, big, 0);
  view.isIdentity();
  EXPECT_EQ(std::vector<double>(big, big + 8), (std::vector<double>{1, 0, 9, 9, 0, 1, 9, 9}));

  Matrix3x3 r;
  Vector3 out;
  r.isRotateZ(kPi / 2);
  out.isMatMulVec(r, Vector3(1, 0, 0));
  EXPECT_NEAR(out[1], 1.0, 1e-15);
  EXPECT_NEAR(out[0], 0.0, 1e-15);
  const double a = 0.7;
  r.isRotateX(a);
  EXPECT_TRUE(toEigen3(r).isApprox(rx(a), 1e-15));
  r.isRotateY(a);
  EXPECT_TRUE(toEigen3(r).isApprox(ry(a), 1e-15));
  Quaternion q;
  q.isRotateY(a);
  Matrix3x3 fromQ;
  fromQ.isQuat(q);
  EXPECT_TRUE(nearMatrix(fromQ, r, 1e-15));

  const Vector3 v(1, -2, 3), x(0.5, 4, -1);
  Matrix3x3 k;
  k.isMcrossVec(v);
  Vector3 kx, cross;
  kx.isMatMulVec(k, x);
  cross.isVecCrossVec(v, x);
  for (int j = 0; j < 3; ++j) EXPECT_EQ(kx[j], cross[j]);
  Matrix3x3 kn;
  kn.isMcrossNegVec(v);
  for (ZtSize i = 0; i < 9; ++i) EXPECT_EQ(kn.data[i], -k.data[i]);

  Matrix3x3 q2;
  q2.isQuat(Quaternion(2, 0, 0, 0));
  EXPECT_EQ(q2(0, 0), 4.0);  // not normalised: scaled by 4

  const double d2[4] = {3, 1, 4, 2};
  EXPECT_EQ(Matrix(2, 2, d2).det2x2(), 2.0);
  std::mt19937_64 rng(7);
  std::normal_distribution<double> n(0.0, 1.0);
  Matrix3x3 g;
  for (ZtSize i = 0; i < 9; ++i) g.data[i] = n(rng);
  EXPECT_NEAR(g.det3x3(), toEigen3(g).determinant(), 1e-13);
}

TEST(SpecialMatrices, OrthonormalFrames) {
  Matrix3x3 m;
  m.makeOrthonormalXZ(Vector3(2, 0, 0), Vector3(1, 0, 1));
  Matrix3x3 id;
  id.isIdentity();
  EXPECT_TRUE(nearMatrix(m, id, 0.0));

  const Vector3 a(1, 2, 0.5), b(-1, 0.3, 2);
  struct Case {
    void (Matrix::*make)(const ZtVector&, const ZtVector&);
    int first;   // column along a
    int second;  // column in the plane of a and b, on b's side
  } cases[] = {
      {&Matrix::makeOrthonormalXZ, 0, 2},
      {&Matrix::makeOrthonormalYZ, 1, 2},
      {&Matrix::makeOrthonormalZX, 2, 0},
      {&Matrix::makeOrthonormalZY, 2, 1},
  };
  for (const Case& c : cases) {
    (m.*c.make)(a, b);
    const Eigen::Matrix3d e = toEigen3(m);
    EXPECT_TRUE((e.transpose() * e).isApprox(Eigen::Matrix3d::Identity(), 1e-14));
    EXPECT_NEAR(e.determinant(), 1.0, 1e-14);
    const Eigen::Vector3d ea(a[0], a[1], a[2]), eb(b[0], b[1], b[2]);
    EXPECT_TRUE(e.col(c.first).isApprox(ea.normalized(), 1e-14));
    // The second axis lies in the plane of a and b, on b's side.
    EXPECT_NEAR(e.col(c.second).dot(ea.cross(eb)), 0.0, 1e-14);
    EXPECT_GT(e.col(c.second).dot(eb), 0.0);
  }
  // Parallel directions: zero second and third axes.
  m.makeOrthonormalXZ(Vector3(1, 0, 0), Vector3(2, 0, 0));
  EXPECT_EQ(m(0, 0), 1.0);
  for (ZtSize r = 0; r < 3; ++r) {
    EXPECT_EQ(m(r, 1), 0.0);
    EXPECT_EQ(m(r, 2), 0.0);
  }
}

TEST(SpecialMatrices, ExpMatrixIntegrals) {
  const Vector3 axis(0, 0.6, 0.8);
  const double rate = 1.3, t = 0.9;
  Matrix3x3 e, i1, i2, i3;
  e.isExpMatrixInt(rate, axis, t, &i1, &i2, &i3);
  const Eigen::Vector3d n(0, 0.6, 0.8);
  EXPECT_TRUE(toEigen3(e).isApprox(Eigen::AngleAxisd(-rate * t, n).toRotationMatrix(), 1e-14));
  // Simpson integration of R(+a tau), R(-a tau) and of the running integral of R(-a sigma).
  const int steps = 2000;
  const double h = t / steps;
  Eigen::Matrix3d s1 = Eigen::Matrix3d::Zero(), s2 = s1, s3 = s1;
  for (int k = 0; k <= steps; ++k) {
    const double tau = k * h;
    const double w = (k == 0 || k == steps) ? 1 : (k % 2 ? 4 : 2);
    s1 += w * Eigen::AngleAxisd(rate * tau, n).toRotationMatrix();
    s2 += w * Eigen::AngleAxisd(-rate * tau, n).toRotationMatrix();
    s3 += w * (t - tau) * Eigen::AngleAxisd(-rate * tau, n).toRotationMatrix();
  }
  EXPECT_TRUE(toEigen3(i1).isApprox(s1 * h / 3, 1e-10));
  EXPECT_TRUE(toEigen3(i2).isApprox(s2 * h / 3, 1e-10));
  EXPECT_TRUE(toEigen3(i3).isApprox(s3 * h / 3, 1e-10));

  Matrix none;
  e.isExpMatrixInt(0.0, axis, t, &i1, &none, nullptr);
  Matrix3x3 id;
  id.isIdentity();
  EXPECT_TRUE(nearMatrix(e, id, 0.0));
  EXPECT_FALSE(i1.isValid(0.0));  // r = 1/0
}

TEST(SpecialMatrices, Matrix3x3EulerExtractions) {
  int32_t ones[9];
  for (int32_t& v : ones) v = 1 << 20;
  const Matrix3x3 m = toMatrix3x3(ones, 20);
  EXPECT_EQ(m.data, &m(0, 0));
  for (ZtSize i = 0; i < 9; ++i) EXPECT_EQ(m.data[i], 1.0);

  std::mt19937_64 rng(8);
  std::uniform_real_distribution<double> angle(-3.0, 3.0), middle(-1.5, 1.5);
  const double toDeg = 57.29577951308232;
  for (int i = 0; i < 50; ++i) {
    const double a = angle(rng), b = middle(rng), c = angle(rng);
    double x, y, z;
    quaternionFromEigen(ry(a) * rx(b) * rz(c)).toEulerYxz(y, x, z, Radians);
    EXPECT_NEAR(y, a, 1e-12);
    EXPECT_NEAR(x, b, 1e-12);
    EXPECT_NEAR(z, c, 1e-12);
    quaternionFromEigen(rx(a) * rz(b) * ry(c)).toEulerXzyYup(x, y, z, Degrees);
    EXPECT_NEAR(x, a * toDeg, 1e-9);
    EXPECT_NEAR(z, b * toDeg, 1e-9);
    EXPECT_NEAR(y, c * toDeg, 1e-9);
    quaternionFromEigen(rz(a) * rx(b) * ry(c)).toEulerZxyYup(x, y, z, Radians);
    EXPECT_NEAR(z, a, 1e-12);
    EXPECT_NEAR(x, b, 1e-12);
    EXPECT_NEAR(y, c, 1e-12);
  }
  // At 90 degrees of the middle angle the results stay finite.
  double x, y, z;
  quaternionFromEigen(rz(0.3) * rx(kPi / 2) * ry(0.2)).toEulerZxyYup(x, y, z, Radians);
  EXPECT_TRUE(std::isfinite(y) && std::isfinite(z));
  EXPECT_NEAR(x, kPi / 2, 1e-7);
}

}  // namespace
