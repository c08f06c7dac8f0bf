/* The portable I/O library: public operations. Every operation returns a qxio_t_error_code
   unless said otherwise; results come back through out-parameters; options come last. */
#ifndef QXIO_H
#define QXIO_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include "qxio_errors.h"
#include "qxio_types.h"

/* ---- allocator ---- */

/* Installs the process-wide allocator hook; a null hook selects the default counting one. */
qxio_t_error_code qxio_init_allocator(qxio_t_allocator_hook hook, void *cookie, uint32_t options);
qxio_t_error_code qxio_deinit_allocator(void);
void *qxio_allocator_alloc(size_t size);
void *qxio_allocator_realloc(void *pointer, size_t size);
void qxio_allocator_free(void *pointer);
/* Snapshot of the default allocator's counters. */
void qxio_allocator_default_counts(qxio_t_allocator_counts *counts_out);

void *qxio_alloc(size_t size);
void *qxio_realloc(void *pointer, size_t size);
void qxio_free(void *pointer);
/* Copy of a NUL-terminated text, NUL included; null when memory is short. */
char *qxio_alloc_string(const char *text);

/* ---- buffers ---- */

qxio_t_buf *qxio_buf_alloc(const void *data, size_t size, uint32_t options);
qxio_t_error_code qxio_buf_init_buf(qxio_t_buf *buf);
qxio_t_error_code qxio_buf_free(qxio_t_buf *buf);
qxio_t_error_code qxio_buf_reserve(qxio_t_buf *buf, size_t n);
qxio_t_error_code qxio_buf_trim(qxio_t_buf *buf);
qxio_t_error_code qxio_buf_push(qxio_t_buf *buf, unsigned char byte);
qxio_t_error_code qxio_buf_pop(qxio_t_buf *buf, unsigned char *byte_out);
qxio_t_error_code qxio_buf_concat_bytes(qxio_t_buf *buf, const void *bytes, size_t n);
qxio_t_error_code qxio_buf_concat_string(qxio_t_buf *buf, const char *text);
qxio_t_error_code qxio_buf_concat(qxio_t_buf *buf, const qxio_t_buf *other, uint32_t options);
/* n > 0 drops n bytes from the front, n < 0 drops -n bytes from the end. */
qxio_t_error_code qxio_buf_contract(qxio_t_buf *buf, ptrdiff_t n);
qxio_t_error_code qxio_buf_reset(qxio_t_buf *buf, size_t n);
/* Hands the bytes over: owned storage itself (the buffer becomes empty), else a copy.
   The caller frees the data with qxio_free. */
qxio_t_error_code qxio_buf_get_buf(qxio_t_buf *buf, unsigned char **data_out, size_t *size_out);
/* Module start (option 0) reads QXIO_DEFAULT_BUFITEMS; stop (option 1) does nothing. */
qxio_t_error_code qxio_init_buf(uint32_t options);

/* ---- variants, argument lists, time-outs ---- */

qxio_t_error_code qxio_get_arg_variant(const qxio_t_arglist *list, const char *key,
                                       const qxio_t_variant **variant_out);
/* Only QXIO_VARIANT_STRING and QXIO_VARIANT_POINTER values can be fetched. */
qxio_t_error_code qxio_get_arg(const qxio_t_arglist *list, const char *key,
                               qxio_t_variant_type type, void **value_out);
qxio_t_error_code qxio_get_arg_string(const qxio_t_arglist *list, const char *key,
                                      const char **text_out);
void qxio_variant_free(qxio_t_variant *variant);
qxio_t_error_code qxio_double_to_timespec(double seconds, qxio_t_timespec *timespec_out);

/* ---- hash table ---- */

qxio_t_error_code qxio_hash_new(qxio_t_hash **hash_out);
qxio_t_error_code qxio_hash_put(qxio_t_hash *hash, const qxio_t_variant *key,
                                const qxio_t_variant *value);
qxio_t_error_code qxio_hash_put_string(qxio_t_hash *hash, const char *text,
                                       const qxio_t_variant *value);
/* The value is a pointer into the table; value_out may be null. */
qxio_t_error_code qxio_hash_get(qxio_t_hash *hash, const qxio_t_variant *key,
                                qxio_t_variant **value_out);
qxio_t_error_code qxio_hash_get_string(qxio_t_hash *hash, const char *text,
                                       qxio_t_variant **value_out);
qxio_t_error_code qxio_hash_delete(qxio_t_hash *hash, const qxio_t_variant *key);
qxio_t_error_code qxio_hash_delete_string(qxio_t_hash *hash, const char *text);
qxio_t_error_code qxio_hash_map(qxio_t_hash *hash, qxio_t_hash_map_fun fun, void *data);
size_t qxio_hash_nentries(const qxio_t_hash *hash);
void qxio_hash_free(qxio_t_hash *hash);

/* ---- request queue ---- */

qxio_t_error_code qxio_queue_new(qxio_t_queue **queue_out, uint32_t options);
qxio_t_error_code qxio_queue_free(qxio_t_queue *queue);
qxio_t_error_code qxio_queue_lock(qxio_t_queue *queue);
qxio_t_error_code qxio_queue_unlock(qxio_t_queue *queue);
/* Cancellation clean-up: queue_slot is a qxio_t_queue ** whose queue is unlocked and cleared. */
void qxio_queue_unlock_cleanup(void *queue_slot);
size_t qxio_queue_size(const qxio_t_queue *queue);
qxio_t_error_code qxio_queue_put_last(qxio_t_queue *queue, qxio_t_queue_entry *entry,
                                      uint32_t options);
qxio_t_error_code qxio_queue_get_first(qxio_t_queue *queue, qxio_t_queue_entry **entry_out,
                                       uint32_t options);
qxio_t_error_code qxio_queue_get_last(qxio_t_queue *queue, qxio_t_queue_entry **entry_out,
                                      uint32_t options);

/* ---- debug, trace, assertions ---- */

void qxio_trace_line(const char *function, const char *file, int line, const char *message,
                     long value, const char *text, int level);
void qxio_trace_line_pointer(const char *function, const char *file, int line, const char *message,
                             const void *value, const char *text, int level);
void qxio_trace_line_2(const char *function, const char *file, int line, const char *message,
                       long value1, long value2, const char *text, int level);
/* Reports a failed assertion; answers 0 (aborts at assertion level "abort"). */
int qxio_assert_failure(const char *function, const char *file, int line);
/* Writes a banner and spins so that a debugger can attach; never returns. */
[[noreturn]] void qxio_debug_break(const char *file, int line);
qxio_t_error_code qxio_debug_dump_backtrace(const char *text, uint32_t options);
int qxio_is_in_main_thread(void);
qxio_t_error_code qxio_init_debug(uint32_t options);

#define QXIO_TRACE(level, message, value, text)                                                    \
  qxio_trace_line(__func__, __FILE__, __LINE__, (message), (long)(value), (text), (level))
#define QXIO_TRACE_POINTER(level, message, value, text)                                            \
  qxio_trace_line_pointer(__func__, __FILE__, __LINE__, (message), (value), (text), (level))
#define QXIO_TRACE_2(level, message, value1, value2, text)                                         \
  qxio_trace_line_2(__func__, __FILE__, __LINE__, (message), (long)(value1), (long)(value2),       \
                    (text), (level))
/* Evaluates to 1 when the condition holds, else reports it and evaluates to 0. */
#define QXIO_ASSERT(cond) ((cond) ? 1 : qxio_assert_failure(__func__, __FILE__, __LINE__))

/* ---- system properties and environment ---- */

/* A compact environment is one block: a null-terminated array of entry pointers followed by
   the entries, each a key and its value as two consecutive NUL-terminated texts. */
qxio_t_error_code qxio_set_system_property(const char *key, const char *value, uint32_t options);
/* Options: 0x1 set properties only, 0x2 environment only. *size in: buffer size; out: needed. */
qxio_t_error_code qxio_get_system_property(const char *key, char *buffer, size_t *size,
                                           uint32_t options);
char *qxio_get_system_property_allocate(const char *key, uint32_t options);
int qxio_get_boolean_system_property(const char *key, int default_value);
int32_t qxio_get_ssize_system_property(const char *key, int32_t default_value);
qxio_t_error_code qxio_get_system_properties(char ***block_out, size_t *size_out, uint32_t options);
qxio_t_error_code qxio_make_compact_env(const char *const *entries, char ***block_out,
                                        size_t *size_out, uint32_t options);
qxio_t_error_code qxio_merge_compact_envs(char *const *a, size_t size_a, char *const *b,
                                          size_t size_b, char ***block_out, size_t *size_out,
                                          uint32_t options);
int qxio_compare_environment_keys(const char *key_a, const char *key_b);
qxio_t_error_code qxio_unix_getenv(const char *key, char *buffer, size_t *size, uint32_t options);
qxio_t_error_code qxio_unix_get_environ(char ***block_out, size_t *size_out, uint32_t options);
/* The locale's character set name, a qxio_alloc copy that the caller frees with qxio_free. */
qxio_t_error_code qxio_unix_default_charset(char **name_out, uint32_t options);
/* Start (option 0): copy the process environment, empty the set properties.
   Stop (option 1): free the copy, the set properties and their cache. */
qxio_t_error_code qxio_init_environment(uint32_t options);

/* ---- UTF-8 helpers ---- */

/* Options: 0x1 accept C0 80 as NUL; 0x2 extended (surrogates, beyond U+10FFFF, 5 and 6 bytes). */
qxio_t_error_code qxio_is_legal_utf8_prefix(const void *bytes, size_t length, uint32_t options);
qxio_t_error_code qxio_is_legal_utf8_string(const void *bytes, size_t length, uint32_t options);
/* *count in: capacity of codes; out: codes written. */
qxio_t_error_code qxio_decode_utf8_to_utf32(const void *bytes, size_t length, uint32_t *codes,
                                            size_t *count, uint32_t options);

/* ---- character coders ---- */

/* A character code: a UTF-32 code point in a signed 32-bit word (negative values are states). */
typedef int32_t qxio_t_wchar;

typedef struct qxio_t_coder qxio_t_coder;
typedef struct qxio_t_coder_funcs qxio_t_coder_funcs;

/* Class features. */
#define QXIO_CODER_FEATURE_SEEKABLE 0x1u

/* Instance flags. */
#define QXIO_CODER_PRODUCES_1 0x01u
#define QXIO_CODER_PRODUCES_2 0x02u
#define QXIO_CODER_PRODUCES_4 0x04u
#define QXIO_CODER_CONSUMES_1 0x08u
#define QXIO_CODER_CONSUMES_2 0x10u
#define QXIO_CODER_CONSUMES_4 0x20u
#define QXIO_CODER_DECODING 0x40u
#define QXIO_CODER_SEEKABLE 0x80u
#define QXIO_CODER_CRLF 0x100u       /* encoding: LF as CR LF; decoding: CR LF as LF */
#define QXIO_CODER_ANY_EOL 0x200u    /* decoding: CR and CR LF become LF */
#define QXIO_CODER_DROP_BOM 0x800u   /* decoding: drop U+FEFF at the very start */
#define QXIO_CODER_WRITE_BOM 0x1000u /* encoding: write U+FEFF before the first character */

/* Open options. */
#define QXIO_CODER_OPEN_SEEKABLE 0x01u
#define QXIO_CODER_OPEN_DECODE 0x02u
#define QXIO_CODER_OPEN_CRLF 0x04u
#define QXIO_CODER_OPEN_ANY_EOL 0x08u
#define QXIO_CODER_OPEN_BOM 0x10u
#define QXIO_CODER_OPEN_NO_UTF8_BOM 0x20u /* with QXIO_CODER_OPEN_BOM: UTF-8 writes no mark */

/* Conversion options. */
#define QXIO_CODER_END_OF_INPUT 0x01u
#define QXIO_CODER_REPLACE_INVALID 0x02u /* with QXIO_CODER_REPLACE: invalid input too */
#define QXIO_CODER_STRICT 0x08u
#define QXIO_CODER_REPLACE 0x10u

/* A coder class: one static table per character set. The slot order is fixed. */
struct qxio_t_coder_funcs {
  size_t sizeof_qxio_t_coder_funcs;
  const char *name;           /* canonical character-set name */
  const char *const *aliases; /* null-terminated, or null */
  uint32_t features;          /* QXIO_CODER_FEATURE_... */
  int32_t refcount;
  qxio_t_error_code (*free)(qxio_t_coder *coder);
  /* Converts from in at *pos up to its extent, appending to out and advancing *pos. */
  qxio_t_error_code (*encode)(qxio_t_coder *coder, const qxio_t_buf *in, size_t *pos,
                              qxio_t_buf *out, uint32_t options);
  qxio_t_error_code (*commit)(qxio_t_coder *coder);
  qxio_t_error_code (*rollback)(qxio_t_coder *coder);
  /* Maps an offset on the code-point side (4 bytes per code) to one on the byte side. */
  qxio_t_error_code (*translate_offset)(qxio_t_coder *coder, int64_t offset, int64_t *offset_out);
  qxio_t_error_code (*seek)(qxio_t_coder *coder, int64_t offset, uint32_t options);
  qxio_t_error_code (*addref)(qxio_t_coder_funcs *funcs);
  qxio_t_error_code (*release)(qxio_t_coder_funcs *funcs);
  void (*destroy)(qxio_t_coder_funcs *funcs);
  qxio_t_error_code (*open)(qxio_t_coder_funcs *funcs, qxio_t_coder **coder_out,
                            const qxio_t_arglist *properties, uint32_t options);
};

/* The head of every coder instance; the class's state follows it. */
struct qxio_t_coder {
  qxio_t_coder_funcs *funcs; /* its class, on which it holds a reference */
  uint32_t flags;            /* QXIO_CODER_ instance flags */
};

qxio_t_error_code qxio_coder_default_addref(qxio_t_coder_funcs *funcs);
qxio_t_error_code qxio_coder_default_release(qxio_t_coder_funcs *funcs);
void qxio_coder_default_destroy(qxio_t_coder_funcs *funcs);
qxio_t_error_code qxio_coder_funcs_addref(qxio_t_coder_funcs *funcs);
qxio_t_error_code qxio_coder_funcs_release(qxio_t_coder_funcs *funcs);

/* Finds a class by any spelling of its name and adds a reference that the caller releases.
   Option 0x1: the class must be seekable. */
qxio_t_error_code qxio_char_coder_find(qxio_t_coder_funcs **funcs_out, const char *name,
                                       void *reserved, uint32_t options);
/* Options: QXIO_CODER_OPEN_... */
qxio_t_error_code qxio_char_coder_open(qxio_t_coder_funcs *funcs, qxio_t_coder **coder_out,
                                       const qxio_t_arglist *properties, uint32_t options);
qxio_t_error_code qxio_char_coder_close(qxio_t_coder *coder);
/* Options: QXIO_CODER_END_OF_INPUT, _REPLACE_INVALID, _STRICT, _REPLACE. On failure *pos is
   unchanged; output made before the failure is kept. */
qxio_t_error_code qxio_char_coder_encode(qxio_t_coder *coder, const qxio_t_buf *in, size_t *pos,
                                         qxio_t_buf *out, uint32_t options);
qxio_t_error_code qxio_char_coder_commit(qxio_t_coder *coder);
qxio_t_error_code qxio_char_coder_rollback(qxio_t_coder *coder);
qxio_t_error_code qxio_char_coder_seek(qxio_t_coder *coder, int64_t offset, uint32_t options);
qxio_t_error_code qxio_char_coder_translate_offset(qxio_t_coder *coder, int64_t offset,
                                                   int64_t *offset_out);

/* Registers (option 0x1 clear) or unregisters (set) a class; a null name means the class's
   own name and aliases. */
qxio_t_error_code qxio_register_coder(const char *name, qxio_t_coder_funcs *funcs,
                                      uint32_t options);
/* Enters (or with option 0x1 removes) a canonical name and its null-terminated aliases. */
qxio_t_error_code qxio_register_charset(const char *canonical, const char *const *aliases,
                                        uint32_t options);
/* The transformed canonical name of any registered spelling (owned by the registry). */
qxio_t_error_code qxio_charset_canonical_name(const char *name, const char **canonical_out);
/* 1 when both names are registered with the same canonical name, else 0. */
int qxio_charset_name_equal(const char *a, const char *b);

/* Module start (deinit 0) registers every built-in class; deinit 1 unregisters them. */
qxio_t_error_code qxio_init_char_coder(uint32_t deinit);
qxio_t_error_code qxio_init_char_coder_byte(uint32_t deinit);
qxio_t_error_code qxio_init_char_coder_utf8(uint32_t deinit);
qxio_t_error_code qxio_init_char_coder_utf16(uint32_t deinit);
qxio_t_error_code qxio_init_char_coder_utf32(uint32_t deinit);

/* A byte whose code point differs from the byte value. */
typedef struct qxio_t_byte_exception {
  uint32_t code;
  uint32_t byte;
} qxio_t_byte_exception;

/* Mapping of a single-byte character set. */
typedef struct qxio_t_byte_to_utf32_table {
  uint32_t replacement; /* byte written for an unencodable character (low byte) */
  int32_t codes[256];   /* code point of each byte value, -1 when unmapped */
  uint32_t exception_count;
  const qxio_t_byte_exception *exceptions;
} qxio_t_byte_to_utf32_table;

/* A byte class: a coder class with its mapping table. */
typedef struct qxio_t_coder_byte_funcs {
  qxio_t_coder_funcs funcs;
  const qxio_t_byte_to_utf32_table *table;
} qxio_t_coder_byte_funcs;

/* An inclusive range of code points; a set is an array sorted by low, disjoint. */
typedef struct qxio_t_utf32_range {
  uint32_t low;
  uint32_t high;
} qxio_t_utf32_range;

/* Code points assigned to characters in Unicode 5.0, without private-use and surrogates. */
extern const qxio_t_utf32_range qxio_non_private_abstract_char_set[];
extern const size_t qxio_non_private_abstract_char_set_count;
/* Code points assigned in Unicode 5.0 whose NFC_Quick_Check is Yes. */
extern const qxio_t_utf32_range qxio_nfc_quick_check_yes_and_defined_set[];
extern const size_t qxio_nfc_quick_check_yes_and_defined_set_count;

/* 1 when the code lies in a range of the set, else 0. */
int qxio_utf32_set_member(qxio_t_wchar code, const qxio_t_utf32_range *set, size_t count);
/* 1 or 0, or QXIO_E_ENCODING_UNMAPPABLE for a code above U+10FFFF. */
qxio_t_error_code qxio_unicode_non_private_abstract_char(qxio_t_wchar code);
qxio_t_error_code qxio_unicode_nfc_quick_check_yes(qxio_t_wchar code);

/* ---- tasks, mutexes, condition variables ---- */

/* A task runs one function on a thread of its own that blocks every asynchronous signal and
   runs with cancellation disabled except inside the windows its function opens; its
   termination event is signalled once the function has returned (or the thread was
   cancelled). */
typedef void *(*qxio_t_task_fun)(qxio_t_task *task, void *arg);
typedef pthread_t qxio_t_thread;

#define QXIO_TASK_CANCELLABLE 0x4u    /* qxio_task_create: qxio_task_cancel may cancel it */
#define QXIO_TASK_STATUS_RUNNING 0x1u /* qxio_task_status */

/* The out task, when given, is set before the thread starts and cleared again on failure. */
qxio_t_error_code qxio_task_create(uint32_t options, qxio_t_task_fun fun, void *arg,
                                   qxio_t_task **task_out);
/* Waits for the task to end, joins its thread and frees it; null is ignored. */
qxio_t_error_code qxio_task_free(qxio_t_task *task);
/* Cancels a cancellable task and waits for it to end. */
qxio_t_error_code qxio_task_cancel(qxio_t_task *task, uint32_t options);
int qxio_task_is_running(qxio_t_task *task);
qxio_t_error_code qxio_task_status(qxio_t_task *task, uint32_t *bits_out);
/* QXIO_E_THREAD_RUNNING while the task runs; result_out may be null. */
qxio_t_error_code qxio_task_result(qxio_t_task *task, void **result_out);
int qxio_task_is_cancelled(qxio_t_task *task);
/* The termination event, owned by the task (no reference is added). */
qxio_t_error_code qxio_task_event(qxio_t_task *task, qxio_t_event **event_out);
qxio_t_error_code qxio_task_cancel_event(qxio_t_task *task, qxio_t_event **event_out);
qxio_t_error_code qxio_thread_self(qxio_t_thread *thread_out);
/* Open and close the window in which the calling task may be cancelled; a task brackets
   each blocking system call with them. */
qxio_t_error_code qxio_task_pthread_cancel_enable(void);
qxio_t_error_code qxio_task_pthread_cancel_disable(void);
qxio_t_error_code qxio_init_thread(uint32_t deinit);
qxio_t_error_code qxio_init_module_cond_var(uint32_t deinit);

qxio_t_error_code qxio_mutex_new(qxio_t_mutex **mutex_out, uint32_t options);
qxio_t_error_code qxio_mutex_free(qxio_t_mutex *mutex);
qxio_t_error_code qxio_mutex_lock(qxio_t_mutex *mutex);
qxio_t_error_code qxio_mutex_unlock(qxio_t_mutex *mutex);
/* Cancellation clean-up: mutex_slot is a qxio_t_mutex ** whose mutex, if any, is unlocked
   and cleared. */
void qxio_mutex_unlock_cleanup(void *mutex_slot);
/* For assertions only: 1 when another thread holds the mutex, 0 when it is free. */
qxio_t_error_code qxio_mutex_debug_is_locked_by_other(qxio_t_mutex *mutex);
qxio_t_error_code qxio_mutex_debug_is_unlocked(qxio_t_mutex *mutex);

qxio_t_error_code qxio_cond_var_new(qxio_t_cond_var **cond_out, uint32_t options);
qxio_t_error_code qxio_cond_var_free(qxio_t_cond_var *cond);
qxio_t_error_code qxio_cond_var_wait(qxio_t_cond_var *cond, qxio_t_mutex *mutex);
/* A time-out below QXIO_ABSOLUTE_TIME_MIN seconds is relative to now (nanoseconds rounded up
   to whole milliseconds); a larger one is an absolute real-time deadline. */
#define QXIO_ABSOLUTE_TIME_MIN 86400L
qxio_t_error_code qxio_cond_var_timedwait(qxio_t_cond_var *cond, qxio_t_mutex *mutex,
                                          const qxio_t_timespec *timeout);
#define QXIO_COND_VAR_BROADCAST 0x1u /* qxio_cond_var_signal: wake every waiter */
qxio_t_error_code qxio_cond_var_signal(qxio_t_cond_var *cond, qxio_t_mutex *mutex,
                                       uint32_t options);
/* The real-time clock. */
qxio_t_error_code qxio_cond_var_now(qxio_t_timespec *time_out);

/* ---- events ---- */

/* An event is a self-pipe that any thread (or a signal handler) can set and reset, or the
   readiness of a descriptor. It carries at most three references. */
#define QXIO_EVENT_NEW_SIGNALLED 0x1u /* qxio_event_new: create it set */

qxio_t_error_code qxio_event_new(uint32_t options, qxio_t_event **event_out);
/* An event that is signalled while read_fd is readable, or (read_fd -1) while write_fd is
   writable; the descriptor stays the caller's. */
qxio_t_error_code qxio_fd_event_new(int read_fd, int write_fd, uint32_t options,
                                    qxio_t_event **event_out);
qxio_t_error_code qxio_event_set(qxio_t_event *event);
qxio_t_error_code qxio_event_reset(qxio_t_event *event);
/* 1 when signalled, 0 when not (or when asking fails). */
int qxio_event_query(qxio_t_event *event);
/* Drops one reference; the last one releases the event. Null is ignored. */
qxio_t_error_code qxio_event_free(qxio_t_event *event);
/* Waits until one of count events is signalled or the time-out (null: none) passes.
   Result: the number of signalled events, QXIO_E_TIMEOUT, QXIO_E_INTERRUPTED (a wait of the
   main thread cut short by qxio_interrupt) or an error. An event already signalled is
   reported even with an interrupt pending; the interrupt is then answered by the next wait
   that finds nothing signalled. */
qxio_t_error_code qxio_event_wait(qxio_t_event *const *events, size_t count,
                                  const qxio_t_timespec *timeout);

/* Callback of the event listener, run on the listener's thread each time the watched event
   is signalled; it resets the event itself. A negative result or QXIO_S_DONE ends the
   listener. */
typedef qxio_t_error_code (*qxio_t_event_listener)(void *data, uint32_t options);
/* Starts the one event listener (replacing any existing one). */
qxio_t_error_code qxio_add_event_listener(qxio_t_event *event, qxio_t_event_listener callback,
                                          void *data, uint32_t options);
/* Stops the listener if it watches event and, where given, has this callback and data. */
qxio_t_error_code qxio_remove_event_listener(qxio_t_event *event, qxio_t_event_listener callback,
                                             void *data, uint32_t options);
qxio_t_error_code qxio_init_event(uint32_t deinit);
qxio_t_error_code qxio_init_event_pipe(uint32_t deinit);

/* ---- streams ---- */

/* A stream is a pointer to the top layer of its stack (null: no layers). Operations take the
   address of the caller's QXIO variable, the slot, so that push, pop and close can replace
   the top; a layer forwards to the layer below with the address of its own next field. */
typedef qxio_t_layer *QXIO;

/* The head of every layer record; the class's layer_size gives the full record's size. */
struct qxio_t_layer {
  const qxio_t_funcs *funcs;
  qxio_t_layer *next; /* the layer below, null at the bottom */
  uint32_t flags;     /* QXIO_LAYER_... */
  uint32_t pad;
};

/* Layer flags; a bit means the same in every layer class. */
#define QXIO_LAYER_HAS_INPUT 0x1u
#define QXIO_LAYER_READABLE 0x2u /* qxio_read allowed; cleared when the read side closes */
#define QXIO_LAYER_HAS_OUTPUT 0x4u
#define QXIO_LAYER_WRITABLE 0x8u    /* qxio_write allowed; cleared when the write side closes */
#define QXIO_LAYER_READ_OPEN 0x10u  /* there is a read position */
#define QXIO_LAYER_WRITE_OPEN 0x20u /* there is a write position */
#define QXIO_LAYER_HANDLE_NOT_OWNED 0x40u
#define QXIO_LAYER_READ_CLOSING 0x80u
#define QXIO_LAYER_WRITE_CLOSING 0x100u
#define QXIO_LAYER_SEEKABLE 0x200u
#define QXIO_LAYER_SEEKABLE_OTHER 0x400u /* set by no class here; accepted like SEEKABLE */
#define QXIO_LAYER_READ_ITEM_1 0x800u
#define QXIO_LAYER_READ_ITEM_2 0x1000u
#define QXIO_LAYER_READ_ITEM_4 0x2000u
#define QXIO_LAYER_WRITE_ITEM_1 0x4000u
#define QXIO_LAYER_WRITE_ITEM_2 0x8000u
#define QXIO_LAYER_WRITE_ITEM_4 0x10000u
#define QXIO_LAYER_OS_INPUT_OPEN 0x20000u
#define QXIO_LAYER_OS_OUTPUT_OPEN 0x40000u
#define QXIO_LAYER_SYNC_STABLE 0x80000u /* sync forces output to stable storage */
#define QXIO_LAYER_SOCKET 0x100000u
#define QXIO_LAYER_SEQUENTIAL 0x200000u
#define QXIO_LAYER_PRIVATE_STALE 0x800000u

typedef enum qxio_t_ioctl_operation {
  QXIO_IOCTL_UNDEFINED = 0,
  QXIO_IOCTL_READABLE_EVENT_ = 1,    /* arg: qxio_t_event ** */
  QXIO_IOCTL_WRITABLE_EVENT_ = 2,    /* arg: qxio_t_event ** */
  QXIO_IOCTL_DEVICE_TYPE_ = 3,       /* arg: qxio_t_device_type * */
  QXIO_IOCTL_GET_ENCODING_NAME_ = 4, /* arg: const char ** */
  QXIO_IOCTL_ENCODING_FALLBACK_ = 5, /* no arg; the options say which fallback */
  QXIO_IOCTL_SIZE_ = 6,              /* arg: int64_t * */
  QXIO_IOCTL_EVENT_LISTENER_ = 7,
  QXIO_IOCTL_LAST_PREDEFINED_ = 8,
  QXIO_IOCTL_PRIVATE_LAST_ = 9
} qxio_t_ioctl_operation;

typedef enum qxio_t_device_type {
  QXIO_DEVICE_TYPE_ILLEGAL = 0,
  QXIO_DEVICE_TYPE_UNKNOWN = 1,
  QXIO_DEVICE_TYPE_FILE = 2,
  QXIO_DEVICE_TYPE_TTY = 3,
  QXIO_DEVICE_TYPE_SOCKET = 4,
  QXIO_DEVICE_TYPE_FIFO = 5,
  QXIO_DEVICE_TYPE_CHARACTER = 6,
  QXIO_DEVICE_TYPE_DIRECTORY = 7,
  QXIO_DEVICE_TYPE_BLOCK = 8,
  QXIO_DEVICE_TYPE_LINK = 9
} qxio_t_device_type;

/* A layer class: its operations, called with options already masked by the public
   operation. close, push, pop and ioctl may be null. */
struct qxio_t_funcs {
  size_t sizeof_qxio_t_funcs; /* sizeof(qxio_t_funcs) */
  const char *name;           /* the registry key */
  size_t layer_size;          /* size of the concrete layer record */
  uint32_t features;          /* 0 */
  uint32_t reserved;          /* 0 */
  /* appends input bytes to buf */
  qxio_t_error_code (*read)(QXIO *slot, qxio_t_buf *buf, uint32_t options);
  /* consumes bytes of buf from *pos up to its extent, advancing *pos */
  qxio_t_error_code (*write)(QXIO *slot, qxio_t_buf *buf, size_t *pos, uint32_t options);
  qxio_t_error_code (*sync)(QXIO *slot, uint32_t options);
  qxio_t_error_code (*seek)(QXIO *slot, int64_t offset, int64_t *new_offset, qxio_t_buf *buf,
                            uint32_t options);
  /* closes one or both sides; pops and destroys the layer once both are closed */
  qxio_t_error_code (*close)(QXIO *slot, uint32_t options);
  qxio_t_error_code (*push)(const qxio_t_funcs *funcs, QXIO *slot, const qxio_t_arglist *args,
                            uint32_t options);
  qxio_t_error_code (*pop)(const qxio_t_funcs *funcs, QXIO *slot, uint32_t options);
  void (*destroy)(qxio_t_layer *layer);
  qxio_t_error_code (*open)(const qxio_t_funcs *funcs, QXIO *slot, const qxio_t_arglist *args,
                            uint32_t options);
  qxio_t_error_code (*ioctl)(QXIO *slot, qxio_t_ioctl_operation operation, void *arg,
                             uint32_t options);
};

/* Option bit 20 of every public operation: pass all other bits, the high ones included, to
   the layer; without it only bits 0 to 19 are passed. */
#define QXIO_OPTION_PASS_ALL 0x100000u

#define QXIO_READ_BYTES 0x1u /* the caller takes bytes */
#define QXIO_READ_CODES 0x2u /* the caller takes 4-byte character codes */
#define QXIO_READ_NONBLOCKING 0x4u

#define QXIO_WRITE_USER 0x1u /* handed on to user devices */
#define QXIO_WRITE_NONBLOCKING 0x4u
#define QXIO_WRITE_END 0x10u /* end of data: a coder flushes what it encoded */
#define QXIO_WRITE_ALL 0x20u /* repeat until the whole buffer is taken */

#define QXIO_SYNC_NONBLOCKING 0x1u
#define QXIO_SYNC_READ 0x2u  /* give back read-ahead */
#define QXIO_SYNC_WRITE 0x4u /* flush buffered output */
#define QXIO_SYNC_DOWN 0x8u  /* pass the sync on to the layers below */
#define QXIO_SYNC_KEEP_READAHEAD 0x10u
#define QXIO_SYNC_DEVICE_SKIP 0x40u

#define QXIO_SEEK_SET 0x1u
#define QXIO_SEEK_CUR 0x2u
#define QXIO_SEEK_CUR_ALT 0x8u
#define QXIO_SEEK_END 0x4u
#define QXIO_SEEK_READ 0x10u
#define QXIO_SEEK_WRITE 0x20u

#define QXIO_CLOSE_ABORTIVE 0x1u
#define QXIO_CLOSE_READ 0x2u
#define QXIO_CLOSE_WRITE 0x4u

#define QXIO_IOCTL_WALK 0x1u /* go on down the stack while unanswered */

qxio_t_error_code qxio_open(const qxio_t_funcs *funcs, QXIO *slot, const qxio_t_arglist *args,
                            uint32_t options);
qxio_t_error_code qxio_open_by_name(const char *name, QXIO *slot, const qxio_t_arglist *args,
                                    uint32_t options);
qxio_t_error_code qxio_push(const qxio_t_funcs *funcs, QXIO *slot, const qxio_t_arglist *args,
                            uint32_t options);
qxio_t_error_code qxio_push_by_name(const char *name, QXIO *slot, const qxio_t_arglist *args,
                                    uint32_t options);
/* Pops the top layer by its class's pop (funcs null: the top layer's class). */
qxio_t_error_code qxio_pop(const qxio_t_funcs *funcs, QXIO *slot, uint32_t options);
/* Appends at least one byte to *buf_slot (allocated when null) or fails: QXIO_E_END_OF_FILE at
   the end, QXIO_E_WOULD_BLOCK, QXIO_E_INTERRUPTED, or another error. */
qxio_t_error_code qxio_read(QXIO *slot, qxio_t_buf **buf_slot, uint32_t options);
qxio_t_error_code qxio_write(QXIO *slot, qxio_t_buf *buf, size_t *pos, uint32_t options);
qxio_t_error_code qxio_sync(QXIO *slot, uint32_t options);
qxio_t_error_code qxio_seek(QXIO *slot, int64_t offset, int64_t *new_offset, qxio_t_buf *buf,
                            uint32_t options);
qxio_t_error_code qxio_close(QXIO *slot, uint32_t options);
qxio_t_error_code qxio_ioctl(QXIO *slot, qxio_t_ioctl_operation operation, void *arg,
                             uint32_t options);
qxio_t_error_code qxio_ioctl_readable_event(QXIO *slot, qxio_t_event **event_out, uint32_t options);
qxio_t_error_code qxio_ioctl_writable_event(QXIO *slot, qxio_t_event **event_out, uint32_t options);
qxio_t_error_code qxio_ioctl_device_type(QXIO *slot, qxio_t_device_type *type_out,
                                         uint32_t options);
/* The side an ioctl asks about (as in close and sync): the encoding name takes exactly one,
   the size both when neither is given. */
#define QXIO_IOCTL_READ_SIDE 0x2u
#define QXIO_IOCTL_WRITE_SIDE 0x4u
qxio_t_error_code qxio_ioctl_get_encoding_name(QXIO *slot, const char **name_out, uint32_t options);
qxio_t_error_code qxio_ioctl_encoding_fallback(QXIO *slot, uint32_t options);
qxio_t_error_code qxio_ioctl_size(QXIO *slot, int64_t *size_out, uint32_t options);

#define QXIO_REGISTER_REMOVE 0x1u /* qxio_register_layer: unregister by name */
qxio_t_error_code qxio_register_layer(const qxio_t_funcs *funcs, uint32_t options);
qxio_t_error_code qxio_find_layer(const char *name, const qxio_t_funcs **funcs_out,
                                  uint32_t options);
#define QXIO_GET_LAYER_SECOND 0x1u /* qxio_get_qxio_layer: the second such layer from the top */
qxio_t_error_code qxio_get_qxio_layer(QXIO *slot, const qxio_t_funcs *funcs,
                                      qxio_t_layer **layer_out, uint32_t options);

/* Helpers for layer classes. */
qxio_t_error_code qxio_layer_push(QXIO *slot, qxio_t_layer *layer);
qxio_t_error_code qxio_layer_pop(QXIO *slot);
void qxio_layer_destroy(qxio_t_layer *layer);

/* Writes a NUL-terminated text completely and syncs the write side. */
qxio_t_error_code qxio_write_dbg(QXIO *slot, const char *text);

/* ---- files, directories and descriptors ---- */

/* Names are UTF-8 texts; they go to the system unchanged. */
typedef int64_t qxio_t_time; /* seconds */
typedef uint32_t qxio_t_uid;
typedef uint32_t qxio_t_gid;

typedef struct qxio_t_stat qxio_t_stat;
/* A clean-up attached to a status record, called by qxio_stat_deinit. */
typedef void (*qxio_t_stat_deiniter_fun)(qxio_t_stat *record, void *data);
typedef struct qxio_t_stat_deiniter {
  qxio_t_stat_deiniter_fun fun;
  void *data;
} qxio_t_stat_deiniter;

/* Portable file status; the fields not asked for are 0. */
struct qxio_t_stat {
  uint32_t flags; /* QXIO_STAT_FLAG_DEINITERS */
  uint32_t mode;  /* QXIO_MODE_... */
  uint32_t type;  /* 1 for a directory, else 0 */
  qxio_t_time access_time;
  qxio_t_time modify_time;
  qxio_t_time create_time; /* the status-change time */
  uint64_t size;
  qxio_t_uid owner;
  qxio_t_gid group;
  size_t deiniters_count;
  qxio_t_stat_deiniter *deiniters;
};

#define QXIO_STAT_FLAG_DEINITERS 0x1u

/* qxio_stat options. */
#define QXIO_STAT_MUST_BE_DIRECTORY 0x2u
#define QXIO_STAT_MUST_NOT_BE_DIRECTORY 0x4u
#define QXIO_STAT_MODE 0x8u
#define QXIO_STAT_ACCESS 0x100u /* the current user's access bits of mode */
#define QXIO_STAT_TYPE 0x200u
#define QXIO_STAT_TIMES 0x400u
#define QXIO_STAT_SIZE 0x800u
#define QXIO_STAT_OWNER 0x1000u
#define QXIO_STAT_GROUP 0x2000u

/* Mode bits: read, write, and execute (a file) or search (a directory) for the owner, the
   group and others, then the current user's access. */
#define QXIO_MODE_OWNER_READ 0x1u
#define QXIO_MODE_OWNER_WRITE 0x2u
#define QXIO_MODE_OWNER_EXECUTE 0x4u
#define QXIO_MODE_OWNER_SEARCH 0x8u
#define QXIO_MODE_GROUP_READ 0x10u
#define QXIO_MODE_GROUP_WRITE 0x20u
#define QXIO_MODE_GROUP_EXECUTE 0x40u
#define QXIO_MODE_GROUP_SEARCH 0x80u
#define QXIO_MODE_OTHERS_READ 0x100u
#define QXIO_MODE_OTHERS_WRITE 0x200u
#define QXIO_MODE_OTHERS_EXECUTE 0x400u
#define QXIO_MODE_OTHERS_SEARCH 0x800u
#define QXIO_MODE_USER_READ 0x8000u
#define QXIO_MODE_USER_WRITE 0x10000u
#define QXIO_MODE_USER_EXECUTE 0x20000u
#define QXIO_MODE_USER_SEARCH 0x40000u

qxio_t_error_code qxio_stat(const char *path, qxio_t_stat *record, uint32_t options);
qxio_t_error_code qxio_stat_add_deiniter(qxio_t_stat *record, qxio_t_stat_deiniter_fun fun,
                                         void *data);
/* Calls the clean-ups in order and frees their array. */
qxio_t_error_code qxio_stat_deinit(qxio_t_stat *record);

/* qxio_test_file_access options. The current user's class (owner, group or others) decides;
   the superuser has no exception. */
#define QXIO_ACCESS_EXECUTE 0x1u
#define QXIO_ACCESS_WRITE 0x2u
#define QXIO_ACCESS_READ 0x4u
#define QXIO_ACCESS_CREATE                                                                         \
  0x8u /* the file may be created: a missing one needs a writable directory */
#define QXIO_ACCESS_SEARCH 0x10u
#define QXIO_ACCESS_DIRECTORY 0x20u
#define QXIO_ACCESS_REGULAR 0x40u
/* 0 when the current user has the access asked for. */
qxio_t_error_code qxio_test_file_access(const char *path, uint32_t options);

qxio_t_error_code qxio_rename_file(const char *old_path, const char *new_path, uint32_t options);
#define QXIO_DELETE_DIRECTORY 0x1u /* remove an empty directory */
#define QXIO_DELETE_RECURSIVE 0x4u /* with QXIO_DELETE_DIRECTORY: not implemented */
qxio_t_error_code qxio_delete_file(const char *path, uint32_t options);
/* Mode 0777 less the process's file-creation mask. */
qxio_t_error_code qxio_create_directory(const char *path, uint32_t options);

/* A directory being read; its one entry record is reused by every read. */
typedef struct qxio_t_dir qxio_t_dir;
typedef struct qxio_t_dirent {
  qxio_t_dir *dir;
  char *utf8_name; /* valid after qxio_dirent_name */
  void *os_ent;    /* the system's entry (struct dirent *) */
  uint32_t flags;  /* QXIO_DIR_ONLY_..., QXIO_DIRENT_NAME_ALLOCATED */
} qxio_t_dirent;
struct qxio_t_dir {
  void *os_dir;           /* the system's handle (DIR *) */
  qxio_t_buf os_path_buf; /* the directory's path and a final "/" (filtered reads only) */
  size_t os_path_len;
  qxio_t_dirent ent;
};

#define QXIO_DIR_ONLY_DIRECTORIES 0x1u
#define QXIO_DIR_ONLY_NON_DIRECTORIES 0x2u
#define QXIO_DIRENT_NAME_ALLOCATED 0x4u
/* Options: QXIO_DIR_ONLY_DIRECTORIES or QXIO_DIR_ONLY_NON_DIRECTORIES filter the entries. */
qxio_t_error_code qxio_open_directory(const char *path, qxio_t_dir **dir_out, uint32_t options);
/* The next entry ("." and ".." included), or QXIO_E_NO_MORE_ENTRIES. */
qxio_t_error_code qxio_read_directory(qxio_t_dir *dir, qxio_t_dirent **entry_out, uint32_t options);
/* The entry's name in UTF-8, valid until the next read; QXIO_E_INVALID_NAME when the system's
   name is not valid UTF-8. */
qxio_t_error_code qxio_dirent_name(qxio_t_dirent *entry, const char **name_out);
qxio_t_error_code qxio_close_directory(qxio_t_dir *dir);

/* Working directory: the process's, and the library's cached copy. */
#define QXIO_CWD_CACHED 0x1u
#define QXIO_CWD_PROCESS 0x2u
#define QXIO_CWD_LATIN1_FALLBACK 0x4u /* read a name that is not UTF-8 as ISO-8859-1 */
qxio_t_error_code qxio_set_working_directory(const char *path, uint32_t options);
/* The result is a qxio_alloc text that the caller frees. */
qxio_t_error_code qxio_get_working_directory(char **path_out, uint32_t options);
/* TMPDIR, or "/tmp", always ending in "/"; a qxio_alloc text that the caller frees. */
qxio_t_error_code qxio_temp_directory(char **path_out, uint32_t options);
/* 1 for an absolute path, else QXIO_E_FILE_NOT_ABSOLUTE. */
qxio_t_error_code qxio_path_root_len(const char *path);
/* Names from the user and group databases, qxio_alloc texts; QXIO_E_NOT_FOUND without one. */
qxio_t_error_code qxio_user_id_name(qxio_t_uid uid, char **name_out, uint32_t options);
qxio_t_error_code qxio_group_id_name(qxio_t_gid gid, char **name_out, uint32_t options);

/* Conversions of names between the library's UTF-8 and the system. Results are qxio_alloc
   copies that the caller frees, unless QXIO_OS_NAME_NO_COPY hands back the given text. */
#define QXIO_OS_NAME_NO_COPY 0x1u
#define QXIO_OS_NAME_UNSUPPORTED 0x2u /* qxio_from_os_unix: not supported */
#define QXIO_OS_NAME_LATIN1_FALLBACK 0x4u
qxio_t_error_code qxio_file_name_for_os_unix(const char *name, char **os_name_out,
                                             uint32_t options);
/* Result 1 when the ISO-8859-1 fallback was used, else 0. */
qxio_t_error_code qxio_file_name_from_os_unix(const char *os_name, char **name_out,
                                              uint32_t options);
qxio_t_error_code qxio_from_os_unix(const void *bytes, size_t length, char **text_out,
                                    size_t *length_out, uint32_t options);

/* Descriptor helpers of the device layers. The opened descriptor is close-on-exec. */
qxio_t_error_code qxio_unix_open_file(const char *path, int open_flags, int creation_mode,
                                      int *fd_out);
qxio_t_error_code qxio_unix_file_pos(int fd, int64_t *position_out, uint32_t options);
/* QXIO_E_NOT_SUPPORTED unless a regular file. */
qxio_t_error_code qxio_unix_file_size(int fd, int64_t *size_out, uint32_t options);
qxio_t_device_type qxio_unix_device_type(int fd);
#define QXIO_FD_CLOSE_ABORTIVE 0x1u   /* abortive for a socket; failures ignored */
#define QXIO_FD_CLOSE_NOT_SOCKET 0x2u /* close it plainly even when it is a socket */
qxio_t_error_code qxio_os_file_handle_close_unix(int fd, uint32_t options);
/* Descriptor flags become (old less mask) or (value within mask). */
qxio_t_error_code qxio_unix_SETFD(int fd, int mask, int value);

/* Start caches the process's working directory; stop frees it. */
qxio_t_error_code qxio_init_file(uint32_t deinit);

/* ---- thread-backed device layer ---- */

/* The layer class "threaddevice": a stream over a descriptor whose reads and writes are done
   by a read and a write worker thread of its own, so that the caller never blocks in a
   system call. Options of qxio_layer_threaddevice_open_file_handle_unix: */
#define QXIO_FD_READ 0x1u
#define QXIO_FD_WRITE 0x2u
#define QXIO_FD_APPEND 0x4u      /* the write position starts at the end of a regular file */
#define QXIO_FD_NOT_OWNED 0x10u  /* closing never shuts down or closes the descriptor */
#define QXIO_FD_SEQUENTIAL 0x20u /* keep the descriptor's own position: plain read and write */
/* Options of the open operation of the "threaddevice" (and "async") classes, which take the
   file's name as the string argument QXIO_ARG_PATHNAME. */
#define QXIO_OPEN_READ 0x1u
#define QXIO_OPEN_WRITE 0x2u
#define QXIO_OPEN_APPEND 0x4u
#define QXIO_OPEN_EXCLUSIVE 0x8u
#define QXIO_ARG_PATHNAME "pathname"
extern const qxio_t_funcs qxio_layer_threaddevice_funcs;
qxio_t_error_code qxio_layer_threaddevice_open_file_handle_unix(QXIO *slot, int fd,
                                                                uint32_t options);
/* The library's entry for descriptor streams (options as above): the thread-backed layer
   unless QXIO_USE_LAYER_THREADDEVICE is "false". */
qxio_t_error_code qxio_layer_async_unix_open_file_handle(QXIO *slot, int fd, uint32_t options);
qxio_t_error_code qxio_init_layer_threaddevice(uint32_t deinit);
/* Start makes the standard streams over descriptors 0, 1 and 2 and registers them; stop
   flushes and closes those still registered. */
qxio_t_error_code qxio_init_standard_streams(uint32_t deinit);

/* ---- coder and seek layers ---- */

/* The layer class "char-coder": codes above, bytes below. Push arguments (pointers; absent or
   null means none), coders that the layer owns once the push succeeds: */
#define QXIO_ARG_READ_CHAR_CODER "read-char-coder qxio_t_coder"
#define QXIO_ARG_WRITE_CHAR_CODER "write-char-coder qxio_t_coder"
#define QXIO_CODER_LAYER_SEEKABLE 0x2u /* push option: a seekable layer (one side only) */
extern const qxio_t_funcs qxio_layer_coder_funcs;
qxio_t_error_code qxio_init_layer_coder(uint32_t deinit);

/* Options of qxio_ioctl_encoding_fallback for a coder layer: which side, and what may be
   replaced (stored into the conversion options of that side's coder). */
#define QXIO_FALLBACK_READ 0x2u
#define QXIO_FALLBACK_WRITE 0x4u
#define QXIO_FALLBACK_INVALID 0x8u  /* QXIO_CODER_REPLACE_INVALID */
#define QXIO_FALLBACK_STRICT 0x20u  /* QXIO_CODER_STRICT */
#define QXIO_FALLBACK_REPLACE 0x40u /* QXIO_CODER_REPLACE */

/* The layer class "seek": keeps every byte read from below so that the read position can go
   back to anything read since the push; opened instead of pushed, a stream over memory. */
#define QXIO_SEEK_LAYER_MEMORY 0x200000u /* push (and memory write) option bit 21 */
#define QXIO_SEEK_LAYER_READ 0x400000u   /* push option in memory mode: a read side */
#define QXIO_SEEK_LAYER_WRITE 0x800000u  /* push option in memory mode: a write side */
#define QXIO_SEEK_OPEN_READ 0x1u         /* open options */
#define QXIO_SEEK_OPEN_WRITE 0x2u
extern const qxio_t_funcs qxio_layer_seek_funcs;
qxio_t_error_code qxio_init_layer_seek(uint32_t deinit);

/* Detects the encoding of a seekable stream from a byte-order mark or a "coding:" line on its
   first line, then seeks back over what it read. Options 0x1: skip a declaration of an
   unknown name; 0x2: require a seekable class. Result 0 with a class (a reference the caller
   releases), 1 when none was found, or a failure. */
qxio_t_error_code qxio_detect_file_encoding(QXIO *slot, qxio_t_coder_funcs **funcs_out,
                                            uint32_t options);

/* Standard streams. which: QXIO_STD_INPUT, _OUTPUT or _ERROR, plus QXIO_STD_CLOSE_READ and
   QXIO_STD_CLOSE_WRITE: close that side of the stream when it is replaced. */
#define QXIO_STD_INPUT 1u
#define QXIO_STD_OUTPUT 3u
#define QXIO_STD_ERROR 5u
#define QXIO_STD_CLOSE_READ 0x8u
#define QXIO_STD_CLOSE_WRITE 0x10u
/* qxio_get_standard_stream: make a null stream when none is registered. */
#define QXIO_STD_NULL_IF_NONE 0x8u
/* A null slot empties the entry; registering the stream already there keeps it open. */
qxio_t_error_code qxio_set_standard_stream(QXIO *slot, uint32_t which);
/* Hands the registered stream over and empties the entry. */
qxio_t_error_code qxio_get_standard_stream(QXIO *stream_out, uint32_t which);
/* The user class of null streams (qxio_get_device_user_data). */
extern const char QXIO_NULL_STREAM_CLASS[];

/* Starts (option 0) or shuts down (option 1) the library; a null hook keeps the default
   counting allocator. A shutdown stops every module, even past one that fails, and answers
   the first failure. */
#define QXIO_INIT_SHUTDOWN 0x1u
qxio_t_error_code qxio_init(qxio_t_allocator_hook allocator_hook, void *cookie, uint32_t options);

/* Interrupts: qxio_interrupt is async-signal-safe; it wakes the interrupt thread, which calls
   the registered hooks in registration order. */
typedef void (*qxio_t_interrupt_hook)(void *arg);
void qxio_interrupt(void);
#define QXIO_INTERRUPT_HOOK_REMOVE 0x1u
qxio_t_error_code qxio_register_interrupt_hook(qxio_t_interrupt_hook fun, void *arg,
                                               uint32_t options);
qxio_t_error_code qxio_ensure_interrupts_done(void);
qxio_t_error_code qxio_interrupt_init(uint32_t deinit);

/* ---- child processes ---- */

/* A child process is named by its process identifier (positive). */
typedef int32_t qxio_t_process;

typedef struct qxio_t_process_exit_status {
  uint32_t flags; /* QXIO_PROCESS_EXITED ... */
  int32_t value;  /* the exit code, or the signal number for killed and stopped */
} qxio_t_process_exit_status;

#define QXIO_PROCESS_EXITED 0x1u
#define QXIO_PROCESS_KILLED 0x2u
#define QXIO_PROCESS_CORE_DUMPED 0x4u /* with QXIO_PROCESS_KILLED */
#define QXIO_PROCESS_STOPPED 0x8u
#define QXIO_PROCESS_CONTINUED 0x10u
#define QXIO_PROCESS_TRAPPED 0x20u

/* Creation options: exactly one kind per standard stream. */
#define QXIO_PROCESS_STDIN_INHERIT 0x1u
#define QXIO_PROCESS_STDIN_NULL 0x2u
#define QXIO_PROCESS_STDIN_PIPE 0x4u
#define QXIO_PROCESS_STDOUT_INHERIT 0x8u
#define QXIO_PROCESS_STDOUT_NULL 0x10u
#define QXIO_PROCESS_STDOUT_PIPE 0x20u
#define QXIO_PROCESS_STDERR_INHERIT 0x40u
#define QXIO_PROCESS_STDERR_NULL 0x80u
#define QXIO_PROCESS_STDERR_PIPE 0x100u
#define QXIO_PROCESS_NEW_SESSION 0x400u
#define QXIO_PROCESS_SHELL 0x4000u        /* the program text is a shell command */
#define QXIO_PROCESS_ENVIRONMENT 0x20000u /* give the child an environment built here */
#define QXIO_PROCESS_EMPTY_BASE 0x80000u  /* ... starting from nothing, not the library's copy */
#define QXIO_PROCESS_ENV_KEY_EQUALS_VALUE 0x100000u /* entries are key=value texts */

/* Starts a child. arguments: null-terminated array of property lists (each ending with a
   null key), one per argument, whose "string" and "file" values are joined. environment:
   null-terminated entries, each a key text followed by its value text, or key=value texts.
   directory: the child's working directory (null or empty: the parent's). The pipe ends
   handed out are close-on-exec; without process_out the child is released at once and
   reaped later. A child that cannot change directory or execute the program exits with 1. */
qxio_t_error_code qxio_process_create(const char *program, const qxio_t_property *const *arguments,
                                      const char *directory, const char *const *environment,
                                      int *stdin_out, int *stdout_out, int *stderr_out,
                                      qxio_t_process *process_out, uint32_t options);

#define QXIO_PROCESS_WAIT_NONBLOCKING 0x1u   /* a running child gives QXIO_E_WOULD_BLOCK */
#define QXIO_PROCESS_WAIT_REAP 0x2u          /* else the child stays waitable */
#define QXIO_PROCESS_WAIT_INTERRUPTIBLE 0x4u /* a signal gives QXIO_E_INTERRUPTED */
#define QXIO_PROCESS_WAIT_KEEP_OTHERS 0x8u   /* do not first reap the remembered children */
/* timeout: null waits without limit, zero only asks; any other gives QXIO_E_NOT_SUPPORTED.
   status_out may be null. */
qxio_t_error_code qxio_process_wait(qxio_t_process process, const qxio_t_timespec *timeout,
                                    qxio_t_process_exit_status *status_out, uint32_t options);

#define QXIO_PROCESS_RELEASE_REMEMBER 0x1u /* a running child is reaped later */
#define QXIO_PROCESS_RELEASE_NOTHING 0x2u  /* release a temporary handle: do nothing */
qxio_t_error_code qxio_process_release(qxio_t_process process, uint32_t options);
qxio_t_error_code qxio_process_kill(qxio_t_process process, int signal, uint32_t options);
qxio_t_error_code qxio_process_from_id(int64_t id, qxio_t_process *process_out);
qxio_t_error_code qxio_process_id(qxio_t_process process, int64_t *id_out);
qxio_t_error_code qxio_process_self_id(int64_t *id_out);
/* Start: forget remembered children, copy the environment, empty the set properties.
   Stop: free the properties and the copy, try once to reap each remembered child. */
qxio_t_error_code qxio_init_process(uint32_t deinit);

/* ---- sockets ---- */

/* Sockets are plain descriptors. */
struct addrinfo;

/* qxio_socket_cntl bits, applied in this order. */
#define QXIO_SOCKET_BLOCKING 0x1u
#define QXIO_SOCKET_NONBLOCKING 0x2u
#define QXIO_SOCKET_NODELAY_OFF 0x4u
#define QXIO_SOCKET_NODELAY_ON 0x8u /* a failure is ignored */
#define QXIO_SOCKET_INHERITABLE 0x40u
#define QXIO_SOCKET_CLOEXEC 0x80u
#define QXIO_SOCKET_REUSEADDR 0x10u
qxio_t_error_code qxio_socket_cntl(int fd, uint32_t bits);

/* qxio_socket_create options */
#define QXIO_SOCKET_CREATE_REUSEADDR 0x1u
#define QXIO_SOCKET_CREATE_BIND 0x2u
#define QXIO_SOCKET_CREATE_LISTEN 0x4u      /* backlog 10 */
#define QXIO_SOCKET_CREATE_NONBLOCKING 0x8u /* else made blocking at the end */
#define QXIO_SOCKET_CREATE_INHERITABLE 0x10u
qxio_t_error_code qxio_socket_create(const struct addrinfo *entry, int *fd_out, uint32_t options);

/* qxio_socket_listener options */
#define QXIO_SOCKET_LOOPBACK 0x1u /* the node is ignored */
#define QXIO_SOCKET_NUMERIC_HOST 0x2u
#define QXIO_SOCKET_NUMERIC_SERVICE 0x4u
#define QXIO_SOCKET_REUSE 0x8u /* TCP: reuse the address; Unix: remove a stale file */
#define QXIO_SOCKET_UNIX 0x10u /* the node is a path */
/* A non-blocking listening socket. With service_capacity above 0 the service buffer receives
   the port bound, as decimal text (empty when it cannot be found). */
qxio_t_error_code qxio_socket_listener(const char *node, char *service, size_t service_capacity,
                                       int *fd_out, uint32_t options);
#define QXIO_SOCKET_ACCEPT_INHERITABLE 0x1u
/* host_out and service_out are optional, new texts (qxio_free); a listener with no pending
   connection gives QXIO_E_WOULD_BLOCK. */
qxio_t_error_code qxio_socket_accept(int listener, char **host_out, char **service_out, int *fd_out,
                                     uint32_t options);
#define QXIO_SOCKET_CONNECT_UNIX 0x1u /* the node is a Unix-domain path */
qxio_t_error_code qxio_socket_connect(const char *node, const char *service, int *fd_out,
                                      uint32_t options);
/* The same with a time-out over the connection attempts (null: none; the name lookup is not
   limited): QXIO_E_NET_TIMEDOUT when it passes. In the main thread qxio_interrupt ends the
   wait with QXIO_E_INTERRUPTED. */
qxio_t_error_code qxio_socket_connect_timeout(const char *node, const char *service,
                                              const qxio_t_timespec *timeout, int *fd_out,
                                              uint32_t options);
#define QXIO_SOCKET_SHUT_READ 0x1u
#define QXIO_SOCKET_SHUT_WRITE 0x2u
qxio_t_error_code qxio_socket_shutdown(int fd, uint32_t options);
#define QXIO_SOCKET_CLOSE_ABORTIVE 0x1u /* the peer sees a reset; close failures ignored */
qxio_t_error_code qxio_socket_close(int fd, uint32_t options);
/* The host's name, lower-cased, a new text (qxio_free). */
qxio_t_error_code qxio_hostname(char **name_out, uint32_t options);
/* 1 when both addresses are IPv4, or both IPv6, of equal lengths and the same host (ports
   ignored), else 0; a family other than these gives QXIO_E_NOT_SUPPORTED. */
qxio_t_error_code qxio_socket_addr_equal(const void *address_a, size_t length_a,
                                         const void *address_b, size_t length_b);
qxio_t_error_code qxio_init_socket(uint32_t deinit);

/* ---- asynchronous operations and the asynchronous layer ---- */

/* One asynchronous operation: a short-lived thread that makes one system call on a
   descriptor, records the result and then sets the operation's event. */
typedef struct qxio_t_async_info {
  uint32_t flags;         /* QXIO_ASYNC_... */
  qxio_t_error_code code; /* the result; QXIO_E_AIO_INPROGRESS while running */
  size_t buf_offset;
  size_t nbytes; /* bytes transferred */
  qxio_t_buf *buf;
  int64_t file_offset;
  qxio_t_event *event; /* set on completion (the caller's; not owned) */
} qxio_t_async_info;

#define QXIO_ASYNC_IN_USE 0x1u
#define QXIO_ASYNC_OWNS_BUF 0x2u
#define QXIO_ASYNC_HAS_TASK 0x4u
#define QXIO_ASYNC_READ 0x10u
#define QXIO_ASYNC_WRITE 0x20u
#define QXIO_ASYNC_SEQUENTIAL 0x40u
#define QXIO_ASYNC_REGULAR_FILE 0x80u
#define QXIO_ASYNC_FIFO 0x100u
#define QXIO_ASYNC_TERMINAL 0x200u
#define QXIO_ASYNC_SOCKET 0x400u
#define QXIO_ASYNC_CHARACTER 0x800u
#define QXIO_ASYNC_POSITIONED 0x2000u
#define QXIO_ASYNC_APPEND 0x4000u

/* The options of the operations: the asynchronous layer's async_options. */
#define QXIO_ASYNC_OPTION_SEQUENTIAL 0x2u
#define QXIO_ASYNC_OPTION_REGULAR_FILE 0x4u
#define QXIO_ASYNC_OPTION_FIFO 0x8u
#define QXIO_ASYNC_OPTION_TERMINAL 0x10u
#define QXIO_ASYNC_OPTION_SOCKET 0x20u
#define QXIO_ASYNC_OPTION_CHARACTER 0x40u
#define QXIO_ASYNC_OPTION_POSITIONED 0x80u
#define QXIO_ASYNC_OPTION_APPEND 0x100u

/* Start an operation in *slot (replacing the one there): the event is reset, and set again
   when the operation ends. A read fills an owned 64 KiB buffer (pread at file_offset when
   positioned and not sequential); a write takes buf from its start to its extent (the
   buffer stays the caller's and must not change until the operation ends). */
qxio_t_error_code qxio_async_unix_read(qxio_t_async_info **slot, int64_t file_offset, int fd,
                                       qxio_t_event *event, uint32_t options);
qxio_t_error_code qxio_async_unix_write(qxio_t_async_info **slot, qxio_t_buf *buf,
                                        int64_t file_offset, int fd, qxio_t_event *event,
                                        uint32_t options);
qxio_t_error_code qxio_async_unix_fsync(qxio_t_async_info **slot, int fd, qxio_t_event *event,
                                        uint32_t options);
/* QXIO_E_AIO_INPROGRESS while running; else 1 for a failed operation, 0 for a successful
   one, with its code in *code_out. */
qxio_t_error_code qxio_async_error(qxio_t_async_info *info, qxio_t_error_code *code_out);
/* Waits until the one operation of the list ends (count 0 succeeds at once). */
qxio_t_error_code qxio_async_suspend(qxio_t_async_info *const *list, size_t count,
                                     const qxio_t_timespec *timeout);
/* Collect an ended operation, free it and clear the slot: 1 for a failed operation, else
   its code, or (with a buffer) 0 after appending the bytes a read brought. When those bytes
   cannot be appended, the failure is returned and the operation stays in its slot. */
qxio_t_error_code qxio_async_return(qxio_t_async_info **slot, int64_t *file_offset_out,
                                    size_t *nbytes_out);
qxio_t_error_code qxio_async_return_buf(qxio_t_async_info **slot, qxio_t_buf *buf);
int qxio_async_in_use(qxio_t_async_info *info);
/* Waits for the operation's thread to end, then frees it; null is ignored. */
void qxio_async_free(qxio_t_async_info *info);
/* Cancels a running operation and waits for it to end; a cancelled system call ends the
   operation with QXIO_E_INTERRUPTED. */
qxio_t_error_code qxio_async_cancel_unix(qxio_t_async_info *info);
/* 1 when the operation has ended, else 0. */
int qxio_async_poll_for_completion_unix(qxio_t_async_info *info);

/* The layer class "async": its open is the library's file opening (options and the argument
   QXIO_ARG_PATHNAME as for "threaddevice"); it makes the device layer that
   qxio_layer_async_unix_open_file_handle picks. Its layers are the asynchronous layer,
   made over a descriptor (options QXIO_FD_...) by: */
extern const qxio_t_funcs qxio_layer_async_funcs;
qxio_t_error_code qxio_layer_asynk_open_file_handle_unix(QXIO *slot, int fd, uint32_t options);
/* Start registers the class and reads QXIO_ABORTIVE_WRITE_CANCEL; stop unregisters it. */
qxio_t_error_code qxio_init_layer_async(uint32_t deinit);

#endif
