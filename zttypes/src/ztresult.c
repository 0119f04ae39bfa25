#include "zttypes/ztresult.h"

#include <stddef.h>

typedef struct ResultText {
  ZtResultValue value;
  const char* text;
} ResultText;

static const ResultText kResultTexts[] = {
  {ZRV_OK, "Operation was performed successfully"},
};

const char* ZtResultValue_toString(ZtResultValue value) {
  for (size_t i = 0; i < sizeof kResultTexts / sizeof kResultTexts[0]; ++i)
    if (kResultTexts[i].value == value) return kResultTexts[i].text;
  return "";
}
