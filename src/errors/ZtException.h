#pragma once
// The library's exception: a result code and a text. Thrown inside the task pool, by typed
// values, the data caches, the numeric classes and the filter parameter records; never across
// the C interface.
#include <exception>
#include <string>

#include "zttypes/ztarray.h"
#include "zttypes/ztresult.h"

class ZtException : public std::exception {
 public:
  // With compose set and a non-zero code the stored text becomes
  //   "<code>: " + ZtResultValue_toString(code) + "\tInfo: " + text
  // (the result text and the "\tInfo: " part only when they are not empty);
  // otherwise the text is stored unchanged. A null text is the empty text.
  ZtException(ZtResultValue code, const char* text, bool compose = true);
  ZtException(ZtResultValue code, const std::string& text, bool compose = true);
  ZtException(ZtResultValue code, const ZtString& text, bool compose = true);
  ZtException(const ZtException&) = default;
  ZtException& operator=(const ZtException&) = default;
  ~ZtException() override;

  // The stored text; "" when it is empty.
  const char* what() const noexcept override;
  // Throws a new base-type ZtException with this object's code and text.
  [[noreturn]] virtual void raise() const;

  ZtResultValue result() const noexcept { return m_result; }
  const std::string& text() const noexcept { return m_text; }

 private:
  ZtResultValue m_result;
  std::string m_text;
};
