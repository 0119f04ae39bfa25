#include "filters/common/ZkfSensorData.h"

ZkfSensorData::~ZkfSensorData() = default;
