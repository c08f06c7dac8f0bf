/* Stream built-ins of module prolog, the mapping from I/O-library codes to the engine's error
 * codes, and the retry of an operation that a signal interrupted.
 *
 * Argument orders of the item family (Options: an integer, bit 0x1 asks for a read that does
 * not block; a read that would block then fails):
 *
 *   $get_code(+Stream, -Code, +Options)     $get_byte(+Stream, -Byte, +Options)
 *   $peek_code(+Stream, -Code, +Options)    $peek_byte(+Stream, -Byte, +Options)
 *   $skip_code(+Stream, +Code, +Options)    $skip_byte(+Stream, +Byte, +Options)
 *   $unget_code(+Stream, +Code, +Options)   $unget_byte(+Stream, +Byte, +Options)
 *   $put_code(+Stream, +Code, +Options)     $put_byte(+Stream, +Byte, +Options)
 *   $nl(+Stream, +Options)                  $flush_output(+Stream, +Options)
 *
 * (Options of the writers: bit 0x100 asks for the autoflush step.) End of stream is -1.
 *
 * An interrupted operation runs true/0 as a query, so that pending signal handlers and events
 * run, and then starts again from its arguments, which are kept in term references because
 * the query reuses the argument registers.
 */
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "atoms.h"
#include "builtins.h"
#include "errors.h"
#include "memman.h"
#include "numbers.h"
#include "objareas.h"
#include "orvalis.h"
#include "streams.h"
#include "unify.h"
#include "wam.h"

int qx_run_pending_events(const char *name, int arity)
{
  QX_pred_ref truth = QX_predicate("true", 0, "prolog");
  int q = truth ? QX_query(truth) : 1;
  if (q >= 0) return q;
  TAGGED ball = qx_exception_term(qx_w);
  qx_clear_exception();
  if (!ball) return raise_qxio_error(QXIO_E_INTERNAL_ERROR, false, name, arity, 0), -1;
  return raise_exception(ball), -1;
}

namespace {

/* What a body answers when the I/O library reported QXIO_E_INTERRUPTED. */
constexpr int RETRY = -2;
/* Names tried for a file that exists, before $open/5 gives up. */
constexpr int UNIQUE_NAME_ATTEMPTS = 10001;
constexpr size_t UNIQUE_TEXT_MAX = 20;

struct bi_ctx {
  worker *w;
  const char *name;
  int arity;
};

TAGGED atom_of(const char *text) { return init_atom_check(text, 0); }

int raise_recorded(const bi_ctx &b, int argument)
{
  return raise_error(atom_prolog, atom_of(b.name), b.arity, argument);
}

int raise_code(const bi_ctx &b, uint32_t code, const char *message, int argument)
{
  save_error(code, message, argument >= 1 && argument <= b.arity ? b.w->term[argument - 1] : 0);
  return raise_recorded(b, argument);
}

int raise_io(const bi_ctx &b, int code, bool output, int argument)
{
  return raise_qxio_error(code, output, b.name, b.arity, argument);
}

bool get_int(TAGGED t, int64_t *value) { return qx_get_int64(deref(t), value); }

/* The options integer of argument `argument`, or the 0x401 error raised. */
bool get_options(const bi_ctx &b, int argument, int64_t *options)
{
  if (get_int(b.w->term[argument - 1], options)) return true;
  raise_code(b, 0x401, "integer", argument);
  return false;
}

/* Unifies argument register reg with an integer: room is made first (term[0..4] being roots),
 * and the register is read after it, since making room may collect. */
bool unify_int64(worker *w, int reg, int64_t v)
{
  call_overflow(w, 8, 5);
  TAGGED t = make_int64(w, v);
  return cunify(w, w->term[reg], t);
}

/* Unifies argument register reg with the stream's term. */
bool unify_stream(worker *w, int reg, QX_stream *s)
{
  return unify_int64(w, reg, (int32_t)(intptr_t)s);
}

/* The stream of argument 1, or null with the recorded error raised. */
QX_stream *stream_arg(const bi_ctx &b, uint32_t required)
{
  QX_stream *s = stream_to_ptr(b.w->term[0], required, 0);
  if (!s) raise_recorded(b, 1);
  return s;
}

/* Runs pending events through the query true/0: 1 go on, 0 fail, -1 the ball is raised. */
int run_pending_events(const bi_ctx &b) { return qx_run_pending_events(b.name, b.arity); }

template <class Body>
int with_retry(const bi_ctx &b, Body body)
{
  worker *w = b.w;
  QX_term_ref saved = qx_save_arguments(w, b.arity);
  int result;
  for (;;) {
    result = body();
    if (result != RETRY) break;
    qx_stream_retries++;
    int q = run_pending_events(b);
    if (!qx_restore_arguments(w, saved, b.arity)) q = 0;
    if (q <= 0) {
      result = 0;
      break;
    }
  }
  QX_reset_term_refs(saved);
  return result;
}

/* ---- items ---- */

int fast_get(QX_stream *s, bool text, uint32_t options)
{
  if (text) {
    if (s->pub.input_text.ptr < s->pub.input_text.limit) return (int)*s->pub.input_text.ptr++;
    return qx_get_code_helper(s, options);
  }
  if (s->pub.input_binary.ptr < s->pub.input_binary.limit) return *s->pub.input_binary.ptr++;
  return qx_get_byte_helper(s, options);
}

/* Reads one item: the item or -1, RETRY, or 0 for the call to end (failed or raised) with
 * *ended set. */
int read_one(const bi_ctx &b, QX_stream *s, bool text, uint32_t options, bool *ended)
{
  int item = fast_get(s, text, options & 0x1);
  *ended = false;
  if (item == QXIO_E_INTERRUPTED) return RETRY;
  if (item == QXIO_E_WOULD_BLOCK && (options & 0x1)) return *ended = true, 0;
  if (item < -1) return *ended = true, raise_io(b, item, false, 1);
  if (item == -1 && (s->flags & QX_SF_PAST_EOF)) return *ended = true, raise_code(b, 0x104, "", 1);
  return item;
}

uint32_t kind_mode(bool text) { return text ? QX_SM_TEXT : QX_SM_BINARY; }

int get_family(worker *w, const char *name, bool text, bool peek)
{
  bi_ctx b{w, name, 3};
  return with_retry(b, [&]() -> int {
    QX_stream *s = stream_arg(b, QX_SM_INPUT | kind_mode(text));
    int64_t options;
    if (!s || !get_options(b, 3, &options)) return 0;
    bool ended;
    int item = read_one(b, s, text, (uint32_t)options, &ended);
    if (ended || item == RETRY) return item;
    if (peek) {
      int rc = text ? QX_unget_code(s, item) : QX_unget_byte(s, item);
      if (rc < 0) return raise_io(b, rc, false, 1);
    }
    return cunify(w, w->term[1], MakeSmall(item));
  });
}

int prolog_get_code3(worker *w) { return get_family(w, "$get_code", true, false); }
int prolog_peek_code3(worker *w) { return get_family(w, "$peek_code", true, true); }
int prolog_get_byte3(worker *w) { return get_family(w, "$get_byte", false, false); }
int prolog_peek_byte3(worker *w) { return get_family(w, "$peek_byte", false, true); }

/* Raises an error of the item argument with the message its code carries. */
void raise_item_error(const bi_ctx &b, uint32_t code)
{
  raise_code(b, code, code == 0x401 ? "integer" : code == 2 ? "byte" : "", 2);
}

/* The item argument of the skip, unget and put family: an integer (else error not_integer), not
 * negative (else error negative) unless it is -1 and allow_eof, a byte at most 255 (else 2). */
bool item_arg(const bi_ctx &b, bool text, bool allow_eof, uint32_t not_integer, uint32_t negative,
              int64_t *item)
{
  if (!get_int(b.w->term[1], item)) return raise_item_error(b, not_integer), false;
  if (*item == -1 && allow_eof) return true;
  if (*item < 0) return raise_item_error(b, negative), false;
  if (!text && *item > 255) return raise_item_error(b, 2), false;
  return true;
}

int skip_family(worker *w, const char *name, bool text)
{
  bi_ctx b{w, name, 3};
  return with_retry(b, [&]() -> int {
    QX_stream *s = stream_arg(b, QX_SM_INPUT | kind_mode(text));
    int64_t target, options;
    if (!s || !item_arg(b, text, false, 0x401, 0x202, &target) || !get_options(b, 3, &options))
      return 0;
    for (;;) {
      bool ended;
      int item = read_one(b, s, text, (uint32_t)options, &ended);
      if (ended || item == RETRY) return item;
      if (item == target || item == -1) {
        int rc = text ? QX_unget_code(s, item) : QX_unget_byte(s, item);
        return rc < 0 ? raise_io(b, rc, false, 1) : 1;
      }
    }
  });
}

int prolog_skip_code3(worker *w) { return skip_family(w, "$skip_code", true); }
int prolog_skip_byte3(worker *w) { return skip_family(w, "$skip_byte", false); }

int unget_family(worker *w, const char *name, bool text)
{
  bi_ctx b{w, name, 3};
  QX_stream *s = stream_arg(b, QX_SM_INPUT | kind_mode(text));
  int64_t item, options;
  if (!s || !item_arg(b, text, true, 0x401, text ? 0x202 : 2, &item) ||
      !get_options(b, 3, &options))
    return 0;
  int rc = text ? QX_unget_code(s, (int32_t)item) : QX_unget_byte(s, (int32_t)item);
  return rc < 0 ? raise_io(b, rc, false, 2) : 1;
}

int prolog_unget_code3(worker *w) { return unget_family(w, "$unget_code", true); }
int prolog_unget_byte3(worker *w) { return unget_family(w, "$unget_byte", false); }

int prolog_end_of_stream2(worker *w)
{
  bi_ctx b{w, "$eof", 2};
  QX_stream *s = stream_arg(b, QX_SM_INPUT);
  if (!s) return 0;
  const char *state = "past";
  if (!(s->flags & QX_SF_AT_EOF)) {
    bool text = s->flags & QX_SF_TEXT;
    int item = text ? qx_get_code_helper(s, 0x3) : qx_get_byte_helper(s, 0x3);
    state = item == -1 ? "at" : "not";
  }
  return cunify(w, w->term[1], atom_of(state));
}

/* Output: a result below 0 is an error, end of file included (a device that answers it took
 * nothing, and the items are still in the buffer). */
int put_result(const bi_ctx &b, QX_stream *s, int rc, int64_t options, int argument)
{
  if (rc >= 0 && (options & 0x100)) rc = qx_autoflush(s);
  if (rc == QXIO_E_INTERRUPTED) return RETRY;
  return rc < 0 ? raise_io(b, rc, true, argument) : 1;
}

int put_family(worker *w, const char *name, bool text)
{
  bi_ctx b{w, name, 3};
  return with_retry(b, [&]() -> int {
    QX_stream *s = stream_arg(b, QX_SM_OUTPUT | kind_mode(text));
    int64_t item, options;
    if (!s || !item_arg(b, text, false, text ? 0x202 : 0x401, text ? 0x202 : 2, &item) ||
        !get_options(b, 3, &options))
      return 0;
    int rc =
        text ? qx_put_code_helper(s, (int32_t)item, 0) : qx_put_byte_helper(s, (int32_t)item, 0);
    return put_result(b, s, rc, options, 1);
  });
}

int prolog_put_code3(worker *w) { return put_family(w, "$put_code", true); }
int prolog_put_byte3(worker *w) { return put_family(w, "$put_byte", false); }

int prolog_nl2(worker *w)
{
  bi_ctx b{w, "$nl", 2};
  return with_retry(b, [&]() -> int {
    QX_stream *s = stream_arg(b, QX_SM_OUTPUT | QX_SM_TEXT);
    int64_t options;
    if (!s || !get_options(b, 2, &options)) return 0;
    return put_result(b, s, qx_put_code_helper(s, 10, 0), options, 1);
  });
}

int prolog_tab2(worker *w)
{
  bi_ctx b{w, "$tab", 2};
  int64_t done = 0; /* spaces written before an interrupt are not written again */
  return with_retry(b, [&]() -> int {
    QX_stream *s = stream_arg(b, QX_SM_OUTPUT | QX_SM_TEXT);
    int64_t n;
    if (!s) return 0;
    if (!get_int(w->term[1], &n)) return raise_code(b, 0x401, "integer", 2);
    for (; done < n; done++) {
      int rc = qx_put_code_helper(s, 32, 0);
      if (rc == QXIO_E_INTERRUPTED) return RETRY;
      if (rc < 0) return raise_io(b, rc, true, 2);
    }
    return 1;
  });
}

int prolog_flush_output2(worker *w)
{
  bi_ctx b{w, "$flush_output", 2};
  return with_retry(b, [&]() -> int {
    QX_stream *s = stream_arg(b, QX_SM_OUTPUT);
    int64_t options;
    if (!s || !get_options(b, 2, &options)) return 0;
    int rc = options & 0x100 ? qx_autoflush(s) : QX_flush_output(s, 0);
    return put_result(b, s, rc, 0, 1);
  });
}

/* ---- opening and closing ---- */

uint32_t unique_state = 1;

uint32_t next_unique_number()
{
  while (unique_state == 1) unique_state = ((uint32_t)time(nullptr) & 0xFFFF) ^ (uint32_t)getpid();
  unique_state = unique_state * 1103515245u + 12345u;
  return (unique_state >> 16) & 0x7FFF;
}

/* The name with the process id and a number before the extension of its last component. */
bool unique_name(const char *path, std::vector<char> *out)
{
  char number[64];
  int n = std::snprintf(number, sizeof number, "%u%u", (unsigned)getpid(), next_unique_number());
  if (n < 0 || (size_t)n > UNIQUE_TEXT_MAX) return false;
  const char *slash = std::strrchr(path, '/');
  const char *dot = std::strrchr(slash ? slash : path, '.');
  size_t at = dot ? (size_t)(dot - path) : std::strlen(path);
  out->assign(path, path + at);
  out->insert(out->end(), number, number + n);
  out->insert(out->end(), path + at, path + std::strlen(path) + 1);
  return true;
}

int prolog_open(worker *w)
{
  bi_ctx b{w, "$open", 5};
  TAGGED file = deref(w->term[0]), mode = deref(w->term[1]);
  int64_t options;
  if (!IsAtom(file) || !IsAtom(mode) || !get_int(w->term[2], &options)) return 0;
  char first = atom_name(mode)[0];
  uint32_t open = first == 'a'   ? QX_FO_APPEND | QX_FO_WRITE
                  : first == 'w' ? QX_FO_WRITE
                                 : QX_FO_READ;
  open |= (options & 0x8 ? QX_FO_INTERACTIVE : 0) | (options & 0x8000 ? QX_FO_AUTOFLUSH : 0) |
          (options & 0x100 ? QX_FO_REPOSITION : 0) | (options & 0x800 ? QX_FO_BINARY : QX_FO_TEXT) |
          (options & 0x10000 ? QX_FO_EXCLUSIVE : 0) | (options & 0x80000 ? QX_FO_URL : 0) |
          QX_FO_NO_EXPAND | QX_FO_ENCODING_TERM;
  QX_stream *s = nullptr;
  const char *path = atom_name(file);
  int rc = qx_fopen_internal(path, open, w->term[3], &s);
  std::vector<char> name;
  for (int i = 0; rc == QXIO_E_FILE_EXISTS && (options & 0x20000) && i < UNIQUE_NAME_ATTEMPTS;
       i++) {
    if (!unique_name(path, &name)) break;
    rc = qx_fopen_internal(name.data(), open, w->term[3], &s);
  }
  if (rc < 0) return raise_io(b, rc, open & QX_FO_WRITE, 1);
  if (!unify_stream(w, 4, s)) {
    qx_fclose_internal(s, QX_FC_FORCE); /* a bound Stream: nothing of the open is left */
    return 0;
  }
  if (options & 0x200) s->flags |= QX_SF_EOF_CODE;
  if (options & 0x400) s->flags |= QX_SF_EOF_RESET;
  if (options & 0x1000) s->flags |= QX_SF_CLOSE_CLEANUP;
  resync_stream_mode(s);
  return 1;
}

int prolog_close(worker *w)
{
  bi_ctx b{w, "$close", 2};
  return with_retry(b, [&]() -> int {
    QX_stream *s = stream_arg(b, 0);
    int64_t options;
    if (!s || !get_options(b, 2, &options)) return 0;
    uint32_t close = (options & 0x1 ? QX_FC_FORCE : 0) | (options & 0x2 ? QX_FC_STANDARD : 0) |
                     (options & 0x4 ? QX_FC_INPUT : 0) | (options & 0x8 ? QX_FC_OUTPUT : 0);
    bool output = (s->flags & QX_SF_OUTPUT) && !(options & 0x4 && !(options & 0x8));
    int rc = qx_fclose_internal(s, close);
    if (rc == QXIO_E_INTERRUPTED) return RETRY;
    return rc < 0 ? raise_io(b, rc, output, 1) : 1;
  });
}

int prolog_open_null(worker *w)
{
  QX_stream *s = null_stream(4);
  if (!s) return raise_io(bi_ctx{w, "$open_null", 1}, QXIO_E_OUT_OF_MEMORY, true, 0);
  return unify_stream(w, 0, s);
}

/* ---- current streams ---- */

int switch_stream(worker *w, QX_stream **slot, uint32_t required)
{
  QX_stream *s = stream_to_ptr(w->term[1], required | QX_SM_QUIET, 0);
  if (!s) return 0;
  if (!unify_stream(w, 0, *slot)) return 0;
  *slot = s;
  return 1;
}

int prolog_input(worker *w) { return switch_stream(w, &qx_eg.input_stream_ptr, QX_SM_INPUT); }
int prolog_output(worker *w) { return switch_stream(w, &qx_eg.output_stream_ptr, QX_SM_OUTPUT); }
int prolog_stdinput(worker *w) { return switch_stream(w, &qx_eg.stream_user_input, QX_SM_INPUT); }
int prolog_stdoutput(worker *w)
{
  return switch_stream(w, &qx_eg.stream_user_output, QX_SM_OUTPUT);
}
int prolog_stderror(worker *w) { return switch_stream(w, &qx_eg.stream_user_error, QX_SM_OUTPUT); }

/* ---- stream facts ---- */

int prolog_stream_code(worker *w)
{
  TAGGED t = deref(w->term[0]);
  if (IsVar(t)) {
    TAGGED code = deref(w->term[1]);
    if (!IsInteger(code) || !stream_to_ptr(code, QX_SM_QUIET, 0)) return 0;
    return cunify(w, t, code);
  }
  QX_stream *s = stream_to_ptr(t, QX_SM_QUIET, 0);
  return s && unify_stream(w, 1, s);
}

int prolog_stream_flags(worker *w)
{
  QX_stream *s = stream_arg(bi_ctx{w, "$stream_flags", 2}, 0);
  return s && unify_int64(w, 1, s->mode);
}

int prolog_set_stream_flags(worker *w)
{
  bi_ctx b{w, "$set_stream_flags", 2};
  QX_stream *s = stream_arg(b, 0);
  int64_t bits;
  if (!s || !get_options(b, 2, &bits)) return 0;
  if (bits & QX_SM_CLOSE_CLEANUP) s->flags |= QX_SF_CLOSE_CLEANUP;
  resync_stream_mode(s);
  return 1;
}

TAGGED encoding_name(QX_stream *s, uint32_t side)
{
  const char *name = nullptr;
  if (!s->qxio || qxio_ioctl_get_encoding_name(&s->qxio, &name, side | QXIO_IOCTL_WALK) < 0 ||
      !name)
    return atom_nil;
  TAGGED a = atom_of(name);
  return a ? a : atom_nil;
}

int prolog_stream_properties(worker *w)
{
  QX_stream *s = stream_arg(bi_ctx{w, "$stream_properties", 4}, 0);
  if (!s) return 0;
  static const struct {
    uint32_t flag, bit;
  } bits[] = {{QX_SF_BINARY, 0x1},    {QX_SF_TEXT, 0x2},       {QX_SF_ENCODING_DETECTED, 0x4},
              {QX_SF_IN_CRLF, 0x8},   {QX_SF_IN_AUTO, 0x10},   {QX_SF_OUT_CRLF, 0x20},
              {QX_SF_OUT_AUTO, 0x40}, {QX_SF_AUTOFLUSH, 0x80}, {QX_SF_INTERACTIVE, 0x100}};
  int32_t set = 0;
  for (const auto &m : bits)
    if (s->flags & m.flag) set |= (int32_t)m.bit;
  TAGGED read = s->flags & QX_SF_INPUT ? encoding_name(s, QXIO_IOCTL_READ_SIDE) : atom_nil;
  TAGGED write = s->flags & QX_SF_OUTPUT ? encoding_name(s, QXIO_IOCTL_WRITE_SIDE) : atom_nil;
  return cunify(w, w->term[1], read) && cunify(w, w->term[2], write) &&
         cunify(w, w->term[3], MakeSmall(set));
}

int prolog_stream_count(worker *w)
{
  bi_ctx b{w, "$stream_count", 4};
  QX_stream *s = stream_arg(b, 0);
  int64_t offset, lines, position;
  if (!s) return 0;
  int rc = QX_get_stream_counts(s, &offset, &lines, &position, 0);
  if (rc < 0) return raise_io(b, rc, false, 1);
  return unify_int64(w, 1, offset) && unify_int64(w, 2, lines) && unify_int64(w, 3, position);
}

int prolog_stream_offset(worker *w)
{
  bi_ctx b{w, "$stream_offset", 2};
  QX_stream *s = stream_arg(b, 0);
  int64_t offset;
  if (!s) return 0;
  int rc = QX_get_stream_counts(s, &offset, nullptr, nullptr, 0);
  if (rc < 0) return raise_io(b, rc, false, 1);
  return unify_int64(w, 1, offset);
}

int prolog_stream_set_line_count(worker *w)
{
  bi_ctx b{w, "$stream_set_line_count", 2};
  QX_stream *s = stream_arg(b, 0);
  int64_t n;
  if (!s) return 0;
  if (!get_int(w->term[1], &n)) return raise_code(b, 0x401, "integer", 2);
  if (n < 0) return raise_code(b, 0x501, "", 2);
  if ((s->flags & QX_SF_BINARY) && n != 0) return raise_io(b, QXIO_E_PARAMETER_ERROR, false, 2);
  sync_stream_counters(s, true);
  QX_stream *counters = s->flags & QX_SF_INTERACTIVE ? qx_eg.root_stream_ptr : s;
  counters->newline_count = n;
  counters->line_length = 0;
  return 1;
}

/* ---- repositioning ---- */

int prolog_seek(worker *w)
{
  QX_stream *s = stream_to_ptr(w->term[0], QX_SM_QUIET, 0);
  TAGGED method = deref(w->term[2]);
  int64_t offset;
  if (!s || !get_int(w->term[1], &offset) || !IsAtom(method)) return 0;
  const char *m = atom_name(method);
  uint32_t how = !std::strcmp(m, "bof")       ? QX_SP_BOF
                 : !std::strcmp(m, "current") ? QX_SP_CURRENT
                 : !std::strcmp(m, "eof")     ? QX_SP_EOF
                                              : 0;
  if (!how || set_stream_position(s, offset, 0, 0, QX_SP_RESET | how) < 0) return 0;
  return unify_int64(w, 3, s->item_offset);
}

int prolog_set_stream_position(worker *w)
{
  bi_ctx b{w, "$stream_set_stream_position", 5};
  QX_stream *s = stream_arg(b, QX_SM_ALWAYS);
  if (!s) return 0;
  int64_t values[4];
  for (int i = 0; i < 4; i++)
    if (!get_int(w->term[i + 1], &values[i]) || values[i] < 0)
      return raise_io(b, QXIO_E_PARAMETER_ERROR, false, i + 2);
  if (!(s->mode & QX_SM_CAN_SEEK)) return 0;
  int rc = set_stream_position(s, values[0], values[1], values[2], 0);
  if (rc < 0 && rc != QXIO_E_PERMISSION_ERROR) return raise_io(b, rc, false, 5);
  return 1;
}

/* Position records registered by the loading side: handle -> four words. Nothing is ever
 * written through an address that Prolog code made up. */
struct position_record {
  int32_t handle;
  int32_t *words;
};
std::vector<position_record> position_records;

int prolog_save_stream_position(worker *w)
{
  int32_t values[5];
  for (int i = 0; i < 5; i++) {
    TAGGED t = deref(w->term[i]);
    if (!IsSmall(t)) return 0;
    values[i] = GetSmall(t);
  }
  for (const position_record &r : position_records)
    if (r.handle == values[0]) {
      std::memcpy(r.words, values + 1, 4 * sizeof(int32_t));
      return 1;
    }
  return 0;
}

/* ---- enumeration and the rest ---- */

bool excluded(QX_stream *s, TAGGED list)
{
  for (TAGGED l = deref(list); IsLst(l); l = deref(LstTail(l)))
    if (stream_to_ptr(LstHead(l), QX_SM_QUIET, 0) == s) return true;
  return false;
}

int prolog_next_stream(worker *w)
{
  int64_t mask;
  if (!get_int(w->term[4], &mask)) return 0;
  uint32_t skip = (uint32_t)mask | QX_SM_HIDDEN;
  QX_stream *s = nullptr;
  if (!IsVar(deref(w->term[2]))) {
    s = stream_to_ptr(w->term[2], QX_SM_QUIET, skip);
  } else {
    QX_stream *root = qx_eg.root_stream_ptr;
    for (QX_stream *c = root ? root->forward : nullptr; c && c != root && !s; c = c->forward)
      if (!(c->mode & skip) && !excluded(c, w->term[3])) s = c;
    if (s && !unify_stream(w, 2, s)) return 0;
  }
  if (!s) return 0;
  bool in = s->flags & QX_SF_INPUT, out = s->flags & QX_SF_OUTPUT;
  const char *mode = in && out                 ? "readwrite"
                     : in                      ? "read"
                     : s->flags & QX_SF_APPEND ? "append"
                                               : "write";
  TAGGED file = s->filename_atom ? s->filename_atom : atom_empty;
  return cunify(w, w->term[0], file) && cunify(w, w->term[1], atom_of(mode));
}

int prolog_qxio_error_name(worker *w)
{
  int64_t code;
  if (!get_int(w->term[0], &code)) return 0;
  /* The library names a code it does not know "(unknown ...)". */
  const char *name = code >= INT32_MIN && code <= INT32_MAX ? qxio_error_name((int)code) : nullptr;
  if (!name || name[0] == '(') name = code < 0 ? "QXIO_E_ERROR" : "QXIO_S_NOERR";
  return cunify(w, w->term[1], atom_of(name));
}

int prolog_errprintf1(worker *w)
{
  TAGGED t = deref(w->term[0]);
  if (!IsAtom(t)) return 0;
  errprintf(1, "%s", atom_name(t));
  return 1;
}

int prolog_close_cleanup(worker *) { return 1; }

}  // namespace

uint32_t qx_stream_retries = 0;

void save_qxio_error(int code, bool output_variant, TAGGED culprit)
{
  switch (code) {
  case QXIO_E_SEEK_ERROR: save_error(0x506, "", culprit); return;
  case QXIO_E_FILE_NOT_FOUND: save_error(0x504, "", culprit); return;
  case QXIO_E_FILE_ACCESS:
  case QXIO_E_FILE_EXISTS:
  case QXIO_E_PERMISSION_ERROR: save_error(output_variant ? 0x406 : 0x306, "", culprit); return;
  case QXIO_E_INTERRUPTED: save_error(5, "interrupted", culprit); return;
  case QXIO_E_INTERNAL_ERROR: save_error(5, "internal error", culprit); return;
  default: {
    const char *name = qxio_error_name(code);
    save_error(5, name ? name : "QXIO_E_ERROR", culprit);
  }
  }
}

int raise_qxio_error(int code, bool output_variant, const char *predicate_name, int arity,
                     int argument)
{
  TAGGED culprit = argument >= 1 && argument <= arity ? qx_w->term[argument - 1] : 0;
  save_qxio_error(code, output_variant, culprit);
  return raise_error(atom_prolog, init_atom_check(predicate_name, 0), arity, argument);
}

int qx_register_position_record(int32_t handle, int32_t *words)
{
  if (!words) return 0;
  for (position_record &r : position_records)
    if (r.handle == handle) {
      r.words = words;
      return 1;
    }
  position_records.push_back({handle, words});
  return 1;
}

void qx_unregister_position_record(int32_t handle)
{
  for (size_t i = 0; i < position_records.size(); i++)
    if (position_records[i].handle == handle) {
      position_records.erase(position_records.begin() + (long)i);
      return;
    }
}

const qx_pred_row qx_bi_streams_rows[] = {
    {"$open", prolog_open, 5, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$close", prolog_close, 2, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$open_null", prolog_open_null, 1, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$flush_output", prolog_flush_output2, 2, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$get_code", prolog_get_code3, 3, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$peek_code", prolog_peek_code3, 3, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$get_byte", prolog_get_byte3, 3, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$peek_byte", prolog_peek_byte3, 3, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$skip_code", prolog_skip_code3, 3, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$skip_byte", prolog_skip_byte3, 3, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$unget_code", prolog_unget_code3, 3, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$unget_byte", prolog_unget_byte3, 3, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$end_of_stream", prolog_end_of_stream2, 2, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$put_code", prolog_put_code3, 3, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$put_byte", prolog_put_byte3, 3, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$nl", prolog_nl2, 2, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$tab", prolog_tab2, 2, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$input", prolog_input, 2, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$output", prolog_output, 2, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$stdinput", prolog_stdinput, 2, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$stdoutput", prolog_stdoutput, 2, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$stderror", prolog_stderror, 2, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$stream_code", prolog_stream_code, 2, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$stream_flags", prolog_stream_flags, 2, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$set_stream_flags", prolog_set_stream_flags, 2, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$stream_properties", prolog_stream_properties, 4, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$stream_count", prolog_stream_count, 4, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$stream_offset", prolog_stream_offset, 2, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$stream_set_line_count", prolog_stream_set_line_count, 2, BUILTIN_DET, QX_MOD_PROLOG,
     nullptr},
    {"$seek", prolog_seek, 4, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$set_stream_position", prolog_set_stream_position, 5, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$save_stream_position", prolog_save_stream_position, 5, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$next_stream", prolog_next_stream, 5, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$qxio_error_name", prolog_qxio_error_name, 2, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$errprintf", prolog_errprintf1, 1, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"close_cleanup", prolog_close_cleanup, 2, ENTER_C, QX_MOD_PROLOG, nullptr},
    {nullptr, nullptr, 0, 0, 0, nullptr},
};
