/* Foreign resources: linked-in and dlopen loading, the entry protocol, init and deinit, unload
 * order, symbol resolution, predicates with declared argument kinds, predicates defined from
 * native code, and the loader's faults. */
#include <dlfcn.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "api_fixture.h"
#include "foreign.h"
#include "foreign_interface.h"
#include "gc.h"
#include "scratch_files.h"
#include "test_fork.h"

namespace {

const std::string MY_RES = QX_BUILD_DIR "/tests/foreign/my-res.so";

/* What the linked-in test entries saw, in order. */
std::vector<std::string> events;
void note(const std::string &e) { events.push_back(e); }

/* A linked-in resource of plain functions (flag 8). */
long r_add(long a, long b) { return a + b; }
void r_name(TAGGED a, const char **out) { *out = QX_string_from_atom(a); }
void r_half(double x, double *out) { *out = x / 2; }
void r_fail(QX_term_ref) { QX_fail(); }
void r_step(void *p, void **out) { *out = (char *)p + 4; }
double r_mean(long a, long b) { return (a + b) / 2.0; }
TAGGED r_pick(long i) { return QX_atom_from_string(i ? "yes" : "no"); }
QX_term_ref r_pair(long i)
{
  QX_term_ref a = QX_new_term_ref(), t = QX_new_term_ref();
  QX_put_integer(a, i);
  QX_cons_functor(t, QX_atom_from_string("pair"), 2, a, a);
  return t;
}
long r_len(const char *text) { return (long)std::strlen(text); }
QX_term_ref r_same(QX_term_ref t) { return t; }
/* Term and integer inputs and term outputs interleaved: C = A, E = B - D, returns B + 3 * D. */
long r_mix(QX_term_ref a, long b, QX_term_ref c, long d, QX_term_ref e)
{
  QX_put_term(c, a);
  QX_put_integer(e, b - d);
  return b + 3 * d;
}
/* A term output beside no term input, by mode: 0 left as given, 1 given box(1) in its reference,
 * 2 unified with box(2), 3 unified with box(3) and then failing. */
void r_box(long mode, QX_term_ref out)
{
  QX_term_ref a = QX_new_term_ref(), t = QX_new_term_ref();
  QX_put_integer(a, mode);
  QX_cons_functor(t, QX_atom_from_string("box"), 1, a);
  if (mode == 1) QX_put_term(out, t);
  if (mode >= 2 && !QX_unify(out, t)) return;
  if (mode == 3) QX_fail();
}
/* Unloads its own resource through Prolog: the query's answer, the exception noted. */
long r_unload_self()
{
  QX_term_ref name = QX_new_term_ref(), ball = QX_new_term_ref();
  QX_put_atom(name, QX_atom_from_string("random"));
  int rc = QX_query(QX_predicate("unload_foreign_resource", 1, "prolog"), name);
  if (rc < 0 && QX_exception_term(ball)) note(ApiTest::show(ball));
  return rc;
}
void (*const r_funcs[])() = {(void (*)())r_add,
                             (void (*)())r_name,
                             (void (*)())r_half,
                             (void (*)())r_fail,
                             (void (*)())r_step,
                             (void (*)())r_mean,
                             (void (*)())r_pick,
                             (void (*)())r_pair,
                             (void (*)())r_len,
                             (void (*)())r_unload_self,
                             (void (*)())r_same,
                             (void (*)())r_mix,
                             (void (*)())r_box,
                             nullptr};
const char *const r_names[] = {"r_add",  "r_name", "r_half", "r_fail",        "r_step", "r_mean",
                               "r_pick", "r_pair", "r_len",  "r_unload_self", "r_same", "r_mix",
                               "r_box",  nullptr};
const int r_arities[] = {3, 2, 2, 1, 2, 3, 2, 2, 2, 1, 2, 6, 2, 0};

void r_init(int reason) { note("init:" + std::to_string(reason)); }
void r_deinit(int reason) { note("deinit:" + std::to_string(reason)); }
void r_init_fails(int reason)
{
  note("init:" + std::to_string(reason));
  QX_fail();
}

/* The entries: mode picks what the entry hands back. */
enum { ENTRY_OK, ENTRY_NO_FLAG, ENTRY_NULL_TABLES, ENTRY_FAILING_INIT };
template <int mode>
int entry(void *arg)
{
  auto *p = (QX_MAINFUN_PARAMS_STRUCT *)arg;
  note("entry:" + std::to_string(p->flags));
  if (p->version != QX_MAINFUN_PARAMS_VERSION) return 2;
  if (!p->qxenv) return 1;
  p->funcs = mode == ENTRY_NULL_TABLES ? nullptr : r_funcs;
  p->prednames = r_names;
  p->arities = r_arities;
  p->init_fun = (void (*)())(mode == ENTRY_FAILING_INIT ? r_init_fails : r_init);
  p->deinit_fun = (void (*)())r_deinit;
  if (mode != ENTRY_NO_FLAG) p->flags |= QX_MAINFUN_PLAIN_INIT;
  return 0;
}

const char *const pre_map[] = {"random", "noflag", "nulltables", "failinit", "data", nullptr};
const QX_pre_linkage_fn pre_linkage[] = {entry<ENTRY_OK>,
                                         entry<ENTRY_NO_FLAG>,
                                         entry<ENTRY_NULL_TABLES>,
                                         entry<ENTRY_FAILING_INIT>,
                                         nullptr,
                                         nullptr};
const qx_foreign_pred random_preds[] = {{"r_add", "+integer +integer [-integer]"},
                                        {"r_name", "+atom -string"},
                                        {"r_half", "+float -float"},
                                        {"r_fail", "+term"},
                                        {"r_step", "+address -address"},
                                        {"r_mean", "+integer +integer [-float]"},
                                        {"r_pick", "+integer [-atom]"},
                                        {"r_pair", "+integer [-term]"},
                                        {"r_len", "+string [-integer]"},
                                        {"r_unload_self", "[-integer]"},
                                        {"r_same", "+term [-term]"},
                                        {"r_mix", "+term +integer -term +integer -term [-integer]"},
                                        {"r_box", "+integer -term"},
                                        {nullptr, nullptr}};
const qx_foreign_interface random_interface = {"random", "user", random_preds};
const qx_foreign_interface *const interfaces[] = {&random_interface, nullptr};

/* A goal and the value it gives V; value null: the goal fails. */
struct goal_case {
  const char *goal, *value;
};

class ForeignTest : public ApiTest {
protected:
  ForeignTest()
  {
    qx_set_linked_resources(pre_map, pre_linkage);
    qx_set_linked_interfaces(interfaces);
    events.clear();
  }
  std::string joined()
  {
    std::string s;
    for (const std::string &e : events) s += (s.empty() ? "" : ",") + e;
    return s;
  }
  /* The names loaded_resource/1 enumerates. */
  std::string loaded()
  {
    engine_test::log_text.clear();
    EXPECT_EQ(run("(loaded_resource(N), note(N), fail ; true)"), 1);
    return "[" + log() + "]";
  }
  int run(const std::string &text) { return p.run(text); }
  std::string val(const std::string &name) { return p.var(name); }
  std::string quoted(const std::string &path) { return "'" + path + "'"; }
  template <size_t N>
  void expect_cases(const goal_case (&cases)[N])
  {
    for (const goal_case &c : cases) {
      ASSERT_EQ(run(c.goal), c.value ? 1 : 0) << c.goal << " " << exception();
      if (c.value) {
        EXPECT_EQ(val("V"), c.value) << c.goal;
      }
    }
  }
};

TEST_F(ForeignTest, LinkedInEntryOpensNoFileAndDefinesItsInterface)
{
  /* No such file exists: only the linked-in entry can serve it. */
  ASSERT_EQ(run("load_foreign_resource('/any/dir/random.so')"), 1) << exception();
  EXPECT_EQ(joined(), "entry:1,init:0");
  EXPECT_EQ(run("'$prelinked_foreign_resource'('/elsewhere/random.xyz')"), 1);
  EXPECT_EQ(run("'$prelinked_foreign_resource'('/elsewhere/data.so')"), 0); /* a data resource */
  EXPECT_EQ(run("'$prelinked_foreign_resource'('my-res')"), 0);
  EXPECT_EQ(run("'$QX_MAINFUN_PARAMS_VERSION'(196609), '$foreign_resource_suffix'('.so')"), 1);
  /* The interface's argument kinds, each way. */
  ASSERT_EQ(run("r_add(2, 40, X)"), 1) << exception();
  EXPECT_EQ(val("X"), "42");
  EXPECT_EQ(run("r_add(2, 40, 41)"), 0);
  ASSERT_EQ(run("r_name(hello, N)"), 1);
  EXPECT_EQ(val("N"), "hello");
  ASSERT_EQ(run("r_half(3, H)"), 1);
  EXPECT_EQ(val("H"), "1.5");
  EXPECT_EQ(run("r_fail(_)"), 0);
  struct {
    const char *goal, *value;
  } kinds[] = {
      {"r_step(1000, V)", "1004"},     {"r_step(-8, V)", "-4"}, {"r_mean(2, 5, V)", "3.5"},
      {"r_pick(1, V)", "yes"},         {"r_pick(0, V)", "no"},  {"r_pair(7, V)", "pair(7,7)"},
      {"r_len('h\u00e9llo', V)", "6"}, /* bytes of the internal encoding */
  };
  for (auto k : kinds) {
    ASSERT_EQ(run(k.goal), 1) << k.goal << " " << exception();
    EXPECT_EQ(val("V"), k.value) << k.goal;
  }
  EXPECT_EQ(run("r_mean(2, 5, 3.0)"), 0);
  EXPECT_EQ(run("catch(r_add(a, 1, _), error(type_error(integer, a), _), true)"), 1);
  EXPECT_EQ(run("catch(r_add(_, 1, _), error(instantiation_error, _), true)"), 1);
  EXPECT_EQ(run("catch(r_name(1, _), error(type_error(atom, 1), _), true)"), 1);
  /* Its predicates go with the resource. */
  ASSERT_EQ(run("unload_foreign_resource(random)"), 1) << exception();
  EXPECT_EQ(run("r_add(1, 2, _)"), -1);
  EXPECT_NE(exception().find("existence_error"), std::string::npos);
}

/* Outputs against arguments of every shape: unbound (aliased, or attributed and so woken), bound
 * to the value or to another, partly bound terms, and values too big for a small integer. */
TEST_F(ForeignTest, OutputsUnifyWithArgumentsOfEveryShape)
{
  ASSERT_EQ(run("load_foreign_resource('/any/dir/random.so')"), 1) << exception();
  const goal_case cases[] = {
      {"W = V, r_add(1, 2, W)", "3"},
      {"freeze(W, V = woken(W)), r_add(1, 2, W)", "woken(3)"},
      {"freeze(W, fail), r_add(1, 2, W)", nullptr},
      {"r_add(2, 40, 42), V = ok", "ok"},
      {"r_add(2, 40, a)", nullptr},
      {"r_add(2, 40, f(_))", nullptr},
      /* bindings of variables older than a choicepoint, undone on backtracking */
      {"(r_add(1, 2, W), fail ; var(W), V = undone)", "undone"},
      {"(r_mix(a, 1, C, 2, E, R), fail ; var(C), var(E), var(R), V = undone)", "undone"},
      {"r_add(268435455, 1, V)", "268435456"},
      {"r_add(268435455, 1, 268435456), V = ok", "ok"},
      {"r_add(268435456, -1, V)", "268435455"}, /* an input too big for a small integer */
      {"r_pair(7, pair(V, 7))", "7"},
      {"r_pair(7, pair(V, 8))", nullptr},
      {"r_pair(7, 7)", nullptr},
      {"freeze(W, V = woken(W)), r_pair(7, W)", "woken(pair(7,7))"},
      /* an unbound value: against a bound argument, and bound as =/2 binds two variables */
      {"r_same(V, 7)", "7"},
      {"r_same(A, B), B = 5, V = A", "5"},
      {"L = [A, Z, B], r_same(A, B), M = [C, Y, D], C = D, (A @< Z -> V = lt ; V = gt),"
       " (C @< Y -> V = lt ; V = gt)", "lt"},
      {"L = [A, Z, B], r_same(B, A), M = [C, Y, D], D = C, (A @< Z -> V = lt ; V = gt),"
       " (C @< Y -> V = lt ; V = gt)", "lt"},
  };
  expect_cases(cases);
}

/* Term and integer inputs and term outputs interleaved: each argument reaches its own word, each
 * output its own argument, also past an integer input too big for a small integer. */
TEST_F(ForeignTest, InterleavedInputsAndOutputsKeepTheirPlaces)
{
  ASSERT_EQ(run("load_foreign_resource('/any/dir/random.so')"), 1) << exception();
  const goal_case cases[] = {
      {"r_mix(f(Y), 3, C, 4, E, R), C == f(Y), E =:= -1, R =:= 15, V = ok", "ok"},
      {"r_mix(a, 1, a, 2, -1, 7), V = ok", "ok"},
      {"r_mix(a, 1, b, 2, _, _)", nullptr},
      {"r_mix(a, 1, _, 2, 0, _)", nullptr},
      {"r_mix(a, 1, _, 2, _, 13)", nullptr},
      {"r_mix(g(Z), 268435456, C, 1, E, R), C == g(Z), E =:= 268435455, R =:= 268435459, V = ok",
       "ok"},
      {"r_mix(a, 1, C, 268435456, E, R), C == a, E =:= -268435455, R =:= 805306369, V = ok", "ok"},
      {"catch(r_mix(a, 1, _, x, _, _), error(type_error(integer, x), _), V = caught)", "caught"},
  };
  expect_cases(cases);
}

/* A term output with no term input beside it, whose argument an unbound plain variable is handed
 * to the native itself: left unbound, given a value, bound by the native (undone on backtracking,
 * also when the native then fails), against bound and attributed arguments and inside a term. */
TEST_F(ForeignTest, LoneTermOutputTakesItsArgument)
{
  ASSERT_EQ(run("load_foreign_resource('/any/dir/random.so')"), 1) << exception();
  const goal_case cases[] = {
      {"r_box(0, W), var(W), V = unbound", "unbound"},
      {"r_box(0, 7), V = ok", "ok"},
      {"r_box(1, V)", "box(1)"},
      {"W = f(A, A), r_box(2, A), V = W", "f(box(2),box(2))"},
      {"r_box(1, box(1)), r_box(2, box(2)), V = ok", "ok"},
      {"r_box(1, box(2))", nullptr},
      {"r_box(3, _)", nullptr},
      {"(r_box(2, W), fail ; var(W), V = undone)", "undone"},
      {"(r_box(3, W) ; var(W), V = undone)", "undone"},
      {"freeze(W, V = woken(W)), r_box(2, W)", "woken(box(2))"},
      {"freeze(W, V = woken(W)), r_box(1, W)", "woken(box(1))"},
      {"freeze(W, fail), r_box(2, W)", nullptr},
  };
  expect_cases(cases);
}

TEST_F(ForeignTest, SamePathTwiceLoadsOnce)
{
  ASSERT_EQ(run("'$load_foreign_resource'('/x/random.so', user, 0)"), 1) << exception();
  ASSERT_EQ(run("'$load_foreign_resource'('/x/random.so', user, 0)"), 1) << exception();
  ASSERT_EQ(run("'$load_foreign_resource'('/y/random.so', user, 0)"), 1) << exception();
  EXPECT_EQ(joined(), "entry:1,init:0");
  EXPECT_EQ(loaded(), "[random]");
}

/* A list of symbol names that the calling clause builds above garbage: each step collects in
 * the stress mode (the freed heap trapped), and the list must be read where it then lies. */
TEST_F(ForeignTest, SymbolsOfAListBuiltByTheCallerSurviveCollections)
{
  ASSERT_EQ(run("'$load_foreign_resource'('/x/random.so', user, 0)"), 1) << exception();
  p.consult("junk :- X = f(1, 2, 3, 4, 5, 6, 7, 8), X = f(_, _, _, _, _, _, _, _). "
            "syms(A, H) :- junk, '$foreign_resource_symbols'(random, "
            "[s(a, b, r_add(_, _, _), A), s(a, b, r_half(_, _), H)], _). ");
  bool stress = qx_gc_stress;
  qx_gc_stress = true;
  int r = run("syms(A, H)");
  qx_gc_stress = stress;
  ASSERT_EQ(r, 1) << exception();
  EXPECT_EQ(val("A") + " " + val("H"), std::to_string((int32_t)(intptr_t)r_add) + " " +
                                           std::to_string((int32_t)(intptr_t)r_half));
}

TEST_F(ForeignTest, UnloadCallsEntryBeforeDeinitAndOnlyOnce)
{
  ASSERT_EQ(run("'$load_foreign_resource'('random', user, 3)"), 1) << exception();
  events.clear();
  ASSERT_EQ(run("'$unload_foreign_resource'(random, user, 5)"), 1) << exception();
  EXPECT_EQ(joined(), "entry:2,deinit:5");
  EXPECT_EQ(loaded(), "[]");
  EXPECT_EQ(run("'$unload_foreign_resource'(random, user, 5)"), -1);
  EXPECT_EQ(exception(), "error(existence_error(foreign_resource,random),context(:(prolog,/"
                         "(unload_foreign_resource,1)),1))");
  EXPECT_EQ(joined(), "entry:2,deinit:5");
  /* Loading it again runs the entry and the init again. */
  ASSERT_EQ(run("load_foreign_resource(random), unload_foreign_resource('/a/random.so')"), 1);
  EXPECT_EQ(joined(), "entry:2,deinit:5,entry:1,init:0,entry:2,deinit:0");
}

/* A predicate that unloads its own resource would return into freed (for a shared object,
 * unmapped) code: refused with a permission error, and the resource stays usable. */
TEST_F(ForeignTest, AResourceIsNotUnloadedFromInsideItsOwnCall)
{
  ASSERT_EQ(run("load_foreign_resource(random)"), 1) << exception();
  events.clear();
  ASSERT_EQ(run("r_unload_self(R)"), 1) << exception();
  EXPECT_EQ(val("R") + " " + joined(), "-1 error(permission_error(unload,foreign_resource,random),"
                                       "context(:(prolog,/(unload_foreign_resource,1)),1))");
  EXPECT_EQ(loaded(), "[random]");
  EXPECT_EQ(run("r_add(1, 2, 3)"), 1);
}

/* With the term-reference array full and no memory to grow it, a foreign call raises a resource
 * error instead of taking the answer 0 for a reference and writing into the reserved slots. */
TEST_F(ForeignTest, NoRoomForReferencesIsAResourceErrorNotTheReservedSlots)
{
  ASSERT_EQ(run("load_foreign_resource(random)"), 1) << exception();
  forked_child child = run_forked([&] {
    worker *w = p.w;
    TAGGED call = goal("r_add(2, 40, _)");
    QX_new_term_refs((int)(w->fli_stack_size - w->fli_stack_index) - 1);
    auto *config = const_cast<qx_memconfig *>(qx_memman_config());
    config->max_size = 1;
    int rc = run_goal(call);
    config->max_size = 0;
    return std::to_string(rc) + " " + exception() + " " + ApiTest::show(0);
  });
  EXPECT_EQ(child.report, "-1 error(resource_error(memory),context(_,0)) _") << child.err;
}

TEST_F(ForeignTest, EntryProtocolFaultsLeaveNoRecord)
{
  struct Case {
    const char *file;
    int result;
    const char *events;
    const char *text;
  } cases[] = {
      {"noflag", -1, "entry:1", "Foreign resource entry function API error"},
      {"nulltables", -1, "entry:1", "Foreign resource entry function API error"},
      /* A failing init unloads again through the entry (reason -2), with no deinit. */
      {"failinit", 0, "entry:1,init:7,entry:2", nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.file);
    events.clear();
    EXPECT_EQ(run(std::string("'$load_foreign_resource'('/d/") + c.file + ".so', user, 7)"),
              c.result);
    EXPECT_EQ(joined(), c.events);
    if (c.text) {
      std::string e = exception();
      EXPECT_NE(e.find(c.text), std::string::npos) << e;
      EXPECT_NE(e.find("context(:(prolog,/(load_foreign_resource,1)),1)"), std::string::npos) << e;
    }
    EXPECT_EQ(loaded(), "[]");
  }
}

TEST_F(ForeignTest, LoadedResourceEnumeratesInLoadOrder)
{
  EXPECT_EQ(run("loaded_resource(_)"), 0);
  ASSERT_EQ(run("load_foreign_resource(random), '$load_foreign_resource'(" + quoted(MY_RES) +
                ", user, 0)"),
            1)
      << exception();
  EXPECT_EQ(loaded(), "[random,my-res]");
  EXPECT_EQ(run("loaded_resource('my-res')"), 1);
  /* Unloading the next one while enumerating ends the enumeration cleanly. */
  engine_test::log_text.clear();
  ASSERT_EQ(run("(loaded_resource(N), note(N), N == random, "
                "'$unload_foreign_resource'('my-res', user, 0), fail ; true)"),
            1)
      << exception();
  EXPECT_EQ(log(), "random");
  EXPECT_EQ(run("load_clpfd_resource"), -1); /* no clpfd resource in this tree */
  EXPECT_NE(exception().find("dlopen"), std::string::npos);
}

TEST_F(ForeignTest, SharedObjectThroughTheSlotsOnly)
{
  char *c_name = qx_ensure_c_name("my-res");
  EXPECT_STREQ(c_name, "my_0x2Dres");
  QX_free(c_name);
  /* The object has no undefined engine symbols (the test program exports none): the load is
   * possible only because it calls through its tables. */
  ASSERT_EQ(run("'$load_foreign_resource'(" + quoted(MY_RES) + ", user, 0)"), 1) << exception();
  ASSERT_EQ(run("'$foreign_resource_symbols'('my-res', [s(a,b,twice(_,_),T), s(a,b,make_point(_),"
                "P), s(a,b,same(_,_),S), s(a,b,raise(_),R), s(a,b,counts(_,_),C)], Stash), "
                "'$define_foreign_predicate'(user, twice, T, Stash, '+integer [-integer]'), "
                "'$define_foreign_predicate'(user, make_point, P, Stash, '-term'), "
                "'$define_foreign_predicate'(user, same, S, Stash, '+term +term'), "
                "'$define_foreign_predicate'(user, raise, R, Stash, '+term'), "
                "'$define_foreign_predicate'(user, counts, C, Stash, '-integer -integer')"),
            1)
      << exception();
  EXPECT_NE(val("Stash"), "0"); /* flag 16: the resource's API struct */
  void *lib = dlopen(MY_RES.c_str(), RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(lib, nullptr);
  void *entry = dlsym(lib, "qx_main_QXENV_my_0x2Dres");
  dlclose(lib);
  EXPECT_NE(entry, nullptr);

  ASSERT_EQ(run("twice(21, X)"), 1) << exception();
  EXPECT_EQ(val("X"), "42");
  ASSERT_EQ(run("make_point(P)"), 1) << exception();
  EXPECT_EQ(val("P"), "point(10,abc,[1,2])");
  ASSERT_EQ(run("same(f(X, b), f(a, Y))"), 1);
  EXPECT_EQ(val("X") + val("Y"), "ab");
  EXPECT_EQ(run("same(a, b)"), 0);
  ASSERT_EQ(run("catch(raise(oops(1)), E, true)"), 1);
  EXPECT_EQ(val("E"), "oops(1)");
  ASSERT_EQ(run("counts(I, D)"), 1);
  EXPECT_EQ(val("I") + val("D"), "10");
  /* A missing predicate names itself in the fault. */
  EXPECT_EQ(run("'$foreign_resource_symbols'('my-res', [s(a,b,nope(_),_)], _)"), -1);
  EXPECT_NE(exception().find("failed to resolve symbol \"nope\": not in table"), std::string::npos)
      << exception();
  EXPECT_EQ(run("'$foreign_resource_symbols'(notloaded, [], _)"), 0);
  /* Unloading closes the object; its predicates go with it. */
  ASSERT_EQ(run("'$unload_foreign_resource'('my-res', user, 0)"), 1);
  EXPECT_EQ(dlopen(MY_RES.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
  EXPECT_EQ(run("twice(1, _)"), -1);
  EXPECT_NE(exception().find("existence_error"), std::string::npos);
}

TEST_F(ForeignTest, SharedObjectInitFailureUnloadsIt)
{
  ASSERT_EQ(run("'$load_foreign_resource'(" + quoted(MY_RES) + ", user, 99)"), 0);
  EXPECT_EQ(loaded(), "[]");
  EXPECT_EQ(dlopen(MY_RES.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr); /* closed again */
}

TEST_F(ForeignTest, DlopenAndDlsymFaults)
{
  std::string copy = scratch_dir() + "/other.so";
  {
    std::ifstream in(MY_RES, std::ios::binary);
    std::ofstream(copy, std::ios::binary) << in.rdbuf();
  }
  std::string text = scratch_file("text.so", "not an object\n");
  std::string x64 = scratch_dir() + "/x64.so";
  {
    std::ifstream in("/bin/true", std::ios::binary);
    std::ofstream(x64, std::ios::binary) << in.rdbuf();
  }
  struct Case {
    std::string file;
    std::vector<std::string> texts;
  } cases[] = {
      {copy,
       {"dlsym(\"qx_main_QXENV_other\") failed in load_foreign_resource/1: ",
        "undefined symbol: qx_main_QXENV_other"}},
      {text, {"dlopen(\"" + text + "\") failed in load_foreign_resource/1: "}},
      {x64, {"dlopen(\"" + x64 + "\") failed", "ELFCLASS64"}},
      {scratch_dir() + "/absent.so", {"No such file"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.file);
    EXPECT_EQ(run("'$load_foreign_resource'(" + quoted(c.file) + ", user, 0)"), -1);
    std::string e = exception();
    for (const std::string &t : c.texts) EXPECT_NE(e.find(t), std::string::npos) << e;
    EXPECT_NE(e.find("context(:(prolog,/(load_foreign_resource,1)),1)"), std::string::npos) << e;
    EXPECT_EQ(loaded(), "[]");
  }
  /* The object without the entry was closed again. */
  EXPECT_EQ(dlopen(copy.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
}

TEST_F(ForeignTest, DlerrorThatDoesNotConvert)
{
  dlerror();
  EXPECT_EQ(dlerror_ienc(), nullptr);
  EXPECT_EQ(dlopen("/nonexistent/\xff\xfe.so", RTLD_NOW), nullptr);
  char *text = dlerror_ienc();
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "dlopen error");
  QX_free(text);
  EXPECT_EQ(dlopen("/nonexistent/plain.so", RTLD_NOW), nullptr);
  text = dlerror_ienc();
  EXPECT_NE(std::string(text).find("/nonexistent/plain.so"), std::string::npos);
  QX_free(text);
}

/* ---- predicates defined from native code ---- */

int c_pred(QX_term_ref goal, void *user_data)
{
  (*(int *)user_data)++;
  QX_term_ref a = QX_new_term_ref();
  long v = 0;
  QX_get_arg(1, goal, a);
  QX_get_integer(a, &v);
  if (v == 3) QX_raise_exception(a);
  if (v == 4) {
    QX_put_atom(a, QX_atom_from_string("bound"));
    QX_term_ref b = QX_new_term_ref();
    QX_get_arg(2, goal, b);
    return QX_unify(a, b);
  }
  return v == 1 ? 1 : 0;
}

TEST_F(ForeignTest, DefineCPredicate)
{
  int calls = 0;
  ASSERT_EQ(QX_define_c_predicate("cp", 2, "user", c_pred, &calls), 1);
  EXPECT_EQ(run("cp(1, _)"), 1);
  EXPECT_EQ(run("cp(2, _)"), 0);
  ASSERT_EQ(run("catch(cp(3, _), E, true)"), 1);
  EXPECT_EQ(val("E"), "3");
  ASSERT_EQ(run("cp(4, X)"), 1);
  EXPECT_EQ(val("X"), "bound");
  EXPECT_EQ(calls, 4);
  /* Module by name, the type-in module by default. */
  ASSERT_EQ(QX_define_c_predicate(
                "cp0", 0, nullptr, [](QX_term_ref, void *) { return 1; }, nullptr),
            1);
  EXPECT_EQ(run("cp0"), 1);

  struct Case {
    const char *name;
    int arity;
    const char *module;
    QX_CPredFun fn;
    int err;
  } bad[] = {
      {"cq", 256, "user", c_pred, -1},
      {"cq", -1, "user", c_pred, -1},
      {"cq", 1, "no_such_module", c_pred, -1},
      {"cq", 1, "user", nullptr, -1},
      {"c\xff", 1, "user", c_pred, QX_ERR_STRING},
      {nullptr, 1, "user", c_pred, QX_ERR_NULL_STRING},
  };
  for (const Case &c : bad) {
    SCOPED_TRACE(c.arity);
    uint32_t atoms = qx_eg.atom_count;
    qx_set_errno(-7);
    EXPECT_EQ(QX_define_c_predicate(c.name, c.arity, c.module, c.fn, nullptr), 0);
    EXPECT_EQ(QX_get_errno(), c.err == -1 ? -7 : c.err);
    if (c.err == QX_ERR_STRING) {
      EXPECT_EQ(qx_eg.atom_count, atoms); /* before any atom */
    }
  }
  EXPECT_EQ(run("cq(_)"), -1); /* nothing was defined */
}

/* The goal a C predicate receives, name(Args...): its first argument (the call's own) unified
 * with the arity and its last with the name. */
int c_shape(QX_term_ref goal, void *)
{
  QX_term_ref a = QX_new_term_ref(), b = QX_new_term_ref(), shape = QX_new_term_ref();
  QX_atom name = 0;
  int arity = 0;
  if (!QX_get_functor(goal, &name, &arity) || !QX_get_arg(1, goal, a)) return 0;
  QX_put_integer(shape, arity);
  if (!QX_unify(a, shape)) return 0;
  QX_put_atom(shape, name);
  QX_get_arg(arity, goal, b);
  return QX_unify(b, shape);
}

TEST_F(ForeignTest, CPredicateGoalShapes)
{
  ASSERT_EQ(QX_define_c_predicate("cs", 2, "user", c_shape, nullptr), 1);
  ASSERT_EQ(QX_define_c_predicate("cs", 3, "user", c_shape, nullptr), 1);
  struct Case {
    const char *call, *var, *value;
  } cases[] = {
      {"cs(_, R)", "R", "cs"},
      {"cs(X, _, cs), Y = X", "Y", "3"},
      {"G = f(Z), cs(Z, q(G), R), R == cs", "Z", "3"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.call);
    ASSERT_EQ(run(c.call), 1);
    EXPECT_EQ(val(c.var), c.value);
  }
  EXPECT_EQ(run("cs(_, other)"), 0);
}

}  // namespace
