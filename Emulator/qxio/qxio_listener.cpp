/* The event listener: at most one thread that waits on one event and calls a callback each
   time it is signalled. The record is owned by whoever starts or stops the listener; the
   listener's thread only reads it and reports that it has ended. */
#include <atomic>
#include <new>

#include "qxio_internal.h"

namespace {

struct qxio_t_listen_thread_cookie {
  qxio_t_event *wake_event;   /* set to make the thread look at quit */
  qxio_t_event *listen_event; /* the watched event (a reference is held), or null */
  qxio_t_task *task;
  std::atomic<int> quit;
  std::atomic<int> has_quit; /* set by the thread when it ends */
  qxio_t_event_listener listener;
  void *listener_data;
};

const long LISTEN_TIMEOUT_SEC = 30;

qxio_t_listen_thread_cookie *the_listener = nullptr;

void *listen_loop(qxio_t_task *task, void *arg)
{
  qxio_t_listen_thread_cookie *cookie = static_cast<qxio_t_listen_thread_cookie *>(arg);
  qxio_t_event *events[2] = {cookie->wake_event, cookie->listen_event};
  size_t count = cookie->listen_event != nullptr ? 2 : 1;
  const qxio_t_timespec timeout = {LISTEN_TIMEOUT_SEC, 0};
  for (;;) {
    qxio_t_error_code rc = qxio_event_wait(events, count, &timeout);
    qxio_event_reset(cookie->wake_event);
    if (cookie->quit.load()) break;
    if (rc > 0) {
      qxio_t_error_code answer = cookie->listener(cookie->listener_data, 0);
      if (answer < 0 || answer == QXIO_S_DONE) break;
    } else if (rc != QXIO_E_TIMEOUT && rc != QXIO_E_INTERRUPTED) {
      break;
    }
  }
  cookie->has_quit.store(1);
  return nullptr;
}

void free_cookie(qxio_t_listen_thread_cookie *cookie)
{
  qxio_event_free(cookie->wake_event);
  qxio_event_free(cookie->listen_event);
  cookie->~qxio_t_listen_thread_cookie();
  qxio_free(cookie);
}

/* Asks the thread to end and waits for it; the record is freed once the thread has said
   that it ended. */
qxio_t_error_code stop_listener(void)
{
  qxio_t_listen_thread_cookie *cookie = the_listener;
  if (cookie == nullptr) return QXIO_E_ERROR;
  cookie->quit.store(1);
  qxio_event_set(cookie->wake_event);
  if (qxio_task_is_running(cookie->task)) qxio_task_wait_end(cookie->task);
  if (!cookie->has_quit.load()) return QXIO_E_INTERNAL_ERROR;
  qxio_task_free(cookie->task);
  free_cookie(cookie);
  the_listener = nullptr;
  return QXIO_S_NOERR;
}

}  // namespace

qxio_t_error_code qxio_add_event_listener(qxio_t_event *event, qxio_t_event_listener callback,
                                          void *data, uint32_t options)
{
  if (callback == nullptr) return QXIO_E_PARAMETER_ERROR;
  if (the_listener != nullptr) {
    stop_listener();
    if (the_listener != nullptr) return QXIO_E_INTERNAL_ERROR;
  }
  void *memory = qxio_alloc(sizeof(qxio_t_listen_thread_cookie));
  if (memory == nullptr) return QXIO_E_OUT_OF_MEMORY;
  qxio_t_listen_thread_cookie *cookie = new (memory) qxio_t_listen_thread_cookie();
  cookie->listener = callback;
  cookie->listener_data = data;
  qxio_t_error_code rc = qxio_event_new(0, &cookie->wake_event);
  if (rc >= 0 && event != nullptr) {
    rc = qxio_event_add_ref(event);
    if (rc >= 0) cookie->listen_event = event;
  }
  if (rc >= 0) rc = qxio_task_create(0, listen_loop, cookie, &cookie->task);
  if (rc < 0) {
    free_cookie(cookie);
    return rc;
  }
  the_listener = cookie;
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_remove_event_listener(qxio_t_event *event, qxio_t_event_listener callback,
                                             void *data, uint32_t options)
{
  qxio_t_listen_thread_cookie *cookie = the_listener;
  if (cookie == nullptr || cookie->listen_event != event) return QXIO_S_NOERR;
  if (callback != nullptr && cookie->listener != callback) return QXIO_S_NOERR;
  if (data != nullptr && cookie->listener_data != data) return QXIO_S_NOERR;
  return stop_listener();
}

qxio_t_error_code qxio_event_listener_shutdown(void)
{
  if (the_listener == nullptr) return QXIO_S_NOERR;
  return stop_listener();
}
