#include "transport/io/StreamInterface.h"

StreamInterface::~StreamInterface() = default;
