/* Child processes: creation with chosen standard streams, directory and environment, waiting
   without reaping, signals, and the reaping of children that nobody waits for. A process is
   named by its process identifier. */
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "qxio_internal.h"
#include "qxio_process_internal.h"

extern char **environ;

qxio_t_child_close_method qxio_child_close_method = QXIO_CHILD_CLOSE_RANGE;

namespace {

/* ---- remembered children ---- */

/* Children released while still running; used from the engine thread only. */
pid_t *unreaped = nullptr;
size_t unreaped_count = 0;

qxio_t_error_code remember_child(pid_t pid)
{
  pid_t *grown = static_cast<pid_t *>(qxio_realloc(unreaped, (unreaped_count + 1) * sizeof(pid_t)));
  if (grown == nullptr) return QXIO_E_OUT_OF_MEMORY;
  unreaped = grown;
  unreaped[unreaped_count++] = pid;
  return QXIO_S_NOERR;
}

qxio_t_error_code map_wait_error(int error)
{
  switch (error) {
  case ECHILD: return QXIO_E_NOT_FOUND;
  case EINVAL: return QXIO_E_IMPOSSIBLE_ERROR;
  case EOPNOTSUPP: return QXIO_E_NOT_SUPPORTED;
  default: return qxio_map_unix_error(error, QXIO_E_OS_ERROR);
  }
}

/* waitid on one child, repeated when a signal interrupts it unless the caller wants to
   know: 1 when the child reported a state change, 0 when not (WNOHANG), or an error. */
qxio_t_error_code wait_child(pid_t pid, int flags, bool interruptible, siginfo_t *info)
{
  for (;;) {
    memset(info, 0, sizeof *info);
    if (waitid(P_PID, static_cast<id_t>(pid), info, flags) == 0) break;
    if (errno != EINTR) return map_wait_error(errno);
    if (interruptible) return QXIO_E_INTERRUPTED;
  }
  return info->si_pid != 0 ? 1 : 0;
}

/* Reaps the child if it has ended: 1 reaped, 0 still running, or an error. */
qxio_t_error_code try_reap(pid_t pid)
{
  siginfo_t info;
  return wait_child(pid, WEXITED | WNOHANG, false, &info);
}

/* One non-blocking attempt on every remembered child; those gone leave the list. */
void reap_remembered(void)
{
  size_t kept = 0;
  for (size_t i = 0; i < unreaped_count; i++) {
    /* a child that is no longer ours (an error) is dropped as well */
    if (try_reap(unreaped[i]) == 0) unreaped[kept++] = unreaped[i];
  }
  unreaped_count = kept;
  if (unreaped_count == 0) {
    qxio_free(unreaped);
    unreaped = nullptr;
  }
}

/* ---- the child's argument vector and environment ---- */

const uint32_t STREAM_KIND_BITS = 0x7;
const uint32_t KIND_INHERIT = 0x1, KIND_NULL = 0x2, KIND_PIPE = 0x4;

/* Everything the child needs, prepared before fork so that the child only calls
   async-signal-safe functions. */
struct child_plan {
  char **argv; /* null-terminated; every entry allocated */
  size_t argc;
  char **envp; /* a key=value block, or null to inherit the process environment */
  const char *directory;
  int child_fd[3];  /* what becomes 0, 1 and 2 in the child */
  int parent_fd[3]; /* the parent's pipe ends, -1 when none */
  uint32_t options;
};

void free_argv(child_plan *plan)
{
  if (plan->argv == nullptr) return;
  for (size_t i = 0; i < plan->argc; i++) qxio_free(plan->argv[i]);
  qxio_free(plan->argv);
  plan->argv = nullptr;
}

/* Appends an allocated text to the vector (which has room). */
qxio_t_error_code push_arg_copy(child_plan *plan, const char *text)
{
  char *copy = qxio_alloc_string(text);
  if (copy == nullptr) return QXIO_E_OUT_OF_MEMORY;
  plan->argv[plan->argc++] = copy;
  plan->argv[plan->argc] = nullptr;
  return QXIO_S_NOERR;
}

/* One argument: the concatenation of the "string" and "file" values of its properties. */
qxio_t_error_code join_argument(const qxio_t_property *parts, char **text_out)
{
  qxio_t_buf text;
  qxio_buf_init_buf(&text);
  qxio_t_error_code rc = QXIO_S_NOERR;
  for (const qxio_t_property *part = parts; part->key != nullptr && rc >= 0; part++) {
    bool known_key = strcmp(part->key, "string") == 0 || strcmp(part->key, "file") == 0;
    bool is_text = (part->v.flags & QXIO_VARIANT_TYPE_MASK) == QXIO_VARIANT_STRING &&
                   part->v.u.string != nullptr;
    if (!known_key || !is_text) {
      rc = QXIO_E_PARAMETER_ERROR;
    } else {
      rc = qxio_buf_concat_string(&text, part->v.u.string);
    }
  }
  if (rc >= 0) rc = qxio_buf_push(&text, '\0');
  if (rc < 0) {
    qxio_buf_free(&text);
    return rc;
  }
  size_t size;
  rc = qxio_buf_get_buf(&text, reinterpret_cast<unsigned char **>(text_out), &size);
  qxio_buf_free(&text);
  return rc;
}

/* The vector: the program (or the shell, "-c" and the command), then the arguments. */
qxio_t_error_code build_argv(child_plan *plan, const char *program,
                             const qxio_t_property *const *arguments)
{
  size_t nargs = 0;
  while (arguments != nullptr && arguments[nargs] != nullptr) nargs++;
  plan->argv = static_cast<char **>(qxio_alloc((nargs + 4) * sizeof(char *)));
  if (plan->argv == nullptr) return QXIO_E_OUT_OF_MEMORY;
  plan->argc = 0;
  plan->argv[0] = nullptr;
  qxio_t_error_code rc;
  if (plan->options & QXIO_PROCESS_SHELL) {
    char *shell = qxio_get_system_property_allocate("SHELL", 0);
    rc = push_arg_copy(plan, shell != nullptr ? shell : "/bin/sh");
    qxio_free(shell);
    if (rc >= 0) rc = push_arg_copy(plan, "-c");
    if (rc >= 0) rc = push_arg_copy(plan, program);
  } else {
    rc = push_arg_copy(plan, program);
  }
  for (size_t i = 0; i < nargs && rc >= 0; i++) {
    rc = join_argument(arguments[i], &plan->argv[plan->argc]);
    if (rc >= 0) plan->argv[++plan->argc] = nullptr;
  }
  return rc;
}

/* The child's environment: the list merged over the library's environment copy (or over
   nothing), sorted by key, each entry written key=value. */
qxio_t_error_code build_envp(child_plan *plan, const char *const *environment)
{
  if (!(plan->options & QXIO_PROCESS_ENVIRONMENT)) return QXIO_S_NOERR;
  bool has_list = environment != nullptr && environment[0] != nullptr;
  if (!has_list && (plan->options & QXIO_PROCESS_EMPTY_BASE)) return QXIO_E_PARAMETER_ERROR;
  char *empty[] = {nullptr};
  char **base = empty;
  size_t base_size = sizeof empty;
  qxio_t_error_code rc;
  if (!(plan->options & QXIO_PROCESS_EMPTY_BASE)) {
    rc = qxio_unix_get_environ(&base, &base_size, 0x1);
    if (rc < 0) return rc;
  }
  if (has_list) {
    char **list;
    size_t list_size;
    uint32_t make_options = (plan->options & QXIO_PROCESS_ENV_KEY_EQUALS_VALUE) ? 0x1 : 0;
    rc = qxio_make_compact_env(environment, &list, &list_size, make_options);
    if (rc < 0) return rc;
    rc = qxio_merge_compact_envs(list, list_size, base, base_size, &plan->envp, nullptr, 0);
    qxio_free(list);
  } else {
    /* a copy of the base in its own order */
    rc = qxio_merge_compact_envs(base, base_size, empty, sizeof empty, &plan->envp, nullptr, 0x4);
  }
  if (rc < 0) return rc;
  for (char **entry = plan->envp; *entry != nullptr; entry++) (*entry)[strlen(*entry)] = '=';
  return QXIO_S_NOERR;
}

/* ---- the child's standard streams ---- */

void close_if_open(int *fd)
{
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

void close_stdio(child_plan *plan)
{
  for (int i = 0; i < 3; i++) {
    close_if_open(&plan->child_fd[i]);
    close_if_open(&plan->parent_fd[i]);
  }
}

/* Prepares what becomes descriptor `which` (0, 1 or 2) of the child. Every descriptor made
   here is 3 or above: the child's moves to 0 to 2 then overwrite none of them, and a pipe end
   handed to the caller never takes the number of a standard stream that is closed. */
qxio_t_error_code prepare_stream(child_plan *plan, int which)
{
  uint32_t kind = (plan->options >> (3 * which)) & STREAM_KIND_BITS;
  int *child = &plan->child_fd[which];
  if (kind == 0) return QXIO_E_INTERNAL_ERROR;
  if (kind == KIND_INHERIT) {
    *child = fcntl(which, F_DUPFD_CLOEXEC, 3);
  } else if (kind == KIND_NULL) {
    do {
      *child = open("/dev/null", (which == 0 ? O_RDONLY : O_WRONLY) | O_CLOEXEC);
    } while (*child < 0 && errno == EINTR);
    *child = qxio_fd_move_above_std(*child);
  } else if (kind == KIND_PIPE) {
    int ends[2];
    if (qxio_pipe_above_std(ends, O_CLOEXEC) != 0)
      return qxio_map_unix_error(errno, QXIO_E_OS_ERROR);
    /* the child reads its input from the pipe and writes its output into it */
    *child = which == 0 ? ends[0] : ends[1];
    plan->parent_fd[which] = which == 0 ? ends[1] : ends[0];
  } else {
    return QXIO_E_PARAMETER_ERROR; /* more than one kind for the same stream */
  }
  return *child < 0 ? qxio_map_unix_error(errno, QXIO_E_OS_ERROR) : QXIO_S_NOERR;
}

/* ---- in the child, between fork and exec: async-signal-safe calls only ---- */

struct linux_dirent64 {
  uint64_t d_ino;
  int64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[1];
};

/* The descriptor number an entry of /proc/self/fd names, or -1 for ".", ".." and anything
   that is not wholly decimal. */
int entry_descriptor(const char *name)
{
  if (name[0] == '\0' || name[0] == '.') return -1;
  int fd = 0;
  for (const char *p = name; *p != '\0'; p++) {
    if (*p < '0' || *p > '9' || fd > (INT32_MAX - 9) / 10) return -1;
    fd = fd * 10 + (*p - '0');
  }
  return fd;
}

/* Closes every descriptor from 3 up listed in /proc/self/fd, through the raw getdents64
   call (no allocation, no locks). Passes repeat until one closes nothing, so that entries
   shifted by the closing are not missed. A list that cannot be opened closes nothing. */
void close_listed_descriptors(void)
{
  int dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return;
  alignas(8) char entries[2048];
  for (int pass = 0; pass < 16; pass++) {
    bool closed_any = false;
    if (lseek(dir, 0, SEEK_SET) != 0) break;
    long n;
    while ((n = syscall(SYS_getdents64, dir, entries, sizeof entries)) > 0) {
      for (long at = 0; at < n;) {
        const linux_dirent64 *entry = reinterpret_cast<const linux_dirent64 *>(entries + at);
        at += entry->d_reclen;
        int fd = entry_descriptor(entry->d_name);
        if (fd >= 3 && fd != dir && close(fd) == 0) closed_any = true;
      }
    }
    if (!closed_any) break;
  }
  close(dir);
}

void close_inherited_descriptors(void)
{
#ifdef SYS_close_range
  if (qxio_child_close_method == QXIO_CHILD_CLOSE_RANGE &&
      syscall(SYS_close_range, 3u, ~0u, 0u) == 0)
    return;
#endif
  close_listed_descriptors();
}

[[noreturn]] void run_child(child_plan *plan)
{
  if ((plan->options & QXIO_PROCESS_NEW_SESSION) && setsid() < 0) _exit(1);
  /* every prepared descriptor is 3 or above, so none is overwritten here */
  for (int i = 0; i < 3; i++) {
    while (dup2(plan->child_fd[i], i) < 0) {
      if (errno != EINTR) _exit(1);
    }
  }
  close_inherited_descriptors();
  if (plan->directory != nullptr && plan->directory[0] != '\0' && chdir(plan->directory) != 0)
    _exit(1);
  execve(plan->argv[0], plan->argv, plan->envp != nullptr ? plan->envp : environ);
  _exit(1);
}

/* ---- waiting ---- */

/* Fills the status from a state change reported by waitid. */
qxio_t_error_code status_from_info(const siginfo_t *info, qxio_t_process_exit_status *status)
{
  qxio_t_process_exit_status result = {0, 0};
  switch (info->si_code) {
  case CLD_EXITED: result = {QXIO_PROCESS_EXITED, info->si_status}; break;
  case CLD_KILLED: result = {QXIO_PROCESS_KILLED, info->si_status}; break;
  case CLD_DUMPED:
    result = {QXIO_PROCESS_KILLED | QXIO_PROCESS_CORE_DUMPED, info->si_status};
    break;
  case CLD_STOPPED: result = {QXIO_PROCESS_STOPPED, info->si_status}; break;
  case CLD_CONTINUED: result = {QXIO_PROCESS_CONTINUED, 0}; break;
  case CLD_TRAPPED: result = {QXIO_PROCESS_TRAPPED, 0}; break;
  default: return QXIO_E_IMPOSSIBLE_ERROR;
  }
  if (status != nullptr) *status = result;
  return QXIO_S_NOERR;
}

/* Asks for any state change of the child, without blocking or blocking; without the reap
   option the child stays waitable. */
qxio_t_error_code wait_state(pid_t pid, bool block, uint32_t options, siginfo_t *info)
{
  int flags = WEXITED | WSTOPPED | WCONTINUED;
  if (!block) flags |= WNOHANG;
  if (!(options & QXIO_PROCESS_WAIT_REAP)) flags |= WNOWAIT;
  return wait_child(pid, flags, (options & QXIO_PROCESS_WAIT_INTERRUPTIBLE) != 0, info);
}

}  // namespace

size_t qxio_process_unreaped_count(void) { return unreaped_count; }

/* The child's standard streams, vector and environment are prepared before fork; the
   child then only moves descriptors, changes directory and executes. */
qxio_t_error_code qxio_process_create(const char *program, const qxio_t_property *const *arguments,
                                      const char *directory, const char *const *environment,
                                      int *stdin_out, int *stdout_out, int *stderr_out,
                                      qxio_t_process *process_out, uint32_t options)
{
  if (program == nullptr) return QXIO_E_PARAMETER_ERROR;
  child_plan plan = {nullptr, 0, nullptr, directory, {-1, -1, -1}, {-1, -1, -1}, options};
  qxio_t_error_code rc = build_envp(&plan, environment);
  if (rc >= 0) rc = build_argv(&plan, program, arguments);
  for (int i = 0; i < 3 && rc >= 0; i++) rc = prepare_stream(&plan, i);
  pid_t pid = -1;
  if (rc >= 0) {
    pid = fork();
    if (pid == 0) run_child(&plan);
    if (pid < 0) rc = qxio_map_unix_error(errno, QXIO_E_OS_ERROR);
  }
  if (rc >= 0) {
    int *outs[3] = {stdin_out, stdout_out, stderr_out};
    for (int i = 0; i < 3; i++) {
      if (outs[i] != nullptr) {
        *outs[i] = plan.parent_fd[i];
        plan.parent_fd[i] = -1;
      }
    }
    if (process_out != nullptr)
      *process_out = pid;
    else
      qxio_process_release(pid, QXIO_PROCESS_RELEASE_REMEMBER);
  }
  close_stdio(&plan);
  free_argv(&plan);
  qxio_free(plan.envp);
  return rc < 0 ? rc : QXIO_S_NOERR;
}

qxio_t_error_code qxio_process_wait(qxio_t_process process, const qxio_t_timespec *timeout,
                                    qxio_t_process_exit_status *status_out, uint32_t options)
{
  if (!(options & QXIO_PROCESS_WAIT_KEEP_OTHERS)) reap_remembered();
  if (process < 1) return QXIO_E_PARAMETER_ERROR;
  if (timeout != nullptr) {
    /* a zero time-out only asks; waiting for a limited time is not offered */
    if (timeout->sec != 0 || timeout->nsec != 0) return QXIO_E_NOT_SUPPORTED;
    options |= QXIO_PROCESS_WAIT_NONBLOCKING;
  }
  siginfo_t info;
  qxio_t_error_code rc = wait_state(process, false, options, &info);
  if (rc == 0) {
    if (options & QXIO_PROCESS_WAIT_NONBLOCKING) return QXIO_E_WOULD_BLOCK;
    rc = wait_state(process, true, options, &info);
  }
  if (rc < 0) return rc;
  return status_from_info(&info, status_out);
}

qxio_t_error_code qxio_process_release(qxio_t_process process, uint32_t options)
{
  if (options & QXIO_PROCESS_RELEASE_NOTHING) return QXIO_S_NOERR;
  if (process < 1) return QXIO_E_PARAMETER_ERROR;
  qxio_t_error_code rc = try_reap(process);
  if (rc != 0) return rc < 0 ? rc : QXIO_S_NOERR;
  if (!(options & QXIO_PROCESS_RELEASE_REMEMBER)) return QXIO_E_WOULD_BLOCK;
  return remember_child(process);
}

qxio_t_error_code qxio_process_kill(qxio_t_process process, int signal, uint32_t options)
{
  if (process < 1) return QXIO_E_PARAMETER_ERROR;
  if (kill(process, signal) == 0) return QXIO_S_NOERR;
  switch (errno) {
  case ESRCH: return QXIO_E_NOT_FOUND;
  case EINVAL: return QXIO_E_PARAMETER_ERROR;
  case EPERM: return QXIO_E_PERMISSION_ERROR;
  default: return qxio_map_unix_error(errno, QXIO_E_OS_ERROR);
  }
}

qxio_t_error_code qxio_process_from_id(int64_t id, qxio_t_process *process_out)
{
  if (id < 1 || id > INT32_MAX || process_out == nullptr) return QXIO_E_PARAMETER_ERROR;
  *process_out = static_cast<qxio_t_process>(id);
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_process_id(qxio_t_process process, int64_t *id_out)
{
  if (process < 1 || id_out == nullptr) return QXIO_E_PARAMETER_ERROR;
  *id_out = process;
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_process_self_id(int64_t *id_out)
{
  if (id_out == nullptr) return QXIO_E_PARAMETER_ERROR;
  *id_out = getpid();
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_init_process(uint32_t deinit)
{
  if (deinit) {
    qxio_t_error_code rc = qxio_init_environment(1);
    reap_remembered();
    /* children still running are forgotten */
    qxio_free(unreaped);
    unreaped = nullptr;
    unreaped_count = 0;
    return rc;
  }
  qxio_free(unreaped);
  unreaped = nullptr;
  unreaped_count = 0;
  return qxio_init_environment(0);
}
