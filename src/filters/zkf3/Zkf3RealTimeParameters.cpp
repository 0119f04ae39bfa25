#include "filters/zkf3/Zkf3RealTimeParameters.h"

namespace zelto {

Zkf3RealTimeParameters::~Zkf3RealTimeParameters() = default;

}  // namespace zelto
