/* Where the tests make their files: one directory per test program under $TMPDIR (else /tmp),
 * removed with all it holds when the process that made it leaves, whatever its cases left behind
 * (a case that failed part way included). Children forked from that process share it. */
#ifndef QX_SCRATCH_ROOT_H
#define QX_SCRATCH_ROOT_H

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

/* $TMPDIR, else /tmp. */
inline std::string qx_temp_base()
{
  const char *tmp = getenv("TMPDIR");
  return tmp && *tmp ? tmp : "/tmp";
}

/* Removes a tree, each directory of it made writable and searchable first (cases make read-only
 * directories). */
inline void qx_remove_tree(const std::string &path)
{
  namespace fs = std::filesystem;
  std::error_code e;
  fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, e);
  fs::recursive_directory_iterator it(path, e), end;
  for (; !e && it != end; it.increment(e))
    if (it->is_directory(e) && !it->is_symlink(e))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, e);
  fs::remove_all(path, e);
}

inline const std::string &qx_scratch_root()
{
  static const std::string root = [] {
    std::string pattern = qx_temp_base() + "/qx_tests_XXXXXX";
    if (!mkdtemp(pattern.data())) return qx_temp_base();
    /* searchable by all: a case that drops to another user reaches its own directory in it */
    chmod(pattern.c_str(), 0711);
    static pid_t owner;
    static char made[PATH_MAX];
    owner = getpid();
    std::strncpy(made, pattern.c_str(), sizeof made - 1);
    atexit([] {
      if (getpid() == owner) qx_remove_tree(made); /* not in a forked child that exits */
    });
    return pattern;
  }();
  return root;
}

/* A fresh directory <prefix>_XXXXXX in the scratch root: its path, or "" when none was made. */
inline std::string qx_scratch_mkdtemp(const std::string &prefix)
{
  std::string pattern = qx_scratch_root() + "/" + prefix + "_XXXXXX";
  return mkdtemp(pattern.data()) ? pattern : std::string();
}

#endif
