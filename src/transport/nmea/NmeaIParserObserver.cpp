#include "transport/nmea/NmeaIParserObserver.h"

namespace nmea {

IParserObserver::~IParserObserver() = default;
void IParserObserver::onInitializeParse(const char*, const char*) {}
void IParserObserver::onHCHDM(Number) {}
void IParserObserver::onHCHDG(Number, Number, Flag, Number, Flag) {}
void IParserObserver::onPHTRO(Number, Flag, Number, Flag) {}
void IParserObserver::onHCMTW(Number) {}
void IParserObserver::onPRDID(Number, Number, Number) {}
void IParserObserver::onPSONCMS(const PsoncmsFields&) {}
void IParserObserver::onTSS2(Number, Number, Number, Number) {}
void IParserObserver::onEM1000(Number, Number, Number, Number) {}
void IParserObserver::onHEHDT(Number) {}
void IParserObserver::onHEROT(Number) {}

}  // namespace nmea
