#pragma once
// Strapdown integration: one inertial sample (acceleration, angular rate, time step) becomes an
// orientation increment (unit quaternion, w first) and a velocity increment in the frame at the
// start of the step; increments compose, and an increment turns back into average rates.
#include "zttypes/ztmath.h"

namespace zelto {

// Integrates one sample of constant acceleration acc in a body frame turning at the constant
// rate gyr over dt seconds. dv is expressed in the frame at the start of the step.
void sdiDelta(const ZtVector& acc, const ZtVector& gyr, ZtQuaternion& dq, ZtVector& dv, double dt);
// Appends the increment (dq, dv) to the running composition (q, v); v stays in the frame at
// the start of the composition.
void sdiWindowAdd(ZtQuaternion& q, ZtVector& v, const ZtQuaternion& dq, const ZtVector& dv);
// The average angular rate of an orientation increment over dt.
void calcCalGyr(ZtVector& gyr, const ZtQuaternion& dq, double dt);
// Average angular rate, and the velocity increment expressed in the frame at the end of the
// interval per second.
void getAverageAccGyrLocalFrame(ZtVector& acc, ZtVector& gyr, const ZtQuaternion& dq, const ZtVector& dv,
                                double dt);
// The acceleration and rate that sdiDelta turns into (dq, dv) over dt. Throws ZtException
// ("matrix is singular") when the integration matrix cannot be inverted, e.g. for dt 0.
void inverseSdi(ZtVector& acc, ZtVector& gyr, const ZtQuaternion& dq, const ZtVector& dv, double dt);

}  // namespace zelto
