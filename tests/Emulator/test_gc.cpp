/* The heap collector: random term graphs under choicepoints collected at random points against
 * the same run without collection, every root kind kept across a long deterministic run, long
 * runs in small heaps, terms too long or too deep for recursion, the trace lines, and heaps too
 * small for the live data. */
#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>

#include "engine_fixture.h"
#include "gc.h"
#include "memtest_support.h"
#include "modules.h"
#include "orvalis.h"
#include "saverest.h"
#include "unify.h"
#include "wam_internal.h"

void put_attributes(TAGGED v, TAGGED attribute, mod_def *module);

namespace {

constexpr size_t MiB = (size_t)1 << 20;

size_t committed_heap(const worker *w)
{
  return (size_t)((char *)w->stack_start - (char *)w->heap_start);
}

/* A term written with its variables numbered by first appearance in `names` (shared across a
 * whole line), attributed variables with their attributes, cycles cut at a depth. */
std::string show(TAGGED t, std::map<TAGGED *, int> &names, int depth = 8)
{
  t = deref(t);
  if (depth == 0) return "...";
  switch (TagOf(t)) {
  case QX_TAG_REF: {
    TAGGED *cell = RefPtr(t);
    auto it = names.emplace(cell, (int)names.size()).first;
    std::string s = "_" + std::to_string(it->second);
    if (cell[-1] == QX_ATTVAR_MARK) s += "{" + show(cell[2], names, depth - 1) + "}";
    return s;
  }
  case QX_TAG_LST:
    return "[" + show(LstHead(t), names, depth - 1) + "|" + show(LstTail(t), names, depth - 1) +
           "]";
  case QX_TAG_STR: {
    TAGGED f = StrFunctor(t);
    if (IsBoxHeader(f)) return TestProlog::show(t);
    std::string s = std::string(atom_name(f)) + "(";
    for (uint32_t i = 1; i <= Arity(f); i++)
      s += (i > 1 ? "," : "") + show(StrArg(t, i), names, depth - 1);
    return s + ")";
  }
  default: return TestProlog::show(t);
  }
}

/* ---- random term graphs under choicepoints ---- */

/* One run of random steps over a pool of terms held in term references: build terms that share
 * pool terms, floats, bignums, fresh and attributed variables; bind variables (trailed under
 * choicepoints), including to terms that contain them (cycles); push choicepoints saving pool
 * terms; backtrack; and, when `collect`, collect at random points. After every backtrack the
 * pool, the saved words of the newest node and the order of pool variables go to the log. */
class GraphRun {
public:
  GraphRun(worker *w, unsigned seed, bool collect) : w_(w), rng_(seed), collect_(collect)
  {
    mod_ = find_module(init_atom_check("gcm", 0), 1);
    base_ = QX_new_term_refs(0);
    qx_gc_add_root_range(bound_, kBound);
  }
  ~GraphRun() { qx_gc_remove_root_range(bound_); }

  std::vector<std::string> run(int steps)
  {
    for (int i = 0; i < steps; i++) step();
    while (!marks_.empty()) backtrack();
    return log_;
  }
  int collections = 0;
  int unbound_again = 0; /* variables bound after a collection that backtracking unbound */

private:
  uint32_t pick(uint32_t n) { return n ? (uint32_t)(rng_() % n) : 0; }
  TAGGED pool(uint32_t i) { return qx_ref_term(base_ + (QX_term_ref)i); }

  TAGGED build(int depth)
  {
    switch (pick(depth > 0 ? 9 : 5)) {
    case 0: return MakeSmall((int32_t)pick(1000) - 500);
    case 1: return init_atom_check(pick(2) ? "a" : "b", 0);
    case 2: {
      TAGGED *cell = w_->global_top++;
      return *cell = MakeRef(cell);
    }
    case 3: return pool_.empty() ? atom_nil : pool(pick((uint32_t)pool_.size()));
    case 4:
      return pick(2) ? qx_make_double(w_, pick(1000) / 7.0)
                     : make_int64(w_, (int64_t)1 << (40 + pick(20)));
    case 5: {
      TAGGED h = build(depth - 1), t = build(depth - 1);
      TAGGED *p = w_->global_top;
      w_->global_top += 2;
      p[0] = h;
      p[1] = t;
      return MakeLst(p);
    }
    default: {
      uint32_t n = 1 + pick(3);
      TAGGED args[3];
      for (uint32_t i = 0; i < n; i++) args[i] = build(depth - 1);
      TAGGED *p = w_->global_top;
      w_->global_top += n + 1;
      p[0] = MakeFunctor(init_atom_check(pick(2) ? "f" : "g", 0), n);
      for (uint32_t i = 0; i < n; i++) p[i + 1] = args[i];
      return MakeStr(p);
    }
    }
  }
  /* An unbound variable inside pool term i (by a short random walk), or null. */
  TAGGED *find_var(uint32_t i)
  {
    TAGGED t = deref(pool(i));
    for (int k = 0; k < 6; k++) {
      if (IsRef(t)) return RefPtr(t);
      if (IsLst(t))
        t = deref(pick(2) ? LstHead(t) : LstTail(t));
      else if (IsCompound(t))
        t = deref(StrArg(t, 1 + (int)pick(Arity(StrFunctor(t)))));
      else
        return nullptr;
    }
    return IsRef(t) ? RefPtr(t) : nullptr;
  }
  void add(TAGGED t)
  {
    QX_term_ref r = QX_new_term_ref();
    qx_get_globref_checked(r, w_)->term = t;
    pool_.push_back(r);
  }
  void step()
  {
    call_overflow(w_, 4096, 0);
    uint32_t what = pick(20);
    if (what < 6) {
      add(build(4));
    } else if (what < 8) {
      build(3); /* garbage */
    } else if (what < 11 && !pool_.empty()) {
      TAGGED *v = find_var(pick((uint32_t)pool_.size()));
      if (!v) return;
      TAGGED value = pick(3) == 0 ? build(2) : pool(pick((uint32_t)pool_.size()));
      if (pick(4) == 0) { /* a cycle: V = f(V, ...) */
        TAGGED *p = w_->global_top;
        w_->global_top += 3;
        p[0] = MakeFunctor(init_atom_check("c", 0), 2);
        p[1] = MakeRef(v);
        p[2] = value;
        value = MakeStr(p);
      }
      if (deref(value) == MakeRef(v)) return;
      qx_bind(w_, v, value);
      if (collected_since_mark_ && nbound_ < kBound) bound_[nbound_++] = MakeRef(v);
    } else if (what < 12 && !pool_.empty()) {
      TAGGED *v = find_var(pick((uint32_t)pool_.size()));
      if (v) put_attributes(MakeRef(v), build(1), mod_);
    } else if (what < 15 && marks_.size() < 8) {
      w_->term[0] = pool_.empty() ? atom_nil : pool(pick((uint32_t)pool_.size()));
      w_->term[1] = build(2);
      qx_push_node(w_, qx_alt(QX_ALT_DISJ, 2));
      marks_.push_back(pool_.size());
      collected_since_mark_ = false;
      nbound_ = 0;
    } else if (what < 17 && !marks_.empty()) {
      backtrack();
    } else if (collect_) {
      ASSERT_TRUE(qx_gc_collect(w_, 0));
      collections++;
      collected_since_mark_ = true;
    }
  }
  void backtrack()
  {
    /* The variables bound since a collection under this node: the bindings must go. */
    qx_restore_node(w_, w_->node_);
    for (uint32_t i = 0; i < nbound_; i++)
      if (RefPtr(bound_[i]) < w_->global_top) {
        EXPECT_TRUE(IsUnbound(RefPtr(bound_[i])));
        unbound_again++;
      }
    nbound_ = 0;
    std::map<TAGGED *, int> names;
    std::string line =
        "node " + show(w_->node_->term[0], names) + " " + show(w_->node_->term[1], names) + " pool";
    qx_pop_node(w_);
    pool_.resize(marks_.back());
    marks_.pop_back();
    QX_reset_term_refs(base_ + (QX_term_ref)pool_.size());
    TAGGED *last_var = nullptr;
    for (size_t i = 0; i < pool_.size(); i++) {
      TAGGED t = deref(pool((uint32_t)i));
      line += " " + show(t, names);
      if (IsRef(t)) { /* standard order of variables is by age */
        if (last_var) line += RefPtr(t) < last_var ? "<" : RefPtr(t) == last_var ? "=" : ">";
        last_var = RefPtr(t);
      }
    }
    log_.push_back(line);
  }

  worker *w_;
  std::mt19937 rng_;
  bool collect_;
  mod_def *mod_;
  QX_term_ref base_;
  std::vector<QX_term_ref> pool_;
  std::vector<size_t> marks_;
  static constexpr uint32_t kBound = 64;
  TAGGED bound_[kBound] = {}; /* roots: collections relocate them */
  uint32_t nbound_ = 0;
  bool collected_since_mark_ = false;
  std::vector<std::string> log_;
};

TEST(GcGraphs, RandomGraphsUnderChoicepointsMatchTheRunWithoutCollection)
{
  for (unsigned seed : {1u, 2u, 3u, 4u, 5u, 6u}) {
    std::vector<std::string> plain, collected;
    int collections = 0, unbound = 0;
    {
      TestProlog p;
      qx_eg.current_gcmode = atom_off;
      plain = GraphRun(p.w, seed, false).run(3000);
    }
    {
      TestProlog p;
      GraphRun run(p.w, seed, true);
      collected = run.run(3000);
      collections = run.collections;
      unbound = run.unbound_again;
      EXPECT_GT(qx_gc_statistics()->cells_collected, 0u);
    }
    EXPECT_GT(collections, 10) << "seed " << seed;
    EXPECT_GT(unbound, 0) << "seed " << seed;
    ASSERT_EQ(plain.size(), collected.size()) << "seed " << seed;
    for (size_t i = 0; i < plain.size(); i++)
      ASSERT_EQ(plain[i], collected[i]) << "seed " << seed << " backtrack " << i;
  }
}

/* ---- every root kind across a long deterministic run ---- */

/* f(1.5, [1, ..., n], 2^40, _, g(_)) on the heap: boxes, a list, shared fresh variables. */
TAGGED live_term(worker *w, int n)
{
  call_overflow(w, 2 * n + 64, 0);
  TAGGED list = atom_nil;
  for (int i = n; i > 0; i--) {
    TAGGED *c = w->global_top;
    w->global_top += 2;
    c[0] = MakeSmall(i);
    c[1] = list;
    list = MakeLst(c);
  }
  TAGGED fl = qx_make_double(w, 1.5), big = make_int64(w, (int64_t)1 << 40);
  TAGGED *v = w->global_top++;
  *v = MakeRef(v);
  TAGGED *g = w->global_top;
  w->global_top += 2;
  g[0] = MakeFunctor(init_atom_check("g", 0), 1);
  g[1] = *v;
  TAGGED *f = w->global_top;
  w->global_top += 6;
  f[0] = MakeFunctor(init_atom_check("f", 0), 5);
  f[1] = fl;
  f[2] = list;
  f[3] = big;
  f[4] = *v;
  f[5] = MakeStr(g);
  return MakeStr(f);
}

bool same_as(worker *w, TAGGED t, instance *copy)
{
  qx_gc_root keep(&t);
  call_overflow(w, qx_instance_heap_words(copy) + 16, 0);
  std::map<TAGGED *, int> names, copy_names; /* variants: variables numbered in order */
  return show(t, names, 1000) == show(qx_copy_from_instance(w, copy), copy_names, 1000);
}

int destroyed_blocks;
void count_destroy(void *block)
{
  destroyed_blocks++;
  QX_free(block);
}

TEST(GcRoots, ALongDeterministicRunKeepsEveryRootKind)
{
  EnvGuard size("GLOBALSTKSIZE", "256K");
  TestProlog p;
  worker *w = p.w;
  qx_eg.current_gcmargin = 32;
  qx_define_native(qx_eg.prolog_module, "note", 1, engine_test::t_note, nullptr, ENTER_C);
  engine_test::log_text.clear();
  mod_def *hook = find_module(init_atom_check("hook", 0), 1);
  p.add_clause(TermReader(w, "attr_unify_hook(A, V) :- note(woke(A, V))").read(), hook);
  size_t initial = committed_heap(w);
  destroyed_blocks = 0;

  /* Live data in each kind of root, and instance copies of it taken first. Term references:
   * ref the live term, +1 s(Old) whose argument a value entry saves, +2 the attributed variable,
   * +3 and +4 what the choicepoint saves. */
  QX_term_ref ref = QX_new_term_refs(5);
  auto slot = [&](int i) -> TAGGED & { return qx_get_globref_checked(ref + i, w)->term; };
  QX_globref global = QX_alloc_globrefs(1);
  slot(0) = live_term(w, 100);
  global->term = live_term(w, 200);
  slot(1) = live_term(w, 50);
  call_overflow(w, 64, 0);
  TAGGED *s = w->global_top;
  w->global_top += 2;
  s[0] = MakeFunctor(init_atom_check("s", 0), 1);
  s[1] = slot(1);
  slot(1) = MakeStr(s);
  void **block = (void **)QX_malloc(2 * sizeof(void *));
  block[0] = (void *)count_destroy;
  TAGGED *pair = w->global_top; /* [V | '$free'(Block)] */
  w->global_top += 4;
  pair[2] = MakeFunctor(atom_free, 1);
  pair[3] = (TAGGED)(uintptr_t)block | 3;
  pair[0] = MakeRef(&pair[0]);
  pair[1] = MakeStr(&pair[2]);
  qx_trail_free(w, MakeLst(pair));
  TAGGED *attv = w->global_top++;
  *attv = MakeRef(attv);
  put_attributes(*attv, init_atom_check("watched", 0), hook);
  slot(2) = deref(*attv);
  slot(3) = live_term(w, 300);
  slot(4) = live_term(w, 20);
  instance *ref_copy = qx_copy_to_instance(w, slot(0));
  instance *global_copy = qx_copy_to_instance(w, global->term);
  instance *old_copy = qx_copy_to_instance(w, StrArg(slot(1), 1));
  instance *reg0_copy = qx_copy_to_instance(w, slot(3));
  instance *reg1_copy = qx_copy_to_instance(w, slot(4));
  w->term[0] = slot(3);
  w->term[1] = slot(4);
  qx_push_node(w, qx_alt(QX_ALT_DISJ, 2));
  slot(3) = slot(4) = atom_nil; /* the node holds them alone now */
  qx_trail_cell_value(w, StrPtr(slot(1)) + 1);
  StrPtr(slot(1))[1] = atom_nil;
  qx_bind(w, RefPtr(slot(2)), MakeSmall(42)); /* a pending wake-up */
  w->term[0] = live_term(w, 400);
  w->term[1] = MakeSmall(7);
  instance *live0_copy = qx_copy_to_instance(w, w->term[0]);

  /* 50 times the initial heap in garbage, the registers live throughout. */
  uint64_t before = qx_gc_statistics()->collections;
  for (size_t made = 0; made < 50 * initial; made += 4096) {
    call_overflow(w, 1024, 2);
    TAGGED *g = w->global_top;
    w->global_top += 1024;
    for (int i = 0; i < 1024; i += 2) {
      g[i] = MakeSmall(i);
      g[i + 1] = MakeLst(&g[i]);
    }
  }
  EXPECT_GT(qx_gc_statistics()->collections - before, 20u);
  EXPECT_LE(committed_heap(w), 4 * initial);

  EXPECT_TRUE(same_as(w, w->term[0], live0_copy));
  EXPECT_EQ(w->term[1], MakeSmall(7));
  EXPECT_TRUE(same_as(w, slot(0), ref_copy));
  EXPECT_TRUE(same_as(w, global->term, global_copy));
  EXPECT_TRUE(same_as(w, w->node_->term[0], reg0_copy));
  EXPECT_TRUE(same_as(w, w->node_->term[1], reg1_copy));
  ASSERT_EQ(w->wake_len, 1u);
  EXPECT_EQ(w->wake_list[0][-1], QX_ATTVAR_MARK);
  EXPECT_EQ(deref(MakeRef(w->wake_list[0])), MakeSmall(42));
  EXPECT_EQ(p.run("true"), 1); /* the event check runs the wake-up */
  EXPECT_EQ(p.run("true"), 1);
  EXPECT_EQ(engine_test::log_text, "woke(watched,42)");
  EXPECT_EQ(destroyed_blocks, 0);
  qx_restore_node(w, w->node_); /* the value entry and the $free pair are undone */
  qx_pop_node(w);
  EXPECT_TRUE(same_as(w, StrArg(slot(1), 1), old_copy));
  EXPECT_TRUE(IsUnbound(RefPtr(slot(2))));
  qx_untrail_to(w, w->trail_start + 1);
  EXPECT_EQ(destroyed_blocks, 1);
  for (instance *c : {ref_copy, global_copy, old_copy, reg0_copy, reg1_copy, live0_copy})
    qx_free_instance(c);
  QX_free_globrefs(global);
}

/* ---- terms too long or too deep for recursion ---- */

/* n cells at the heap top; the caller made room for all the terms at once, so that no
 * collection comes between. */
TAGGED *cells(worker *w, uint32_t n)
{
  TAGGED *p = w->global_top;
  w->global_top += n;
  return p;
}

/* [1, ..., n] after a garbage word, with one more garbage word after every 2^16 elements, so
 * that the kept cells slide by different distances. */
TAGGED long_list(worker *w, uint32_t n)
{
  constexpr uint32_t chunk = 1 << 16;
  TAGGED *c = cells(w, 1 + 2 * n + (n - 1) / chunk);
  *c++ = MakeSmall(-1);
  TAGGED list = MakeLst(c);
  for (uint32_t i = 1; i <= n; i++) {
    c[0] = MakeSmall((int32_t)i);
    if (i == n) {
      c[1] = atom_nil;
      break;
    }
    TAGGED *next = c + 2;
    if (i % chunk == 0) *next++ = MakeSmall(-1);
    c[1] = MakeLst(next);
    c = next;
  }
  return list;
}

/* Level k of depth levels around Inner, from the outside in: h(Inner, k), [Inner | k] and a
 * bound variable in turn, so that the marker's stack holds one word per level for the first two.
 * The innermost term is bottom. */
TAGGED deep_term(worker *w, uint32_t depth)
{
  TAGGED *p = cells(w, 3 * depth + 1);
  p[0] = MakeSmall(-1); /* garbage */
  TAGGED inner = init_atom_check("bottom", 0);
  for (uint32_t k = depth; k-- > 0;) {
    TAGGED *c = p + 1 + 3 * k;
    switch (k % 3) {
    case 0:
      c[0] = MakeFunctor(init_atom_check("h", 0), 2), c[1] = inner, c[2] = MakeSmall((int32_t)k);
      inner = MakeStr(c);
      break;
    case 1:
      c[0] = inner, c[1] = MakeSmall((int32_t)k), c[2] = MakeSmall(-1); /* one garbage word */
      inner = MakeLst(c);
      break;
    default:
      c[0] = MakeSmall(-1), c[1] = MakeSmall(-1), c[2] = inner; /* a variable bound to Inner */
      inner = MakeRef(&c[2]);
      break;
    }
  }
  return inner;
}

/* The checks walk the terms in loops, as the collector must. */
bool is_long_list(TAGGED l, uint32_t n)
{
  for (uint32_t i = 1; i <= n; i++, l = deref(LstTail(l)))
    if (!IsLst(l = deref(l)) || deref(LstHead(l)) != MakeSmall((int32_t)i)) return false;
  return deref(l) == atom_nil;
}

bool is_deep_term(TAGGED t, uint32_t depth)
{
  TAGGED h2 = MakeFunctor(init_atom_check("h", 0), 2);
  for (uint32_t k = 0; k < depth; k++) {
    if (k % 3 == 2) {
      if (!IsRef(t) || IsUnbound(RefPtr(t))) return false;
      t = *RefPtr(t);
    } else if (k % 3 == 0) {
      if (!IsStr(t) || StrFunctor(t) != h2 || StrArg(t, 2) != MakeSmall((int32_t)k)) return false;
      t = StrArg(t, 1);
    } else {
      if (!IsLst(t) || LstTail(t) != MakeSmall((int32_t)k)) return false;
      t = LstHead(t);
    }
  }
  return t == init_atom_check("bottom", 0);
}

TEST(GcDeep, ATenMillionElementListAndATermAMillionDeepSurviveACollection)
{
  TestProlog p;
  worker *w = p.w;
  constexpr uint32_t length = 10000000, depth = 1000000;
  w->term[0] = w->term[1] = atom_nil;
  ASSERT_TRUE(qx_gc_collect(w, 2));
  size_t live = (size_t)(w->global_top - w->heap_start) + 2 * length;
  for (uint32_t k = 0; k < depth; k++) live += k % 3 == 0 ? 3 : k % 3 == 1 ? 2 : 1;
  call_overflow(w, 2 * (3 * depth + 1) + 2 * length + length / 65536 + 1024, 2);
  deep_term(w, depth); /* garbage below both */
  w->term[0] = long_list(w, length);
  w->term[1] = deep_term(w, depth);
  TAGGED *list_before = LstPtr(w->term[0]), *deep_before = StrPtr(w->term[1]);
  ASSERT_TRUE(qx_gc_collect(w, 2));
  EXPECT_EQ((size_t)(w->global_top - w->heap_start), live);
  EXPECT_LT(LstPtr(w->term[0]), list_before);
  EXPECT_LT(StrPtr(w->term[1]), deep_before);
  EXPECT_TRUE(is_long_list(w->term[0], length));
  EXPECT_TRUE(is_deep_term(w->term[1], depth));
}

/* ---- outside roots through the hook ---- */

/* A mock of the solver's queues: heap terms kept in an array outside the heap. */
TAGGED outside[3];
std::vector<int> operations;
void outside_hook(worker *w, int operation, TAGGED *heap_start)
{
  operations.push_back(operation);
  for (TAGGED &t : outside)
    if (operation == 2)
      markTerm(t);
    else if (operation == 3 && !IsConst(t) && TagToPointer(t) >= heap_start)
      intoRelocationChain(w, TagToPointer(t), &t);
}

TEST(GcRoots, TermsTheOutsideHookMarksSurviveAndItsCellsFollow)
{
  TestProlog p;
  worker *w = p.w;
  instance *first, *last;
  TAGGED *before;
  {
    qx_gc_off off; /* the garbage stays until the collection below, which only the hook feeds */
    for (int i = 0; i < 3; i++) {
      for (int k = 0; k < 100; k++) live_term(w, 10); /* garbage before each kept term */
      outside[i] = i == 1 ? MakeSmall(5) : live_term(w, 30 + i);
    }
    first = qx_copy_to_instance(w, outside[0]);
    last = qx_copy_to_instance(w, outside[2]);
    before = TagToPointer(outside[2]);
  }
  qx_gc_outside_roots = outside_hook;
  operations.clear();
  bool collected = qx_gc_collect(w, 0);
  qx_gc_outside_roots = nullptr;
  qx_gc_root kept(outside, 3);
  ASSERT_TRUE(collected);
  EXPECT_EQ(operations, (std::vector<int>{2, 3}));
  EXPECT_LT(TagToPointer(outside[2]), before) << "the cell followed its term down";
  EXPECT_EQ(outside[1], MakeSmall(5));
  EXPECT_TRUE(same_as(w, outside[0], first));
  EXPECT_TRUE(same_as(w, outside[2], last));
  qx_free_instance(first);
  qx_free_instance(last);
}

/* Root ranges of thousands of words, registered out of address order, overlapping, one inside
 * another and one registered twice, with garbage between the kept terms: every word reached
 * more than once is relocated once, and each root still holds a copy of what it held. */
TEST(GcRoots, ThousandsOfOverlappingRootWordsAreEachRelocatedOnce)
{
  TestProlog p;
  worker *w = p.w;
  const size_t n = 6000;
  std::vector<TAGGED> roots(n);
  std::vector<instance *> copies(n);
  TAGGED *before;
  {
    qx_gc_off off;
    for (size_t i = 0; i < n; i++) {
      for (int k = 0; k < 3; k++) live_term(w, 4);
      roots[i] = i % 7 == 3 ? MakeSmall((int32_t)i) : live_term(w, 2 + (int)(i % 5));
      copies[i] = qx_copy_to_instance(w, roots[i]);
    }
    before = w->global_top;
  }
  TAGGED *r = roots.data();
  qx_gc_root tail(r + 4000, 2000), whole(r, n), middle(r + 2500, 1000), head(r, 3000),
      again(r + 4000, 2000);
  ASSERT_TRUE(qx_gc_collect(w, 0));
  EXPECT_LT(w->global_top, before) << "the garbage went";
  /* each comparison collects in the stress mode: there a sample is compared */
  for (size_t i = 0; i < n; i++) {
    if (!qx_gc_stress || i % 61 == 0) {
      EXPECT_TRUE(same_as(w, roots[i], copies[i])) << "root " << i;
    }
    qx_free_instance(copies[i]);
  }
}

/* The solver's manager hook, installed as the solver installs it, is the collector's outside
 * root while installed: called with its cookie, operation 2 then 3 and the heap start. */
int cookie_seen;
int fd_style_manager(void *cookie, worker *w, int operation, void *argument)
{
  cookie_seen = *(int *)cookie;
  if (argument == (void *)w->heap_start) outside_hook(w, operation, (TAGGED *)argument);
  return 0;
}

TEST(GcRoots, TheInstalledSolverHookMarksAndRelocatesItsCells)
{
  TestProlog p;
  worker *w = p.w;
  int cookie = 42;
  for (int enable : {1, 0}) {
    SCOPED_TRACE(enable);
    instance *copy;
    TAGGED *before;
    {
      qx_gc_off off;
      for (int k = 0; k < 100; k++) live_term(w, 10);
      outside[0] = outside[1] = MakeSmall(1);
      outside[2] = live_term(w, 40);
      copy = qx_copy_to_instance(w, outside[2]);
      before = TagToPointer(outside[2]);
    }
    QX_install_fd_hooks(&cookie, fd_style_manager, nullptr, nullptr, nullptr, enable);
    operations.clear();
    cookie_seen = 0;
    ASSERT_TRUE(qx_gc_collect(w, 0));
    QX_install_fd_hooks(&cookie, fd_style_manager, nullptr, nullptr, nullptr, 0);
    if (enable) {
      qx_gc_root kept(outside, 3);
      EXPECT_EQ(operations, (std::vector<int>{2, 3}));
      EXPECT_EQ(cookie_seen, 42);
      EXPECT_LT(TagToPointer(outside[2]), before);
      EXPECT_TRUE(same_as(w, outside[2], copy));
    } else {
      EXPECT_TRUE(operations.empty());
      EXPECT_EQ(qx_gc_outside_roots, nullptr);
    }
    qx_free_instance(copy);
  }
}

/* ---- the policy: long runs in small heaps ---- */

const char *const kLists =
    "app([], L, L). app([H|T], L, [H|R]) :- app(T, L, R). "
    "nrev([], []). nrev([H|T], R) :- nrev(T, RT), app(RT, [H], R). "
    "range(N, N, [N]) :- !. range(I, N, [I|T]) :- I1 is I + 1, range(I1, N, T). "
    "bench(0, _, R, R) :- !. bench(N, L, _, R) :- nrev(L, R1), N1 is N - 1, bench(N1, L, R1, R). "
    "len([], 0). len([_|T], N) :- len(T, M), N is M + 1. "
    "churn(0, S, S) :- !. "
    "churn(N, S0, S) :- range(1, 1000, L), len(L, K), S1 is S0 + K, N1 is N - 1, churn(N1, S1, S). "
    "count(N, N) :- !. count(I, N) :- I1 is I + 1, count(I1, N). ";

std::string descending(int n)
{
  std::string s = "[";
  for (int i = n; i >= 1; i--) s += std::to_string(i) + (i > 1 ? "," : "]");
  return s;
}

TEST(GcPolicy, LongRunsInA64KiBHeapGiveTheirResultsAndTheHeapStaysSmall)
{
  EnvGuard size("GLOBALSTKSIZE", "64K");
  TestProlog p;
  qx_eg.current_gcmargin = 16;
  p.consult(kLists);
  uint64_t before = qx_gc_statistics()->collections;
  ASSERT_EQ(p.run("range(1, 30, L), bench(10000, L, [], R)"), 1);
  EXPECT_EQ(p.var("R"), descending(30));
  ASSERT_EQ(p.run("churn(1000, 0, S)"), 1);
  EXPECT_EQ(p.var("S"), "1000000");
  EXPECT_GT(qx_gc_statistics()->collections - before, 100u);
  EXPECT_LE(committed_heap(p.w), 512 * 1024u);
}

TEST(GcPolicy, CountingByLastCallKeepsTheHeapUnder64MiB)
{
  if (stress_mode_run()) GTEST_SKIP() << "the stress mode collects far more often than the policy";
  TestProlog p;
  p.consult(kLists);
  ASSERT_EQ(p.run("count(0, 30000000)"), 1);
  EXPECT_LT(committed_heap(p.w), 64 * MiB);
}

TEST(GcPolicy, GcModeOffOnlyGrows)
{
  EnvGuard size("GLOBALSTKSIZE", "64K");
  TestProlog p;
  qx_eg.current_gcmargin = 16;
  qx_eg.current_gcmode = atom_off;
  p.consult(kLists);
  uint64_t before = qx_gc_statistics()->collections;
  ASSERT_EQ(p.run("churn(100, 0, S)"), 1);
  EXPECT_EQ(qx_gc_statistics()->collections, before);
  EXPECT_GT(committed_heap(p.w), 1 * MiB);
}

TEST(GcPolicy, TraceLinesOnTheErrorStreamOnlyWhileGcTraceIsOn)
{
  TestProlog p;
  for (TAGGED mode : {atom_on, atom_off}) {
    qx_eg.current_gctrace = mode;
    testing::internal::CaptureStderr();
    ASSERT_EQ(p.run("X = f(Y, 1.5), garbage_collect, garbage_collect, X = f(a, Z)"), 1);
    std::string text = testing::internal::GetCapturedStderr();
    EXPECT_EQ(p.var("Z"), "1.5");
    if (mode == atom_off) {
      EXPECT_EQ(text, "");
      continue;
    }
    size_t lines = 0;
    for (size_t at = 0; at < text.size(); at = text.find('\n', at) + 1, lines++)
      EXPECT_EQ(text[at], '%') << text;
    EXPECT_GE(lines, 2u) << text;
    if (!qx_gc_stress) {
      EXPECT_EQ(lines, 2u) << text; /* the stress mode adds collections */
    }
  }
}

TEST(GcPolicy, TheStressModeCollectsAtEveryOverflowCallAndTrapsTheFreedHeap)
{
  TestProlog p;
  worker *w = p.w;
  bool stress = qx_gc_stress;
  qx_gc_stress = true;
  TAGGED *stale;
  {
    qx_gc_off off;
    w->term[0] = live_term(w, 10);
    stale = StrPtr(live_term(w, 10)); /* garbage held in a local, as a faulty native would */
  }
  uint64_t before = qx_gc_statistics()->collections;
  call_overflow(w, 8, 1); /* room enough: a collection all the same */
  EXPECT_EQ(qx_gc_statistics()->collections, before + 1);
  EXPECT_EQ(*stale, QX_GC_TRAP);
  EXPECT_EQ(TestProlog::show(StrArg(w->term[0], 3)), "1099511627776");
  qx_eg.current_gcmode = atom_off;
  call_overflow(w, 8, 1);
  EXPECT_EQ(qx_gc_statistics()->collections, before + 1) << "gc_mode off: never collected";
  qx_gc_stress = stress;
}

/* A goal term left behind by backtracking, its heap since reused: a big integer's last word now
 * stands where the goal's functor stood. A collection with that dangling goal still about must
 * not take the words after it for a box's raw payload. pad(N, _) shifts the goal by 2N words, so
 * that one of the cases puts it on the box's last word, whatever the exact layout. */
TEST(GcPolicy, AGoalLeftBehindByBacktrackingIsNoRootIntoReusedHeap)
{
  TestProlog p;
  p.consult("big(268435456).\n"
            "g(_).\n"
            "pad(0, z).\n"
            "pad(N, f(P)) :- N > 0, N1 is N - 1, pad(N1, P).\n"
            "stale(N) :- ( pad(N, P), G = g(P), call(G), fail ; true ).\n"
            "mk(T) :- big(B), T = t(B, x).\n"
            "case(N, T) :- functor(_, f, 40), stale(N), mk(T), garbage_collect.\n");
  bool stress = qx_gc_stress;
  qx_gc_stress = true; /* the freed heap trapped: a pointer left unrelocated shows */
  for (int n = 0; n < 6; n++) {
    std::string query = "case(" + std::to_string(n) + ", T), T = t(B, x), integer(B)";
    ASSERT_EQ(p.run(query + ", B =:= 268435456"), 1) << n;
  }
  qx_gc_stress = stress;
}

/* ---- bad input ---- */

class GcNested : public EngineTest {
protected:
  GcNested()
  {
    for (const qx_pred_row *row = qx_gc_rows; row->name; row++)
      native(row->name, row->arity, row->function);
  }
};

TEST_F(GcNested, GarbageCollectThreeQueriesDeepLeavesEveryQueryUsable)
{
  p.consult("deep(X, Y, Z) :- nested_once(level2(X, Y, Z)). "
            "level2(X, Y, Z) :- Y = g(X, _), nested_once(level3(Y, Z)), Y = g(_, h). "
            "level3(Y, Z) :- Z = k(Y, [1, 2, 3]), nested_once(garbage_collect), Z = k(_, [1|_]). ");
  ASSERT_EQ(p.run("X = f(a, 2.5), deep(X, Y, Z), (note(Z) ; true)"), 1);
  EXPECT_EQ(p.var("Y"), "g(f(a,2.5),h)");
  EXPECT_EQ(p.var("Z"), "k(g(f(a,2.5),h),[1,2,3])");
  EXPECT_EQ(log(), "k(g(f(a,2.5),h),[1,2,3])");
}

/* The live data outgrow a heap limited by PROLOGMAXSIZE: a resource error, after which the
 * next query runs. */
int live_data_past_the_limit()
{
  alarm(120);
  EnvGuard limit("PROLOGMAXSIZE", "16M");
  TestProlog p;
  p.consult(kLists);
  ready_the_exception_path();
  if (p.run("catch(range(1, 3000000, L), error(resource_error(R), _), true)") != 1) return 2;
  if (p.var("R") != "memory") return 3;
  if (p.run("range(1, 30, L), bench(100, L, [], R)") != 1) return 4;
  if (p.var("R") != descending(30)) return 5;
  return 0;
}

TEST(GcBadInput, LiveDataPastTheHeapLimitIsAResourceErrorAndTheNextQueryRuns)
{
  if (stress_mode_run())
    GTEST_SKIP() << "at its limit the heap is collected at every call";
  EXPECT_EQ(run_in_child(live_data_past_the_limit), 0);
}

}  // namespace

namespace {

/* A term whose marking needs a stack of 16 MiB with less than that left: the collection is given
 * up and the term is whole (with the stack on the allocator, a sanitizer's allocator aborted). */
int marking_past_the_memory_left()
{
  alarm(120);
  TestProlog p;
  constexpr uint32_t depth = 6000000;
  call_overflow(p.w, 3 * depth + 1024, 0);
  p.w->term[0] = deep_term(p.w, depth);
  limit_data_segment(8 * MiB);
  if (qx_gc_collect(p.w, 1)) return 2;
  return is_deep_term(p.w->term[0], depth) ? 0 : 3;
}

}  // namespace

TEST(GcBadInput, AMarkStackPastTheMemoryLeftGivesTheCollectionUp)
{
  EXPECT_EQ(run_in_child(marking_past_the_memory_left), 0);
}

namespace {

/* Choicepoints and frames, each frame keeping a 41-word term, pushed until a data limit stops
 * the areas: the collections on the way list hundreds of thousands of root words, and near the
 * limit their lists must fail as the areas do, into a resource error that the program catches
 * (a sanitizer's allocator would abort), after which the next query runs. */
int choicepoints_past_the_limit()
{
  alarm(120);
  TestProlog p;
  p.consult("cp(N) :- N1 is N + 1, functor(X, f, 40), arg(1, X, N1), cp(N1), arg(1, X, N1). "
            "cp(_). "
            "count(N, N) :- !. count(I, N) :- I1 is I + 1, count(I1, N). ");
  ready_the_exception_path();
  limit_data_segment(96 * MiB);
  if (p.run("catch(cp(0), error(resource_error(R), _), true)") != 1) return 2;
  if (p.var("R") != "memory") return 3;
  if (p.run("count(0, 100000)") != 1) return 4;
  return 0;
}

}  // namespace

TEST(GcBadInput, ChoicepointsPastTheDataLimitAreAResourceErrorInEveryBuild)
{
  if (stress_mode_run())
    GTEST_SKIP() << "near the limit the stress mode collects the whole stack at every call";
  if (in_fresh_child()) _exit(choicepoints_past_the_limit());
  EXPECT_EQ(run_test_in_fresh_process(
                "GcBadInput.ChoicepointsPastTheDataLimitAreAResourceErrorInEveryBuild"),
            0);
}
