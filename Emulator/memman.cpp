/* The memory manager: header blocks for foreign code, accounted engine blocks, the ceiling,
 * user block sources, and the fault path with its recovery stack.
 *
 * Blocks come from the system allocator or, when installed before start, from the user's
 * hooks. The data areas reserve their own address space (areas.cpp), so the mapped block
 * source of other designs is not needed here; QX_USE_MALLOC, QX_MALLOC_MALLOCS and
 * QX_CHECKALLOC_MALLOCS are therefore accepted and have no effect.
 *
 * The manager's state lives in this file rather than in eglobal: hooks are recorded and an
 * abort environment is installed before start-up zeroes eglobal.
 */
#include "memman.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

constexpr uint32_t QX_BLOCK_MAGIC = 0x51584d42u; /* live QX_malloc block */
constexpr uint32_t QX_BLOCK_FREED = 0x51584d46u; /* freed: a second QX_free is caught */
constexpr size_t QX_HEADER_BYTES = 8;
/* Lifts the ceiling while a memory fault is being handled, so the handler can build its error. */
constexpr size_t QX_FAULT_RESERVE = 256 * 1024;

struct block_header {
  uint32_t size;
  uint32_t magic;
};
static_assert(sizeof(block_header) == QX_HEADER_BYTES);

struct memman_state {
  size_t in_use[QX_SPACE_COUNT];
  size_t total;
  bool initialized;
  bool in_fault;
  /* user block source */
  bool hooks_set;
  qx_memhook_init *hook_init;
  qx_memhook_deinit *hook_deinit;
  qx_memhook_alloc *hook_alloc;
  qx_memhook_free *hook_free;
  void *hook_cookie;
  qx_memconfig config;
  /* faults */
  char message[256];
  qx_recovery *recovery_top;
  qx_recovery abort_entry;
  int signal_context;
  int fault_kind;
  int fault_category;
};

memman_state mm;

int space_index(int category)
{
  int c = category & 0xFF;
  return c < QX_SPACE_COUNT ? c : QX_SPACE_MISC;
}

/* ---- block source ---- */

/* Blocks of user hooks carry no alignment promise: over-allocate by 8, align, and keep the
 * distance to the hook's block in the byte just below the aligned address. */
void *source_alloc(size_t size)
{
  if (!mm.hooks_set) {
    void *p = std::malloc(size ? size : 1);
    return p;
  }
  if (size > SIZE_MAX - 8) return nullptr;
  char *raw = (char *)mm.hook_alloc(size + 8, mm.hook_cookie);
  if (!raw) return nullptr;
  char *p = (char *)(((uintptr_t)raw + 8) & ~(uintptr_t)7);
  p[-1] = (char)(p - raw);
  return p;
}

void source_free(void *block, size_t size)
{
  if (!mm.hooks_set) {
    std::free(block);
    return;
  }
  char *p = (char *)block;
  mm.hook_free(p - (unsigned char)p[-1], size + 8, mm.hook_cookie);
}

void *source_realloc(void *block, size_t old_size, size_t new_size)
{
  if (!mm.hooks_set) return std::realloc(block, new_size ? new_size : 1);
  void *fresh = source_alloc(new_size);
  if (!fresh) return nullptr;
  std::memcpy(fresh, block, old_size < new_size ? old_size : new_size);
  source_free(block, old_size);
  return fresh;
}

/* ---- accounting ---- */

bool under_ceiling(size_t extra)
{
  size_t ceiling = mm.config.max_size;
  if (ceiling == 0) return true;
  if (mm.in_fault) ceiling += QX_FAULT_RESERVE;
  return mm.total <= ceiling && extra <= ceiling - mm.total;
}

void account(int category, size_t bytes)
{
  mm.in_use[space_index(category)] += bytes;
  mm.total += bytes;
}

void unaccount(int category, size_t bytes)
{
  size_t &slot = mm.in_use[space_index(category)];
  slot -= bytes < slot ? bytes : slot;
  mm.total -= bytes < mm.total ? bytes : mm.total;
}

/* ---- environment ---- */

/* A size in bytes: decimal digits with an optional K, M or G suffix. 0 when unset or malformed. */
size_t env_size(const char *name)
{
  const char *text = std::getenv(name);
  if (!text || !*text) return 0;
  char *end;
  errno = 0;
  unsigned long long v = std::strtoull(text, &end, 10);
  if (errno || end == text || *text == '-') return 0;
  unsigned long long unit = 1;
  switch (*end) {
  case 'k':
  case 'K':
    unit = 1ull << 10;
    end++;
    break;
  case 'm':
  case 'M':
    unit = 1ull << 20;
    end++;
    break;
  case 'g':
  case 'G':
    unit = 1ull << 30;
    end++;
    break;
  default: break;
  }
  if (*end != '\0' || v > SIZE_MAX / unit) return 0;
  return (size_t)(v * unit);
}

void read_config(qx_memconfig *c)
{
  c->init_size = env_size("PROLOGINITSIZE");
  c->inc_size = env_size("PROLOGINCSIZE");
  c->keep_size = env_size("PROLOGKEEPSIZE");
  c->max_size = env_size("PROLOGMAXSIZE");
  c->global_size = env_size("GLOBALSTKSIZE");
  c->local_size = env_size("LOCALSTKSIZE");
  c->choice_size = env_size("CHOICESTKSIZE");
  c->trail_size = env_size("TRAILSTKSIZE");
  size_t growth = env_size("GROWTHFACTOR");
  c->growth_percent = growth >= 10 && growth <= 1000 ? (unsigned)growth : 0;
}

/* ---- faults ---- */

bool is_jump_entry(const qx_recovery *r)
{
  return r->kind == QX_RECOVERY_ABORT_ENV || r->kind == QX_RECOVERY_FOREIGN;
}

/* Delivers the recorded fault. Rule: the innermost recovery entry takes it - a longjmp entry by
 * longjmp, a C++ entry by throwing qx_fault. From a signal handler only longjmp entries can take
 * it; without one the message is printed and the process ends. Without any entry in ordinary
 * context no operation has set a recovery point: the message is printed on stderr (nothing else
 * would report it) and qx_fault is thrown to the caller, whose operation fails there. */
QX_NORETURN void deliver_fault(int kind, int category)
{
  mm.fault_kind = kind;
  mm.fault_category = category;
  qx_recovery *r = mm.recovery_top;
  if (mm.signal_context) {
    while (r && !is_jump_entry(r)) r = r->prev;
    if (!r) {
      const char prefix[] = "! ";
      (void)!write(2, prefix, 2);
      (void)!write(2, mm.message, std::strlen(mm.message));
      (void)!write(2, "\n", 1);
      _exit(1);
    }
    mm.signal_context = 0;
  }
  if (r && is_jump_entry(r)) {
    mm.recovery_top = r;
    std::longjmp(*r->env, 1);
  }
  if (!r) std::fprintf(stderr, "! %s\n", mm.message);
  qx_fault fault;
  fault.kind = kind;
  fault.category = category;
  std::memcpy(fault.message, mm.message, sizeof fault.message);
  throw fault;
}

}  // namespace

/* ---- QX_malloc family ---- */

void *QX_malloc(size_t size)
{
  if (size > UINT32_MAX - QX_HEADER_BYTES || !under_ceiling(size + QX_HEADER_BYTES)) return nullptr;
  block_header *h = (block_header *)source_alloc(size + QX_HEADER_BYTES);
  if (!h) return nullptr;
  h->size = (uint32_t)size;
  h->magic = QX_BLOCK_MAGIC;
  account(QX_SPACE_FOREIGN, size + QX_HEADER_BYTES);
  return h + 1;
}

/* The header of a block handed to QX_free/QX_realloc; faults on anything else, which would
 * otherwise corrupt the allocator. */
static block_header *checked_header(void *block, const char *who)
{
  block_header *h = (block_header *)block - 1;
  if (h->magic != QX_BLOCK_MAGIC) {
    std::snprintf(mm.message, sizeof mm.message, "%s: not a live block", who);
    deliver_fault(QX_FAULT_MESSAGE, -1);
  }
  return h;
}

void QX_free(void *block)
{
  if (!block) return;
  block_header *h = checked_header(block, "QX_free");
  size_t bytes = h->size + QX_HEADER_BYTES;
  h->magic = QX_BLOCK_FREED;
  unaccount(QX_SPACE_FOREIGN, bytes);
  source_free(h, bytes);
}

void *QX_realloc(void *block, size_t size)
{
  if (!block) return QX_malloc(size);
  block_header *h = checked_header(block, "QX_realloc");
  size_t old_bytes = h->size + QX_HEADER_BYTES;
  if (size > UINT32_MAX - QX_HEADER_BYTES) return nullptr;
  size_t new_bytes = size + QX_HEADER_BYTES;
  if (new_bytes > old_bytes && !under_ceiling(new_bytes - old_bytes)) return nullptr;
  block_header *fresh = (block_header *)source_realloc(h, old_bytes, new_bytes);
  if (!fresh) return nullptr;
  fresh->size = (uint32_t)size;
  unaccount(QX_SPACE_FOREIGN, old_bytes);
  account(QX_SPACE_FOREIGN, new_bytes);
  return fresh + 1;
}

void *QX_calloc(size_t count, size_t size)
{
  if (size != 0 && count > SIZE_MAX / size) return nullptr;
  void *p = QX_malloc(count * size);
  if (p) std::memset(p, 0, count * size);
  return p;
}

char *QX_strdup(const char *text)
{
  if (!text) return nullptr;
  size_t n = std::strlen(text) + 1;
  char *p = (char *)QX_malloc(n);
  if (p) std::memcpy(p, text, n);
  return p;
}

/* ---- engine blocks ---- */

void *qx_checkalloc(size_t size, int category)
{
  void *p = under_ceiling(size) ? source_alloc(size) : nullptr;
  if (!p) {
    if (category & QX_MAY_FAIL) return nullptr;
    qx_memory_fault(nullptr, space_index(category));
  }
  account(category, size);
  return p;
}

void *qx_checkrealloc(void *block, size_t old_size, size_t new_size, int category)
{
  if (!block) return qx_checkalloc(new_size, category);
  bool fits = new_size <= old_size || under_ceiling(new_size - old_size);
  void *p = fits ? source_realloc(block, old_size, new_size) : nullptr;
  if (!p) {
    if (category & QX_MAY_FAIL) return nullptr;
    qx_memory_fault(nullptr, space_index(category));
  }
  unaccount(category, old_size);
  account(category, new_size);
  return p;
}

void qx_checkdealloc(void *block, size_t size, int category)
{
  if (!block) return;
  unaccount(category, size);
  source_free(block, size);
}

size_t qx_space_in_use(int category) { return mm.in_use[space_index(category)]; }

bool qx_space_claim(size_t bytes, int category)
{
  if (!under_ceiling(bytes)) return false;
  account(category, bytes);
  return true;
}

void qx_space_unclaim(size_t bytes, int category) { unaccount(category, bytes); }

/* ---- faults and recovery ---- */

void qx_memory_fault(const char *culprit, int code)
{
  if (culprit)
    std::snprintf(mm.message, sizeof mm.message, "out of memory in %s", culprit);
  else
    std::snprintf(mm.message, sizeof mm.message, "out of memory");
  mm.in_fault = true;
  deliver_fault(QX_FAULT_MEMORY, code < 0 ? -1 : space_index(code));
}

void QX_raise_fault(const char *message)
{
  std::snprintf(mm.message, sizeof mm.message, "%s", message ? message : "internal error");
  deliver_fault(QX_FAULT_MESSAGE, -1);
}

const char *qx_get_abort_err_ienc() { return mm.message; }

void qx_fault_redeliver() { deliver_fault(mm.fault_kind, mm.fault_category); }

void qx_recovery_push(qx_recovery *entry, int kind, jmp_buf *env)
{
  entry->prev = mm.recovery_top;
  entry->kind = kind;
  entry->env = env;
  mm.recovery_top = entry;
}

void qx_recovery_pop(qx_recovery *entry)
{
  for (qx_recovery *r = mm.recovery_top; r; r = r->prev)
    if (r == entry) {
      mm.recovery_top = entry->prev;
      return;
    }
}

qx_recovery *qx_recovery_top() { return mm.recovery_top; }

void qx_recovery_signal_context(int on) { mm.signal_context = on; }

/* The client's buffer becomes the innermost entry; null removes it. An abort entry left below
 * newer entries leaves the stack with them when they pop (its frame has gone by then). */
void qx_set_abort_env(jmp_buf *env)
{
  qx_recovery **link = &mm.recovery_top;
  while (*link && *link != &mm.abort_entry) link = &(*link)->prev;
  if (*link) *link = mm.abort_entry.prev;
  if (env) qx_recovery_push(&mm.abort_entry, QX_RECOVERY_ABORT_ENV, env);
}

/* ---- hooks and lifecycle ---- */

/* Accepted before start only: hint 1 with no functions (the system allocator), or hint 0 with
 * all four functions. The init hook answers nonzero on success. 1 when accepted. */
int qx_memman_set_hooks(int hint, qx_memhook_init *init, qx_memhook_deinit *deinit,
                        qx_memhook_alloc *alloc, qx_memhook_free *free, void *cookie)
{
  if (mm.initialized) return 0;
  if (hint == 1 && !init && !deinit && !alloc && !free) {
    mm.hooks_set = false;
    return 1;
  }
  if (hint != 0 || !init || !deinit || !alloc || !free) return 0;
  mm.hooks_set = true;
  mm.hook_init = init;
  mm.hook_deinit = deinit;
  mm.hook_alloc = alloc;
  mm.hook_free = free;
  mm.hook_cookie = cookie;
  return 1;
}

/* The default source is the system allocator; user hooks, when set, stay in force. */
void set_memalloc_default() {}

const qx_memconfig *qx_memman_config() { return &mm.config; }

int memman_init()
{
  if (mm.initialized) return 0;
  if (mm.hooks_set && !mm.hook_init(mm.hook_cookie)) return 1;
  std::memset(mm.in_use, 0, sizeof mm.in_use);
  mm.total = 0;
  mm.in_fault = false;
  read_config(&mm.config);
  mm.initialized = true;
  return 0;
}

void memman_reinit() { mm.in_fault = false; }

int qx_memman_running() { return mm.initialized ? 1 : 0; }

void memman_deinit()
{
  if (!mm.initialized) return;
  if (mm.hooks_set) mm.hook_deinit(mm.hook_cookie);
  mm.initialized = false;
  mm.in_fault = false;
}
