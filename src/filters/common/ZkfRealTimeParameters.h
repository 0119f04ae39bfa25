#pragma once
// Base of the per-step real-time inputs of a filter.
class ZkfRealTimeParameters {
 public:
  virtual ~ZkfRealTimeParameters();
};
