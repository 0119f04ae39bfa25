#include "filters/zkf3/Zkf3FilterOutput.h"

namespace zelto {

Zkf3FilterOutput::~Zkf3FilterOutput() = default;

}  // namespace zelto
