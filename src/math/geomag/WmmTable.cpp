#include "math/geomag/WmmTable.h"

const WmmTable g_wmmTables[3] = {
    {90, 2005, 2010, g_wmmTable20052010},
    {90, 2010, 2015, g_wmmTable20102015},
    {0, 0, 0, nullptr},
};
