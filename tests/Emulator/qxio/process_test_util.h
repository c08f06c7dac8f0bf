// Helpers of the process, socket and asynchronous-layer tests: counts of the process's open
// descriptors and threads (taken before and after a case to catch leaks), whole reads and
// writes on descriptors, a temporary directory removed with its contents, and a TCP
// connection over the loopback address.
#ifndef QXIO_PROCESS_TEST_UTIL_H
#define QXIO_PROCESS_TEST_UTIL_H

#include <dirent.h>
#include <poll.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "qxio.h"
#include "scratch_root.h"

namespace qxio_test {

// Entries of a /proc directory, "." and ".." and the listing's own descriptor left out.
inline int count_proc_entries(const char *path)
{
  DIR *dir = opendir(path);
  if (dir == nullptr) return -1;
  int count = 0;
  while (struct dirent *entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    if (atoi(entry->d_name) == dirfd(dir) && strcmp(path, "/proc/self/fd") == 0) continue;
    count++;
  }
  closedir(dir);
  return count;
}

inline int open_descriptor_count() { return count_proc_entries("/proc/self/fd"); }

// Ids of the process's threads, ascending.
inline std::vector<long> thread_ids()
{
  std::vector<long> ids;
  if (DIR *dir = opendir("/proc/self/task")) {
    while (struct dirent *entry = readdir(dir))
      if (entry->d_name[0] != '.') ids.push_back(atol(entry->d_name));
    closedir(dir);
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

// The process's threads at one moment, by id. A case's threads are those running after it
// that were not running here: a count would also see a thread that an earlier case joined
// (a joined thread stays listed for a moment, longer under load) leave during this one.
struct thread_baseline {
  std::vector<long> ids = thread_ids();
};

// Threads running now that were not running at the baseline.
inline int threads_since(const thread_baseline &baseline)
{
  int count = 0;
  for (long id : thread_ids())
    if (!std::binary_search(baseline.ids.begin(), baseline.ids.end(), id)) count++;
  return count;
}

// threads_since(baseline) once it equals expected: a joined thread may linger in /proc for
// a moment, so this waits (boundedly, 10 s) for it to go.
inline int settled_threads_since(const thread_baseline &baseline, int expected = 0)
{
  int count = threads_since(baseline);
  for (int i = 0; i < 10000 && count != expected; i++) {
    usleep(1000);
    count = threads_since(baseline);
  }
  return count;
}

// Open descriptors and threads of the process at one moment.
struct resource_counts {
  int descriptors = open_descriptor_count();
  thread_baseline threads;
};

// Whether the descriptors are those of before and no thread started since is left (threads
// are waited for as settled_threads_since does).
inline bool counts_back_to(const resource_counts &before)
{
  int threads = settled_threads_since(before.threads);
  return open_descriptor_count() == before.descriptors && threads == 0;
}

// Everything readable from fd up to end of file (or an error).
inline std::string read_all(int fd)
{
  std::string text;
  char chunk[4096];
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(chunk, static_cast<size_t>(n));
  }
  return text;
}

inline bool write_all(int fd, const std::string &text)
{
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// A fresh directory of the scratch root, removed with its files when the object goes.
struct temp_dir {
  std::string path;
  temp_dir()
  {
    path = qx_scratch_mkdtemp("qxio-test");
  }
  ~temp_dir()
  {
    DIR *dir = opendir(path.c_str());
    if (dir != nullptr) {
      while (struct dirent *entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
          unlink((path + "/" + entry->d_name).c_str());
      }
      closedir(dir);
    }
    rmdir(path.c_str());
  }
  std::string file(const std::string &name) const { return path + "/" + name; }
};

// Both ends of a TCP connection over 127.0.0.1, made with the library's listen, connect and
// accept; the accept's report of the peer is kept. Ends still open (not -1) are closed at
// the end.
struct loopback_pair {
  int client = -1;
  int accepted = -1;
  std::string peer_host, peer_service;
  loopback_pair()
  {
    int listener = -1;
    char port[16] = "0";
    if (qxio_socket_listener(nullptr, port, sizeof port, &listener, QXIO_SOCKET_LOOPBACK) < 0)
      return;
    if (qxio_socket_connect("127.0.0.1", port, &client, 0) == 0) {
      struct pollfd ready = {listener, POLLIN, 0};
      char *host = nullptr, *service = nullptr;
      if (poll(&ready, 1, 10000) == 1 &&
          qxio_socket_accept(listener, &host, &service, &accepted, 0) == 0) {
        peer_host = host;
        peer_service = service;
      }
      qxio_free(host);
      qxio_free(service);
    }
    close(listener);
  }
  ~loopback_pair()
  {
    if (client >= 0) close(client);
    if (accepted >= 0) close(accepted);
  }
  bool ok() const { return client >= 0 && accepted >= 0; }
};

// Calls qxio_interrupt every 20 ms from a thread of its own for as long as it lives, so that
// a wait the main thread is about to begin is sure to be interrupted.
class interrupter {
public:
  interrupter()
      : thread_([this] {
          while (!done_) {
            qxio_interrupt();
            usleep(20000);
          }
        })
  {}
  ~interrupter()
  {
    done_ = true;
    thread_.join();
  }

private:
  std::atomic<bool> done_{false};
  std::thread thread_;
};

}  // namespace qxio_test

#endif
