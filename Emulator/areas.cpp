/* The worker's data areas.
 *
 * Heap and local stack share one PROT_NONE reservation: the heap in the lower three quarters
 * from the reservation's start, the local stack in the upper quarter, each committed upwards on
 * demand. The heap therefore never moves, and neither does the local stack (interpreter runs
 * nested in natives hold its addresses), so the split is fixed: a quarter of the largest
 * reservation holds some 6 million frames of a clause with a few variables, a non-tail
 * recursion over a list of that length. The trail and the choicepoints share one separately
 * mapped block, the trail growing upwards from its bottom and the choicepoints downwards from
 * its top; that block moves when it grows.
 *
 *  [heap_start .. global_top .. stack_start | PROT_NONE || local_start .. local_end | PROT_NONE]
 *  [trail_start .. trail_top ->        free        <- node_ .. choice_start]
 */
#include "objareas.h"
#include "unify.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "atoms.h"
#include "gc.h"
#include "memman.h"
#include "orvalis.h"

namespace {

constexpr size_t QX_RESERVE_DEFAULT = QX_RESERVE_MAX;
constexpr size_t QX_RESERVE_MIN = (size_t)1 << 20;
constexpr size_t QX_GLOBAL_DEFAULT = (size_t)2 << 20;
constexpr size_t QX_LOCAL_DEFAULT = (size_t)256 << 10;
constexpr size_t QX_TRAIL_DEFAULT = (size_t)128 << 10;
constexpr size_t QX_CHOICE_DEFAULT = (size_t)128 << 10;
constexpr unsigned QX_GROWTH_DEFAULT = 100;
constexpr uint32_t QX_GCMARGIN_DEFAULT_KB = 1000;
constexpr size_t QX_LOCAL_SHARE = 4; /* the local stack's part of the reservation: 1/4 */

size_t page_size()
{
  static size_t size = (size_t)sysconf(_SC_PAGESIZE);
  return size;
}

size_t round_pages(size_t bytes) { return (bytes + page_size() - 1) & ~(page_size() - 1); }

/* Sizes of the areas from the environment, with defaults. */
struct area_sizes {
  size_t reserve;
  size_t heap;
  size_t local;
  size_t trail_block;
  unsigned growth;
};

area_sizes configured_sizes()
{
  const qx_memconfig *c = qx_memman_config();
  area_sizes s;
  s.reserve = QX_RESERVE_DEFAULT;
  if (c->max_size && c->max_size < s.reserve) s.reserve = c->max_size & ~(page_size() - 1);
  s.local = round_pages(c->local_size ? c->local_size : QX_LOCAL_DEFAULT);
  s.heap = round_pages(c->global_size ? c->global_size : QX_GLOBAL_DEFAULT);
  if (c->init_size > s.heap + s.local) s.heap = round_pages(c->init_size - s.local);
  s.trail_block = round_pages((c->trail_size ? c->trail_size : QX_TRAIL_DEFAULT) +
                              (c->choice_size ? c->choice_size : QX_CHOICE_DEFAULT));
  if (s.trail_block > QX_CHOICE_BLOCK_MAX) s.trail_block = QX_CHOICE_BLOCK_MAX;
  s.growth = c->growth_percent ? c->growth_percent : QX_GROWTH_DEFAULT;
  return s;
}

/* The next size of an area of `size` bytes that must hold at least `need`. */
size_t grown_size(size_t size, size_t need, size_t step)
{
  size_t grown = size + size / 100 * configured_sizes().growth;
  if (grown < size + step) grown = size + step;
  return round_pages(grown > need ? grown : need);
}

/* Makes [from, from + bytes) of a reservation usable; false when the ceiling or the system
 * (RLIMIT_DATA, commit limit) refuses. */
bool commit(void *from, size_t bytes)
{
  if (bytes == 0) return true;
  if (!qx_space_claim(bytes, QX_SPACE_STACKS)) return false;
  if (mprotect(from, bytes, PROT_READ | PROT_WRITE) != 0) {
    qx_space_unclaim(bytes, QX_SPACE_STACKS);
    return false;
  }
  return true;
}

/* Returns committed pages to the reservation: their contents and their charge go. */
void decommit(void *from, size_t bytes)
{
  if (bytes == 0) return;
  mmap(from, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0);
  qx_space_unclaim(bytes, QX_SPACE_STACKS);
}

/* The largest reservation the system grants, halving from `size`; null below the minimum. */
char *reserve(size_t *size)
{
  for (size_t s = *size; s >= QX_RESERVE_MIN; s /= 2) {
    void *p = mmap(nullptr, s, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p != MAP_FAILED) {
      *size = s;
      return (char *)p;
    }
  }
  return nullptr;
}

/* The GC margin in cells, reckoned in 64 bits and at most the whole reservation, so that it
 * neither wraps nor makes a sum with a request wrap. */
size_t gcmargin_cells()
{
  constexpr uint64_t most = QX_RESERVE_MAX / sizeof(TAGGED);
  uint64_t kb = qx_eg.current_gcmargin ? qx_eg.current_gcmargin : QX_GCMARGIN_DEFAULT_KB;
  uint64_t cells = kb * 1024 / sizeof(TAGGED);
  return (size_t)(cells < most ? cells : most);
}

/* Whether more than `cells` cells lie free above the heap top. The room is a signed difference:
 * a top past the fence has none. */
bool heap_room_over(const worker *w, uint64_t cells)
{
  return (int64_t)(w->stack_start - w->global_top) > (int64_t)cells;
}

/* Recomputes the warning limits after the fence moved. A zeroed soft limit is a pending
 * event request and stays zero; int_heap_warn keeps the value to restore it to. */
void set_heap_limits(worker *w)
{
  size_t margin = gcmargin_cells();
  size_t room = (size_t)(w->stack_start - w->heap_start);
  w->heap_warn = margin < room ? w->stack_start - margin : w->heap_start;
  w->int_heap_warn = w->heap_warn;
  if (w->heap_warn_soft != nullptr) w->heap_warn_soft = w->heap_warn;
}

/* Moves the heap's commit fence so that at least `need` cells, and if possible `want`, lie
 * above the heap top. */
bool grow_heap(worker *w, size_t want, size_t need)
{
  char *base = (char *)w->heap_start;
  char *fence = (char *)w->stack_start;
  size_t limit = (size_t)((char *)w->heap_end - base);
  size_t used = (size_t)((char *)w->global_top - base);
  size_t committed = (size_t)(fence - base);
  if (need > (limit - used) / sizeof(TAGGED)) return false;
  size_t step = qx_memman_config()->inc_size;
  size_t sizes[3] = {
      grown_size(committed, used + want * sizeof(TAGGED), step),
      round_pages(used + want * sizeof(TAGGED) + 1),
      round_pages(used + need * sizeof(TAGGED) + 1),
  };
  for (size_t size : sizes) {
    if (size > limit) size = limit;
    if (size <= committed || commit(fence, size - committed)) {
      if (size > committed) w->stack_start = (TAGGED *)(base + size);
      return true;
    }
  }
  return false;
}

/* Moves the trail/choicepoint block to `new_size` bytes: the trail keeps its offset from the
 * bottom, the choicepoints keep theirs from the top, and each node's saved trail top follows
 * the trail. The nodes are walked by the size their alternative code carries. */
bool resize_choice_block(worker *w, size_t new_size)
{
  char *old_base = (char *)w->trail_start;
  size_t old_size = (size_t)((char *)w->choice_start - old_base);
  size_t trail_bytes = (size_t)((char *)w->trail_top - old_base);
  size_t node_bytes = (size_t)((char *)w->choice_start - (char *)w->node_);
  size_t query_off =
      w->current_query ? (size_t)((char *)w->choice_start - (char *)w->current_query) : 0;
  if (new_size < trail_bytes + node_bytes || new_size > QX_CHOICE_BLOCK_MAX) return false;
  if (new_size > old_size && !qx_space_claim(new_size - old_size, QX_SPACE_STACKS)) return false;
  if (new_size < old_size)
    std::memmove(old_base + new_size - node_bytes, old_base + old_size - node_bytes, node_bytes);
  void *moved = mremap(old_base, old_size, new_size, MREMAP_MAYMOVE);
  if (moved == MAP_FAILED) {
    if (new_size > old_size)
      qx_space_unclaim(new_size - old_size, QX_SPACE_STACKS);
    else
      std::memmove(old_base + old_size - node_bytes, old_base + new_size - node_bytes, node_bytes);
    return false;
  }
  char *base = (char *)moved;
  if (new_size > old_size)
    std::memmove(base + new_size - node_bytes, base + old_size - node_bytes, node_bytes);
  else
    qx_space_unclaim(old_size - new_size, QX_SPACE_STACKS);
  w->trail_start = (TAGGED *)base;
  w->trail_top = (TAGGED *)(base + trail_bytes);
  w->choice_start = (node *)(base + new_size);
  w->node_ = (node *)(base + new_size - node_bytes);
  if (w->current_query) w->current_query = (node *)(base + new_size - query_off);
  uintptr_t shift = (uintptr_t)base - (uintptr_t)old_base;
  for (node *n = w->node_; n < w->choice_start;) {
    n->trail_top = (TAGGED *)((uintptr_t)n->trail_top + shift);
    int size = NodeAlt(n)->node_size;
    if (size < (int)sizeof(node) || size > (char *)w->choice_start - (char *)n)
      QX_raise_fault("choicepoint with a bad size in its alternative");
    n = (node *)((char *)n + size);
  }
  return true;
}

void unmap_areas(worker *w)
{
  if (w->heap_start) {
    char *base = (char *)w->heap_start;
    qx_space_unclaim((size_t)((char *)w->stack_start - base), QX_SPACE_STACKS);
    qx_space_unclaim((size_t)((char *)w->local_end - (char *)w->local_start), QX_SPACE_STACKS);
    munmap(base, (size_t)((char *)w->local_max - base));
  }
  if (w->trail_start) {
    size_t size = (size_t)((char *)w->choice_start - (char *)w->trail_start);
    qx_space_unclaim(size, QX_SPACE_STACKS);
    munmap(w->trail_start, size);
  }
}

void clear_area_fields(worker *w)
{
  w->heap_start = w->global_top = w->stack_start = w->heap_end = nullptr;
  w->global_uncond = w->heap_warn_soft = w->int_heap_warn = w->heap_warn = nullptr;
  w->local_start = w->local_top = w->local_end = w->local_uncond = w->local_max = nullptr;
  w->trail_start = w->trail_top = nullptr;
  w->trail_special = 0;
  w->node_ = w->choice_start = w->current_query = nullptr;
}

/* Maps and commits the areas; fields are set as each part succeeds, so a failure can unmap
 * exactly what exists. */
bool map_areas(worker *w, const area_sizes &s)
{
  size_t size = s.reserve;
  char *base = reserve(&size);
  if (!base) return false;
  size_t local_part = round_pages(size / QX_LOCAL_SHARE);
  size_t heap_part = size - local_part;
  size_t heap = s.heap < heap_part ? s.heap : heap_part;
  size_t local = s.local < local_part ? s.local : local_part;
  w->heap_start = w->stack_start = (TAGGED *)base;
  w->heap_end = (TAGGED *)(base + heap_part);
  w->local_start = w->local_end = (frame *)(base + heap_part);
  w->local_max = (frame *)(base + size);
  if (!commit(base, heap)) return false;
  w->stack_start = (TAGGED *)(base + heap);
  if (!commit(base + heap_part, local)) return false;
  w->local_end = (frame *)(base + heap_part + local);
  if (!qx_space_claim(s.trail_block, QX_SPACE_STACKS)) return false;
  void *block =
      mmap(nullptr, s.trail_block, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) {
    qx_space_unclaim(s.trail_block, QX_SPACE_STACKS);
    return false;
  }
  w->trail_start = (TAGGED *)block;
  w->choice_start = (node *)((char *)block + s.trail_block);
  return true;
}

}  // namespace

/* An empty worker: the heap holds only the reserved slots' terms, no choicepoint, an empty trail
 * whose word 0 is 0, and every conditional limit at the bottom of its area. */
int init_stacks(worker *w)
{
  clear_area_fields(w);
  if (!map_areas(w, configured_sizes())) {
    unmap_areas(w);
    clear_area_fields(w);
    return 1;
  }
  std::memset(w->heap_start, 0, QX_HEAP_RESERVED_CELLS * sizeof(TAGGED));
  if (!fli_stack_init(w)) {
    unmap_areas(w);
    clear_area_fields(w);
    return 1;
  }
  w->global_top = w->heap_start + QX_HEAP_RESERVED_CELLS;
  w->global_uncond = w->global_top;
  w->local_top = w->local_uncond = w->local_start;
  w->trail_start[0] = 0;
  w->trail_top = w->trail_start + 1;
  w->trail_special = 0;
  w->node_ = w->choice_start;
  w->heap_warn_soft = w->heap_start; /* any non-null value: set_heap_limits replaces it */
  qx_eg.current_gcmode = atom_on;
  qx_eg.current_gctrace = atom_off;
  qx_gc_stress_init();
  set_heap_limits(w);
  if (!qx_unify_init(w)) {
    deinit_stacks(w);
    return 1;
  }
  return 0;
}

void deinit_stacks(worker *w)
{
  qx_unify_deinit(w); /* the unification stack and wake list belong to the worker's areas */
  fli_stack_deinit(w);
  qx_gc_release_lists();
  unmap_areas(w);
  clear_area_fields(w);
}

/* Collects first when gc_mode is on; grows when the collection freed less than the GC margin or
 * a quarter of what stays, so that a heap that is mostly live is not collected over and over.
 * When neither gives back the margin, memory is short: a memory fault rather than a collection
 * at every call. */
void call_overflow(worker *w, uint32_t words, int live)
{
  size_t margin = gcmargin_cells();
  uint64_t want = (uint64_t)words + margin;
  bool stress = qx_gc_stress && qx_eg.current_gcmode != atom_off;
  if (!stress && heap_room_over(w, want)) return;
  bool collected = false;
  if (qx_eg.current_gcmode != atom_off) {
    TAGGED *before = w->global_top;
    collected = qx_gc_collect(w, live);
    size_t freed = (size_t)(before - w->global_top);
    size_t kept = (size_t)(w->global_top - w->heap_start);
    bool enough = heap_room_over(w, want);
    /* In the stress mode a call that has room does not grow, collected or not (collection off). */
    if (enough && (stress || (collected && freed >= margin && freed >= kept / 4))) {
      set_heap_limits(w);
      return;
    }
  }
  bool grown = grow_heap(w, words + margin, words);
  set_heap_limits(w);
  bool short_after_collection = collected && !stress && !heap_room_over(w, want);
  if (!grown || short_after_collection) qx_memory_fault(nullptr, QX_SPACE_STACKS);
}

void local_overflow(worker *w, uint32_t bytes)
{
  char *top = (char *)w->local_top;
  char *fence = (char *)w->local_end;
  char *limit = (char *)w->local_max;
  if ((size_t)(fence - top) >= bytes) return;
  if (bytes > (size_t)(limit - top)) qx_memory_fault(nullptr, QX_SPACE_STACKS);
  size_t committed = (size_t)(fence - (char *)w->local_start);
  size_t used = (size_t)(top - (char *)w->local_start);
  size_t sizes[2] = {grown_size(committed, used + bytes, 0), round_pages(used + bytes)};
  for (size_t size : sizes) {
    char *end = (char *)w->local_start + size;
    if (end > limit) end = limit;
    if (commit(fence, (size_t)(end - fence))) {
      w->local_end = (frame *)end;
      return;
    }
  }
  qx_memory_fault(nullptr, QX_SPACE_STACKS);
}

/* Tidying first: it is kept when it leaves free at least half of what stays in use, so that the
 * next one comes only after as many pushes as it walked; else the block grows. */
void choice_overflow(worker *w, uint32_t pad)
{
  size_t gap = (size_t)((char *)w->node_ - (char *)w->trail_top);
  size_t want = (size_t)pad * sizeof(TAGGED);
  if (gap >= want) return;
  if (qx_trail_tidy(w)) {
    gap = (size_t)((char *)w->node_ - (char *)w->trail_top);
    size_t in_use = (size_t)((char *)w->trail_top - (char *)w->trail_start) +
                    (size_t)((char *)w->choice_start - (char *)w->node_);
    if (gap >= want && gap >= in_use / 2) return;
  }
  size_t size = (size_t)((char *)w->choice_start - (char *)w->trail_start);
  size_t need = size + (want > gap ? want - gap : 0);
  size_t grown = grown_size(size, need, 0);
  if (grown > QX_CHOICE_BLOCK_MAX && need <= QX_CHOICE_BLOCK_MAX) grown = QX_CHOICE_BLOCK_MAX;
  if (resize_choice_block(w, grown) || gap >= want) return; /* a tidied block may stay as it is */
  if (!resize_choice_block(w, round_pages(need))) qx_memory_fault(nullptr, QX_SPACE_STACKS);
}

/* Returns unused committed memory: the heap above its top (keeping PROLOGKEEPSIZE or the
 * initial size, and the GC margin), the local stack above its top, and with mode 1 also the
 * trail/choicepoint block down to its initial size when its contents fit. */
void trimcore(worker *w, int mode)
{
  area_sizes s = configured_sizes();
  size_t keep = qx_memman_config()->keep_size;
  if (keep < s.heap) keep = s.heap;
  size_t heap_used =
      (size_t)((char *)w->global_top - (char *)w->heap_start) + gcmargin_cells() * sizeof(TAGGED);
  if (keep < heap_used) keep = round_pages(heap_used + 1);
  char *heap_keep = (char *)w->heap_start + keep;
  if (heap_keep < (char *)w->stack_start) {
    decommit(heap_keep, (size_t)((char *)w->stack_start - heap_keep));
    w->stack_start = (TAGGED *)heap_keep;
    set_heap_limits(w);
  }
  size_t local_keep = round_pages((size_t)((char *)w->local_top - (char *)w->local_start));
  if (local_keep < s.local) local_keep = s.local;
  char *local_fence = (char *)w->local_start + local_keep;
  if (local_fence < (char *)w->local_end) {
    decommit(local_fence, (size_t)((char *)w->local_end - local_fence));
    w->local_end = (frame *)local_fence;
  }
  if (mode == 1) {
    size_t size = (size_t)((char *)w->choice_start - (char *)w->trail_start);
    size_t used = (size_t)((char *)w->trail_top - (char *)w->trail_start) +
                  (size_t)((char *)w->choice_start - (char *)w->node_) +
                  2 * QX_TRAIL_MARGIN_CELLS * sizeof(TAGGED);
    if (s.trail_block < size && used <= s.trail_block) resize_choice_block(w, s.trail_block);
  }
}
