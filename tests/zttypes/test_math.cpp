// Numeric records: owned versus view storage through construct / assign / copy / destruct,
// and the quaternion and scalar helpers.
#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>

#include "zttypes/ztmath.h"

namespace {

TEST(Vector, OwnedStorageFollowsItsSize) {
  const double src[] = {1, 2, 3, 4};
  ZtVector v;
  ZtVector_construct(&v, 4, src);
  ASSERT_EQ(v.size, 4u);
  EXPECT_EQ(v.flags, ZTMATH_OWNS_DATA);
  EXPECT_NE(v.data, src);
  EXPECT_EQ(v.data[3], 4);

  ASSERT_EQ(ZtVector_assign(&v, 6, nullptr), 0);  // grow: owned storage is reallocated
  EXPECT_EQ(v.size, 6u);
  ASSERT_EQ(ZtVector_assign(&v, 2, v.data + 1), 0);  // source inside our own storage
  EXPECT_EQ(v.data[0], 2);
  EXPECT_EQ(v.data[1], 3);

  ZtVector w;
  ZtVector_construct(&w, 0, nullptr);
  EXPECT_EQ(w.data, nullptr);
  ASSERT_EQ(ZtVector_copy(&w, &v), 0);
  EXPECT_NE(w.data, v.data);
  EXPECT_EQ(w.size, 2u);
  EXPECT_EQ(ZtVector_dotProduct(&v, &w), 13);
  EXPECT_DOUBLE_EQ(ZtVector_cartesianLength(&v), std::sqrt(13.0));

  ZtVector_swap(&v, &w);
  ZtVector_destruct(&v);
  ZtVector_destruct(&w);
  EXPECT_EQ(w.data, nullptr);
  EXPECT_EQ(w.size, 0u);
  EXPECT_EQ(w.flags, 0);
}

// A view (caller storage or storage inside the object) is written in place, never moved
// or freed (ASan reports a free of the stack array).
TEST(Vector, ViewsAreWrittenInPlaceAndNeverFreed) {
  for (int viewFlags : {0, int(ZTMATH_INTERNAL)}) {
    SCOPED_TRACE(viewFlags);
    double storage[3] = {0, 0, 0};
    ZtVector view{storage, 3, viewFlags};
    const double three[] = {7, 8, 9};
    ZtVector src;
    ZtVector_construct(&src, 3, three);
    ASSERT_EQ(ZtVector_copy(&view, &src), 0);
    EXPECT_EQ(view.data, storage);
    EXPECT_EQ(storage[2], 9);
    ASSERT_EQ(ZtVector_assign(&src, 4, nullptr), 0);
    EXPECT_EQ(ZtVector_copy(&view, &src), -1);  // does not fit
    EXPECT_EQ(view.size, 3u);
    EXPECT_EQ(view.data, storage);
    EXPECT_EQ(storage[0], 7);
    ZtVector_destruct(&view);
    EXPECT_EQ(view.data, nullptr);
    EXPECT_EQ(storage[0], 7);
    // Once empty it can take owned storage.
    ASSERT_EQ(ZtVector_assign(&view, 2, three), 0);
    EXPECT_EQ(view.flags & ZTMATH_OWNS_DATA, ZTMATH_OWNS_DATA);
    ZtVector_destruct(&view);
    ZtVector_destruct(&src);
  }
}

TEST(Matrix, OwnedStridedAndViewStorage) {
  const double dense[] = {1, 2, 3, 4, 5, 6};  // 2 x 3
  ZtMatrix m;
  ZtMatrix_construct(&m, 2, 3, 5, dense);  // stride 5: padded rows
  ASSERT_EQ(m.stride, 5u);
  EXPECT_EQ(m.data[ZtMatrix_offset(&m, 1, 2)], 6);
  EXPECT_EQ(m.data[ZtMatrix_offset(&m, 1, 0)], 4);

  ZtMatrix copy;
  ZtMatrix_construct(&copy, 0, 0, 0, nullptr);
  ASSERT_EQ(ZtMatrix_copy(&copy, &m), 0);
  EXPECT_EQ(copy.stride, 3u);  // copies are dense
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(copy.data[i], dense[i]);

  ASSERT_EQ(ZtMatrix_assign(&m, 3, 4, 0, nullptr), 0);  // grow: the old block stays, the rest is 0
  EXPECT_EQ(m.stride, 4u);
  const double grown[] = {1, 2, 3, 0, 4, 5, 6, 0, 0, 0, 0, 0};
  for (size_t i = 0; i < 12; ++i) EXPECT_EQ(m.data[i], grown[i]) << i;
  ASSERT_EQ(ZtMatrix_assign(&m, 3, 2, 0, dense), 0);
  EXPECT_EQ(m.rows, 3u);
  EXPECT_EQ(m.stride, 2u);  // stride 0 means dense
  EXPECT_EQ(m.data[ZtMatrix_offset(&m, 2, 1)], 6);

  // A 2 x 2 view inside a 3 x 4 block (stride 4).
  double block[12] = {};
  ZtMatrix view{block + 1, 2, 2, 4, 0};
  const double two[] = {9, 8, 7, 6};
  ASSERT_EQ(ZtMatrix_assign(&view, 2, 2, 0, two), 0);
  EXPECT_EQ(block[1], 9);
  EXPECT_EQ(block[2], 8);
  EXPECT_EQ(block[5], 7);
  EXPECT_EQ(block[6], 6);
  EXPECT_EQ(block[3], 0);  // outside the view
  EXPECT_EQ(ZtMatrix_assign(&view, 3, 2, 0, nullptr), -1);
  EXPECT_EQ(ZtMatrix_copy(&view, &copy), -1);  // 2 x 3 does not fit a 2 x 2 view
  EXPECT_EQ(view.data, block + 1);
  EXPECT_EQ(view.rows, 2u);

  ZtMatrix_swap(&m, &copy);
  EXPECT_EQ(m.rows, 2u);
  ZtMatrix_destruct(&view);
  ZtMatrix_destruct(&m);
  ZtMatrix_destruct(&copy);
  EXPECT_EQ(copy.data, nullptr);
  EXPECT_EQ(copy.rows + copy.cols + copy.stride, 0u);
}

TEST(Quaternion, ProductsInverseNormalisationAndMatrix) {
  const ZtQuaternion* id = ZtQuaternion_identity();
  EXPECT_EQ(id->w, 1);
  EXPECT_EQ(id->x + id->y + id->z, 0);

  const double h = std::sqrt(0.5);
  const ZtQuaternion rx{h, h, 0, 0}, ry{h, 0, h, 0};
  ZtQuaternion p;
  ZtQuaternion_multiply(&rx, &ry, &p);  // Hamilton: i * j = k
  EXPECT_NEAR(p.w, 0.5, 1e-15);
  EXPECT_NEAR(p.x, 0.5, 1e-15);
  EXPECT_NEAR(p.y, 0.5, 1e-15);
  EXPECT_NEAR(p.z, 0.5, 1e-15);
  ZtQuaternion alias = rx;
  ZtQuaternion_multiply(&alias, &ry, &alias);
  EXPECT_EQ(alias.z, p.z);

  const ZtQuaternion q{2, 0, 0, 2};  // not unit
  ZtQuaternion inv, one;
  ZtQuaternion_inverse(&q, &inv);
  ZtQuaternion_multiply(&q, &inv, &one);
  EXPECT_NEAR(one.w, 1, 1e-15);
  EXPECT_NEAR(one.z, 0, 1e-15);

  ZtQuaternion n;
  ZtQuaternion_normalized(&q, &n);
  EXPECT_NEAR(n.w, h, 1e-15);
  EXPECT_NEAR(n.z, h, 1e-15);
  const ZtQuaternion zero{0, 0, 0, 0};
  ZtQuaternion_normalized(&zero, &n);
  EXPECT_EQ(n.w, 1);

  // 90 degrees about z maps x to y.
  ZtMatrix r;
  ZtMatrix_construct(&r, 0, 0, 0, nullptr);
  const ZtQuaternion rz{h, 0, 0, h};
  ASSERT_EQ(ZtMatrix_fromQuaternion(&r, &rz), 0);
  ASSERT_EQ(r.rows, 3u);
  const double expected[9] = {0, -1, 0, 1, 0, 0, 0, 0, 1};
  for (size_t i = 0; i < 9; ++i) EXPECT_NEAR(r.data[i], expected[i], 1e-15) << i;
  ZtMatrix_destruct(&r);
}

TEST(MathScalars, ConstantsAndConversions) {
  EXPECT_EQ(ZtMath_zero, 0.0);
  EXPECT_EQ(ZtMath_one, 1.0);
  EXPECT_EQ(ZtMath_two, 2.0);
  EXPECT_EQ(ZtMath_pt5, 0.5);
  EXPECT_EQ(ZtMath_minusPt5, -0.5);
  EXPECT_EQ(ZtMath_epsilon, DBL_EPSILON);
  EXPECT_EQ(ZtMath_sqrt2, std::sqrt(2.0));
  EXPECT_DOUBLE_EQ(ZtMath_deg2rad(180), M_PI);
  EXPECT_DOUBLE_EQ(ZtMath_rad2deg(M_PI / 2), 90);
  EXPECT_EQ(ZtMath_pow2(-3), 9);
  EXPECT_TRUE(ZtMath_isFinite(1e308));
  EXPECT_FALSE(ZtMath_isFinite(INFINITY));
  EXPECT_FALSE(ZtMath_isFinite(NAN));

  struct Case {
    double in;
    long out;
  } cases[] = {
      {2.4, 2}, {2.5, 3}, {-2.5, -3}, {-2.4, -2}, {0.49999999999999994, 0},
      {NAN, 0}, {1e300, LONG_MAX}, {-1e300, LONG_MIN}, {INFINITY, LONG_MAX},
  };
  for (const auto& c : cases) EXPECT_EQ(ZtMath_doubleToLong(c.in), c.out) << c.in;
}

}  // namespace
