#pragma once
// Scope guard: on destruction calls (object.*function)(argument) while enabled. Used to put a
// file's read position back on every way out of a search.

namespace zelto {

template <typename Object, typename Argument, typename Result>
class JanitorClassFuncP1 {
 public:
  using Function = Result (Object::*)(Argument);

  JanitorClassFuncP1(Object& object, Function function, Argument argument)
      : m_object(object), m_function(function), m_argument(argument) {}
  ~JanitorClassFuncP1() {
    if (m_enabled) (m_object.*m_function)(m_argument);
  }
  JanitorClassFuncP1(const JanitorClassFuncP1&) = delete;
  JanitorClassFuncP1& operator=(const JanitorClassFuncP1&) = delete;

  void disable() { m_enabled = false; }
  void enable() { m_enabled = true; }
  bool isEnabled() const { return m_enabled; }

 private:
  Object& m_object;
  Function m_function;
  Argument m_argument;
  bool m_enabled = true;
};

}  // namespace zelto
