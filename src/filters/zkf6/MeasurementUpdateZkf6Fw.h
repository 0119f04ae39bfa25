#pragma once
// Square-root measurement update of the 15-state navigation filter in array form: the
// pre-array
//     [ Rs      H L ]   m rows
//     [ 0       L   ]   15 rows
//     [ -z/Rs   sx  ]   1 row
// is reduced from the right by Householder reflections (lowerTriangulariseRows) to
//     [ Re      0   ]
//     [ K       L'  ]
//     [ -r      sx' ]
// so that L' L'^T is the updated covariance, x' = L' sx' = x + K (z - H x) and the first m
// values of r are Re^-1 (z - H x). Rs must be diagonal (only its diagonal is read).
//
// skip k: the last k columns of H are zero, so the last k state columns stay out of the
// reduction. Works on a stack array (at most 19 x 18): no allocation. False, nothing written,
// for m outside 1..3, a skip above 15, a diagonal element of Rs that is not positive and
// finite, or non-finite z or H.
#include <cstdint>

#include "math/Matrix.h"
#include "math/Vector.h"

namespace zelto {

bool doMeasurementUpdateSquareRootZkf6_fw(uint64_t m, Vector& sx, Matrix& L, Vector& r, const Vector& z,
                                          const Matrix& H, const Matrix& Rs, uint64_t skip);

}  // namespace zelto
