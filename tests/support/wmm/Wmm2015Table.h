#ifndef ZDA_TESTS_SUPPORT_WMM_WMM2015TABLE_H
#define ZDA_TESTS_SUPPORT_WMM_WMM2015TABLE_H
// The WMM2015 coefficients (test-only, generated from data/wmm/WMM2015.COF) and their model.
#include "math/geomag/WmmTable.h"

extern const WmmCoefficient g_wmmTable20152020[90];
inline constexpr WmmTable kWmm2015TestModel = {90, 2015, 2020, g_wmmTable20152020};

#endif
