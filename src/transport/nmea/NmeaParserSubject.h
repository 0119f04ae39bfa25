#ifndef ZDA_TRANSPORT_NMEAPARSERSUBJECT_H
#define ZDA_TRANSPORT_NMEAPARSERSUBJECT_H

#include <memory>
#include <set>
#include <vector>

#include "transport/nmea/NmeaIParser.h"

namespace nmea {

// The observer set of a parser and the fan-out of its notifications. A notification walks a
// snapshot of the set taken when it starts, so an observer may attach or detach observers while it
// is being called. The snapshot is rebuilt on attach/detach only, so notifying allocates nothing.
// No lock: one parser serves one thread at a time.
class ParserSubject : public virtual IParser {
public:
  ParserSubject();

  void attachObserver(IParserObserver& observer) override;
  void detachObserver(IParserObserver& observer) override;

  void notifyHCHDM(Number heading) const override;
  void notifyHCHDG(Number heading, Number deviation, Flag deviationEast, Number variation,
                   Flag variationEast) const override;
  void notifyPHTRO(Number pitch, Flag bowUp, Number roll, Flag portUp) const override;
  void notifyPRDID(Number pitch, Number roll, Number heading) const override;
  void notifyPSONCMS(const PsoncmsFields& fields) const override;
  void notifyHCMTW(Number temperature) const override;
  void notifyTSS2(Number first, Number second, Number third, Number fourth) const override;
  void notifyEM1000(Number first, Number second, Number third, Number fourth) const override;
  void notifyHEHDT(Number heading) const override;
  void notifyHEROT(Number rateOfTurn) const override;
  virtual void notifyInitializeParse(const char* begin, const char* end) const;

private:
  using Snapshot = std::shared_ptr<const std::vector<IParserObserver*>>;

  template <typename Call>
  void notify(Call&& call) const {
    const Snapshot observers = m_snapshot;
    for (IParserObserver* observer : *observers)
      call(*observer);
  }
  void rebuildSnapshot();

  std::set<IParserObserver*> m_observers;  // notification order is the set's order
  Snapshot m_snapshot;                      // m_observers as of the last change
};

}  // namespace nmea

#endif
