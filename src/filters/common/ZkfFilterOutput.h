#pragma once
// Base of the per-step output record of a filter.
class ZkfFilterOutput {
 public:
  virtual ~ZkfFilterOutput();
};
