#include "ekts/Ekts5.h"

#include <cstring>

#include "ekts/EktsCodec.h"

namespace zelto {

#define EKTS_CLASS Ekts5
#define EKTS_VERSION 0x0501
#define EKTS_OFFSET(o3, o4, o5) (o5)
#define EKTS_CODING ektsdetail::RealCoding::Single
#include "ekts/EktsVersionDefinitions.inc"

void Ekts5::getOutputConfiguration(GenericMatrix<unsigned short>& m) const {
  ektsdetail::readOutputConfiguration(m_image + 72, m);
}

}  // namespace zelto
