/* The quick-load reader on hand-made byte streams in real files. Codes are written as their
 * characters ('@' 64, 'A' 65 ... 'N' 78, 'd' 100); each operand ends with a NUL. */
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <limits>

#include "emulcode.h"
#include "insns.h"
#include "qload.h"
#include "scratch_files.h"
#include "stream_fixture.h"
#include "wam.h"

namespace {

/* The elements, each followed by a NUL. */
std::string ql(std::initializer_list<std::string> parts)
{
  std::string bytes;
  for (const std::string &p : parts) bytes += p + '\0';
  return bytes;
}

constexpr uint64_t CANONICAL_NAN = 0x7FF8000000000000ull;

struct read_result {
  int rc = 0;
  std::string fault; /* the fault's message, when one ended the read */
  TAGGED term = 0;
};

class QLoad : public StreamTest {
protected:
  ~QLoad() override
  {
    for (QX_stream *s : open) qclose(s);
  }

  QX_stream *file(const std::string &bytes)
  {
    QX_stream *s = qopen(scratch_file("q" + std::to_string(files++), bytes).c_str());
    EXPECT_NE(s, nullptr);
    open.push_back(s);
    return s;
  }
  /* One $qread/3 call on s; a fault is caught as the engine's recovery point would. */
  read_result qread(QX_stream *s)
  {
    read_result r;
    r.term = fresh();
    try {
      qx_recovery_scope scope(QX_RECOVERY_API);
      bi_call c = call("$qread", {term(s), at("f.pl"), r.term});
      r.rc = c.rc;
    } catch (const qx_fault &f) {
      r.fault = f.message;
    }
    return r;
  }
  std::string read_one(const std::string &bytes)
  {
    read_result r = qread(file(bytes));
    return r.fault.empty() ? TestProlog::show(r.term) : "fault: " + r.fault;
  }
  void push() { call("$push_qlinfo", {}); }
  void pop() { call("$pop_qlinfo", {}); }
  std::vector<unsigned char> latest_code()
  {
    emul_info *o = qx_eg.latest_bytecode;
    const unsigned char *c = (const unsigned char *)o->emulcode;
    return std::vector<unsigned char>(c, c + o->objsize - 16);
  }

  std::vector<QX_stream *> open;
  int files = 0;
};

}  // namespace

TEST_F(QLoad, SlotsGrowTheArrayOnEitherSide)
{
  push();
  struct row {
    int32_t slot;
    int32_t limit, offset; /* the array after the slot was set */
  } rows[] = {{-1024, 2048, 1024}, {1023, 2048, 1024},  {1024, 4096, 2048},
              {-2048, 4096, 2048}, {-2049, 8192, 4096}, {-5000, 16384, 8192}};
  for (const row &r : rows) {
    std::string n = std::to_string(r.slot);
    EXPECT_EQ(read_one(ql({"A" + n, "v" + n, "L" + n})), "v" + n);
    EXPECT_EQ(qx_eg.qllimit, r.limit) << r.slot;
    EXPECT_EQ(qx_eg.qloffset, r.offset) << r.slot;
  }
  for (const row &r : rows) /* every slot kept its word through the moves */
    EXPECT_EQ(read_one(ql({"L" + std::to_string(r.slot)})), "v" + std::to_string(r.slot));
  EXPECT_EQ(read_one(ql({"A5000000", "x"})), "fault: $qload: invalid bytecode token")
      << "a slot beyond the largest array";
  pop();
}

TEST_F(QLoad, TermsOfEveryKindAndEndOfFile)
{
  QX_stream *s = file(ql({"@40",
                          "A0",
                          "f",
                          "B1",
                          "0",
                          "6",
                          "F2",
                          "C4",
                          "-1",
                          "E5",
                          "2.5",
                          "D6",
                          "12345678901234",
                          "D7",
                          "0000000042",
                          "D8",
                          "268435455",
                          "I3",
                          "J1",
                          "J2",
                          "J4",
                          "J5",
                          "J6",
                          "J7",
                          "J2",
                          "L3"}) +
                      ql({"@4", "A0", "a", "G1", "H2", "J0", "J1", "L2"}) + std::string(2, '\0'));
  read_result r = qread(s);
  ASSERT_EQ(r.fault, "");
  EXPECT_EQ(TestProlog::show(r.term), "f(_,-1,2.5,12345678901234,42,_)");
  TAGGED t = deref(r.term);
  EXPECT_TRUE(IsBignum(deref(StrArg(t, 5))))
      << "a ten-character text goes through the bignum routine";
  EXPECT_EQ(deref(StrArg(t, 1)), deref(StrArg(t, 6))) << "one variable";
  read_result list = qread(s);
  EXPECT_EQ(TestProlog::show(list.term), "[a]");
  for (int i = 0; i < 2; i++) EXPECT_EQ(TestProlog::show(qread(s).term), "-1") << "end of file";
  EXPECT_EQ(read_one(""), "-1");
  EXPECT_EQ(read_one(ql({"A0", "a"})), "-1") << "end of file before a code";
  EXPECT_EQ(read_one(ql({"D0", "268435455", "L0"})), "268435455") << "nine characters: small";
  EXPECT_EQ(read_one(ql({"L1"})), "[]") << "constants stay for later reads";
  EXPECT_EQ(read_one(ql({"L2"})), "fault: $qload: invalid bytecode token")
      << "heap terms do not: the heap they were on may be gone";
}

/* A term read in steps, each making room with code 64 and leaving garbage (a slot set again)
 * below the cells it builds: [g(V, K.5, K), ..., g(V, 0.5, 0)] with V shared. */
std::string stepwise_term(int steps)
{
  std::string bytes = ql({"@8", "A0", "g", "B1", "0", "3", "G99", "F8"});
  for (int k = 0; k < steps; k++) {
    std::string f = std::to_string(10 + k), c = std::to_string(300 + k);
    std::string g = std::to_string(200 + k), l = std::to_string(100 + k);
    bytes += ql({"@60", "F9", "F9", "F9", "E" + f, std::to_string(k) + ".5", "C" + c,
                 std::to_string(k), "I" + g, "J1", "J8", "J" + f, "J" + c, "H" + l, "J" + g,
                 "J" + std::to_string(k ? 99 + k : 99)});
  }
  return bytes + ql({"L" + std::to_string(99 + steps)});
}

TEST_F(QLoad, AReadWithCollectionsInTheMiddleGivesTheTermOfOneWithout)
{
  constexpr int steps = 50;
  std::string expected = "[]";
  for (int k = 0; k < steps; k++)
    expected = "[g(_," + std::to_string(k) + ".5," + std::to_string(k) + ")" +
               (k ? "," + expected.substr(1) : "]");
  bool stress = qx_gc_stress;
  std::string texts[2];
  uint64_t collections[2];
  for (int collect = 0; collect < 2; collect++) {
    qx_gc_stress = collect == 1; /* a collection at every code 64 */
    qx_eg.current_gcmode = collect ? atom_on : atom_off;
    uint64_t before = qx_gc_statistics()->collections;
    read_result r = qread(file(stepwise_term(steps)));
    collections[collect] = qx_gc_statistics()->collections - before;
    texts[collect] = r.fault.empty() ? TestProlog::show(r.term) : r.fault;
    TAGGED list = deref(r.term);
    EXPECT_TRUE(IsLst(list));
    if (IsLst(list)) { /* the variable is one: the last element's is the first's */
      for (TAGGED first = StrArg(deref(LstHead(list)), 1); IsLst(list); list = deref(LstTail(list)))
        EXPECT_EQ(deref(StrArg(deref(LstHead(list)), 1)), deref(first));
    }
  }
  qx_gc_stress = stress;
  qx_eg.current_gcmode = atom_on;
  EXPECT_EQ(collections[0], 0u);
  EXPECT_GE(collections[1], (uint64_t)steps);
  EXPECT_EQ(texts[0], expected);
  EXPECT_EQ(texts[1], expected);
}

TEST_F(QLoad, FormatErrorsAreFaultsAndWriteNothingOutside)
{
  const std::string bad = "fault: $qload: invalid bytecode token";
  const std::string heap = "fault: $qload: miscalculated heap usage";
  const std::string object8 = ql({"K0", "8", "4"});
  const std::string words = object8 + ql({"+100", "+0", ""}); /* a chain leading out */
  struct row {
    const char *name;
    std::string bytes, want;
  } rows[] = {
      {"wrong version", ql({"K0", "8", "3"}), "fault: Quick load aborted.  Wrong version number."},
      {"unknown token", object8 + ql({"Z"}), bad},
      {"16-bit word past the end", ql({"K0", "2", "4", "1", "2", ""}), bad},
      {"32-bit word past the end", ql({"K0", "2", "4", "+5", ""}), bad},
      {"try entry past the end", object8 + ql({"T0", "1", "2", ""}), bad},
      {"try target outside", ql({"K0", "16", "4", "T16", "0", "0", ""}), bad},
      {"code address outside", object8 + ql({"R8", ""}), bad},
      {"float past the end", object8 + ql({"F1.0", ""}), bad},
      {"bignum past the end", object8 + ql({"L123456789012345678901234567890", ""}), bad},
      {"register out of range", object8 + ql({"X256", ""}), bad},
      {"size that wraps", ql({"K0", "-10", "4"}), bad},
      {"size above the cap", ql({"K0", "8388608", "4"}), bad},
      {"end of file inside the code", object8 + "12", bad},
      {"chain start outside", object8 + ql({"", "A1", "a", "M1", "6"}), bad},
      {"chain link outside", words + ql({"A1", "a", "M1", "0"}), bad},
      {"chain that comes round", object8 + ql({"0", "768", "0", "0", "", "C1", "0", "M1", "3"}),
       bad},
      {"chain without an object", ql({"A1", "a", "M1", "0"}), bad},
      {"predicate chain of no predicate", object8 + ql({"", "A1", "a", "N1", "0"}), bad},
      {"position outside", object8 + ql({"", "d20", "1"}), bad},
      {"slot never set", ql({"L5"}), bad},
      {"functor of a number", ql({"C0", "1", "B1", "0", "2"}), bad},
      {"end of file inside an operand", std::string("A0\0a", 4), bad},
      {"number text", ql({"C0", "12x"}), bad},
      {"push without room", ql({"F0"}), heap},
      {"push past the room", ql({"@1", "F0", "F1"}), heap},
      {"bignum past the room", ql({"@2", "D0", "123456789012345678901234567890"}), heap},
      {"float past the room", ql({"@3", "E0", "1.0"}), heap},
      {"compound used before its cells", ql({"@3", "A0", "f", "B1", "0", "2", "I2", "J1", "L2"}),
       bad},
      {"compound that is its own cell", ql({"@3", "H2", "J2"}), bad},
      {"structure without a functor", ql({"@3", "I2", "C0", "1", "J0"}), bad},
      {"compound inside an open one", ql({"@9", "A0", "f", "B1", "0", "2", "I2", "J1", "H3"}), bad},
      {"box inside an open compound", ql({"@9", "H0", "E1", "1.0"}), bad},
  };
  size_t before = qx_space_in_use(QX_SPACE_PROGRAM);
  for (const row &r : rows) {
    push();
    EXPECT_EQ(read_one(r.bytes), r.want) << r.name;
    pop();
    EXPECT_EQ(qx_space_in_use(QX_SPACE_PROGRAM), before) << r.name << ": the object is freed";
  }
}

TEST_F(QLoad, UnknownCodeIsShownOnTheTerminalAndRaisedAsASystemError)
{
  QX_stream *s = file(ql({"A0", "a"}) + "\x05");
  TAGGED g = goal("catch('$qread'(S, f, T), error(system_error(M), _), true)");
  qx_bind_plain(p.w, RefPtr(var("S")), term(s));
  ASSERT_EQ(run_goal(g), 1);
  EXPECT_EQ(TestProlog::show(var("M")), "Unknown quick load code");
  EXPECT_EQ(TestProlog::show(var("T")), "_");
  qx_flush_output(qx_eg.stream_user_error, 0);
  const std::string shown = "quick load code = 5 at position 5\n";
  std::string got(shown.size(), '\0');
  ASSERT_TRUE(await_bytes(peer[2], got.data(), got.size()));
  EXPECT_EQ(got, shown);
}

TEST_F(QLoad, BytecodeTokens)
{
  read_result r = qread(file(ql({"K3", "72", "4", "O5", "X2", "Y3", "-7", "65535", "+-2", "R7",
                                 "T4", "1", "2", "efF-0.5", "L-18446744073709551616", "", "L3"})));
  ASSERT_EQ(r.fault, "");
  emul_info *o = qx_eg.latest_bytecode;
  EXPECT_EQ(deref(r.term), (TAGGED)(uintptr_t)o | 3) << "the object's address with tag bits 11";
  EXPECT_EQ(o->objsize, 88u);
  EXPECT_EQ(o->filename, at("f.pl"));
  EXPECT_EQ(o->elsecode, failcode);
  unsigned char *code = (unsigned char *)o->emulcode;
  std::vector<unsigned char> want;
  auto h = [&](uint16_t v) {
    want.insert(want.end(), {(unsigned char)v, (unsigned char)(v >> 8)});
  };
  auto w = [&](uint32_t v) { h((uint16_t)v), h((uint16_t)(v >> 16)); };
  h(40), h(188), h(11), h((uint16_t)-7), h(65535), w((uint32_t)-2);
  w((uint32_t)(uintptr_t)(code + 6));
  h(5 << 3), h(1), h(2), w((uint32_t)(uintptr_t)(code + 4));
  w((uint32_t)(uintptr_t)elsecode), w((uint32_t)(uintptr_t)failcode);
  uint64_t bits;
  double half = -0.5;
  std::memcpy(&bits, &half, 8);
  w(QX_FLOAT_HEADER), w((uint32_t)bits), w((uint32_t)(bits >> 32)), w(QX_FLOAT_HEADER);
  w(BignumHeader(3)), w(0), w(0), w(0xFFFFFFFF), w(BignumHeader(3)); /* -2^64 */
  EXPECT_EQ(want.size(), 72u);
  EXPECT_EQ(latest_code(), want);
}

TEST_F(QLoad, EveryNaNTextGivesTheCanonicalNaN)
{
  for (const char *text : {"nan", "-nan", "NaN", "1.5NaN"}) {
    read_result r =
        qread(file(ql({"@4", "K0", "16", "4", std::string("F") + text, "", "E1", text, "L1"})));
    ASSERT_EQ(r.fault, "") << text;
    uint64_t inline_bits, term_bits;
    std::memcpy(&inline_bits, latest_code().data() + 4, 8);
    double d = FloatValue(deref(r.term));
    std::memcpy(&term_bits, &d, 8);
    EXPECT_EQ(inline_bits, CANONICAL_NAN) << text;
    EXPECT_EQ(term_bits, CANONICAL_NAN) << text;
  }
}

TEST_F(QLoad, ChainsOfAtomsAndPredicates)
{
  const std::string object = ql({"K0", "20", "4", "+4", "+12", "+0", "+0", "+0", ""});
  struct row {
    const char *name;
    std::string slot_and_chain;
    uint32_t (*value)();
  } rows[] = {
      {"atom", ql({"A1", "a", "M1", "0"}), [] { return (uint32_t)init_atom_check("a", 0); }},
      {"predicate of the type-in module",
       ql({"@3", "A0", "foo", "A1", "/", "B1", "1", "2", "C2", "2", "I3", "J1", "J0", "J2", "N3",
           "0"}),
       [] {
         return (uint32_t)(uintptr_t)insert_definition(qx_eg.typein_mod, init_atom_check("foo", 0),
                                                       2, 0);
       }},
      {"predicate of a named module",
       ql({"@6", "A0", "foo", "A1", "/",  "B1", "1",  "2",  "C2", "0",  "A4", "m",  "A5", ":",
           "B5", "5",  "2",   "I3", "J1", "J0", "J2", "I6", "J5", "J4", "J3", "N6", "0"}),
       [] {
         mod_def *m = find_module(init_atom_check("m", 0), 0);
         return m ? (uint32_t)(uintptr_t)insert_definition(m, init_atom_check("foo", 0), 0, 0) : 0u;
       }},
  };
  for (const row &r : rows) {
    ASSERT_EQ(qread(file(object + r.slot_and_chain + ql({"L0"}))).fault, "") << r.name;
    std::vector<unsigned char> code = latest_code();
    uint32_t words[5];
    std::memcpy(words, code.data(), sizeof words);
    uint32_t v = r.value();
    ASSERT_NE(v, 0u) << r.name;
    EXPECT_EQ(words[0], v) << r.name;
    EXPECT_EQ(words[1], v) << r.name;
    EXPECT_EQ(words[2], 0u) << r.name << ": not on the chain";
    EXPECT_EQ(words[3], v) << r.name;
    EXPECT_EQ(words[4], 0u) << r.name;
  }
}

TEST_F(QLoad, NestedLevelsAndWhoOwnsTheObjects)
{
  definition *d = insert_definition(qx_eg.user_module, at("compiled"), 0, 1);
  size_t before = qx_space_in_use(QX_SPACE_PROGRAM);
  push();
  EXPECT_EQ(read_one(ql({"A5", "outer", "K6", "4", "4", "", "L5"})), "outer");
  emul_info *outer_object = qx_eg.latest_bytecode;
  push();
  EXPECT_EQ(qx_eg.latest_bytecode, nullptr);
  EXPECT_EQ(read_one(ql({"A5", "inner", "L5"})), "inner");
  EXPECT_EQ(read_one(ql({"K7", "4", "4", "", "K8", "6", "4", "", "L5"})), "inner");
  emul_info *taken = qx_eg.latest_bytecode;
  update_exports(d, ENTER_COMPACTCODE);
  insert_compactcode(d, taken, 0, 0);
  pop();
  EXPECT_EQ(qx_first_compiled_clause(d), taken) << "a definition's object outlives its level";
  EXPECT_EQ(qx_space_in_use(QX_SPACE_PROGRAM) - before, outer_object->objsize + taken->objsize)
      << "the object nobody took is freed with its level";
  EXPECT_EQ(qx_eg.latest_bytecode, outer_object);
  EXPECT_EQ(read_one(ql({"L5"})), "outer");
  pop();
  EXPECT_EQ(qx_space_in_use(QX_SPACE_PROGRAM) - before, taken->objsize);
  EXPECT_EQ(read_one(ql({"L5"})), "fault: $qload: invalid bytecode token") << "a fresh start";
  EXPECT_EQ(p.run("compiled"), -1) << "a quick-load object is compiled code";
  EXPECT_EQ(exception(), "error(system_error(compiled code is not supported: "
                         "user:compiled/0),context(_,0))");
  before = qx_space_in_use(QX_SPACE_PROGRAM) - taken->objsize; /* the call made definitions */
  undefine_predicate(d);
  EXPECT_EQ(qx_space_in_use(QX_SPACE_PROGRAM), before);
  push();
  ASSERT_EQ(qread(file(ql({"K0", "4", "4", "", "L0"}))).fault, "");
  push();
  EXPECT_EQ(qx_space_in_use(QX_SPACE_PROGRAM), before + 20);
  qx_qload_deinit(); /* as the engine's shutdown (deinit_wam) does, with levels still pushed */
  EXPECT_EQ(qx_space_in_use(QX_SPACE_PROGRAM), before);
  EXPECT_EQ(qx_eg.qlstack, nullptr);
  EXPECT_EQ(qx_eg.qlarray, nullptr);
}

TEST_F(QLoad, SourcePositionsGoToTheTableUnlessTheFlagIsOff)
{
  static std::vector<std::string> calls;
  calls.clear();
  qx_eg.add_table_comp = [](void *address, TAGGED file, int32_t line) {
    calls.push_back(std::to_string((char *)address - (char *)qx_eg.latest_bytecode) + " " +
                    atom_name(file) + " " + std::to_string(line));
  };
  std::string bytes = ql({"K0", "8", "4", "", "d2", "17", "A0", "a", "L0"});
  qx_eg.current_source_info = at("on");
  EXPECT_EQ(read_one(bytes), "a");
  qx_eg.current_source_info = at("off");
  EXPECT_EQ(read_one(bytes), "a");
  EXPECT_EQ(calls, std::vector<std::string>{"6 f.pl 17"});
}

TEST_F(QLoad, OpenAndClose)
{
  EXPECT_EQ(qopen((scratch_dir() + "/missing").c_str()), nullptr);
  QX_stream *s = qopen(scratch_file("q_open", ql({"A0", "a", "L0"})).c_str());
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(qclose(s), 0);
}
