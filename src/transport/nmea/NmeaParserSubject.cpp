#include "transport/nmea/NmeaParserSubject.h"

namespace nmea {

ParserSubject::ParserSubject() : m_snapshot(std::make_shared<const std::vector<IParserObserver*>>()) {}

void ParserSubject::attachObserver(IParserObserver& observer) {
  if (m_observers.insert(&observer).second)
    rebuildSnapshot();
}

void ParserSubject::detachObserver(IParserObserver& observer) {
  if (m_observers.erase(&observer))
    rebuildSnapshot();
}

void ParserSubject::rebuildSnapshot() {
  m_snapshot = std::make_shared<const std::vector<IParserObserver*>>(m_observers.begin(), m_observers.end());
}

void ParserSubject::notifyHCHDM(Number heading) const {
  notify([&](IParserObserver& o) { o.onHCHDM(heading); });
}

void ParserSubject::notifyHCHDG(Number heading, Number deviation, Flag deviationEast, Number variation,
                                Flag variationEast) const {
  notify([&](IParserObserver& o) { o.onHCHDG(heading, deviation, deviationEast, variation, variationEast); });
}

void ParserSubject::notifyPHTRO(Number pitch, Flag bowUp, Number roll, Flag portUp) const {
  notify([&](IParserObserver& o) { o.onPHTRO(pitch, bowUp, roll, portUp); });
}

void ParserSubject::notifyPRDID(Number pitch, Number roll, Number heading) const {
  notify([&](IParserObserver& o) { o.onPRDID(pitch, roll, heading); });
}

void ParserSubject::notifyPSONCMS(const PsoncmsFields& fields) const {
  notify([&](IParserObserver& o) { o.onPSONCMS(fields); });
}

void ParserSubject::notifyHCMTW(Number temperature) const {
  notify([&](IParserObserver& o) { o.onHCMTW(temperature); });
}

void ParserSubject::notifyTSS2(Number first, Number second, Number third, Number fourth) const {
  notify([&](IParserObserver& o) { o.onTSS2(first, second, third, fourth); });
}

void ParserSubject::notifyEM1000(Number first, Number second, Number third, Number fourth) const {
  notify([&](IParserObserver& o) { o.onEM1000(first, second, third, fourth); });
}

void ParserSubject::notifyHEHDT(Number heading) const {
  notify([&](IParserObserver& o) { o.onHEHDT(heading); });
}

void ParserSubject::notifyHEROT(Number rateOfTurn) const {
  notify([&](IParserObserver& o) { o.onHEROT(rateOfTurn); });
}

void ParserSubject::notifyInitializeParse(const char* begin, const char* end) const {
  notify([&](IParserObserver& o) { o.onInitializeParse(begin, end); });
}

}  // namespace nmea
