#pragma once
// A fresh temporary directory, removed with everything in it when the object goes.
#include <string>

namespace zelto::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return m_path; }
  // path() + "/" + name
  std::string file(const std::string& name) const;

 private:
  std::string m_path;
};

}  // namespace zelto::test
