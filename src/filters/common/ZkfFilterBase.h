#pragma once
// Base of the host square-root filters: the identity the filter interface reports (type
// character, version, revision text), the alerts journalled once per filter for parameters the
// filter works around, and the step observer seam. The filter subclasses keep everything of
// their own model; this holds only what every family repeats.
//
// Used by one thread at a time, like the filter.
#include "filters/common/FilterStepObserver.h"
#include "filters/common/ZtZkfFilter.h"

class ZkfFilterBase : public ZtZkfFilter {
 public:
  struct Identity {
    char type;
    int major, minor, revision;
    const char* svnRevision;  // "$Rev: <number> $"
  };

  ~ZkfFilterBase() override;

  const char* svnRevision() const override;
  char type() const override;
  void getVersion(int& major, int& minor, int& revision) const override;
  using ZtZkfFilter::getVersion;

  // The observer is not owned; null stops the calls.
  void setStepObserver(FilterStepObserver* observer) { m_observer = observer; }

  // The identity as the scenario records and profile lists take it.
  static void typeAndVersion(const Identity& identity, unsigned char& type, unsigned char& major,
                             unsigned char& minor, unsigned char& revision);

 protected:
  explicit ZkfFilterBase(const Identity& identity);
  ZkfFilterBase(const ZkfFilterBase&) = delete;
  ZkfFilterBase& operator=(const ZkfFilterBase&) = delete;

  // Journals what at ALERT the first time its bit is seen by this filter, never again.
  void journalOnce(unsigned bit, const char* what);

  FilterStepObserver* m_observer = nullptr;

 private:
  const Identity m_identity;
  unsigned m_journalled = 0;
};
