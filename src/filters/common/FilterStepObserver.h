#pragma once
// Test and diagnostics seam of the square-root filters: sees the linear model of each step as
// the filter applies it to its covariance root (P = S S^T) and error state x, so a
// covariance-form filter can run beside it and be compared element by element. Called from the
// filter's step, on its thread; a filter calls nothing when no observer is set.
#include "math/Matrix.h"
#include "math/Vector.h"

class FilterStepObserver {
 public:
  virtual ~FilterStepObserver();
  // After the time update: S' S'^T = Phi P Phi^T + Qs Qs^T, and x the predicted state (the
  // filter's own, possibly nonlinear, prediction).
  virtual void predicted(const zelto::Matrix& Phi, const zelto::Matrix& Qs, const zelto::Vector& x) = 0;
  // A measurement update of y against H x with the diagonal noise deviations Rd is about to run.
  virtual void measurementUpdate(const zelto::Vector& y, const zelto::Matrix& H, const zelto::Matrix& Rd) = 0;
  // The next measurement update is a consider update: its gain is zero along the orthonormal
  // columns of N (x and the variance along them stay). The default ignores it, for filters
  // that make none.
  virtual void keptDirections(const zelto::Matrix& N);
  // The last measurement update was undone (a gate refused its result): x and S are as they were
  // before it. The default ignores it, for filters that never roll back.
  virtual void rolledBack();
  // The correction: when dropped is set, x[errorFirst .. errorFirst + 2] (the orientation error)
  // was zeroed first; then x and the covariance were transformed by T (x' = T x, P' = T P T^T);
  // then those three elements were zeroed (folded into the orientation).
  virtual void corrected(const zelto::Matrix& T, ZtSize errorFirst, bool dropped) = 0;
  // The filter wrote elements [first, first + values.size) of x directly (a block folded into
  // the navigation state and zeroed, or set from a measurement); P is unchanged. The default
  // ignores it, for filters that never do.
  virtual void elementsSet(ZtSize first, const zelto::Vector& values);
};
