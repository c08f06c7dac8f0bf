/* The three library resources linked in as the launcher links them: loaded by
 * load_foreign_resource/1 from any directory, called as Prolog predicates through the foreign
 * glue and the public dispatch table, and unloaded. */
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

#include "stream_fixture.h"
#include "foreign_interface.h"
#include "qxlibres.h"
#include "scratch_root.h"

namespace {

const char *const pre_map[] = {"timeout", "codesio", "random", nullptr};
const QX_pre_linkage_fn pre_linkage[] = {qx_main_QXENV_timeout, qx_main_QXENV_codesio,
                                         qx_main_QXENV_random, nullptr};
const qx_foreign_interface *const interfaces[] = {&qx_timeout_interface, &qx_codesio_interface,
                                                  &qx_random_interface, nullptr};

class LinkedResources : public StreamTest {
protected:
  LinkedResources()
  {
    qx_set_linked_resources(pre_map, pre_linkage);
    qx_set_linked_interfaces(interfaces);
  }
  ~LinkedResources() override
  {
    qx_set_linked_interfaces(nullptr);
    qx_set_linked_resources(nullptr, nullptr);
  }
};

}  // namespace

TEST_F(LinkedResources, LoadRunAndUnloadThroughProlog)
{
  for (const char *file : {"'/no/such/dir/random.so'", "timeout", "'lib/codesio.so'"})
    ASSERT_EQ(p.run(std::string("load_foreign_resource(") + file + ")"), 1)
        << file << " " << exception();
  ASSERT_EQ(p.run("(loaded_resource(R), note(R), fail ; true)"), 1);
  EXPECT_EQ(log(), "random,timeout,codesio");
  /* random: the generator's first step from its initial seeds */
  ASSERT_EQ(p.run("'ZKRnxt'(F), 'ZKRget'(X, Y, Z, _)"), 1) << exception();
  EXPECT_EQ(p.var("X") + " " + p.var("Y") + " " + p.var("Z"), "8757 8672 19433");
  EXPECT_EQ(p.var("F").substr(0, 8), "0.216311");
  EXPECT_EQ(p.run("'ZKRmyb'(0, 0, R), R == 0, 'ZKRput'(30269, 1, 1, 1, 0)"), 1) << exception();
  /* codesio: a write stream collected as codes, a read stream over a text */
  ASSERT_EQ(p.run("'$open_buf_stream'(S), '$stream_to_codes'(S, C, T)"), 1) << exception();
  EXPECT_EQ(p.var("C"), p.var("T")) << "nothing written: Codes = Tail";
  ASSERT_EQ(p.run("'$codes_to_stream'(abc, S), S \\== 0"), 1) << exception();
  /* timeout: a deadline already passed arms nothing */
  ASSERT_EQ(p.run("'$timer_now'(N), N >= 0, '$start_timer_a'(0, off, R), '$stop_timer_a'(O)"), 1)
      << exception();
  EXPECT_EQ(p.var("R") + " " + p.var("O"), "1 off");
  ASSERT_EQ(p.run("'$start_timer_a'(none, 100000, 0)"), 1) << exception();
  /* a state saved now lists the loaded resources in its header */
  std::string path = qx_scratch_root() + "/qx_libres.sav";
  ASSERT_EQ(p.run(std::string("'$save'('") + path + "', 0, x)"), 1) << exception();
  std::ifstream in(path, std::ios::binary);
  std::string header((std::istreambuf_iterator<char>(in)), {});
  unlink(path.c_str());
  EXPECT_NE(
      header.find("\n# FR: \"random\"\n# FR: \"timeout\"\n# FR: \"codesio\"\n# META_INFO END\n"),
      std::string::npos)
      << header.substr(0, 300);
  for (const char *name : {"random", "timeout", "codesio"})
    EXPECT_EQ(p.run(std::string("unload_foreign_resource(") + name + ")"), 1) << name;
  EXPECT_EQ(p.run("loaded_resource(_)"), 0);
  EXPECT_EQ(p.run("catch('ZKRnxt'(_), error(existence_error(procedure, _), _), true)"), 1)
      << "unloading undefines the resource's predicates";
  struct sigaction sa;
  sigaction(SIGVTALRM, nullptr, &sa);
  EXPECT_EQ(sa.sa_handler, SIG_IGN) << "the timer is off after the resource is gone";
  itimerval left;
  getitimer(ITIMER_VIRTUAL, &left);
  EXPECT_EQ(left.it_value.tv_sec + left.it_value.tv_usec, 0);
}
