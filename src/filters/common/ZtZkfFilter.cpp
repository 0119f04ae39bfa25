#include "filters/common/ZtZkfFilter.h"

ZtZkfFilter::~ZtZkfFilter() = default;

void ZtZkfFilter::getVersion(int& major, int& minor) const {
  int revision = 0;
  getVersion(major, minor, revision);
}
