#include "filters/zkf3w/Zkf3wFilterOutput.h"

namespace zelto {

Zkf3wFilterOutput::~Zkf3wFilterOutput() = default;

}  // namespace zelto
