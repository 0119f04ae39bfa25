#pragma once
// What a shell command prints on its standard output (empty when it cannot be started).
#include <string>

namespace zelto::test {

std::string commandOutput(const std::string& command);

}  // namespace zelto::test
