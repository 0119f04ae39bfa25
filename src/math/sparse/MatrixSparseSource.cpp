// The dense matrix's block copy from a sparse source, kept beside the sparse classes.
#include "math/Matrix.h"
#include "math/sparse/SparseMatrix.h"

namespace zelto {

void Matrix::setSubMatrix(const SparseMatrix& src, ZtSize dstRow, ZtSize dstCol, ZtSize rows, ZtSize cols,
                          ZtSize srcRow, ZtSize srcCol) {
  src.getDenseSubMatrix(*this, srcRow, srcCol, rows, cols, dstRow, dstCol);
}

}  // namespace zelto
