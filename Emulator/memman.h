/* The engine's memory manager: header blocks for foreign code, accounted engine blocks, faults. */
#ifndef QX_MEMMAN_H
#define QX_MEMMAN_H

#include <cstddef>
#include <cstdint>
#include <csetjmp>
#include <exception>

#include "datadefs.h" /* the space categories */
#include "qxaux.h"

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

/* The memory-fault path: goes to the innermost recovery point; never returns.
 * qx_memory_fault: culprit names what could not be allocated (null: unnamed), code is the space
 * category that ran out (negative: unknown). */
QX_NORETURN void qx_memory_fault(const char *culprit, int code);
QX_NORETURN void QX_raise_fault(const char *message);
void qx_set_abort_env(jmp_buf *env);
const char *qx_get_abort_err_ienc();

/* A fault inside engine code, thrown to the innermost C++ recovery point. */
enum qx_fault_kind { QX_FAULT_MEMORY = 1, QX_FAULT_MESSAGE = 2 };
struct qx_fault : std::exception {
  int kind;     /* QX_FAULT_MEMORY or QX_FAULT_MESSAGE */
  int category; /* memory fault: the space category that ran out, -1 unknown */
  char message[256];
  const char *what() const noexcept override { return message; }
};

/* The recovery stack: the innermost entry receives a fault. EMULATOR and API entries catch
 * qx_fault (C++ exception); ABORT_ENV (installed by qx_set_abort_env) and FOREIGN entries are
 * longjmp targets. Entries are records owned by the frame that pushes them. */
enum qx_recovery_kind {
  QX_RECOVERY_EMULATOR = 1,
  QX_RECOVERY_ABORT_ENV,
  QX_RECOVERY_FOREIGN,
  QX_RECOVERY_API
};
struct qx_recovery {
  qx_recovery *prev;
  int kind;
  jmp_buf *env; /* ABORT_ENV and FOREIGN */
};
void qx_recovery_push(qx_recovery *entry, int kind, jmp_buf *env);
/* Pops `entry` and every entry pushed after it. */
void qx_recovery_pop(qx_recovery *entry);
qx_recovery *qx_recovery_top();
/* Delivers the last fault again, to the entry that is now innermost: a FOREIGN entry's owner
 * calls it after its longjmp landed and it popped the entry. */
QX_NORETURN void qx_fault_redeliver();
/* The fatal-signal handler brackets its fault with these: from a signal handler only longjmp
 * entries can take a fault. */
void qx_recovery_signal_context(int on);

/* A C++ recovery point for the extent of a scope: push on entry, pop on exit. The owner wraps
 * the scope's body in try/catch (const qx_fault &). */
class qx_recovery_scope {
public:
  explicit qx_recovery_scope(int kind) { qx_recovery_push(&entry_, kind, nullptr); }
  ~qx_recovery_scope() { qx_recovery_pop(&entry_); }
  qx_recovery_scope(const qx_recovery_scope &) = delete;
  qx_recovery_scope &operator=(const qx_recovery_scope &) = delete;

private:
  qx_recovery entry_;
};

typedef int(qx_memhook_init)(void *cookie);
typedef void(qx_memhook_deinit)(void *cookie);
typedef void *(qx_memhook_alloc)(size_t size, void *cookie);
typedef void(qx_memhook_free)(void *block, size_t size, void *cookie);
int qx_memman_set_hooks(int hint, qx_memhook_init *init, qx_memhook_deinit *deinit,
                        qx_memhook_alloc *alloc, qx_memhook_free *free, void *cookie);
void set_memalloc_default();
int memman_init();
void memman_reinit();
void memman_deinit();
/* 1 between memman_init and memman_deinit. */
int qx_memman_running();

/* Sizes from the environment, read by memman_init (0 = not set; sizes in bytes, an optional
 * K, M or G suffix multiplies). The data areas size themselves from these. */
struct qx_memconfig {
  size_t init_size;        /* PROLOGINITSIZE: first commit of heap and local stack together */
  size_t inc_size;         /* PROLOGINCSIZE: least step of a heap commit */
  size_t keep_size;        /* PROLOGKEEPSIZE: heap kept committed by trimcore */
  size_t max_size;         /* PROLOGMAXSIZE: ceiling of accounted blocks plus committed areas */
  size_t global_size;      /* GLOBALSTKSIZE */
  size_t local_size;       /* LOCALSTKSIZE */
  size_t choice_size;      /* CHOICESTKSIZE */
  size_t trail_size;       /* TRAILSTKSIZE */
  unsigned growth_percent; /* GROWTHFACTOR: an area grows by at least this percentage */
};
const qx_memconfig *qx_memman_config();
/* Committed area memory counts against the ceiling: claim before committing (false: over the
 * ceiling), unclaim after decommitting. */
bool qx_space_claim(size_t bytes, int category);
void qx_space_unclaim(size_t bytes, int category);

#endif
