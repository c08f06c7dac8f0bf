/* An intrusive first-in first-out queue carrying requests between a stream's thread and the
   worker threads of a device. Entries are links embedded in the queued records; the queue never
   allocates or frees them. */
#include <pthread.h>

#include "qxio_internal.h"

qxio_t_queue_signal_fun qxio_queue_signal = qxio_cond_var_signal;

namespace {

/* The count is also read without the lock (qxio_queue_size), so it is kept atomically. */
void set_size(qxio_t_queue *queue, size_t size)
{
  __atomic_store_n(&queue->size, size, __ATOMIC_RELAXED);
}

/* Waits, with the queue's mutex held, until the queue has an entry. The wait is a
   cancellation point: a cancelled waiter releases the mutex on its way out. */
qxio_t_error_code wait_not_empty(qxio_t_queue *queue)
{
  qxio_t_error_code rc = QXIO_S_NOERR;
  qxio_t_mutex *held = queue->mutex;
  pthread_cleanup_push(qxio_mutex_unlock_cleanup, &held);
  while (queue->next == nullptr && rc >= 0)
    rc = qxio_cond_var_wait(queue->not_empty_cond, queue->mutex);
  pthread_cleanup_pop(0);
  return rc;
}

/* Common part of the two gets: lock unless the caller holds the mutex, check the options,
   wait or fail on an empty queue. On success the mutex is held. */
qxio_t_error_code lock_nonempty(qxio_t_queue *queue, uint32_t options, bool caller_holds)
{
  if ((options & QXIO_QUEUE_WAIT) && queue->not_empty_cond == nullptr)
    return QXIO_E_PARAMETER_ERROR;
  qxio_t_error_code rc = caller_holds ? QXIO_S_NOERR : qxio_mutex_lock(queue->mutex);
  if (rc < 0) return rc;
  if (queue->next == nullptr) {
    rc = (options & QXIO_QUEUE_WAIT) ? wait_not_empty(queue) : QXIO_E_NOT_FOUND;
    if (rc < 0) {
      if (!caller_holds) qxio_mutex_unlock(queue->mutex);
      return rc;
    }
  }
  return QXIO_S_NOERR;
}

}  // namespace

qxio_t_error_code qxio_queue_new(qxio_t_queue **queue_out, uint32_t options)
{
  qxio_t_queue *queue = static_cast<qxio_t_queue *>(qxio_alloc(sizeof(qxio_t_queue)));
  if (queue == nullptr) return QXIO_E_OUT_OF_MEMORY;
  queue->next = nullptr;
  queue->tail = nullptr;
  queue->mutex = nullptr;
  queue->not_empty_cond = nullptr;
  queue->size = 0;
  qxio_t_error_code rc = QXIO_S_NOERR;
  if (options & QXIO_QUEUE_NEW_MUTEX) rc = qxio_mutex_new(&queue->mutex, 0);
  if (rc >= 0 && (options & QXIO_QUEUE_NEW_COND)) rc = qxio_cond_var_new(&queue->not_empty_cond, 0);
  if (rc < 0) {
    qxio_queue_free(queue);
    return rc;
  }
  *queue_out = queue;
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_queue_free(qxio_t_queue *queue)
{
  if (queue == nullptr) return QXIO_S_NOERR;
  qxio_cond_var_free(queue->not_empty_cond);
  qxio_mutex_free(queue->mutex);
  qxio_free(queue);
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_queue_lock(qxio_t_queue *queue) { return qxio_mutex_lock(queue->mutex); }

qxio_t_error_code qxio_queue_unlock(qxio_t_queue *queue) { return qxio_mutex_unlock(queue->mutex); }

void qxio_queue_unlock_cleanup(void *queue_slot)
{
  qxio_t_queue **slot = static_cast<qxio_t_queue **>(queue_slot);
  if (slot == nullptr || *slot == nullptr) return;
  qxio_t_queue *queue = *slot;
  *slot = nullptr;
  qxio_queue_unlock(queue);
}

size_t qxio_queue_size(const qxio_t_queue *queue)
{
  return __atomic_load_n(&queue->size, __ATOMIC_RELAXED);
}

/* The condition is signalled before the entry is linked (both under the mutex, so no waiter
   can tell the order): when the signal fails the queue is left exactly as it was, and the
   caller, told of the failure, still owns its entry. */
qxio_t_error_code qxio_queue_put_last(qxio_t_queue *queue, qxio_t_queue_entry *entry,
                                      uint32_t options)
{
  bool caller_holds = options & QXIO_QUEUE_LOCKED;
  qxio_t_error_code rc = caller_holds ? QXIO_S_NOERR : qxio_mutex_lock(queue->mutex);
  if (rc < 0) return rc;
  if (queue->not_empty_cond != nullptr)
    rc = qxio_queue_signal(queue->not_empty_cond, queue->mutex, 0);
  if (rc >= 0) {
    entry->next = nullptr;
    if (queue->tail != nullptr)
      queue->tail->next = entry;
    else
      queue->next = entry;
    queue->tail = entry;
    set_size(queue, queue->size + 1);
  }
  if (!caller_holds) qxio_mutex_unlock(queue->mutex);
  return rc < 0 ? rc : QXIO_S_NOERR;
}

qxio_t_error_code qxio_queue_get_first(qxio_t_queue *queue, qxio_t_queue_entry **entry_out,
                                       uint32_t options)
{
  qxio_t_error_code rc = lock_nonempty(queue, options, false);
  if (rc < 0) return rc;
  qxio_t_queue_entry *entry = queue->next;
  if (!(options & QXIO_QUEUE_PEEK)) {
    queue->next = entry->next;
    if (queue->next == nullptr) queue->tail = nullptr;
    entry->next = nullptr;
    set_size(queue, queue->size - 1);
  }
  qxio_mutex_unlock(queue->mutex);
  if (entry_out != nullptr) *entry_out = entry;
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_queue_get_last(qxio_t_queue *queue, qxio_t_queue_entry **entry_out,
                                      uint32_t options)
{
  bool caller_holds = options & QXIO_QUEUE_GET_LOCKED;
  qxio_t_error_code rc = lock_nonempty(queue, options, caller_holds);
  if (rc < 0) return rc;
  qxio_t_queue_entry *entry = queue->tail;
  if (!(options & QXIO_QUEUE_PEEK)) {
    qxio_t_queue_entry *before = nullptr;
    for (qxio_t_queue_entry *e = queue->next; e != entry; e = e->next) before = e;
    if (before != nullptr)
      before->next = nullptr;
    else
      queue->next = nullptr;
    queue->tail = before;
    set_size(queue, queue->size - 1);
  }
  if (!caller_holds) qxio_mutex_unlock(queue->mutex);
  if (entry_out != nullptr) *entry_out = entry;
  return QXIO_S_NOERR;
}
