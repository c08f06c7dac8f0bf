/* The random resource against an independent oracle: the seeds after n steps by modular
 * exponentiation, the float by division; the refused states, the biased coin and the bit
 * generator. */
#include <cmath>

#include "libres_test.h"

namespace {

/* base^n mod m. */
uint64_t pow_mod(uint64_t base, uint64_t n, uint64_t m)
{
  uint64_t result = 1;
  for (base %= m; n; n >>= 1, base = base * base % m)
    if (n & 1) result = result * base % m;
  return result;
}

/* The Wichmann-Hill state n steps after (x0, y0, z0), and its float. */
struct wh_oracle {
  uint64_t x0, y0, z0;
  long x(uint64_t n) const { return (long)(x0 * pow_mod(171, n, 30269) % 30269); }
  long y(uint64_t n) const { return (long)(y0 * pow_mod(172, n, 30307) % 30307); }
  long z(uint64_t n) const { return (long)(z0 * pow_mod(170, n, 30323) % 30323); }
  double sum(uint64_t n) const { return x(n) / 30269.0 + y(n) / 30307.0 + z(n) / 30323.0; }
  double value(uint64_t n) const { return std::fmod(sum(n), 1.0); }
};
const wh_oracle initial_seeds{27134, 9213, 17773};

struct state {
  long x, y, z, b;
  bool operator==(const state &o) const { return x == o.x && y == o.y && z == o.z && b == o.b; }
};
state get()
{
  state s;
  ZKRget(&s.x, &s.y, &s.z, &s.b);
  return s;
}

class Random : public ::testing::Test {
protected:
  Random() { block = libres_load(qx_main_QXENV_random); }
  QX_MAINFUN_PARAMS_STRUCT block;
};

TEST_F(Random, FirstFloatAndTenThousandMoreFollowTheOracle)
{
  double first = ZKRnxt();
  EXPECT_EQ(get(), (state{8757, 8672, 19433, 425005073}));
  EXPECT_NEAR(first, 0.216311, 1e-6);
  for (uint64_t n = 2; n <= 10000; n++) {
    double v = ZKRnxt();
    state s = get();
    ASSERT_EQ(s, (state{initial_seeds.x(n), initial_seeds.y(n), initial_seeds.z(n), 425005073}))
        << n;
    ASSERT_NEAR(v, initial_seeds.value(n), 1e-12) << n;
    ASSERT_TRUE(v >= 0.0 && v < 1.0) << n;
  }
  /* init starts the sequence again */
  libres_unload(block);
  block = libres_load(qx_main_QXENV_random);
  EXPECT_NEAR(ZKRnxt(), first, 0.0);
}

TEST_F(Random, PutRefusesZerosAndOutOfRangeSeedsAndChangesNothing)
{
  const long refused[][4] = {
      {30269, 1, 1, 1}, {0, 1, 1, 1},     {1, 0, 1, 1},  {1, 1, 0, 1},      {1, 1, 1, 0},
      {1, 30307, 1, 1}, {1, 1, 30323, 1}, {-1, 1, 1, 1}, {1, -30306, 1, 1}, {1, 1, 40000, 1},
  };
  ZKRnxt();
  state before = get();
  for (const auto &r : refused) {
    EXPECT_EQ(ZKRput(r[0], r[1], r[2], r[3]), 0) << r[0] << " " << r[1] << " " << r[2];
    EXPECT_EQ(get(), before);
  }
  const struct {
    long x, y, z, b, b_after;
  } accepted[] = {
      {30268, 30306, 30322, -1, 0x3FFFFFFF},
      {1, 1, 1, 0x7FFFFFFF, 0x3FFFFFFF},
      {5, 6, 7, (long)0xC0000001u, 1},
      {5, 6, 7, 0x40000000, 0}, /* accepted although b becomes 0 */
  };
  for (const auto &a : accepted) {
    EXPECT_EQ(ZKRput(a.x, a.y, a.z, a.b), 1) << a.b;
    EXPECT_EQ(get(), (state{a.x, a.y, a.z, a.b_after}));
  }
  /* a put state repeats its sequence */
  ASSERT_EQ(ZKRput(1234, 5678, 9012, 1), 1);
  const wh_oracle put_seeds{1234, 5678, 9012};
  for (uint64_t n = 1; n <= 100; n++) ASSERT_NEAR(ZKRnxt(), put_seeds.value(n), 1e-12) << n;
}

TEST_F(Random, CoinIsZeroForNoChanceOneForCertaintyAndStepsEveryTime)
{
  const long qs[] = {1, 2, 7, 30000, 1000000, 0x7FFFFFFF};
  uint64_t steps = 0;
  auto expect_step = [&](const char *what) {
    steps++;
    EXPECT_EQ(get(), (state{initial_seeds.x(steps), initial_seeds.y(steps), initial_seeds.z(steps),
                            425005073}))
        << what;
  };
  for (long q : qs) {
    EXPECT_EQ(ZKRmyb(0, q), 0) << q;
    expect_step("0/q");
    EXPECT_EQ(ZKRmyb(q, q), 1) << q;
    expect_step("q/q");
    EXPECT_EQ(ZKRmyb((long)((unsigned long)q + 1), q), 0) << q;
    expect_step("p > q");
  }
  /* p and q compare as unsigned: -1 is above every q */
  EXPECT_EQ(ZKRmyb(-1, 5), 0);
  expect_step("-1/5");
  /* no chance out of nothing: 0, and the generator still steps */
  EXPECT_EQ(ZKRmyb(0, 0), 0);
  expect_step("0/0");
  /* a biased coin against the oracle's sum: 1 when p > (q * s truncated) mod q */
  int ones = 0;
  for (int i = 0; i < 20000; i++) {
    long got = ZKRmyb(1, 4);
    steps++;
    uint64_t r = (uint64_t)(4 * initial_seeds.sum(steps));
    ASSERT_EQ(got, 1 > (long)(r % 4) ? 1 : 0) << i;
    ones += (int)got;
  }
  EXPECT_NEAR(ones / 20000.0, 0.25, 0.02);
}

TEST_F(Random, BitGeneratorShiftsAndFeedsBackAtBitThirty)
{
  ASSERT_EQ(ZKRput(1, 1, 1, 0x20000000), 1);
  const struct {
    long bit, b_after;
  } steps[] = {
      {1, 0x40000047},        /* doubled to 0x40000000: bit 30 set, xor 71 */
      {0, (long)0x8000008Eu}, /* bit 31 now, 30 clear */
      {0, 0x0000011C},        /* bit 31 shifted out */
      {0, 0x00000238},
  };
  for (const auto &s : steps) {
    EXPECT_EQ(ZKRbit(), s.bit);
    EXPECT_EQ(get().b, s.b_after);
  }
  /* The bits do not touch the seeds. */
  EXPECT_EQ(get().x, 1);
}

}  // namespace
