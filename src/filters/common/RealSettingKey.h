#pragma once
// One row of a record's constant table of double members and their settings keys: the scenario
// records keep such a table in file order and walk it with ZeltoParams::readReals / writeReals
// (a reader or writer whose order departs from the table's walks it by hand).
template <class Record>
struct RealSettingKey {
  const char* key;
  double Record::*field;
};
