#include "errors/ZtException.h"

namespace {

std::string composeText(ZtResultValue code, const char* text, bool compose) {
  std::string given = text ? text : "";
  if (!compose || code == 0) return given;
  std::string out = std::to_string(code) + ": ";
  const char* description = ZtResultValue_toString(code);
  if (description && *description) out += description;
  if (!given.empty()) {
    out += "\tInfo: ";
    out += given;
  }
  return out;
}

}  // namespace

ZtException::ZtException(ZtResultValue code, const char* text, bool compose)
    : m_result(code), m_text(composeText(code, text, compose)) {}

ZtException::ZtException(ZtResultValue code, const std::string& text, bool compose)
    : ZtException(code, text.c_str(), compose) {}

// ZtString counts its terminating NUL; an empty or unallocated string has no usable data.
ZtException::ZtException(ZtResultValue code, const ZtString& text, bool compose)
    : ZtException(code, (text.data && text.size > 1) ? std::string(text.data, text.size - 1) : std::string(),
                  compose) {}

ZtException::~ZtException() = default;

const char* ZtException::what() const noexcept { return m_text.c_str(); }

void ZtException::raise() const { throw ZtException(m_result, m_text, false); }
