/* The development-environment link: tunnelled streams opened from Prolog, and the input listener
 * fed through a real pipe, by the test and by a child process. */
#include <sys/wait.h>

#include "stream_fixture.h"
#include "stream_kinds_fixture.h"

namespace {

int interrupts_handled;
int t_control_c(worker *)
{
  interrupts_handled++;
  return 1;
}

}  // namespace

class DevlinkTest : public StreamTest {
protected:
  DevlinkTest()
  {
    native("control_c_handler", 0, t_control_c);
    qx_reset_ctrlc_pending();
    qx_reset_debugger_trap();
    interrupts_handled = 0;
  }
  ~DevlinkTest() override
  {
    qx_reset_ctrlc_pending();
    qx_reset_debugger_trap();
  }

  /* Runs engine events and collects the pipe's codes until it holds `until` codes, or (with 0)
   * until its end of file. */
  std::u32string pump(QX_stream *pipe, size_t until)
  {
    std::u32string got;
    for (;;) {
      EXPECT_EQ(p.run("true"), 1);
      for (int c; (c = qx_get_code_helper(pipe, 0x1)) >= 0;) got.push_back((char32_t)c);
      if (until ? got.size() >= until : qx_get_code_helper(pipe, 0x1) == -1) return got;
      /* Wait for the listener's wake-up (or a short while). */
      const qxio_t_timespec pause = {0, 20000000};
      QX_select(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &pause, 0);
    }
  }

  /* A listener over a fresh pipe: the stream, the pipe Prolog reads, and the test's write end. */
  QX_stream *listen(int *write_end)
  {
    int ends[2];
    EXPECT_EQ(pipe2(ends, O_CLOEXEC), 0);
    *write_end = ends[1];
    QX_stream *in = stream_over_fd(ends[0], QX_SC_INPUT);
    TAGGED pipe = fresh();
    EXPECT_EQ(call("$add_stream_listener", {term(in), pipe}).rc, 1);
    int64_t address = 0;
    EXPECT_TRUE(qx_get_int64(deref(pipe), &address));
    return find_stream((QX_stream *)(intptr_t)address);
  }
};

TEST_F(DevlinkTest, ForwardsLinesWholeReactsToSuspendRequestsAndEndsWithItsInput)
{
  Watchdog dog("the development link's listener");
  int w = -1;
  QX_stream *pipe = listen(&w);
  ASSERT_NE(pipe, nullptr);
  /* A partial line stays back until its line feed comes. */
  ASSERT_EQ(write(w, "first\npar", 9), 9);
  EXPECT_EQ(pump(pipe, 6), U"first\n");
  EXPECT_EQ(qx_get_code_helper(pipe, 0x1), QXIO_E_WOULD_BLOCK);
  ASSERT_EQ(write(w, "tial\n", 5), 5);
  EXPECT_EQ(pump(pipe, 8), U"partial\n");
  EXPECT_EQ(qx_get_ctrlc_pending(), 0);
  /* The rest comes from a child process, which then ends the input. */
  const char *lines = "\xC3\xA9 \xF0\x9F\x98\x80\n"
                      "REQUEST 17 suspend now\n"
                      "REQUEST suspend\n"
                      "REQUEST17 suspend\n"
                      "REQUEST \t 17\t suspend\n";
  pid_t pid = fork();
  if (pid == 0) _exit(write(w, lines, std::strlen(lines)) < 0);
  close(w);
  int status = 0;
  waitpid(pid, &status, 0);
  std::u32string rest = pump(pipe, 0);
  EXPECT_EQ(rest, U"é 😀\nREQUEST 17 suspend now\nREQUEST suspend\nREQUEST17 suspend\n"
                  U"REQUEST \t 17\t suspend\n");
  EXPECT_EQ(qx_get_ctrlc_pending(), 1) << "only the last line is a request";
  EXPECT_EQ(interrupts_handled, 1);
  EXPECT_FALSE(qx_debugger_trap_pending());
  qx_fclose_internal(pipe, 0);
}

TEST_F(DevlinkTest, SuspendRequestSetsTheDebuggerTrapWhenAskedTo)
{
  Watchdog dog("the development link's listener");
  ASSERT_GE(QX_set_system_property("TALPIX_SUSPEND_REQUEST_TRACE", "true", 0), 0);
  char *v = qxio_get_system_property_allocate("TALPIX_SUSPEND_REQUEST_TRACE", 0);
  ASSERT_NE(v, nullptr);
  EXPECT_STREQ(v, "true");
  qxio_free(v);
  int w = -1;
  QX_stream *pipe = listen(&w);
  ASSERT_NE(pipe, nullptr);
  ASSERT_EQ(write(w, "REQUEST 17 suspend\n", 19), 19);
  close(w);
  EXPECT_EQ(pump(pipe, 0), U"REQUEST 17 suspend\n");
  EXPECT_TRUE(qx_debugger_trap_pending());
  EXPECT_EQ(qx_get_ctrlc_pending(), 0);
  QX_set_system_property("TALPIX_SUSPEND_REQUEST_TRACE", "false", 0);
  qx_fclose_internal(pipe, 0);
  EXPECT_EQ(qx_action(2, nullptr), 0);
}

TEST_F(DevlinkTest, OpenTunnelStreamChecksItsArgumentsQuietly)
{
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  QX_stream *carrier = stream_over_fd(ends[1], QX_SC_OUTPUT);
  TAGGED tunnel = fresh();
  ASSERT_EQ(call("$open_tunnel_stream", {term(carrier), at("t1"), MakeSmall(3), tunnel}).rc, 1);
  int64_t address = 0;
  ASSERT_TRUE(qx_get_int64(deref(tunnel), &address));
  QX_stream *t = find_stream((QX_stream *)(intptr_t)address);
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE((t->mode & QX_SM_INTERACTIVE) && (t->mode & QX_SM_STANDARD));
  ASSERT_EQ(QX_put_codes(t, (const uint32_t[]){'o', 'k'}, 2, 0), 0);
  ASSERT_EQ(QX_flush_output(t, 0), 0);
  EXPECT_EQ(drain(ends[0]), "TUNNEL APPEND t1 ok\n");
  TAGGED bad[][3] = {{term(qx_eg.stream_user_input), at("t"), MakeSmall(0)},
                     {term(carrier), MakeSmall(1), MakeSmall(0)},
                     {term(carrier), at("t"), MakeSmall(-1)}};
  for (auto &b : bad) {
    bi_call r = call("$open_tunnel_stream", {b[0], b[1], b[2], fresh()});
    EXPECT_EQ(r.rc, 0);
    EXPECT_FALSE(r.raised);
  }
  qx_fclose_internal(t, QX_FC_STANDARD);
  qx_fclose_internal(carrier, 0);
  close(ends[0]);
}
