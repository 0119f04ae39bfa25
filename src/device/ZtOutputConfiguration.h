#ifndef ZELTO_DEVICE_ZTOUTPUTCONFIGURATION_H
#define ZELTO_DEVICE_ZTOUTPUTCONFIGURATION_H
/* The output configuration record is public (zeltodeviceapi/ztdeviceenums.h); its descriptor and
 * constructor are the library's own. */
#include <stddef.h>
#include <stdint.h>

#include "zeltodeviceapi/zdaexport.h"
#include "zeltodeviceapi/ztdeviceenums.h"

ZDA_BEGIN_DECLS

/* Plain items, ordered by data identifier, then frequency. */
ZDA_API extern const ZtArrayDescriptor g_ztOutputConfigurationArrayDescriptor;
/* ZtArray_construct with the descriptor above: count items, copied from source when given. */
ZDA_API void ZtOutputConfigurationArray_construct(ZtOutputConfigurationArray* array, size_t count,
                                                  const ZtOutputConfiguration* source);

ZDA_END_DECLS

#endif
