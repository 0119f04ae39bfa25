#include "filters/zkf700/Zkf700RealTimeParameters.h"

namespace zelto {

Zkf700RealTimeParameters::~Zkf700RealTimeParameters() = default;

}  // namespace zelto
