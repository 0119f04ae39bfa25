#include "trackers/CalibrationInfo.h"

#include "ekts/EktsManager.h"

namespace {

void copyVector(const zelto::Vector3& v, double* out) {
  for (int i = 0; i < 3; ++i) out[i] = v.data[i];
}

// diag(gain) * misalignment, row by row.
void scaledRows(const zelto::Vector3& gain, const zelto::Matrix3x3& r, double* out) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) out[3 * i + j] = gain.data[i] * r(i, j);
}

}  // namespace

void CalibrationInfo::readFrom(const EktsManager& e) {
  if (e.hasGainAcc() && e.hasRAcc()) scaledRows(e.gainAcc(), e.rAcc(), gainAcc);
  if (e.hasGainGyr() && e.hasRGyr()) scaledRows(e.gainGyr(), e.rGyr(), gainGyr);
  if (e.hasGainMag() && e.hasRMag()) scaledRows(e.gainMag(), e.rMag(), gainMag);
  if (e.hasOffsetAcc()) copyVector(e.offsetAcc(), offsetAcc);
  if (e.hasOffsetGyr()) copyVector(e.offsetGyr(), offsetGyr);
  if (e.hasOffsetMag()) copyVector(e.offsetMag(), offsetMag);
  if (e.hasTempLinOffsetAcc()) copyVector(e.tempLinOffsetAcc(), tempLinOffsetAcc);
  if (e.hasTempLinOffsetGyr()) copyVector(e.tempLinOffsetGyr(), tempLinOffsetGyr);
  if (e.hasTempLinOffsetMag()) copyVector(e.tempLinOffsetMag(), tempLinOffsetMag);
  if (e.hasTempQuadOffsetGyr()) copyVector(e.tempQuadOffsetGyr(), tempQuadOffsetGyr);
  if (e.hasTempLinGainAcc()) copyVector(e.tempLinGainAcc(), tempLinGainAcc);
  if (e.hasTempLinGainGyr()) copyVector(e.tempLinGainGyr(), tempLinGainGyr);
  if (e.hasTempLinGainMag()) copyVector(e.tempLinGainMag(), tempLinGainMag);
  if (e.hasTempQuadGainGyr()) copyVector(e.tempQuadGainGyr(), tempQuadGainGyr);
  if (e.hasGyrOffsetAccDependency()) {
    const zelto::Matrix3x3 m = e.gyrOffsetAccDependency();
    for (int i = 0; i < 9; ++i) gyrOffsetAccDependency[i] = m(i / 3, i % 3);
  }
}
