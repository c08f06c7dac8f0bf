#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "choicepoint_fixture.h"

/* ---- a reference unifier over its own copy of the terms ----
 * Terms are nodes of a pool; children come before parents; a variable node may be bound to an
 * earlier node (pre-made chains). The reference unifies recursively with an occurs check, so that
 * pairs which would make a cyclic term are recognised and left out. */
namespace {

enum Kind { VAR, CONST, BOX, STRUCT, LIST };

struct Node {
  explicit Node(Kind k, TAGGED w = 0) : kind(k), word(w) {}
  Kind kind;
  TAGGED word;             /* constant, or the functor of a STRUCT */
  std::vector<TAGGED> box; /* all words of a box, headers included */
  std::vector<int> args;
  int bound = -1; /* VAR: the node it is bound to */
};

struct Cyclic {};

class Reference {
public:
  explicit Reference(std::vector<Node> nodes) : n_(std::move(nodes)) {}
  bool unify(int a, int b)
  {
    a = deref(a);
    b = deref(b);
    if (a == b) return true;
    if (n_[a].kind == VAR) return bind(a, b);
    if (n_[b].kind == VAR) return bind(b, a);
    const Node &x = n_[a], &y = n_[b];
    if (x.kind != y.kind || x.word != y.word || x.box != y.box || x.args.size() != y.args.size())
      return false;
    for (size_t i = 0; i < x.args.size(); i++)
      if (!unify(x.args[i], y.args[i])) return false;
    return true;
  }
  std::string show(int i, std::map<int, int> &names)
  {
    i = deref(i);
    const Node &x = n_[i];
    char buf[32];
    switch (x.kind) {
    case VAR:
      if (!names.count(i)) names[i] = (int)names.size();
      return "_" + std::to_string(names[i]);
    case CONST: std::snprintf(buf, sizeof buf, "c%x", x.word); return buf;
    case BOX: {
      std::string s = "box";
      for (TAGGED t : x.box) s += "." + std::to_string(t);
      return s;
    }
    default: {
      std::snprintf(buf, sizeof buf, "%x(", x.kind == LIST ? 0u : x.word);
      std::string s = buf;
      for (int a : x.args) s += show(a, names) + ",";
      return s + ")";
    }
    }
  }

private:
  int deref(int i)
  {
    while (n_[i].kind == VAR && n_[i].bound >= 0) i = n_[i].bound;
    return i;
  }
  bool occurs(int v, int t, std::set<int> &seen)
  {
    t = deref(t);
    if (t == v) return true;
    if (!seen.insert(t).second) return false;
    for (int a : n_[t].args)
      if (occurs(v, a, seen)) return true;
    return false;
  }
  bool bind(int v, int t)
  {
    std::set<int> seen;
    if (occurs(v, t, seen)) throw Cyclic();
    n_[v].bound = t;
    return true;
  }
  std::vector<Node> n_;
};

/* The same rendering for a heap term. */
std::string show_heap(TAGGED t, std::map<TAGGED, int> &names)
{
  t = deref(t);
  char buf[32];
  if (IsVar(t)) {
    if (!names.count(t)) names[t] = (int)names.size();
    return "_" + std::to_string(names[t]);
  }
  if (IsConst(t)) {
    std::snprintf(buf, sizeof buf, "c%x", t);
    return buf;
  }
  if (IsBox(t)) {
    std::string s = "box";
    for (int i = 0; i < BoxWords(StrFunctor(t)); i++) s += "." + std::to_string(StrPtr(t)[i]);
    return s;
  }
  const TAGGED *args = IsLst(t) ? LstPtr(t) : StrArgs(t);
  uint32_t n = IsLst(t) ? 2 : Arity(StrFunctor(t));
  std::snprintf(buf, sizeof buf, "%x(", IsLst(t) ? 0u : StrFunctor(t));
  std::string s = buf;
  for (uint32_t i = 0; i < n; i++) s += show_heap(args[i], names) + ",";
  return s + ")";
}

}  // namespace

class Unify : public ChoicepointTest {
protected:
  std::mt19937 rng{12345};
  std::vector<Node> nodes;
  std::vector<int> vars, compounds;

  int pick(int n) { return (int)(rng() % (unsigned)n); }
  int add(Node n)
  {
    nodes.push_back(std::move(n));
    return (int)nodes.size() - 1;
  }
  int new_var()
  {
    Node v{VAR};
    /* Some variables start bound to an earlier variable: chains that deref must follow. */
    if (!vars.empty() && pick(4) == 0) v.bound = vars[(size_t)pick((int)vars.size())];
    int i = add(v);
    vars.push_back(i);
    return i;
  }
  int leaf()
  {
    static const double floats[] = {1.5, 2.5};
    static const int32_t bigs[] = {300000000, -300000000, 2000000000};
    switch (pick(6)) {
    case 0:
    case 1: return vars.empty() || pick(2) ? new_var() : vars[(size_t)pick((int)vars.size())];
    case 2: {
      static const char *names[] = {"a", "b", "[]"};
      return add(Node{CONST, engine.atom(names[pick(3)])});
    }
    case 3: return add(Node{CONST, MakeSmall(pick(3) - 1)});
    case 4: {
      Node n{BOX};
      n.box = {QX_BIGNUM1_HEADER, (TAGGED)bigs[pick(3)], QX_BIGNUM1_HEADER};
      return add(n);
    }
    default: {
      Node n{BOX};
      double d = floats[pick(2)];
      TAGGED words[2];
      std::memcpy(words, &d, sizeof d);
      n.box = {QX_FLOAT_HEADER, words[0], words[1], QX_FLOAT_HEADER};
      return add(n);
    }
    }
  }
  int compound_of(TAGGED functor, Kind kind, std::vector<int> args)
  {
    Node n{kind, functor};
    n.args = std::move(args);
    int i = add(n);
    compounds.push_back(i);
    return i;
  }
  int gen(int depth)
  {
    if (depth <= 0 || pick(3) == 0) return leaf();
    if (!compounds.empty() && pick(6) == 0)
      return compounds[(size_t)pick((int)compounds.size())]; /* a shared subterm */
    static const char *names[] = {"f", "g"};
    int arity = 1 + pick(3);
    bool list = pick(3) == 0;
    std::vector<int> args;
    for (int i = 0; i < (list ? 2 : arity); i++) args.push_back(gen(depth - 1));
    TAGGED f = list ? 0 : MakeFunctor(engine.atom(names[pick(2)]), (uint32_t)arity);
    return compound_of(f, list ? LIST : STRUCT, args);
  }
  /* A term like t: the same shape with some subterms replaced, so that many pairs unify. */
  int mutate(int t, int depth)
  {
    if (pick(5) == 0) return gen(depth);
    Node n = nodes[(size_t)t];
    if (n.kind != STRUCT && n.kind != LIST) return pick(2) ? t : leaf();
    for (int &a : n.args) a = mutate(a, depth - 1);
    return compound_of(n.word, n.kind, n.args);
  }
  /* Lay every node on the heap; the words of node i go to val[i]. */
  std::vector<TAGGED> build()
  {
    std::vector<TAGGED> val(nodes.size());
    for (size_t i = 0; i < nodes.size(); i++) {
      Node &n = nodes[i];
      TAGGED *p = w->global_top;
      switch (n.kind) {
      case VAR:
        *p = n.bound >= 0 ? val[(size_t)n.bound] : MakeRef(p);
        w->global_top++;
        val[i] = MakeRef(p);
        break;
      case CONST: val[i] = n.word; break;
      case BOX:
        for (TAGGED word : n.box) *w->global_top++ = word;
        val[i] = MakeStr(p);
        break;
      case STRUCT:
        *w->global_top++ = n.word;
        for (int a : n.args) *w->global_top++ = val[(size_t)a];
        val[i] = MakeStr(p);
        break;
      case LIST:
        for (int a : n.args) *w->global_top++ = val[(size_t)a];
        val[i] = MakeLst(p);
        break;
      }
    }
    return val;
  }
};

TEST_F(Unify, RandomPairsAgreeWithAReferenceAndUndoExactly)
{
  int unified = 0, clashed = 0, cyclic = 0;
  TAGGED *base = w->global_top;
  for (int round = 0; round < 3000; round++) {
    nodes.clear();
    vars.clear();
    compounds.clear();
    int left = gen(5);
    int right = mutate(left, 5);
    Reference ref(nodes);
    bool expected;
    try {
      expected = ref.unify(left, right);
    } catch (Cyclic &) {
      cyclic++;
      continue;
    }
    std::vector<TAGGED> val = build();
    push_choicepoint();
    std::vector<TAGGED> heap = heap_image(), trail = trail_image();
    int got = cunify(w, val[(size_t)left], val[(size_t)right]);
    ASSERT_EQ(got != 0, expected) << "round " << round;
    if (expected) {
      unified++;
      std::map<int, int> rnames;
      std::map<TAGGED, int> hnames;
      std::string want = ref.show(left, rnames) + "=" + ref.show(right, rnames);
      std::string have =
          show_heap(val[(size_t)left], hnames) + "=" + show_heap(val[(size_t)right], hnames);
      ASSERT_EQ(have, want) << "round " << round;
      std::map<TAGGED, int> names2;
      ASSERT_EQ(show_heap(val[(size_t)left], names2), show_heap(val[(size_t)right], names2));
    } else {
      clashed++;
    }
    backtrack();
    ASSERT_EQ(heap_image(), heap) << "round " << round;
    ASSERT_EQ(trail_image(), trail) << "round " << round;
    w->global_top = base;
  }
  EXPECT_GT(unified, 300);
  EXPECT_GT(clashed, 300);
  EXPECT_LT(cyclic, 1500);
}

TEST_F(Unify, YoungerVariableIsBoundToOlder)
{
  TAGGED older = engine.var(), younger = engine.var();
  ASSERT_TRUE(cunify(w, older, younger));
  EXPECT_EQ(*RefPtr(older), older);
  EXPECT_EQ(*RefPtr(younger), older);
  TAGGED older2 = engine.var(), younger2 = engine.var();
  ASSERT_TRUE(cunify(w, younger2, older2));
  EXPECT_EQ(*RefPtr(older2), older2);
  EXPECT_EQ(*RefPtr(younger2), older2);
}

TEST_F(Unify, LocalVariableIsBoundToTheHeapVariable)
{
  TAGGED local = local_var();
  TAGGED heap = engine.var(); /* made later, yet older: the local stack lies above the heap */
  ASSERT_TRUE(cunify(w, heap, local));
  EXPECT_EQ(*RefPtr(heap), heap);
  EXPECT_EQ(*RefPtr(local), heap);
}

TEST_F(Unify, TrailsOnlyBindingsOfCellsBelowTheBoundary)
{
  TAGGED old_var = engine.var();
  push_choicepoint();
  TAGGED new_term = engine.compound("f", {engine.var(), engine.var()});
  uint32_t top = trail_words();
  ASSERT_TRUE(cunify(w, new_term, engine.compound("f", {atom_true, old_var})));
  /* f(A, B) = f(true, Old): A := true (new, untrailed); B := Old (new bound to old, untrailed). */
  EXPECT_EQ(trail_words(), top);
  ASSERT_TRUE(cunify(w, old_var, atom_fail));
  EXPECT_EQ(trail_words(), top + 1);
  EXPECT_EQ(w->trail_top[-1], old_var);
  backtrack();
}

TEST_F(Unify, BoxedNumbersCompareByContent)
{
  EXPECT_TRUE(cunify(w, box_int(300000000), box_int(300000000)));
  EXPECT_FALSE(cunify(w, box_int(300000000), box_int(-300000000)));
  EXPECT_TRUE(cunify(w, box_float(2.5), box_float(2.5)));
  EXPECT_FALSE(cunify(w, box_float(2.5), box_float(3.5)));
  EXPECT_FALSE(cunify(w, box_float(2.5), box_int(300000000)));
  EXPECT_FALSE(cunify(w, box_int(300000000), MakeSmall(3)));
  TAGGED x = engine.var();
  TAGGED b = box_float(1.0);
  EXPECT_TRUE(cunify(w, engine.compound("f", {x, x}), engine.compound("f", {b, box_float(1.0)})));
}

TEST_F(Unify, ClashesBetweenDifferentShapes)
{
  EXPECT_FALSE(cunify(w, engine.atom("a"), engine.atom("b")));
  EXPECT_FALSE(cunify(w, engine.compound("f", {atom_true}), engine.compound("g", {atom_true})));
  EXPECT_FALSE(
      cunify(w, engine.compound("f", {atom_true}), engine.compound("f", {atom_true, atom_true})));
  EXPECT_FALSE(cunify(w, engine.list({atom_true}), engine.compound(".", {atom_true, atom_nil})));
  EXPECT_FALSE(cunify(w, atom_nil, engine.list({atom_true})));
  EXPECT_FALSE(cunify(w, MakeSmall(1), engine.atom("a")));
  EXPECT_TRUE(cunify(w, MakeSmall(7), MakeSmall(7)));
}

TEST_F(Unify, VariableCyclesCollapse)
{
  TAGGED x = engine.var(), y = engine.var(), z = engine.var();
  ASSERT_TRUE(cunify(w, engine.compound("f", {x, y, z}), engine.compound("f", {y, z, x})));
  EXPECT_EQ(deref(x), deref(y));
  EXPECT_EQ(deref(y), deref(z));
  EXPECT_TRUE(IsVar(deref(x)));
  ASSERT_TRUE(cunify(w, z, atom_true));
  EXPECT_EQ(deref(x), atom_true);
}

/* Deep terms in both directions: right-nested (lists) and left-nested (every level pushes). */
TEST_F(Unify, DepthIsNotLimitedByTheMachineStack)
{
  const int n = 300000;
  call_overflow(w, 10 * n + 64, 0); /* 4n for the lists, 6n for the nested terms */
  TAGGED x = engine.var();
  TAGGED l1 = x, l2 = atom_true;
  TAGGED g = engine.atom("g");
  TAGGED left1 = engine.var(), left2 = atom_true;
  for (int i = 0; i < n; i++) {
    l1 = engine.cons(MakeSmall(i), l1);
    l2 = engine.cons(MakeSmall(i), l2);
  }
  for (int i = 0; i < n; i++) {
    TAGGED *p = w->global_top;
    p[0] = MakeFunctor(g, 2);
    p[1] = left1;
    p[2] = MakeSmall(i);
    p[3] = MakeFunctor(g, 2);
    p[4] = left2;
    p[5] = MakeSmall(i);
    w->global_top += 6;
    left1 = MakeStr(p);
    left2 = MakeStr(p + 3);
  }
  ASSERT_TRUE(cunify(w, l1, l2));
  EXPECT_EQ(deref(x), atom_true);
  ASSERT_TRUE(cunify(w, left1, left2));
}
