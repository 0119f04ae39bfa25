#include "filters/common/ZkfRealTimeParameters.h"

ZkfRealTimeParameters::~ZkfRealTimeParameters() = default;
