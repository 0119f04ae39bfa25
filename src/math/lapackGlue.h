#ifndef ZDA_MATH_LAPACKGLUE_H
#define ZDA_MATH_LAPACKGLUE_H
// Column-major copies of matrices for the LAPACK routines, and the two routines' declarations.
// Arrays come from malloc (a failure throws std::bad_alloc) and are released with free().
#include <cstddef>

#include "math/MathBase.h"

extern "C" {
// Fortran passes the length of each character argument as a trailing hidden argument (size_t
// with gfortran 8 and later); every call must supply them.
void dgesvd_(const char* jobu, const char* jobvt, const int* m, const int* n, double* a, const int* lda, double* s,
             double* u, const int* ldu, double* vt, const int* ldvt, double* work, const int* lwork, int* info,
             size_t jobuLength, size_t jobvtLength);
void dsyev_(const char* jobz, const char* uplo, const int* n, double* a, const int* lda, double* w, double* work,
            const int* lwork, int* info, size_t jobzLength, size_t uploLength);
}

namespace zelto {
namespace lapackGlue {

// Uninitialised array of m->rows * m->cols doubles; null for a null m.
double* alloc(const ZtMatrix* m);
// New column-major copy of m: element (r, c) at index c * m.rows + r.
double* zeltoMatrixToLapackArray(const ZtMatrix& m);
// m(r, c) = array[c * m.rows + r] over m's size.
void lapackArrayToZeltoMatrix(const double* array, ZtMatrix& m);

}  // namespace lapackGlue
}  // namespace zelto

#endif
