#include "filters/common/ZkfState.h"

ZkfState::~ZkfState() = default;

bool ZkfState::isValid() const { return true; }
