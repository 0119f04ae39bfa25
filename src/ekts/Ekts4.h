#pragma once
// Record format version 4: reals as 6-byte FastFloat; the wireless fields.
#include "ekts/Ekts.h"

namespace zelto {

class Ekts4 : public Ekts {
#define EKTS_CLASS Ekts4
#include "ekts/EktsVersionMembers.inc"
#undef EKTS_CLASS
};

}  // namespace zelto
