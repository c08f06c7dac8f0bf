/* Child process built-ins: start a program with arguments, environment, working directory and
 * standard streams, wait for it, signal it, ask its id and release it. The process work is the
 * I/O library's; these natives decode the Prolog arguments and report the library's error code
 * in a Result argument instead of raising (0 on success, -10004 for a malformed argument).
 *
 * A started process is an external object of the process type, whose finaliser releases the
 * child when the term has become garbage; every built-in also takes a plain process id. */
#include "bi_process.h"

#include <unistd.h>

#include <cstring>

#include "api_internal.h"
#include "atoms.h"
#include "builtins.h"
#include "gc.h"
#include "numbers.h"
#include "streams.h"
#include "termops.h"
#include "unify.h"

namespace {

QX_external_object_type process_type;

/* The options of $process_create: user bit -> library option. */
struct option_bit {
  uint32_t user, library;
};
constexpr option_bit CREATE_OPTIONS[] = {
    {0x1, QXIO_PROCESS_STDIN_INHERIT},
    {0x2, QXIO_PROCESS_STDIN_NULL},
    {0x4, QXIO_PROCESS_STDIN_PIPE},
    {0x10, QXIO_PROCESS_STDOUT_INHERIT},
    {0x20, QXIO_PROCESS_STDOUT_NULL},
    {0x40, QXIO_PROCESS_STDOUT_PIPE},
    {0x100, QXIO_PROCESS_STDERR_INHERIT},
    {0x200, QXIO_PROCESS_STDERR_NULL},
    {0x400, QXIO_PROCESS_STDERR_PIPE},
    {0x800, QXIO_PROCESS_SHELL},
    {0x1000, 0x200},
    {0x2000, QXIO_PROCESS_NEW_SESSION},
    {0x4000, 0x800},
    {0x10000, 0x2000},
};
constexpr uint32_t USER_RETURN_PROCESS = 0x1000;
constexpr uint32_t USER_REFUSED = 0x8000;

/* Stream-creation options of the parent's pipe ends: text over the system's character set, the
 * child's standard input written with autoflush, its output and error read. */
constexpr uint32_t STDIN_STREAM_OPTIONS =
    QX_OS_WRITE | QX_OS_TEXT | QX_OS_AUTOFLUSH | QX_OS_PREFER_OS_CHARSET; /* 0x2008A */
constexpr uint32_t OUTPUT_STREAM_OPTIONS =
    QX_OS_READ | QX_OS_TEXT | QX_OS_PREFER_OS_CHARSET; /* 0x20009 */

/* The flags $process_wait gives for a child that has not ended within the time-out. */
constexpr int32_t WAIT_TIMED_OUT = 4096;

/* Property flags of an argument part: a string the list does not own. */
constexpr uint32_t PART_FLAGS = QXIO_VARIANT_STRING | QXIO_VARIANT_FLAG_NOT_OWNED;

const struct {
  const char *name;
  int number;
} SIGNALS[] = {
    {"SIGHUP", 1},   {"SIGINT", 2},   {"SIGQUIT", 3},  {"SIGILL", 4},   {"SIGTRAP", 5},
    {"SIGABRT", 6},  {"SIGBUS", 7},   {"SIGFPE", 8},   {"SIGKILL", 9},  {"SIGUSR1", 10},
    {"SIGSEGV", 11}, {"SIGUSR2", 12}, {"SIGPIPE", 13}, {"SIGALRM", 14}, {"SIGTERM", 15},
    {"SIGCHLD", 17}, {"SIGCONT", 18}, {"SIGSTOP", 19}, {"SIGTSTP", 20}, {"SIGTTIN", 21},
    {"SIGTTOU", 22}, {"SIGURG", 23},  {"SIGXCPU", 24}, {"SIGXFSZ", 25}, {"SIGVTALRM", 26},
    {"SIGPROF", 27}, {"SIGPOLL", 29}, {"SIGSYS", 31},
};

qxio_t_process handle_of(QX_external_object_link link)
{
  return (qxio_t_process)(intptr_t)QX_get_external_object_data(link);
}

/* Releases the child of a process object that became garbage; a running child is reaped
 * later. An object whose child was released or reaped already holds no handle. */
void qx_process_finalizer(void *data, void *)
{
  qxio_t_process process = (qxio_t_process)(intptr_t)data;
  if (process > 0) qxio_process_release(process, QXIO_PROCESS_RELEASE_REMEMBER);
}

int qx_process_putter(QX_term_ref t, QX_external_object_link link)
{
  return QX_external_object_default_putter_helper(t, link, init_atom_check("$process", 0));
}

QX_external_object_type the_process_type()
{
  if (process_type == nullptr) init_each_time_file();
  return process_type;
}

/* Forgets an object's child (released or reaped by the caller): the link goes and its
 * finaliser finds no handle, so the child is never released a second time. */
void drop_process_object(QX_external_object_link link)
{
  if (link == nullptr) return;
  link->data = nullptr;
  QX_unlink_external_object(link, 1);
}

/* A temporary handle (from a plain id) is released on every path. */
void release_temporary(qxio_t_process process, QX_external_object_link link)
{
  if (link == nullptr)
    qxio_process_release(process, QXIO_PROCESS_RELEASE_REMEMBER | QXIO_PROCESS_RELEASE_NOTHING);
}

bool get_non_negative(TAGGED t, int32_t *value)
{
  t = deref(t);
  return qx_api_int32(t, value) && *value >= 0;
}

/* Unifies the argument register `index` with an integer. */
int unify_int64(worker *w, int index, int64_t value)
{
  call_overflow(w, 8, 10);
  return cunify(w, w->term[index], make_int64(w, value));
}

int unify_result(worker *w, int index, int code) { return unify_int64(w, index, code); }

/* ---- $process_create's arguments ---- */

/* A part of an argument: an atom (key "string") or name(Atom) (key name). */
bool decode_part(TAGGED part, qxio_t_property *out)
{
  part = deref(part);
  TAGGED text;
  if (IsAtom(part)) {
    out->key = "string";
    text = part;
  } else if (IsStr(part) && !IsBox(part) && Arity(StrFunctor(part)) == 1) {
    out->key = atom_name(FunctorName(StrFunctor(part)));
    text = deref(StrArg(part, 1));
    if (!IsAtom(text)) return false;
  } else {
    return false;
  }
  out->v = {};
  out->v.flags = PART_FLAGS;
  out->v.u.string = atom_name(text);
  return true;
}

/* The arguments as a null-terminated array of property lists, in one block freed with
 * QX_free: 0, QXIO_E_PARAMETER_ERROR or QXIO_E_OUT_OF_MEMORY. Each element of Args is a list of
 * parts or a single part. */
int make_argument_lists(TAGGED args, qxio_t_property ***lists_out)
{
  long nargs = list_length(deref(args));
  if (nargs < 0) return QXIO_E_PARAMETER_ERROR;
  size_t nparts = 0;
  for (TAGGED l = deref(args); IsLst(l); l = deref(LstTail(l))) {
    TAGGED element = deref(LstHead(l));
    long n = IsLst(element) || element == atom_nil ? list_length(element) : 1;
    if (n < 0) return QXIO_E_PARAMETER_ERROR;
    nparts += (size_t)n + 1; /* and the end entry */
  }
  size_t bytes = ((size_t)nargs + 1) * sizeof(qxio_t_property *) + nparts * sizeof(qxio_t_property);
  qxio_t_property **lists = (qxio_t_property **)QX_malloc(bytes);
  if (lists == nullptr) return QXIO_E_OUT_OF_MEMORY;
  qxio_t_property *part = (qxio_t_property *)(lists + nargs + 1);
  size_t at = 0;
  for (TAGGED l = deref(args); IsLst(l); l = deref(LstTail(l))) {
    TAGGED element = deref(LstHead(l));
    lists[at++] = part;
    bool ok = true;
    if (IsLst(element) || element == atom_nil) {
      for (TAGGED p = element; ok && IsLst(p); p = deref(LstTail(p)))
        ok = decode_part(LstHead(p), part++);
    } else {
      ok = decode_part(element, part++);
    }
    if (!ok) {
      QX_free(lists);
      return QXIO_E_PARAMETER_ERROR;
    }
    *part++ = qxio_arg_end();
  }
  lists[at] = nullptr;
  *lists_out = lists;
  return 0;
}

/* Env: null for [] or default; else a proper list of Name=Value (atoms) as a null-terminated
 * array of name and value texts back to back, in one block freed with QX_free. */
int make_environment(TAGGED env, char ***env_out)
{
  env = deref(env);
  *env_out = nullptr;
  if (env == atom_nil || env == init_atom_check("default", 0)) return 0;
  long n = list_length(env);
  if (n < 0) return QXIO_E_PARAMETER_ERROR;
  TAGGED equals = MakeFunctor(init_atom_check("=", 0), 2);
  size_t bytes = ((size_t)n + 1) * sizeof(char *);
  for (TAGGED l = env; IsLst(l); l = deref(LstTail(l))) {
    TAGGED pair = deref(LstHead(l));
    if (!IsStr(pair) || StrFunctor(pair) != equals) return QXIO_E_PARAMETER_ERROR;
    TAGGED name = deref(StrArg(pair, 1)), value = deref(StrArg(pair, 2));
    if (!IsAtom(name) || !IsAtom(value)) return QXIO_E_PARAMETER_ERROR;
    bytes += std::strlen(atom_name(name)) + std::strlen(atom_name(value)) + 2;
  }
  char **block = (char **)QX_malloc(bytes);
  if (block == nullptr) return QXIO_E_OUT_OF_MEMORY;
  char *text = (char *)(block + n + 1);
  size_t at = 0;
  for (TAGGED l = env; IsLst(l); l = deref(LstTail(l))) {
    TAGGED pair = deref(LstHead(l));
    block[at++] = text;
    for (int i = 1; i <= 2; i++) {
      const char *s = atom_name(deref(StrArg(pair, i)));
      size_t len = std::strlen(s) + 1;
      std::memcpy(text, s, len);
      text += len;
    }
  }
  block[at] = nullptr;
  *env_out = block;
  return 0;
}

/* The library options of $process_create's user bits, or QXIO_E_PARAMETER_ERROR. */
int map_create_options(TAGGED options, uint32_t *library, bool *want_process)
{
  int32_t user;
  if (!get_non_negative(options, &user) || (user & USER_REFUSED)) return QXIO_E_PARAMETER_ERROR;
  *want_process = (user & USER_RETURN_PROCESS) != 0;
  uint32_t mapped = QXIO_PROCESS_ENVIRONMENT;
  for (const option_bit &bit : CREATE_OPTIONS)
    if ((uint32_t)user & bit.user) mapped |= bit.library;
  *library = mapped;
  return 0;
}

/* What $process_create made after the library started the child: the streams over the pipe
 * ends, the descriptors not yet wrapped and the child. Undone as a whole when a later step
 * fails. */
struct started_child {
  int fd[3] = {-1, -1, -1};
  QX_stream *stream[3] = {nullptr, nullptr, nullptr};
  qxio_t_process process = 0;

  void undo()
  {
    for (int i = 0; i < 3; i++) {
      if (stream[i] != nullptr) qx_fclose_internal(stream[i], QX_FC_FORCE);
      if (fd[i] >= 0) close(fd[i]);
    }
    if (process > 0) qxio_process_release(process, QXIO_PROCESS_RELEASE_REMEMBER);
  }
};

int wrap_pipe_ends(started_child *child)
{
  for (int i = 0; i < 3; i++) {
    if (child->fd[i] < 0) continue;
    uint32_t options = i == 0 ? STDIN_STREAM_OPTIONS : OUTPUT_STREAM_OPTIONS;
    int rc = QX_create_os_stream(child->fd[i], &child->stream[i], 0, options);
    if (rc < 0) return rc; /* a refused descriptor stays ours and is closed by undo */
    child->fd[i] = -1;
  }
  return 0;
}

/* The child as a process object in the term reference t. */
int register_process(started_child *child, QX_term_ref t)
{
  QX_external_object_type type = the_process_type();
  QX_external_object_link link =
      type != nullptr ? QX_register_external_object((void *)(intptr_t)child->process, type)
                      : nullptr;
  if (link == nullptr) return QXIO_E_ERROR;
  if (!QX_put_external_object(t, link)) {
    link->data = nullptr;
    QX_unlink_external_object(link, 1);
    return QXIO_E_ERROR;
  }
  child->process = 0; /* the object owns it now */
  return 0;
}

struct create_request {
  const char *program, *cwd;
  qxio_t_property **args = nullptr;
  char **env = nullptr;
  uint32_t options = 0;
  bool want_process = false; /* user bit 0x1000 */
  ~create_request()
  {
    QX_free(args);
    QX_free(env);
  }
};

int decode_create(worker *w, create_request *r)
{
  TAGGED program = deref(w->term[0]), cwd = deref(w->term[2]);
  if (!IsAtom(program) || !IsAtom(cwd)) return QXIO_E_PARAMETER_ERROR;
  r->program = atom_name(program);
  r->cwd = atom_name(cwd);
  int rc = map_create_options(w->term[4], &r->options, &r->want_process);
  if (rc == 0) rc = make_argument_lists(w->term[1], &r->args);
  if (rc == 0) rc = make_environment(w->term[3], &r->env);
  return rc;
}

/* ---- the built-ins ---- */

/* $is_process(+Term) */
int prolog_is_process(worker *w)
{
  QX_external_object_link link;
  return qx_get_process_external_object(w->term[0], &link) == 0;
}

/* $process_self_id(-Pid) */
int prolog_process_self_id(worker *w)
{
  int64_t id;
  return qxio_process_self_id(&id) == 0 && unify_int64(w, 0, id);
}

/* $process_id(+Process, -Pid, -Result) */
int prolog_process_id(worker *w)
{
  qxio_t_process process;
  QX_external_object_link link;
  int rc = qx_get_process(w->term[0], &process, &link);
  int64_t id = 0;
  if (rc == 0) {
    rc = qxio_process_id(process, &id);
    release_temporary(process, link);
  }
  if (rc == 0 && !unify_int64(w, 1, id)) return 0;
  return unify_result(w, 2, rc);
}

/* The signal number of an integer or a signal name, or -1. */
int signal_number(TAGGED signal)
{
  signal = deref(signal);
  int32_t number;
  if (get_non_negative(signal, &number)) return number;
  if (!IsAtom(signal)) return -1;
  for (const auto &s : SIGNALS)
    if (std::strcmp(atom_name(signal), s.name) == 0) return s.number;
  return -1;
}

/* $process_kill(+Process, +Signal, -Result) */
int prolog_process_kill(worker *w)
{
  int signal = signal_number(w->term[1]);
  qxio_t_process process;
  QX_external_object_link link;
  int rc = signal < 0 ? QXIO_E_PARAMETER_ERROR : qx_get_process(w->term[0], &process, &link);
  if (rc == 0) {
    rc = qxio_process_kill(process, signal, 0);
    release_temporary(process, link);
  }
  return unify_result(w, 2, rc);
}

/* $process_release(+Process, +Options, -Result) */
int prolog_process_release(worker *w)
{
  int32_t user;
  qxio_t_process process;
  QX_external_object_link link;
  int rc = get_non_negative(w->term[1], &user) ? qx_get_process(w->term[0], &process, &link)
                                               : QXIO_E_PARAMETER_ERROR;
  if (rc == 0) {
    rc = qxio_process_release(process, (user & 1) ? QXIO_PROCESS_RELEASE_REMEMBER : 0);
    if (rc == 0) drop_process_object(link);
    release_temporary(process, link);
  }
  return unify_result(w, 2, rc);
}

/* A time-out: null for `infinite`, else seconds; QXIO_E_PARAMETER_ERROR for anything else. */
int decode_timeout(TAGGED timeout, qxio_t_timespec *ts, const qxio_t_timespec **out)
{
  timeout = deref(timeout);
  int64_t seconds;
  if (timeout == init_atom_check("infinite", 0)) {
    *out = nullptr;
    return 0;
  }
  if (IsInteger(timeout)) {
    if (!qx_get_int64(timeout, &seconds) || seconds < 0) return QXIO_E_PARAMETER_ERROR;
    ts->sec = seconds;
    ts->nsec = 0;
  } else if (!IsFloat(timeout) || qxio_double_to_timespec(FloatValue(timeout), ts) < 0) {
    return QXIO_E_PARAMETER_ERROR;
  }
  *out = ts;
  return 0;
}

/* $process_wait(+Process, +Options, +Timeout, -Flags, -Value, -Result) */
int prolog_process_wait(worker *w)
{
  int32_t user;
  qxio_t_timespec ts;
  const qxio_t_timespec *timeout = nullptr;
  if (!get_non_negative(w->term[1], &user) || decode_timeout(w->term[2], &ts, &timeout) < 0)
    return unify_result(w, 5, QXIO_E_PARAMETER_ERROR);
  qxio_t_process process;
  QX_external_object_link link;
  int rc = qx_get_process(w->term[0], &process, &link);
  if (rc < 0) return unify_result(w, 5, rc);
  uint32_t options = (user & 1) ? QXIO_PROCESS_WAIT_REAP : 0;
  if (timeout != nullptr && timeout->sec == 0 && timeout->nsec == 0)
    options |= QXIO_PROCESS_WAIT_NONBLOCKING;
  qxio_t_process_exit_status status = {0, 0};
  if ((options & QXIO_PROCESS_WAIT_REAP) && link == nullptr) {
    rc = QXIO_E_NOT_SUPPORTED;
  } else {
    rc = qxio_process_wait(process, timeout, &status, options);
  }
  release_temporary(process, link);
  if (rc == QXIO_E_WOULD_BLOCK || rc == QXIO_E_TIMEOUT) {
    status = {WAIT_TIMED_OUT, 0};
  } else if (rc < 0) {
    return unify_result(w, 5, rc);
  } else if ((options & QXIO_PROCESS_WAIT_REAP) &&
             (status.flags & (QXIO_PROCESS_EXITED | QXIO_PROCESS_KILLED))) {
    /* reaped: only a child that has ended is gone; a stopped one is still to be released */
    drop_process_object(link);
  }
  return unify_int64(w, 3, status.flags) && unify_int64(w, 4, status.value) &&
         unify_result(w, 5, rc);
}

/* $process_create(+Program, +Args, +Cwd, +Env, +Options, -Stdin, -Stdout, -Stderr, -Process,
 * -Result) */
int prolog_process_create(worker *w)
{
  create_request request;
  int rc = decode_create(w, &request);
  if (rc < 0) return unify_result(w, 9, rc);
  started_child child;
  bool want_process = request.want_process;
  rc = qxio_process_create(request.program, request.args, request.cwd, request.env, &child.fd[0],
                           &child.fd[1], &child.fd[2], want_process ? &child.process : nullptr,
                           request.options);
  if (rc < 0) return unify_result(w, 9, rc);
  QX_term_ref object = QX_new_term_ref();
  if (object == 0) rc = QXIO_E_OUT_OF_MEMORY;
  if (rc == 0) rc = wrap_pipe_ends(&child);
  qx_gc_root outputs(&w->term[5], 5); /* making the process object may collect */
  if (rc == 0 && want_process) rc = register_process(&child, object);
  if (rc < 0) {
    child.undo();
    if (object != 0) QX_reset_term_refs(object);
    return unify_result(w, 9, rc);
  }
  call_overflow(w, 32, 10);
  bool ok = true;
  for (int i = 0; i < 3 && ok; i++)
    ok = cunify(w, w->term[5 + i], make_integer(w, (int32_t)(intptr_t)child.stream[i]));
  if (ok && want_process) ok = cunify(w, w->term[8], qx_ref_get(w, object));
  QX_reset_term_refs(object);
  return ok && unify_result(w, 9, 0);
}

}  // namespace

int init_each_time_file(void)
{
  process_type = QX_register_external_object_type(qx_process_finalizer, qx_process_putter, nullptr);
  return process_type != nullptr;
}

QX_external_object_type qx_process_object_type(void) { return the_process_type(); }

int qx_get_process_external_object(TAGGED term, QX_external_object_link *link)
{
  QX_term_ref t = QX_new_term_ref();
  if (t == 0) return QXIO_E_OUT_OF_MEMORY;
  qx_ref_put(qx_w, t, deref(term));
  QX_external_object_link found;
  int known = QX_get_external_object(t, &found);
  QX_reset_term_refs(t);
  if (!known) return QXIO_E_NOT_FOUND;
  if (QX_get_external_object_type(found) != the_process_type()) return QXIO_E_PARAMETER_ERROR;
  *link = found;
  return 0;
}

int qx_get_process(TAGGED term, qxio_t_process *process, QX_external_object_link *link)
{
  term = deref(term);
  *link = nullptr;
  if (IsInteger(term)) {
    int64_t id;
    if (!qx_get_int64(term, &id)) return QXIO_E_PARAMETER_ERROR;
    return qxio_process_from_id(id, process);
  }
  int rc = qx_get_process_external_object(term, link);
  if (rc < 0) return rc;
  *process = handle_of(*link);
  return 0;
}

const qx_pred_row qx_bi_process_rows[] = {
    {"$is_process", prolog_is_process, 1, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$process_self_id", prolog_process_self_id, 1, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$process_id", prolog_process_id, 3, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$process_kill", prolog_process_kill, 3, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$process_release", prolog_process_release, 3, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$process_wait", prolog_process_wait, 6, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$process_create", prolog_process_create, 10, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {nullptr, nullptr, 0, 0, 0, nullptr},
};
