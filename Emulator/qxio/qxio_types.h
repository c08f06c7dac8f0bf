/* Public types of the I/O library. */
#ifndef QXIO_TYPES_H
#define QXIO_TYPES_H

#include <stddef.h>
#include <stdint.h>

#include "qxio_errors.h"

/* ---- allocator hook ---- */

/* (cookie, pointer, size): null pointer and a size allocates, pointer and size resizes,
   pointer and size 0 frees and answers null. */
typedef void *(*qxio_t_allocator_hook)(void *cookie, void *pointer, size_t size);

/* Counters kept by the default allocator in its cookie. */
typedef struct qxio_t_allocator_counts {
  size_t calls;       /* every call of the hook */
  size_t allocations; /* calls with a null pointer and a size */
  size_t frees;       /* calls with a pointer and size 0 */
} qxio_t_allocator_counts;

/* ---- time ---- */

/* Time-outs and intervals of the library (seconds and nanoseconds). */
typedef struct qxio_t_timespec {
  int64_t sec; /* 64-bit in every build, so that a clock reading or deadline past 2038 fits */
  long nsec;
} qxio_t_timespec;

/* ---- buffers ---- */

typedef struct qxio_t_buf {
  unsigned char *buf;   /* the bytes */
  size_t extent;        /* bytes in use, from the start */
  size_t writable_size; /* capacity of the storage, a multiple of 4 */
  uint32_t flags;       /* QXIO_BUF_FLAG_... */
  uint32_t pad;
} qxio_t_buf;

#define QXIO_BUF_FLAG_FREED 0x1u
#define QXIO_BUF_FLAG_STORAGE_NOT_OWNED 0x2u
#define QXIO_BUF_FLAG_RECORD_NOT_OWNED 0x4u
#define QXIO_BUF_FLAG_FIXED 0x8u

/* Options of qxio_buf_alloc. */
#define QXIO_BUF_ALLOC_NO_ROOM 0x2u /* record the capacity as 0 */
#define QXIO_BUF_ALLOC_COPY 0x4u    /* copy the given bytes into owned storage */
#define QXIO_BUF_ALLOC_FIXED 0x8u   /* set QXIO_BUF_FLAG_FIXED */

/* ---- variants, argument lists, hash table ---- */

typedef enum qxio_t_variant_type {
  QXIO_VARIANT_ILLEGAL = 0,
  QXIO_VARIANT_END = 1,
  QXIO_VARIANT_STRING = 2,
  QXIO_VARIANT_POINTER = 3,
  QXIO_VARIANT_FLAGS = 4,
  QXIO_VARIANT_INT = 5,
  QXIO_VARIANT_INT64 = 6,
  QXIO_VARIANT_FIRST_UNUSED = 7
} qxio_t_variant_type;

#define QXIO_VARIANT_TYPE_MASK 0x7u
#define QXIO_VARIANT_FLAG_ALLOCATED 0x8u  /* the record is freed with its value */
#define QXIO_VARIANT_FLAG_NOT_OWNED 0x10u /* the string value is never freed */

typedef struct qxio_t_variant {
  uint32_t flags; /* type in bits 0 to 2, QXIO_VARIANT_FLAG_... above */
  union {
    const char *string;
    void *pointer;
    uint32_t flags;
    int32_t integer;
    int64_t int64;
  } u;
} qxio_t_variant;

/* A key/value entry of an argument list. */
typedef struct qxio_t_property {
  const char *key;
  qxio_t_variant v;
} qxio_t_property;

/* An argument list: properties up to one whose variant type is QXIO_VARIANT_END. */
typedef qxio_t_property qxio_t_arglist;

/* Builders for argument-list entries; strings are not owned by the list. */
inline qxio_t_property qxio_arg_string(const char *key, const char *value)
{
  qxio_t_property p = {key, {QXIO_VARIANT_STRING | QXIO_VARIANT_FLAG_NOT_OWNED, {}}};
  p.v.u.string = value;
  return p;
}
inline qxio_t_property qxio_arg_pointer(const char *key, void *value)
{
  qxio_t_property p = {key, {QXIO_VARIANT_POINTER, {}}};
  p.v.u.pointer = value;
  return p;
}
inline qxio_t_property qxio_arg_int(const char *key, int32_t value)
{
  qxio_t_property p = {key, {QXIO_VARIANT_INT, {}}};
  p.v.u.integer = value;
  return p;
}
inline qxio_t_property qxio_arg_end(void)
{
  qxio_t_property p = {nullptr, {QXIO_VARIANT_END, {}}};
  return p;
}

typedef struct qxio_t_hash_link {
  uint64_t hash;
  qxio_t_variant key;
  qxio_t_variant value;
  struct qxio_t_hash_link *next;
} qxio_t_hash_link;

typedef struct qxio_t_hash {
  size_t nentries;
  size_t nlinks; /* number of chains, always 13 */
  qxio_t_hash_link **links;
} qxio_t_hash;

/* Callback of qxio_hash_map; a negative result stops the walk. */
typedef qxio_t_error_code (*qxio_t_hash_map_fun)(const qxio_t_variant *key, qxio_t_variant *value,
                                                 void *data);

/* ---- tasks, mutexes, condition variables, events, layers (records defined with their families) ---- */

typedef struct qxio_t_mutex qxio_t_mutex;
typedef struct qxio_t_cond_var qxio_t_cond_var;
typedef struct qxio_t_task qxio_t_task;
typedef struct qxio_t_event qxio_t_event;
typedef struct qxio_t_layer qxio_t_layer;
typedef struct qxio_t_funcs qxio_t_funcs;

/* ---- request queue ---- */

/* Link embedded in a queued record; the owner finds its record from the link's place in it. */
typedef struct qxio_t_queue_entry {
  struct qxio_t_queue_entry *next; /* null at the tail */
} qxio_t_queue_entry;

typedef struct qxio_t_queue {
  qxio_t_queue_entry *next; /* head */
  qxio_t_queue_entry *tail;
  qxio_t_mutex *mutex;             /* optional */
  qxio_t_cond_var *not_empty_cond; /* optional, signalled on every append */
  size_t size;                     /* number of entries */
} qxio_t_queue;

#define QXIO_QUEUE_NEW_MUTEX 0x1u  /* qxio_queue_new: own mutex */
#define QXIO_QUEUE_NEW_COND 0x2u   /* qxio_queue_new: own not-empty condition */
#define QXIO_QUEUE_LOCKED 0x1u     /* qxio_queue_put_last: caller holds the mutex */
#define QXIO_QUEUE_PEEK 0x1u       /* get: leave the entry queued */
#define QXIO_QUEUE_WAIT 0x2u       /* get: wait until the queue is not empty */
#define QXIO_QUEUE_GET_LOCKED 0x4u /* qxio_queue_get_last: caller holds the mutex */

#endif
