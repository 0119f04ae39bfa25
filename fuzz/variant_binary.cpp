// Arbitrary bytes as the binary form of a typed value: the reader must never read past the bytes
// it is given, and whatever it accepts must write back into a form it accepts again, whole.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "foundation/Variant.h"

namespace {

// Every conversion of the value, so that the sanitizers see each of them on hostile contents.
void convertEverything(const zelto::Variant& v) {
  volatile double sink = 0;
  sink = sink + v.toBool() + v.toInt32() + v.toUint32() + static_cast<double>(v.toInt64()) +
         static_cast<double>(v.toUint64()) + v.toFloat() + v.toDouble();
  sink = sink + static_cast<double>(v.toMatrix().rows) + static_cast<double>(v.toVector().size) +
         v.toQuaternion().w + v.toIntList().count() + v.toLabelList().count() + v.toBinaryObject().size() +
         static_cast<double>(v.toStdString().size());
  for (const zelto::Variant& target : {zelto::Variant(1), zelto::Variant(1.5), zelto::Variant(zelto::IntList()),
                                       zelto::Variant(zelto::LabelList()), zelto::Variant(ZtQuaternion{1, 0, 0, 0})}) {
    zelto::Variant copy(target);
    copy.setValueKeepType(v);
    sink = sink + copy.toDouble();
  }
  (void)sink;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  zelto::Variant value;
  const size_t used = value.deserialize(bytes, size);
  if (used == 0) {
    if (!value.empty()) std::abort();  // a refused form leaves the empty value
    return 0;
  }
  if (used > size) std::abort();
  convertEverything(value);

  std::string image(value.serialize(nullptr), '\0');
  if (value.serialize(image.data()) != image.size()) std::abort();
  zelto::Variant again;
  if (again.deserialize(image.data(), image.size()) != image.size()) std::abort();
  if (again.kind() != value.kind()) std::abort();

  std::string text;
  value.writeToString(text);
  zelto::Variant fromText;
  if (fromText.readFromString(text) == 0 && !text.empty()) std::abort();
  (void)(value == again);
  return 0;
}
