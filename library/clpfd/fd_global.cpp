/* The global-constraint protocol: posting, state terms with Handle and Stamp, persistent blocks
 * and the small services propagators call.
 *
 * A persistent block lives in malloc'd memory; its Handle is bound to [V | '$free'(Block)], and
 * the trail entry pointing at that pair makes the engine run the block's destructor when
 * backtracking undoes the creation. V tells the engine what became of the block: unbound alive,
 * 1 dead but still reachable by backtracking, 0 destroyed.
 */
#include <cstring>

#include "fd_globals.h"
#include "fd_propagate.h"
#include "fd_sets.h"
#include "objareas.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace {

constexpr uint32_t GLOBAL_WORDS = 12;
constexpr uint32_t LINK_WORDS = 422; /* room ensured before linking one suspension */
constexpr uint32_t PERM_ALLOC_WORDS = 132;
constexpr int CODE_GLOBAL_BACK = 3;

/* The Handle and Stamp arguments of a state term: its last two. */
inline TAGGED state_handle(TAGGED state)
{
  return StrArg(state, (int)Arity(StrFunctor(state)) - 1);
}
inline TAGGED *state_stamp_cell(TAGGED state) { return StrPtr(state) + Arity(StrFunctor(state)); }

/* A Handle made since the newest choicepoint: unbound, or bound to a pair younger than it. */
bool handle_is_new(const worker *w, TAGGED handle)
{
  handle = deref(handle);
  return IsVar(handle) || LstPtr(handle) >= w->global_uncond;
}

/* Stamp + 1 in place: a small integer's word plus 8 is the next one's (wrapping alike). */
inline int32_t bump_stamp_cell(TAGGED *cell)
{
  TAGGED stamp = *cell;
  if (!IsSmall(stamp)) stamp = deref(stamp);
  *cell = stamp + (MakeSmall(1) - MakeSmall(0));
  return GetSmall(stamp);
}

/* A copy of the state term on the heap with Stamp + 1; the caller made room. Inline: the copies
 * of the output states of runs, one per run after a choicepoint, are short. */
QX_HOT_INLINE TAGGED copy_state(worker *w, TAGGED state)
{
  uint32_t arity = Arity(StrFunctor(state));
  TAGGED *copy = fd_heap_words(w, arity + 1);
  /* An unbound argument is a self-reference: the copied word refers to the original's cell. */
  const TAGGED *from = StrPtr(state);
  if (arity < 8 && from >= w->heap_start) {
    /* Eight words at once, a fixed move: the words after a short record on the heap are heap
     * words too (the copy's first ones, maybe: all are read before any is written), and those
     * written after the copy lie in the room the caller made, above the heap top. */
    TAGGED words[8];
    std::memcpy(words, from, sizeof words);
    std::memcpy(copy, words, sizeof words);
  } else {
    for (uint32_t i = 0; i <= arity; i++) copy[i] = from[i]; /* no library call */
  }
  bump_stamp_cell(copy + arity);
  return MakeStr(copy);
}

/* Heap words a state copy asks for: the copy and a margin. */
inline uint32_t copy_room(TAGGED state) { return Arity(StrFunctor(state)) + 129; }

/* A global posted with nothing queued would be the loop's next run, alone in a level opened for
 * it. Where that first run only makes it wait on its variables (a disequation of two unfixed
 * variables), it runs here, as the loop would run it, and no level opens. True when it ran. */
bool post_run(ORVALIS_API_STRUCT *api, worker *w, struct fd_state *fd, TAGGED g)
{
  if (fd->debugging || fd->fd_overflow ||
      fd_global_function(api, fd, deref(StrArg(g, FD_GLOBAL_CONSTRAINT))) !=
          prolog_fd_linear_qxenv_multi_qx ||
      !fd_idle(api, w))
    return false;
  w->term[0] = fd_mutable_value(StrArg(g, FD_GLOBAL_STATE));
  w->term[1] = g;
  bool ran = fd_linear_post_run(api, w);
  w->term[0] = w->term[1] = atom_nil;
  if (ran) fd->resumptions++;
  return ran;
}

}  // namespace

void prolog_fd_post_global_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref constraint,
                                          QX_term_ref state, long status, QX_term_ref term,
                                          QX_term_ref susp, QX_term_ref global)
{
  worker *w = fd_worker(api);
  struct fd_state *fd = fd_state(api);
  for (int i = 0; i < FD_LIVE; i++) w->term[i] = atom_nil;
  fd->constraints++;
  if (!fd_room_free(w, GLOBAL_WORDS)) call_overflow(w, GLOBAL_WORDS, FD_LIVE);
  TAGGED *slot = fd_ref_slot(api, 0); /* the references' slots, read once */
  TAGGED *g = fd_heap_words(w, GLOBAL_WORDS);
  g[0] = functor_global5;
  g[1] = MakeStr(g + 6);
  g[2] = deref(slot[2 * constraint]);
  g[3] = MakeStr(g + 9);
  g[4] = MakeRef(g + 4);
  g[5] = deref(slot[2 * term]);
  g[6] = functor_mutable2;
  g[7] = deref(slot[2 * state]);
  g[8] = MakeSmall(0);
  g[9] = functor_mutable2;
  g[10] = MakeSmall((int32_t)((uint32_t)status | FD_ST_GLOBAL));
  g[11] = MakeSmall(0);
  /* State is in the record now: its reference keeps the record while linking makes room */
  QX_term_ref record = state;
  slot[2 * record] = MakeStr(g);
  for (TAGGED l; IsLst(l = fd_ref_get(api, susp));) {
    TAGGED k = deref(LstHead(l));
    fd_ref_put(api, susp, deref(LstTail(l)));
    if (!IsStr(k) || Arity(StrFunctor(k)) != 1 ||
        FunctorName(StrFunctor(k)) == FunctorName(fd->functor_none))
      continue;
    if (!IsVar(deref(StrArg(k, 1)))) continue;
    if (!fd_room_free(w, LINK_WORDS)) {
      w->term[0] = k;
      call_overflow(w, LINK_WORDS, FD_LIVE);
      k = w->term[0];
    }
    fd_link(api, w, deref(StrArg(k, 1)), k, fd_ref_get(api, record));
  }
  w->term[0] = atom_nil;
  if (!post_run(api, w, fd, fd_ref_get(api, record)))
    fd_enqueue_global(api, w, fd_ref_get(api, record), CODE_GLOBAL_BACK);
  /* Global is mostly a fresh variable on the heap: bound as cunify binds a plain variable */
  TAGGED var = deref(fd_ref_get(api, global));
  TAGGED *cell = IsVar(var) ? RefPtr(var) : nullptr;
  if (cell && cell > w->heap_start && cell < w->global_top && !IsAttVarCell(cell))
    fd_bind_cell(api, w, cell, fd_ref_get(api, record));
  else if (!cunify(w, var, fd_ref_get(api, record)))
    fd_native_fail(api);
}

int32_t fd_output_stamp_copy(ORVALIS_API_STRUCT *api, worker *w)
{
  TAGGED state = deref(w->term[0]);
  if (!fd_room_free(w, copy_room(state))) {
    call_overflow(w, copy_room(state), 3);
    state = deref(w->term[0]);
  }
  state = copy_state(w, state);
  w->term[0] = state;
  return GetSmall(*state_stamp_cell(state)) - 1;
}

int32_t fd_output_stamp_general(ORVALIS_API_STRUCT *api, worker *w)
{
  TAGGED state = deref(w->term[0]);
  if (StrPtr(state) >= w->global_uncond) return bump_stamp_cell(state_stamp_cell(state));
  return fd_output_stamp_copy(api, w);
}

TAGGED fd_unify_output_state(ORVALIS_API_STRUCT *api, worker *w, TAGGED *handle, int32_t *stamp,
                             int *is_new)
{
  *stamp = fd_output_stamp_general(api, w);
  TAGGED state = deref(w->term[0]);
  *handle = deref(state_handle(state));
  *is_new = handle_is_new(w, *handle);
  return state;
}

TAGGED fd_static_output_state(worker *w, TAGGED *handle, int *is_new)
{
  TAGGED state = deref(w->term[0]);
  *handle = deref(state_handle(state));
  *is_new = handle_is_new(w, *handle);
  return state;
}

/* Blocks given back by their destructors, kept for fd_perm_alloc to hand out again: posting a
 * model makes and drops many blocks of a few sizes, and a QX_malloc and QX_free cost more than
 * the rest of a post of a small constraint. The blocks stay live QX_malloc blocks, counted as in
 * use, until handed out again or until the last solver instance goes. The first word of a kept
 * block links the next. */
namespace {

constexpr int SPARE_SIZES = 8;
constexpr size_t SPARE_BYTES = 64 * 1024; /* at most this much kept, all sizes together */

struct spare_list {
  size_t size;
  void *first; /* null: the list is free for any size */
};

struct spare_blocks {
  spare_list lists[SPARE_SIZES];
  size_t bytes;
  int instances; /* solver instances alive; none: blocks are freed at once */
} spares;

void *take_spare(size_t size)
{
  for (spare_list &l : spares.lists)
    if (l.size == size && l.first) {
      void *block = l.first;
#if defined(__SANITIZE_ADDRESS__)
      ASAN_UNPOISON_MEMORY_REGION(block, size);
#endif
      l.first = *(void **)block;
      spares.bytes -= size;
      return block;
    }
  return nullptr;
}

void free_spares(ORVALIS_API_STRUCT *api)
{
  for (spare_list &l : spares.lists)
    while (void *block = take_spare(l.size)) QX_free(block);
}

}  // namespace

void fd_spares_open() { spares.instances++; }

void fd_spares_close(ORVALIS_API_STRUCT *api)
{
  if (--spares.instances == 0) free_spares(api);
}

void fd_perm_release(void *block, size_t size)
{
  ORVALIS_API_STRUCT *api = &fd_engine_tables; /* the instance may be gone */
  spare_list *list = nullptr;
  if (spares.instances > 0 && size >= sizeof(void *) && spares.bytes + size <= SPARE_BYTES)
    for (spare_list &l : spares.lists) {
      if (l.size == size) {
        list = &l;
        break;
      }
      if (!l.first && !list) list = &l;
    }
  if (!list) {
    QX_free(block);
    return;
  }
  if (!list->first) list->size = size;
  *(void **)block = list->first;
  list->first = block;
  spares.bytes += size;
#if defined(__SANITIZE_ADDRESS__)
  ASAN_POISON_MEMORY_REGION(block, size);
#endif
}

void *fd_perm_alloc(ORVALIS_API_STRUCT *api, worker *w, size_t size, TAGGED handle)
{
  w->term[3] = handle;
  if (!fd_room_free(w, PERM_ALLOC_WORDS)) call_overflow(w, PERM_ALLOC_WORDS, 4);
  handle = deref(w->term[3]);
  void *block = take_spare(size);
  if (!block) block = fd_malloc(api, size);
  TAGGED *cells = fd_heap_words(w, 4);
  cells[0] = MakeRef(cells); /* V */
  cells[1] = MakeStr(cells + 2);
  cells[2] = functor_free1;
  cells[3] = fd_address_word(block);
  /* The destructor is the caller's to store: the block must not be destroyed before it is. */
  if (size >= sizeof(daemon_frame))
    *(daemon_frame *)block = daemon_frame{};
  else
    std::memset(block, 0, size);
  fd_trail_push(api, w, MakeLst(cells)); /* the $free entry */
  qx_trail_note_special(w);
  fd_bind(api, w, handle, MakeLst(cells));
  return block;
}

void fd_perm_free_general(ORVALIS_API_STRUCT *api, worker *w)
{
  TAGGED pair = deref(state_handle(deref(w->term[0])));
  if (!IsLst(pair)) return; /* no block was made */
  TAGGED *cells = LstPtr(pair);
  TAGGED v = cells[0];
  if (v != MakeRef(cells)) { /* V bound, or sharing another variable */
    v = deref(v);
    if (!IsVar(v)) return; /* already dead */
  }
  if (cells >= w->global_uncond) {
    fd_bind(api, w, v, MakeSmall(0));
    /* fd_perm_alloc puts the '$free'(Block) term right after the pair */
    auto *block = (daemon_frame *)(cells[1] == MakeStr(cells + 2) ? fd_word_address(cells[3])
                                                                   : fd_perm_data(pair));
    if (w->trail_top[-1] == pair) w->trail_top--;
    if (block->destructor) block->destructor(block);
  } else { /* V older than the choicepoint (fd_perm_free binds the usual one in place) */
    fd_bind(api, w, v, MakeSmall(1));
    fd_mark_choicepoints(w);
  }
}

TAGGED fd_daemon_copy_state(ORVALIS_API_STRUCT *api, worker *w, TAGGED *global)
{
  TAGGED state, m = fd_mutable_walk(StrArg(deref(*global), FD_GLOBAL_STATE), &state);
  if (StrPtr(state) >= w->global_uncond) {
    bump_stamp_cell(state_stamp_cell(state));
    return state;
  }
  if (!fd_room_free(w, copy_room(state))) {
    fd_room(api, w, copy_room(state), global, 1);
    m = fd_mutable_walk(StrArg(deref(*global), FD_GLOBAL_STATE), &state);
  }
  state = copy_state(w, state);
  fd_trail_mutable(api, w, m);
  StrPtr(m)[1] = state;
  return state;
}

void *fd_malloc(ORVALIS_API_STRUCT *api, size_t size)
{
  void *p = QX_malloc(size);
  if (!p) qx_memory_fault(nullptr, -1);
  return p;
}

void *fd_perm_alloc2(ORVALIS_API_STRUCT *api, size_t size, size_mem *held)
{
  if (held->size == 0) return QX_malloc(size);
  if (held->size < size) {
    void *p = QX_realloc(held->mem, size);
    if (!p) return nullptr; /* the held block stays held */
    held->mem = p;
    held->size = size;
  }
  return held->mem;
}

void fd_perm_free2(ORVALIS_API_STRUCT *api, void *pointer, size_mem *held)
{
  if (held->size == 0) QX_free(pointer);
}

/* The intervals before the shared tail are copied through temporary storage by fd_globalize; the
 * tail, on the heap already, is a root while fd_globalize makes room and is linked to the copy. */
TAGGED fd_globalize_unsafe(ORVALIS_API_STRUCT *api, worker *w, TAGGED set, uint32_t extra, int live)
{
  TAGGED shared = set; /* the rest after the last interval not wholly on the heap */
  for (TAGGED l = set; IsLst(l); l = fds_next(l))
    if (!fds_on_heap(w, LstPtr(l)) || !fds_on_heap(w, fds_interval(l))) shared = fds_next(l);
  if (set == shared) return set;
  fds_builder prefix(api, w);
  for (TAGGED l = set; l != shared; l = fds_next(l))
    prefix.add(fds_interval(l)[0], fds_interval(l)[1]);
  fd_roots root(api, &shared);
  TAGGED copy = fd_globalize(api, w, prefix.close(atom_nil), extra, live);
  TAGGED last = copy;
  while (IsLst(LstTail(last))) last = LstTail(last);
  LstPtr(last)[1] = shared;
  return copy;
}

/* A list's cells are fewer than the heap's word pairs. */
uint32_t fd_list_bound(const worker *w)
{
  return (uint32_t)(w->global_top - w->heap_start) / 2 + 1;
}

int fd_list_length(TAGGED list)
{
  int n = 0;
  for (list = deref(list); IsLst(list); list = deref(LstTail(list))) n++;
  return n;
}

void fd_get_var_and_attr(TAGGED susp, worker *w)
{
  susp = deref(susp);
  w->term[2] = deref(StrArg(susp, 1));
  w->term[0] = deref(StrArg(susp, 2));
}

void prolog_fd_coref_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref list)
{
  worker *w = fd_worker(api);
  for (TAGGED l = fd_ref_get(api, list); IsLst(l); l = deref(LstTail(l))) {
    TAGGED e = deref(LstHead(l));
    if (!IsStr(e) || IsBox(e)) continue;
    TAGGED x = deref(StrArg(e, 1));
    if (x == atom_nil) return;
    if (!IsVar(x)) continue;
    *RefPtr(x) = atom_nil;
    fd_trail_push(api, w, x);
  }
  fd_native_fail(api);
}

/* ---- the entry protocol of the global constraints ---- */

uint64_t fd_entry_blocks_made = 0, fd_entry_blocks_destroyed = 0;

bool fd_entry_begin(fd_entry *e, ORVALIS_API_STRUCT *api, QX_term_ref state0, int arity,
                    bool written)
{
  worker *w = fd_global_run(api, state0);
  if (!w) return false;
  TAGGED s = deref(w->term[0]);
  uint32_t n = IsStr(s) && !IsBox(s) ? Arity(StrFunctor(s)) : 0;
  if (n < 2 || (arity && n != (uint32_t)arity) || !fd_valid_handle(deref(state_handle(s))) ||
      !IsSmall(deref(*state_stamp_cell(s)))) {
    fd_type_error(api, "state", IsStr(s) && !IsBox(s) ? FunctorName(StrFunctor(s)) : s, 0);
    fd_native_fail(api);
    return false;
  }
  *e = {api, w, 0, 0, 0};
  if (written)
    fd_unify_output_state(api, w, &e->handle, &e->stamp, &e->committed);
  else
    fd_static_output_state(w, &e->handle, &e->committed);
  return true;
}

void fd_entry_end(fd_entry *e, QX_term_ref state, QX_term_ref actions, int outcome)
{
  ORVALIS_API_STRUCT *api = e->api;
  if (outcome == 1) fd_perm_free(api, e->w);
  fd_ref_put(api, state, e->w->term[0]);
  dvar_export_done(api, e->w, actions, outcome);
}

void *fd_entry_block(fd_entry *e, size_t bytes, void (*destructor)(void *),
                     int (*daemon)(ORVALIS_API_STRUCT *, worker *, void *, TAGGED *, TAGGED),
                     int nrefs, QX_globref *refs)
{
  ORVALIS_API_STRUCT *api = e->api;
  auto *frame = (daemon_frame *)fd_perm_alloc(api, e->w, bytes, e->handle);
  std::memset((void *)frame, 0, bytes);
  /* The destructor comes first: it finds no references in the zeroed block when making them
   * fails, and the block is freed when backtracking undoes its creation. */
  frame->destructor = destructor;
  frame->daemon = daemon;
  fd_entry_blocks_made++;
  *refs = nullptr;
  if (nrefs > 0 && !(*refs = QX_alloc_globrefs(nrefs)))
    qx_memory_fault("global references", QX_SPACE_FOREIGN);
  return frame;
}

void fd_entry_destroy(void *block, QX_globref refs)
{
  ORVALIS_API_STRUCT *api = &fd_engine_tables; /* the instance may be gone */
  if (refs) QX_free_globrefs(refs);
  QX_free(block);
  fd_entry_blocks_destroyed++;
}

bool fd_entry_refs(TAGGED entry, QX_globref ref)
{
  entry = deref(entry);
  if (!IsStr(entry) || IsBox(entry) || Arity(StrFunctor(entry)) != 2) return false;
  TAGGED x = deref(StrArg(entry, 1)), attr = deref(StrArg(entry, 2));
  if (!(IsVar(x) || IsSmall(x)) || !fd_well_formed_attribute(attr)) return false;
  if (IsSmall(x) && !fd_member(x, deref(StrArg(fd_attr_dom(attr), 1)))) return false;
  ref[0].term = attr;
  ref[1].term = x;
  return true;
}

/* Where a list ends (within the heap's bound on list length), with its count of elements. */
static TAGGED list_end(const worker *w, TAGGED list, uint32_t *n)
{
  uint32_t bound = fd_list_bound(w);
  *n = 0;
  for (list = deref(list); IsLst(list) && *n < bound; list = deref(LstTail(list))) ++*n;
  return list;
}

int fd_entry_length(const worker *w, TAGGED list)
{
  uint32_t n;
  return list_end(w, list, &n) == atom_nil ? (int)n : -1;
}

bool fd_entry_open_list(const worker *w, TAGGED list)
{
  uint32_t n;
  return IsVar(list_end(w, list, &n));
}

void fd_entry_error(ORVALIS_API_STRUCT *api, const char *expected, TAGGED culprit, int argument,
                    bool domain)
{
  culprit = deref(culprit);
  if (IsLst(culprit))
    culprit = QX_atom_from_string("[|]");
  else if (IsStr(culprit) && !IsBox(culprit))
    culprit = FunctorName(StrFunctor(culprit));
  if (IsVar(culprit))
    fd_instantiation_error(api, argument);
  else if (domain)
    fd_domain_error(api, expected, culprit, argument);
  else
    fd_type_error(api, expected, culprit, argument);
  fd_native_fail(api);
}

bool fd_entry_first_count(ORVALIS_API_STRUCT *api, TAGGED count, int32_t posted, const char *what)
{
  count = deref(count);
  if (count == MakeSmall(posted)) return true;
  fd_entry_error(api, IsSmall(count) ? what : "integer", count, 1, IsSmall(count));
  return false;
}
