#pragma once
// Square-root measurement update of the 12-state orientation filters (Zkf3, Zkf3w, Zkf3i): three
// measurements y against H x, diagonal noise root Rd, covariance root sQx (12 x 12, lower
// triangular) and whitened state sx = sQx^-1 x, in array form (any n and m: the Rotations form):
//
//        [ Rd^T      0       -Rd^-1 y ]      QR        [ Re^T   K^T    -e  ]
//   M =  [ (H S)^T   S^T      sx      ]  ------>  M' = [  0     S'^T   sx' ]
//
// e is the whitened innovation Re^-1 (y - H x). skip k: the last k columns of H are zero, so
// the last k rows of M are already triangular and stay out of the decomposition.
//
// The measurements are taken one at a time by plane rotations that keep sQx triangular, which
// gives the same M' (see the source). Everything is computed in stack storage: a call allocates
// nothing and holds no state.
#include <cstdint>

#include "math/Matrix.h"
#include "math/Vector.h"

// The same update for n states (n <= kMaxRotationStates) and m measurements, the computation
// every filter's array update shares. False (nothing written) when n is too large.
inline constexpr ZtSize kMaxRotationStates = 32;
bool doMeasurementUpdateSquareRootRotations(ZtSize n, ZtSize m, zelto::Vector& sx, zelto::Matrix& sQx,
                                            zelto::Vector& out, const ZtVector& y, const ZtMatrix& H,
                                            const ZtMatrix& Rd, uint32_t skip);

// Throws nothing; a non-finite argument gives non-finite results (callers check inputs first).
// Rd must have a non-zero diagonal; its off-diagonal elements are not read. skip above 12 is
// taken as 12.
void doMeasurementUpdateSquareRootZkf3_fw(zelto::Vector& sx, zelto::Matrix& sQx, zelto::Vector& out,
                                          const ZtVector& y, const ZtMatrix& H, const ZtMatrix& Rd, uint32_t skip);
// The same computation under the name the Zkf3w filter uses.
void doMeasurementUpdateSquareRootZkf3w_fw(zelto::Vector& sx, zelto::Matrix& sQx, zelto::Vector& out,
                                           const ZtVector& y, const ZtMatrix& H, const ZtMatrix& Rd, uint32_t skip);
// The same computation under the name the Zkf3i filter uses. The scratch argument is not used:
// the rotations need no work space beyond the stack (callers may pass null).
void doMeasurementUpdateSquareRootZkf3i_fw(zelto::Vector& sx, zelto::Matrix& sQx, zelto::Vector& out,
                                           const ZtVector& y, const ZtMatrix& H, const ZtMatrix& Rd, double* scratch,
                                           unsigned long skip);
