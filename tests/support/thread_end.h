// A thread that may end inside what it runs, for the rows on a library that
// ends its thread (pthread_exit, cancellation). POSIX only.
#pragma once

#if !defined(_WIN32)
#include <pthread.h>

#include <functional>
#include <optional>

namespace dvtest {

// Runs f on a thread of its own and waits for that thread's end: true when f
// returned, false when the thread ended inside it; nothing when no thread
// could be started.
inline std::optional<bool> ReturnsOnItsOwnThread(const std::function<void()>& f) {
  struct Run {
    const std::function<void()>& f;
    bool returned;
  } run{f, false};
  pthread_t thread;
  const auto body = [](void* p) -> void* {
    Run& r = *static_cast<Run*>(p);
    r.f();
    r.returned = true;
    return nullptr;
  };
  if (pthread_create(&thread, nullptr, body, &run) != 0) return std::nullopt;
  pthread_join(thread, nullptr);
  return run.returned;
}

}  // namespace dvtest
#endif
