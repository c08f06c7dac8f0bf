/* Atom garbage collection: marks every atom a root can still name, then frees the others.
 *
 * Marking is conservative where terms are stored as plain words: every word of the used heap,
 * local stack, choicepoint area and trail, of the worker, the engine-global block and every
 * instance's term that looks like an atom or functor cell keeps that atom. A word that only looks like
 * one (a box payload, a code operand) keeps an atom longer, never frees one too early. Records
 * with known layouts (modules, definitions, streams, compiled code) are marked field by field.
 * Atoms whose reference count is above 0 (registered by native code, the saved-state reader's
 * temporary marks, the engine's own atoms made at start) are never freed.
 *
 * The interpreter collects at its event check once enough atoms were made since the last
 * collection (current_agcmargin at least, more when the last one walked much: qx_agc_spacing), so
 * that no native is running with atoms in its locals; natives that call Prolog register the atoms
 * they keep across the call.
 */
#include <sys/time.h>

#include <cstring>
#include <new>
#include <vector>

#include "atoms.h"
#include "builtins.h"
#include "database.h"
#include "emulcode.h"
#include "gc.h"
#include "hashtab.h"
#include "instance.h"
#include "modules.h"
#include "objareas.h"
#include "qload.h"
#include "saverest.h"
#include "streams.h"
#include "system.h"
#include "wam.h"

namespace {

qx_agc_stats stats;
/* The worker's area words the last marking walked (its term words, in proportion to its cost). */
size_t area_words;
/* Atom collections are spaced so that each walks at most this many area words per atom made
 * since the last one, and the table at least doubles between them: making N atoms then costs
 * O(N) whatever the live heap and the live atoms. */
constexpr size_t kAreaWordsPerAtom = 16;

void mark_range(const void *start, const void *end)
{
  if (end > start)
    qx_agc_mark_words((const TAGGED *)start, (size_t)((const TAGGED *)end - (const TAGGED *)start));
}
/* mark_range over one of the worker's areas, counted in area_words. */
void mark_area(const void *start, const void *end)
{
  if (end > start) area_words += (size_t)((const TAGGED *)end - (const TAGGED *)start);
  mark_range(start, end);
}

void mark_table(const sw_on_key *t)
{
  if (t) qx_agc_mark_words(&t->node[0].key, 2 * (size_t)sw_on_key_slots(t));
}

void mark_definition(definition *d)
{
  qx_agc_mark_word(d->functor);
  qx_agc_mark_word(d->proc.printname);
  qx_agc_mark_word(d->blockinfo);
  qx_agc_mark_word(d->metainfo);
  qx_agc_mark_word(d->filename);
  if (d->imported_from) return; /* the exporter's record holds the clauses */
  if (d->predtyp == ENTER_INTERPRETED)
    for (instance *ins = d->first_clause; ins; ins = ins->next) qx_agc_mark_clause(ins);
  qx_mark_code_atoms(qx_first_compiled_clause(d));
}

void mark_module(mod_def *m)
{
  qx_agc_mark_word(m->name);
  qx_agc_mark_word(m->filename);
  mark_table(m->names);
  mark_table(m->preds);
  if (const sw_on_key *bb = (const sw_on_key *)(uintptr_t)m->bb) {
    mark_table(bb);
    for (uint32_t i = 0; i < sw_on_key_slots(bb); i++)
      if (bb->node[i].key) qx_agc_mark_instance((const instance *)(uintptr_t)bb->node[i].value);
  }
  qx_for_each_definition(m, mark_definition);
}

/* The worker's areas as far as they are used, and every word of the worker record itself
 * (argument registers, its own variables). */
void mark_worker(worker *w)
{
  mark_range(w, w + 1);
  if (!w->heap_start) return;
  mark_area(w->heap_start, w->global_top);
  frame *local_top = w->local_top > w->local_uncond ? w->local_top : w->local_uncond;
  for (node *n = w->node_; n < w->choice_start; n = qx_node_below(n))
    if (n->local_top > local_top) local_top = n->local_top;
  mark_area(w->local_start, local_top);
  mark_area(w->node_, w->choice_start);
  mark_area(w->trail_start, w->trail_top);
  if (w->fli_stack_start)
    mark_range(w->fli_stack_start, w->fli_stack_start + 2 * w->fli_stack_index);
  qx_gc_slots slots;
  qx_interpreter_roots(w, slots);
  for (TAGGED *slot : slots) qx_agc_mark_word(*slot);
}

void mark_roots(worker *w)
{
  mark_range(&qx_eg, &qx_eg + 1); /* flags, the one-character cache, global variables */
  mark_range(qx_state_flags, qx_state_flags + QX_STATE_FLAG_WORDS);
  for (globref_blk *b = qx_eg.globrefs.forward; b && b != &qx_eg.globrefs; b = b->forward)
    mark_range(b + 1, (TAGGED *)(b + 1) + 2 * b->nrefs);
  qx_gc_visit_root_ranges([](const TAGGED *start, size_t n) { qx_agc_mark_words(start, n); });
  if (w) mark_worker(w);
  qx_agc_mark_instance(qx_eg.exception);
  qx_agc_mark_instance(qx_eg.pending_error_culprit);
  qx_cleanup_mark_atoms();
  qx_visit_retired_clauses(qx_agc_mark_clause);
  qx_for_each_module(mark_module);
  if (QX_stream *root = qx_eg.root_stream_ptr)
    for (QX_stream *s = root->forward; s && s != root; s = s->forward)
      qx_agc_mark_word(s->filename_atom);
  qx_qload_mark_atoms(qx_mark_code_atoms);
  qx_code_objects_mark_atoms(qx_mark_code_atoms);
}

double now_seconds()
{
  timeval tv;
  gettimeofday(&tv, nullptr);
  return (double)tv.tv_sec + (double)tv.tv_usec / 1e6;
}

/* garbage_collect_atoms/0: an atom collection now. */
int prolog_garbage_collect_atoms(worker *w)
{
  qx_atom_gc(w);
  return 1;
}

}  // namespace

/* The header's term words and the body; its clocks, stamp and sizes are counters that may look
 * like atom cells, so they are not read as terms. */
void qx_agc_mark_instance(const instance *ins)
{
  if (!ins) return;
  qx_agc_mark_word(ins->key);
  qx_agc_mark_word(ins->extra);
  qx_agc_mark_words(ins->body, qx_instance_body_words(ins));
}

/* A clause's block holds its term, then (after padding never written) the clause record, whose
 * links, rank and counts are no terms, then the code the interpreter runs. */
void qx_agc_mark_clause(const instance *ins)
{
  qx_agc_mark_instance(ins);
  const qx_clause_info *info = qx_clause(ins);
  mark_range(info->code, (const char *)ins + info->block_bytes);
}

uint32_t qx_atom_gc(worker *w)
{
  if (qx_gc_disabled()) return 0; /* still due: the next event check after it collects */
  double start = now_seconds();
  uint32_t freed;
  area_words = 0;
  try {
    mark_roots(w);
    freed = qx_agc_sweep();
  } catch (const std::bad_alloc &) {
    return 0; /* nothing freed; the marks set go at the next sweep */
  }
  size_t spacing = area_words / kAreaWordsPerAtom;
  if (spacing < qx_eg.atom_live) spacing = qx_eg.atom_live;
  qx_agc_space(spacing < UINT32_MAX ? (uint32_t)spacing : UINT32_MAX);
  /* caches keyed by functor words (the call cache) may name a freed atom's index */
  qx_eg.def_generation++;
  double seconds = now_seconds() - start;
  stats.collections++;
  stats.atoms_freed += freed;
  stats.area_words += area_words;
  stats.seconds += seconds;
  return freed;
}

const qx_agc_stats *qx_agc_statistics() { return &stats; }

const qx_pred_row qx_atom_gc_rows[] = {
    {"garbage_collect_atoms", prolog_garbage_collect_atoms, 0, ENTER_C, QX_MOD_PROLOG, nullptr},
    {nullptr, nullptr, 0, 0, 0, nullptr},
};
