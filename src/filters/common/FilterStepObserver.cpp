#include "filters/common/FilterStepObserver.h"

FilterStepObserver::~FilterStepObserver() = default;

void FilterStepObserver::rolledBack() {}

void FilterStepObserver::elementsSet(ZtSize, const zelto::Vector&) {}

void FilterStepObserver::keptDirections(const zelto::Matrix&) {}
