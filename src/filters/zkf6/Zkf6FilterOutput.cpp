#include "filters/zkf6/Zkf6FilterOutput.h"

namespace zelto {

Zkf6FilterOutput::~Zkf6FilterOutput() = default;

}  // namespace zelto
