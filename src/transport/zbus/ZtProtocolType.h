#ifndef ZDA_TRANSPORT_ZTPROTOCOLTYPE_H
#define ZDA_TRANSPORT_ZTPROTOCOLTYPE_H

// The stream kinds a link can cut messages from (part of the public C interface).
#include "zeltodeviceapi/ztdeviceenums.h"

#endif
