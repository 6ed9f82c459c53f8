// A piece of a test run as the user nobody, in a child process: what root
// is never refused (a folder it may not write, a device it may not open, a
// file it may not give away) is refused to nobody. Only root can become
// nobody; a test that needs this is skipped for anyone else.
#pragma once

#include <grp.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace chipferry::test {

constexpr uid_t kNobody = 65534;
constexpr gid_t kNoGroup = 65534;

/// What `body` returned, run as nobody (user and group 65534, no other
/// groups) in a child process; "" when the child could not tell.
inline std::string as_nobody(const std::function<std::string()>& body) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    close(pipe_fds[0]);
    std::string result = "cannot become nobody";
    if (setgroups(0, nullptr) == 0 && setgid(kNoGroup) == 0 && setuid(kNobody) == 0) {
      result = body();
    }
    const char* at = result.data();
    for (size_t left = result.size(); left > 0;) {
      const ssize_t n = write(pipe_fds[1], at, left);
      if (n <= 0) break;
      at += n;
      left -= static_cast<size_t>(n);
    }
    _exit(0);  // no test teardown, no leak report of the parent's objects
  }
  close(pipe_fds[1]);
  std::string result;
  char chunk[512];
  for (ssize_t n; (n = read(pipe_fds[0], chunk, sizeof chunk)) > 0;) {
    result.append(chunk, static_cast<size_t>(n));
  }
  close(pipe_fds[0]);
  int status = 0;
  if (child > 0) waitpid(child, &status, 0);
  return result;
}

}  // namespace chipferry::test
