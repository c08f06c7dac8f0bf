/* Term references and global references: the stack and its growth, marks, the reserved slots and
 * "$ref_term"/2, variable names, and global-reference blocks across backtracking, nested queries
 * and freeing. */
#include <set>

#include "api_fixture.h"

namespace {

using TermRefs = ApiTest;

int top() { return QX_new_term_refs(0); }

}  // namespace

TEST_F(TermRefs, TheFirstReferenceIsTenAndBadMarksChangeNothing)
{
  EXPECT_EQ(QX_new_term_ref(), 10);
  EXPECT_EQ(qx_ref_term(10), atom_nil);
  int mark = QX_new_term_refs(0);
  EXPECT_EQ(mark, 11);
  EXPECT_EQ(QX_reset_term_refs(mark), 1);
  EXPECT_EQ(top(), 11) << "a mark and its reset are a no-op pair";
  /* the reserved slots are no mark: the next reference would be one of them */
  for (int bad : {-1, 0, 9, 12, 1000}) {
    qx_set_errno(0);
    EXPECT_EQ(QX_reset_term_refs(bad), 0) << bad;
    EXPECT_EQ(QX_get_errno(), QX_ERR_DOMAIN_ERROR) << bad;
    EXPECT_EQ(top(), 11) << bad;
  }
  EXPECT_EQ(QX_new_term_refs(3), 11);
  EXPECT_EQ(QX_reset_term_refs(10), 1) << "down to the first free slot is a valid mark";
  EXPECT_EQ(QX_new_term_ref(), 10);
  EXPECT_EQ(p.run("'$ref_term'(clpfd, M)"), 1);
  EXPECT_EQ(p.var("M"), "$mutable(0,0)");
}

TEST_F(TermRefs, ThreeHundredReferencesGrowTheStackAndKeepTheirTerms)
{
  worker *w = p.w;
  EXPECT_EQ(w->fli_stack_size, 256u);
  std::vector<QX_term_ref> refs;
  for (int i = 0; i < 300; i++) {
    refs.push_back(QX_new_term_ref());
    ASSERT_EQ(QX_put_integer(refs.back(), 1000 + i), 1);
  }
  EXPECT_EQ(w->fli_stack_size, 512u);
  EXPECT_EQ(w->fli_info.fli_stack_start, w->fli_stack_start) << "the mirror follows the array";
  for (int i = 0; i < 300; i++) {
    EXPECT_EQ(refs[i], 10 + i);
    long v = 0;
    ASSERT_EQ(QX_get_integer(refs[i], &v), 1);
    EXPECT_EQ(v, 1000 + i);
  }
  /* A block that does not fit doubles until it lies below the capacity; its slots hold []. */
  QX_term_ref block = QX_new_term_refs(900);
  EXPECT_EQ(block, 310);
  EXPECT_EQ(w->fli_stack_size, 2048u);
  for (int i = block; i < block + 900; i++) ASSERT_EQ(qx_ref_term(i), atom_nil) << i;
  EXPECT_EQ(show(refs[299]), "1299");
}

TEST_F(TermRefs, ReservedSlotsAndRefTerm)
{
  worker *w = p.w;
  std::set<TAGGED> variables;
  for (int slot : {0, 1, 2, 3, 4, 9}) {
    TAGGED t = qx_ref_term(slot);
    EXPECT_TRUE(IsVar(t) && IsUnbound(RefPtr(t))) << slot;
    EXPECT_TRUE(RefPtr(t) >= w->heap_start && RefPtr(t) < w->heap_start + QX_HEAP_RESERVED_CELLS);
    variables.insert(t);
  }
  EXPECT_EQ(variables.size(), 6u) << "six distinct variables";
  for (int slot = 5; slot <= 8; slot++) EXPECT_EQ(show(slot), "$mutable(0,0)") << slot;
  EXPECT_EQ(w->global_top, w->heap_start + QX_HEAP_RESERVED_CELLS);

  struct {
    const char *ref;
    int slot; /* -1: the call fails */
  } rows[] = {{"reserved", 8}, {"clpfd", 5}, {"talpix", 6}, {"global", 7}, {"0", 0},
              {"9", 9},        {"10", -1},   {"-1", -1},    {"foo", -1},   {"f(1)", -1}};
  for (auto &row : rows) {
    TAGGED g = goal(std::string("'$ref_term'(") + row.ref + ", T)");
    ASSERT_EQ(run_goal(g), row.slot >= 0) << row.ref;
    if (row.slot >= 0) {
      EXPECT_EQ(deref(var("T")), deref(qx_ref_term(row.slot))) << row.ref;
    }
  }
}

TEST_F(TermRefs, VariablesAreNamedByTheirCellAfterTheReservedCells)
{
  QX_term_ref a = QX_new_term_ref(), b = QX_new_term_ref(), c = QX_new_term_ref();
  QX_put_variable(a);
  QX_put_variable(b);
  QX_put_term(c, b);
  char name[16];
  qx_variable_to_string(a, name);
  EXPECT_STREQ(name, "_0");
  qx_variable_to_string(c, name);
  EXPECT_STREQ(name, "_1") << "named by the variable it dereferences to";
}

namespace {

/* keep(G): stores 'kept' in global slot 0 and the term G in slot 1, then fails. */
QX_globref kept;
int t_keep(worker *w)
{
  kept[0].term = init_atom_check("kept", 0);
  kept[1].term = deref(w->term[0]);
  return 0;
}

/* check_kept(N): a query nested N deep finds slot 0 still set. */
int t_check_kept(worker *w)
{
  QX_term_ref depth = ApiTest::arg_refs(w, 1);
  long n = 0;
  QX_get_integer(depth, &n);
  if (kept[0].term != init_atom_check("kept", 0)) return 0;
  if (n == 0) return 1;
  QX_put_integer(depth, n - 1);
  return QX_query(QX_predicate("check_kept", 1, "prolog"), depth) == 1;
}

std::vector<globref_blk *> ring_forward()
{
  std::vector<globref_blk *> blocks;
  globref_blk *head = &qx_eg.globrefs;
  for (globref_blk *b = head->forward; b != head; b = b->forward) {
    EXPECT_EQ(b->forward->backward, b);
    blocks.push_back(b);
  }
  return blocks;
}

}  // namespace

TEST_F(TermRefs, GlobalReferencesSurviveBacktrackingAndNestedQueriesAndFreeingUnlinks)
{
  size_t foreign = qx_space_in_use(QX_SPACE_FOREIGN);
  native("keep", 1, t_keep);
  native("check_kept", 1, t_check_kept);
  kept = QX_alloc_globrefs(2);
  QX_globref b = QX_alloc_globrefs(3);
  QX_globref c = QX_alloc_globrefs(1);
  ASSERT_TRUE(kept && b && c);
  for (int i = 0; i < 3; i++) EXPECT_EQ(b[i].term, atom_nil);
  EXPECT_EQ(ring_forward(), (std::vector<globref_blk *>{(globref_blk *)c - 1, (globref_blk *)b - 1,
                                                        (globref_blk *)kept - 1}))
      << "new blocks go right after the head";
  EXPECT_EQ(((globref_blk *)b - 1)->size, 16u + 8 * 3);

  /* The query fails: the binding of X made under it is undone, the slots keep their values. */
  EXPECT_EQ(run_goal(goal("X = f(Y), keep(X)")), 0);
  EXPECT_EQ(TestProlog::show(kept[1].term), "f(_)");
  EXPECT_EQ(run_goal(goal("check_kept(3)")), 1) << "three queries deep";

  QX_free_globrefs(b);
  EXPECT_EQ(ring_forward(),
            (std::vector<globref_blk *>{(globref_blk *)c - 1, (globref_blk *)kept - 1}));
  QX_free_globrefs(c);
  QX_free_globrefs(kept);
  EXPECT_TRUE(ring_forward().empty());
  EXPECT_EQ(qx_eg.globrefs.backward, &qx_eg.globrefs);
  EXPECT_EQ(qx_space_in_use(QX_SPACE_FOREIGN), foreign) << "every block went back";
  QX_free_globrefs(nullptr);
  qx_set_errno(0);
  EXPECT_EQ(QX_alloc_globrefs(-1), nullptr);
  EXPECT_EQ(QX_get_errno(), QX_ERR_DOMAIN_ERROR);
}

TEST_F(TermRefs, GlobalReferencesInCallerMemoryAreRingMembersAndUnlinkingFreesNothing)
{
  size_t foreign = qx_space_in_use(QX_SPACE_FOREIGN);
  QX_globref own = QX_alloc_globrefs(1);
  alignas(8) char memory[qx_globrefs_bytes(2)];
  QX_globref refs = qx_link_globrefs(&qx_eg.globrefs, memory, 2);
  EXPECT_EQ((char *)refs, memory + sizeof(globref_blk)) << "the slots follow the header";
  refs[0] = refs[1] = QX_globref_{atom_nil, 0};
  EXPECT_EQ(((globref_blk *)memory)->nrefs, 2u);
  EXPECT_EQ(ring_forward(),
            (std::vector<globref_blk *>{(globref_blk *)memory, (globref_blk *)own - 1}));
  EXPECT_EQ(qx_space_in_use(QX_SPACE_FOREIGN), foreign + qx_globrefs_bytes(1)) << "no allocation";
  qx_unlink_globrefs(refs);
  EXPECT_EQ(ring_forward(), (std::vector<globref_blk *>{(globref_blk *)own - 1}));
  QX_free_globrefs(own);
  EXPECT_EQ(qx_space_in_use(QX_SPACE_FOREIGN), foreign);
}

namespace {

/* QX_new_term_refs(N), N a constant, from top `level` (its slots and the spare one beyond them
 * hold integers before): it answers the top, pushes N slots holding [] and doubles the stack
 * only when the N slots and the spare one do not fit. */
template <int N>
void constant_request(worker *w, int level)
{
  volatile int below = level - 10; /* a count known only at run time */
  QX_reset_term_refs(10);
  QX_new_term_refs(below);
  uint32_t size = w->fli_stack_size;
  for (uint32_t r = (uint32_t)level; r <= (uint32_t)level + N && r < size; r++)
    w->fli_stack_start[2 * r] = MakeSmall(r);
  ASSERT_EQ(QX_new_term_refs(N), level) << N << " at " << level;
  EXPECT_EQ(QX_new_term_refs(0), level + N) << N << " at " << level;
  EXPECT_EQ(w->fli_stack_size, (uint32_t)level + N < size ? size : 2 * size) << N << " at " << level;
  for (int i = 0; i < N; i++) ASSERT_EQ(qx_ref_term(level + i), atom_nil) << N << " at " << level;
}

/* Each constant N, from the tops where it just fits in the stack of 256 slots. */
template <int... N>
void each_constant(worker *w, std::integer_sequence<int, N...>)
{
  for (int spare = 1; spare <= 3; spare++) (constant_request<N>(w, 256 - N - spare), ...);
}

}  // namespace

TEST_F(TermRefs, ConstantCountsTakenInLineKeepTheSpareSlotAndGrowTheStackWhenFull)
{
  worker *w = p.w;
  each_constant(w, std::make_integer_sequence<int, 17>());
  ASSERT_EQ(w->fli_stack_size, 256u);
  constant_request<16>(w, 240); /* 16 slots from 240: the spare one is past the end */
  EXPECT_EQ(w->fli_stack_size, 512u);
}
