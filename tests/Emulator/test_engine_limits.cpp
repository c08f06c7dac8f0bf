/* The engine at its limits: memory faults inside natives, deep recursion, and terms far too big
 * to walk by C++ recursion. The limit tests run in forked children (memtest_support.h). */
#include <sys/resource.h>

#include <cstdio>

#include "engine_fixture.h"
#include "memtest_support.h"

namespace {

using namespace engine_test;

constexpr size_t MiB = (size_t)1 << 20;

/* hog: takes heap in 4 MiB steps until the data limit stops it; each step is a chain of list
 * pairs ending in the steps before it, so that no collection frees them. */
int t_hog(worker *w)
{
  constexpr size_t cells = 4 * MiB / sizeof(TAGGED);
  w->term[0] = atom_nil;
  for (;;) {
    call_overflow(w, (uint32_t)cells, 1);
    TAGGED *step = w->global_top;
    w->global_top += cells;
    for (size_t i = 0; i < cells; i += 2) {
      step[i] = atom_nil;
      step[i + 1] = i + 2 < cells ? MakeLst(&step[i + 2]) : w->term[0];
    }
    w->term[0] = MakeLst(step);
  }
}

/* fault: an internal fault inside a native. */
int t_fault(worker *) { QX_raise_fault("broken invariant"); }

/* succ_down(N, M): M = N - 1. */
int t_succ_down(worker *w)
{
  return cunify(w, w->term[1], MakeSmall(GetSmall(deref(w->term[0])) - 1));
}

/* mk_deep(N, T): T = f(f(...f(0)...)) N deep. */
int t_mk_deep(worker *w)
{
  uint32_t n = (uint32_t)GetSmall(deref(w->term[0]));
  call_overflow(w, 2 * n + 16, 2);
  TAGGED *p = w->global_top;
  TAGGED f = MakeFunctor(init_atom_check("f", 0), 1);
  for (uint32_t i = 0; i < n; i++) {
    p[2 * i] = f;
    p[2 * i + 1] = i + 1 < n ? MakeStr(&p[2 * i + 2]) : MakeSmall(0);
  }
  w->global_top += 2 * n;
  return cunify(w, w->term[1], n ? MakeStr(p) : MakeSmall(0));
}

/* size(T, N): list elements or nesting depth, counted iteratively. */
int t_size(worker *w)
{
  int32_t n = 0;
  for (TAGGED t = deref(w->term[0]); IsLst(t) || IsStr(t); n++)
    t = deref(IsLst(t) ? LstTail(t) : StrArg(t, 1));
  return cunify(w, w->term[1], MakeSmall(n));
}

/* copy(T, C): through an instance, as the database and the exception store copy. */
int t_copy(worker *w)
{
  instance *ins = qx_copy_to_instance(w, w->term[0]);
  call_overflow(w, qx_instance_heap_words(ins) + 16, 2);
  TAGGED c = qx_copy_from_instance(w, ins);
  qx_free_instance(ins);
  return cunify(w, w->term[1], c);
}

/* keep(T): asserts kept(T). */
int t_keep(worker *w)
{
  TAGGED *p = w->global_top;
  call_overflow(w, 4, 1);
  p = w->global_top;
  p[0] = MakeFunctor(init_atom_check("kept", 0), 1);
  p[1] = w->term[0];
  w->global_top += 2;
  definition *d = insert_definition(qx_eg.user_module, init_atom_check("kept", 0), 1, 1);
  if (d->predtyp == ENTER_UNDEFINED) redefine_predicate(d, ENTER_INTERPRETED);
  insertz(d, qx_make_clause(w, d, MakeStr(p)));
  return 1;
}

/* fill_past(Bytes): pushes choicepoints of the largest size until more than Bytes of the
 * choicepoint area are in use, so that what runs next lies beyond that offset. */
int t_fill_past(worker *w)
{
  int64_t bytes = 0;
  qx_get_int64(deref(w->term[0]), &bytes);
  alt_code *filler = qx_alt(QX_ALT_BARRIER, QX_ARG_REGISTERS + 8);
  while (qx_node_offset(w, w->node_) <= bytes) qx_push_node(w, filler);
  return 1;
}

/* top(T): the newest choicepoint's offset from the top of the area. */
int t_top(worker *w)
{
  call_overflow(w, 8, 1);
  return cunify(w, w->term[0], make_integer(w, (int32_t)qx_node_offset(w, w->node_)));
}

/* local_used(B): bytes of the local stack in use. */
int t_local_used(worker *w)
{
  return cunify(w, w->term[0], MakeSmall((int32_t)((char *)w->local_top - (char *)w->local_start)));
}

void define_limit_natives()
{
  auto def = [](const char *name, uint32_t arity, qx_native_fn fn) {
    qx_define_native(qx_eg.prolog_module, name, arity, fn, nullptr, ENTER_C);
  };
  def("=", 2, t_unify);
  def("hog", 0, t_hog);
  def("fault", 0, t_fault);
  def("succ_down", 2, t_succ_down);
  def("mk_list", 2, t_mk_list);
  def("mk_deep", 2, t_mk_deep);
  def("size", 2, t_size);
  def("copy", 2, t_copy);
  def("keep", 1, t_keep);
  def("fill_past", 1, t_fill_past);
  def("top", 1, t_top);
  def("local_used", 1, t_local_used);
  def("garbage_collect", 0, qx_gc_rows[0].function);
}

const char *const kRecursion = "down(0) :- !. down(N) :- succ_down(N, M), down(M), true.";

/* Exit codes of the children: 0 as expected, 77 the heap reservation is too small to tell the
 * limit from its end, others name the check that failed. */
int fault_in_native()
{
  alarm(120); /* a child that hangs is a failure, not a hung test */
  TestProlog p;
  define_limit_natives();
  p.consult(kRecursion);
  qx_eg.current_gcmargin = 64;
  if ((size_t)((char *)p.w->heap_end - (char *)p.w->heap_start) < 256 * MiB) return 77;
  ready_the_exception_path();
  limit_data_segment(64 * MiB);
  if (p.run("catch(hog, error(resource_error(R), _), true)") != 1) return 2;
  if (p.var("R") != "memory") return 3;
  if (p.run("hog") != -1 || p.exception() != "error(resource_error(memory),context(_,0))") return 4;
  qx_clear_exception();
  if (p.run("down(1000), mk_list(3, L), copy(L, C)") != 1 || p.var("C") != "[1,2,3]") return 5;
  return 0;
}

int recursion_past_the_stacks()
{
  alarm(120);
  EnvGuard size("PROLOGMAXSIZE", "48M");
  TestProlog p;
  define_limit_natives();
  p.consult(kRecursion);
  ready_the_exception_path();
  if (p.run("catch(down(1000000), error(resource_error(R), _), true)") != 1) return 2;
  if (p.var("R") != "memory") return 3;
  if (p.run("down(1000)") != 1) return 4;
  return 0;
}

class Limits : public EngineTest {
protected:
  Limits()
  {
    define_limit_natives();
    p.consult(kRecursion);
  }
};

}  // namespace

TEST(EngineLimits, AMemoryFaultInANativeIsACatchableResourceError)
{
  int status = run_in_child(fault_in_native);
  if (status == 77) GTEST_SKIP() << "heap reservation below 256 MiB";
  EXPECT_EQ(status, 0);
}

TEST(EngineLimits, RecursionPastTheStacksIsAResourceError)
{
  EXPECT_EQ(run_in_child(recursion_past_the_stacks), 0);
}

TEST_F(Limits, AMillionDeepNonTailRecursionSucceeds) { EXPECT_EQ(p.run("down(1000000)"), 1); }

/* A non-tail recursion over a list, its frames taking a quarter more than the 128 MiB the local
 * stack once had: the length is reckoned from the frame size of a short run. */
TEST_F(Limits, ANonTailRecursionPastOneHundredTwentyEightMebibytesOfFramesSucceeds)
{
  p.consult("len([], 0, U) :- local_used(U). "
            "len([_|T], N, U) :- len(T, N0, U), N is N0 + 1. ");
  ASSERT_EQ(p.run("local_used(U0), mk_list(10000, L), len(L, 10000, U)"), 1);
  int64_t per_frame = (std::stoll(p.var("U")) - std::stoll(p.var("U0"))) / 10000;
  ASSERT_GT(per_frame, 0);
  int64_t n = ((int64_t)160 << 20) / per_frame;
  std::string length = std::to_string(n);
  ASSERT_EQ(p.run("mk_list(" + length + ", L), len(L, N, U), N =:= " + length), 1);
  EXPECT_GT(std::stoll(p.var("U")), (int64_t)128 << 20);
}

TEST_F(Limits, TenMillionElementListsUnifyAndCopy)
{
  ASSERT_EQ(
      p.run("mk_list(10000000, A), mk_list(10000000, B), A = B, copy(A, C), A = C, size(C, N)"), 1);
  EXPECT_EQ(p.var("N"), "10000000");
}

TEST_F(Limits, ATenMillionElementListAndAMillionDeepTermSurviveACollection)
{
  ASSERT_EQ(p.run("mk_list(10000000, A), mk_deep(1000000, D), mk_list(100, _), garbage_collect, "
                  "size(A, N), size(D, M), A = [1, 2|_], D = f(f(_))"),
            1);
  EXPECT_EQ(p.var("N"), "10000000");
  EXPECT_EQ(p.var("M"), "1000000");
}

TEST_F(Limits, ATenMillionElementListAsAClauseArgument)
{
  ASSERT_EQ(p.run("mk_list(10000000, A), keep(A)"), 1);
  /* built from the clause for a variable, unified against it for a bound list */
  ASSERT_EQ(p.run("kept(X), size(X, N), mk_list(10000000, A), kept(A)"), 1);
  EXPECT_EQ(p.var("N"), "10000000");
}

TEST_F(Limits, AMillionDeepTermUnifiesCopiesAndIsStored)
{
  ASSERT_EQ(p.run("mk_deep(1000000, A), mk_deep(1000000, B), A = B, copy(A, C), C = B, keep(C)"),
            1);
  ASSERT_EQ(p.run("kept(X), size(X, N), mk_deep(1000000, D), kept(D)"), 1);
  EXPECT_EQ(p.var("N"), "1000000");
}

/* Every construct that keeps a cut barrier in a term or a saved register, run with the newest
 * choicepoint more than 2^28 bytes below the top of the area. Each one leaves no choicepoint. */
TEST_F(Limits, CutBarriersHoldPastTwoHundredFiftySixMebibytesOfChoicepoints)
{
  p.consult("right(R) :- (fail ; !, R = right). "
            "ite(R) :- (true -> R = ite ; R = else). "
            "neg :- \\+ fail. ");
  ASSERT_EQ(p.run("fill_past(268435460), top(A), ite(R1), right(R2), neg, top(B), "
                  "catch(true, _, true), top(C), call_cleanup(true, note(cleanup)), top(D)"),
            1);
  EXPECT_EQ(p.var("R1") + " " + p.var("R2"), "ite right");
  EXPECT_GT(std::stoll(p.var("A")), 268435456LL);
  EXPECT_EQ(p.var("B") + " " + p.var("C") + " " + p.var("D"),
            p.var("A") + " " + p.var("A") + " " + p.var("A"));
  EXPECT_EQ(log(), "cleanup");
}

TEST_F(Limits, AnInternalFaultInANativeIsACatchableSystemError)
{
  ASSERT_EQ(p.run("catch((X = 1, fault), error(system_error(M), _), true)"), 1);
  EXPECT_EQ(p.var("M"), "broken invariant");
  EXPECT_EQ(p.var("X"), "_") << "bindings made before the fault are undone";
  EXPECT_EQ(p.run("fault"), -1);
  EXPECT_EQ(p.exception(), "error(system_error(broken invariant),context(_,0))");
  qx_clear_exception();
  EXPECT_EQ(p.run("down(10)"), 1);
}

/* With memory used up, a handler may be the first to push a choicepoint of its kind and size: the
 * node's alternative code must need no allocation. */
TEST(EngineLimits, ChoicepointsOfKindsNotMetYetNeedNoMemory)
{
  EXPECT_EQ(run_in_child([] {
              TestProlog p;
              p.consult("q(_, _, _, _, _, _, _, _, _, a). q(_, _, _, _, _, _, _, _, _, b).");
              TermReader goal(p.w, "catch((q(1, 2, 3, 4, 5, 6, 7, 8, 9, X), X == b -> true ; "
                                   "fail), _, fail)");
              TAGGED query = goal.read();
              auto *config = const_cast<qx_memconfig *>(qx_memman_config());
              config->max_size = 1; /* none left */
              int rc = 2;
              try {
                rc = qx_call_once(p.w, query, qx_eg.user_module) == 1 ? 0 : 3;
              } catch (const qx_fault &) {}
              config->max_size = 0;
              return rc;
            }),
            0);
}
