#include "filters/common/DecryptedScenarioPage.h"

#include <cstring>

void DecryptedScenarioPage::clear() {
  type = 0;
  version = 0;
  std::memset(label, ' ', kLabelSize);
  std::memset(values, 0, kValuesSize);
  trailer = 0;
}

void DecryptedScenarioPage::setLabel(const char* text) {
  std::memset(label, ' ', kLabelSize);
  if (!text) return;
  for (size_t i = 0; i < kLabelSize && text[i] != '\0'; ++i) label[i] = text[i];
}
