/* The library's diagnostics: level-gated trace lines, assertion reports, a debugger break and
   the main-thread test. Everything goes to one trace stream, chosen on first use. */
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>

#include "qxio_internal.h"

namespace {

enum { ASSERT_DISABLE = 0, ASSERT_REPORT = 1, ASSERT_DEBUG = 2, ASSERT_ABORT = 3 };

std::atomic<int> trace_level{2};
std::atomic<int> assertion_level{ASSERT_DEBUG};

/* The main thread: recorded at module start, or by the first caller that asks. */
pthread_mutex_t main_thread_lock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<bool> main_thread_known{false};
pthread_t main_thread;

pthread_once_t trace_stream_once = PTHREAD_ONCE_INIT;
FILE *trace_stream_file;

/* The trace file, opened "w+" (created or emptied) on a descriptor clear of the standard
   streams' numbers; null when it does not open. */
FILE *open_trace_file(const char *name)
{
  int fd;
  do {
    fd = open(name, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  fd = qxio_fd_move_above_std(fd);
  if (fd < 0) return nullptr;
  FILE *file = fdopen(fd, "w+");
  if (file == nullptr) close(fd);
  return file;
}

/* QXIO_TRACE_FILE names a file opened "w+"; without it, or when it does not open, the
   standard output when QXIO_TRACE_FD is 1, else the standard error. */
void choose_trace_stream(void)
{
  const char *name = getenv("QXIO_TRACE_FILE");
  if (name != nullptr)
    fprintf(stderr, "QXIO_TRACE_FILE == %s%s%s\n", "\"", name, "\"");
  else
    fprintf(stderr, "QXIO_TRACE_FILE == %s%s%s\n", "", "NULL", "");
  fflush(stderr);
  FILE *file = name != nullptr ? open_trace_file(name) : nullptr;
  if (file == nullptr) {
    const char *fd_text = getenv("QXIO_TRACE_FD");
    char *end = nullptr;
    long fd = fd_text != nullptr ? strtol(fd_text, &end, 0) : -1;
    bool parsed = fd_text != nullptr && end != fd_text && *end == '\0';
    file = parsed && fd == 1 ? stdout : stderr;
  }
  trace_stream_file = file;
}

FILE *trace_stream(void)
{
  pthread_once(&trace_stream_once, choose_trace_stream);
  return trace_stream_file;
}

/* Writers hold the stream's lock with cancellation forbidden, so that lines of different
   threads never interleave and a cancelled thread never leaves the lock held. */
struct trace_writer {
  FILE *file;
  int old_cancel_state;
  trace_writer() : file(trace_stream())
  {
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old_cancel_state);
    flockfile(file);
  }
  ~trace_writer()
  {
    fflush(file);
    funlockfile(file);
    pthread_setcancelstate(old_cancel_state, nullptr);
  }
};

long thread_identity(void) { return static_cast<long>(pthread_self()); }

const char *or_empty(const char *text) { return text != nullptr ? text : ""; }

const char *function_suffix(const char *function) { return function != nullptr ? "() " : ""; }

void write_line(const char *function, const char *file, int line, const char *message, long value,
                const char *text)
{
  trace_writer writer;
  fprintf(writer.file, "\n%s:%d %s%s%ld@%ld QXIO %s (%ld) %s\n", or_empty(file), line,
          or_empty(function), function_suffix(function), thread_identity(),
          static_cast<long>(getpid()), or_empty(message), value, or_empty(text));
}

/* Parses a whole base-10 number; a text that does not parse keeps the default. */
int parse_level(const char *text, int default_level)
{
  if (text == nullptr) return default_level;
  char *end = nullptr;
  long level = strtol(text, &end, 10);
  if (end == text || *end != '\0') return default_level;
  return static_cast<int>(level);
}

int parse_assertion_level(const char *text, int default_level)
{
  static const char *const names[] = {"disable", "report", "debug", "abort"};
  if (text == nullptr) return default_level;
  for (int level = 0; level < 4; level++) {
    if (strcmp(text, names[level]) == 0) return level;
  }
  return default_level;
}

}  // namespace

void qxio_trace_line(const char *function, const char *file, int line, const char *message,
                     long value, const char *text, int level)
{
  if (level < trace_level.load(std::memory_order_relaxed)) return;
  write_line(function, file, line, message, value, text);
}

void qxio_trace_line_pointer(const char *function, const char *file, int line, const char *message,
                             const void *value, const char *text, int level)
{
  if (level < trace_level.load(std::memory_order_relaxed)) return;
  trace_writer writer;
  fprintf(writer.file, "\n%s:%d %s%s%ld@%ld QXIO %s (0x%lx) %s\n", or_empty(file), line,
          or_empty(function), function_suffix(function), thread_identity(),
          static_cast<long>(getpid()), or_empty(message),
          static_cast<unsigned long>(reinterpret_cast<uintptr_t>(value)), or_empty(text));
}

void qxio_trace_line_2(const char *function, const char *file, int line, const char *message,
                       long value1, long value2, const char *text, int level)
{
  if (level < trace_level.load(std::memory_order_relaxed)) return;
  trace_writer writer;
  fprintf(writer.file, "\n%s:%d %s%s %ld@%ld QXIO %s (%ld) (%ld) %s\n", or_empty(file), line,
          or_empty(function), function_suffix(function), thread_identity(),
          static_cast<long>(getpid()), or_empty(message), value1, value2, or_empty(text));
}

int qxio_assert_failure(const char *function, const char *file, int line)
{
  int level = assertion_level.load(std::memory_order_relaxed);
  if (level == ASSERT_DISABLE) return 0;
  write_line(function, file, line, "ASSERTION ERROR!", 0, nullptr);
  if (level == ASSERT_ABORT) abort();
  return 0;
}

void qxio_debug_break(const char *file, int line)
{
  static const char hashes[] = "################################################\n";
  {
    trace_writer writer;
    fprintf(writer.file, "\n\n%s%s##\n##\n## %s:%d Debug Break\n##\n##\n", hashes, hashes,
            or_empty(file), line);
    fprintf(writer.file, "## Waiting for debugger attach...(attach %ld in gdb)\n##\n",
            static_cast<long>(getpid()));
    fprintf(writer.file, "## Waiting in tight loop (expect 100%% CPU)\n##\n%s%s", hashes, hashes);
  }
  /* a volatile read in each round keeps the spin a defined, observable loop */
  static volatile int spin_word = 0;
  for (;;) (void)spin_word;
}

qxio_t_error_code qxio_debug_dump_backtrace(const char *text, uint32_t options)
{
  FILE *file = (options & 1) ? stdout : (options & 2) ? stderr : trace_stream();
  (void)file;
  return QXIO_S_NOERR;
}

int qxio_is_in_main_thread(void)
{
  pthread_t self = pthread_self();
  if (!main_thread_known.load(std::memory_order_acquire)) {
    pthread_mutex_lock(&main_thread_lock);
    if (!main_thread_known.load(std::memory_order_relaxed)) {
      main_thread = self;
      main_thread_known.store(true, std::memory_order_release);
    }
    pthread_mutex_unlock(&main_thread_lock);
  }
  return pthread_equal(self, main_thread) ? 1 : 0;
}

qxio_t_error_code qxio_init_debug(uint32_t options)
{
  pthread_mutex_lock(&main_thread_lock);
  if (options & 1) {
    main_thread_known.store(false, std::memory_order_release);
  } else {
    trace_level.store(parse_level(getenv("QXIO_TRACE_LEVEL"), 2), std::memory_order_relaxed);
    assertion_level.store(parse_assertion_level(getenv("QXIO_ASSERTION_LEVEL"), ASSERT_DEBUG),
                          std::memory_order_relaxed);
    main_thread = pthread_self();
    main_thread_known.store(true, std::memory_order_release);
  }
  pthread_mutex_unlock(&main_thread_lock);
  return QXIO_S_NOERR;
}
