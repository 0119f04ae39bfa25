#include "trackers/KtMk4CalibrationInfo.h"

#include "ekts/EktsManager.h"
#include "errors/ZtException.h"
#include "math/Matrix3x3.h"
#include "math/Vector3.h"

namespace {

void copyVector(const zelto::Vector3& v, double* out) {
  for (int i = 0; i < 3; ++i) out[i] = v.data[i];
}

void copyMatrix(const zelto::Matrix3x3& m, double* out) {
  for (int i = 0; i < 9; ++i) out[i] = m(i / 3, i % 3);
}

}  // namespace

void KtMk4CalibrationInfo::readFromRecord(const EktsManager& e) {
  // Getters of a field the record lacks give zeros (the empty record's values).
  const zelto::Vector3 table[3][6] = {
      {e.offsetAcc(), e.gainAcc(), e.tempLinOffsetAcc(), e.tempLinGainAcc(), e.tempQuadOffsetAcc(), e.tempQuadGainAcc()},
      {e.offsetGyr(), e.gainGyr(), e.tempLinOffsetGyr(), e.tempLinGainGyr(), e.tempQuadOffsetGyr(), e.tempQuadGainGyr()},
      {e.offsetMag(), e.gainMag(), e.tempLinOffsetMag(), e.tempLinGainMag(), e.tempQuadOffsetMag(), e.tempQuadGainMag()},
  };
  for (int s = 0; s < 3; ++s)
    for (int c = 0; c < 6; ++c) copyVector(table[s][c], coefficients[s][c]);
  try {
    copyMatrix(e.gyrOffsetAccDependency(), g);
    const zelto::Matrix3x3 r[3] = {e.rAcc(), e.rGyr(), e.rMag()};
    for (int s = 0; s < 3; ++s) {
      zelto::Matrix3x3 inverse;
      inverse.isInverseOf3x3(r[s]);
      copyMatrix(inverse, k[s]);
    }
  } catch (const ZtException&) {
    // A singular matrix: the remaining matrices keep their previous values.
  }
}
