/* State shared by the runtime instances of one process, loading further instances, and the
 * recursive mutexes offered to native code. */
#include <dlfcn.h>
#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "orvalis.h"
#include "qxio.h"

struct QX_multi_qx_state {
  size_t refcount;
  pthread_mutex_t mutex; /* recursive */
  int runtimes_loaded;
  void *reserved;
};

namespace {

/* This instance's view: the shared state once adopted or created. */
QX_multi_qx_state *multi_qx;
int multi_qx_inited;
pthread_mutex_t init_mutex = PTHREAD_MUTEX_INITIALIZER;

bool init_recursive(pthread_mutex_t *m)
{
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) return false;
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  bool ok = pthread_mutex_init(m, &attr) == 0;
  pthread_mutexattr_destroy(&attr);
  return ok;
}

/* Creates and publishes the shared state unless the instance has one; false when it cannot. */
bool ensure_state()
{
  pthread_mutex_lock(&init_mutex);
  bool ok = true;
  if (multi_qx_inited == 0) {
    QX_multi_qx_state *s = (QX_multi_qx_state *)std::malloc(sizeof *s);
    if (!s || !init_recursive(&s->mutex)) {
      std::free(s);
      ok = false;
    } else {
      s->refcount = 1;
      s->runtimes_loaded = 1;
      s->reserved = nullptr;
      multi_qx = s;
      multi_qx_inited++;
    }
  }
  pthread_mutex_unlock(&init_mutex);
  return ok;
}

/* Opens instance n's library beside the engine's code: n with *get and *handle, or -1. */
int load_orvalis_run_time(int n, QX_get_dispatch_fn *get, void **handle)
{
  Dl_info info;
  if (!dladdr((void *)&QX_get_dispatch_40102, &info) || !info.dli_fname) return -1;
  const char *slash = std::strrchr(info.dli_fname, '/');
  size_t dir = slash ? (size_t)(slash - info.dli_fname) + 1 : 0;
  char path[4096];
  int len = std::snprintf(path, sizeof path, "%.*slibqxrt4-1-2-instance-%02X.so", (int)dir,
                          info.dli_fname, (unsigned)(n + 1) & 0xFF);
  if (len < 0 || (size_t)len >= sizeof path) return -1;
  void *lib = dlopen(path, RTLD_NOW);
  if (!lib) return -1;
  void *sym = dlsym(lib, "QX_get_dispatch_40102");
  if (!sym) {
    dlclose(lib);
    return -1;
  }
  *get = (QX_get_dispatch_fn)sym;
  *handle = lib;
  return n;
}

}  // namespace

int multi_qx_init(void) { return ensure_state() ? 1 : 0; }

int QX_set_multi_qx_state(QX_multi_qx_state *state)
{
  pthread_mutex_lock(&init_mutex);
  int adopt = ++multi_qx_inited == 1 && state;
  if (adopt) {
    pthread_mutex_lock(&state->mutex);
    state->refcount++;
    pthread_mutex_unlock(&state->mutex);
    multi_qx = state;
  }
  pthread_mutex_unlock(&init_mutex);
  return adopt;
}

int QX_load_orvalis_run_time(QX_get_dispatch_fn *get_dispatch, void **handle)
{
  pthread_mutex_lock(&init_mutex);
  QX_multi_qx_state *s = multi_qx;
  pthread_mutex_unlock(&init_mutex);
  if (!s) {
    /* The first caller gets the instance it is talking to. */
    if (!ensure_state()) return -1;
    pthread_mutex_lock(&multi_qx->mutex);
    if (handle) *handle = nullptr;
    if (get_dispatch) *get_dispatch = &QX_get_dispatch_40102;
    pthread_mutex_unlock(&multi_qx->mutex);
    return 1;
  }
  pthread_mutex_lock(&s->mutex);
  QX_get_dispatch_fn get = nullptr;
  void *lib = nullptr;
  int result = -1;
  if (load_orvalis_run_time(s->runtimes_loaded, &get, &lib) >= 0) {
    s->runtimes_loaded++;
    ORVALIS_API_STRUCT *api = get(nullptr);
    typedef int (*set_state_fn)(QX_multi_qx_state *);
    set_state_fn set_state = api && api->dispatch_API_ORVALIS_H
                                 ? (set_state_fn)api->dispatch_API_ORVALIS_H->slot[150].fn
                                 : nullptr;
    if (set_state && set_state(s)) {
      if (handle) *handle = lib;
      if (get_dispatch) *get_dispatch = get;
      result = 1;
    } else {
      dlclose(lib); /* it did not join: nothing refers to it */
    }
  }
  pthread_mutex_unlock(&s->mutex);
  return result;
}

/* ---- API mutexes ---- */

namespace {

/* m's mutex, looked at under the shared mutex and made when create asks for it; null (error 16)
 * when it has none. */
pthread_mutex_t *api_mutex(QX_mutex *m, bool create)
{
  pthread_mutex_t *mutex = nullptr;
  if (ensure_state()) {
    pthread_mutex_lock(&multi_qx->mutex);
    mutex = (pthread_mutex_t *)*m;
    if (!mutex && create) {
      mutex = (pthread_mutex_t *)qxio_allocator_alloc(sizeof(pthread_mutex_t));
      if (mutex && !init_recursive(mutex)) {
        qxio_allocator_free(mutex);
        mutex = nullptr;
      }
      *m = mutex;
    }
    pthread_mutex_unlock(&multi_qx->mutex);
  }
  if (!mutex) qx_set_errno(QX_ERR_UNKNOWN);
  return mutex;
}

}  // namespace

/* The shared mutex is released before m's is waited for. */
int QX_mutex_lock(QX_mutex *m)
{
  pthread_mutex_t *mutex = api_mutex(m, true);
  return mutex && pthread_mutex_lock(mutex) == 0;
}

int QX_mutex_unlock(QX_mutex *m)
{
  pthread_mutex_t *mutex = api_mutex(m, false);
  return mutex && pthread_mutex_unlock(mutex) == 0;
}

int QX_mutex_destroy(QX_mutex *m)
{
  pthread_mutex_t *mutex = (pthread_mutex_t *)*m;
  if (mutex) {
    pthread_mutex_destroy(mutex);
    qxio_allocator_free(mutex);
    *m = nullptr;
  }
  return 1;
}
