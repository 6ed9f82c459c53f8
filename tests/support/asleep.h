// Doing something to a call while it waits: a far end that answers only
// once the call under test sleeps in the kernel, so that the test shows
// the call waited for it rather than guessing how long that takes.
#pragma once

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

namespace chipferry::test {

/// True while the thread `tid` of this process sleeps in a system call.
inline bool asleep(pid_t tid) {
  std::string stat;
  std::getline(std::ifstream("/proc/self/task/" + std::to_string(tid) + "/stat"), stat);
  const size_t name_end = stat.rfind(')');
  return name_end != std::string::npos && stat.compare(name_end, 3, ") S") == 0;
}

/// Runs `call` on this thread and, once the thread sleeps in it (it waits
/// on a descriptor), `meanwhile` on another, unless the call is back
/// first; `returned` tells that one when the call is back.
template <typename Call>
auto once_it_waits(Call call,
                   const std::function<void(const std::atomic<bool>& returned)>& meanwhile) {
  const pid_t me = gettid();
  std::atomic<bool> returned{false};
  std::thread other([&] {
    while (!returned && !asleep(me)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!returned) meanwhile(returned);
  });
  const auto result = call();
  returned = true;
  other.join();
  return result;
}

}  // namespace chipferry::test
