#pragma once
// The host-side fusion filter as the devices drive it. A device holds its filter through
// zelto::NonIntrusiveSharedPointer and the last reference deletes it through this interface.
class ZkfParams;

class ZtZkfFilter {
 public:
  virtual ~ZtZkfFilter() = default;
  // Starts the filter afresh with these parameters; null means the filter's own defaults.
  virtual void restart(ZkfParams* params) = 0;
};
