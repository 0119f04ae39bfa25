#include "filters/zkf3i/Zkf3iFilterOutput.h"

namespace zelto {

Zkf3iFilterOutput::~Zkf3iFilterOutput() = default;

}  // namespace zelto
