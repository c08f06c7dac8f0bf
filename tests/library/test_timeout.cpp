/* The timeout resource on a real virtual interval timer: the tick arithmetic, what each kind of
 * deadline and limit arms (read back with getitimer), bad arguments, and an interpreted loop that
 * the timer's signal ends with the exception time_out, raised on the engine thread. */
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>

#include "api_fixture.h"
#include "libres_test.h"

namespace {

itimerval armed_value()
{
  itimerval v;
  getitimer(ITIMER_VIRTUAL, &v);
  return v;
}
bool timer_is_zero()
{
  itimerval v = armed_value();
  return v.it_value.tv_sec == 0 && v.it_value.tv_usec == 0 && v.it_interval.tv_sec == 0 &&
         v.it_interval.tv_usec == 0;
}
void (*vtalrm_action())(int)
{
  struct sigaction sa;
  sigaction(SIGVTALRM, nullptr, &sa);
  return sa.sa_handler;
}
/* The kernel rounds the value armed up to its own tick, which getitimer then shows. */
constexpr long long KERNEL_TICK_SLACK_US = 20000;
/* Microseconds left on the armed timer. */
long long left_us()
{
  itimerval v = armed_value();
  return v.it_value.tv_sec * 1000000LL + v.it_value.tv_usec;
}

class Timeout : public ApiTest {
protected:
  Timeout() { block = libres_load(qx_main_QXENV_timeout); }
  ~Timeout() override { libres_unload(block); }
  QX_term_ref number(long long v) { return ref(std::to_string(v)); }
  std::string stop() { return show(to_stop_timer_a()); }

  QX_MAINFUN_PARAMS_STRUCT block;
};

TEST(TimeoutTicks, LimitsAreRaisedToATickAndRoundedUpToWholeTicks)
{
  EXPECT_EQ(to_ticks_per_second(0), 100);
  EXPECT_EQ(to_ticks_per_second(-1), 100);
  EXPECT_EQ(to_ticks_per_second(1), 1);
  EXPECT_EQ(to_ticks_per_second(250), 250);
  const struct {
    long ticks, limit, effective, sec, usec;
  } cases[] = {
      {100, 10, 11, 0, 20000},      {100, 11, 11, 0, 20000},
      {100, 0, 11, 0, 20000},       {100, -5, 11, 0, 20000},
      {100, 12, 12, 0, 20000},      {100, 21, 21, 0, 30000},
      {100, 1500, 1500, 1, 500000}, {100, 1000, 1000, 1, 0},
      {100, 999, 999, 1, 0},        {100, 2001, 2001, 2, 10000},
      {1000, 1, 2, 0, 2000},        {1000, 2, 2, 0, 2000},
      {1, 1, 1001, 2, 0},           {1, 1001, 1001, 2, 0},
      {1, 1002, 1002, 2, 0},        {3, 500, 500, 0, 666667},
      {64, 1500, 1500, 1, 500000},  {100, 86400000, 86400000, 86400, 0},
  };
  for (const auto &c : cases) {
    long effective = to_effective_limit(c.limit, c.ticks);
    EXPECT_EQ(effective, c.effective) << c.ticks << " " << c.limit;
    timeval v = to_timer_value(effective, c.ticks);
    EXPECT_EQ(v.tv_sec, c.sec) << c.ticks << " " << c.limit;
    EXPECT_EQ(v.tv_usec, c.usec) << c.ticks << " " << c.limit;
  }
}

TEST_F(Timeout, DeadlinesAndLimitsArmWhatTheyAsk)
{
  EXPECT_EQ(to_clocks_per_second(), to_ticks_per_second(sysconf(_SC_CLK_TCK)));
  EXPECT_EQ(stop(), "off");
  long now = to_timer_now();
  /* a deadline reached or passed: 1, nothing armed */
  for (long deadline : {now, now - 1, 0L}) {
    EXPECT_EQ(to_start_timer_a(number(deadline), number(100000)), 1) << deadline;
    EXPECT_TRUE(timer_is_zero());
    EXPECT_EQ(stop(), "off");
  }
  /* a limit alone: armed for it, expiry now + limit */
  long before = to_timer_now();
  ASSERT_EQ(to_start_timer_a(ref("none"), number(100000)), 0);
  long after = to_timer_now();
  EXPECT_GT(left_us(), 99000000);
  EXPECT_LE(left_us(), 100000000 + KERNEL_TICK_SLACK_US);
  EXPECT_NE(vtalrm_action(), SIG_IGN);
  long expiry = std::stol(stop());
  EXPECT_GE(expiry, before + 100000);
  EXPECT_LE(expiry, after + 100000);
  EXPECT_TRUE(timer_is_zero());
  EXPECT_EQ(vtalrm_action(), SIG_IGN);
  EXPECT_EQ(stop(), "off");
  /* a deadline alone: the timer fires at the deadline */
  long deadline = to_timer_now() + 200000;
  ASSERT_EQ(to_start_timer_a(number(deadline), ref("none")), 0);
  EXPECT_GT(left_us(), 150000000);
  EXPECT_EQ(stop(), std::to_string(deadline));
  /* the nearer of the two wins */
  ASSERT_EQ(to_start_timer_a(number(deadline), number(1500)), 0);
  EXPECT_LE(left_us(), 1500000 + KERNEL_TICK_SLACK_US);
  EXPECT_GT(left_us(), 1000000);
  ASSERT_EQ(to_start_timer_a(number(to_timer_now() + 30000), number(100000)), 0);
  EXPECT_LE(left_us(), 30000000 + KERNEL_TICK_SLACK_US);
  EXPECT_GT(left_us(), 20000000);
  /* neither: an armed timer is switched off */
  EXPECT_EQ(to_start_timer_a(ref("none"), ref("none")), 0);
  EXPECT_TRUE(timer_is_zero());
  EXPECT_EQ(stop(), "off");
  EXPECT_EQ(to_start_timer_a(ref("none"), ref("none")), 0);
}

TEST_F(Timeout, ArgumentsOtherThanIntegersAndAtomsGiveMinusOneAndArmNothing)
{
  const char *bad[] = {"1.5", "f(100)", "X", "[1]", "123456789012345678901234567890"};
  for (const char *text : bad) {
    EXPECT_EQ(to_start_timer_a(ref("none"), ref(text)), -1) << text;
    EXPECT_EQ(to_start_timer_a(ref(text), number(100000)), -1) << text;
    EXPECT_EQ(to_start_timer_a(ref(text), ref("none")), -1) << text;
    EXPECT_TRUE(timer_is_zero()) << text;
    EXPECT_EQ(stop(), "off");
  }
  /* a bad limit is reported even when the deadline has passed */
  EXPECT_EQ(to_start_timer_a(number(0), ref("2.0")), -1);
  /* a bad argument leaves an armed timer running */
  ASSERT_EQ(to_start_timer_a(ref("none"), number(100000)), 0);
  EXPECT_EQ(to_start_timer_a(ref("none"), ref("f(x)")), -1);
  EXPECT_FALSE(timer_is_zero());
  EXPECT_NE(stop(), "off");
}

TEST_F(Timeout, InterpretedLoopEndsWithTimeOutAndTheSignalIsIgnoredAgain)
{
  p.consult("spin :- spin.");
  ASSERT_EQ(to_start_timer_a(ref("none"), number(50)), 0);
  alarm(60); /* a timer that never fires ends the test instead of hanging it */
  EXPECT_EQ(run_goal(goal("catch(spin, E, note(caught(E)))")), 1);
  alarm(0);
  EXPECT_EQ(log(), "caught(time_out)");
  EXPECT_EQ(stop(), "off");
  EXPECT_EQ(vtalrm_action(), SIG_IGN);
  EXPECT_TRUE(timer_is_zero());
  /* armed again, it fires again; uncaught, the query ends with the exception */
  ASSERT_EQ(to_start_timer_a(ref("none"), number(20)), 0);
  alarm(60);
  EXPECT_EQ(run_goal(goal("spin")), -1);
  alarm(0);
  EXPECT_EQ(exception(), "time_out");
  EXPECT_EQ(stop(), "off");
  EXPECT_EQ(vtalrm_action(), SIG_IGN);
}

}  // namespace
