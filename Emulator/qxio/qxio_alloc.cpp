/* The allocator hook through which all memory of the library comes, and the default hook
   over the system allocator that counts its calls. */
#include <stdlib.h>
#include <string.h>

#include "qxio_internal.h"

namespace {

/* Counters are bumped atomically: worker threads allocate too. */
void *default_hook(void *cookie, void *pointer, size_t size)
{
  qxio_t_allocator_counts *counts = static_cast<qxio_t_allocator_counts *>(cookie);
  __atomic_fetch_add(&counts->calls, 1, __ATOMIC_RELAXED);
  if (pointer == nullptr) {
    if (size == 0) return nullptr;
    __atomic_fetch_add(&counts->allocations, 1, __ATOMIC_RELAXED);
    return malloc(size);
  }
  if (size == 0) {
    __atomic_fetch_add(&counts->frees, 1, __ATOMIC_RELAXED);
    free(pointer);
    return nullptr;
  }
  return realloc(pointer, size);
}

qxio_t_allocator_counts default_counts;
qxio_t_allocator_hook current_hook = default_hook;
void *current_cookie = &default_counts;

}  // namespace

qxio_t_error_code qxio_init_allocator(qxio_t_allocator_hook hook, void *cookie, uint32_t options)
{
  if (hook == nullptr) {
    current_hook = default_hook;
    current_cookie = &default_counts;
  } else {
    current_hook = hook;
    current_cookie = cookie;
  }
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_deinit_allocator(void) { return QXIO_S_NOERR; }

void qxio_allocator_default_counts(qxio_t_allocator_counts *counts_out)
{
  counts_out->calls = __atomic_load_n(&default_counts.calls, __ATOMIC_RELAXED);
  counts_out->allocations = __atomic_load_n(&default_counts.allocations, __ATOMIC_RELAXED);
  counts_out->frees = __atomic_load_n(&default_counts.frees, __ATOMIC_RELAXED);
}

/* Size 0 is made 1 so that an allocation never gets the "freed" answer. */
void *qxio_allocator_alloc(size_t size)
{
  return current_hook(current_cookie, nullptr, size == 0 ? 1 : size);
}

/* Size 0 is made 1 so that resizing never frees. */
void *qxio_allocator_realloc(void *pointer, size_t size)
{
  return current_hook(current_cookie, pointer, size == 0 ? 1 : size);
}

void qxio_allocator_free(void *pointer)
{
  if (pointer != nullptr) current_hook(current_cookie, pointer, 0);
}

void *qxio_alloc(size_t size) { return qxio_allocator_alloc(size); }

void *qxio_realloc(void *pointer, size_t size) { return qxio_allocator_realloc(pointer, size); }

void qxio_free(void *pointer) { qxio_allocator_free(pointer); }

char *qxio_alloc_string(const char *text)
{
  size_t size = strlen(text) + 1;
  char *copy = static_cast<char *>(qxio_alloc(size));
  if (copy != nullptr) memcpy(copy, text, size);
  return copy;
}
