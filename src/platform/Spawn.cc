#include "platform/Spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>

#include <cerrno>
#include <initializer_list>

extern char** environ;

namespace nq_tolvane {
namespace {

// Default dispositions and an empty mask in the command, as for a program
// started from a shell: the caller's own (ignored SIGTERM, blocked SIGINT)
// would keep the command from being stopped.
bool SetUpAttributes(posix_spawnattr_t* attributes) {
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int signal : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGTERM, SIGCHLD})
    sigaddset(&defaults, signal);
  sigset_t none;
  sigemptyset(&none);
  return posix_spawnattr_setflags(attributes,
                                  POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF |
                                      POSIX_SPAWN_SETSIGMASK) == 0 &&
         posix_spawnattr_setsigdefault(attributes, &defaults) == 0 &&
         posix_spawnattr_setsigmask(attributes, &none) == 0;
}

}  // namespace

pid_t Spawn(const char* path, char* const argv[], int passFd, int inputFd,
            int outputFd, int* error) {
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;
  if ((*error = posix_spawnattr_init(&attributes)) != 0) return -1;
  if ((*error = posix_spawn_file_actions_init(&actions)) != 0) {
    posix_spawnattr_destroy(&attributes);
    return -1;
  }
  *error = SetUpAttributes(&attributes) ? 0 : EINVAL;
  if (*error == 0)
    *error = inputFd >= 0
                 ? posix_spawn_file_actions_adddup2(&actions, inputFd, 0)
                 : posix_spawn_file_actions_addopen(&actions, 0, "/dev/null",
                                                    O_RDONLY, 0);
  if (*error == 0 && outputFd >= 0) {
    *error = posix_spawn_file_actions_adddup2(&actions, outputFd, 1);
    if (*error == 0)
      *error = posix_spawn_file_actions_addopen(&actions, 2, "/dev/null",
                                                O_WRONLY, 0);
  }
  // A descriptor duplicated onto itself loses close-on-exec in the command.
  if (*error == 0 && passFd >= 0)
    *error = posix_spawn_file_actions_adddup2(&actions, passFd, passFd);
  pid_t child = -1;
  if (*error == 0)
    *error = path != nullptr ? posix_spawn(&child, path, &actions, &attributes,
                                           argv, environ)
                             : posix_spawnp(&child, argv[0], &actions,
                                            &attributes, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return *error == 0 ? child : -1;
}

}  // namespace nq_tolvane
