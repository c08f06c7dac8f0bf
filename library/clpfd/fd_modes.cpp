/* The solver's counters, its debugging and overflow modes, the small-integer range, the
 * incumbent of an optimisation, and the overflow check that ends every propagator step. */
#include "fd_kernel.h"

namespace {

/* The counters in key order. */
uint32_t fd_state::*const counters[] = {&fd_state::resumptions, &fd_state::entailments,
                                        &fd_state::prunings, &fd_state::failures,
                                        &fd_state::constraints};

/* Old := the atom of the mode (set, clear); then the mode := (New is set). 0 when Old does not
 * unify (nothing changes), else 1. */
long switch_mode(ORVALIS_API_STRUCT *api, uint32_t *mode, QX_term_ref old_mode, TAGGED new_mode,
                 TAGGED set, TAGGED clear)
{
  if (!cunify(fd_worker(api), fd_ref_get(api, old_mode), *mode ? set : clear)) return 0;
  *mode = new_mode == set;
  return 1;
}

/* Word 13 of a recorded incumbent(B, [V1, ..., Vn]), B, and the words of V1, V2, ... */
constexpr uint32_t BOUND_WORD = QX_INSTANCE_HEADER_WORDS + 1;
constexpr uint32_t LIST_WORD = QX_INSTANCE_HEADER_WORDS + 2;

/* The instance that a database reference '$ref'(Address + 3, Stamp) names while the reference
 * is valid: the engine's table of references (eglobal's dbrefs) holds its stamp. */
instance *referenced_instance(ORVALIS_API_STRUCT *api, TAGGED ref)
{
  if (!IsStr(ref) || StrFunctor(ref) != functor_ref2) return nullptr;
  TAGGED a = deref(StrArg(ref, 1)), b = deref(StrArg(ref, 2));
  if (!IsSmall(a) || !IsSmall(b)) return nullptr;
  sw_on_key_node *n = incore_gethash(qx_get_engine_global()->dbrefs, a);
  if (!n->key || n->value == 0 || n->value != b) return nullptr;
  return (instance *)(uintptr_t)(a & ~(TAGGED)3);
}

/* The live recorded incumbent that Ref names, or null with an error raised: Ref must be a
 * database reference to a live instance whose term is a compound of two arguments. */
instance *incumbent_instance(ORVALIS_API_STRUCT *api, QX_term_ref ref)
{
  TAGGED t = fd_ref_get(api, ref);
  instance *ins = IsVar(t) ? nullptr : referenced_instance(api, t);
  if (ins && ins->death == QX_CLOCK_ALIVE) {
    if (qx_instance_body_words(ins) >= 3 && IsFunctorCell(ins->body[0]) && Arity(ins->body[0]) == 2)
      return ins;
    fd_domain_error(api, "incumbent", t, 1);
  } else if (IsVar(t))
    fd_instantiation_error(api, 1);
  else if (IsStr(t) && StrFunctor(t) == functor_ref2)
    fd_existence_error(api, "db_reference", t, 1);
  else
    fd_type_error(api, "db_reference", t, 1);
  fd_native_fail(api);
  return nullptr;
}

/* The word index of the next element cell of the recorded list whose link is at word `link`, or
 * 0 when the link is not a list cell inside the instance. */
uint32_t next_cell(const instance *ins, uint32_t link)
{
  TAGGED word = ((const TAGGED *)ins)[link];
  uint32_t words = ins->objsize / sizeof(TAGGED);
  if (!IsLst(word)) return 0;
  uint32_t offset = word - QX_TAG_LST;
  if (offset % sizeof(TAGGED) || offset / sizeof(TAGGED) < QX_INSTANCE_HEADER_WORDS) return 0;
  uint32_t cell = offset / sizeof(TAGGED);
  return cell + 1 < words ? cell : 0;
}

}  // namespace

long prolog_fd_statistics_qxenv_multi_qx(ORVALIS_API_STRUCT *api, long key)
{
  if (key < 0 || key >= (long)(sizeof counters / sizeof counters[0])) return 0;
  struct fd_state *fd = fd_state(api);
  long value = fd->*counters[key];
  fd->*counters[key] = 0;
  return value;
}

long prolog_fd_debug_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref old_mode, TAGGED new_mode)
{
  return switch_mode(api, &fd_state(api)->debugging, old_mode, new_mode, atom_on, atom_off);
}

long prolog_fd_overflow_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref old_mode,
                                       TAGGED new_mode)
{
  return switch_mode(api, &fd_state(api)->overflowing, old_mode, new_mode, atom_error, atom_fail);
}

void prolog_fd_minint_maxint_qxenv_multi_qx(ORVALIS_API_STRUCT *api, long *min, long *max)
{
  *min = QX_SMALL_MIN;
  *max = QX_SMALL_MAX;
}

/* Writes in place (no undo on backtracking): only into the recorded list's element cells, and
 * only small integers, so that nothing in the record can point at the heap. Every check comes
 * before the first write. */
void prolog_fd_update_incumbent_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref ref,
                                               QX_term_ref bound, QX_term_ref values)
{
  instance *ins = incumbent_instance(api, ref);
  if (!ins) return;
  TAGGED b = fd_ref_get(api, bound);
  if (!IsSmall(b)) {
    IsVar(b) ? fd_instantiation_error(api, 2) : fd_type_error(api, "integer", b, 2);
    fd_native_fail(api);
    return;
  }
  uint32_t link = LIST_WORD;
  for (TAGGED l = fd_ref_get(api, values); IsLst(l); l = deref(LstTail(l))) {
    TAGGED v = deref(LstHead(l));
    if (!IsSmall(v)) {
      IsVar(v) ? fd_instantiation_error(api, 3) : fd_type_error(api, "integer", v, 3);
      fd_native_fail(api);
      return;
    }
    uint32_t cell = next_cell(ins, link);
    link = cell + 1;
    if (!cell) {
      fd_domain_error(api, "incumbent", fd_ref_get(api, values), 3);
      fd_native_fail(api);
      return;
    }
  }
  TAGGED *words = (TAGGED *)ins;
  words[BOUND_WORD] = b;
  link = LIST_WORD;
  for (TAGGED l = fd_ref_get(api, values); IsLst(l); l = deref(LstTail(l))) {
    uint32_t cell = next_cell(ins, link);
    words[cell] = deref(LstHead(l));
    link = cell + 1;
  }
}

void prolog_fd_incumbent_bound_qxenv_multi_qx(ORVALIS_API_STRUCT *api, QX_term_ref ref,
                                              QX_term_ref bound)
{
  instance *ins = incumbent_instance(api, ref);
  if (!ins) return;
  TAGGED b = ((const TAGGED *)ins)[BOUND_WORD];
  if (IsConst(b))
    fd_ref_put(api, bound, b);
  else
    fd_native_fail(api); /* no bound recorded yet */
}

int fd_check_overflow(ORVALIS_API_STRUCT *api, TAGGED culprit)
{
  struct fd_state *fd = fd_state(api);
  if (!fd->fd_overflow) return 1;
  if (fd->overflowing) {
    QX_term_ref mark = QX_new_term_refs(0);
    QX_term_ref goal = fd_new_refs(api, 1);
    fd_ref_put(api, goal, culprit);
    if (QX_query((QX_pred_ref)fd->overflow_action1, goal) < 0) {
      QX_term_ref ball = fd_new_refs(api, 1);
      if (QX_exception_term(ball)) QX_raise_exception(ball);
    }
    QX_reset_term_refs(mark);
  }
  fd_native_fail(api);
  return 0;
}
