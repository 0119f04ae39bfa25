#include "filters/zkf3w/Zkf3wRealTimeParameters.h"

namespace zelto {

Zkf3wRealTimeParameters::~Zkf3wRealTimeParameters() = default;

}  // namespace zelto
