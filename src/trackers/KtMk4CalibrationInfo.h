#pragma once
// Software calibration data of a fourth-generation tracker: per sensor a 3x3 matrix K (the
// inverse of the record's misalignment matrix) and quadratic temperature models of offset and
// gain per axis, plus the gyroscope's acceleration sensitivity G. One sample calibrates as
//   offset(k) = o0 + o1 t + o2 t^2,  gain(k) = g0 + g1 t + g2 t^2,
//   calibrated = K diag(1 / gain) (raw - offset),  gyroscope -= G x calibrated acceleration,
// with t the sensor temperature (accelerometer, magnetometer) or the gyroscope axis' own.
// Plain values, read by the processing thread only once filled.
#include "trackers/CalibrationInfo.h"

class KtMk4CalibrationInfo : public CalibrationInfo {
 public:
  enum Sensor { kAcc = 0, kGyr = 1, kMag = 2 };
  enum Coefficient { kO0 = 0, kG0 = 1, kO1 = 2, kG1 = 3, kO2 = 4, kG2 = 5 };

  // Row-major K per sensor; the temperature coefficients per sensor in the order o0, g0, o1, g1,
  // o2, g2, each a 3-vector (one value per axis); G row-major.
  double k[3][9] = {};
  double coefficients[3][6][3] = {};
  double g[9] = {};

  // The coefficient vectors, then G, then K of each sensor. A matrix that cannot be read or
  // inverted (singular) stops the filling: the matrices not filled yet keep their values.
  void readFromRecord(const EktsManager& record);
};
