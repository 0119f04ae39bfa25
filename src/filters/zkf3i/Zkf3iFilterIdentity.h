#pragma once
// Type character 'I' and version 1.0.0 of the Zkf3i filter: what its scenarios are labelled
// with and what the trackers compare a profile's filter version against.
#include "filters/common/ZkfFilterBase.h"

namespace zelto {

inline constexpr ZkfFilterBase::Identity kZkf3iFilterIdentity{'I', 1, 0, 0, "$Rev: 10761 $"};

}  // namespace zelto
