#ifndef ZELTO_DEVICE_ZTOUTPUTCONFIGURATION_H
#define ZELTO_DEVICE_ZTOUTPUTCONFIGURATION_H
/* One output of a device that is configured by data identifier (fourth-generation trackers): the
 * identifier and its output frequency in Hz. A device with an empty configuration uses the
 * legacy output mode and settings instead. */
#include <stddef.h>
#include <stdint.h>

#include "zeltodeviceapi/zdaexport.h"
#include "zttypes/ztarray.h"
#include "zttypes/ztdataid.h"

ZDA_BEGIN_DECLS

typedef struct ZtOutputConfiguration {
  ZtDataIdentifier dataIdentifier;
  uint16_t frequency;
} ZtOutputConfiguration;

ZTARRAY_DECLARE(ZtOutputConfigurationArray, ZtOutputConfiguration);

/* Plain items, ordered by data identifier, then frequency. */
ZDA_API extern const ZtArrayDescriptor g_ztOutputConfigurationArrayDescriptor;
/* ZtArray_construct with the descriptor above: count items, copied from source when given. */
ZDA_API void ZtOutputConfigurationArray_construct(ZtOutputConfigurationArray* array, size_t count,
                                                  const ZtOutputConfiguration* source);

ZDA_END_DECLS

#endif
