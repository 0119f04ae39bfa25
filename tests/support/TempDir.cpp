#include "support/TempDir.h"

#include <filesystem>
#include <stdexcept>
#include <stdlib.h>

namespace zelto::test {

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "zdatest.XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  m_path = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(m_path, ec);
}

std::string TempDir::file(const std::string& name) const { return m_path + "/" + name; }

}  // namespace zelto::test
