/* Engine start-up and shutdown, each case in a child process (the engine is process-wide):
 * the data-segment limit, start options and memory hooks, the boot-directory search and the
 * start properties, the initial flags, the boot restore through prolog:'$restore'/2 (a stand-in
 * native here, found by name as the real one will be), quick loads through '$qread'/3, and
 * shutdown and start again in one process. */
#include <linux/capability.h>
#include <sys/resource.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "atoms.h"
#include "database.h"
#include "memman.h"
#include "modules.h"
#include "startup.h"
#include "start_data.h"
#include "streams.h"
#include "unify.h"
#include "scratch_files.h"
#include "test_fork.h"
#include "wam.h"
#include "wcx.h"
#include "scratch_root.h"

namespace {

std::vector<std::string> calls; /* what the stand-in natives were given, in order */
std::string restorable;         /* the one file the stand-in restore accepts */

std::string text_of(TAGGED t)
{
  t = deref(t);
  if (IsAtom(t)) return atom_name(t);
  if (IsSmall(t)) return std::to_string(GetSmall(t));
  return "?";
}

int stand_in_restore(worker *w)
{
  std::string file = text_of(w->term[0]);
  calls.push_back("restore " + file + " " + text_of(w->term[1]));
  return file == restorable;
}

/* '$qread'(Stream, File, Term): note(File) the first time a file is read, then -1. */
int stand_in_qread(worker *w)
{
  std::string file = text_of(w->term[1]);
  static std::vector<std::string> seen;
  bool first = std::find(seen.begin(), seen.end(), file) == seen.end();
  if (!first) return cunify(w, w->term[2], MakeSmall(-1));
  seen.push_back(file);
  call_overflow(w, 2, 3);
  TAGGED *p = w->global_top;
  p[0] = MakeFunctor(init_atom_check("note", 0), 1);
  p[1] = init_atom_check(file.c_str(), 0);
  w->global_top += 2;
  return cunify(w, w->term[2], MakeStr(p));
}

int note(worker *w)
{
  calls.push_back("note " + text_of(w->term[0]));
  return 1;
}

definition *native(const char *name, uint32_t arity, qx_native_fn fn)
{
  return qx_define_native(qx_eg.prolog_module, name, arity, fn, nullptr, BUILTIN_DET);
}

/* Starts without a boot file, then restores "qxrt.sav" through the stand-in, which accepts the
 * embedded resource's URL: 1 when the engine ends up initialised. */
int boot(int kind = 0, const QX_pre_linkage_fn *linkage = nullptr, const char *const *map = nullptr)
{
  if (qx_glue_initialize(0, nullptr, nullptr, linkage, map, kind, 0) != 1) return 0;
  native("$restore", 2, stand_in_restore);
  native("note", 1, note);
  restorable = "URL:x-orvalis-resource:/qxrt.sav";
  return qx_qload_or_restore("/no/such/dir/qxrt.sav", 0);
}

/* A linked-in resource that arms the virtual timer with a handler of its own, as the time-out
 * resource does, and disarms it in its deinit function. */
void ticker_init(int)
{
  QX_signal(
      SIGVTALRM, [](int, void *) {}, nullptr);
  itimerval far = {{0, 0}, {1000, 0}};
  setitimer(ITIMER_VIRTUAL, &far, nullptr);
}
void ticker_deinit(int reason)
{
  itimerval off = {};
  setitimer(ITIMER_VIRTUAL, &off, nullptr);
  calls.push_back("deinit " + std::to_string(reason));
}
/* The entry of a linked-in resource with no predicates and plain init and deinit functions. */
template <void (*init)(int), void (*deinit)(int)>
int plain_entry(void *arg)
{
  static void (*const funcs[])() = {nullptr};
  static const char *const names[] = {nullptr};
  static const int arities[] = {0};
  auto *p = (QX_MAINFUN_PARAMS_STRUCT *)arg;
  *p = {
      p->version,       p->qxenv,          p->flags | QX_MAINFUN_PLAIN_INIT, funcs, names, arities,
      (void (*)())init, (void (*)())deinit};
  return 0;
}

/* A linked-in resource whose init function makes a stream over a device of its own and writes
 * "hi" to it without closing it; the device and the deinit function note what they see. */
int noting_write(void *, const void *data, size_t *size, uint32_t)
{
  calls.push_back("write " + std::string((const char *)data, *size));
  return 0;
}
int noting_close(void **, uint32_t)
{
  calls.push_back("close");
  return 0;
}
QX_stream *writer_stream;
void writer_init(int)
{
  static int device_data;
  if (QX_create_stream(&device_data, "writer", nullptr, noting_write, nullptr, nullptr,
                       noting_close, nullptr, nullptr, nullptr, QX_CS_BINARY,
                       &writer_stream) != 0 ||
      QX_put_bytes(writer_stream, (const unsigned char *)"hi", 2, 0) != 0)
    calls.push_back("no stream");
}
/* Closes its stream, as a resource would that closes what it made: the engine did already. */
void writer_deinit(int reason)
{
  int rc = QX_fclose(writer_stream, 0);
  calls.push_back("deinit " + std::to_string(reason) + (rc < 0 ? " closed" : " open"));
}

/* prolog:Name(File), Name one of load_foreign_resource and unload_foreign_resource: the query's
 * answer. */
int resource_query(const char *name, const std::string &file)
{
  QX_term_ref arg = QX_new_term_ref();
  QX_put_atom(arg, QX_atom_from_string(file.c_str()));
  return QX_query(QX_predicate(name, 1, "prolog"), arg);
}

/* Descriptors and threads of the process. */
std::string fds_and_threads()
{
  auto count = [](const char *dir) {
    auto entries = std::filesystem::directory_iterator(dir);
    return std::to_string(std::distance(begin(entries), end(entries)));
  };
  return count("/proc/self/fd") + " fds " + count("/proc/self/task") + " threads";
}

std::string property(const char *key)
{
  char *value = nullptr;
  if (QX_get_system_property(key, &value, 0) != 0 || value == nullptr) return "<unset>";
  std::string text = value;
  QX_free(value);
  return text;
}

std::string temp_dir()
{
  return qx_scratch_mkdtemp("qx_startup");
}

std::string joined(const std::vector<std::string> &items)
{
  std::string out;
  for (const std::string &item : items) out += (out.empty() ? "" : "; ") + item;
  return out;
}

/* Drops CAP_SYS_RESOURCE, so that raising a hard limit is refused even to root. */
bool drop_sys_resource()
{
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  data[0].effective &= ~(1u << CAP_SYS_RESOURCE);
  data[0].permitted &= ~(1u << CAP_SYS_RESOURCE);
  return syscall(SYS_capset, &header, data) == 0;
}

}  // namespace

TEST(Startup, DataSegmentLimitFromTheSetting)
{
  const rlim_t inf = RLIM_INFINITY;
  struct {
    const char *text;
    rlim_t limit;
  } cases[] = {{"Unlimited", inf},
               {"", inf},
               {"0", inf},
               {"64M", 67108864},
               {"5G", inf},
               {"4194304K", inf},
               {" 12 m", 12582912},
               {"abc", inf},
               {"3G", (rlim_t)3221225472u},
               {"4194303k", (rlim_t)4294966272u},
               {"99999999999", inf},
               {"2048 xyz", 2048}};
  for (const auto &c : cases) {
    forked_child child = run_forked([&] {
      std::string report;
      report.reserve(128); /* nothing is allocated once the limit holds */
      setenv("QX_ULIMIT_DATA_SEGMENT_SIZE", c.text, 1);
      /* start from a finite soft limit above what the process uses, so that unlimited shows */
      struct rlimit start = {inf - 1, inf};
      if (setrlimit(RLIMIT_DATA, &start) != 0) return report.append("no start limit"), report;
      qx_apply_data_limit();
      struct rlimit now;
      getrlimit(RLIMIT_DATA, &now);
      char line[64];
      std::snprintf(line, sizeof line, "%llu %llu", (unsigned long long)now.rlim_cur,
                    (unsigned long long)now.rlim_max);
      return report.append(line), report;
    });
    std::string want = std::to_string((unsigned long long)c.limit) + " " +
                       std::to_string((unsigned long long)c.limit);
    EXPECT_EQ(child.report, want) << "setting \"" << c.text << "\"";
  }
  rlim_t limit = 0;
  EXPECT_FALSE(qx_data_limit_wanted(nullptr, &limit));
}

TEST(Startup, RefusedSetrlimitDoesNotStopStartup)
{
  forked_child child = run_forked([] {
    setenv("QX_ULIMIT_DATA_SEGMENT_SIZE", "unlimited", 1);
    struct rlimit start = {RLIM_INFINITY - 1, RLIM_INFINITY - 1};
    if (setrlimit(RLIMIT_DATA, &start) != 0) return std::string("no start limit");
    if (geteuid() == 0 && !drop_sys_resource()) return std::string("capabilities kept");
    struct rlimit raise = {RLIM_INFINITY, RLIM_INFINITY};
    if (setrlimit(RLIMIT_DATA, &raise) == 0) return std::string("raising was allowed");
    int rc = qx_glue_initialize(0, nullptr, nullptr, nullptr, nullptr, 0, 0);
    struct rlimit now;
    getrlimit(RLIMIT_DATA, &now);
    return std::to_string(rc) + " " + std::to_string(QX_get_errno()) + " " +
           (now.rlim_max == RLIM_INFINITY - 1 ? "kept" : "changed");
  });
  EXPECT_EQ(child.report, "1 0 kept") << child.err;
}

TEST(Startup, StartOptionsAndMemoryHooks)
{
  forked_child child = run_forked([] {
    std::vector<std::string> out;
    QX_option_ good[2] = {};
    good[0].type = QX_OPTION_RESERVED;
    good[1].type = QX_OPTION_PROP;
    good[1].prop.key = "QX_STARTUP_TEST";
    good[1].prop.value = "from options";
    QX_option_ no_value[1] = {};
    no_value[0].type = QX_OPTION_PROP;
    no_value[0].prop.key = "K";
    QX_option_ odd_type[1] = {};
    odd_type[0].type = 3;
    QX_options_ wrong_version = {0x40000, 2, good};
    QX_options_ missing_value = {QX_OPTIONS_VERSION, 1, no_value};
    QX_options_ unknown_type = {QX_OPTIONS_VERSION, 1, odd_type};
    QX_options_ no_array = {QX_OPTIONS_VERSION, 1, nullptr};
    QX_options_ fine = {QX_OPTIONS_VERSION, 2, good};
    for (QX_options_ *o : {&wrong_version, &missing_value, &unknown_type, &no_array}) {
      int rc = qx_glue_initialize(0, nullptr, o, nullptr, nullptr, 0, 0);
      out.push_back(std::to_string(rc) + "/" + std::to_string(QX_get_errno()));
    }
    /* hooks: the two accepted shapes, then malformed ones (error 16) */
    static int inits, deinits, allocs;
    static bool refuse;
    auto init = [](void *) { return refuse ? 0 : ++inits; };
    auto deinit = [](void *) { ++deinits; };
    auto alloc = [](size_t size, void *) { return ++allocs, std::malloc(size); };
    auto release = [](void *block, size_t, void *) { std::free(block); };
    std::string shapes;
    shapes += std::to_string(QX_set_memalloc_hooks(1, nullptr, nullptr, nullptr, nullptr, nullptr));
    for (int hint : {0, 1, 2}) {
      qx_set_errno(0);
      shapes +=
          std::to_string(QX_set_memalloc_hooks(hint, init, nullptr, nullptr, nullptr, nullptr));
      shapes += std::to_string(QX_get_errno());
    }
    shapes += std::to_string(QX_set_memalloc_hooks(0, init, deinit, alloc, nullptr, nullptr));
    shapes += std::to_string(QX_set_memalloc_hooks(0, nullptr, deinit, alloc, release, nullptr));
    shapes += std::to_string(QX_set_memalloc_hooks(1, init, deinit, alloc, release, nullptr));
    out.push_back(shapes);
    /* an init hook that fails stops start-up with error 18 */
    refuse = true;
    QX_set_memalloc_hooks(0, init, deinit, alloc, release, nullptr);
    int rc = qx_glue_initialize(0, nullptr, nullptr, nullptr, nullptr, 0, 0);
    out.push_back(std::to_string(rc) + "/" + std::to_string(QX_get_errno()));
    refuse = false;
    /* a malformed block refused before start leaves nothing recorded */
    out.push_back(std::to_string(QX_set_initial_options(&missing_value)) +
                  std::to_string(QX_set_initial_options(&fine)));
    /* the linked tables: the interfaces registered before start survive it */
    static const qx_foreign_interface *const interfaces[] = {nullptr};
    static const char *const map[] = {"timeout", nullptr};
    static const QX_pre_linkage_fn linkage[] = {nullptr, nullptr};
    qx_set_linked_interfaces(interfaces);
    rc = qx_glue_initialize(0, nullptr, nullptr, linkage, map, 0, 0);
    out.push_back(std::to_string(rc) + " " + property("QX_STARTUP_TEST"));
    out.push_back(std::string(qx_eg.fli_pre_interfaces == interfaces ? "interfaces" : "-") +
                  (qx_eg.fli_pre_map == map && qx_eg.fli_pre_linkage == linkage ? " tables" : ""));
    out.push_back("hooks used " + std::to_string(inits) + " " + std::to_string(allocs > 0));
    qx_set_errno(0);
    std::string after;
    after += std::to_string(QX_set_memalloc_hooks(1, nullptr, nullptr, nullptr, nullptr, nullptr));
    after += std::to_string(QX_set_memalloc_hooks(0, init, deinit, alloc, release, nullptr));
    after += "/" + std::to_string(QX_get_errno());
    out.push_back(after + " options " + std::to_string(QX_set_initial_options(&fine)));
    return joined(out);
  });
  EXPECT_EQ(child.report,
            "0/16; 0/15; 0/15; 0/15; 1016016016000; 0/18; 01; 1 from options; interfaces tables; "
            "hooks used 1 1; "
            "00/16 options 0")
      << child.err;
}

TEST(Startup, BootDirectoryAndStartProperties)
{
  std::string dir = temp_dir();
  ASSERT_FALSE(dir.empty());
  std::string file = dir + "/plain";
  std::ofstream(file) << "x";
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  ASSERT_GT(n, 0);
  std::string self(exe, (size_t)n), self_dir = self.substr(0, self.rfind('/'));
  /* QX_PATH naming a directory wins over the program's directory; a file or nothing does not */
  for (const std::string &qx_path : {dir, file, std::string()}) {
    forked_child child = run_forked([&] {
      if (qx_path.empty())
        unsetenv("QX_PATH");
      else
        setenv("QX_PATH", qx_path.c_str(), 1);
      int rc = qx_glue_initialize(0, nullptr, nullptr, nullptr, nullptr, 0, 0);
      const char *boot = qx_get_boot_path();
      std::vector<std::string> out = {std::to_string(rc), boot ? boot : "<none>"};
      for (const char *key :
           {"QX_APP_DIR", "QX_APP_PATH", "QX_RT_DIR", "QX_RT_PATH", "QX_LIBRARY_DIR"})
        out.push_back(property(key));
      return joined(out);
    });
    std::string base = qx_path == dir ? dir : self_dir;
    std::string library = base + "/library/";
    EXPECT_EQ(child.report, "1; " + base + "/bin/; " + self_dir + "; " + self + "; " + self_dir +
                                "; " + self + "; " + library)
        << "QX_PATH=" << qx_path << " " << child.err;
  }
  std::filesystem::remove_all(dir);
}

TEST(Startup, MissingBootFileIsNamed)
{
  std::string dir = temp_dir();
  ASSERT_FALSE(dir.empty());
  for (int kind : {0, 1}) {
    forked_child child = run_forked([&] {
      setenv("QX_PATH", dir.c_str(), 1);
      int rc = qx_glue_initialize(0, nullptr, nullptr, nullptr, nullptr, kind, 1);
      const char *failed = qx_get_failed_bootpath();
      const char *title = get_window_title();
      std::string out = std::to_string(rc) + " " + std::to_string(QX_get_errno()) + " " +
                        (failed ? failed : "<none>") + " " +
                        std::to_string(qx_prolog_initialized()) + " " +
                        (title && title == std::string(QX_get_emulator_version()) ? "titled" : "-");
      QX_deinitialize(); /* not initialised: nothing happens */
      return out + " " + (qx_get_failed_bootpath() ? "kept" : "gone");
    });
    EXPECT_EQ(child.report,
              "0 3 " + dir + "/bin/" + (kind ? "qxds.sav" : "qxrt.sav") + " 0 titled kept")
        << child.err;
  }
  std::filesystem::remove_all(dir);
}

/* What failed starts took goes back at the shutdown after them or, without one, when the next
 * start begins; a start after them is as good as the first. */
TEST(Startup, FailedStartsLeaveNothingBehind)
{
  std::string dir = temp_dir();
  ASSERT_FALSE(dir.empty());
  forked_child child = run_forked([&] {
    setenv("QX_PATH", dir.c_str(), 1); /* no boot file there */
    std::string before = fds_and_threads();
    for (int round = 0; round < 8; round++) {
      if (qx_glue_initialize(0, nullptr, nullptr, nullptr, nullptr, 0, 1) != 0) return before;
      if (round % 2) QX_deinitialize();
    }
    QX_deinitialize();
    // A joined thread stays listed for a moment after the join: wait (boundedly) for it.
    std::string after = fds_and_threads();
    for (int i = 0; i < 5000 && after != before; i++) {
      usleep(1000);
      after = fds_and_threads();
    }
    return (after == before ? "all back" : before + " -> " + after) + " " + std::to_string(boot());
  });
  EXPECT_EQ(child.report, "all back 1") << child.err;
  std::filesystem::remove_all(dir);
}

/* Shutdown unloads the resources still loaded, so that a timer one armed is disarmed, and gives
 * a signal with a QX_signal handler the action it had before: here the program's own. */
TEST(Startup, ShutdownUnloadsResourcesAndGivesSignalsTheirActionsBack)
{
  forked_child child = run_forked([] {
    static int own_runs = 0;
    struct sigaction own = {}, now = {};
    own.sa_handler = [](int) { own_runs++; };
    sigaction(SIGVTALRM, &own, nullptr);
    static const char *const map[] = {"ticker", nullptr};
    static const QX_pre_linkage_fn linkage[] = {plain_entry<ticker_init, ticker_deinit>, nullptr};
    if (!boot(0, linkage, map)) return std::string("no boot");
    calls.clear();
    QX_term_ref name = QX_new_term_ref();
    QX_put_atom(name, QX_atom_from_string("ticker"));
    int loaded = QX_query(QX_predicate("load_foreign_resource", 1, "prolog"), name);
    QX_deinitialize();
    itimerval left;
    getitimer(ITIMER_VIRTUAL, &left);
    sigaction(SIGVTALRM, nullptr, &now);
    raise(SIGVTALRM);
    return std::to_string(loaded) + " " + joined(calls) +
           (left.it_value.tv_sec || left.it_value.tv_usec ? " armed" : " disarmed") +
           (now.sa_handler == own.sa_handler ? " own " : " other ") + std::to_string(own_runs);
  });
  EXPECT_EQ(child.report, "1 deinit 3 disarmed own 1") << child.err;
}

/* A resource's streams are written out and closed before its deinit function runs, whether it is
 * unloaded or the engine stops: a linked-in resource sees the order, and a shared object, whose
 * device code goes with it, gets its bytes (written by the object to a file) in that order too,
 * also when its init function fails after writing (no deinit then). */
TEST(Startup, AResourcesStreamsAreWrittenAndClosedBeforeItsDeinit)
{
  forked_child linked = run_forked([] {
    static const char *const map[] = {"writer", nullptr};
    static const QX_pre_linkage_fn linkage[] = {plain_entry<writer_init, writer_deinit>, nullptr};
    if (!boot(0, linkage, map)) return std::string("no boot");
    calls.clear();
    int rc = resource_query("load_foreign_resource", "writer");
    calls.push_back(std::to_string(rc) +
                    std::to_string(resource_query("unload_foreign_resource", "writer")));
    rc = resource_query("load_foreign_resource", "writer");
    QX_deinitialize();
    return joined(calls) + "; " + std::to_string(rc) + " " + std::to_string(QX_get_errno());
  });
  EXPECT_EQ(linked.report,
            "write hi; close; deinit 0 closed; 11; write hi; close; deinit 3 closed; 1 0")
      << linked.err;

  const std::string object = QX_BUILD_DIR "/tests/foreign/streamres.so";
  const std::string unloaded = scratch_dir() + "/stream_res_unloaded";
  const std::string stopped = scratch_dir() + "/stream_res_stopped";
  const std::string refused = scratch_dir() + "/stream_res_refused";
  forked_child shared = run_forked([&] {
    if (!boot()) return std::string("no boot");
    setenv("QX_STREAM_RES_FILE", refused.c_str(), 1);
    QX_term_ref file = QX_new_term_ref(), module = QX_new_term_ref(), when = QX_new_term_ref();
    QX_put_atom(file, QX_atom_from_string(object.c_str()));
    QX_put_atom(module, QX_atom_from_string("user"));
    QX_put_integer(when, 99);
    int failed = QX_query(QX_predicate("$load_foreign_resource", 3, "prolog"), file, module, when);
    if (failed != 0) return "init reason 99: " + std::to_string(failed);
    setenv("QX_STREAM_RES_FILE", unloaded.c_str(), 1);
    int rc = resource_query("load_foreign_resource", object);
    rc = rc * 10 + resource_query("unload_foreign_resource", object);
    setenv("QX_STREAM_RES_FILE", stopped.c_str(), 1);
    rc = rc * 10 + resource_query("load_foreign_resource", object);
    QX_deinitialize();
    return std::to_string(rc) + " " + std::to_string(QX_get_errno());
  });
  EXPECT_EQ(shared.report, "111 0") << shared.err;
  EXPECT_TRUE(shared.exited(0)) << shared.status;
  EXPECT_EQ(file_bytes(unloaded), "hi[close][deinit 0]");
  EXPECT_EQ(file_bytes(stopped), "hi[close][deinit 3]");
  EXPECT_EQ(file_bytes(refused), "hi[close]");
}

TEST(Startup, InitialFlagsOfEachKind)
{
  for (int kind : {0, 1}) {
    forked_child child = run_forked([&] {
      if (!boot(kind)) return std::string("no boot");
      auto a = [](TAGGED t) { return t ? std::string(atom_name(t)) : std::string("<none>"); };
      const eglobal &g = qx_eg;
      std::vector<std::string> out = {
          a(g.current_system_type_flag),
          a(g.current_redefine_flag),
          a(g.current_informational_flag),
          a(g.current_compiling),
          a(g.current_quoted_charset_flag),
          a(g.current_ferror_flag),
          std::to_string(g.current_gcmargin),
          a(g.current_gcmode),
          a(g.current_gctrace),
          std::to_string(g.current_leash_mode),
          a(g.current_source_info),
          a(g.current_double_quotes),
          a(g.current_discontiguous_flag),
          a(g.current_single_var_flag),
          a(g.current_syntax),
          a(g.current_unknown),
          a(g.current_compatibility_flag),
          a(g.global_vars[0]),
          a(g.global_vars[31]),
          std::to_string(g.current_breaklevel),
          a(g.current_prompt),
          a(g.current_debugger_global),
          a(qx_w->worker_vars[31]),
          a(g.typein_mod->name),
          std::string(get_window_title() ? get_window_title() : "<none>")};
      out.push_back(a(g.current_version_flag) == QX_get_emulator_version() ? "version" : "?");
      return joined(out);
    });
    std::string type = kind ? "development; on; on" : "runtime; off; off";
    EXPECT_EQ(child.report, type + "; compactcode; prolog; on; 1000; on; off; 31; off; codes; "
                                   "on; on; error; error; iso; off; off; 0; |: ; off; off; user; "
                                   "<none>; version")
        << child.err;
  }
}

TEST(Startup, BootRestoreTriesTheResourceThenThePath)
{
  forked_child child = run_forked([] {
    if (qx_glue_initialize(0, nullptr, nullptr, nullptr, nullptr, 0, 0) != 1) return std::string();
    std::vector<std::string> out;
    /* no restore built-in: the restore fails and the engine stays uninitialised */
    int rc = qx_qload_or_restore("/a/b/qxrt.sav", 0);
    out.push_back(std::to_string(rc) + std::to_string(qx_prolog_initialized()));
    native("$restore", 2, stand_in_restore);
    restorable = "none";
    out.push_back(std::to_string(qx_qload_or_restore("/a/b/qxrt.sav", 0)));
    out.push_back(joined(calls));
    calls.clear();
    /* a public definition of module prolog with a clause, imported into user */
    mod_def *prolog = qx_eg.prolog_module;
    definition *old = insert_definition(prolog, init_atom_check("pub", 0), 1, 1);
    redefine_predicate(old, ENTER_INTERPRETED);
    TAGGED *p = qx_w->global_top;
    p[0] = MakeFunctor(init_atom_check("pub", 0), 1);
    p[1] = init_atom_check("one", 0);
    qx_w->global_top += 2;
    insertz(old, qx_make_clause(qx_w, old, MakeStr(p)));
    old->next_public = prolog->public_lst;
    prolog->public_lst = old;
    import_predicate(old, prolog, qx_eg.user_module);
    definition *importer = find_definition(qx_eg.user_module, old->functor, nullptr, 0);
    restorable = "/a/b/qxrt.sav";
    rc = qx_qload_or_restore("/a/b/qxrt.sav", 0);
    out.push_back(std::to_string(rc) + std::to_string(qx_prolog_initialized()) + " " +
                  atom_name(qx_eg.typein_mod->name));
    out.push_back(joined(calls));
    definition *now = find_definition(prolog, old->functor, nullptr, 0);
    out.push_back(std::string(now != old ? "copied" : "same") +
                  (prolog->public_lst == now ? " listed" : "") +
                  (importer->imported_from == now ? " imported" : "") +
                  (now->first_clause && now->first_clause->owner == now ? " owned" : "") +
                  (old->functor == now->functor ? " old kept" : ""));
    TAGGED x = qx_w->global_top[0] = MakeRef(qx_w->global_top);
    qx_w->global_top++;
    p = qx_w->global_top;
    p[0] = MakeFunctor(init_atom_check("pub", 0), 1);
    p[1] = x;
    qx_w->global_top += 2;
    rc = qx_call_once(qx_w, MakeStr(p), prolog);
    out.push_back(std::to_string(rc) + " " + text_of(x));
    return joined(out);
  });
  EXPECT_EQ(child.report,
            "00; 0; restore URL:x-orvalis-resource:/qxrt.sav []; restore /a/b/qxrt.sav []; "
            "11 user; restore URL:x-orvalis-resource:/qxrt.sav []; restore /a/b/qxrt.sav []; "
            "copied listed imported owned old kept; 1 one")
      << child.err;
}

TEST(Startup, ShutdownRunsTheHookAndFinalEventsThenStartsAgain)
{
  forked_child child = run_forked([] {
    std::vector<std::string> out;
    static std::vector<std::string> *log = &out;
    for (int round = 0; round < 2; round++) {
      if (!boot()) return joined(out) + " no boot";
      out.push_back("up " + std::to_string(qx_prolog_initialized()));
      native("qx_deinitialize", 0, [](worker *) {
        log->push_back("qx_deinitialize/0");
        return 1;
      });
      QX_async_event(
          [](void *data, int mode) {
            log->push_back(std::string((const char *)data) + " mode " + std::to_string(mode));
            return 0;
          },
          (void *)"event", 0);
      QX_deinitialize();
      out.push_back("down " + std::to_string(qx_prolog_initialized()));
      QX_deinitialize(); /* nothing left to do */
    }
    return joined(out);
  });
  std::string round = "up 1; event mode 1; qx_deinitialize/0; down 0";
  EXPECT_EQ(child.report, round + "; " + round) << child.err;
}

/* Shutdown writes what open streams hold; one that cannot be written is named on user_error,
 * the others are written all the same, and the error number says that output was lost. */
TEST(Startup, ShutdownWritesWhatOpenStreamsHold)
{
  std::string path = temp_dir() + "/held";
  forked_child child = run_forked([&] {
    if (!boot()) return std::string("no boot");
    QX_stream *full = nullptr, *file = nullptr;
    int rc = qx_fopen_internal("/dev/full", QX_FO_WRITE | QX_FO_TEXT, 0, &full);
    rc |= qx_fopen_internal(path.c_str(), QX_FO_WRITE | QX_FO_TEXT, 0, &file);
    rc |= QX_put_encoded_string(full, "x", 0) | QX_put_encoded_string(file, "ab", 0);
    QX_deinitialize();
    return std::to_string(rc) + " " + std::to_string(QX_get_errno());
  });
  EXPECT_EQ(child.report, "0 15");
  EXPECT_EQ(child.err, "! Output to /dev/full lost at shutdown: QXIO_E_NOSPACE\n");
  std::ifstream held(path);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(held), {}), "ab");
}

/* Shutdown writes every code a Latin-1 file can hold, those after one it cannot hold too (as
 * repeated unforced closes would), and reports each code it drops: random texts in several files
 * at once, against the texts with those codes left out. */
TEST(Startup, ShutdownWritesPastCodesTheEncodingCannotHold)
{
  std::mt19937 random(64);
  const uint32_t alphabet[] = {'a', 'z', '\n', 0xE9, 0xFF, 0x100, 0x263A, 0x1F600};
  std::vector<std::vector<uint32_t>> texts = {{'a', 'b', 0x263A, 'c', 'd'}, {0x263A}, {}};
  for (int i = 0; i < 6; i++) {
    texts.emplace_back(random() % 200);
    for (uint32_t &code : texts.back()) code = alphabet[random() % std::size(alphabet)];
  }
  std::vector<std::string> paths;
  for (size_t i = 0; i < texts.size(); i++)
    paths.push_back(scratch_dir() + "/latin1_" + std::to_string(i));
  forked_child child = run_forked([&] {
    if (!boot()) return std::string("no boot");
    int rc = 0;
    for (size_t i = 0; i < texts.size(); i++) {
      QX_stream *file = nullptr;
      rc |= qx_fopen_internal(paths[i].c_str(), QX_FO_WRITE | QX_FO_TEXT, 0, &file);
      rc |= QX_put_codes(file, texts[i].data(), texts[i].size(), 0);
    }
    QX_deinitialize();
    return std::to_string(rc) + " " + std::to_string(QX_get_errno());
  });
  EXPECT_EQ(child.report, "0 15");
  for (size_t i = 0; i < texts.size(); i++) {
    std::string kept, reports;
    for (uint32_t code : texts[i])
      if (code <= 0xFF)
        kept += (char)code;
      else
        reports += "! Output to " + paths[i] + " lost at shutdown: QXIO_E_ENCODING_UNMAPPABLE\n";
    EXPECT_EQ(file_bytes(paths[i]), kept) << i;
    std::string seen;
    std::istringstream lines(child.err);
    for (std::string line; std::getline(lines, line);)
      if (line.find(paths[i] + " ") != std::string::npos) seen += line + "\n";
    EXPECT_EQ(seen, reports) << i;
  }
}

/* deinit_once gives back what init_once and create_worker took, with a clause asserted and a
 * stream left open (memory, and every descriptor opened; the standard streams' are closed with
 * them), and the engine starts again after it. External object types are left out:
 * the API has no removal of a type, so the one each worker registers lives for the process. */
TEST(Startup, DeinitOnceGivesBackWhatTheStartTook)
{
  forked_child child = run_forked([] {
    std::memset(&qx_eg, 0, sizeof qx_eg);
    if (qxio_init(nullptr, nullptr, 0) != 0 || memman_init() != 0 || init_wcx() != 0)
      return std::string("no start");
    /* the bytes in use of each space, and the descriptors open */
    auto taken = [](std::set<std::string> *fds) {
      std::string text;
      for (qx_space k : {QX_SPACE_MISC, QX_SPACE_ATOM, QX_SPACE_PROGRAM, QX_SPACE_DATABASE,
                         QX_SPACE_STACKS, QX_SPACE_NUMSTACK})
        text += std::to_string(qx_space_in_use(k)) + " ";
      for (auto &fd : std::filesystem::directory_iterator("/proc/self/fd"))
        fds->insert(fd.path().filename().string());
      return text;
    };
    std::set<std::string> fds_before;
    const std::string before = taken(&fds_before);
    std::vector<std::string> out;
    for (int round = 0; round < 2; round++) {
      if (init_once() != 1) return joined(out) + " no init_once";
      worker *w = create_worker();
      TAGGED *p = w->global_top;
      p[0] = MakeFunctor(init_atom_check("kept", 0), 1);
      p[1] = init_atom_check("an_atom_of_the_round", 0);
      p[2] = MakeFunctor(init_atom_check("assertz", 0), 1);
      p[3] = MakeStr(p);
      w->global_top += 4;
      QX_stream *open = nullptr;
      out.push_back(std::to_string(qx_call_once(w, MakeStr(p + 2), qx_eg.user_module)) + " " +
                    std::to_string(QX_stream_from_string("left open", &open)));
      deinit_once(w);
      std::set<std::string> fds_after;
      std::string after = taken(&fds_after);
      for (const std::string &fd : fds_after)
        if (!fds_before.count(fd)) after += "fd " + fd + " ";
      out.push_back(after == before ? "all back" : before + "-> " + after);
      out.push_back(qx_w == nullptr && qx_eg.modules == nullptr && !qx_eg.root_stream_ptr
                        ? "none left"
                        : "left");
    }
    deinit_wcx();
    memman_deinit();
    qxio_init(nullptr, nullptr, QXIO_INIT_SHUTDOWN);
    return joined(out);
  });
  std::string round = "1 1; all back; none left";
  EXPECT_EQ(child.report, round + "; " + round) << child.err;
}

TEST(Startup, ReinitializeGivesAFreshWorker)
{
  forked_child child = run_forked([] {
    if (!boot()) return std::string("no boot");
    static int runs = 0;
    QX_new_term_refs(7);
    QX_event([](void *) { return ++runs; }, nullptr);
    std::string out = std::to_string(qx_w->fli_stack_index);
    reinitialize(nullptr);
    out += " " + std::to_string(qx_w->fli_stack_index);
    qx_run_event(qx_w, 0);
    out += " " + std::to_string(runs);
    QX_event([](void *) { return ++runs; }, nullptr); /* the fresh queue takes events */
    qx_run_event(qx_w, 0);
    int rc = qx_call_once(qx_w, atom_true, qx_eg.user_module);
    out += " " + std::to_string(runs) + " " + std::to_string(rc);
    QX_deinitialize();
    return out;
  });
  EXPECT_EQ(child.report, "17 10 0 1 1") << child.err;
}

TEST(Startup, QuickLoadRunsTheFileThenItsSibling)
{
  std::string dir = temp_dir();
  ASSERT_FALSE(dir.empty());
  for (const char *name : {"a.ql", "ap.ql", "b.ql"}) std::ofstream(dir + "/" + name) << "x";
  forked_child child = run_forked([&] {
    if (qx_glue_initialize(0, nullptr, nullptr, nullptr, nullptr, 0, 0) != 1) return std::string();
    native("note", 1, note);
    std::vector<std::string> out;
    native("$qread", 3, stand_in_qread); /* each item of a file: note(File), then the end */
    int rc = qx_qload_or_restore((dir + "/c.ql").c_str(), 1);
    out.push_back("missing " + std::to_string(rc) + std::to_string(qx_prolog_initialized()));
    for (const char *name : {"/a.ql", "/b.ql"}) {
      rc = qx_qload_or_restore((dir + name).c_str(), 1);
      out.push_back(std::to_string(rc) + std::to_string(qx_prolog_initialized()) + " " +
                    joined(calls));
      calls.clear();
    }
    return joined(out);
  });
  EXPECT_EQ(child.report, "missing 00; 11 note " + dir + "/a.ql; note " + dir + "/ap.ql; 11 note " +
                              dir + "/b.ql")
      << child.err;
  std::filesystem::remove_all(dir);
}

TEST(Startup, RestoreAndLoadGoThroughPrologPredicates)
{
  forked_child child = run_forked([] {
    int rc = QX_restore("x.sav");
    std::string out = std::to_string(rc) + std::to_string(QX_get_errno());
    if (!boot()) return out + " no boot";
    /* restore/1 is not defined here and load_files/1 raises a system error */
    rc = QX_restore("x.sav");
    out += " " + std::to_string(rc) + std::to_string(QX_load("x.ql"));
    static std::string seen;
    qx_define_native(
        qx_eg.user_module, "restore", 1,
        [](worker *w) {
          seen += text_of(w->term[0]);
          return 0;
        },
        nullptr, ENTER_C);
    rc = QX_restore("x.sav");
    out += " " + std::to_string(rc) + " " + seen;
    return out;
  });
  EXPECT_EQ(child.report, "01 -1-1 0 x.sav") << child.err;
}

TEST(Startup, BootFileKindAndFaultsDuringStart)
{
  forked_child child = run_forked([] {
    if (!boot()) return std::string("no boot");
    std::string out;
    auto kinds = [&] {
      out += std::to_string(qx_boot_kind_matches(0)) + std::to_string(qx_boot_kind_matches(1));
    };
    kinds();
    out += init_atom_check("gather_declarations", 1) ? " made" : " not made";
    native("gather_declarations", 3, note);
    kinds();
    native("compile_all", 3, note);
    kinds();
    return out;
  });
  EXPECT_EQ(child.report, "10 not made1001") << child.err;
  /* memory running out while the engine is built: error 15, no crash */
  forked_child tiny = run_forked([] {
    setenv("PROLOGMAXSIZE", "64K", 1);
    int rc = qx_glue_initialize(0, nullptr, nullptr, nullptr, nullptr, 0, 0);
    return std::to_string(rc) + "/" + std::to_string(QX_get_errno()) + " " +
           std::to_string(qx_prolog_initialized());
  });
  EXPECT_EQ(tiny.report, "0/15 0") << tiny.err;
}
