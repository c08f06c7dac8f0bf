/* The engine's memory manager: header blocks for foreign code, accounted engine blocks, faults. */
#ifndef QX_MEMMAN_H
#define QX_MEMMAN_H

#include <cstddef>
#include <cstdint>
#include <csetjmp>

#include "qxaux.h"

/* Space categories of engine blocks; QX_MAY_FAIL in the category word makes qx_checkalloc
 * return null instead of entering the memory-fault path. */
enum qx_space {
  QX_SPACE_MISC = 0,
  QX_SPACE_ATOM,
  QX_SPACE_PROGRAM,
  QX_SPACE_DATABASE,
  QX_SPACE_STACKS,
  QX_SPACE_NUMSTACK,
  QX_SPACE_FOREIGN,
  QX_SPACE_SOLVER,
  QX_SPACE_COUNT
};
constexpr int QX_MAY_FAIL = 0x100;

/* Blocks with an 8-byte header {size, magic}; 8-aligned. */
void *QX_malloc(size_t size);
void *QX_realloc(void *block, size_t size);
void QX_free(void *block);
void *QX_calloc(size_t count, size_t size);
char *QX_strdup(const char *text);

/* Engine blocks without a header: the caller keeps size and category. 8-aligned. */
void *qx_checkalloc(size_t size, int category);
void *qx_checkrealloc(void *block, size_t old_size, size_t new_size, int category);
void qx_checkdealloc(void *block, size_t size, int category);
size_t qx_space_in_use(int category);

/* The memory-fault path: goes to the innermost recovery point; never returns. */
QX_NORETURN void qx_memory_fault(const char *culprit, int code);
QX_NORETURN void QX_raise_fault(const char *message);
void qx_set_abort_env(jmp_buf *env);
const char *qx_get_abort_err_ienc();

typedef int (qx_memhook_init)(void *cookie);
typedef void (qx_memhook_deinit)(void *cookie);
typedef void *(qx_memhook_alloc)(size_t size, void *cookie);
typedef void (qx_memhook_free)(void *block, size_t size, void *cookie);
int qx_memman_set_hooks(int hint, qx_memhook_init *init, qx_memhook_deinit *deinit,
                        qx_memhook_alloc *alloc, qx_memhook_free *free, void *cookie);
void set_memalloc_default();
int memman_init();
void memman_reinit();
void memman_deinit();

#endif
