#ifndef ZTTYPES_ZTMESSAGEGROW_H
#define ZTTYPES_ZTMESSAGEGROW_H
/* Inside the library only (not exported): payload resizing and value writing for writers that
 * fill several places and then sum the checksum once (ZtMessage_recomputeChecksum or a value setter).
 * Until then the frame's checksum byte is stale. */
#include <stddef.h>
#include "zttypes/ztmessage.h"

/* As ZtMessage_resizeData, without writing the checksum. */
int ZtMessage_resizeDataUnsummed(ZtMessage* m, size_t dataSize);
/* As ZtMessage_setDataFPValues, without writing the checksum. */
size_t ZtMessage_setDataFPValuesUnsummed(ZtMessage* m, uint32_t outputSettings, const double* values, size_t offset,
                                         size_t count);

#endif
