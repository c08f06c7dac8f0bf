/* The heap collector: a sliding mark-compact collection over [heap start, heap top).
 *
 * Cell order is kept, so the age of two cells, the heap tops of choicepoints and conditional
 * trailing stay valid; the heap start never moves. Everything that holds a heap term outside the
 * heap must be reachable from a root the collector knows (the worker's areas, term and global
 * references, the trail, the wake list) or be registered here for as long as it holds one.
 */
#ifndef QX_GC_H
#define QX_GC_H

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#include "datadefs.h"

/* A range of term words outside the heap (a reader's array of slots, a native's locals) that is
 * marked and relocated by every collection while registered. Ranges go newest first. */
void qx_gc_add_root_range(TAGGED *start, size_t n);
void qx_gc_remove_root_range(TAGGED *start);
/* Calls fn on each registered range (atom collection marks their words). */
void qx_gc_visit_root_ranges(void (*fn)(const TAGGED *start, size_t n));
struct qx_gc_root {
  TAGGED *start;
  explicit qx_gc_root(TAGGED *s, size_t n = 1) : start(s) { qx_gc_add_root_range(s, n); }
  ~qx_gc_root() { qx_gc_remove_root_range(start); }
  qx_gc_root(const qx_gc_root &) = delete;
  qx_gc_root &operator=(const qx_gc_root &) = delete;
};

/* The collectors' lists of root words grow in memory mapped outside the C++ allocator and
 * charged, with the data areas, to the engine's ceiling (PROLOGMAXSIZE): when none is left, a
 * push throws std::bad_alloc, which the collectors catch (the collection is given up), and no
 * allocator aborts the process, as a sanitizer's would. */
void *qx_gc_list_alloc(size_t bytes); /* null when refused */
void qx_gc_list_free(void *block, size_t bytes);
/* Unmaps the few list blocks kept for the next collection (the areas are taken down). */
void qx_gc_release_lists();
template <class T>
struct qx_gc_allocator {
  using value_type = T;
  qx_gc_allocator() = default;
  template <class U>
  qx_gc_allocator(const qx_gc_allocator<U> &)
  {}
  T *allocate(size_t n)
  {
    void *p = n <= SIZE_MAX / sizeof(T) ? qx_gc_list_alloc(n * sizeof(T)) : nullptr;
    if (!p) throw std::bad_alloc();
    return (T *)p;
  }
  void deallocate(T *p, size_t n) { qx_gc_list_free(p, n * sizeof(T)); }
  template <class U>
  bool operator==(const qx_gc_allocator<U> &) const
  {
    return true;
  }
  template <class U>
  bool operator!=(const qx_gc_allocator<U> &) const
  {
    return false;
  }
};
using qx_gc_slots = std::vector<TAGGED *, qx_gc_allocator<TAGGED *>>;

/* An object whose term words change in number and place (a reader's stacks): while registered,
 * every collection calls walk(data, slots), which adds the address of each word it holds. */
using qx_gc_walker = void (*)(void *data, qx_gc_slots &slots);
void qx_gc_add_walker(qx_gc_walker walk, void *data);
void qx_gc_remove_walker(void *data);

/* Collection is off while the count is above 0 (a caller keeps heap terms where no root reaches
 * them); call_overflow then only grows the heap. */
void qx_gc_disable();
void qx_gc_enable();
bool qx_gc_disabled(); /* atom collection waits too: such callers keep atoms the same way */
struct qx_gc_off {
  qx_gc_off() { qx_gc_disable(); }
  ~qx_gc_off() { qx_gc_enable(); }
};

/* Collects now, term[0..live-1] being roots. false when collection is off or the collector's
 * tables cannot be allocated (nothing changed then). */
bool qx_gc_collect(worker *w, int live);

/* Totals since start, and the settings of call_overflow's policy. */
struct qx_gc_stats {
  uint64_t collections;
  uint64_t cells_collected;
  double seconds;
  double longest;
  uint32_t last_live; /* cells kept by the last collection */
};
const qx_gc_stats *qx_gc_statistics();
/* While gc_mode is on, collect on every call_overflow and fill the freed heap with QX_GC_TRAP
 * (the QX_GC_STRESS build option, or QX_GC_STRESS=1 in the environment when the areas are set
 * up). */
extern bool qx_gc_stress;
/* Reads QX_GC_STRESS and QX_GC_STRESS_PERIOD and restarts the count of room checks: in the
 * stress mode a check that has room answers "short" too once so many passed since the last
 * collection (objareas.h), 256 by default plus one per 4 cells and roots that it kept. */
void qx_gc_stress_init();
constexpr TAGGED QX_GC_TRAP = 0x00000BACu; /* a reference to an unmapped page */
/* The gc_mode flag (eglobal current_gcmode: collect before growing unless off) and the gc_trace
 * flag (current_gctrace: "%" lines on the error stream for each collection when on); both are
 * reset when the areas are set up. */

/* Marking entry points of outside roots (the solver's queues): during marking, mark a term
 * reachable from outside the heap; during relocation, have the outside cell that points at
 * address in the heap follow the compaction. Outside a collection both do nothing. */
void markTerm(TAGGED term);
void intoRelocationChain(worker *w, TAGGED *address, TAGGED *cell);
/* Called by every collection with operation 2 when marking starts (the hook calls markTerm on
 * each term it keeps) and 3 once the new addresses are known (it calls intoRelocationChain for
 * each of its cells that points at or above heap_start), as the solver's manager hook is. */
extern void (*qx_gc_outside_roots)(worker *w, int operation, TAGGED *heap_start);

/* The interpreter's roots: the goal words of its frames and the slots of the variable tables
 * that frames and choicepoints still resume in (each slot once). */
void qx_interpreter_roots(worker *w, qx_gc_slots &slots);
/* The slots of the quick-load array while a read runs (they hold the terms read so far). */
void qx_qload_roots(qx_gc_slots &slots);

#endif
