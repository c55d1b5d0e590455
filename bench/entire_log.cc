// entire_log TYPE OUTPUT: one GetEntireLog(TYPE, OUTPUT), the library's
// request through its shell commands. Exits 0 when it returned true, 1 when
// false, 2 for a bad usage.

#include "nq_tolvane.h"
#include "tolvane_report.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  return nq_tolvane::GetEntireLog(nq_tolvane::LogTypeNamed(argv[1]), argv[2])
             ? 0
             : 1;
}
