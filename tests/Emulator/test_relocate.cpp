/* The walk over compiled code, driven by a test instruction table in which instruction n has
 * format n (5 is the try chain), so that every operand kind can be written down directly. Code
 * is written as the saver wrote it (its byte order, its instruction-word form) by an emitter of
 * the test, and compared with what this emulator's form of the same clause must be. */
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "insns.h"
#include "relocate.h"
#include "test_engine.h"
#include "wam.h"

namespace {

constexpr int LEAVES_P = 23;    /* "p", class 0: a call that leaves the clause */
constexpr int LEAVES_NONE = 12; /* no operands, class 0 */
constexpr int UNKNOWN_INSN = 300;

struct test_tables {
  std::array<uint8_t, QX_INSTRUCTIONS> fmt, cls;
  qx_insn_tables t;
  test_tables()
  {
    fmt.fill(QX_INSN_UNKNOWN);
    cls.fill(QX_INSN_CLASS_STAYS);
    for (int i = 6; i <= 111; i++) fmt[i] = (uint8_t)i;
    fmt[QX_INSN_TRY] = QX_INSN_FMT_TRY;
    cls[LEAVES_P] = cls[LEAVES_NONE] = QX_INSN_CLASS_LEAVES;
    t = {fmt.data(), cls.data(), QX_INSTRUCTIONS};
  }
};
const test_tables tables;

/* Writes code in a given byte order and instruction-word shift. */
struct emitter {
  bool big;
  unsigned shift;
  std::vector<unsigned char> bytes;
  void h(uint16_t v)
  {
    unsigned char b[2] = {(unsigned char)(big ? v >> 8 : v), (unsigned char)(big ? v : v >> 8)};
    bytes.insert(bytes.end(), b, b + 2);
  }
  void w(uint32_t v)
  {
    for (int i = 0; i < 4; i++) bytes.push_back((unsigned char)(v >> 8 * (big ? 3 - i : i)));
  }
  void insn(int number) { h((uint16_t)(number << shift)); }
  void dbl(double d) /* header, payload as the writer's memory holds a double, header */
  {
    uint64_t bits;
    std::memcpy(&bits, &d, 8);
    w(QX_FLOAT_HEADER);
    w(big ? (uint32_t)(bits >> 32) : (uint32_t)bits);
    w(big ? (uint32_t)bits : (uint32_t)(bits >> 32));
    w(QX_FLOAT_HEADER);
  }
  size_t at() const { return bytes.size(); }
};

struct seen {
  size_t offset;
  uint32_t key;
  int kind;
  bool operator==(const seen &) const = default;
};
struct visit_log {
  const unsigned char *code;
  std::vector<seen> calls;
};

/* Records each call; atoms are translated by adding 8 (the next atom), as a restore would. */
void record(void *cell, uint32_t key, void *info, int kind)
{
  visit_log *log = (visit_log *)info;
  log->calls.push_back({(size_t)((unsigned char *)cell - log->code), key, kind});
  if (kind == QX_REL_ATOM) {
    uint32_t translated = key + 8;
    std::memcpy(cell, &translated, 4);
  }
}

constexpr uint32_t SAVED_START = 0x20000000; /* where the saver's code began */
constexpr uint32_t SAVED_FAIL = 0x30000040;  /* the saver's failure code */
constexpr uint32_t PREDICATE = 0x40000080;   /* a predicate of the saver */
const uint32_t ATOM = MakeAtom(100), FUNCTOR = MakeFunctor(MakeAtom(101), 3);

/* Saved and restore masks: threaded 0 (shift 1) or 2 (shift 3), xoffset 40 or 45. */
uint32_t mask(bool big, unsigned threaded, unsigned xoffset)
{
  return 2 | (big ? 4 : 0) | threaded << 5 | xoffset << 12;
}

class Relocate : public ::testing::Test {
protected:
  TestEngine engine;
  emul_info *clause = nullptr;
  ~Relocate() override { qx_free_emul_info(clause); }

  unsigned char *load(const emitter &e)
  {
    qx_free_emul_info(clause);
    clause = qx_alloc_emul_info((uint32_t)(16 + e.bytes.size()));
    std::memcpy(clause->emulcode, e.bytes.data(), e.bytes.size());
    return (unsigned char *)clause->emulcode;
  }
  int32_t delta(const emitter &e)
  {
    return (int32_t)((uintptr_t)clause + clause->objsize - (SAVED_START + e.bytes.size()));
  }
};

/* Where every_kind put the operands that are patched or called back. */
struct marks {
  size_t label_fix[2], atom, functor, predicate[2], number;
};

/* Every operand kind, in the saver's form; the try chain and the later alternative point to a
 * label after the last instruction, so the walk runs past the class-0 call before it. */
void every_kind(emitter &e, marks &m)
{
  size_t *label_fix = m.label_fix;
  e.insn(72), e.w(SAVED_FAIL);      /* a: failure code */
  e.insn(72), e.w(SAVED_START + 2); /* a: before the first try chain: else-code */
  e.insn(5), e.h(1), e.h(2);        /* try chain to the label */
  label_fix[0] = e.at(), e.w(0);
  e.insn(72), label_fix[1] = e.at(), e.w(0);                      /* a: a label now */
  e.insn(38), e.h(7), m.atom = e.at(), e.w(ATOM);                 /* h c: atom */
  e.insn(38), e.h(8), e.w(MakeSmall(-5));                         /* a small integer is no atom */
  e.insn(47), e.h(9), e.h(180), m.functor = e.at(), e.w(FUNCTOR); /* h x c */
  e.insn(LEAVES_P), m.predicate[0] = e.at(), e.w(PREDICATE); /* p: leaves; a label lies beyond */
  e.insn(30), e.h(3), e.w(SAVED_START + 4);                  /* h p: inside the clause: a label */
  e.insn(32), e.h(4), e.w(0xDEADBEEF);                       /* h z */
  e.insn(26), e.w(0x11111111), e.w(0x22222222);              /* Z */
  e.insn(27), m.number = e.at(), e.dbl(-2.5);                /* n: float */
  e.insn(79), e.h(200), e.w(BignumHeader(2)), e.w(0x89ABCDEF), e.w(0x01234567),
      e.w(BignumHeader(2)); /* x n: bignum of two limbs */
  e.insn(24), e.h(2 << 8 | 0x55), e.h(0xA1A2), e.h(0xB1B2), m.predicate[1] = e.at(), e.w(PREDICATE),
                                                            e.h(6); /* L p h */
  e.insn(74), e.h(3), e.h(0x0102), e.h(0x0304); /* K: count 3, two words unswapped */
  e.insn(110), e.h(2), e.h(0x0A0B), e.h(184), e.h(0x0C0D), e.h(188); /* P */
  e.insn(41), e.h(5), e.w(0x12345678), e.w(SAVED_FAIL);              /* h w a */
  e.insn(88), e.h(192), e.h(196);                                    /* x x */
}

void fix_labels(emitter &e, const marks &m, uint32_t label)
{
  emitter patch{e.big, e.shift, {}};
  patch.w(label);
  for (size_t at : m.label_fix) std::memcpy(&e.bytes[at], patch.bytes.data(), 4);
}

/* This emulator's form of every_kind (atoms translated by the callback's +8), from the same
 * description, in this machine's order and shift 3. */
std::vector<unsigned char> expected_every_kind(uintptr_t start, int xmove, size_t label_at,
                                               bool big)
{
  emitter e{false, 3, {}};
  uint32_t label = (uint32_t)(start + label_at);
  e.insn(72), e.w((uint32_t)(uintptr_t)failcode);
  e.insn(72), e.w((uint32_t)(uintptr_t)elsecode);
  e.insn(5), e.h(1), e.h(2), e.w(label);
  e.insn(72), e.w(label);
  e.insn(38), e.h(7), e.w(ATOM + 8);
  e.insn(38), e.h(8), e.w(MakeSmall(-5));
  e.insn(47), e.h(9), e.h((uint16_t)(180 + xmove)), e.w(FUNCTOR + 8);
  e.insn(LEAVES_P), e.w(PREDICATE);
  e.insn(30), e.h(3), e.w((uint32_t)start + 4);
  e.insn(32), e.h(4), e.w(0);
  e.insn(26), e.w(0), e.w(0);
  e.insn(27), e.dbl(-2.5);
  e.insn(79), e.h((uint16_t)(200 + xmove)), e.w(BignumHeader(2)), e.w(0x89ABCDEF), e.w(0x01234567),
      e.w(BignumHeader(2));
  e.insn(24), e.h(2 << 8 | 0x55), e.h(0xA1A2), e.h(0xB1B2), e.w(PREDICATE), e.h(6);
  e.insn(74), e.h(3), e.h(big ? 0x0201 : 0x0102), e.h(big ? 0x0403 : 0x0304); /* unswapped */
  e.insn(110), e.h(2), e.h(0x0A0B), e.h((uint16_t)(184 + xmove)), e.h(0x0C0D),
      e.h((uint16_t)(188 + xmove));
  e.insn(41), e.h(5), e.w(0x12345678), e.w((uint32_t)(uintptr_t)failcode);
  e.insn(88), e.h((uint16_t)(192 + xmove)), e.h((uint16_t)(196 + xmove));
  EXPECT_EQ(e.at(), label_at);
  return e.bytes;
}

}  // namespace

TEST_F(Relocate, EveryOperandKindInBothByteOrdersAndWordForms)
{
  struct row {
    bool big;
    unsigned threaded, xoffset;
  } rows[] = {{false, 2, 45}, {false, 0, 40}, {true, 0, 40}, {true, 2, 45}};
  uint32_t own = mask(false, 2, 45);
  for (const row &r : rows) {
    SCOPED_TRACE(testing::Message() << "big " << r.big << " threaded " << r.threaded);
    emitter e{r.big, r.threaded ? 3u : 1u, {}};
    marks m;
    every_kind(e, m);
    size_t label_at = e.at(); /* the label: the last instruction */
    e.insn(88), e.h(100), e.h(104);
    fix_labels(e, m, SAVED_START + (uint32_t)label_at);
    unsigned char *code = load(e);
    visit_log log{code, {}};
    ASSERT_EQ(relocate_emul_data(clause, delta(e), SAVED_FAIL, record,
                                 mask(r.big, r.threaded, r.xoffset), own, &log, tables.t),
              1);
    std::vector<unsigned char> want =
        expected_every_kind((uintptr_t)code, 4 * (45 - (int)r.xoffset), label_at, r.big);
    {
      emitter tail{false, 3, {}};
      int xmove = 4 * (45 - (int)r.xoffset);
      tail.insn(88), tail.h((uint16_t)(100 + xmove)), tail.h((uint16_t)(104 + xmove));
      want.insert(want.end(), tail.bytes.begin(), tail.bytes.end());
    }
    EXPECT_EQ(std::vector<unsigned char>(code, code + e.at()), want);
    double value;
    std::memcpy(&value, code + m.number + 4, 8);
    EXPECT_EQ(value, -2.5);
    const std::vector<seen> calls = {{m.atom, ATOM, QX_REL_ATOM},
                                     {m.functor, FUNCTOR, QX_REL_ATOM},
                                     {m.predicate[0], PREDICATE, QX_REL_PREDICATE},
                                     {m.predicate[1], PREDICATE, QX_REL_PREDICATE}};
    EXPECT_EQ(log.calls, calls);
  }
}

TEST_F(Relocate, StopRuleAfterAnInstructionThatLeavesTheClause)
{
  struct row {
    const char *name;
    bool label_beyond;
    int after; /* the instruction after the one that leaves */
    int walked;
  } rows[] = {
      {"no label beyond: the walk stops before an unknown instruction", false, UNKNOWN_INSN, 1},
      {"a label beyond: the walk goes on and meets it", true, UNKNOWN_INSN, 0},
      {"a label beyond: the register after is moved", true, 13, 1},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    emitter e{false, 1, {}};
    e.insn(5), e.h(0), e.h(0);
    size_t fix = e.at();
    e.w(SAVED_START); /* the try's alternative: rewritten below */
    e.insn(LEAVES_NONE);
    size_t after = e.at();
    e.insn(r.after), e.h(180);
    emitter patch{false, 1, {}};
    patch.w(SAVED_START + (uint32_t)(r.label_beyond ? after : 0));
    std::memcpy(&e.bytes[fix], patch.bytes.data(), 4);
    unsigned char *code = load(e);
    std::vector<unsigned char> before(code, code + e.at());
    EXPECT_EQ(relocate_emul_data(clause, delta(e), SAVED_FAIL, record, mask(false, 0, 40),
                                 mask(false, 2, 45), nullptr, tables.t),
              r.walked);
    uint16_t reg;
    std::memcpy(&reg, code + after + 2, 2);
    if (r.walked == 0)
      EXPECT_EQ(std::vector<unsigned char>(code, code + e.at()), before) << "nothing changed";
    else
      EXPECT_EQ(reg, r.after == 13 ? 200 : 180);
  }
}

TEST_F(Relocate, CodeThatCannotBeWalkedIsLeftAsItWas)
{
  struct row {
    const char *name;
    void (*emit)(emitter &);
    bool engine_tables;
  } rows[] = {
      {"an operand past the end", [](emitter &e) { e.insn(13), e.insn(40), e.h(1), e.h(2); },
       false},
      {"a number without a box header", [](emitter &e) { e.insn(13), e.h(1), e.insn(27), e.w(5); },
       false},
      {"a box longer than the code",
       [](emitter &e) { e.insn(27), e.w(BignumHeader(9)), e.w(1), e.w(2); }, false},
      {"an instruction number past the table", [](emitter &e) { e.insn(13), e.h(1), e.h(0xFFFF); },
       false},
      {"the engine's table knows no other instruction",
       [](emitter &e) {
         e.insn(5), e.h(0), e.h(0), e.w(SAVED_START), e.insn(38), e.h(1), e.w(ATOM);
       },
       true},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    emitter e{false, 3, {}};
    r.emit(e);
    unsigned char *code = load(e);
    std::vector<unsigned char> before(code, code + e.at());
    visit_log log{code, {}};
    const qx_insn_tables &t = r.engine_tables ? qx_engine_insn_tables : tables.t;
    EXPECT_EQ(relocate_emul_data(clause, delta(e), SAVED_FAIL, record, mask(true, 0, 40),
                                 mask(false, 2, 45), &log, t),
              0);
    EXPECT_EQ(scan_code(clause, record, &log, t), 0);
    EXPECT_EQ(std::vector<unsigned char>(code, code + e.at()), before);
    EXPECT_TRUE(log.calls.empty());
  }
  emitter e{false, 3, {}};
  e.insn(5), e.h(0), e.h(0), e.w(SAVED_START);
  load(e);
  EXPECT_EQ(relocate_emul_data(clause, delta(e), SAVED_FAIL, record, mask(false, 2, 45),
                               mask(false, 2, 45), nullptr),
            1)
      << "the engine's table walks a lone try chain";
}

TEST_F(Relocate, ScanVisitsReferencesWithoutChangingTheCode)
{
  emitter e{false, 3, {}};
  e.insn(72), e.w(0x1234);                  /* else-code position: not a label */
  e.insn(94), e.w(ATOM), e.w(MakeSmall(3)); /* c c */
  e.insn(25), e.w(77);                      /* z: kept by a scan */
  e.insn(LEAVES_P), e.w(PREDICATE);
  e.insn(UNKNOWN_INSN); /* past the stop: never decoded */
  unsigned char *code = load(e);
  std::vector<unsigned char> before(code, code + e.at());
  visit_log log{code, {}};
  auto keep = [](void *cell, uint32_t key, void *info, int kind) {
    ((visit_log *)info)
        ->calls.push_back({(size_t)((unsigned char *)cell - ((visit_log *)info)->code), key, kind});
  };
  ASSERT_EQ(scan_code(clause, keep, &log, tables.t), 1);
  EXPECT_EQ(std::vector<unsigned char>(code, code + e.at()), before);
  const std::vector<seen> calls = {{8, ATOM, QX_REL_ATOM}, {24, PREDICATE, QX_REL_PREDICATE}};
  EXPECT_EQ(log.calls, calls);
}
