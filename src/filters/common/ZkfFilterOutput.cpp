#include "filters/common/ZkfFilterOutput.h"

ZkfFilterOutput::~ZkfFilterOutput() = default;
