#pragma once
// Running a piece of a test in a forked process, for what depends on the
// process: the pool's size, read once per process, and the fork guard.

#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace peltaro::test {

// Runs `child` in a forked process and returns what it returned, or what it
// had written when it was stopped after `timeout_seconds` (a hang must fail
// the test, not stall it).
template <class F>
std::string in_child(F child, unsigned timeout_seconds = 120) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    alarm(timeout_seconds);
    const std::string out = child();
    if (write(fds[1], out.data(), out.size()) < 0) _exit(2);
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  char buf[512];
  for (ssize_t k; (k = read(fds[0], buf, sizeof buf)) > 0;) {
    out.append(buf, static_cast<std::size_t>(k));
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return out;
}

}  // namespace peltaro::test
