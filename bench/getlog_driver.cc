// tolvane_getlog_driver TYPE OUTPUT: runs one request in-process, as
// tolvane-getlog does, and then reports on stdout, one "key value" a line:
//   ok              1 when the request returned true
//   self_user_us    user CPU time of this process during the request
//   self_sys_us     system CPU time of this process during the request
//   self_maxrss_kb  peak resident memory of this process, start to end
//   child_user_us   user CPU time of the commands the request started
//   child_sys_us    system CPU time of those commands
//   child_maxrss_kb largest peak resident memory among those commands
//
// getrusage(RUSAGE_SELF) counts this process alone: the time of a child
// goes to RUSAGE_CHILDREN when system() waits for it, never to SELF. So the
// self figures are the library's own work (with the driver's few lines
// around it), the process spawns' and the commands' work excluded.
//
// It writes into /var/tmp, so it runs only in the sandbox.

#include <sys/resource.h>
#include <sys/time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "nq_tolvane.h"

namespace {

long long Micros(const timeval& t) {
  return static_cast<long long>(t.tv_sec) * 1000000LL + t.tv_usec;
}

}  // namespace

int main(int argc, char** argv) {
  const char* inside = std::getenv("TOLVANE_IN_SANDBOX");
  if (inside == nullptr || std::strcmp(inside, "1") != 0) {
    std::fprintf(stderr, "tolvane_getlog_driver: run it in the sandbox\n");
    return 2;
  }
  if (argc != 3 || std::strcmp(argv[1], "misc") != 0) {
    std::fprintf(stderr, "usage: tolvane_getlog_driver misc OUTPUT\n");
    return 2;
  }
  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  const bool ok = nq_tolvane::GetEntireLog(nq_tolvane::LOGTYPE_MISC, argv[2]);
  rusage self{};
  rusage children{};
  getrusage(RUSAGE_SELF, &self);
  getrusage(RUSAGE_CHILDREN, &children);

  std::printf("ok %d\n", ok ? 1 : 0);
  std::printf("self_user_us %lld\n",
              Micros(self.ru_utime) - Micros(before.ru_utime));
  std::printf("self_sys_us %lld\n",
              Micros(self.ru_stime) - Micros(before.ru_stime));
  std::printf("self_maxrss_kb %ld\n", self.ru_maxrss);
  std::printf("child_user_us %lld\n", Micros(children.ru_utime));
  std::printf("child_sys_us %lld\n", Micros(children.ru_stime));
  std::printf("child_maxrss_kb %ld\n", children.ru_maxrss);
  return ok ? 0 : 1;
}
