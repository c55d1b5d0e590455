// Starting a program as a shell starts one, in a session of its own: the
// one way the library and tolvane-getlog start the programs they run.

#ifndef TOLVANE_SRC_PLATFORM_SPAWN_H_
#define TOLVANE_SRC_PLATFORM_SPAWN_H_

#include <sys/types.h>

namespace nq_tolvane {

// Starts `argv` in a session of its own, with default dispositions and no
// signal blocked (the caller's own, an ignored SIGTERM or a blocked SIGINT,
// would keep it from being stopped): the program at `path`, or looked up in
// PATH when `path` is null. Its standard input is `inputFd` (else
// /dev/null); `passFd` stays open under its number; its standard output is
// `outputFd` and its standard error /dev/null when `outputFd` is not -1.
// Returns its process id, or -1 with `*error` an errno value.
pid_t Spawn(const char* path, char* const argv[], int passFd, int inputFd,
            int outputFd, int* error);

}  // namespace nq_tolvane

#endif  // TOLVANE_SRC_PLATFORM_SPAWN_H_
