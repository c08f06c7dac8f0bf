// Helpers of the file, directory and thread-backed device tests: a temporary tree removed with
// everything below it, whole-file reads and writes, and the library started with the
// thread-backed device class registered.
#ifndef QXIO_FS_TEST_UTIL_H
#define QXIO_FS_TEST_UTIL_H

#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "process_test_util.h"
#include "qxio.h"

namespace qxio_test {

// A temporary directory whose subdirectories go with it.
struct temp_tree : temp_dir {
  ~temp_tree()
  {
    std::error_code ignored;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    for (const auto &entry : std::filesystem::directory_iterator(path, ignored)) {
      std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ignored);
      std::filesystem::remove_all(entry.path(), ignored);
    }
  }
};

inline bool write_file(const std::string &path, const std::string &content, mode_t mode = 0644)
{
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  bool ok = write_all(fd, content);
  close(fd);
  return ok;
}

inline std::string read_file(const std::string &path)
{
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "<unreadable>";
  std::string content = read_all(fd);
  close(fd);
  return content;
}

// 2040-01-01T00:00:00Z, past the end of a signed 32-bit count of seconds (2038-01-19).
const int64_t kYear2040 = 2208988800;

// Dates a file or directory: accessed at kYear2040, modified a day later.
inline bool date_in_2040(const std::string &path)
{
  const struct timespec times[2] = {{kYear2040, 0}, {kYear2040 + 86400, 0}};
  return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

// A pseudo-terminal: its master end and its slave end (a terminal); false when none.
inline bool open_pty(int *master, int *slave)
{
  *master = posix_openpt(O_RDWR | O_NOCTTY);
  if (*master < 0) return false;
  if (grantpt(*master) != 0 || unlockpt(*master) != 0) return false;
  *slave = open(ptsname(*master), O_RDWR | O_NOCTTY | O_CLOEXEC);
  return *slave >= 0;
}

// Runs a shell command line; answers its exit status (-1 when it did not exit).
inline int shell(const std::string &line)
{
  int status = system(line.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Whether strace can inject faults here (it needs ptrace, which a sandbox may forbid).
inline bool strace_injection_works(const temp_tree &tree)
{
  std::string probe = tree.file("probe");
  if (!write_file(probe, "probe")) return false;
  std::string line = "strace -f -qq -o " + tree.file("probe.log") + " -P " + probe +
                     " -e trace=read -e inject=read:error=EINTR:when=1 cat " + probe +
                     " > /dev/null 2>&1";
  shell(line);
  return read_file(tree.file("probe.log")).find("INJECTED") != std::string::npos;
}

// How many system calls a strace log shows as tampered with.
inline size_t injected_count(const std::string &log)
{
  size_t count = 0;
  for (size_t at = log.find("INJECTED"); at != std::string::npos; at = log.find("INJECTED", at + 1))
    count++;
  return count;
}

// The library for a test: started, with the thread-backed device class registered (by the
// start itself, or here when the start does not do it yet); shut down at the end.
class library {
public:
  library()
  {
    EXPECT_EQ(qxio_init(nullptr, nullptr, 0), 0);
    if (qxio_find_layer("threaddevice", nullptr, 0) < 0) {
      EXPECT_EQ(qxio_init_layer_threaddevice(0), 0);
      registered_here_ = true;
    }
  }
  ~library()
  {
    if (registered_here_) qxio_init_layer_threaddevice(1);
    EXPECT_EQ(qxio_init(nullptr, nullptr, QXIO_INIT_SHUTDOWN), 0);
  }

private:
  bool registered_here_ = false;
};

}  // namespace qxio_test

#endif
