// The device library's load and unload hooks, observed from a child process that loads it
// with dlopen: loading fixes the companion time base, unloading (or process exit) deletes the
// library journal, which writes out and closes its file.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>

#include "support/TempDir.h"
#include "zttypes/ztarray.h"

namespace {

// Runs body in a child process and returns its exit status (-1 when it did not exit normally).
template <typename Body>
int inChild(Body body) {
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    alarm(20);  // never hang the test
    body();     // exits
    _exit(100);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// The companion time base reads the time zone once; a zone set just before loading shows up
// in tzname only when something initialised the time base during the load.
TEST(LoadHooks, LoadingInitialisesTheCompanionTimeBase) {
  const int status = inChild([] {
    setenv("TZ", "ZDAT-3", 1);
    if (std::strcmp(tzname[0], "ZDAT") == 0) _exit(2);  // already initialised: cannot tell
    void* lib = dlopen(ZDA_DEVICEAPI_SO, RTLD_NOW | RTLD_LOCAL);
    if (!lib) _exit(3);
    const bool initialised = std::strcmp(tzname[0], "ZDAT") == 0;
    dlclose(lib);
    _exit(initialised ? 0 : 4);
  });
  EXPECT_EQ(status, 0) << "2: precondition, 3: dlopen failed (" << ZDA_DEVICEAPI_SO << "), 4: time base not set";
}

TEST(LoadHooks, UnloadWritesOutAndClosesTheLibraryJournal) {
  zelto::test::TempDir tmp;
  const std::string dir = tmp.path() + "/";
  const int status = inChild([&] {
    void* lib = dlopen(ZDA_DEVICEAPI_SO, RTLD_NOW | RTLD_LOCAL);
    if (!lib) _exit(3);
    auto setLogPath = reinterpret_cast<void (*)(const ZtString*)>(dlsym(lib, "zdaSetLogPath"));
    if (!setLogPath) _exit(4);
    ZtString path;
    ZtString_construct(&path, dir.c_str());
    setLogPath(&path);  // the journal header is buffered, not yet on disk
    ZtString_destruct(&path);
    dlclose(lib);
    // The library exports no unique (never-unloadable) symbols: dlclose unmaps it, and its unload
    // hook has run by now.
    if (dlopen(ZDA_DEVICEAPI_SO, RTLD_NOW | RTLD_NOLOAD) != nullptr) _exit(5);
    // _exit: the journal's file table is kept for the process by design, and once the library is
    // unmapped the leak checker of the sanitizer build would count it at exit.
    _exit(0);
  });
  ASSERT_EQ(status, 0) << "3: dlopen failed, 4: zdaSetLogPath missing, 5: still mapped after dlclose";
  std::ifstream in(dir + "zda.log");
  std::string first;
  std::getline(in, first);
  std::string all = first;
  for (std::string l; std::getline(in, l);) all += "\n" + l;
  EXPECT_NE(all.find("Journaller logging to " + dir + "zda.log for zda"), std::string::npos) << all;
}

}  // namespace
