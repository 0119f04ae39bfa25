#pragma once
// Householder triangularisation of the small row-major arrays of the square-root filters,
// applied from the right (an LQ decomposition whose orthogonal factor is discarded).
//
// The array algorithms need a lower-triangular L with L L^T = A A^T. Working on the rows of A
// (contiguous in row-major storage) instead of the columns of A^T lets every reflection run as
// dot products and scaled additions over contiguous memory, and a row whose trailing columns
// are known to be zero is never read there.
#include <cstddef>

// Lower-triangularises the leading `pivots` rows of the row-major array a (rows x stride) by
// reflections from the right. Pivot j reflects columns [j, end[j]) of rows j..rows-1. end must
// not decrease with j and row j of the given array must be zero from column end[j] on (earlier
// pivots change only columns before their own, not larger, ends, so those zeros still hold when
// its turn comes). Null end: every pivot reaches column cols. Columns of a row outside what its
// pivots reach are neither read nor written.
//
// On return a(j, j) >= 0 and a(j, c) = 0 for j < pivots, j < c < end[j], so for a full-rank A
// the factor is the unique one with a positive diagonal. A pivot row already zero beyond its
// pivot (below sqrt(1e-307) in norm) takes no reflection; a negative pivot there has its column
// negated. Non-finite input gives non-finite output; nothing throws and nothing is allocated. False, a untouched, when cols or
// an end[j] exceeds kLowerTriangulariseMaxColumns.
inline constexpr std::size_t kLowerTriangulariseMaxColumns = 64;
bool lowerTriangulariseRows(double* a, std::size_t stride, std::size_t rows, std::size_t pivots, std::size_t cols,
                            const std::size_t* end);
