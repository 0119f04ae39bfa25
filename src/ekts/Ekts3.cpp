#include "ekts/Ekts3.h"

#include <cstring>

#include "ekts/EktsCodec.h"

namespace zelto {

#define EKTS_CLASS Ekts3
#define EKTS_VERSION 0x0300
#define EKTS_OFFSET(o3, o4, o5) (o3)
#define EKTS_CODING ektsdetail::RealCoding::FastFloat6
#include "ekts/EktsVersionDefinitions.inc"

}  // namespace zelto
