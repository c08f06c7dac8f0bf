/* Indexical storage: installing code lists, refusing bad ones with the chain kept, freeing every
 * block, posting by the Boolean's value, linking once, saved indexicals byte for byte and
 * malformed saved records. */
#include <cstring>
#include <functional>

#include "fd_indexical.h"
#include "fd_ix_asm.h"
#include "fd_prop_env.h"
#include "memman.h"
#include "modules.h"
#include "saverest.h"

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

class FdIndexical : public FdPropTest {
protected:
  FdIndexical()
  {
    consult_in("fdq", "mval(M, V) :- M = '$mutable'(V0, _), "
                      "( V0 = '$mutable'(_, _) -> mval(V0, V) ; V = V0 ).\n"
                      "vals(X, Ids) :- get_attr(X, clpfd, v(_, _, _, LM)), mval(LM, Ls), "
                      "arg(7, Ls, Val), ids(Val, Ids).\n"
                      "ids([], []).\n"
                      "ids([E|T], [I|R]) :- id(E, I), ids(T, R).\n"
                      "id(D-iff(Ix, _, C, _), iff(C, N, I)) :- !, len(D, N), id(Ix, I).\n"
                      "id(D-Ix, dep(N, I)) :- !, len(D, N), id(Ix, I).\n"
                      "len([], 0).\n"
                      "len([_|T], N) :- len(T, N0), N is N0 + 1.\n"
                      "id(ix(Info, _, _, _, _, _, _), I) :- "
                      "clpfd:'$fd_indexical_data'(Info, K, W), I is K * 1000 + W.\n");
  }
  definition *def(const char *name, uint32_t arity, const char *module = "user")
  {
    return insert_definition(find_module(init_atom_check(module, 0), 1), init_atom_check(name, 0),
                             arity, 1);
  }
  fd_info *chains(definition *d) { return (fd_info *)d->fd_info; }
  int install(const std::string &spec, int chain, const std::vector<indexical> &ixs, int count = -1)
  {
    return run(fd_ix_asm::install(spec, "user", chain, ixs, count));
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
    return b + ", clpfd:'$fd_find_definition'(p(_, _), user, D), "
               "clpfd:'$fd_in_interval'(X, 0, 9, 0), clpfd:'$fd_in_interval'(Y, 0, 9, 0), "
               "clpfd:'$fd_check_arguments'(p(X, Y), A), clpfd:'$fd_arg_attribute'(B, 1, BA), "
               "clpfd:'$fd_post_reified'(D, p(X, Y), A, B, BA)";
  }
};

/* Records are built in list order with every operand form: a(N) tagged, l(N) an offset, t(N) the
 * literal, d(N) the set's first cell, h(N) the table; literal blocks are what the collector takes
 * for boxed numbers. */
TEST_F(FdIndexical, InstallBuildsRecordsInListOrder)
{
  indexical a = tagged(101, 1, "lit t:0 lit d:1 L: dom1 times #-3 case h:2 @L done");
  a.link(0, 1).link(1, 2 + 8);
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
  EXPECT_EQ(var("D"), std::to_string(GetSmall(fd_address_word(d))));
  EXPECT_EQ(var("D1") + var("D2"), "00");
  ASSERT_EQ(run("clpfd:'$fd_indexical_data'(" + std::to_string(GetSmall(fd_address_word(ix))) +
                ", K, W)"),
            1);
  EXPECT_EQ(var("K") + "/" + var("W"), "3/101");
}

/* Each bad list is refused with an error naming the fault; the chain installed before stays, and
 * the blocks built for the refused records are freed. */
TEST_F(FdIndexical, InstallRefusesBadInputAndKeepsTheChain)
{
  indexical good = tagged(101, 0, "lit d:0 prune_set 0");
  good.link(1, 1);
  good.literals = {"d([[0|3]])"};
  ASSERT_EQ(install("p/2", 1, {good}), 1) << exception();
  indexical_info *kept = chains(def("p", 2))->info[1];
  struct row {
    const char *what;
    std::function<void(indexical &)> change;
    const char *error; /* a part of the error term */
  } rows[] = {
      {"operand missing at the end", [](indexical &i) { i.code = "101 lit d:0 prune_set"; },
       "indexical_operands"},
      {"two operands, one given", [](indexical &i) { i.code = "101 done case #1"; },
       "indexical_operands"},
      {"label past the end", [](indexical &i) { i.code = "101 jump_empty l(9) done"; },
       "indexical_code"},
      {"literal index past the list", [](indexical &i) { i.code = "101 lit d:1 prune_set 0"; },
       "indexical_literal_reference"},
      {"d on a constant", [](indexical &i) { i.literals = {"5"}; }, "indexical_literal_reference"},
      {"h on an FD set", [](indexical &i) { i.code = "101 #1 case h:0 @x x: done"; },
       "indexical_literal_reference"},
      {"t on a block", [](indexical &i) { i.code = "101 lit t:0 prune_set 0"; },
       "indexical_literal_reference"},
      {"a set where no set goes", [](indexical &i) { i.code = "101 local d:0 done"; },
       "indexical_literal_reference"},
      {"a plain word as a set", [](indexical &i) { i.code = "101 lit 8 prune_set 0"; },
       "indexical_literal_reference"},
      {"first word with operands", [](indexical &i) { i.code = "lit d:0 prune_set 0"; },
       "indexical_operands"},
      {"interval min above max", [](indexical &i) { i.literals = {"d([[4|3]])"}; }, "fd_interval"},
      {"overlapping intervals", [](indexical &i) { i.literals = {"d([[0|3],[3|5]])"}; },
       "fd_interval"},
      {"adjacent intervals", [](indexical &i) { i.literals = {"d([[0|3],[4|5]])"}; },
       "fd_interval"},
      {"sup as a minimum", [](indexical &i) { i.literals = {"d([[sup|sup]])"}; }, "fd_interval"},
      {"not an interval", [](indexical &i) { i.literals = {"d([a])"}; }, "fd_interval"},
      {"empty set", [](indexical &i) { i.literals = {"d([])"}; }, "fd_set"},
      {"a pair list that is not one",
       [](indexical &i) {
         i.literals = {"d([[0|1]])", "h([1])"};
       },
       "indexical_pair"},
      {"a compound literal", [](indexical &i) { i.literals = {"f(x)"}; }, "indexical_literal"},
      {"a float literal",
       [](indexical &i) {
         i.literals = {"d([[0|1]])", "1.5"};
       },
       "indexical_literal"},
      {"code length too long", [](indexical &i) { i.code_length = 6; }, "indexical_length"},
      {"literal length short", [](indexical &i) { i.literals_length = 0; }, "indexical_length"},
      {"linkage length wrong", [](indexical &i) { i.linkage_length = 2; }, "indexical_length"},
      {"linkage argument beyond arity",
       [](indexical &i) {
         i.linkage = {{2, 1}};
       },
       "indexical_linkage"},
      {"linkage mask too wide",
       [](indexical &i) {
         i.linkage = {{0, 32}};
       },
       "indexical_linkage"},
      {"pruned beyond arity", [](indexical &i) { i.pruned = 2; }, "indexical_pruned"},
      {"pops below the stack", [](indexical &i) { i.code = "101 plus done"; },
       "indexical_stack_depth"},
      {"prunes with nothing pushed", [](indexical &i) { i.code = "101 prune_range"; },
       "indexical_stack_depth"},
      {"pushes past the registers",
       [](indexical &i) {
         i.code = "101";
         for (int k = 0; k <= IX_STACK_LIMIT; k++) i.code += " universe";
         i.code += " done";
       },
       "indexical_stack_depth"},
      {"empty code", [](indexical &i) { i.code = ""; }, "indexical_length"},
  };
  size_t before = blocks_in_use();
  for (const row &r : rows) {
    indexical bad = good;
    r.change(bad);
    /* the bad record second, so that a good one was built before it */
    EXPECT_EQ(install("p/2", 1, {tagged(100, 0), bad}), -1) << r.what;
    EXPECT_NE(exception().find(r.error), std::string::npos) << r.what;
    EXPECT_EQ(chains(def("p", 2))->info[1], kept) << r.what;
    EXPECT_EQ(blocks_in_use(), before) << r.what;
  }
  /* the count, the chain and the indicator */
  EXPECT_EQ(install("p/2", 1, {good}, 2), -1);
  EXPECT_NE(exception().find("indexical_length"), std::string::npos);
  EXPECT_EQ(install("p/2", 4, {good}), -1);
  EXPECT_NE(exception().find("indexical_chain"), std::string::npos);
  EXPECT_EQ(run("clpfd:'$fd_install'(p, user, 1, 0, [])"), -1);
  EXPECT_NE(exception().find("predicate_indicator"), std::string::npos);
  EXPECT_EQ(run("clpfd:'$fd_install'(atom_length/2, prolog, 1, 0, [])"), -1);
  EXPECT_NE(exception().find("permission_error"), std::string::npos);
  EXPECT_EQ(chains(def("p", 2))->info[1], kept);
  /* an opcode above the last stays a word the machine skips */
  EXPECT_EQ(install("p/2", 1, {tagged(100, 0, "200 201 done")}), 1) << exception();
}

/* Replacing a chain and undefining the predicate free every block they held. */
TEST_F(FdIndexical, RedefiningAndUndefiningFreeEveryBlock)
{
  size_t before = blocks_in_use();
  indexical a = tagged(101, 0, "lit d:0 lit d:1 #1 case h:2 @e e: prune_set 0");
  a.link(0, 1).link(1, 8);
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
  std::string d = std::to_string(GetSmall(fd_address_word(def("p", 2))));
  undefine_predicate(def("p", 2));
  EXPECT_EQ(run("clpfd:'$fd_post_reified'(" + d + ", p(X, Y), p(_, _), 1, _)"), -1);
  EXPECT_NE(exception().find("type_error(fd_definition"), std::string::npos);
  EXPECT_EQ(blocks_in_use(), before);
}

/* $fd_post_reified takes only definitions the solver made FD-defined. */
TEST_F(FdIndexical, PostTakesOnlyKnownDefinitions)
{
  ASSERT_EQ(install("p/2", 1, {tagged(101, 0)}), 1);
  consult("q(1, 2).\n");
  std::string p = std::to_string(GetSmall(fd_address_word(def("p", 2))));
  std::string q = std::to_string(GetSmall(fd_address_word(def("q", 2))));
  const char *culprits[] = {"0", "12345", "foo", "_", "p"};
  for (const std::string &c : {q, std::string(culprits[0]), std::string(culprits[1]),
                               std::string(culprits[2]), std::string(culprits[3])}) {
    EXPECT_EQ(run("clpfd:'$fd_post_reified'(" + c + ", p(_, _), p(_, _), 1, _)"), -1) << c;
    EXPECT_NE(exception().find("type_error(fd_definition"), std::string::npos) << c;
  }
  EXPECT_EQ(run("clpfd:'$fd_post_reified'(" + p + ", p(_), p(_), 1, _)"), -1);
  EXPECT_NE(exception().find("type_error(compound"), std::string::npos);
  EXPECT_EQ(run("clpfd:'$fd_post_reified'(" + p + ", p(_, _), p(_, _), a, _)"), -1);
  EXPECT_NE(exception().find("type_error(integer"), std::string::npos);
  EXPECT_EQ(run("clpfd:'$fd_indexical_data'(" + p + ", _, _)"), -1);
  EXPECT_NE(exception().find("type_error(indexical"), std::string::npos);
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
  indexical wait_y = tagged(111, 0);
  wait_y.link(1, 8).link(1, 16);
  for (int chain = 0; chain < 4; chain++) {
    int base = 100 + 10 * chain;
    ASSERT_EQ(
        install("p/2", chain, {tagged(base + 1, 0), tagged(base + 2, 1), tagged(base + 3, 1)}), 1);
  }
  ASSERT_EQ(run(post_goal("B = 1")), 1) << exception();
  EXPECT_EQ(queued(), "1/111 1/112 1/113");
  ASSERT_EQ(run(post_goal("B = 0, Y = 4")), 1) << exception();
  EXPECT_EQ(queued(), "0/103 0/102 0/101");
  ASSERT_EQ(run(post_goal("clpfd:'$fd_in_interval'(B, 0, 1, 0)") + ", fdq:vals(B, V)"), 1)
      << exception();
  EXPECT_EQ(queued(), "2/121 2/122 2/123 3/131 3/132 3/133");
  EXPECT_EQ(var("V"), "[iff(1,0,1113),iff(1,0,1112),iff(1,0,1111),"
                      "iff(0,0,103),iff(0,0,102),iff(0,0,101)]");
  /* value dependencies: with B = 1 the record waits for Y; checking ones use their own bit */
  indexical check_y = tagged(131, 0);
  check_y.link(1, 16);
  indexical prop_bit = tagged(132, 0);
  prop_bit.link(1, 8);
  ASSERT_EQ(install("p/2", 1, {wait_y}), 1);
  ASSERT_EQ(install("p/2", 3, {check_y, prop_bit}), 1);
  ASSERT_EQ(run(post_goal("B = 1") + ", fdq:vals(Y, V)"), 1) << exception();
  EXPECT_EQ(queued(), "");
  EXPECT_EQ(var("V"), "[dep(0,1111)]");
  ASSERT_EQ(
      run(post_goal("clpfd:'$fd_in_interval'(B, 0, 1, 0)") + ", fdq:vals(Y, V), fdq:vals(B, VB)"),
      1);
  EXPECT_EQ(queued(), "2/121 2/122 2/123 3/132");
  EXPECT_EQ(var("V"), "[dep(0,3131)]");
  EXPECT_EQ(var("VB"), "[iff(1,1,1111),iff(0,0,103),iff(0,0,102),iff(0,0,101)]");
  /* a fixed dependency is no dependency */
  ASSERT_EQ(run(post_goal("B = 1, Y = 3")), 1);
  EXPECT_EQ(queued(), "1/111");
  /* B outside 0..1 posts nothing */
  ASSERT_EQ(run(post_goal("B = 2")), 1);
  EXPECT_EQ(queued(), "");
}

/* Linking puts the record in the lists its linkage selects, once; value dependencies of its kind
 * are left to the value list. */
TEST_F(FdIndexical, LinkingHappensOnce)
{
  indexical ix = tagged(101, 0);
  ix.link(0, 2).link(1, 4).link(1, 1 + 16);
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
    TAGGED attr = get_attributes(deref(StrArg(args, arg)), fd()->fd_module);
    TAGGED l = fd_mutable_value(StrArg(fd_attr_last(attr), 4));
    std::string s;
    for (int i = 0; i < 5; i++) s += std::to_string(fd_list_length(deref(StrArg(l, 3 + i))));
    return s;
  };
  EXPECT_EQ(lists(1), "01000"); /* min */
  EXPECT_EQ(lists(2), "10100"); /* max, and dom: the checking bit is not its kind's */
}

}  // namespace
