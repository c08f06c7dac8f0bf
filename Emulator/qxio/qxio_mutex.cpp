/* Mutexes and condition variables: thin wrappers over the POSIX ones that answer the
   library's error codes and take relative or absolute time-outs. */
#include <errno.h>
#include <pthread.h>
#include <time.h>

#include "qxio_internal.h"

struct qxio_t_mutex {
  pthread_mutex_t pthread_mutex;
};

struct qxio_t_cond_var {
  pthread_cond_t pthread_cond_var;
};

namespace {

const long NSEC_PER_SEC = 1000000000L;
const long NSEC_PER_MSEC = 1000000L;

qxio_t_error_code map_pthread_error(int error)
{
  return error == 0 ? QXIO_S_NOERR : qxio_map_unix_error(error, QXIO_E_OS_ERROR);
}

}  // namespace

qxio_t_error_code qxio_mutex_new(qxio_t_mutex **mutex_out, uint32_t options)
{
  *mutex_out = nullptr;
  qxio_t_mutex *mutex = static_cast<qxio_t_mutex *>(qxio_alloc(sizeof(qxio_t_mutex)));
  if (mutex == nullptr) return QXIO_E_OUT_OF_MEMORY;
  int error = pthread_mutex_init(&mutex->pthread_mutex, nullptr);
  if (error != 0) {
    qxio_free(mutex);
    return map_pthread_error(error);
  }
  *mutex_out = mutex;
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_mutex_free(qxio_t_mutex *mutex)
{
  if (mutex == nullptr) return QXIO_S_NOERR;
  int error = pthread_mutex_destroy(&mutex->pthread_mutex);
  qxio_free(mutex);
  return map_pthread_error(error);
}

qxio_t_error_code qxio_mutex_lock(qxio_t_mutex *mutex)
{
  if (mutex == nullptr) return QXIO_S_NOERR;
  return map_pthread_error(pthread_mutex_lock(&mutex->pthread_mutex));
}

qxio_t_error_code qxio_mutex_unlock(qxio_t_mutex *mutex)
{
  if (mutex == nullptr) return QXIO_S_NOERR;
  return map_pthread_error(pthread_mutex_unlock(&mutex->pthread_mutex));
}

void qxio_mutex_unlock_cleanup(void *mutex_slot)
{
  qxio_t_mutex **slot = static_cast<qxio_t_mutex **>(mutex_slot);
  if (slot == nullptr || *slot == nullptr) return;
  qxio_t_mutex *mutex = *slot;
  *slot = nullptr;
  qxio_mutex_unlock(mutex);
}

qxio_t_error_code qxio_mutex_debug_is_locked_by_other(qxio_t_mutex *mutex)
{
  if (mutex == nullptr) return QXIO_E_PARAMETER_ERROR;
  int error = pthread_mutex_trylock(&mutex->pthread_mutex);
  if (error == EBUSY) return 1;
  if (error != 0) return map_pthread_error(error);
  pthread_mutex_unlock(&mutex->pthread_mutex);
  return 0;
}

qxio_t_error_code qxio_mutex_debug_is_unlocked(qxio_t_mutex *mutex)
{
  qxio_t_error_code locked = qxio_mutex_debug_is_locked_by_other(mutex);
  if (locked < 0) return locked;
  return locked ? 0 : 1;
}

qxio_t_error_code qxio_cond_var_new(qxio_t_cond_var **cond_out, uint32_t options)
{
  *cond_out = nullptr;
  qxio_t_cond_var *cond = static_cast<qxio_t_cond_var *>(qxio_alloc(sizeof(qxio_t_cond_var)));
  if (cond == nullptr) return QXIO_E_OUT_OF_MEMORY;
  int error = pthread_cond_init(&cond->pthread_cond_var, nullptr);
  if (error != 0) {
    qxio_free(cond);
    return map_pthread_error(error);
  }
  *cond_out = cond;
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_cond_var_free(qxio_t_cond_var *cond)
{
  if (cond == nullptr) return QXIO_S_NOERR;
  int error = pthread_cond_destroy(&cond->pthread_cond_var);
  qxio_free(cond);
  return map_pthread_error(error);
}

qxio_t_error_code qxio_cond_var_wait(qxio_t_cond_var *cond, qxio_t_mutex *mutex)
{
  return map_pthread_error(pthread_cond_wait(&cond->pthread_cond_var, &mutex->pthread_mutex));
}

qxio_t_error_code qxio_cond_var_now(qxio_t_timespec *time_out)
{
  struct timespec now;
  if (clock_gettime(CLOCK_REALTIME, &now) != 0) return map_pthread_error(errno);
  time_out->sec = now.tv_sec;
  time_out->nsec = now.tv_nsec;
  return QXIO_S_NOERR;
}

/* The deadline of a timed wait: a time-out below a day is relative, with its nanoseconds rounded
   up to whole milliseconds, and is measured on the monotonic clock so that a step or slew of the
   real-time clock never ends it early; a larger one is an absolute real-time deadline. */
namespace {

qxio_t_error_code deadline_from_timeout(const qxio_t_timespec *timeout, clockid_t *clock,
                                        struct timespec *deadline)
{
  if (timeout->sec < 0 || timeout->nsec < 0 || timeout->nsec >= NSEC_PER_SEC)
    return QXIO_E_PARAMETER_ERROR;
  if (timeout->sec >= QXIO_ABSOLUTE_TIME_MIN) {
    *clock = CLOCK_REALTIME;
    deadline->tv_sec = timeout->sec;
    deadline->tv_nsec = timeout->nsec;
    return QXIO_S_NOERR;
  }
  *clock = CLOCK_MONOTONIC;
  if (clock_gettime(CLOCK_MONOTONIC, deadline) != 0) return map_pthread_error(errno);
  long msec = (timeout->nsec + NSEC_PER_MSEC - 1) / NSEC_PER_MSEC;
  deadline->tv_sec += timeout->sec + msec / 1000;
  deadline->tv_nsec += (msec % 1000) * NSEC_PER_MSEC;
  if (deadline->tv_nsec >= NSEC_PER_SEC) {
    deadline->tv_sec += 1;
    deadline->tv_nsec -= NSEC_PER_SEC;
  }
  return QXIO_S_NOERR;
}

}  // namespace

qxio_t_error_code qxio_cond_var_timedwait(qxio_t_cond_var *cond, qxio_t_mutex *mutex,
                                          const qxio_t_timespec *timeout)
{
  if (timeout == nullptr) return qxio_cond_var_wait(cond, mutex);
  clockid_t clock;
  struct timespec deadline;
  qxio_t_error_code rc = deadline_from_timeout(timeout, &clock, &deadline);
  if (rc < 0) return rc;
  int error = pthread_cond_clockwait(&cond->pthread_cond_var, &mutex->pthread_mutex, clock,
                                     &deadline);
  if (error == ETIMEDOUT) return QXIO_E_TIMEOUT;
  return map_pthread_error(error);
}

qxio_t_error_code qxio_cond_var_signal(qxio_t_cond_var *cond, qxio_t_mutex *mutex, uint32_t options)
{
  int error = (options & QXIO_COND_VAR_BROADCAST) ? pthread_cond_broadcast(&cond->pthread_cond_var)
                                                  : pthread_cond_signal(&cond->pthread_cond_var);
  return map_pthread_error(error);
}

qxio_t_error_code qxio_init_module_cond_var(uint32_t deinit) { return QXIO_S_NOERR; }
