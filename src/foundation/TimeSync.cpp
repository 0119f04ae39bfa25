#include "foundation/TimeSync.h"

#include <cmath>
#include <vector>

namespace {

struct TimeSyncHistoryUnit {
  double externalOffset = 0.0;
  double localOffset = 0.0;
  double residual = 0.0;
};

constexpr double kTrackingGain = 0.005;
constexpr double kSkewGain = 0.01;
constexpr double kGateRate = 0.01;

}  // namespace

struct TimeSync::Data {
  int historySize;
  int warmUp;
  double initialSkew;
  ZtTimeStamp localBase = 0;
  ZtTimeStamp externalBase = 0;
  double skew = 1.0;
  double gate = 2.0;
  double offsetCorrection = 0.0;
  double lastExternalOffset = 0.0;
  double localEstimate = 0.0;
  std::vector<TimeSyncHistoryUnit> history;
  int largest = 0;  // index of the entry with the largest residual
  int used = 0;
  int next = 0;
  bool initialized = false;

  Data(double skew0, int size)
      : historySize(size < 1 ? 1 : size), warmUp(historySize / 2), initialSkew(skew0), history(historySize) {}

  void reset() {
    localBase = externalBase = 0;
    skew = 1.0;
    gate = 2.0;
    offsetCorrection = lastExternalOffset = localEstimate = 0.0;
    used = next = largest = 0;
    initialized = false;
  }

  int newest() const { return next == 0 ? historySize - 1 : next - 1; }
  int oldest() const { return used == historySize ? next : 0; }

  void add(double externalOffset, double localOffset, double residual) {
    const bool overwroteLargest = next == largest;
    history[next] = {externalOffset, localOffset, residual};
    if (used < historySize) ++used;
    if (overwroteLargest) {
      largest = 0;
      for (int i = 1; i < used; ++i)
        if (history[i].residual > history[largest].residual) largest = i;
    } else if (residual > history[largest].residual) {
      largest = next;
    }
    next = (next + 1) % historySize;
  }
};

TimeSync::TimeSync(double initialSkew, int historySize) : m_d(new Data(initialSkew, historySize)) {}

TimeSync::~TimeSync() = default;

void TimeSync::reset() { m_d->reset(); }

void TimeSync::setInitialSkew(double skew) {
  m_d->initialSkew = skew;
  m_d->reset();
}

bool TimeSync::isInitialized() const { return m_d->initialized; }

double TimeSync::skew() const { return m_d->skew; }

double TimeSync::gate() const { return m_d->gate; }

void TimeSync::update(ZtTimeStamp local, ZtTimeStamp external) {
  Data& d = *m_d;
  if (d.used == 0) {
    d.localBase = local;
    d.externalBase = external;
  }
  const double dl = static_cast<double>(local - d.localBase);
  const double de = static_cast<double>(external - d.externalBase);

  if (!d.initialized) {
    d.add(de, dl, 0.0);
    if (d.used > 1) {
      const TimeSyncHistoryUnit& first = d.history[0];
      if (de - first.externalOffset < 1.0 || dl - first.localOffset < 1.0) {
        // Too close to measure a rate: start over; the next observation sets new bases.
        d.reset();
      } else {
        d.skew = d.initialSkew != 0.0 ? d.initialSkew : (dl - first.localOffset) / (de - first.externalOffset);
        d.initialized = true;
      }
    }
    d.localEstimate = dl;
    d.lastExternalOffset = de;
    return;
  }

  const TimeSyncHistoryUnit& reference = d.history[d.oldest()];
  const double span = de - reference.externalOffset;
  // Same external time as the reference: no rate to measure, and a division by zero would
  // poison the skew for good.
  if (span == 0.0) return;
  double r = (dl - reference.localOffset) / span;

  double gain = kTrackingGain;
  if (d.used <= d.warmUp) {
    gain = 0.1;
    if (d.initialSkew != 0.0)
      d.skew = r = d.initialSkew;
    else
      d.skew = 0.75 * d.skew + 0.25 * r;
  }
  const double deviation = std::fabs(1.0 - r / d.skew);
  if (!(d.gate > deviation)) {
    d.gate *= 1.0 + kGateRate;
    return;
  }
  d.skew = (1.0 - kSkewGain) * d.skew + kSkewGain * r;
  const TimeSyncHistoryUnit& newest = d.history[d.newest()];
  d.localEstimate = d.localEstimate + (de - newest.externalOffset) * d.skew - gain * d.history[d.largest].residual;
  d.add(de, dl, d.localEstimate - dl);
  d.lastExternalOffset = de;
  d.offsetCorrection = kTrackingGain * d.history[d.largest].residual;
  const double narrowed = (1.0 - kGateRate) * d.gate;
  const double widened = (1.0 + kGateRate) * deviation;
  d.gate = narrowed > widened ? narrowed : widened;
}

ZtTimeStamp TimeSync::localTime(ZtTimeStamp external) const {
  const Data& d = *m_d;
  const double offset = (static_cast<double>(external - d.externalBase) - d.lastExternalOffset) * d.skew +
                        d.localEstimate - d.offsetCorrection;
  return d.localBase + static_cast<ZtTimeStamp>(std::trunc(offset));
}

ZtTimeStamp TimeSync::externalTime(ZtTimeStamp local) const {
  const Data& d = *m_d;
  const double offset =
      (static_cast<double>(local - d.localBase) - d.localEstimate + d.offsetCorrection) / d.skew + d.lastExternalOffset;
  return d.externalBase + static_cast<ZtTimeStamp>(std::trunc(offset));
}
