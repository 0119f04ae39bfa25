// inputCast: the exact-type fast path must give what dynamic_cast gives for every kind of input.
#include <gtest/gtest.h>

#include "filters/common/InputCast.h"

namespace {

struct CastInput {
  virtual ~CastInput() = default;
};
struct CastFilterInput : CastInput {};
// A caller's own refinement of a filter's input still reaches that filter.
struct CastRefinedInput : CastFilterInput {};
// Another filter's input of the same base.
struct CastOtherInput : CastInput {};

TEST(InputCast, AgreesWithDynamicCast) {
  CastFilterInput exact;
  CastRefinedInput refined;
  CastOtherInput other;
  const struct {
    const char* name;
    CastInput* input;
    CastFilterInput* expected;
  } cases[] = {{"exact", &exact, &exact}, {"derived", &refined, &refined}, {"another filter's", &other, nullptr},
               {"null", nullptr, nullptr}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(zelto::inputCast<CastFilterInput>(c.input), c.expected);
    const CastInput* constInput = c.input;
    EXPECT_EQ(zelto::inputCast<const CastFilterInput>(constInput), c.expected);
    EXPECT_EQ(zelto::inputCast<CastFilterInput>(c.input), dynamic_cast<CastFilterInput*>(c.input));
  }
}

}  // namespace
