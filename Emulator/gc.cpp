/* The sliding mark-compact heap collector.
 *
 * Marking sets one bit per live cell in a side table, with an explicit stack (no C++ recursion,
 * so that long lists and deep terms cannot exhaust the C stack). Boxed numbers are marked whole
 * and their words also noted as raw, so that compaction never reads a payload word as a term.
 * The new address of a cell is the heap start plus the number of marked cells below it, found
 * from a per-32-cell prefix count and the bits of its own word; one pass in address order then
 * relocates each live cell's pointer and slides it down. Cell order is kept. The roots are
 * relocated from the same tables; choicepoints' heap tops become the new address of the first
 * surviving cell at or above them.
 */
#include "gc.h"

#include <sys/mman.h>
#include <sys/time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "atoms.h"
#include "builtins.h"
#include "memman.h"
#include "objareas.h"
#include "wam.h"

void (*qx_gc_outside_roots)(worker *w, int operation, TAGGED *heap_start);

bool qx_gc_stress =
#ifdef QX_GC_STRESS
    true;
#else
    false;
#endif

/* In the stress mode, a room check that has room answers "short" as well once so many checks
 * have passed since the last collection: the period, plus one check for every 4 cells and root
 * words that the last collection kept, so that the extra work per check stays bounded however
 * large the live data (a collection costs in proportion to them). Counted from the set-up of
 * the areas, so that a test meets the same collections whatever ran before it. */
namespace {
constexpr uint32_t kStressPeriod = 256;
uint32_t stress_period = kStressPeriod, stress_checks, stress_kept;
}  // namespace

void qx_gc_stress_init()
{
  const char *stress = std::getenv("QX_GC_STRESS");
  if (stress && stress[0] == '1') qx_gc_stress = true;
  const char *period = std::getenv("QX_GC_STRESS_PERIOD");
  stress_period = period && std::atoi(period) > 0 ? (uint32_t)std::atoi(period) : kStressPeriod;
  stress_checks = stress_kept = 0;
}

bool qx_gc_stress_due() { return ++stress_checks >= stress_period + stress_kept / 4; }

namespace {

struct root_range {
  TAGGED *start;
  size_t n;
};
/* Built on first use: files register their static root words while the program starts. */
std::vector<root_range> &extra_roots()
{
  static std::vector<root_range> ranges;
  return ranges;
}
struct walker_entry {
  qx_gc_walker walk;
  void *data;
};
std::vector<walker_entry> walkers;
int gc_disabled;
qx_gc_stats stats;

double now_seconds()
{
  timeval tv;
  gettimeofday(&tv, nullptr);
  return (double)tv.tv_sec + (double)tv.tv_usec / 1e6;
}

/* The collector's tables are mapped, zeroed, outside the memory manager: when they cannot be had
 * (a data-segment limit) the collection is skipped and the heap grows or the caller faults. */
size_t table_bytes(size_t words) { return (words * sizeof(uint32_t) + 4095) & ~(size_t)4095; }
uint32_t *map_table(size_t words)
{
  void *p =
      mmap(nullptr, table_bytes(words), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : (uint32_t *)p;
}

/* The mark stack, mapped outside the allocator as the tables are: the collector runs when memory
 * is short, and an allocator that has run out may abort rather than throw. A push that finds no
 * room is dropped and recorded; the collection is then given up. */
class mark_stack {
public:
  ~mark_stack()
  {
    if (base_) munmap(base_, cap_ * sizeof(TAGGED *));
  }
  bool empty() const { return size_ == 0 || failed_; } /* a failed marking stops */
  TAGGED *pop() { return base_[--size_]; }
  void push(TAGGED *p)
  {
    if (size_ == cap_ && (failed_ || !grow())) {
      failed_ = true;
      return;
    }
    base_[size_++] = p;
  }
  bool failed() const { return failed_; }

private:
  bool grow()
  {
    size_t cap = cap_ ? 2 * cap_ : 16384;
    void *p = base_ ? mremap(base_, cap_ * sizeof(TAGGED *), cap * sizeof(TAGGED *), MREMAP_MAYMOVE)
                    : mmap(nullptr, cap * sizeof(TAGGED *), PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return false;
    base_ = (TAGGED **)p;
    cap_ = cap;
    return true;
  }

  TAGGED **base_ = nullptr;
  size_t size_ = 0, cap_ = 0;
  bool failed_ = false;
};

}  // namespace

namespace {

/* A few small list blocks are kept mapped (and charged) from one collection to the next: a
 * collection takes its lists at the same few sizes, and mapping them afresh each time cost more
 * than the lists' filling. */
struct kept_block {
  void *block;
  size_t size;
};
constexpr size_t kKeptBlocks = 4, kKeptBlockMax = (size_t)1 << 20;
kept_block kept_blocks[kKeptBlocks];

size_t list_bytes(size_t bytes)
{
  return table_bytes((bytes + sizeof(uint32_t) - 1) / sizeof(uint32_t));
}

}  // namespace

void *qx_gc_list_alloc(size_t bytes)
{
  size_t size = list_bytes(bytes);
  for (kept_block &k : kept_blocks)
    if (k.block && k.size == size) {
      void *p = k.block;
      k.block = nullptr;
      return p;
    }
  if (!qx_space_claim(size, QX_SPACE_STACKS)) return nullptr;
  void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p != MAP_FAILED) return p;
  qx_space_unclaim(size, QX_SPACE_STACKS);
  return nullptr;
}

void qx_gc_list_free(void *block, size_t bytes)
{
  size_t size = list_bytes(bytes);
  if (size <= kKeptBlockMax)
    for (kept_block &k : kept_blocks)
      if (!k.block) {
        k = {block, size};
        return;
      }
  munmap(block, size);
  qx_space_unclaim(size, QX_SPACE_STACKS);
}

void qx_gc_release_lists()
{
  for (kept_block &k : kept_blocks)
    if (k.block) {
      munmap(k.block, k.size);
      qx_space_unclaim(k.size, QX_SPACE_STACKS);
      k.block = nullptr;
    }
}

namespace {

/* The root list's first size: one mapping for the usual collection rather than a mapping at
 * every doubling from one. */
constexpr size_t kInitialSlots = 16384;

class collector {
public:
  collector(worker *w) : w_(w), base_(w->heap_start), top_(w->global_top) {}
  ~collector()
  {
    unmap_table(bits_);
    unmap_table(raw_);
    unmap_table(offs_);
  }

  bool run(int live);

  /* Marking: a term word found outside the heap or in a live cell. */
  void mark_value(TAGGED t)
  {
    TAGGED *p = TagToPointer(t);
    switch (TagOf(t)) {
    case QX_TAG_REF:
      if (in_heap(p)) push_cell(p);
      break;
    case QX_TAG_LST:
      if (in_heap(p + 1)) {
        push_cell(p + 1); /* the head is taken first, so a long list keeps the stack short */
        push_cell(p);
      }
      break;
    case QX_TAG_STR:
      if (in_heap(p)) mark_struct(p);
      break;
    default: break;
    }
  }

  /* Relocation of a word that may point into the heap: the tag stays. */
  TAGGED relocated(TAGGED t) const
  {
    if (TagOf(t) == QX_TAG_CONST) return t;
    TAGGED *p = TagToPointer(t);
    if (!in_heap(p)) return t;
    return MakeRef(new_address(p)) | TagOf(t);
  }
  void relocate_slot(TAGGED *slot) { *slot = relocated(*slot); }
  bool relocating() const { return offs_ != nullptr; }
  size_t root_words() const { return slots_.size(); }
  /* The heap top after compaction: the number of live cells above the start. */
  TAGGED *new_top() const { return base_ + offs_[words_ - 1]; }
  TAGGED *new_address(const TAGGED *p) const
  {
    size_t i = (size_t)(p - base_);
    uint32_t below = bits_[i >> 5] & (((uint32_t)1 << (i & 31)) - 1);
    return base_ + offs_[i >> 5] + __builtin_popcount(below);
  }

private:
  bool in_heap(const TAGGED *p) const { return p >= base_ && p < top_; }
  bool test(const TAGGED *p) const
  {
    size_t i = (size_t)(p - base_);
    return (bits_[i >> 5] >> (i & 31)) & 1;
  }
  void set(uint32_t *map, const TAGGED *p)
  {
    size_t i = (size_t)(p - base_);
    map[i >> 5] |= (uint32_t)1 << (i & 31);
  }
  bool test_raw(const TAGGED *p) const
  {
    size_t i = (size_t)(p - base_);
    return (raw_[i >> 5] >> (i & 31)) & 1;
  }
  void push_cell(TAGGED *p)
  {
    if (test(p)) return;
    set(bits_, p);
    stack_.push(p);
  }
  /* A structure's functor cell and arguments, or a box (whole, its words raw). A word that is
   * neither is taken as a single cell. */
  void mark_struct(TAGGED *p)
  {
    TAGGED f = *p;
    if (f != QX_ATTVAR_MARK && IsBoxHeader(f)) {
      int n = BoxWords(f);
      if (n >= 2 && p + n <= top_ && !test_raw(p))
        for (int i = 0; i < n; i++) {
          set(bits_, p + i);
          set(raw_, p + i);
        }
      return;
    }
    if (!IsFunctorCell(f)) {
      push_cell(p);
      return;
    }
    set(bits_, p);
    uint32_t n = Arity(f);
    if (p + n >= top_) n = (uint32_t)(top_ - p - 1);
    for (uint32_t i = n; i >= 1; i--) push_cell(p + i);
  }
  void drain()
  {
    while (!stack_.empty()) {
      TAGGED *p = stack_.pop();
      /* An attributed variable keeps its whole record: marker, cell, goals and attributes. */
      if (p > base_ && p[-1] == QX_ATTVAR_MARK && p + 2 < top_) {
        set(bits_, p - 1);
        push_cell(p + 2);
        push_cell(p + 1);
      }
      mark_value(*p);
    }
  }
  bool allocate();
  void unmap_table(uint32_t *table)
  {
    if (table) munmap(table, table_bytes(words_));
  }
  void collect_roots(int live);
  bool unique_slots();
  void compute_offsets();
  void compact();
  void relocate_roots();

  worker *w_;
  TAGGED *base_, *top_;
  uint32_t *bits_ = nullptr, *raw_ = nullptr, *offs_ = nullptr;
  size_t words_ = 0;
  mark_stack stack_;
  qx_gc_slots slots_; /* root words, relocated as they are */
};

collector *active;

bool collector::allocate()
{
  words_ = ((size_t)(top_ - base_) + 31) / 32 + 1;
  bits_ = map_table(words_);
  raw_ = map_table(words_);
  return bits_ && raw_;
}

/* Every root word, marked as it is found: registers, term and global references, choicepoints'
 * saved words, the interpreter's frames and tables, the quick-load array while a read runs, the
 * trail, the wake list, registered ranges and walkers. */
void collector::collect_roots(int live)
{
  worker *w = w_;
  for (int i = 0; i < live; i++) slots_.push_back(&w->term[i]);
  for (uint32_t i = 0; i < w->fli_stack_index; i++) slots_.push_back(&w->fli_stack_start[2 * i]);
  for (globref_blk *b = qx_eg.globrefs.forward; b && b != &qx_eg.globrefs; b = b->forward) {
    TAGGED *refs = (TAGGED *)(b + 1);
    for (uint32_t i = 0; i < b->nrefs; i++) slots_.push_back(&refs[2 * i]);
  }
  qx_interpreter_roots(w, slots_);
  qx_qload_roots(slots_);
  for (const root_range &r : extra_roots())
    for (size_t i = 0; i < r.n; i++) slots_.push_back(&r.start[i]);
  for (const walker_entry &e : walkers) e.walk(e.data, slots_);
  for (uint32_t i = 0; i < w->wake_len; i++) slots_.push_back((TAGGED *)&w->wake_list[i]);
  for (TAGGED *slot : slots_) mark_value(*slot);
  /* Choicepoints' saved registers are marked and relocated where they lie: no other root
   * names them, and a deep stack of choicepoints holds far too many words to list. */
  for (node *n = w->node_; n < w->choice_start; n = qx_node_below(n))
    for (int i = 0; i < NodeAlt(n)->nregs; i++) mark_value(n->term[i]);
  drain();
  /* The trail: plain entries and value entries keep their cells, old values and pairs. A cell
   * value entry names its cell as address + 1, a mutable entry its '$mutable' structure. */
  for (TAGGED *t = w->trail_top; t > w->trail_start + 1;) {
    qx_trail_kind kind;
    t = qx_trail_step(t, &kind);
    slots_.push_back(&t[0]);
    if (kind == QX_TRAIL_MUTABLE) {
      if (in_heap(RefPtr(t[0]))) mark_struct(RefPtr(t[0]));
      slots_.push_back(&t[1]);
      slots_.push_back(&t[2]);
      mark_value(t[1]);
      mark_value(t[2]);
    } else {
      mark_value(t[0]);
    }
    if (kind == QX_TRAIL_CELL) {
      slots_.push_back(&t[1]);
      if (in_heap(StrPtr(t[1]))) push_cell(StrPtr(t[1]));
    }
    drain();
  }
  if (qx_gc_outside_roots) qx_gc_outside_roots(w, 2, base_); /* the solver's queues */
  drain();
}

/* Sorts n addresses in linear time: a stable counting pass per byte, skipping the bytes every
 * address shares (the high ones, mostly); tmp has room for n. A reader's stack of a million
 * pending elements is a million roots, collection after collection. */
void sort_addresses(TAGGED **a, TAGGED **tmp, size_t n)
{
  TAGGED **from = a, **to = tmp;
  for (unsigned shift = 0; shift < 8 * sizeof(uintptr_t); shift += 8) {
    size_t count[257] = {};
    for (size_t i = 0; i < n; i++) count[(((uintptr_t)from[i] >> shift) & 255) + 1]++;
    if (count[(((uintptr_t)from[0] >> shift) & 255) + 1] == n) continue;
    for (int b = 0; b < 256; b++) count[b + 1] += count[b];
    for (size_t i = 0; i < n; i++) to[count[((uintptr_t)from[i] >> shift) & 255]++] = from[i];
    std::swap(from, to);
  }
  if (from != a) std::memcpy(a, from, n * sizeof *a);
}

/* A word reached twice (a root range over a register, say) must be relocated once. The words in
 * the local stack, nearly all of them in a deep recursion, are made unique with a bit per word
 * in linear time; the others are sorted, by their bytes when they are many. */
bool collector::unique_slots()
{
  TAGGED *local = (TAGGED *)w_->local_start, *local_end = (TAGGED *)w_->local_end;
  auto outside = std::partition(slots_.begin(), slots_.end(),
                                [&](TAGGED *p) { return p < local || p >= local_end; });
  size_t sorted = (size_t)(outside - slots_.begin());
  if (sorted < 1024) {
    std::sort(slots_.begin(), outside);
  } else {
    TAGGED **tmp = (TAGGED **)qx_gc_list_alloc(sorted * sizeof(TAGGED *));
    if (!tmp) return false;
    sort_addresses(slots_.data(), tmp, sorted);
    qx_gc_list_free(tmp, sorted * sizeof(TAGGED *));
  }
  auto kept = std::unique(slots_.begin(), outside);
  size_t seen_bytes = ((size_t)(local_end - local) / 32 + 1) * sizeof(uint32_t);
  uint32_t *seen = outside == slots_.end() ? nullptr : (uint32_t *)qx_gc_list_alloc(seen_bytes);
  if (outside != slots_.end() && !seen) return false;
  if (seen) std::memset(seen, 0, seen_bytes);
  for (auto it = outside; it != slots_.end(); ++it) {
    size_t i = (size_t)(*it - local);
    uint32_t bit = (uint32_t)1 << (i & 31);
    if (seen[i >> 5] & bit) continue;
    seen[i >> 5] |= bit;
    *kept++ = *it;
  }
  if (seen) qx_gc_list_free(seen, seen_bytes);
  slots_.erase(kept, slots_.end());
  return true;
}

void collector::compute_offsets()
{
  offs_ = map_table(words_);
  if (!offs_) return;
  uint32_t count = 0;
  for (size_t i = 0; i < words_; i++) {
    offs_[i] = count;
    count += (uint32_t)__builtin_popcount(bits_[i]);
  }
}

/* One pass in address order: each live cell is relocated (unless raw) and slid down. */
void collector::compact()
{
  TAGGED *dest = base_;
  size_t ncells = (size_t)(top_ - base_);
  for (size_t i = 0; i < words_ - 1; i++) {
    uint32_t live = bits_[i], raw = raw_[i];
    while (live) {
      int b = __builtin_ctz(live);
      live &= live - 1;
      size_t k = i * 32 + (size_t)b;
      if (k >= ncells) break;
      TAGGED v = base_[k];
      *dest++ = (raw >> b) & 1 ? v : relocated(v);
    }
  }
}

void collector::relocate_roots()
{
  for (TAGGED *slot : slots_) relocate_slot(slot);
  worker *w = w_;
  for (node *n = w->node_; n < w->choice_start; n = qx_node_below(n)) {
    for (int i = 0; i < NodeAlt(n)->nregs; i++) relocate_slot(&n->term[i]);
    if (n->global_top <= top_) n->global_top = new_address(n->global_top);
  }
  if (qx_gc_outside_roots) qx_gc_outside_roots(w, 3, base_);
}

bool collector::run(int live)
{
  qx_trail_tidy(w_); /* entries no choicepoint can undo keep no cell alive */
  if (!allocate()) return false;
  try {
    slots_.reserve(kInitialSlots);
    collect_roots(live);
  } catch (const std::bad_alloc &) {
    return false;
  }
  if (!unique_slots()) return false;
  if (stack_.failed()) return false; /* marking is incomplete: nothing has changed yet */
  compute_offsets();
  if (!offs_) return false;
  relocate_roots();
  compact();
  return true;
}

}  // namespace

void qx_gc_add_root_range(TAGGED *start, size_t n) { extra_roots().push_back({start, n}); }

void qx_gc_visit_root_ranges(void (*fn)(const TAGGED *start, size_t n))
{
  for (const root_range &r : extra_roots()) fn(r.start, r.n);
}

void qx_gc_remove_root_range(TAGGED *start)
{
  std::vector<root_range> &ranges = extra_roots();
  for (size_t i = ranges.size(); i-- > 0;)
    if (ranges[i].start == start) {
      ranges.erase(ranges.begin() + (ptrdiff_t)i);
      return;
    }
}

void qx_gc_add_walker(qx_gc_walker walk, void *data) { walkers.push_back({walk, data}); }

void qx_gc_remove_walker(void *data)
{
  for (size_t i = walkers.size(); i-- > 0;)
    if (walkers[i].data == data) {
      walkers.erase(walkers.begin() + (ptrdiff_t)i);
      return;
    }
}

void qx_gc_disable() { gc_disabled++; }
void qx_gc_enable() { gc_disabled--; }
bool qx_gc_disabled() { return gc_disabled > 0; }

const qx_gc_stats *qx_gc_statistics() { return &stats; }

void markTerm(TAGGED term)
{
  if (active && !active->relocating()) active->mark_value(term);
}

void intoRelocationChain(worker *, TAGGED *address, TAGGED *cell)
{
  if (!active || !active->relocating()) return;
  *cell = (TAGGED)(uintptr_t)active->new_address(address) | (*cell & 3);
}

namespace {

/* garbage_collect/0: a collection now, whatever gc_mode says; the heap keeps its size. */
int prolog_garbage_collect(worker *w)
{
  qx_gc_collect(w, 0);
  return 1;
}

}  // namespace

const qx_pred_row qx_gc_rows[] = {
    {"garbage_collect", prolog_garbage_collect, 0, ENTER_C, QX_MOD_PROLOG, nullptr},
    {nullptr, nullptr, 0, 0, 0, nullptr},
};

bool qx_gc_collect(worker *w, int live)
{
  if (gc_disabled > 0 || active) return false;
  double start = now_seconds();
  TAGGED *old_top = w->global_top;
  collector c(w);
  active = &c;
  bool done = c.run(live);
  active = nullptr;
  if (!done) return false;
  TAGGED *new_top = c.new_top();
  if (qx_gc_stress)
    for (TAGGED *p = new_top; p < old_top; p++) *p = QX_GC_TRAP;
  w->global_top = new_top;
  w->global_uncond = w->node_ < w->choice_start ? w->node_->global_top : w->heap_start;
  double seconds = now_seconds() - start;
  size_t collected = (size_t)(old_top - new_top);
  stats.collections++;
  stats.cells_collected += collected;
  stats.seconds += seconds;
  if (seconds > stats.longest) stats.longest = seconds;
  stats.last_live = (uint32_t)(new_top - w->heap_start);
  stress_checks = 0;
  stress_kept = stats.last_live + (uint32_t)c.root_words();
  if (qx_eg.current_gctrace == atom_on)
    std::fprintf(stderr, "%% GC: %zu bytes collected, %zu bytes in use, %.3f ms\n",
                 collected * sizeof(TAGGED), (size_t)(new_top - w->heap_start) * sizeof(TAGGED),
                 seconds * 1000);
  return true;
}
