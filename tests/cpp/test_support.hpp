#pragma once
// Helpers shared by the C++ tests.

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/fatal_error.hpp"

namespace glent::test_support {

// Runs `f` and returns the message of the FatalError it throws, or "<no fatal error>".
template <class F>
std::string fatal_message(F&& f) {
  try {
    std::forward<F>(f)();
  } catch (const FatalError& e) {
    return e.message();
  }
  return "<no fatal error>";
}

// What a forked child left: its exit code (-1 when it did not exit normally, as when it was
// killed for running past its time) and the bytes it wrote to its pipe.
struct ChildOutcome {
  int exit_code = -1;
  std::vector<char> bytes;
};

// Runs child(write_fd) in a forked process; its return value is the exit code. The parent
// keeps the time: a child still running after `limit` is killed. The child's own signal mask
// cannot stop that (an alarm in the child can be blocked, and a pool being created blocks
// signals), so a child that deadlocks ends the test instead of hanging it.
template <class F>
ChildOutcome run_forked(F child, std::chrono::seconds limit = std::chrono::seconds(120)) {
  ChildOutcome outcome;
  int fds[2];
  if (pipe(fds) != 0) return outcome;
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    int code = 2;
    try {
      code = child(fds[1]);
    } catch (...) {
    }
    close(fds[1]);
    _exit(code);
  }
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return outcome;
  }
  const auto deadline = std::chrono::steady_clock::now() + limit;
  const auto remaining_ms = [&] {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
  };
  bool timed_out = false;
  char buffer[65536];
  for (;;) {
    pollfd p{fds[0], POLLIN, 0};
    const int ready = poll(&p, 1, remaining_ms());
    if (ready == 0) {
      timed_out = true;
      break;
    }
    if (ready < 0) continue;  // interrupted
    const ssize_t got = read(fds[0], buffer, sizeof buffer);
    if (got <= 0) break;  // end of file: the child closed its end or is gone
    outcome.bytes.insert(outcome.bytes.end(), buffer, buffer + got);
  }
  close(fds[0]);
  int status = 0;
  while (!timed_out) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) return outcome;
    if (remaining_ms() == 0) {
      timed_out = true;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  if (timed_out) {
    kill(pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return outcome;
  }
  if (WIFEXITED(status)) outcome.exit_code = WEXITSTATUS(status);
  return outcome;
}

}  // namespace glent::test_support
