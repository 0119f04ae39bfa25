#pragma once
// Base of a filter's step selection: each filter's subclass holds one flag per step of its
// Kalman cycle and names them with labels.
#include <cstddef>

#include "foundation/LabelList.h"

class ZkfFilterSteps {
 public:
  virtual ~ZkfFilterSteps();
  // A new copy owned by the caller; the base has nothing to copy and returns null.
  virtual ZkfFilterSteps* duplicate() const;
  // Enables exactly the named steps; false when a name is unknown.
  virtual bool enableSteps(const zelto::LabelList& steps) = 0;
  virtual void enabledSteps(zelto::LabelList& out) const = 0;
  virtual void availableSteps(zelto::LabelList& out) const = 0;

 protected:
  ZkfFilterSteps() = default;
  ZkfFilterSteps(const ZkfFilterSteps&) = default;
  ZkfFilterSteps& operator=(const ZkfFilterSteps&) = default;

  // The shared body of enableSteps: clears every flag, then sets the flag of each named step
  // (labels matched without regard to case). No names set defaultFlag; an unknown name gives
  // false (the flags named before it stay set).
  static bool enableNamedSteps(const zelto::LabelList& steps, bool* const* flags, const char* const* labels,
                               size_t count, bool& defaultFlag);
  // Appends labels[k] for every k whose flag is set, in table order; with flags null, every
  // label. The list is not emptied first.
  static void appendLabels(zelto::LabelList& out, const bool* const* flags, const char* const* labels, size_t count);
};
