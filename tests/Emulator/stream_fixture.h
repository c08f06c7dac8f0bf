/* An engine with the I/O library and the stream module started, the user streams over pipes
 * whose other ends the test holds, and a harness that calls a stream built-in's native function
 * with filled argument registers and reports the result, the bindings and the recorded error. */
#ifndef QX_STREAM_FIXTURE_H
#define QX_STREAM_FIXTURE_H

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <fstream>
#include <list>
#include <sstream>
#include <string>
#include <vector>

#include "gc.h"
#include "api_fixture.h"
#include "instance.h"
#include "modules.h"
#include "numbers.h"
#include "qxio/qxio_simple_device.h"
#include "streams.h"
#include "scratch_root.h"

/* What a call of a native left: its answer and, when it raised, the recorded error. */
struct bi_call {
  int rc = 0;
  bool raised = false;
  uint32_t code = 0;
  std::string message, culprit;
  int argument = 0;
  std::string predicate; /* Name/Arity of the goal in the error's context */
};

/* The other ends of the user streams' pipes. The hook is set before the engine starts, since
 * start-up opens the user streams; a null hook keeps the process's standard streams. */
struct user_stream_peers {
  explicit user_stream_peers(QX_stream *(*hook)(void *, int))
  {
    if (hook) QX_set_user_stream_hook(hook, this);
  }
  ~user_stream_peers()
  {
    QX_set_user_stream_hook(nullptr, nullptr);
    QX_set_user_stream_post_hook(nullptr, nullptr);
    for (int fd : peer)
      if (fd >= 0) close(fd);
  }
  int peer[3] = {-1, -1, -1};
};

class StreamTest : protected user_stream_peers, public ApiTest {
protected:
  /* standard_streams: the user streams are the process's standard streams (the default hook),
   * else pipes whose other ends the test holds. */
  explicit StreamTest(bool standard_streams = false)
      : user_stream_peers(standard_streams ? nullptr : pipe_hook)
  {}

public:
  /* A UTF-8 text node (or a binary one) over a descriptor on the thread-backed device. */
  static QX_stream *stream_over_fd(int fd, uint32_t direction, bool text = true, uint32_t extra = 0)
  {
    QXIO q = nullptr;
    uint32_t fd_options = (direction & QX_SC_INPUT ? QXIO_FD_READ : 0) |
                          (direction & QX_SC_OUTPUT ? QXIO_FD_WRITE : 0);
    if (qxio_layer_threaddevice_open_file_handle_unix(&q, fd, fd_options) < 0) return nullptr;
    return stream_over(q, direction, text, extra);
  }

  /* A UTF-8 text node (or a binary one) over the I/O-library stream q, which it takes over (or
   * closes when it fails). */
  static QX_stream *stream_over(QXIO q, uint32_t direction, bool text = true, uint32_t extra = 0)
  {
    if (text) {
      qxio_t_coder_funcs *utf8 = nullptr;
      qxio_char_coder_find(&utf8, "UTF-8", nullptr, 0);
      uint32_t push = (direction & QX_SC_INPUT ? 0x11 : 0) | (direction & QX_SC_OUTPUT ? 0x22 : 0);
      int rc = qxio_push_encoding(&q, direction & QX_SC_INPUT ? utf8 : nullptr,
                                  direction & QX_SC_OUTPUT ? utf8 : nullptr, push);
      qxio_coder_funcs_release(utf8);
      if (rc < 0) return qxio_close(&q, QXIO_CLOSE_ABORTIVE), nullptr;
    }
    QX_stream *s = nullptr;
    if (QX_create_qxio_stream(&q, &s, direction | (text ? QX_SC_TEXT : QX_SC_BINARY) | extra) < 0)
      return qxio_close(&q, QXIO_CLOSE_ABORTIVE), nullptr;
    return s;
  }

  /* An output stream over a device whose every write answers end of file. */
  static QX_stream *refusing_stream(bool text)
  {
    QXIO q = nullptr;
    if (qxio_create_device(&q, nullptr, "eof-device", nullptr, eof_write, nullptr, nullptr,
                           close_device, nullptr, nullptr, QXIO_DEVICE_BYTES) < 0)
      return nullptr;
    return stream_over(q, QX_SC_OUTPUT, text);
  }

protected:
  static qxio_t_error_code eof_write(void *, const void *, size_t *size, uint32_t)
  {
    *size = 0;
    return QXIO_E_END_OF_FILE;
  }
  static qxio_t_error_code close_device(void **, uint32_t) { return QXIO_S_NOERR; }

  /* user_input reads what the test writes to peer[0]; user_output and user_error write to
   * pipes the test reads at peer[1] and peer[2]. */
  static QX_stream *pipe_hook(void *data, int which)
  {
    user_stream_peers *t = (user_stream_peers *)data;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return nullptr;
    bool input = which == 0;
    t->peer[which] = input ? ends[1] : ends[0];
    return stream_over_fd(input ? ends[0] : ends[1], input ? QX_SC_INPUT : QX_SC_OUTPUT);
  }

  /* What the calls of write(stream) leave in a new file, byte for byte. */
  template <class Write>
  std::string file_output(Write write)
  {
    std::string path = qx_scratch_root() + "/qx_file_output_" + std::to_string(getpid());
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0);
    QX_stream *s = stream_over_fd(fd, QX_SC_OUTPUT);
    EXPECT_NE(s, nullptr);
    write(s);
    EXPECT_EQ(qx_fclose_internal(s, 0), 2);
    std::stringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    unlink(path.c_str());
    return text.str();
  }

  /* Defines a family's rows in module prolog. */
  static void install(const qx_pred_row *rows)
  {
    for (const qx_pred_row *r = rows; r->name; r++)
      qx_define_native(qx_eg.prolog_module, r->name, r->arity, r->function, r->retry, r->kind);
  }
  TAGGED at(const char *name) { return init_atom_check(name, 0); }
  TAGGED fresh() { return p.TestEngine::var(); }
  TAGGED term(QX_stream *s) { return make_integer(p.w, (int32_t)(intptr_t)s); }
  TAGGED num(int64_t v) { return make_int64(p.w, v); }

  /* An argument of call(): a term, and the caller's variable holding it when it was given one,
   * which the call updates when a collection moved the term. */
  struct arg {
    TAGGED value;
    TAGGED *home;
    arg(TAGGED &t) : value(t), home(&t) {}
    arg(const TAGGED &t) : value(t), home(nullptr) {}
  };

  /* Calls prolog:Name/Arity's native with args; errors recorded by the call are reported.
   * Collections may run inside the native: the arguments are roots meanwhile, and the caller's
   * variables named in the list (or the vector) follow their terms. */
  bi_call call(const char *name, std::initializer_list<arg> args)
  {
    std::vector<TAGGED> held;
    for (const arg &a : args) held.push_back(a.value);
    bi_call r = call(name, held);
    size_t i = 0;
    for (const arg &a : args) {
      if (a.home) *a.home = held[i];
      i++;
    }
    return r;
  }
  bi_call call(const char *name, std::vector<TAGGED> &args)
  {
    worker *w = p.w;
    definition *d =
        insert_definition(qx_eg.prolog_module, init_atom_check(name, 0), (uint32_t)args.size(), 0);
    EXPECT_TRUE(d && d->code.native) << name;
    qx_gc_root keep(args.data(), args.size());
    int i = 0;
    for (TAGGED a : args) w->term[i++] = a;
    node *before = w->node_;
    qx_eg.pending_error_code = 0;
    bi_call r;
    r.rc = d->code.native(w);
    if (w->node_ != before) {
      r.raised = true;
      r.code = qx_eg.pending_error_code;
      r.message = qx_eg.pending_error_message;
      r.argument = qx_eg.pending_error_arg;
      TAGGED functor = qx_eg.pending_error_functor;
      if (functor)
        r.predicate =
            std::string(atom_name(FunctorName(functor))) + "/" + std::to_string(Arity(functor));
      if (qx_eg.pending_error_culprit)
        r.culprit = TestProlog::show(qx_copy_from_instance(w, qx_eg.pending_error_culprit));
      while (w->node_ != before) qx_pop_node(w);
    }
    return r;
  }

  /* The terms of a table's rows (their args, or the field that `field` gives) as roots while it
   * lives (declared after the table), so that the rows still to come survive the collections of
   * the calls before. */
  struct rows_kept {
    std::list<qx_gc_root> roots;
    template <class Rows>
    explicit rows_kept(Rows &rows)
        : rows_kept(
              rows, [](auto &row) -> auto & { return row.args; })
    {}
    template <class Rows, class Field>
    rows_kept(Rows &rows, Field field)
    {
      for (auto &row : rows) add(field(row));
    }
    void add(TAGGED &t) { roots.emplace_back(&t); }
    void add(std::vector<TAGGED> &terms) { roots.emplace_back(terms.data(), terms.size()); }
  };

  /* Bytes available at fd now (the test's end of a pipe), after a flush. */
  static std::string drain(int fd)
  {
    std::string text;
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    char chunk[4096];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0) text.append(chunk, (size_t)n);
    fcntl(fd, F_SETFL, flags);
    return text;
  }

  /* Descriptors the process holds now. */
  static int open_fds()
  {
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (readdir(d)) n++;
    closedir(d);
    return n;
  }
};

/* State of a process's main thread from /proc: 'S' while it sleeps in a blocking wait. */
inline char thread_state(pid_t pid)
{
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  size_t paren = text.rfind(')');
  return paren != std::string::npos && paren + 2 < text.size() ? text[paren + 2] : '?';
}

/* Reads n bytes from fd, waiting up to 20 s for each (a guard against a hang only). */
inline bool await_bytes(int fd, void *to, size_t n)
{
  for (size_t done = 0; done < n;) {
    pollfd p{fd, POLLIN, 0};
    ssize_t got = poll(&p, 1, 20000) == 1 ? read(fd, (char *)to + done, n - done) : -1;
    if (got <= 0) return false;
    done += (size_t)got;
  }
  return true;
}

inline bool await_byte(int fd, char expected)
{
  char c = 0;
  return await_bytes(fd, &c, 1) && c == expected;
}

/* A forked child whose standard input reads the pipe `data` (the parent keeps the write end),
 * with a status pipe and a report pipe to the parent; body(status_fd) runs in the child and the
 * text it answers goes to the report pipe. In the parent: -1 pid when fork failed. */
struct reader_child {
  pid_t pid = -1;
  int data = -1, status = -1, report = -1; /* the parent's ends */
};
template <class Body>
reader_child fork_reader_child(Body body)
{
  int data[2], status[2], report[2];
  reader_child c;
  if (pipe(data) != 0 || pipe(status) != 0 || pipe(report) != 0) return c;
  std::fflush(stdout);
  c.pid = fork();
  if (c.pid == 0) {
    close(data[1]), close(status[0]), close(report[0]);
    dup2(data[0], 0);
    close(data[0]);
    std::string text = body(status[1]);
    _exit(write(report[1], text.data(), text.size()) == (ssize_t)text.size() ? 0 : 1);
  }
  close(data[0]), close(status[1]), close(report[1]);
  c.data = data[1], c.status = status[0], c.report = report[0];
  return c;
}

#endif
