#include "ekts/Ekts4.h"

#include <cstring>

#include "ekts/EktsCodec.h"

namespace zelto {

#define EKTS_CLASS Ekts4
#define EKTS_VERSION 0x0400
#define EKTS_OFFSET(o3, o4, o5) (o4)
#define EKTS_CODING ektsdetail::RealCoding::FastFloat6
#include "ekts/EktsVersionDefinitions.inc"

}  // namespace zelto
