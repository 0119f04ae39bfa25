#pragma once
// Base of a filter's combined input record.
class ZkfFilterInput {
 public:
  virtual ~ZkfFilterInput();
};
