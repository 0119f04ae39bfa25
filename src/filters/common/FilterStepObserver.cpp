#include "filters/common/FilterStepObserver.h"

FilterStepObserver::~FilterStepObserver() = default;

void FilterStepObserver::rolledBack() {}
