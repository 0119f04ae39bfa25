#include "filters/zkf700/Zkf700FilterOutput.h"

namespace zelto {

Zkf700FilterOutput::~Zkf700FilterOutput() = default;

}  // namespace zelto
