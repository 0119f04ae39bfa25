#pragma once
// Software calibration data of one tracker, taken once from its device record: per sensor
// the gain matrix (diagonal of the gain vector times the misalignment matrix), the offset and the
// temperature coefficients; for the gyroscope also the quadratic terms and the dependency of its
// offset on acceleration. Plain values: copied freely, read by the processing thread only.

class EktsManager;

class CalibrationInfo {
 public:
  CalibrationInfo() = default;
  CalibrationInfo(const CalibrationInfo&) = default;
  CalibrationInfo& operator=(const CalibrationInfo&) = default;
  // Other record forms derive from it and are deleted through it.
  virtual ~CalibrationInfo() = default;

  // Row-major 3x3 matrices and 3-vectors.
  double gainAcc[9] = {};
  double gainGyr[9] = {};
  double gainMag[9] = {};
  double offsetAcc[3] = {};
  double offsetGyr[3] = {};
  double offsetMag[3] = {};
  double tempLinOffsetAcc[3] = {};
  double tempLinOffsetGyr[3] = {};
  double tempLinOffsetMag[3] = {};
  double tempQuadOffsetGyr[3] = {};
  double tempLinGainAcc[3] = {};
  double tempLinGainGyr[3] = {};
  double tempLinGainMag[3] = {};
  double tempQuadGainGyr[3] = {};
  double gyrOffsetAccDependency[9] = {};

  // Fields the record lacks stay zero.
  void readFrom(const EktsManager& record);
};
