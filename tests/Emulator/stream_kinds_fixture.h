/* Support of the tests of pipes, select and the development link: the built-in families they
 * install, and a watchdog.
 *
 * The watchdog ends the test program when a test hangs: a thread that aborts with a message unless it is
 * dismissed (destroyed) within its limit. It only bounds a wait that might never end; no test
 * outcome depends on how long anything took. */
#ifndef QX_STREAM_KINDS_FIXTURE_H
#define QX_STREAM_KINDS_FIXTURE_H

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "builtins.h"
#include "instance.h"
#include "modules.h"

class Watchdog {
public:
  explicit Watchdog(const char *what, int seconds = 60)
      : thread_([this, what, seconds] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (!done_cv_.wait_for(lock, std::chrono::seconds(seconds), [this] { return done_; })) {
            std::fprintf(stderr, "watchdog: %s did not return\n", what);
            std::abort();
          }
        })
  {}
  ~Watchdog()
  {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    done_cv_.notify_all();
    thread_.join();
  }

private:
  std::mutex mutex_;
  std::condition_variable done_cv_;
  bool done_ = false;
  std::thread thread_;
};

#endif
