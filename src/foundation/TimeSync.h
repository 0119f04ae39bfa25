#pragma once
// Estimates the rate (skew: local ms per external ms) and offset between a local time base and
// an external one from pairs of time stamps, and converts between the two. The local estimate
// follows the lower envelope of the observed local times; outliers are rejected by a gate
// that narrows by 1 % per accepted observation and widens by 1 % per rejected one.
#include <memory>

#include "zttypes/zttime.h"

class TimeSync {
 public:
  // initialSkew 0 = measure the skew; historySize observations are kept (at least 1).
  TimeSync(double initialSkew = 0.0, int historySize = 20);
  ~TimeSync();
  TimeSync(const TimeSync&) = delete;
  TimeSync& operator=(const TimeSync&) = delete;

  void reset();
  void setInitialSkew(double skew);  // and reset
  bool isInitialized() const;
  // Adds one observation. Observations that share their external time with the reference
  // observation carry no rate information and are ignored.
  void update(ZtTimeStamp local, ZtTimeStamp external);
  ZtTimeStamp localTime(ZtTimeStamp external) const;
  ZtTimeStamp externalTime(ZtTimeStamp local) const;

  double skew() const;
  double gate() const;

 private:
  struct Data;
  std::unique_ptr<Data> m_d;
};
