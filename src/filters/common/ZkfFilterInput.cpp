#include "filters/common/ZkfFilterInput.h"

ZkfFilterInput::~ZkfFilterInput() = default;
