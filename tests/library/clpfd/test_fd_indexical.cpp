/* Indexical storage: installing code lists, refusing bad ones with the chain kept, freeing every
 * block, posting by the Boolean's value, linking once, saved indexicals byte for byte and
 * malformed saved records. */
#include <cstring>
#include <fstream>
#include <iterator>
#include <functional>
#include <random>
#include <set>

#include "fd_indexical.h"
#include "fd_oracle.h"
#include "fd_ix_asm.h"
#include "driver/fd_driver.h"
#include "fd_prop_env.h"
#include "models/fd_models.h"
#include "models/fd_queens_ix.h"
#include "engine_start.h"
#include "foreign.h"
#include "gc.h"
#include "memman.h"
#include "modules.h"
#include "saverest.h"
#include "test_fork.h"
#include "scratch_root.h"

namespace {

using fd_ix_asm::indexical;

/* An indexical told apart by the first word of its code (one the machine skips). */
indexical tagged(int id, int pruned, const std::string &rest = "done")
{
  indexical ix;
  ix.pruned = pruned;
  ix.code = std::to_string(id) + " " + rest;
  return ix;
}

size_t blocks_in_use() { return qx_space_in_use(QX_SPACE_SOLVER) + qx_space_in_use(QX_SPACE_MISC); }

/* The integer that stands for a definition or record in Prolog. */
std::string handle(const void *p) { return std::to_string(GetSmall(fd_address_word(p))); }

/* Posting goal on its own definition, with B and its attribute BA ("1, 1": B is 1). */
std::string post(const std::string &goal, const std::string &b = "1, 1")
{
  return "clpfd:'$fd_find_definition'(" + goal + ", user, D), clpfd:'$fd_check_arguments'(" + goal +
         ", A), clpfd:'$fd_post_reified'(D, " + goal + ", A, " + b + ")";
}

/* A directory of the scratch root, removed with what it holds at the end of the scope. */
struct temp_dir {
  std::string path = qx_scratch_mkdtemp("qx_fdix");
  ~temp_dir() { qx_remove_tree(path); }
};

class FdIndexical : public FdPropTest {
protected:
  FdIndexical()
  {
    /* mval/2 and len/2 come from the shared prelude */
    consult_in("fdq", std::string(fd_oracle::prelude) +
                          "vals(X, Ids) :- get_attr(X, clpfd, v(_, _, _, LM)), mval(LM, Ls), "
                          "arg(7, Ls, Val), ids(Val, Ids).\n"
                          "ids([], []).\n"
                          "ids([E|T], [I|R]) :- id(E, I), ids(T, R).\n"
                          "id(D-iff(Ix, _, C, _), iff(C, N, I)) :- !, len(D, N), id(Ix, I).\n"
                          "id(D-Ix, dep(N, I)) :- !, len(D, N), id(Ix, I).\n"
                          "links(X, L) :- get_attr(X, clpfd, v(_, _, _, LM)), mval(LM, Ls), "
                          "arg(3, Ls, Dom), states(Dom, L).\n"
                          "states([], []).\n"
                          "states([Ix|T], [S|R]) :- arg(3, Ix, SM), mval(SM, N), arg(4, Ix, E), "
                          "( var(E) -> S = alive(N) ; S = dead(N) ), states(T, R).\n"
                          "range(X, Min-Max) :- get_attr(X, clpfd, v(_, _, DM, _)), "
                          "mval(DM, dom(_, Min, Max, _)).\n"
                          "id(ix(Info, _, _, _, _, _, _), I) :- "
                          "clpfd:'$fd_indexical_data'(Info, K, W), I is K * 1000 + W.\n");
  }
  definition *def(const char *name, uint32_t arity, const char *module = "user")
  {
    return insert_definition(find_module(init_atom_check(module, 0), 1), init_atom_check(name, 0),
                             arity, 1);
  }
  fd_info *chains(definition *d) { return (fd_info *)d->fd_info; }
  /* ne(X, Y, C): X != Y + C as two propagating indexicals, each removing one value once the
   * other argument is fixed (a value dependency). */
  void install_ne() { ASSERT_EQ(run(fd_models::install_ne_goal()), 1) << exception(); }
  /* leq(X, Y, C) reified: X =< Y + C in chain 1, X > Y + C in chain 0, and the checks of both. */
  void install_leq()
  {
    indexical le_x = tagged(910, 0, "max1 amin2 plus prune_le").link(1, 4),
              le_y = tagged(911, 1, "min0 amin2 minus prune_ge").link(0, 2),
              gt_x = tagged(912, 0, "min1 amin2 plus lit #1 plus prune_ge").link(1, 2),
              gt_y = tagged(913, 1, "max0 amin2 minus lit #1 minus prune_le").link(0, 4),
              is_le = tagged(914, 0, "min1 amin2 plus check_le").link(0, 1).link(1, 2),
              is_gt = tagged(915, 0, "max1 amin2 plus lit #1 plus check_ge").link(0, 1).link(1, 4);
    ASSERT_EQ(install("leq/3", 1, {le_x, le_y}), 1) << exception();
    ASSERT_EQ(install("leq/3", 0, {gt_x, gt_y}), 1) << exception();
    ASSERT_EQ(install("leq/3", 3, {is_le}), 1) << exception();
    ASSERT_EQ(install("leq/3", 2, {is_gt}), 1) << exception();
  }
  int install(const std::string &spec, int chain, const std::vector<indexical> &ixs, int count = -1)
  {
    return run(fd_ix_asm::install(spec, "user", chain, ixs, count));
  }
  /* goal raises an error whose term holds error. */
  void expect_error(const std::string &goal, const char *error)
  {
    EXPECT_EQ(run(goal), -1) << goal;
    EXPECT_NE(exception().find(error), std::string::npos) << goal << ": " << exception();
  }
  /* The suspension lists of an FD variable's attribute. */
  TAGGED suspensions(TAGGED v)
  {
    return fd_mutable_value(StrArg(fd_attr_last(get_attributes(v, fd()->fd_module)), 4));
  }
  /* "K/W" of each queued indexical in queue order (K its chain, W its first code word); the levels
   * are closed after. */
  std::string queued()
  {
    std::string s;
    for (TAGGED e : entries()) {
      auto *ix = (indexical_info *)fd_word_address(deref(StrArg(e, 1)));
      s += (s.empty() ? "" : " ") + std::to_string(ix->checking * 2 + ix->truth_value) + "/" +
           std::to_string(ix->code[0]);
    }
    while (levels() > 0) fd_end(api, w);
    return s;
  }
  static std::string post_goal(const std::string &b)
  {
    return b +
           ", clpfd:'$fd_in_interval'(X, 0, 9, 0), clpfd:'$fd_in_interval'(Y, 0, 9, 0), "
           "clpfd:'$fd_arg_attribute'(B, 1, BA), " +
           post("p(X, Y)", "B, BA");
  }
};

/* Records are built in list order with every operand form: a(N) tagged, l(N) an offset, t(N) the
 * literal, d(N) the set's first cell, h(N) the table; literal blocks are what the collector takes
 * for boxed numbers. */
TEST_F(FdIndexical, InstallBuildsRecordsInListOrder)
{
  indexical a = tagged(101, 1, "lit t:0 lit d:1 L: dom1 times #-3 case h:2 @L done")
                    .link(0, 1)
                    .link(1, 2 + 8);
  a.literals = {"7", "d([[inf|-5],[0|3],[6|sup]])", "h([1-4, 2-9])"};
  ASSERT_EQ(install("p/2", 3, {a, tagged(102, 0)}), 1) << exception();
  definition *d = def("p", 2);
  ASSERT_EQ(d->predtyp, FD_CONSTRAINT);
  indexical_info *ix = chains(d)->info[3];
  ASSERT_TRUE(ix && ix->next && !ix->next->next);
  EXPECT_EQ(ix->next->code[0], 102u);
  EXPECT_EQ(ix->pred, d);
  EXPECT_EQ(ix->checking * 2 + ix->truth_value, 3);
  EXPECT_EQ(ix->pruned, 1);
  ASSERT_EQ(ix->length_of_linkage, 2u);
  EXPECT_EQ(ix->linkage[0], 0x001u);
  EXPECT_EQ(ix->linkage[1], 0x10Au);
  ASSERT_EQ(ix->length_of_bytecode, 12u);
  ASSERT_EQ(ix->length_of_literals, 3u);
  const ix_byte *c = ix->code;
  EXPECT_EQ(c[0], 101u);
  EXPECT_EQ(c[1], 41u);
  EXPECT_EQ(c[2], MakeSmall(7));
  EXPECT_EQ(c[4], ix->literals[1] + 5);
  EXPECT_EQ(c[7], MakeSmall(-3));
  EXPECT_EQ(c[9], ix->literals[2] - 2);
  EXPECT_EQ(c[10], 5u); /* the label L */
  TAGGED *block = StrPtr(ix->literals[1]);
  EXPECT_TRUE(IsBignumHeader(block[0]));
  EXPECT_EQ(BoxWords(block[0]) - 1, 13); /* header and four words per interval */
  EXPECT_EQ(TestProlog::show(c[4]), "[[inf|-5],[0|3],[6|sup]]");
  auto *table = (sw_on_key *)(uintptr_t)c[9];
  EXPECT_EQ(incore_gethash(table, MakeSmall(2))->value, MakeSmall(9));
  ASSERT_EQ(run("clpfd:'$fd_find_definition'(p(_, _), user, D), "
                "clpfd:'$fd_find_definition'(p(_), user, D1), "
                "clpfd:'$fd_find_definition'(q, nomodule, D2)"),
            1);
  EXPECT_EQ(var("D"), handle(d));
  EXPECT_EQ(var("D1") + var("D2"), "00");
  ASSERT_EQ(run("clpfd:'$fd_indexical_data'(" + handle(ix) + ", K, W)"), 1);
  EXPECT_EQ(var("K") + "/" + var("W"), "3/101");
}

/* Each bad list is refused with an error naming the fault; the chain installed before stays, and
 * the blocks built for the refused records are freed. */
TEST_F(FdIndexical, InstallRefusesBadInputAndKeepsTheChain)
{
  indexical good = tagged(101, 0, "lit d:0 prune_set 0").link(1, 1);
  good.literals = {"d([[0|3]])"};
  ASSERT_EQ(install("p/2", 1, {good}), 1) << exception();
  indexical_info *kept = chains(def("p", 2))->info[1];
  using change = std::function<void(indexical &)>;
  auto code = [](std::string c) -> change { return [c](indexical &i) { i.code = c; }; };
  auto lits = [](std::vector<std::string> l) -> change {
    return [l](indexical &i) { i.literals = l; };
  };
  auto link = [](int arg, int mask) -> change {
    return [=](indexical &i) { i.linkage = {{arg, mask}}; };
  };
  struct row {
    const char *what;
    change bad;
    const char *error; /* a part of the error term */
  } rows[] = {
      {"operand missing at the end", code("101 lit d:0 prune_set"), "indexical_operands"},
      {"two operands, one given", code("101 done case #1"), "indexical_operands"},
      {"label past the end", code("101 jump_empty l(9) done"), "indexical_code"},
      {"literal index past the list", code("101 lit d:1 prune_set 0"),
       "indexical_literal_reference"},
      {"d on a constant", lits({"5"}), "indexical_literal_reference"},
      {"h on an FD set", code("101 #1 case h:0 @x x: done"), "indexical_literal_reference"},
      {"t on a block", code("101 lit t:0 prune_set 0"), "indexical_literal_reference"},
      {"a set where no set goes", code("101 local d:0 done"), "indexical_literal_reference"},
      {"a plain word as a set", code("101 lit 8 prune_set 0"), "indexical_literal_reference"},
      {"first word with operands", code("lit d:0 prune_set 0"), "indexical_operands"},
      {"interval min above max", lits({"d([[4|3]])"}), "fd_interval"},
      {"overlapping intervals", lits({"d([[0|3],[3|5]])"}), "fd_interval"},
      {"adjacent intervals", lits({"d([[0|3],[4|5]])"}), "fd_interval"},
      {"sup as a minimum", lits({"d([[sup|sup]])"}), "fd_interval"},
      {"not an interval", lits({"d([a])"}), "fd_interval"},
      {"empty set", lits({"d([])"}), "fd_set"},
      {"a pair list that is not one", lits({"d([[0|1]])", "h([1])"}), "indexical_pair"},
      {"a compound literal", lits({"f(x)"}), "indexical_literal"},
      {"a float literal", lits({"d([[0|1]])", "1.5"}), "indexical_literal"},
      {"code length too long", [](indexical &i) { i.code_length = 6; }, "indexical_length"},
      {"literal length short", [](indexical &i) { i.literals_length = 0; }, "indexical_length"},
      {"linkage length wrong", [](indexical &i) { i.linkage_length = 2; }, "indexical_length"},
      {"linkage argument beyond arity", link(2, 1), "indexical_linkage"},
      {"linkage mask too wide", link(0, 32), "indexical_linkage"},
      {"pruned beyond arity", [](indexical &i) { i.pruned = 2; }, "indexical_pruned"},
      {"pops below the stack", code("101 plus done"), "indexical_stack_depth"},
      {"prunes with nothing pushed", code("101 prune_range"), "indexical_stack_depth"},
      {"pushes past the registers",
       code("101" +
            [] {
              std::string pushes;
              for (int k = 0; k <= IX_STACK_LIMIT; k++) pushes += " universe";
              return pushes;
            }() +
            " done"),
       "indexical_stack_depth"},
      {"empty code", code(""), "indexical_length"},
  };
  size_t before = blocks_in_use();
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    indexical bad = good;
    r.bad(bad);
    /* the bad record second, so that a good one was built before it */
    expect_error(fd_ix_asm::install("p/2", "user", 1, {tagged(100, 0), bad}), r.error);
    EXPECT_EQ(chains(def("p", 2))->info[1], kept);
    EXPECT_EQ(blocks_in_use(), before);
  }
  /* the count, the chain and the indicator */
  expect_error(fd_ix_asm::install("p/2", "user", 1, {good}, 2), "indexical_length");
  expect_error(fd_ix_asm::install("p/2", "user", 4, {good}), "indexical_chain");
  expect_error("clpfd:'$fd_install'(p, user, 1, 0, [])", "predicate_indicator");
  expect_error("clpfd:'$fd_install'(atom_length/2, prolog, 1, 0, [])", "permission_error");
  EXPECT_EQ(chains(def("p", 2))->info[1], kept);
  /* an opcode above the last stays a word the machine skips */
  EXPECT_EQ(install("p/2", 1, {tagged(100, 0, "200 201 done")}), 1) << exception();
}

/* Replacing a chain and undefining the predicate free every block they held. */
TEST_F(FdIndexical, RedefiningAndUndefiningFreeEveryBlock)
{
  size_t before = blocks_in_use();
  indexical a =
      tagged(101, 0, "lit d:0 lit d:1 #1 case h:2 @e e: prune_set 0").link(0, 1).link(1, 8);
  a.literals = {"d([[0|3],[6|9]])", "d([[1|1]])", "h([1-4, 2-9, 3-5, 4-6, 5-7])"};
  for (int chain = 0; chain < 4; chain++)
    ASSERT_EQ(install("p/2", chain, {a, a}), 1) << exception();
  size_t full = blocks_in_use();
  EXPECT_GT(full, before);
  ASSERT_EQ(install("p/2", 2, {tagged(102, 1)}), 1);
  EXPECT_LT(blocks_in_use(), full);
  ASSERT_EQ(install("p/2", 2, {a, a}), 1);
  EXPECT_EQ(blocks_in_use(), full);
  undefine_predicate(def("p", 2));
  EXPECT_EQ(blocks_in_use(), before);
  /* a consulted clause redefines it as well */
  for (int chain = 0; chain < 4; chain++) ASSERT_EQ(install("p/2", chain, {a}), 1);
  redefine_predicate(def("p", 2), ENTER_INTERPRETED);
  EXPECT_EQ(blocks_in_use(), before);
  /* and a definition that goes is no longer taken by posting */
  ASSERT_EQ(install("p/2", 1, {a}), 1);
  std::string d = handle(def("p", 2));
  undefine_predicate(def("p", 2));
  expect_error("clpfd:'$fd_post_reified'(" + d + ", p(X, Y), p(_, _), 1, _)",
               "type_error(fd_definition");
  EXPECT_EQ(blocks_in_use(), before);
}

/* $fd_post_reified takes only definitions the solver made FD-defined. */
TEST_F(FdIndexical, PostTakesOnlyKnownDefinitions)
{
  ASSERT_EQ(install("p/2", 1, {tagged(101, 0)}), 1);
  consult("q(1, 2).\n");
  std::string p = handle(def("p", 2));
  for (const std::string &c : {handle(def("q", 2)), std::string("0"), std::string("12345"),
                               std::string("foo"), std::string("_")})
    expect_error("clpfd:'$fd_post_reified'(" + c + ", p(_, _), p(_, _), 1, _)",
                 "type_error(fd_definition");
  expect_error("clpfd:'$fd_post_reified'(" + p + ", p(_), p(_), 1, _)", "type_error(compound");
  expect_error("clpfd:'$fd_post_reified'(" + p + ", p(_, _), p(_, _), a, _)", "type_error(integer");
  expect_error("clpfd:'$fd_indexical_data'(" + p + ", _, _)", "type_error(indexical");
  /* an import names the exporter's definition */
  import_predicate(def("p", 2), find_module(init_atom_check("user", 0), 1),
                   find_module(init_atom_check("other", 0), 1));
  ASSERT_EQ(run("clpfd:'$fd_find_definition'(p(_, _), other, D)"), 1);
  EXPECT_EQ(var("D"), p);
}

/* B = 1 posts chain 1, B = 0 chain 0, an unbound B all four: the propagating ones wait in B's
 * value list as iff entries with their chain's truth value; records pruning a bound argument come
 * first, latest first; value dependencies put a record in the value list of the first one. */
TEST_F(FdIndexical, PostingSelectsChainsByTheBoolean)
{
  indexical wait_y = tagged(111, 0).link(1, 8).link(1, 16);
  for (int chain = 0; chain < 4; chain++) {
    int base = 100 + 10 * chain;
    ASSERT_EQ(
        install("p/2", chain, {tagged(base + 1, 0), tagged(base + 2, 1), tagged(base + 3, 1)}), 1);
  }
  /* posts goal, expecting the queue q */
  auto posts = [&](const std::string &goal, const char *q) {
    EXPECT_EQ(run(goal), 1) << goal << exception();
    EXPECT_EQ(queued(), q) << goal;
  };
  posts(post_goal("B = 1"), "1/111 1/112 1/113");
  posts(post_goal("B = 0, Y = 4"), "0/103 0/102 0/101");
  posts(post_goal("clpfd:'$fd_in_interval'(B, 0, 1, 0)") + ", fdq:vals(B, V)",
        "2/121 2/122 2/123 3/131 3/132 3/133");
  EXPECT_EQ(var("V"), "[iff(1,0,1113),iff(1,0,1112),iff(1,0,1111),"
                      "iff(0,0,103),iff(0,0,102),iff(0,0,101)]");
  /* value dependencies: with B = 1 the record waits for Y; checking ones use their own bit */
  indexical check_y = tagged(131, 0).link(1, 16);
  indexical prop_bit = tagged(132, 0).link(1, 8);
  ASSERT_EQ(install("p/2", 1, {wait_y}), 1);
  ASSERT_EQ(install("p/2", 3, {check_y, prop_bit}), 1);
  posts(post_goal("B = 1") + ", fdq:vals(Y, V)", "");
  EXPECT_EQ(var("V"), "[dep(0,1111)]");
  posts(post_goal("clpfd:'$fd_in_interval'(B, 0, 1, 0)") + ", fdq:vals(Y, V), fdq:vals(B, VB)",
        "2/121 2/122 2/123 3/132");
  EXPECT_EQ(var("V"), "[dep(0,3131)]");
  EXPECT_EQ(var("VB"), "[iff(1,1,1111),iff(0,0,103),iff(0,0,102),iff(0,0,101)]");
  /* a fixed dependency is no dependency */
  posts(post_goal("B = 1, Y = 3"), "1/111");
  /* B outside 0..1 posts nothing */
  posts(post_goal("B = 2"), "");
}

/* Linking puts the record in the lists its linkage selects, once; value dependencies of its kind
 * are left to the value list. */
TEST_F(FdIndexical, LinkingHappensOnce)
{
  indexical ix = tagged(101, 0).link(0, 2).link(1, 4).link(1, 1 + 16);
  ASSERT_EQ(install("p/2", 1, {ix}), 1);
  ASSERT_EQ(run(post_goal("B = 1")), 1);
  std::vector<TAGGED> queue = entries();
  ASSERT_EQ(queue.size(), 1u);
  QX_term_ref r = QX_new_term_ref();
  fd_ref_put(api, r, queue[0]);
  EXPECT_EQ(fd_status(fd_ref_get(api, r)) & FD_ST_LINKED, 0u);
  for (int twice = 0; twice < 2; twice++) fd_link_indexical(api, w, fd_ref_get(api, r));
  EXPECT_NE(fd_status(fd_ref_get(api, r)) & FD_ST_LINKED, 0u);
  TAGGED args = deref(StrArg(fd_ref_get(api, r), 2));
  auto lists = [&](int arg) {
    TAGGED l = suspensions(deref(StrArg(args, arg)));
    std::string s;
    for (int i = 0; i < 5; i++) s += std::to_string(fd_list_length(deref(StrArg(l, 3 + i))));
    return s;
  };
  EXPECT_EQ(lists(1), "01000"); /* min */
  EXPECT_EQ(lists(2), "10100"); /* max, and dom: the checking bit is not its kind's */
}

/* ---- saved indexicals ---- */

/* The bytes the hooks write and read, standing in for the saved-state stream. */
struct byte_stream {
  std::string data;
  size_t at = 0;
  static uint32_t write(const void *p, uint32_t n, saverest_info *info)
  {
    ((byte_stream *)(void *)info)->data.append((const char *)p, n);
    return n;
  }
  static int read(void *p, uint32_t n, saverest_info *info)
  {
    auto *s = (byte_stream *)(void *)info;
    if (s->data.size() - s->at < n) return 0;
    std::memcpy(p, s->data.data() + s->at, n);
    s->at += n;
    return 1;
  }
  saverest_info *info() { return (saverest_info *)(void *)this; }
  uint32_t word(size_t i) const
  {
    uint32_t w;
    std::memcpy(&w, data.data() + 4 * i, 4);
    return w;
  }
  void set_word(size_t i, uint32_t w) { std::memcpy(&data[4 * i], &w, 4); }
};

constexpr uint32_t KEY = 0x1230;
/* Word offsets in the records of p/3 below: a's code (after its 7 header words, 3 linkage words,
 * 4 literal words, the 13-word set, the table and the one-interval set), record b, record c and
 * c's code (after its two sets). */
constexpr size_t CODE_A = 14 + 13 + 10 + 5, RECORD_B = CODE_A + 14, RECORD_C = RECORD_B + 7 + 4,
                 CODE_C = RECORD_C + 7 + 2 + 5 + 9;

std::string saved(ORVALIS_API_STRUCT *api, definition *d)
{
  byte_stream s;
  saverest_record r{QX_REC_FD_PREDICATE, KEY, 0, 0, 0, 0, 0};
  EXPECT_EQ(fd_save_hook(api, &r, d, byte_stream::write, s.info()), 1);
  return s.data;
}

/* Restores every record of the bytes into d as the engine does: the record, then the hook. */
int restore_into(ORVALIS_API_STRUCT *api, definition *d, const std::string &bytes)
{
  byte_stream s{bytes};
  int records = 0;
  while (s.at < s.data.size()) {
    saverest_record r;
    if (!byte_stream::read(&r, sizeof r, s.info())) return -1;
    r.w1 = (uint32_t)(uintptr_t)d;
    if (!fd_restore_hook(api, &r, byte_stream::read, s.info())) return -1;
    records++;
  }
  return records;
}

/* Indexicals of p/3: in chain 1 one with every literal kind and one with none, in chain 3 one
 * whose code holds a 52 with f equal to 41, the opcode of an operand-carrying instruction. */
class FdSavedIndexical : public FdIndexical {
protected:
  void SetUp() override
  {
    indexical a = tagged(101, 2, "lit d:0 lit t:1 lit #5 case h:2 @e e: lit d:3 prune_set 0")
                      .link(0, 1)
                      .link(1, 2 + 8)
                      .link(2, 4 + 16);
    a.literals = {"d([[inf|-5],[0|3],[6|sup]])", "7", "h([1-4, 2-9, 3-5])", "d([[1|1]])"};
    indexical b = tagged(102, 0, "min1 max1 prune_range");
    indexical c = tagged(103, 1, "lit d:0 prune_set 41 lit d:1 prune_set 1");
    c.literals = {"d([[0|3]])", "d([[4|5],[8|9]])"};
    ASSERT_EQ(install("p/3", 3, {c}), 1) << exception();
    ASSERT_EQ(install("p/3", 1, {a, b}), 1) << exception();
  }
};

/* The record format: chain-1 records first, the three-interval set a 52-byte block announced by
 * 53, the table by its size + 18, no literal array without literals; restored into another
 * definition and saved again, the bytes are the same; the restored code refers to the restored
 * literals, also past the 52 whose operand looks like an opcode. */
TEST_F(FdSavedIndexical, RoundTripIsByteForByte)
{
  std::string first = saved(api, def("p", 3));
  byte_stream s{first};
  /* record a: header, 3 linkage words, 4 literal words, then blocks */
  const std::pair<size_t, uint32_t> words[] = {
      {0, QX_REC_FD_PREDICATE},
      {1, KEY},
      {2, 1 | 3 << 2 | 2 << 10},
      {3, 14},
      {4, 4},
      {8, 0x10A},
      {9, 0x214},
      {10, 53},
      {11, MakeSmall(7)},
      {12, 8 * 3 + 18}, /* four slots */
      {13, 21},
      {14, (uint32_t)(-25 - 16 * 11)}, /* a boxed number of 13 words */
      {CODE_A, 101},
      {CODE_A + 2, 0 << 2 | QX_TAG_LST}, /* literal 0 by index */
      {CODE_A + 8, 2},                   /* the table's index */
      {CODE_A + 11, 3 << 2 | QX_TAG_LST},
      {RECORD_B + 2, 1 | 0 << 2 | 0 << 10}, /* no linkage, no literals */
      {RECORD_B + 4, 0},
      {RECORD_C + 2, 3 | 1 << 10}, /* chain 3 last */
  };
  for (auto [at, word] : words) EXPECT_EQ(s.word(at), word) << "word " << at;
  EXPECT_EQ(s.word(7) >> 8, 0u);
  EXPECT_EQ(first.size(), 4 * (CODE_C + 9));
  definition *q = def("q", 3);
  ASSERT_EQ(restore_into(api, q, first), 3);
  EXPECT_EQ(saved(api, q), first);
  fd_info *restored = chains(q);
  ASSERT_TRUE(restored->info[1] && restored->info[1]->next && restored->info[3]);
  EXPECT_EQ(restored->info[1]->next->literals, nullptr);
  EXPECT_EQ(restored->info[0], nullptr);
  indexical_info *a = restored->info[1], *cc = restored->info[3];
  EXPECT_EQ(TestProlog::show(a->code[2]), "[[inf|-5],[0|3],[6|sup]]");
  EXPECT_EQ(incore_gethash((sw_on_key *)(uintptr_t)a->code[8], MakeSmall(3))->value, MakeSmall(5));
  EXPECT_EQ(cc->code[4], 41u);
  EXPECT_EQ(TestProlog::show(cc->code[6]), "[[4|5],[8|9]]");
  EXPECT_EQ(q->predtyp, FD_CONSTRAINT);
}
/* Sizes, counts and references come from the file: each malformed record is refused, nothing is
 * written out of bounds (the sanitizer watches) and every block made for it is freed. */
TEST_F(FdSavedIndexical, MalformedRecordsAreRefused)
{
  const std::string good = saved(api, def("p", 3));
  struct row {
    const char *what;
    size_t word;
    uint32_t value;
  } rows[] = {
      {"pruned beyond the arity", 2, 1 | 3 << 2 | 3 << 10},
      {"no code", 3, 0},
      {"code longer than any", 3, 1u << 20},
      {"literals more than any", 4, 1u << 20},
      {"linkage argument beyond the arity", 9, 0x314},
      {"linkage mask too wide", 7, 0x21},
      {"set size not a header and intervals", 10, 49},
      {"set size disagreeing with its header", 10, 37},
      {"set header of another size", 14, (uint32_t)(-25 - 16 * 7)},
      {"intervals out of order", 21, MakeSmall(-7)},
      {"table slots not a power of two", 12, 34},
      {"a plain literal that is no constant", 11, 0x100},
      {"set index beyond the literals", CODE_A + 2, 9 << 2 | QX_TAG_LST},
      {"set index naming a constant", CODE_A + 2, 1 << 2 | QX_TAG_LST},
      {"table index naming a set", CODE_A + 8, 0},
      {"table index beyond the literals", CODE_A + 8, 7},
      {"first word with an operand", CODE_A, 41},
      {"operands past the end", RECORD_C + 3, 8},
      {"pops below the stack", CODE_C + 1, 19},
  };
  size_t before = blocks_in_use();
  auto refused = [&](const std::string &bytes, const char *what) {
    definition *r = def("r", 3);
    EXPECT_EQ(restore_into(api, r, bytes), -1) << what;
    undefine_predicate(r);
    EXPECT_EQ(blocks_in_use(), before) << what;
  };
  for (const row &r : rows) {
    byte_stream s{good};
    s.set_word(r.word, r.value);
    refused(s.data, r.what);
  }
  byte_stream full{good};
  for (size_t key = 29; key < 37; key += 2) full.set_word(key, MakeSmall((int32_t)key));
  refused(full.data, "a table without an empty node");
  for (size_t cut : {4u, 40u, 200u}) refused(good.substr(0, good.size() - cut), "truncated");
}

fd_driver::counts queens(fd_driver::driver &d, int n, fd_driver::observer *watch = nullptr);

/* An engine of its own, for saving in one and restoring in another. */
struct IxEngine : FdSavedIndexical {
  void TestBody() override {}
  using FdIndexical::def;
  using FdKernelTest::api;
  using FdKernelTest::consult;
  using FdKernelTest::exception;
  using FdKernelTest::instance_api;
  using FdKernelTest::run;
  using FdKernelTest::unload;
  void install_p()
  {
    SetUp();
    install_ne();
  }
  /* The hook's records of user:p/3 with the definition's own key, as a state holds them. */
  std::string records()
  {
    byte_stream s{saved(api, def("p", 3))};
    for (size_t at = 0; at < s.data.size() / 4;) {
      s.set_word(at + 1, (uint32_t)(uintptr_t)def("p", 3));
      size_t literals = at + 7 + (s.word(at + 2) >> 2 & 255), count = s.word(at + 4);
      size_t next = literals + count + s.word(at + 3); /* and the blocks */
      for (size_t i = literals; i < literals + count; i++)
        next += IsStr(s.word(i)) ? (s.word(i) - 1) / 4 : IsLst(s.word(i)) ? (s.word(i) - 2) / 4 : 0;
      at = next;
    }
    return s.data;
  }
  std::string save(const std::string &file)
  {
    if (run("'$save'('" + file + "', 0, c)") != 1) return "save: " + exception();
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  /* Saves a state of p/3 and ne/3 in an engine of its own; the hook's bytes of p/3. */
  static std::string save_p(const std::string &file)
  {
    IxEngine a;
    a.install_p();
    std::string state = a.save(file);
    EXPECT_NE(state.find(a.records()), std::string::npos) << state.substr(0, 80);
    return saved(a.api, a.def("p", 3));
  }
};

/* A state holding indexicals, restored by a fresh engine and saved again, holds the same
 * records; the restored definitions have the same chains and propagate as before. */
TEST(FdSavedState, RestoredInAFreshEngineSavesTheSameRecords)
{
  temp_dir tmp;
  const std::string &dir = tmp.path;
  std::string hook_bytes = IxEngine::save_p(dir + "/a.sav");
  {
    IxEngine b;
    ASSERT_EQ(b.run("'$restore'('" + dir + "/a.sav', c)"), 1) << b.exception();
    ASSERT_EQ(b.def("p", 3)->predtyp, FD_CONSTRAINT);
    EXPECT_EQ(saved(b.api, b.def("p", 3)), hook_bytes);
    std::string state = b.save(dir + "/b.sav");
    EXPECT_NE(state.find(b.records()), std::string::npos);
  }
}

/* The 8-queens search on the engine's ne/3 (6-queens in the collector's stress mode). */
void expect_queens(ORVALIS_API_STRUCT *api)
{
  fd_driver::driver d(api);
  fd_driver::counts c = queens(d, qx_gc_stress ? 6 : 8);
  EXPECT_EQ(c.solutions, qx_gc_stress ? 4u : 92u);
  if (!qx_gc_stress) {
    EXPECT_EQ(std::to_string(c.nodes) + " " + std::to_string(c.failures), "767 292");
  }
}

/* A state of indexicals restored by an engine that has not loaded the solver loads it first (a
 * restore that cannot load it fails); the restored ne/3 propagates as it did. */
TEST(FdSavedState, RestoringIndexicalsLoadsTheSolver)
{
  temp_dir tmp;
  const std::string &dir = tmp.path;
  IxEngine::save_p(dir + "/a.sav");
  IxEngine b;
  ASSERT_TRUE(b.unload());
  /* without the resource to load the restore fails with the file-not-found code */
  qx_set_linked_resources(nullptr, nullptr);
  EXPECT_EQ(b.run("'$restore'('" + dir + "/a.sav', c)"), -1);
  EXPECT_EQ(b.exception().rfind("error(existence_error(source_sink,", 0), 0u);
  EXPECT_EQ(b.instance_api(), nullptr);
  qx_set_linked_resources(fd_kernel_env::pre_map, fd_kernel_env::pre_linkage);
  ASSERT_EQ(b.run("'$restore'('" + dir + "/a.sav', c)"), 1) << b.exception();
  b.api = b.instance_api();
  ASSERT_TRUE(b.api);
  EXPECT_EQ(b.def("ne", 3)->predtyp, FD_CONSTRAINT);
  expect_queens(b.api);
}

/* Selected states restored by an engine that has the solver loaded: one holding the solver's own
 * natives, which still run, and one of a predicate list alone (Module:Name/Arity as written),
 * which holds those predicates. */
TEST(FdSavedState, SelectedStatesRestoreIntoALoadedSolver)
{
  temp_dir tmp;
  const std::string &dir = tmp.path;
  const struct {
    const char *modules, *preds, *check;
  } rows[] = {
      {"[user, clpfd]", "[]", "clpfd:'$fd_in_interval'(X, 2, 9, 0), fdq:range(X, R), R == 2-9"},
      {"[]", "[user:ne/3, q/1]", "q(1), q(2), \\+ q(3)"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.preds);
    std::string file = "'" + dir + "/a.sav'";
    {
      IxEngine a;
      a.install_p();
      a.consult("q(1).\nq(2).\n");
      ASSERT_EQ(a.run(std::string("'$save_increment'(") + row.modules + ", [], " + row.preds +
                      ", " + file + ", c)"),
                1)
          << a.exception();
    }
    IxEngine b;
    ASSERT_EQ(b.run("'$restore_increment'(" + file + ", c)"), 1) << b.exception();
    EXPECT_EQ(b.run(row.check), 1) << b.exception();
    ASSERT_EQ(b.def("ne", 3)->predtyp, FD_CONSTRAINT);
    expect_queens(b.api);
  }
}

/* A full restore starts the solver afresh: it is unloaded once the database is emptied and
 * loaded again by the state's indexical records, so that a mode set before is gone. */
TEST(FdSavedState, RestoreStartsTheSolverAfresh)
{
  temp_dir tmp;
  IxEngine::save_p(tmp.path + "/a.sav");
  IxEngine b;
  ASSERT_EQ(b.run("clpfd:'$fd_debug'(_, on, _)"), 1) << b.exception();
  ASSERT_EQ(b.run("'$restore'('" + tmp.path + "/a.sav', c)"), 1) << b.exception();
  b.api = b.instance_api();
  ASSERT_TRUE(b.api);
  EXPECT_EQ(fd_state(b.api)->debugging, 0u);
  expect_queens(b.api);
}

/* A save meeting a predicate defined by indexicals with no saver installed loads the solver for
 * it and unloads it again afterwards: the resource's entry runs for both. */
int counted_entries;
int counting_entry(void *params)
{
  counted_entries++;
  return fd_kernel_env::entry_function(params);
}

TEST(FdSavedState, SavingLoadsTheSolverForItsSaver)
{
  temp_dir tmp;
  IxEngine e;
  ASSERT_TRUE(e.unload());
  const QX_pre_linkage_fn counting[] = {counting_entry, nullptr};
  qx_set_linked_resources(fd_kernel_env::pre_map, counting);
  definition *d = e.def("r", 2);
  d->predtyp = FD_CONSTRAINT; /* as indexicals leave it, none installed */
  counted_entries = 0;
  EXPECT_EQ(e.save(tmp.path + "/a.sav").rfind("save: ", 0), std::string::npos);
  d->predtyp = ENTER_UNDEFINED;
  EXPECT_EQ(counted_entries, 2);
  EXPECT_EQ(e.instance_api(), nullptr);
}

/* An importer of an FD-defined predicate keeps no copy of chains that are gone: undefined,
 * redefined or installed over, the exporter's chains are what a post through the importer
 * finds. Imported from elsewhere since, it (and the new exporter's other importers) takes no
 * more of the first exporter's entry. */
TEST_F(FdIndexical, AnImporterForgetsFreedChains)
{
  install_ne();
  definition *src = def("ne", 3), *imp = def("ne", 3, "other");
  import_predicate(src, src->module, imp->module);
  ASSERT_EQ(imp->fd_info, src->fd_info);
  undefine_predicate(src);
  EXPECT_EQ(imp->fd_info, nullptr);
  install_ne();
  EXPECT_EQ(imp->fd_info, src->fd_info);
  redefine_predicate(src, ENTER_INTERPRETED);
  EXPECT_EQ(imp->fd_info, nullptr);
  install_ne();
  install_ne(); /* over the chain: the first one's records are freed */
  EXPECT_EQ(imp->fd_info, src->fd_info);
  ASSERT_EQ(
      go("'$fd_find_definition'(ne(_, _, _), other, D), '$fd_in_interval'(X, 0, 2, 0), "
         "'$fd_check_arguments'(ne(X, 2, 0), A), '$fd_post_reified'(D, ne(X, 2, 0), A, 1, 1), "
         "'$fd_evaluate_indexical'(_, 0), fdq:range(X, R)"),
      1)
      << exception();
  EXPECT_EQ(var("R"), "-(0,1)");
  /* imported from elsewhere, it leaves the first exporter's importers */
  consult_in("m2", "ne(_, _, _).\n");
  definition *m2 = def("ne", 3, "m2"), *third = def("ne", 3, "third");
  import_predicate(m2, m2->module, third->module);
  import_predicate(m2, m2->module, imp->module);
  std::set<definition *> of_src;
  for (definition *d = src->importers; d; d = d->next_importer) of_src.insert(d);
  EXPECT_EQ(of_src, std::set<definition *>{});
  undefine_predicate(src);
  install_ne();
  for (definition *d : {imp, third})
    EXPECT_TRUE(d->fd_info == nullptr && d->predtyp == ENTER_INTERPRETED)
        << atom_name(d->module->name);
}

/* ---- the defining cases on the machine ---- */

/* X in 0..10 posted for a fixed X is entailed on its first run and never linked; a check of X in S
 * with X overlapping S stays undecided and is linked, once, however often it runs; a divisor
 * argument of 0 gives up without pruning. */
TEST_F(FdIndexical, FirstRunsEntailSuspendAndGiveUp)
{
  ASSERT_EQ(install("in010/1", 1, {tagged(101, 0, "lit #0 lit #10 prune_range").link(0, 1)}), 1);
  indexical in_s = tagged(102, 0, "lit d:0 check_in").link(0, 1);
  in_s.literals = {"d([[0|3]])"};
  ASSERT_EQ(install("ins/1", 3, {in_s}), 1);
  ASSERT_EQ(
      install("dv/2", 1, {tagged(103, 0, "lit #0 lit #10 div_floor_arg 1 prune_range").link(1, 1)}),
      1);
  ASSERT_EQ(run(post("in010(5)")), 1) << exception();
  std::vector<TAGGED> q = entries();
  ASSERT_EQ(q.size(), 1u);
  QX_term_ref r = QX_new_term_ref();
  fd_ref_put(api, r, q[0]);
  ASSERT_EQ(run("clpfd:'$fd_evaluate_indexical'(_, 0)"), 1) << exception();
  EXPECT_TRUE(fd_dead(fd_ref_get(api, r)));
  EXPECT_EQ(fd_status(fd_ref_get(api, r)) & FD_ST_LINKED, 0u);
  ASSERT_EQ(run("clpfd:'$fd_in_interval'(X, 2, 9, 0), clpfd:'$fd_in_interval'(B, 0, 1, 0), "
                "clpfd:'$fd_arg_attribute'(B, 1, BA), " +
                post("ins(X)", "B, BA") +
                ", clpfd:'$fd_evaluate_indexical'(_, 0), fdq:links(X, L1), "
                "clpfd:'$fd_in_interval'(X, 2, 8, 0), clpfd:'$fd_evaluate_indexical'(_, 0), "
                "fdq:links(X, L2)"),
            1)
      << exception();
  EXPECT_EQ(var("L1") + " " + var("L2") + " " + var("B"), "[alive(17)] [alive(17)] _");
  for (int y : {0, 2}) {
    ASSERT_EQ(run("clpfd:'$fd_in_interval'(X, 0, 50, 0), " +
                  post("dv(X, " + std::to_string(y) + ")") +
                  ", clpfd:'$fd_evaluate_indexical'(_, 0), fdq:range(X, R)"),
              1)
        << exception();
    EXPECT_EQ(var("R"), y ? "-(0,5)" : "-(0,50)") << y;
  }
}

/* ---- an allocation failing part way ---- */

struct failing_source {
  bool armed = false;
  int left = 0;
} failing;
int source_init(void *) { return 1; }
void source_deinit(void *) {}
void *source_alloc(size_t size, void *cookie)
{
  auto *f = (failing_source *)cookie;
  if (f->armed && f->left-- <= 0) return nullptr;
  return std::malloc(size);
}
void source_free(void *block, size_t, void *) { std::free(block); }
/* fdq:arm: from here on the allocations count down (the goal is read by then). */
int arm(QX_term_ref, void *)
{
  failing.armed = true;
  return 1;
}

/* Installing over a chain and restoring records with each allocation made to fail in turn: the
 * fault reaches the caller (or becomes an error), the installed chain stays and no block is
 * left behind. */
TEST(FdIndexicalFaults, AnAllocationFailingPartWayLeavesTheChain)
{
  int faults = 0, step = qx_gc_stress ? 5 : 1;
  for (int n = 0; n < 32; n += step) {
    SCOPED_TRACE(n);
    forked_child c = run_forked([&] {
      qx_memman_set_hooks(0, source_init, source_deinit, source_alloc, source_free, &failing);
      IxEngine e;
      e.install_p();
      indexical a =
          tagged(120, 0, "lit d:0 lit #2 case h:1 @e e: prune_set 0").link(1, 1).link(2, 8);
      a.literals = {"d([[0|3],[5|9]])", "h([1-4, 2-9, 3-5, 4-6])"};
      std::string goal = "fdq:arm, " + fd_ix_asm::install("p/3", "user", 1, {a, a, a});
      QX_define_c_predicate("arm", 0, "fdq", arm, nullptr);
      std::string bytes = saved(e.api, e.def("p", 3));
      definition *q = e.def("q", 3);
      indexical_info *kept = ((fd_info *)e.def("p", 3)->fd_info)->info[1];
      size_t before = blocks_in_use();
      failing.left = n;
      std::string out;
      try {
        out = e.run(goal) == 1 ? "ok" : "error";
      } catch (const qx_fault &) {
        out = "fault";
      }
      failing.armed = false;
      e.exception();
      bool intact = ((fd_info *)e.def("p", 3)->fd_info)->info[1] == kept;
      if (out != "ok") out += intact && blocks_in_use() == before ? " intact" : " changed";
      size_t mid = blocks_in_use();
      failing.left = n;
      failing.armed = true;
      try {
        out += restore_into(e.api, q, bytes) == 3 ? " ok" : " refused";
      } catch (const qx_fault &) {
        out += " fault";
      }
      failing.armed = false;
      undefine_predicate(q);
      return out + (blocks_in_use() == mid ? " freed" : " kept");
    });
    faults += c.report.find("fault") != std::string::npos;
    EXPECT_TRUE(c.report.find("changed") == std::string::npos &&
                c.report.find("kept") == std::string::npos &&
                c.report.find("refused") == std::string::npos && c.report.size() > 8)
        << c.report << c.err;
  }
  EXPECT_GT(faults, 0);
}

/* ---- models through the search driver ---- */

using fd_driver::driver;

/* After every undo the heap below the node's top is as it was when the node was made (unless a
 * collection ran in between). */
struct heap_undo : fd_driver::observer {
  std::vector<std::string> copies;
  std::vector<uint64_t> collections;
  int compared = 0, differing = 0;
  void pushed(worker *w, TAGGED *top) override
  {
    copies.emplace_back((const char *)w->heap_start, (const char *)top);
    collections.push_back(qx_gc_statistics()->collections);
  }
  void undone(worker *w, TAGGED *top) override
  {
    if (collections.back() == qx_gc_statistics()->collections) {
      compared++;
      differing += copies.back() != std::string((const char *)w->heap_start, (const char *)top);
    }
    copies.pop_back();
    collections.pop_back();
  }
};

/* n queens in 1..n, each pair kept apart by ne/3 three times; all solutions by first-fail. */
fd_driver::counts queens(driver &d, int n, fd_driver::observer *watch)
{
  fd_driver::counts c;
  if (!fd_models::queens_ix(d, n)) return c;
  driver::options o = fd_models::queens_search();
  o.watch = watch;
  d.search(
      {}, o, [](driver &) { return true; }, &c);
  return c;
}

/* N-queens of pairwise value-propagating indexicals: the solution counts of n = 1 to 10, and for
 * n = 8 the nodes and failures of the same model with linear constraints. */
TEST_F(FdIndexical, QueensCountSolutions)
{
  install_ne();
  const uint64_t expected[] = {1, 0, 0, 2, 10, 4, 40, 92, 352, 724};
  int last = qx_gc_stress ? 6 : 10;
  for (int n = 1; n <= last; n++) {
    driver d(api);
    heap_undo watch;
    fd_driver::counts c = queens(d, n, n <= 6 && !qx_gc_stress ? &watch : nullptr);
    EXPECT_EQ(c.solutions, expected[n - 1]) << n << " " << exception() << d.error();
    EXPECT_EQ(watch.differing, 0) << n;
    if (n == 6 && !qx_gc_stress) {
      EXPECT_GT(watch.compared, 0);
    }
    if (n == 8) {
      EXPECT_EQ(std::to_string(c.nodes) + " " + std::to_string(c.failures), "767 292");
    }
  }
}

/* With B unbound nothing is pruned; B = 1 starts chain 1, B = 0 chain 0; decided checks tell B,
 * and once B is known the checking indexicals are dead. */
TEST_F(FdIndexical, TheBooleanStartsItsChain)
{
  install_leq();
  struct row {
    int x_lo, x_hi, y_lo, y_hi, b; /* b: -1 left alone, else bound after posting */
    const char *x, *bool_after;
    int live_checks; /* checking indexicals still linked on X and alive */
  } rows[] = {
      {0, 9, 0, 5, -1, "0..9", "0..1", 2}, {0, 9, 0, 5, 1, "0..5", "1", 0},
      {0, 9, 3, 5, 0, "4..9", "0", 0},     {0, 2, 5, 9, -1, "0..2", "1", 0},
      {7, 9, 0, 5, -1, "7..9", "0", 0},
  };
  for (const row &r : rows) {
    driver d(api);
    int x = d.new_var(r.x_lo, r.x_hi), y = d.new_var(r.y_lo, r.y_hi), b = d.new_var(0, 1);
    ASSERT_EQ(d.post_indexicals("leq", {driver::var(x), driver::var(y), driver::param(0)}, b), 1)
        << exception() << d.error();
    if (r.b >= 0) {
      ASSERT_EQ(d.exclude(b, 1 - r.b), 1);
    }
    auto range = [&](int v) {
      std::vector<int32_t> dom = d.domain(v);
      return dom.size() == 1 ? std::to_string(dom[0])
                             : std::to_string(dom.front()) + ".." + std::to_string(dom.back());
    };
    EXPECT_EQ(range(x) + " " + range(b), std::string(r.x) + " " + r.bool_after) << r.x;
    /* the checking indexicals linked on X (suspended after their first run) stop with B known */
    int checks = 0;
    for (TAGGED l = deref(StrArg(suspensions(d.term(x)), 3)); IsLst(l); l = deref(LstTail(l))) {
      TAGGED ix = deref(LstHead(l));
      auto *info = (indexical_info *)fd_word_address(deref(StrArg(ix, 1)));
      checks += info->checking && !fd_dead(ix);
    }
    EXPECT_EQ(checks, r.live_checks) << r.x;
  }
}

/* Random small problems of reified X =< Y + C (B unbound: all four chains; B = 1; B = 0) and
 * X != Y + C: the solutions the search finds are those of an enumeration. */
TEST_F(FdIndexical, ReifiedLeqSolutionsEqualEnumeration)
{
  install_ne();
  install_leq();
  std::mt19937 rng(2026);
  struct con {
    int kind; /* 0 B a variable, 1 B = 1, 2 B = 0, 3 ne */
    int x, y, c, b;
  };
  int problems = qx_gc_stress ? 6 : 60, compared = 0;
  for (int p = 0; p < problems; p++) {
    driver d(api);
    int nx = 2 + (int)(rng() % 3);
    std::vector<std::vector<int>> dom(nx);
    for (int i = 0; i < nx; i++) {
      int lo = (int)(rng() % 3), hi = lo + 1 + (int)(rng() % 3);
      for (int v = lo; v <= hi; v++) dom[i].push_back(v);
      ASSERT_EQ(d.new_var(lo, hi), i);
    }
    std::vector<con> cons;
    bool failed = false;
    for (int k = 1 + (int)(rng() % 4); k > 0 && !failed; k--) {
      con c{(int)(rng() % 4), (int)(rng() % nx), (int)(rng() % nx), (int)(rng() % 5) - 2, -1};
      if (c.kind == 0) c.b = d.new_var(0, 1);
      if (c.kind == 2) {
        c.b = d.new_var(0, 1);
        ASSERT_EQ(d.exclude(c.b, 1), 1);
      }
      cons.push_back(c);
      std::vector<driver::arg> args{driver::var(c.x), driver::var(c.y), driver::param(c.c)};
      int r = c.kind == 3 ? d.post_indexicals("ne", args) : d.post_indexicals("leq", args, c.b);
      ASSERT_GE(r, 0) << exception() << d.error();
      failed = r == 0;
    }
    std::set<std::vector<int>> found, oracle;
    if (!failed) {
      driver::options o;
      o.rule = p % 2 ? fd_driver::choice::ff : fd_driver::choice::input;
      heap_undo watch;
      o.watch = qx_gc_stress ? nullptr : &watch;
      fd_driver::counts n;
      auto record = [&](driver &dd) {
        std::vector<int> values;
        for (int v = 0; v < dd.var_count(); v++) values.push_back(dd.value(v));
        found.insert(values);
        return true;
      };
      ASSERT_EQ(d.search({}, o, record, &n), 1) << exception() << d.error();
      EXPECT_EQ(watch.differing, 0);
    }
    /* the enumeration: every X in its domain, each B the truth of its constraint */
    int vars = d.var_count();
    fd_oracle::each_assignment(dom, [&](const std::vector<int> &x) {
      std::vector<int> values(x);
      values.resize(vars);
      for (const con &c : cons) {
        bool le = x[c.x] <= x[c.y] + c.c;
        if ((c.kind == 1 && !le) || (c.kind == 2 && le) || (c.kind == 3 && x[c.x] == x[c.y] + c.c))
          return;
        if (c.b >= 0) values[c.b] = c.kind == 0 ? le : 0;
      }
      oracle.insert(values);
    });
    while (levels() > 0) fd_end(api, w); /* the work a failed posting left queued */
    if (failed) {
      EXPECT_TRUE(oracle.empty()) << p;
    } else {
      EXPECT_EQ(found, oracle) << p;
      compared += !oracle.empty();
    }
  }
  EXPECT_GT(compared, problems / 3);
}

}  // namespace

/* The engine stops with the solver loaded and predicates defined by indexicals (ne/3 imported into
 * a second module as well): their chains go through the solver's destructor hook while the solver
 * is still there, when the stop unloads it (its deinit then finds nothing left of them and frees
 * the rest of what it took) and when it is forgotten without its deinit function first. */
TEST(FdEngineStop, IndexicalsGoThroughTheSolverWhileItIsThere)
{
  for (bool forget : {false, true}) {
    SCOPED_TRACE(forget ? "forgotten" : "unloaded");
    forked_child c = run_forked([&] {
      auto *e = new IxEngine; /* not deleted: the engine is stopped here, as start-up stops it */
      e->install_p();
      import_predicate(e->def("ne", 3), qx_eg.user_module,
                       find_module(init_atom_check("other", 0), 1));
      if (forget) qx_forget_foreign_resources();
      std::string out = e->def("ne", 3)->fd_info ? "defined" : "released";
      deinit_once(qx_w);
      out += " " + std::to_string(qx_space_in_use(QX_SPACE_SOLVER));
      deinit_wcx();
      memman_deinit();
      qxio_init(nullptr, nullptr, QXIO_INIT_SHUTDOWN);
      return out;
    });
    EXPECT_TRUE(c.exited(0)) << c.err;
    EXPECT_EQ(c.report, forget ? "released 0" : "defined 0") << c.err;
  }
}
