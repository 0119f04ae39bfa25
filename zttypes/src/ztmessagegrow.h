#ifndef ZTTYPES_ZTMESSAGEGROW_H
#define ZTTYPES_ZTMESSAGEGROW_H
/* Inside the library only (not exported): payload resizing for writers that fill the new bytes
 * themselves and then sum the checksum once (ZtMessage_recomputeChecksum or a value setter).
 * Until then the frame's checksum byte is stale. */
#include <stddef.h>
#include "zttypes/ztmessage.h"

/* As ZtMessage_resizeData, without writing the checksum. */
int ZtMessage_resizeDataUnsummed(ZtMessage* m, size_t dataSize);

#endif
