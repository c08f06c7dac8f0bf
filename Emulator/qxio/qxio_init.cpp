/* Start and shutdown of the library: the modules start in a fixed order and stop in the
   reverse order. */
#include "qxio_internal.h"

namespace {

typedef qxio_t_error_code (*module_init_fun)(uint32_t deinit);

/* The start order. A module that is later in the list may use every module before it. */
const module_init_fun modules[] = {
    qxio_init_buf,
    qxio_init_debug,
    qxio_init_event,
    qxio_init_module_cond_var,
    qxio_init_thread,
    qxio_interrupt_init,
    qxio_init_char_coder,
    qxio_init_file,
    qxio_init_socket,
    qxio_init_layer_async,
    qxio_init_layer_threaddevice,
    qxio_init_layer_seek,
    qxio_init_layer_coder,
    qxio_init_standard_streams,
    qxio_init_process, /* starts the environment copy too */
};

const size_t NMODULES = sizeof modules / sizeof modules[0];

/* Stops the first count modules, last first, every one whatever the others answer: a module
   that fails to stop must not leave those below it running. Answers the first error. */
qxio_t_error_code stop_modules(size_t count)
{
  qxio_t_error_code first_error = QXIO_S_NOERR;
  while (count > 0) {
    qxio_t_error_code rc = modules[--count](1);
    if (rc < 0 && first_error == QXIO_S_NOERR) first_error = rc;
  }
  return first_error;
}

qxio_t_error_code start_library(qxio_t_allocator_hook allocator_hook, void *cookie)
{
  qxio_stream_set_skip_abortive_sync(
      qxio_get_boolean_system_property("QXIO_SKIP_ABORTIVE_SYNC", 1) == 1);
  /* without a hook, the default counting allocator */
  qxio_t_error_code rc = qxio_init_allocator(allocator_hook, cookie, 0);
  if (rc < 0) return rc;
  for (size_t i = 0; i < NMODULES; i++) {
    rc = modules[i](0);
    if (rc < 0) {
      /* Leave nothing behind a failed start: the failing module is stopped too, so that
         whatever it made before it failed is given back (every stop copes with a module
         that never started). */
      stop_modules(i + 1);
      return rc;
    }
  }
  return QXIO_S_NOERR;
}

}  // namespace

qxio_t_error_code qxio_init(qxio_t_allocator_hook allocator_hook, void *cookie, uint32_t options)
{
  if (!(options & QXIO_INIT_SHUTDOWN)) return start_library(allocator_hook, cookie);
  qxio_t_error_code rc = stop_modules(NMODULES);
  qxio_t_error_code allocator = qxio_deinit_allocator();
  return rc < 0 ? rc : allocator;
}
