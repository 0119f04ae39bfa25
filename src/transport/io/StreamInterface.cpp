#include "transport/StreamInterface.h"

StreamInterface::~StreamInterface() = default;
