#pragma once
// The filters receive their per-step inputs through the common base types and take their own
// kinds back from them. The caller nearly always passes exactly the filter's own class, so the
// type is compared first (one load and a pointer compare in the same image); a derived class still
// goes through dynamic_cast. Every filter step does this for four or five objects, on a processor
// that is often cold, where dynamic_cast walks type data that is rarely in cache.
#include <type_traits>
#include <typeinfo>

namespace zelto {

// dynamic_cast<T*>(base) for a polymorphic base, with the exact-type case first.
template <class T, class B>
T* inputCast(B* base) {
  static_assert(std::is_polymorphic_v<B> && std::is_pointer_v<T*>);
  if (base == nullptr) return nullptr;
  if (typeid(*base) == typeid(std::remove_cv_t<T>)) return static_cast<T*>(base);
  return dynamic_cast<T*>(base);
}

}  // namespace zelto
