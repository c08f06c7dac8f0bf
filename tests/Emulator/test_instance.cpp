#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "instance.h"
#include "test_engine.h"
#include "test_prolog.h"
#include "unify.h"

namespace {

/* Structural equality up to a consistent renaming of variables (a bijection), written
 * independently of the copier. */
struct Variant {
  std::map<TAGGED, TAGGED> left, right;
  bool same(TAGGED a, TAGGED b)
  {
    a = deref(a);
    b = deref(b);
    if (IsRef(a) || IsRef(b)) {
      if (!IsRef(a) || !IsRef(b)) return false;
      auto l = left.find(a);
      auto r = right.find(b);
      if (l == left.end() && r == right.end()) {
        left[a] = b;
        right[b] = a;
        return true;
      }
      return l != left.end() && r != right.end() && l->second == b && r->second == a;
    }
    if (IsLst(a) || IsLst(b))
      return IsLst(a) && IsLst(b) && same(LstHead(a), LstHead(b)) && same(LstTail(a), LstTail(b));
    if (IsStr(a) && IsStr(b)) {
      TAGGED fa = StrFunctor(a), fb = StrFunctor(b);
      if (fa != fb) return false;
      if (IsBoxHeader(fa))
        return std::memcmp(StrPtr(a), StrPtr(b), BoxWords(fa) * sizeof(TAGGED)) == 0;
      for (uint32_t i = 1; i <= Arity(fa); i++)
        if (!same(StrArg(a, i), StrArg(b, i))) return false;
      return true;
    }
    return a == b;
  }
};

TAGGED boxed(TestEngine &e, std::vector<TAGGED> payload, TAGGED header)
{
  TAGGED *p = e.w->global_top;
  p[0] = header;
  for (size_t i = 0; i < payload.size(); i++) p[1 + i] = payload[i];
  p[1 + payload.size()] = header;
  e.w->global_top += payload.size() + 2;
  return MakeStr(p);
}

std::vector<TAGGED> heap_image(TestEngine &e, TAGGED *from)
{
  return std::vector<TAGGED>(from, e.w->global_top);
}

}  // namespace

TEST(Instance, RoundTripKeepsSharingAndLeavesTheSourceAlone)
{
  TestEngine e;
  TAGGED *start = e.w->global_top;
  TAGGED x = e.var(), y = e.var(), t = e.var();
  TAGGED flt = boxed(e, {0x00000000u, 0x400C0000u}, QX_FLOAT_HEADER); /* 3.5 */
  TAGGED big = boxed(e, {0x00000000u, 0x00000001u}, BignumHeader(2)); /* 2^32 */
  TAGGED term =
      e.compound("f", {x, e.compound("g", {x, y}), e.list({MakeSmall(1), MakeSmall(2)}, t), flt,
                       big, e.atom("hello world"), y});
  std::vector<TAGGED> before = heap_image(e, start);

  instance *ins = qx_copy_to_instance(e.w, term);
  EXPECT_EQ(heap_image(e, start), before) << "copying in must leave the heap as it was";

  TAGGED out = qx_copy_from_instance(e.w, ins);
  Variant v;
  EXPECT_TRUE(v.same(term, out));
  /* The copy has fresh variables, shared where the original shares them. */
  TAGGED ox = deref(StrArg(out, 1));
  EXPECT_TRUE(IsRef(ox));
  EXPECT_NE(ox, deref(x));
  EXPECT_EQ(deref(StrArg(deref(StrArg(out, 2)), 1)), ox);
  EXPECT_EQ(deref(StrArg(out, 7)), deref(StrArg(deref(StrArg(out, 2)), 2)));
  /* Copying out twice gives two independent terms. */
  TAGGED out2 = qx_copy_from_instance(e.w, ins);
  EXPECT_NE(deref(StrArg(out2, 1)), ox);
  qx_free_instance(ins);
}

TEST(Instance, RecordedTermHasItsCellsAtFixedWords)
{
  TestEngine e;
  TAGGED b = e.var();
  TAGGED term = e.compound("f", {b, e.list({MakeSmall(1), MakeSmall(2), MakeSmall(3)})});
  instance *ins = qx_copy_to_instance(e.w, term);
  const TAGGED *words = reinterpret_cast<const TAGGED *>(ins);
  EXPECT_EQ(words[12], MakeFunctor(e.atom("f"), 2));
  EXPECT_TRUE(IsRef(words[13]));
  EXPECT_EQ(words[15], MakeSmall(1));
  EXPECT_EQ(words[17], MakeSmall(2));
  EXPECT_EQ(words[19], MakeSmall(3));
  EXPECT_EQ(words[20], atom_nil);
  EXPECT_EQ(ins->objsize, 48u + 9u * 4u);
  /* Writing in place shows in later copies, as the incumbent update relies on. */
  const_cast<TAGGED *>(words)[15] = MakeSmall(7);
  TAGGED out = qx_copy_from_instance(e.w, ins);
  EXPECT_EQ(deref(LstHead(deref(StrArg(out, 2)))), MakeSmall(7));
  qx_free_instance(ins);
}

TEST(Instance, RootKindsAreDerivedFromTheBody)
{
  TestEngine e;
  struct Case {
    const char *what;
    TAGGED term;
  } cases[] = {
      {"atom", e.atom("abc")},
      {"small", MakeSmall(-42)},
      {"variable", e.var()},
      {"list", e.list({e.atom("a"), e.var()})},
      {"float", boxed(e, {0x9999999Au, 0x3FB99999u}, QX_FLOAT_HEADER)},
      {"bignum", boxed(e, {0xFFFFFFFFu, 0x7FFFFFFFu}, BignumHeader(2))},
      {"compound", e.compound("g", {e.atom("x")})},
  };
  for (const Case &c : cases) {
    instance *ins = qx_copy_to_instance(e.w, c.term);
    TAGGED out = qx_copy_from_instance(e.w, ins);
    Variant v;
    EXPECT_TRUE(v.same(c.term, out)) << c.what;
    EXPECT_EQ(TagOf(deref(out)), TagOf(deref(c.term))) << c.what;
    qx_free_instance(ins);
  }
}

TEST(Instance, BodyHoldsOnlyPositionIndependentWords)
{
  TestEngine e;
  TAGGED x = e.var();
  TAGGED term = e.compound("h", {x, e.list({x}), e.compound("k", {e.var()})});
  instance *ins = qx_copy_to_instance(e.w, term);
  uint32_t n = qx_instance_body_words(ins);
  for (uint32_t i = 0; i < n; i++) {
    TAGGED c = ins->body[i];
    if (!IsConst(c)) {
      uint32_t offset = c & ~3u;
      EXPECT_GE(offset, 48u) << i;
      EXPECT_LT(offset, ins->objsize) << i;
    }
  }
  /* A moved copy of the instance copies out the same term. */
  std::vector<char> moved(ins->objsize + 8);
  instance *ins2 = reinterpret_cast<instance *>(QX_ALIGN_UP((uintptr_t)moved.data(), 8));
  std::memcpy(ins2, ins, ins->objsize);
  Variant v;
  EXPECT_TRUE(v.same(qx_copy_from_instance(e.w, ins), qx_copy_from_instance(e.w, ins2)));
  qx_free_instance(ins);
}

TEST(Instance, UnvalidatedReferenceTermsTravelPrivately)
{
  TestEngine e;
  TAGGED ref = e.compound("$ref", {e.atom("foo"), MakeSmall(1)});
  instance *ins = qx_copy_to_instance(e.w, ref);
  EXPECT_NE(ins->body[0], functor_ref2) << "an unvalidated '$ref'/2 must not look like a reference";
  TAGGED out = qx_copy_from_instance(e.w, ins);
  ASSERT_TRUE(IsStr(out));
  EXPECT_EQ(StrFunctor(out), functor_ref2);
  EXPECT_EQ(deref(StrArg(out, 1)), e.atom("foo"));
  EXPECT_EQ(deref(StrArg(out, 2)), MakeSmall(1));
  qx_free_instance(ins);
}

TEST(Instance, AttributedVariablesAreCopiedAsPlainOnes)
{
  TestEngine e;
  /* An attributed-variable record: marker, variable, goals, attributes. */
  TAGGED *rec = e.w->global_top;
  rec[0] = QX_ATTVAR_MARK;
  rec[1] = MakeRef(&rec[1]);
  rec[2] = atom_true;
  rec[3] = atom_nil;
  e.w->global_top += 4;
  TAGGED term = e.compound("p", {MakeRef(&rec[1]), MakeRef(&rec[1])});
  instance *ins = qx_copy_to_instance(e.w, term);
  EXPECT_EQ(rec[1], MakeRef(&rec[1]));
  for (uint32_t i = 0; i < qx_instance_body_words(ins); i++)
    EXPECT_NE(ins->body[i], QX_ATTVAR_MARK);
  TAGGED out = qx_copy_from_instance(e.w, ins);
  TAGGED a1 = deref(StrArg(out, 1));
  EXPECT_TRUE(IsRef(a1));
  EXPECT_EQ(a1, deref(StrArg(out, 2)));
  EXPECT_NE(RefPtr(a1)[-1], QX_ATTVAR_MARK);
  qx_free_instance(ins);
}

TEST(Instance, LongListsAndDeepTermsNeedNoRecursion)
{
  TestEngine e;
  const uint32_t n = 1000000;
  call_overflow(e.w, 2 * n + 3 * n + 64, 0);
  TAGGED list = atom_nil;
  for (uint32_t i = 0; i < n; i++) list = e.cons(MakeSmall((int32_t)i), list);
  TAGGED deep = atom_nil;
  for (uint32_t i = 0; i < n; i++) deep = e.compound("s", {deep});
  TAGGED term = e.compound("pair", {list, deep});
  instance *ins = qx_copy_to_instance(e.w, term);
  call_overflow(e.w, qx_instance_heap_words(ins) + 16, 0);
  TAGGED out = qx_copy_from_instance(e.w, ins);
  TAGGED l = deref(StrArg(out, 1));
  for (uint32_t i = 0; i < n; i++) {
    ASSERT_TRUE(IsLst(l));
    ASSERT_EQ(deref(LstHead(l)), MakeSmall((int32_t)(n - 1 - i)));
    l = deref(LstTail(l));
  }
  EXPECT_EQ(l, atom_nil);
  qx_free_instance(ins);
}

/* A cyclic term cannot be copied out of the stacks: the copy stops with a resource error instead
 * of growing until memory runs out. A term whose shared subterms make its copy far larger than
 * the heap in use is no cycle and is copied whole. */
TEST(Instance, CyclicTermsAreRefusedAndLargeSharedOnesCopied)
{
  TestProlog p;
  p.consult("dbl(0, T, T).\n"
            "dbl(N, T0, T) :- N > 0, N1 is N - 1, dbl(N1, f(T0, T0), T).\n"
            "leaves(a, 1) :- !.\n"
            "leaves(f(A, B), N) :- leaves(A, NA), leaves(B, NB), N is NA + NB.\n");
  const char *goals[] = {
      "X = f(X), catch(throw(b(X)), error(resource_error(_), _), true)",
      "X = g(a, X, X), catch(atom_length(X, _), error(resource_error(_), _), true)",
      "X = [a|X], catch(assertz(p(X)), error(resource_error(_), _), true), \\+ catch(p(_), _, "
      "fail)",
      "X = f(Y), Y = s(1, [Z]), Z = h(X), catch(assertz(p(X)), error(resource_error(_), _), true)",
      "dbl(16, a, T), assertz(big(T)), big(C), T == C, C = f(L, R), L == R, leaves(C, 65536)",
  };
  for (const char *g : goals) {
    SCOPED_TRACE(g);
    EXPECT_EQ(p.run(g), 1) << p.exception();
  }
}

namespace {

/* Random terms shaped like the solver's state: structures whose argument slots are variables of
 * their own that other subterms refer to (as daemons refer to a constraint's record), subterms
 * shared along several paths, attributed variables whose '$mutable' attribute refers back to
 * them, and bignums whose limbs look like box headers or copy markers. A cyclic one closes a
 * cycle from the root through a '$mutable'. */
struct Shapes {
  Shapes(worker *w, uint32_t seed) : w(w), rng(seed) {}
  worker *w;
  std::mt19937 rng;
  TAGGED *end = w->global_top + 8000;
  std::vector<TAGGED> vars, shared;

  TAGGED *take(uint32_t n) { return (w->global_top += n) - n; }
  TAGGED make(TAGGED functor, std::vector<TAGGED> args) /* an arg 0: a variable of its own */
  {
    TAGGED *p = take((uint32_t)args.size() + 1);
    p[0] = functor;
    for (size_t i = 1; i <= args.size(); i++)
      if (!(p[i] = args[i - 1])) vars.push_back(p[i] = MakeRef(&p[i]));
    return MakeStr(p);
  }
  TAGGED term(int depth)
  {
    if (depth < 0 || w->global_top > end) return MakeSmall((int32_t)(rng() % 9));
    switch (rng() % 8) {
    case 0: return 0;
    case 1: return vars.empty() ? 0 : vars[rng() % vars.size()];
    case 2: return shared.empty() ? atom_nil : shared[rng() % shared.size()];
    case 3: {
      TAGGED *p = take(4), limbs[] = {0x80000007u | (rng() % 64) << 3, QX_ATTVAR_MARK,
                                      QX_FLOAT_HEADER, BignumHeader(2)};
      p[0] = p[3] = BignumHeader(2), p[1] = limbs[rng() % 4], p[2] = 1;
      return MakeStr(p);
    }
    case 4: { /* an attributed variable, argument 1 of its record */
      TAGGED *cell = take(1);
      vars.push_back(*cell = MakeRef(cell));
      TAGGED record = block(depth - 1);
      StrPtr(record)[1] = *cell;
      shared.push_back(make(functor_mutable2, {record, MakeSmall(0)}));
      put_attributes(*cell, shared.back(), find_module(atom_clpfd, 1));
      return MakeRef(cell);
    }
    case 5: return MakeLst(StrPtr(make(atom_nil, {term(depth - 1), term(depth - 1)})) + 1);
    default: return block(depth - 1);
    }
  }
  TAGGED block(int depth)
  {
    static const char *const names[] = {"f", "global", "$mutable", "daemon"};
    std::vector<TAGGED> args(1 + rng() % 5);
    for (TAGGED &a : args) a = term(depth);
    shared.push_back(
        make(MakeFunctor(init_atom_check(names[rng() % 4], 0), (uint32_t)args.size()), args));
    return shared.back();
  }
};

/* shapes(Seed, Cyclic, T) */
int t_shapes(worker *w)
{
  call_overflow(w, 10000, 3);
  Shapes shapes(w, (uint32_t)GetSmall(deref(w->term[0])));
  TAGGED t = shapes.block(4);
  if (deref(w->term[1]) == atom_true)
    StrPtr(t)[1] = shapes.make(functor_mutable2, {t, MakeSmall(0)});
  return cunify(w, w->term[2], t);
}
/* variant(A, B) */
int t_variant(worker *w) { return Variant().same(w->term[0], w->term[1]); }

}  // namespace

/* Copies out of the stacks by throw, assert and a solution kept across backtracking (as findall
 * keeps them) are variants of the original; a cyclic one is refused by each. */
TEST(Instance, RandomSolverShapedTermsCopyAsVariants)
{
  TestProlog p;
  qx_define_native(qx_eg.prolog_module, "shapes", 3, t_shapes, nullptr, ENTER_C);
  qx_define_native(qx_eg.prolog_module, "variant", 2, t_variant, nullptr, ENTER_C);
  const std::string copies =
      "catch(throw(b(T)), b(C1), true), variant(T, C1), assertz(k(T)), retract(k(C2)), "
      "variant(T, C2), (assertz(got(T)), fail ; retract(got(C3))), variant(T, C3)";
  /* A refusal is a resource error; each one in a query of its own. */
  const std::string refusals[] = {
      "catch(throw(b(T)), error(resource_error(_), _), true)",
      "catch(assertz(k(T)), error(resource_error(_), _), true), \\+ catch(k(_), _, fail)"};
  for (int seed = 0; seed < 300; seed++) {
    std::string n = std::to_string(seed);
    ASSERT_EQ(p.run("shapes(" + n + ", false, T), " + copies), 1) << seed << p.exception();
    if (seed % 8 != 0) continue;
    for (const std::string &refusal : refusals)
      ASSERT_EQ(p.run("shapes(" + n + ", true, T), " + refusal), 1) << seed << p.exception();
  }
}
