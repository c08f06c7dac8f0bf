/* Term references and global references.
 *
 * The worker's foreign-interface stack is an array of two-word slots that doubles when full; a
 * term reference is an index into it, so the array may move. Global references are slots in
 * blocks of their own (or in memory a native keeps, such as a constraint's block), linked in a
 * ring whose head is in eglobal, and live until freed or unlinked. Slots 0 to 9 are reserved:
 * variables and '$mutable'(0, 0) terms laid out in the cells that the data areas keep at the heap
 * bottom.
 */
#include <cstdio>

#include "api_internal.h"
#include "atoms.h"
#include "builtins.h"
#include "unify.h"

namespace {

constexpr uint32_t SLOT_WORDS = 2;
constexpr int FIRST_MUTABLE_SLOT = 5; /* slots 5-8, named clpfd, talpix, global, reserved */
constexpr int MUTABLE_SLOTS = 4;
constexpr int LAST_VARIABLE_SLOT = 9;
constexpr uint32_t RESERVED_VARIABLES = 6;
constexpr uint32_t MUTABLE_CELLS = 3;
static_assert(RESERVED_VARIABLES + MUTABLE_SLOTS * MUTABLE_CELLS == QX_HEAP_RESERVED_CELLS,
              "the reserved slots' terms fill the reserved heap cells");
/* Beyond this many slots a request is taken as running out of memory (the doubling would wrap). */
constexpr uint32_t MAX_SLOTS = 1u << 26;

/* Slots [from, from + n) hold [], set from the highest downward. */
void clear_slots(worker *w, uint32_t from, uint32_t n)
{
  TAGGED *slots = w->fli_stack_start + SLOT_WORDS * from;
  for (uint32_t i = n; i-- > 0;) {
    slots[SLOT_WORDS * i] = atom_nil;
    slots[SLOT_WORDS * i + 1] = 0;
  }
}

/* Doubles the array until it holds `capacity` slots. */
void grow_slots(worker *w, uint64_t capacity)
{
  if (capacity > MAX_SLOTS) qx_memory_fault("term references", QX_SPACE_FOREIGN);
  uint32_t size = w->fli_stack_size;
  while (size < capacity) size *= 2;
  w->fli_stack_start = (TAGGED *)qx_checkrealloc(
      w->fli_stack_start, (size_t)w->fli_stack_size * SLOT_WORDS * sizeof(TAGGED),
      (size_t)size * SLOT_WORDS * sizeof(TAGGED), QX_SPACE_FOREIGN);
  w->fli_stack_size = size;
  w->fli_info.fli_stack_start = w->fli_stack_start;
}

/* n new slots at the top: the first one's index, or 0 with error 15 when memory runs out. */
QX_term_ref push_slots(uint32_t n, uint64_t capacity)
{
  worker *w = qx_w;
  if (capacity > w->fli_stack_size && !qx_api_call(false, [&] {
        grow_slots(w, capacity);
        return true;
      }))
    return 0;
  uint32_t first = w->fli_stack_index;
  clear_slots(w, first, n);
  w->fli_stack_index = first + n;
  return (QX_term_ref)first;
}

globref_blk *ring_head() { return &qx_eg.globrefs; }

/* The slot an atom names in "$ref_term"/2, or -1. */
int32_t named_slot(TAGGED name)
{
  static const char *const names[MUTABLE_SLOTS] = {"clpfd", "talpix", "global", "reserved"};
  for (int k = 0; k < MUTABLE_SLOTS; k++)
    if (name == init_atom_check(names[k], 1)) return FIRST_MUTABLE_SLOT + k;
  return -1;
}

/* "$ref_term"(Ref, Term): Term is the content of the slot Ref (an index or a slot's name). */
int prolog_ref_term(worker *w)
{
  TAGGED ref = deref(w->term[0]);
  int32_t index = IsSmall(ref) ? GetSmall(ref) : IsAtom(ref) ? named_slot(ref) : -1;
  if (index < 0 || (uint32_t)index >= w->fli_stack_index) return 0;
  return cunify(w, w->term[1], deref(w->fli_stack_start[SLOT_WORDS * (uint32_t)index]));
}

}  // namespace

const qx_pred_row qx_api_termrefs_rows[] = {
    {"$ref_term", prolog_ref_term, 2, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {nullptr, nullptr, 0, 0, 0, nullptr},
};

bool fli_stack_init(worker *w)
{
  size_t bytes = (size_t)QX_FIRST_FLI_STACK_SIZE * SLOT_WORDS * sizeof(TAGGED);
  w->fli_stack_start = (TAGGED *)qx_checkalloc(bytes, QX_SPACE_FOREIGN | QX_MAY_FAIL);
  if (!w->fli_stack_start) return false;
  std::memset(w->fli_stack_start, 0, bytes);
  w->fli_stack_size = QX_FIRST_FLI_STACK_SIZE;
  w->fli_stack_index = QX_RESERVED_TERM_REFS;
  TAGGED *cells = w->heap_start;
  for (uint32_t i = 0; i < RESERVED_VARIABLES; i++) cells[i] = MakeRef(&cells[i]);
  for (int i = 0; i < FIRST_MUTABLE_SLOT; i++) w->fli_stack_start[SLOT_WORDS * i] = cells[i];
  w->fli_stack_start[SLOT_WORDS * LAST_VARIABLE_SLOT] = cells[FIRST_MUTABLE_SLOT];
  for (int k = 0; k < MUTABLE_SLOTS; k++) {
    TAGGED *m = cells + RESERVED_VARIABLES + MUTABLE_CELLS * k;
    m[0] = functor_mutable2;
    m[1] = m[2] = MakeSmall(0);
    w->fli_stack_start[SLOT_WORDS * (FIRST_MUTABLE_SLOT + k)] = MakeStr(m);
  }
  w->fli_info.fli_stack_start = w->fli_stack_start;
  w->fli_info.term = w->term;
  w->fli_info.excp_flag = 1;
  w->fli_data = &w->fli_info;
  /* The ring belongs to the engine, not to one worker: set up once per start. */
  globref_blk *head = ring_head();
  if (!head->forward) {
    head->size = sizeof(globref_blk);
    head->nrefs = 0;
    head->backward = head->forward = head;
  }
  return true;
}

void fli_stack_deinit(worker *w)
{
  if (w->fli_stack_start)
    qx_checkdealloc(w->fli_stack_start, (size_t)w->fli_stack_size * SLOT_WORDS * sizeof(TAGGED),
                    QX_SPACE_FOREIGN);
  w->fli_stack_start = w->fli_info.fli_stack_start = nullptr;
  w->fli_stack_size = w->fli_stack_index = 0;
}

QX_term_ref QX_new_term_ref(void)
{
  worker *w = qx_w;
  return push_slots(1, (uint64_t)w->fli_stack_index + 1);
}

QX_term_ref qx_new_term_refs_any(int n)
{
  worker *w = qx_w;
  if ((uint32_t)n < MAX_SLOTS && qx_term_refs_fit(w, (uint32_t)n))
    return qx_push_cleared_refs(w, (uint32_t)n); /* the common case, in place */
  uint32_t first = w->fli_stack_index;
  if (n <= 0) {
    if (n < 0) qx_set_errno(QX_ERR_DOMAIN_ERROR);
    return (QX_term_ref)first;
  }
  return push_slots((uint32_t)n, (uint64_t)first + (uint32_t)n + 1);
}

QX_term_ref qx_new_term_refs_checked(int n)
{
  QX_term_ref first = QX_new_term_refs(n);
  if (first == 0) qx_memory_fault("term references", QX_SPACE_FOREIGN);
  return first;
}

QX_term_ref qx_save_arguments(worker *w, int n)
{
  QX_term_ref saved = qx_new_term_refs_checked(n);
  for (int i = 0; i < n; i++) qx_ref_put(w, saved + i, w->term[i]);
  return saved;
}

bool qx_restore_arguments(worker *w, QX_term_ref saved, int n)
{
  if (n > 0 && qx_get_globref_checked(saved + n - 1, w) == nullptr) return false;
  for (int i = 0; i < n; i++) w->term[i] = *qx_ref_cell(w, saved + i);
  return true;
}

QX_globref qx_get_globref_checked(int i, worker *w)
{
  if (i < 0 || (uint32_t)i >= w->fli_stack_index) return nullptr;
  return (QX_globref)(w->fli_stack_start + SLOT_WORDS * (uint32_t)i);
}

TAGGED qx_ref_term(QX_term_ref t) { return *qx_ref_cell(qx_w, t); }

QX_globref QX_alloc_globrefs(int n)
{
  uint64_t bytes = sizeof(globref_blk) + (uint64_t)(n < 0 ? 0 : n) * sizeof(QX_globref_);
  void *memory = n < 0 || bytes > UINT32_MAX
                     ? nullptr
                     : qx_checkalloc((size_t)bytes, QX_SPACE_FOREIGN | QX_MAY_FAIL);
  if (!memory) {
    qx_set_errno(n < 0 ? QX_ERR_DOMAIN_ERROR : QX_ERR_SYSTEM_ERROR);
    return nullptr;
  }
  QX_globref refs = (QX_globref)((globref_blk *)memory + 1);
  for (int i = n; i-- > 0;) refs[i] = QX_globref_{atom_nil, 0};
  return qx_link_globrefs(ring_head(), memory, (uint32_t)n);
}

void QX_free_globrefs(QX_globref refs)
{
  if (!refs) return;
  qx_unlink_globrefs(refs);
  globref_blk *blk = (globref_blk *)refs - 1;
  qx_checkdealloc(blk, blk->size, QX_SPACE_FOREIGN);
}

void qx_variable_to_string(QX_term_ref t, char *buffer)
{
  worker *w = qx_w;
  TAGGED v = qx_ref_get(w, t);
  long offset = IsVar(v) ? (long)(RefPtr(v) - (w->heap_start + QX_HEAP_RESERVED_CELLS)) : 0;
  std::snprintf(buffer, 16, "_%ld", offset);
}
