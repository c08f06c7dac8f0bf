/* Waiting on streams: QX_select over descriptors and Prolog streams, the idle hooks that run
 * while an interactive read waits, the listeners told about input and closes, $select/10, and
 * the notifier that the engine's signal handler calls.
 *
 * A stream is ready when a read or a flush would make progress now: buffered input, end of
 * stream or an error all count, since the caller's next operation returns at once. Events only
 * say that something may have arrived; each wake-up is checked by polling the stream again, and
 * a wake-up that left nothing ready waits again for what is left of the time-out.
 */
#include <time.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "atoms.h"
#include "builtins.h"
#include "errors.h"
#include "numbers.h"
#include "objareas.h"
#include "orvalis.h"
#include "streams.h"
#include "unify.h"

namespace {

/* ---- idle hooks ---- */

struct qx_t_idle_hook_entry_ {
  QX_IdleHook hook;
  void *cookie;
};

qx_t_idle_hook_entry_ *idle_hooks; /* ended by a pair of zeros; null when there are none */
unsigned idle_hooks_modified;

size_t idle_hook_count()
{
  size_t n = 0;
  while (idle_hooks && idle_hooks[n].hook) n++;
  return n;
}

/* Resizes the block to n entries plus the terminator (frees it for none). */
int resize_idle_hooks(size_t n)
{
  if (n == 0) {
    qxio_free(idle_hooks);
    idle_hooks = nullptr;
    return 0;
  }
  void *block = qxio_realloc(idle_hooks, (n + 1) * sizeof(qx_t_idle_hook_entry_));
  if (!block) return QXIO_E_OUT_OF_MEMORY;
  idle_hooks = (qx_t_idle_hook_entry_ *)block;
  idle_hooks[n] = {nullptr, nullptr};
  return 0;
}

/* Passes of a busy idle loop before the read is tried again. */
constexpr int BUSY_PASSES = 10;

/* ---- stream event listeners ---- */

struct qx_t_stream_event_listener_link_ {
  qx_t_stream_event_listener_link_ *next;
  qx_stream_event_listener listener;
  void *cookie; /* 0: removed, freed at the next close */
};

qx_t_stream_event_listener_link_ *stream_event_listeners;

/* ---- polling ---- */

bool is_text(const QX_stream *s) { return s->flags & QX_SF_TEXT; }

/* The ready state of each entry; waits on the rest. */
struct select_set {
  std::vector<int> read_fds, write_fds;
  std::vector<QX_stream *> read_streams, write_streams;
};

/* Polls each stream of from, marking those ready now; answers QXIO_E_INTERRUPTED or 0. */
int poll_streams(const std::vector<QX_stream *> &from, std::vector<char> *ready, bool write,
                 bool *any)
{
  for (size_t i = 0; i < from.size(); i++) {
    if (!from[i] || (*ready)[i]) continue;
    int rc = write ? poll_write_stream(from[i]) : poll_read_stream(from[i]);
    if (rc == QXIO_E_INTERRUPTED) return rc;
    if (rc != QXIO_E_WOULD_BLOCK) (*ready)[i] = 1, *any = true;
  }
  return 0;
}

/* The streams of from not marked ready (null for the others). */
std::vector<QX_stream *> not_ready(const std::vector<QX_stream *> &from,
                                   const std::vector<char> &ready)
{
  std::vector<QX_stream *> out(from);
  for (size_t i = 0; i < out.size(); i++)
    if (ready[i]) out[i] = nullptr;
  return out;
}

int64_t now_ns()
{
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

size_t count_of(const size_t *n) { return n ? *n : 0; }

template <class T>
void write_back(T *array, size_t *n, const std::vector<T> &result, T none)
{
  if (!n) return;
  size_t ready = 0;
  for (size_t i = 0; i < result.size(); i++) {
    array[i] = result[i];
    if (result[i] != none) ready++;
  }
  *n = ready;
}

}  // namespace

/* ---- polling and waiting ---- */

int poll_read_stream(QX_stream *s)
{
  int rc = is_text(s) ? qx_get_code_helper(s, 0x3) : qx_get_byte_helper(s, 0x3);
  return rc == -1 ? QXIO_S_PRIVATE_ERROR_0 : rc;
}

int poll_write_stream(QX_stream *s)
{
  int rc = is_text(s) ? QX_put_codes(s, nullptr, 0, 0x1000) : QX_put_bytes(s, nullptr, 0, 0);
  if (rc < 0) return rc;
  bool room = is_text(s) ? s->pub.output_text.ptr < s->pub.output_text.limit
                         : s->pub.output_binary.ptr < s->pub.output_binary.limit;
  if (room) return 0;
  rc = flush_output_buffer(s, 0x1);
  return rc == QXIO_E_END_OF_FILE ? QXIO_S_PRIVATE_ERROR_0 : rc;
}

int qx_stream_select(int *read_fds, size_t *n_read_fds, int *write_fds, size_t *n_write_fds,
                     QX_stream **read_streams, size_t *n_read_streams, QX_stream **write_streams,
                     size_t *n_write_streams, const qxio_t_timespec *timeout, uint32_t)
{
  size_t nrf = count_of(n_read_fds), nwf = count_of(n_write_fds);
  size_t nrs = count_of(n_read_streams), nws = count_of(n_write_streams);
  std::vector<qxio_t_event *> events;
  std::vector<qxio_t_event *> owned;
  /* Which event belongs to which entry: -1 for entries without one. */
  std::vector<long> index(nrf + nwf + nrs + nws, -1);
  int rc = 0;
  auto add_fd = [&](int fd, bool write, size_t slot) {
    qxio_t_event *e = nullptr;
    int r = qxio_fd_event_new(write ? -1 : fd, write ? fd : -1, 0, &e);
    if (r < 0) return r;
    owned.push_back(e);
    index[slot] = (long)events.size();
    events.push_back(e);
    return 0;
  };
  auto add_stream = [&](QX_stream *s, bool write, size_t slot) {
    if (!s) return 0;
    qxio_t_event *e = nullptr;
    int r = !s->qxio ? QXIO_E_NOT_SUPPORTED
            : write  ? qxio_ioctl_writable_event(&s->qxio, &e, 0)
                     : qxio_ioctl_readable_event(&s->qxio, &e, 0);
    if (r < 0) return r;
    index[slot] = (long)events.size();
    events.push_back(e);
    return 0;
  };
  size_t slot = 0;
  for (size_t i = 0; rc >= 0 && i < nrf; i++) rc = add_fd(read_fds[i], false, slot++);
  for (size_t i = 0; rc >= 0 && i < nwf; i++) rc = add_fd(write_fds[i], true, slot++);
  for (size_t i = 0; rc >= 0 && i < nrs; i++) rc = add_stream(read_streams[i], false, slot++);
  for (size_t i = 0; rc >= 0 && i < nws; i++) rc = add_stream(write_streams[i], true, slot++);
  if (rc >= 0) rc = qxio_event_wait(events.data(), events.size(), timeout);
  if (rc >= 0) {
    std::vector<char> ready(events.size());
    for (size_t i = 0; i < events.size(); i++) ready[i] = qxio_event_query(events[i]) == 1;
    auto is_ready = [&](size_t k) { return index[k] >= 0 && ready[(size_t)index[k]]; };
    slot = 0;
    for (size_t i = 0; i < nrf; i++, slot++)
      if (!is_ready(slot)) read_fds[i] = -1;
    for (size_t i = 0; i < nwf; i++, slot++)
      if (!is_ready(slot)) write_fds[i] = -1;
    for (size_t i = 0; i < nrs; i++, slot++)
      if (!is_ready(slot)) read_streams[i] = nullptr;
    for (size_t i = 0; i < nws; i++, slot++)
      if (!is_ready(slot)) write_streams[i] = nullptr;
    write_back(read_fds, n_read_fds, std::vector<int>(read_fds, read_fds + nrf), -1);
    write_back(write_fds, n_write_fds, std::vector<int>(write_fds, write_fds + nwf), -1);
    write_back(read_streams, n_read_streams,
               std::vector<QX_stream *>(read_streams, read_streams + nrs), (QX_stream *)nullptr);
    write_back(write_streams, n_write_streams,
               std::vector<QX_stream *>(write_streams, write_streams + nws), (QX_stream *)nullptr);
    rc = 0;
  }
  for (qxio_t_event *e : owned) qxio_event_free(e);
  return rc;
}

int QX_select(int *read_fds, size_t *n_read_fds, int *write_fds, size_t *n_write_fds,
              QX_stream **read_streams, size_t *n_read_streams, QX_stream **write_streams,
              size_t *n_write_streams, const qxio_t_timespec *timeout, uint32_t options)
{
  size_t nrf = count_of(n_read_fds), nwf = count_of(n_write_fds);
  size_t nrs = count_of(n_read_streams), nws = count_of(n_write_streams);
  int64_t deadline = 0;
  if (timeout) deadline = now_ns() + (int64_t)timeout->sec * 1000000000 + timeout->nsec;
  const qxio_t_timespec zero = {0, 0};
  select_set out;
  for (;;) {
    std::vector<char> r_ready(nrs), w_ready(nws);
    bool any_now = false;
    int rc = poll_streams(std::vector<QX_stream *>(read_streams, read_streams + nrs), &r_ready,
                          false, &any_now);
    if (rc >= 0)
      rc = poll_streams(std::vector<QX_stream *>(write_streams, write_streams + nws), &w_ready,
                        true, &any_now);
    if (rc < 0) return rc;
    out.read_fds.assign(read_fds, read_fds + nrf);
    out.write_fds.assign(write_fds, write_fds + nwf);
    out.read_streams =
        not_ready(std::vector<QX_stream *>(read_streams, read_streams + nrs), r_ready);
    out.write_streams =
        not_ready(std::vector<QX_stream *>(write_streams, write_streams + nws), w_ready);
    /* What is left of the time-out: a wake-up that found nothing does not start it afresh. */
    qxio_t_timespec left = zero;
    int64_t remaining = timeout ? deadline - now_ns() : 0;
    if (timeout && remaining > 0)
      left = {(int64_t)(remaining / 1000000000), (long)(remaining % 1000000000)};
    bool zero_wait = any_now || (timeout && remaining <= 0);
    size_t a = nrf, b = nwf, c = nrs, d = nws;
    rc = qx_stream_select(out.read_fds.data(), &a, out.write_fds.data(), &b,
                          out.read_streams.data(), &c, out.write_streams.data(), &d,
                          zero_wait ? &zero
                          : timeout ? &left
                                    : nullptr,
                          options);
    bool any = any_now;
    if (rc == QXIO_E_TIMEOUT) {
      if (!any_now) return rc;
      for (int &fd : out.read_fds) fd = -1;
      for (int &fd : out.write_fds) fd = -1;
      std::fill(out.read_streams.begin(), out.read_streams.end(), nullptr);
      std::fill(out.write_streams.begin(), out.write_streams.end(), nullptr);
      a = b = 0;
    } else if (rc < 0) {
      return rc;
    }
    any = any || a > 0 || b > 0;
    /* The streams a wait reported: ready only when polling now finds something. */
    std::vector<char> r_woken(nrs), w_woken(nws);
    rc = poll_streams(out.read_streams, &r_woken, false, &any);
    if (rc >= 0) rc = poll_streams(out.write_streams, &w_woken, true, &any);
    if (rc < 0) return rc;
    if (any) {
      for (size_t i = 0; i < nrs; i++)
        out.read_streams[i] =
            r_ready[i] || (out.read_streams[i] && r_woken[i]) ? read_streams[i] : nullptr;
      for (size_t i = 0; i < nws; i++)
        out.write_streams[i] =
            w_ready[i] || (out.write_streams[i] && w_woken[i]) ? write_streams[i] : nullptr;
      break;
    }
    if (zero_wait) return QXIO_E_TIMEOUT;
  }
  write_back(read_fds, n_read_fds, out.read_fds, -1);
  write_back(write_fds, n_write_fds, out.write_fds, -1);
  write_back(read_streams, n_read_streams, out.read_streams, (QX_stream *)nullptr);
  write_back(write_streams, n_write_streams, out.write_streams, (QX_stream *)nullptr);
  return 0;
}

/* ---- idle hooks ---- */

int QX_install_idle_hook(QX_IdleHook hook, void *cookie, uint32_t options)
{
  if (!hook) return QXIO_E_PARAMETER_ERROR;
  size_t n = idle_hook_count();
  for (size_t i = 0; i < n; i++) {
    if (idle_hooks[i].hook != hook) continue;
    idle_hooks_modified++;
    if (!(options & QX_IDLE_REMOVE)) {
      idle_hooks[i].cookie = cookie;
      return 0;
    }
    idle_hooks[i] = idle_hooks[n - 1];
    idle_hooks[n - 1] = {nullptr, nullptr};
    resize_idle_hooks(n - 1); /* shrinking: a failure keeps the larger block */
    return 0;
  }
  if (options & QX_IDLE_REMOVE) return QXIO_E_NOT_FOUND;
  int rc = resize_idle_hooks(n + 1);
  if (rc < 0) return rc;
  idle_hooks[n] = {hook, cookie};
  idle_hooks_modified++;
  return 0;
}

bool qx_idle_hooks_exist(void) { return idle_hooks != nullptr; }

int qx_run_idle_hooks(void)
{
  if (!idle_hooks) return 0;
  for (int busy = 0; busy < BUSY_PASSES && idle_hooks;) {
    unsigned stamp = idle_hooks_modified;
    bool worked = false, changed = false;
    for (size_t i = 0; idle_hooks && idle_hooks[i].hook; i++) {
      if (idle_hooks[i].hook(idle_hooks[i].cookie)) worked = true;
      if (idle_hooks_modified != stamp) {
        changed = true;
        break;
      }
    }
    if (changed) continue;
    if (!worked) {
      const qxio_t_timespec pause = {0, 100000};
      int rc = QX_select(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         &pause, 0);
      return rc == QXIO_E_INTERRUPTED ? rc : 1;
    }
    busy++;
  }
  return 1;
}

/* ---- stream listeners ---- */

int QX_add_stream_listener(QX_stream *stream, qxio_t_event_listener listener, void *cookie,
                           uint32_t options)
{
  if (!find_stream(stream) || !(options & QX_LISTEN_INPUT) || !(stream->flags & QX_SF_INPUT) ||
      !listener)
    return QXIO_E_PARAMETER_ERROR;
  int rc = poll_read_stream(stream);
  if (rc != QXIO_E_WOULD_BLOCK) {
    rc = listener(cookie, 1);
    return rc >= 0 ? rc : 1;
  }
  qxio_t_event *event = nullptr;
  rc = stream->qxio ? qxio_ioctl_readable_event(&stream->qxio, &event, 0) : QXIO_E_NOT_SUPPORTED;
  if (rc >= 0) rc = qxio_add_event_listener(event, listener, cookie, 0);
  if (rc < 0) return rc;
  stream->flags |= QX_SF_READ_LISTENER;
  return 0;
}

void qx_drop_read_listener(QX_stream *stream)
{
  if (!(stream->flags & QX_SF_READ_LISTENER)) return;
  stream->flags &= ~QX_SF_READ_LISTENER;
  qxio_t_event *event = nullptr;
  if (stream->qxio && qxio_ioctl_readable_event(&stream->qxio, &event, 0) >= 0)
    qxio_remove_event_listener(event, nullptr, nullptr, 0);
}

void init_stream_event_listeners(void)
{
  /* Links still in the list belong to no one any more. */
  stream_event_listeners = nullptr;
}

int add_stream_event_listener(qx_stream_event_listener listener, void *cookie, uint32_t options)
{
  auto *link =
      (qx_t_stream_event_listener_link_ *)qxio_alloc(sizeof(qx_t_stream_event_listener_link_));
  if (!link) return QXIO_E_OUT_OF_MEMORY;
  *link = {nullptr, listener, cookie};
  qx_t_stream_event_listener_link_ **at = &stream_event_listeners;
  if (!(options & QX_SEL_IN_FRONT))
    while (*at) at = &(*at)->next;
  link->next = *at;
  *at = link;
  return 0;
}

int remove_stream_event_listener(void *cookie)
{
  int found = 1;
  for (auto *l = stream_event_listeners; l; l = l->next)
    if (l->cookie == cookie && l->listener) {
      l->cookie = nullptr;
      l->listener = nullptr;
      found = 2;
    }
  return found;
}

void qx_notify_stream_closed(QX_stream *stream)
{
  /* A listener may remove itself or others: those links are only marked, and freed here. */
  for (auto *l = stream_event_listeners; l; l = l->next)
    if (l->listener) l->listener(stream, l->cookie, QX_STREAM_EVENT_CLOSED);
  for (auto **at = &stream_event_listeners; *at;) {
    if ((*at)->listener) {
      at = &(*at)->next;
      continue;
    }
    auto *dead = *at;
    *at = dead->next;
    qxio_free(dead);
  }
}

void free_stream_event_listeners(void)
{
  while (auto *l = stream_event_listeners) {
    stream_event_listeners = l->next;
    if (l->listener) l->listener(nullptr, l->cookie, QX_STREAM_EVENT_RELEASED);
    qxio_free(l);
  }
}

/* Runs inside a signal handler: qxio_interrupt only records the interrupt and writes a byte to
 * a self-pipe, and the library's interrupt thread then ends the main thread's blocked wait. */
void qx_os_signal_delivered(void) { qxio_interrupt(); }

/* ---- $select/10 ---- */

namespace {

/* Elements of a list of descriptors: false when one is no integer (or the list is improper). */
bool fd_list(TAGGED list, std::vector<int> *out)
{
  TAGGED t = deref(list);
  for (; IsLst(t); t = deref(LstTail(t))) {
    int64_t v;
    if (!qx_get_int64(deref(LstHead(t)), &v) || v < INT32_MIN || v > INT32_MAX) return false;
    out->push_back((int)v);
  }
  return t == atom_nil;
}

/* Streams of a list: 0, 1 when an element is no integer or alias, -1 with the error recorded. */
int stream_list(TAGGED list, uint32_t required, std::vector<QX_stream *> *out)
{
  TAGGED t = deref(list);
  for (; IsLst(t); t = deref(LstTail(t))) {
    TAGGED e = deref(LstHead(t));
    if (!IsInteger(e) && !IsAtom(e)) return 1;
    QX_stream *s = stream_to_ptr(e, required, 0);
    if (!s) return -1;
    out->push_back(s);
  }
  return t == atom_nil ? 0 : 1;
}

/* The list of the ready entries, in input order. */
TAGGED ready_list(worker *w, const std::vector<TAGGED> &items)
{
  TAGGED list = atom_nil;
  for (size_t i = items.size(); i-- > 0;) {
    TAGGED *cell = w->global_top;
    w->global_top += 2;
    cell[0] = items[i];
    cell[1] = list;
    list = MakeLst(cell);
  }
  return list;
}

int select_result(worker *w, int code) { return cunify(w, w->term[9], MakeSmall(code)); }

}  // namespace

int prolog_select(worker *w)
{
  std::vector<int> rfds, wfds;
  std::vector<QX_stream *> rss, wss;
  TAGGED timeout_term = deref(w->term[8]);
  if (!fd_list(w->term[0], &rfds) || !fd_list(w->term[2], &wfds))
    return select_result(w, QXIO_E_PARAMETER_ERROR);
  const struct {
    int argument;
    uint32_t required;
    std::vector<QX_stream *> *out;
  } stream_args[] = {{5, QX_SM_INPUT, &rss}, {7, QX_SM_OUTPUT, &wss}};
  for (const auto &a : stream_args) {
    int rc = stream_list(w->term[a.argument - 1], a.required, a.out);
    if (rc > 0) return select_result(w, QXIO_E_PARAMETER_ERROR);
    if (rc < 0) return raise_error(atom_prolog, init_atom_check("$select", 0), 10, a.argument);
  }
  if (!IsFloat(timeout_term)) return select_result(w, QXIO_E_PARAMETER_ERROR);
  double seconds = FloatValue(timeout_term);
  qxio_t_timespec timeout = {0, 0};
  if (seconds >= 0) {
    int rc = qxio_double_to_timespec(seconds, &timeout);
    if (rc < 0) return select_result(w, rc);
    if (seconds > 0 && timeout.sec == 0 && timeout.nsec == 0) timeout.nsec = 1;
  }
  size_t n[4] = {rfds.size(), wfds.size(), rss.size(), wss.size()};
  int rc = QX_select(rfds.data(), &n[0], wfds.data(), &n[1], rss.data(), &n[2], wss.data(), &n[3],
                     seconds < 0 ? nullptr : &timeout, 0);
  call_overflow(w, (uint32_t)(5 * (n[0] + n[1] + n[2] + n[3]) + 16), 10);
  std::vector<TAGGED> lists[4];
  if (rc >= 0) {
    for (int fd : rfds)
      if (fd != -1) lists[0].push_back(MakeSmall(fd));
    for (int fd : wfds)
      if (fd != -1) lists[1].push_back(MakeSmall(fd));
    for (QX_stream *s : rss)
      if (s) lists[2].push_back(make_integer(w, (int32_t)(intptr_t)s));
    for (QX_stream *s : wss)
      if (s) lists[3].push_back(make_integer(w, (int32_t)(intptr_t)s));
  }
  const int ready_args[] = {1, 3, 5, 7};
  for (int i = 0; i < 4; i++)
    if (!cunify(w, w->term[ready_args[i]], ready_list(w, lists[i]))) return 0;
  return select_result(w, rc < 0 ? rc : 0);
}

const qx_pred_row qx_stream_select_rows[] = {
    {"$select", prolog_select, 10, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {nullptr, nullptr, 0, 0, 0, nullptr},
};
