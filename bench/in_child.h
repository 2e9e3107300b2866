// Measuring in a forked child: a handset runs once per process, so a benchmark that builds and
// runs handsets does it in a child and takes the time the child measured.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

namespace bench {

// Runs `body` (returning the seconds it measured) in a forked child and returns that figure; 0
// when the child could not be started or reported nothing.
template <class Body>
double InChild(Body body) {
  int fds[2];
  if (pipe(fds) != 0) return 0;
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return 0;
  }
  if (pid == 0) {
    close(fds[0]);
    const double seconds = body();
    [[maybe_unused]] ssize_t n = write(fds[1], &seconds, sizeof seconds);
    _exit(0);
  }
  close(fds[1]);
  double seconds = 0;
  if (read(fds[0], &seconds, sizeof seconds) != sizeof seconds) seconds = 0;
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  return seconds;
}

}  // namespace bench
