#include "filters/common/ZkfFilterSteps.h"

ZkfFilterSteps::~ZkfFilterSteps() = default;

ZkfFilterSteps* ZkfFilterSteps::duplicate() const { return nullptr; }
