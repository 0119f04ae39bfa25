#pragma once
// The host-side fusion filter as the devices drive it: once per data packet doOneKalmanStep with
// the filter's own subclasses of the records. A device holds its filter through
// zelto::NonIntrusiveSharedPointer and the last reference deletes it through this interface.
// A filter is used by one thread at a time (the device's processing task).
class ZkfParams;
class ZkfState;
class ZkfSensorData;
class ZkfAiding;
class ZkfRealTimeParameters;
class ZkfFilterOutput;
class ZkfTime;

class ZtZkfFilter {
 public:
  virtual ~ZtZkfFilter();
  // One step; time carries the integration interval for filters that need it (others accept
  // null).
  virtual bool doOneKalmanStep(const ZkfSensorData& sensorData, const ZkfAiding& aiding,
                               const ZkfRealTimeParameters& realTime, ZkfFilterOutput& output,
                               const ZkfTime* time) = 0;
  // Back to the first iteration; non-null params are copied into the filter's own parameters,
  // null keeps the current ones.
  virtual void restart(ZkfParams* params) = 0;
  virtual void getFullState(ZkfState* state) const = 0;
  virtual void setFullState(const ZkfState* state) = 0;
  // Stays owned by the filter.
  virtual ZkfParams* getFilterParameters() = 0;
  virtual bool isInitialized() const = 0;
  // "$Rev: <number> $"
  virtual const char* svnRevision() const = 0;
  virtual char type() const = 0;
  virtual void getVersion(int& major, int& minor, int& revision) const = 0;

  // The three-part version without its revision.
  void getVersion(int& major, int& minor) const;
};
