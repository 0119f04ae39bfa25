#include "filters/zkf6/Zkf6RealTimeParameters.h"

namespace zelto {

Zkf6RealTimeParameters::~Zkf6RealTimeParameters() = default;

}  // namespace zelto
