#pragma once
// One strapdown increment: orientation increment (unit quaternion, identity when empty),
// velocity increment (three doubles held in this object, viewed by m_dv) and its duration.
#include "math/Quaternion.h"
#include "math/Vector.h"

namespace zelto {

class SdiData {
 public:
  SdiData();
  SdiData(const ZtQuaternion& dq, const ZtVector& dv);
  SdiData(const ZtQuaternion& dq, const ZtVector& dv, double duration);
  // The velocity view points into this object: copies take the values, never the pointer.
  SdiData(const SdiData& other);
  SdiData& operator=(const SdiData& other);
  virtual ~SdiData();

  // The increment of one sample (sdiDelta), with duration dt.
  static SdiData fromAccGyr(const ZtVector& acc, const ZtVector& gyr, double dt);
  // Empties the increment: identity, zero velocity, duration 0.
  void init();

  Quaternion m_dq;
  Vector m_dv;
  double m_duration = 0.0;

 private:
  double m_dvItems[3] = {0.0, 0.0, 0.0};
};

}  // namespace zelto
