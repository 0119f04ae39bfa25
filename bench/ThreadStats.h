#pragma once
// CPU time and context switches of the threads of this process, for the idle-cost and
// CPU-per-message benchmarks.
//  - othersSample(): every thread of the process but the calling one, whatever started them and
//    whether they still run (the process's totals less the caller's): what a library costs when
//    the caller only writes or sleeps, with the pool counted even when an earlier benchmark of
//    the same program created it.
//  - sample(tids): chosen threads, from each thread's CPU clock and /proc/self/task/<tid>/status.
//  - byName(): the live threads grouped by their name (/proc/self/task/<tid>/comm), e.g. the
//    library's "KtThread" readers and "Pooled Thread" workers.
#include <dirent.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
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

inline double clockNs(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

inline Sample othersSample() {
  rusage all{}, self{};
  getrusage(RUSAGE_SELF, &all);
  getrusage(RUSAGE_THREAD, &self);
  Sample s;
  s.cpuNs = clockNs(CLOCK_PROCESS_CPUTIME_ID) - clockNs(CLOCK_THREAD_CPUTIME_ID);
  s.voluntary = static_cast<double>(all.ru_nvcsw - self.ru_nvcsw);
  s.switches = s.voluntary + static_cast<double>(all.ru_nivcsw - self.ru_nivcsw);
  return s;
}

inline std::string threadName(pid_t tid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%d/comm", static_cast<int>(tid));
  std::string name = "?";
  if (FILE* f = std::fopen(path, "r")) {
    char line[64] = {};
    if (std::fgets(line, sizeof line, f)) name = line;
    std::fclose(f);
    if (!name.empty() && name.back() == '\n') name.pop_back();
  }
  return name;
}

inline std::map<std::string, Sample> byName() {
  std::map<std::string, Sample> out;
  for (pid_t tid : threadIds()) {
    const Sample one = sample({tid});
    Sample& s = out[threadName(tid)];
    s.cpuNs += one.cpuNs;
    s.switches += one.switches;
    s.voluntary += one.voluntary;
  }
  return out;
}

// What each named group of threads spent between two byName() samples (groups that appeared
// meanwhile count whole).
inline std::map<std::string, Sample> difference(const std::map<std::string, Sample>& before,
                                                const std::map<std::string, Sample>& after) {
  std::map<std::string, Sample> out;
  for (const auto& [name, s1] : after) {
    Sample d = s1;
    if (auto it = before.find(name); it != before.end()) {
      d.cpuNs -= it->second.cpuNs;
      d.switches -= it->second.switches;
      d.voluntary -= it->second.voluntary;
    }
    out[name] = d;
  }
  return out;
}

}  // namespace benchstats
