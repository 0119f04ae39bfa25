#pragma once
// Record format version 5: reals as IEEE single, the last known position as doubles.
#include "ekts/Ekts.h"

namespace zelto {

class Ekts5 : public Ekts {
#define EKTS_CLASS Ekts5
#include "ekts/EktsVersionMembers.inc"
#undef EKTS_CLASS
  // Copies the 32 output-configuration rows into m (32 rows, at least 2 columns; the column
  // count is the distance between rows). Neither checks nor resizes m.
  virtual void getOutputConfiguration(GenericMatrix<unsigned short>& m) const;
};

}  // namespace zelto
