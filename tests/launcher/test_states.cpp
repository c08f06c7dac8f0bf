/* The launcher's generated saved states: their headers, what they restore into a fresh engine
 * (each in a child process), and their linked-in form read back through the resource table. */
#include <sys/stat.h>

#include "fd_kernel.h"
#include "linked_resources.h"
#include "qxlibres.h"
#include "scratch_files.h"
#include "stand_in.h"
#include "stream_fixture.h"
#include "test_fork.h"
#include "unify.h"

namespace {

const std::string runtime_file = std::string(QX_STATES_DIR) + "/qxrt.sav";
const std::string app_file = std::string(QX_STATES_DIR) + "/tavro/tavro.sav";

/* An engine with every built-in and the user streams over pipes. */
class StatesEngine : public StreamTest {
public:
  void TestBody() override {}
  using StreamTest::peer;
  int run(const std::string &text) { return run_goal(goal(text)); }
  std::string ball() { return exception(); }
  std::string printed()
  {
    QX_flush_output(qx_eg.stream_user_output, 0);
    return drain(peer[1]);
  }
  int attr_slot(const char *module) { return find_module(init_atom_check(module, 0), 1)->attr_no; }
};

}  // namespace

TEST(GeneratedStates, HeadersNameTheirKinds)
{
  for (auto [file, mask] : {std::pair{runtime_file, "0x2dc5a"}, std::pair{app_file, "0x2d85a"}}) {
    std::string bytes = file_bytes(file);
    size_t end = bytes.find("# META_INFO END\n");
    ASSERT_NE(end, std::string::npos) << file;
    size_t line = end + 16;
    EXPECT_EQ(bytes.substr(line, bytes.find('\n', line) + 1 - line),
              std::string("version=3 archmask=") + mask + "\n")
        << file;
  }
}

/* The application state, from its file and from the linked-in resource, restored into a fresh
 * engine: main/0 is a dynamic predicate of module prolog and takes each exit path, and the
 * clpfd module has its attribute slot again. The runtime state restores beside it. */
TEST(GeneratedStates, ApplicationRestoresAndRuns)
{
  struct {
    const char *args, *outcome, *printed_args;
  } rows[] = {
      {"[x, '3']", "1", "[x,3]"},
      {"[]", "1", "[]"},
      {"[fail]", "0", "[fail]"},
      {"[throw, y]", "-1 foo", "[throw,y]"},
      {"[halt]", "-1 $reserved(772)", "[halt]"},
  };
  for (const char *source :
       {app_file.c_str(), "URL:x-orvalis-resource:/tavro/tavro.sav", runtime_file.c_str()}) {
    for (const auto &row : rows) {
      SCOPED_TRACE(std::string(source) + " " + row.args);
      bool app = std::string(source) != runtime_file;
      forked_child child = run_forked([&]() -> std::string {
        StatesEngine e;
        qx_set_linked_resources(qx_pre_map, qx_pre_linkage);
        std::string r = "slot before " + std::to_string(e.attr_slot("clpfd") != 0);
        if (e.run(std::string("'$restore'('") + source + "', c)") != 1) return r + " " + e.ball();
        r += " after " + std::to_string(e.attr_slot("clpfd") != 0);
        definition *main =
            find_definition(qx_eg.prolog_module, init_atom_check("main", 0), nullptr, 0);
        if (!main || main->predtyp == ENTER_UNDEFINED) return r + " no main";
        r += std::string(" dynamic ") + (main->properties.dynamic ? "1" : "0");
        e.run(std::string("'$set_argv'(") + row.args + ")");
        std::string rc = std::to_string(e.run("main"));
        if (rc == "-1") rc += " " + e.ball();
        return r + "\n" + rc + "\n" + e.printed();
      });
      std::string expected = app ? "slot before 0 after 1 dynamic 1\n" + std::string(row.outcome) +
                                       "\n" + expected_greeting(row.printed_args)
                                 : "slot before 0 after 0 no main";
      EXPECT_EQ(child.report, expected) << child.err;
      if (!app) break;
    }
  }
}

/* The resource table as the launcher gives it to the engine, and each linked-in blob read back
 * byte for byte as its state file, by lookup and as a resource URL, with the file's time. */
TEST(GeneratedStates, LinkedBlobsReadBackAsTheStateFiles)
{
  const char *names[] = {
      "_0x2Ftavro_0x2Ftavro_0x2Esav", "clpfd", "timeout", "codesio", "random", "_0x2Fqxrt_0x2Esav"};
  QX_pre_linkage_fn entries[] = {nullptr,
                                 (QX_pre_linkage_fn)qx_main_QXENV_clpfd,
                                 qx_main_QXENV_timeout,
                                 qx_main_QXENV_codesio,
                                 qx_main_QXENV_random,
                                 nullptr};
  for (int i = 0; i < 6; i++) {
    EXPECT_STREQ(qx_pre_map[i], names[i]);
    EXPECT_EQ(qx_pre_linkage[i], entries[i]) << i;
  }
  EXPECT_EQ(qx_pre_map[6], nullptr);
  StatesEngine e;
  qx_set_linked_resources(qx_pre_map, qx_pre_linkage);
  for (auto [name, file] :
       {std::pair{"/qxrt.sav", runtime_file}, std::pair{"/tavro/tavro.sav", app_file}}) {
    SCOPED_TRACE(name);
    std::string bytes = file_bytes(file);
    ASSERT_GT(bytes.size(), 100u);
    const unsigned char *data = nullptr;
    size_t size = 0;
    uint32_t mtime = 0;
    ASSERT_EQ(orvalis_resource_find_data(name, &data, &size, &mtime), 1);
    EXPECT_EQ(std::string((const char *)data, size), bytes);
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(mtime, (uint32_t)st.st_mtime);
    QX_stream *s = nullptr;
    ASSERT_EQ(QX_fopen((std::string("URL:x-orvalis-resource:") + name).c_str(), nullptr,
                       QX_FO_READ | QX_FO_BINARY | QX_FO_URL, &s),
              0);
    std::string read;
    for (int c; (c = qx_get_byte_helper(s, 0)) >= 0;) read += (char)c;
    QX_fclose(s, 0);
    EXPECT_EQ(read, bytes);
  }
  qx_set_linked_resources(nullptr, nullptr);
}
