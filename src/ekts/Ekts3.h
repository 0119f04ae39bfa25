#pragma once
// Record format versions 2 and 3: reals as 6-byte FastFloat.
#include "ekts/Ekts.h"

namespace zelto {

class Ekts3 : public Ekts {
#define EKTS_CLASS Ekts3
#include "ekts/EktsVersionMembers.inc"
#undef EKTS_CLASS
};

}  // namespace zelto
