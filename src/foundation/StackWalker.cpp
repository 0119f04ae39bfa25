#include "foundation/StackWalker.h"

#include <execinfo.h>

#include <cstdlib>

StackWalker::StackWalker() = default;

StackWalker::~StackWalker() = default;

void StackWalker::OnOutput(const std::string&) {}

void StackWalker::ShowCallstack() {
  void* frames[100];
  const int n = backtrace(frames, 100);
  char** symbols = n > 0 ? backtrace_symbols(frames, n) : nullptr;
  if (!symbols) {
    OnOutput("No callstack available");
    return;
  }
  for (int i = 0; i < n; ++i) OnOutput(symbols[i]);
  free(symbols);
}
