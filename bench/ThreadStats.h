#pragma once
// Per-thread CPU time and context switches of chosen threads of this process, for the idle-cost
// and CPU-per-message benchmarks: CPU from each thread's CPU clock (nanoseconds), switches from
// /proc/self/task/<tid>/status. Threads are chosen by listing the process's threads before and
// after the code under test starts its own.
#include <dirent.h>
#include <sys/types.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace benchstats {

inline std::vector<pid_t> threadIds() {
  std::vector<pid_t> ids;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ids.push_back(static_cast<pid_t>(std::atoi(e->d_name)));
    closedir(d);
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

// Threads in now that were not in before.
inline std::vector<pid_t> newThreads(const std::vector<pid_t>& before) {
  std::vector<pid_t> now = threadIds(), out;
  std::set_difference(now.begin(), now.end(), before.begin(), before.end(), std::back_inserter(out));
  return out;
}

struct Sample {
  double cpuNs = 0;
  double switches = 0;  // voluntary + involuntary
  double voluntary = 0;
};

// The kernel's CPU clock of any thread of this process (what pthread_getcpuclockid builds).
inline clockid_t threadCpuClock(pid_t tid) { return static_cast<clockid_t>((~static_cast<unsigned>(tid) << 3) | 6); }

inline Sample sample(const std::vector<pid_t>& tids) {
  Sample s;
  for (pid_t tid : tids) {
    timespec ts{};
    if (clock_gettime(threadCpuClock(tid), &ts) == 0) s.cpuNs += static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d/status", static_cast<int>(tid));
    if (FILE* f = std::fopen(path, "r")) {
      char line[256];
      while (std::fgets(line, sizeof line, f)) {
        unsigned long v = 0;
        if (std::sscanf(line, "voluntary_ctxt_switches: %lu", &v) == 1) {
          s.switches += static_cast<double>(v);
          s.voluntary += static_cast<double>(v);
        } else if (std::sscanf(line, "nonvoluntary_ctxt_switches: %lu", &v) == 1) {
          s.switches += static_cast<double>(v);
        }
      }
      std::fclose(f);
    }
  }
  return s;
}

}  // namespace benchstats
