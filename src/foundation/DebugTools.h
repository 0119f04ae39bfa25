#pragma once
// A hook the application may install to break into its debugger when the library catches an
// unexpected failure (log-file reading, packet processing).
namespace zelto {

class DebugTools {
 public:
  typedef void (*DebugBreaker)();

  // Calls the installed breaker; does nothing when none is installed.
  static void debugBreak();
  static void setDebugBreaker(DebugBreaker breaker);
  static DebugBreaker debugBreaker();
  // No effect on this platform.
  static void enableFloatingPointExceptions();
  static void disableFloatingPointExceptions();
};

}  // namespace zelto
