#pragma once
// Walks the current thread's call stack and hands each frame's text to OnOutput.
#include <string>

class StackWalker {
 public:
  StackWalker();
  virtual ~StackWalker();
  // Innermost frame first, at most 100 frames; "No callstack available" once when the
  // frames cannot be resolved.
  void ShowCallstack();

 protected:
  virtual void OnOutput(const std::string& text);
};
