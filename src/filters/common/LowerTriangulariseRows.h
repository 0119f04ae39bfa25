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
// reflections from the right. Pivot j reflects columns [j, end[j]) of rows j..rows-1; end must
// not decrease with j and row j must be zero from column end[j] on when its turn comes (zeros
// of the original rows that earlier reflections fill stay inside an earlier, hence smaller,
// end). Null end: every pivot reaches column cols. Columns outside [j, end[j]) are neither
// read nor written.
//
// On return a(j, j) >= 0 and a(j, c) = 0 for j < pivots, j < c < end[j]: the diagonal comes out
// non-negative, so the factor is the unique one with that sign for a full-rank A. A column that
// is already zero below (beyond) its pivot is left as it is. Non-finite input gives non-finite
// output; nothing throws and nothing is allocated. False, a untouched, when cols or an end[j]
// exceeds kLowerTriangulariseMaxColumns.
inline constexpr std::size_t kLowerTriangulariseMaxColumns = 32;
bool lowerTriangulariseRows(double* a, std::size_t stride, std::size_t rows, std::size_t pivots, std::size_t cols,
                            const std::size_t* end);
