#ifndef ZTTYPES_ZTMESSAGEGROW_H
#define ZTTYPES_ZTMESSAGEGROW_H
/* Inside the library only (not exported): payload resizing and value writing for writers that
 * fill several places and then sum the checksum once (ZtMessage_recomputeChecksum or a value setter).
 * Until then the frame's checksum byte is stale. */
#include <stddef.h>
#include "zttypes/ztmessage.h"

/* As ZtMessage_resizeData, without writing the checksum. */
int ZtMessage_resizeDataUnsummed(ZtMessage* m, size_t dataSize);
/* Cuts the payload to its first keep bytes and appends add bytes behind them in one resize, the
 * form (normal or extended length) following the new size as ZtMessage_resizeData's would.
 * Returns the appended bytes, whose contents the caller writes, or NULL when the size would pass
 * the limit or memory runs out (the message then holds its old bytes or only the cut). */
uint8_t* ZtMessage_appendDataUnsummed(ZtMessage* m, size_t keep, size_t add);
/* As ZtMessage_setDataFPValues, without writing the checksum. */
size_t ZtMessage_setDataFPValuesUnsummed(ZtMessage* m, uint32_t outputSettings, const double* values, size_t offset,
                                         size_t count);

#endif
