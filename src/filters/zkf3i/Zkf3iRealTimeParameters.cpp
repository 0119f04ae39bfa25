#include "filters/zkf3i/Zkf3iRealTimeParameters.h"

namespace zelto {

Zkf3iRealTimeParameters::~Zkf3iRealTimeParameters() = default;

}  // namespace zelto
