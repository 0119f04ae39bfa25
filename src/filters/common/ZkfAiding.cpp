#include "filters/common/ZkfAiding.h"

ZkfAiding::~ZkfAiding() = default;
