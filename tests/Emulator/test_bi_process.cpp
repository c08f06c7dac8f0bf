/* Child process built-ins over real children: creation with piped standard streams, directory
 * and environment, waiting, signals, release, and refusals that leave no child and no
 * descriptor behind. */
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "bi_process.h"
#include "qxio/budget_alloc.h"
#include "qxio/process_test_util.h"
#include "qxio/qxio_process_internal.h"
#include "stream_fixture.h"
#include "test_fork.h"

namespace {

/* User option bits of $process_create. */
constexpr uint32_t IN_NULL = 0x2, IN_PIPE = 0x4, OUT_NULL = 0x20, OUT_PIPE = 0x40, ERR_NULL = 0x200,
                   RETURN_PROCESS = 0x1000;
constexpr uint32_t ALL_NULL = IN_NULL | OUT_NULL | ERR_NULL | RETURN_PROCESS;
constexpr int64_t UNBOUND = INT64_MIN;

/* A term kept in a term reference, where collections find it: tests keep the process term
 * across calls that collect. */
struct kept_term {
  QX_term_ref ref = 0;
  operator TAGGED() const { return ref ? qx_ref_term(ref) : 0; }
};

/* The outputs of one $process_create call. */
struct created {
  int64_t result = UNBOUND;
  QX_stream *in = nullptr, *out = nullptr, *err = nullptr;
  kept_term process;
  bool bound[4] = {}; /* Stdin, Stdout, Stderr, Process */
};

/* Flags, Value and Result of a $process_wait call. */
struct waited {
  int64_t flags, value, result;
  bool operator==(const waited &o) const
  {
    return flags == o.flags && value == o.value && result == o.result;
  }
};
std::ostream &operator<<(std::ostream &os, const waited &w)
{
  return os << "{" << w.flags << ", " << w.value << ", " << w.result << "}";
}

class ProcessTest : public StreamTest {
protected:
  static int64_t int_of(TAGGED t)
  {
    int64_t v = UNBOUND;
    t = deref(t);
    if (IsInteger(t)) qx_get_int64(t, &v);
    return v;
  }

  /* $process_create with Program, Args, Cwd and Env written as terms. */
  created create(const std::string &program, const std::string &args, const std::string &cwd,
                 const std::string &env, int64_t options)
  {
    return create(goal("c(" + program + ", " + args + ", " + cwd + ", " + env + ")"), options);
  }
  /* g: c(Program, Args, Cwd, Env). */
  created create(TAGGED g, int64_t options)
  {
    std::vector<TAGGED> a = {StrArg(g, 1), StrArg(g, 2), StrArg(g, 3), StrArg(g, 4), num(options)};
    for (int i = 0; i < 5; i++) a.push_back(fresh());
    bi_call r = call("$process_create", a);
    EXPECT_EQ(r.rc, 1);
    EXPECT_FALSE(r.raised);
    created c;
    c.result = int_of(a[9]);
    QX_stream **streams[3] = {&c.in, &c.out, &c.err};
    for (int i = 0; i < 4; i++) c.bound[i] = !IsVar(deref(a[5 + i]));
    for (int i = 0; i < 3; i++) *streams[i] = (QX_stream *)(intptr_t)int_of(a[5 + i]);
    c.process.ref = QX_new_term_ref();
    set(c.process.ref, deref(a[8]));
    return c;
  }
  created sleeper()
  {
    created c = create("'/bin/sleep'", "['30']", "''", "[]", ALL_NULL);
    EXPECT_EQ(c.result, 0);
    return c;
  }

  waited wait(TAGGED process, TAGGED options, TAGGED timeout)
  {
    std::vector<TAGGED> a = {process, options, timeout, fresh(), fresh(), fresh()};
    EXPECT_EQ(call("$process_wait", a).rc, 1);
    return {int_of(a[3]), int_of(a[4]), int_of(a[5])};
  }
  waited reap(TAGGED process) { return wait(process, num(1), at("infinite")); }

  /* Result of a built-in whose last argument is Result. */
  int64_t result_of(const char *name, std::vector<TAGGED> args)
  {
    args.push_back(fresh());
    EXPECT_EQ(call(name, args).rc, 1) << name;
    return int_of(args.back());
  }
  bool succeeds(const char *name, std::vector<TAGGED> args) { return call(name, args).rc != 0; }
  int64_t pid_of(TAGGED process)
  {
    std::vector<TAGGED> a = {process, fresh(), fresh()};
    call("$process_id", a);
    EXPECT_EQ(int_of(a[2]), 0);
    return int_of(a[1]);
  }
  /* Whether the term's process object is still linked (its finaliser could still run). */
  bool linked(TAGGED process)
  {
    QX_term_ref t = QX_new_term_ref();
    set(t, process);
    QX_external_object_link link;
    return QX_get_external_object(t, &link) == 1;
  }

  static std::string read_text(QX_stream *s)
  {
    std::string text;
    for (int c; (c = qx_get_code_helper(s, 0)) >= 0;) text.push_back((char)c);
    qx_fclose_internal(s, 0);
    return text;
  }
};

TEST_F(ProcessTest, ShellOutputIsReadThenTheExitCodeIsWaitedFor)
{
  created c = create("'/bin/sh'", "['-c', 'echo hi; exit 3']", "''", "default",
                     IN_NULL | OUT_PIPE | ERR_NULL | RETURN_PROCESS);
  ASSERT_EQ(c.result, 0);
  EXPECT_EQ(c.in, nullptr);
  EXPECT_EQ(c.err, nullptr);
  ASSERT_NE(c.out, nullptr);
  EXPECT_TRUE(succeeds("$is_process", {c.process}));
  EXPECT_EQ(read_text(c.out), "hi\n");
  EXPECT_EQ(reap(c.process), (waited{1, 3, 0}));
  /* reaped: the object is gone, so its finaliser cannot release the child again */
  EXPECT_FALSE(linked(c.process));
  EXPECT_FALSE(succeeds("$is_process", {c.process}));

  /* the program text as a shell command, and an argument joined from its parts */
  c = create("'echo \"$0\"'", "[[a, string(b), file('/c')]]", "''", "[]",
             IN_NULL | OUT_PIPE | ERR_NULL | 0x800);
  ASSERT_EQ(c.result, 0);
  EXPECT_FALSE(c.bound[3]) << "no process object without its option";
  EXPECT_EQ(read_text(c.out), "ab/c\n");
}

TEST_F(ProcessTest, SignalsByNameOrNumber)
{
  for (const char *signal : {"'SIGTERM'", "15"}) {
    created c = sleeper();
    TAGGED sig = goal(signal);
    EXPECT_EQ(result_of("$process_kill", {c.process, sig}), 0) << signal;
    EXPECT_EQ(reap(c.process), (waited{2, 15, 0})) << signal;
  }
  created c = sleeper();
  for (const char *bad : {"sigterm", "'SIGNOPE'", "-1", "f(15)", "1.0", "X"})
    EXPECT_EQ(result_of("$process_kill", {c.process, goal(bad)}), QXIO_E_PARAMETER_ERROR) << bad;
  EXPECT_EQ(wait(c.process, num(0), num(0)), (waited{4096, 0, QXIO_E_WOULD_BLOCK}))
      << "still running after the refused signals";
  /* a stopped child is reported but not reaped: its object stays, to be released later */
  EXPECT_EQ(result_of("$process_kill", {c.process, at("SIGSTOP")}), 0);
  EXPECT_EQ(reap(c.process), (waited{8, 19, 0}));
  EXPECT_TRUE(linked(c.process));
  EXPECT_EQ(result_of("$process_kill", {num(pid_of(c.process)), at("SIGKILL")}), 0);
  EXPECT_EQ(reap(c.process), (waited{2, 9, 0}));
  EXPECT_FALSE(linked(c.process));
}

TEST_F(ProcessTest, WaitTimeOutsAndPlainIds)
{
  created c = sleeper();
  TAGGED pid = num(pid_of(c.process));
  for (const char *zero : {"0", "0.0"})
    EXPECT_EQ(wait(c.process, num(0), goal(zero)), (waited{4096, 0, QXIO_E_WOULD_BLOCK})) << zero;
  EXPECT_EQ(wait(pid, num(0), num(0)), (waited{4096, 0, QXIO_E_WOULD_BLOCK}));
  EXPECT_EQ(wait(pid, num(1), num(0)), (waited{UNBOUND, UNBOUND, QXIO_E_NOT_SUPPORTED}));
  for (const char *bad : {"-1", "-0.5", "forever", "X", "f(1)"})
    EXPECT_EQ(wait(c.process, num(0), goal(bad)),
              (waited{UNBOUND, UNBOUND, QXIO_E_PARAMETER_ERROR}))
        << bad;
  EXPECT_EQ(wait(c.process, num(-1), num(0)), (waited{UNBOUND, UNBOUND, QXIO_E_PARAMETER_ERROR}));
  EXPECT_TRUE(linked(c.process)) << "nothing reaped so far";

  /* ids: the object's, a plain one, and terms that name no process */
  std::vector<TAGGED> self = {fresh()};
  ASSERT_TRUE(succeeds("$process_self_id", self));
  EXPECT_EQ(int_of(self[0]), getpid());
  EXPECT_EQ(int_of(pid), pid_of(pid));
  EXPECT_EQ(result_of("$process_id", {at("foo"), fresh()}), QXIO_E_NOT_FOUND);
  EXPECT_EQ(result_of("$process_id", {num(0), fresh()}), QXIO_E_PARAMETER_ERROR);
  EXPECT_FALSE(succeeds("$is_process", {pid}));

  EXPECT_EQ(result_of("$process_kill", {pid, num(9)}), 0);
  EXPECT_EQ(wait(pid, num(0), at("infinite")), (waited{2, 9, 0})) << "a plain id does not reap";
  EXPECT_EQ(reap(c.process), (waited{2, 9, 0}));
  EXPECT_EQ(wait(pid, num(0), num(0)).result, QXIO_E_NOT_FOUND) << "no child left";
}

TEST_F(ProcessTest, ObjectsOfAnotherTypeAreNoProcesses)
{
  QX_external_object_type other = QX_register_external_object_type(nullptr, nullptr, nullptr);
  QX_external_object_link link = QX_register_external_object((void *)(intptr_t)1, other);
  QX_term_ref t = QX_new_term_ref();
  ASSERT_EQ(QX_put_external_object(t, link), 1);
  TAGGED object = qx_ref_term(t);
  EXPECT_FALSE(succeeds("$is_process", {object}));
  EXPECT_EQ(result_of("$process_id", {object, fresh()}), QXIO_E_PARAMETER_ERROR);
  EXPECT_EQ(result_of("$process_kill", {object, num(0)}), QXIO_E_PARAMETER_ERROR);
  EXPECT_EQ(QX_unlink_external_object(link, 1), 1);
}

TEST_F(ProcessTest, ReleaseAndReapUnlinkTheObjectSoItIsReleasedOnce)
{
  size_t remembered = qxio_process_unreaped_count();
  /* a process object finalised as garbage releases its running child: it is remembered */
  created garbage = sleeper();
  int64_t garbage_pid = pid_of(garbage.process);
  QX_term_ref t = QX_new_term_ref();
  set(t, garbage.process);
  int found = 0;
  EXPECT_EQ(QX_finalize_external_object(t, &found), 1);
  EXPECT_EQ(qxio_process_unreaped_count(), remembered + 1);

  /* released by the built-in: remembered once, and the object can no longer be finalised */
  created c = sleeper();
  int64_t pid = pid_of(c.process);
  EXPECT_EQ(result_of("$process_release", {c.process, num(1)}), 0);
  EXPECT_EQ(qxio_process_unreaped_count(), remembered + 2);
  EXPECT_FALSE(linked(c.process));
  set(t, c.process);
  EXPECT_EQ(QX_finalize_external_object(t, &found), 0);
  EXPECT_EQ(QX_garbage_collect_external_objects(qx_process_object_type()), 0);
  EXPECT_EQ(qxio_process_unreaped_count(), remembered + 2) << "released a second time";
  EXPECT_EQ(result_of("$process_release", {c.process, num(1)}), QXIO_E_NOT_FOUND);

  /* a running child without option 1 is not released, and stays linked */
  created held = sleeper();
  EXPECT_EQ(result_of("$process_release", {held.process, num(0)}), QXIO_E_WOULD_BLOCK);
  EXPECT_TRUE(linked(held.process));
  EXPECT_EQ(result_of("$process_release", {held.process, at("x")}), QXIO_E_PARAMETER_ERROR);
  EXPECT_EQ(result_of("$process_kill", {held.process, num(9)}), 0);
  EXPECT_EQ(reap(held.process), (waited{2, 9, 0}));

  for (int64_t id : {garbage_pid, pid}) kill((pid_t)id, SIGKILL);
  for (int64_t id : {garbage_pid, pid}) qxio_process_wait((qxio_t_process)id, nullptr, nullptr, 2);
}

TEST_F(ProcessTest, ChildGetsItsEnvironmentDirectoryAndOnlyItsDescriptors)
{
  qxio_test::temp_dir dir;
  char *real = realpath(dir.path.c_str(), nullptr);
  ASSERT_NE(real, nullptr);
  created c = create("'/bin/sh'", "['-c', 'echo \"$QX_PROBE|$QX_OTHER\"; pwd']",
                     "'" + dir.path + "'", "['QX_PROBE'='seen here', 'QX_OTHER'='']",
                     IN_NULL | OUT_PIPE | ERR_NULL | RETURN_PROCESS);
  ASSERT_EQ(c.result, 0);
  EXPECT_EQ(read_text(c.out), "seen here|\n" + std::string(real) + "\n");
  free(real);
  EXPECT_EQ(reap(c.process), (waited{1, 0, 0}));

  /* an inheritable descriptor of the parent does not reach the child: ls sees 0 to 2 and the
   * one it lists with */
  int open_pipe[2];
  ASSERT_EQ(pipe(open_pipe), 0);
  c = create("'/bin/ls'", "['/proc/self/fd']", "''", "[]",
             IN_NULL | OUT_PIPE | ERR_NULL | RETURN_PROCESS);
  ASSERT_EQ(c.result, 0);
  EXPECT_EQ(read_text(c.out), "0\n1\n2\n3\n");
  EXPECT_EQ(reap(c.process), (waited{1, 0, 0}));
  close(open_pipe[0]);
  close(open_pipe[1]);
}

TEST_F(ProcessTest, PipedStandardInputCarriesTextToTheChild)
{
  int before = open_fds();
  created c =
      create("'/bin/cat'", "[]", "''", "[]", IN_PIPE | OUT_PIPE | ERR_NULL | RETURN_PROCESS);
  ASSERT_EQ(c.result, 0);
  ASSERT_NE(c.in, nullptr);
  const std::string text = "line one\nzwei\n" + std::string(5000, 'x') + "\n";
  EXPECT_EQ(QX_put_encoded_string(c.in, text.c_str(), 0), 0);
  EXPECT_EQ(qx_fclose_internal(c.in, 0), 2);
  EXPECT_EQ(read_text(c.out), text);
  EXPECT_EQ(reap(c.process), (waited{1, 0, 0}));
  EXPECT_EQ(open_fds(), before);
}

/* Refusals: the code in Result, nothing bound, no child started and no descriptor left. */
TEST_F(ProcessTest, MalformedArgumentsStartNothingAndLeaveNoDescriptor)
{
  const uint32_t opts = IN_PIPE | OUT_PIPE | ERR_NULL | RETURN_PROCESS;
  const struct {
    const char *program, *args, *cwd, *env;
    int64_t options, expected;
  } cases[] = {
      {"1", "[]", "''", "[]", opts, QXIO_E_PARAMETER_ERROR},
      {"'/bin/true'", "notalist", "''", "[]", opts, QXIO_E_PARAMETER_ERROR},
      {"'/bin/true'", "[a|_]", "''", "[]", opts, QXIO_E_PARAMETER_ERROR},
      {"'/bin/true'", "[f(1)]", "''", "[]", opts, QXIO_E_PARAMETER_ERROR},
      {"'/bin/true'", "[f(a, b)]", "''", "[]", opts, QXIO_E_PARAMETER_ERROR},
      {"'/bin/true'", "[[a, 2]]", "''", "[]", opts, QXIO_E_PARAMETER_ERROR},
      {"'/bin/true'", "[[a|b]]", "''", "[]", opts, QXIO_E_PARAMETER_ERROR},
      /* a key the library does not know: its own refusal */
      {"'/bin/true'", "[foo(bar)]", "''", "[]", opts, QXIO_E_PARAMETER_ERROR},
      {"'/bin/true'", "[]", "1", "[]", opts, QXIO_E_PARAMETER_ERROR},
      {"'/bin/true'", "[]", "''", "foo", opts, QXIO_E_PARAMETER_ERROR},
      {"'/bin/true'", "[]", "''", "[a]", opts, QXIO_E_PARAMETER_ERROR},
      {"'/bin/true'", "[]", "''", "[a=b|c]", opts, QXIO_E_PARAMETER_ERROR},
      {"'/bin/true'", "[]", "''", "[a=b|_]", opts, QXIO_E_PARAMETER_ERROR},
      {"'/bin/true'", "[]", "''", "[1=b]", opts, QXIO_E_PARAMETER_ERROR},
      {"'/bin/true'", "[]", "''", "[a=f(x)]", opts, QXIO_E_PARAMETER_ERROR},
      {"'/bin/true'", "[]", "''", "'[]'(a)", opts, QXIO_E_PARAMETER_ERROR},
      {"'/bin/true'", "[]", "''", "[]", opts | 0x8000, QXIO_E_PARAMETER_ERROR},
      {"'/bin/true'", "[]", "''", "[]", -1, QXIO_E_PARAMETER_ERROR},
      /* no kind for standard error: the library's refusal before it forks */
      {"'/bin/true'", "[]", "''", "[]", IN_PIPE | OUT_PIPE | RETURN_PROCESS, QXIO_E_INTERNAL_ERROR},
  };
  int before = open_fds();
  /* in a child of its own, so that any child started would show among its children */
  forked_child run = run_forked([&] {
    std::string report;
    for (const auto &c : cases) {
      created r = create(c.program, c.args, c.cwd, c.env, c.options);
      siginfo_t info{};
      bool no_child = waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == -1 && errno == ECHILD;
      report += std::to_string(r.result) + (no_child ? "" : " child") +
                (r.bound[0] || r.bound[1] || r.bound[2] || r.bound[3] ? " bound" : "") + ";";
    }
    return report;
  });
  std::string expected;
  for (const auto &c : cases) expected += std::to_string(c.expected) + ";";
  EXPECT_TRUE(run.exited(0)) << run.err;
  EXPECT_EQ(run.report, expected);
  for (const auto &c : cases) {
    created r = create(c.program, c.args, c.cwd, c.env, c.options);
    EXPECT_EQ(r.result, c.expected) << c.args << " " << c.env;
    EXPECT_EQ(open_fds(), before) << c.args << " " << c.env;
  }
}

TEST_F(ProcessTest, MissingProgramOrDirectoryEndsTheChildWithCodeOne)
{
  int before = open_fds();
  const struct {
    const char *program, *cwd;
  } cases[] = {{"'/nonexistent/program'", "''"}, {"'/bin/true'", "'/nonexistent/directory'"}};
  for (const auto &c : cases) {
    created r =
        create(c.program, "[]", c.cwd, "[]", IN_PIPE | OUT_PIPE | ERR_NULL | RETURN_PROCESS);
    ASSERT_EQ(r.result, 0) << "the library starts the child" << c.program;
    TAGGED pid = num(pid_of(r.process));
    EXPECT_EQ(read_text(r.out), "");
    qx_fclose_internal(r.in, 0);
    EXPECT_EQ(reap(r.process), (waited{1, 1, 0})) << c.program << c.cwd;
    EXPECT_EQ(wait(pid, num(0), num(0)).result, QXIO_E_NOT_FOUND) << "no child left";
    EXPECT_EQ(open_fds(), before) << c.program << c.cwd;
  }
}

/* Each allocation of the I/O library during a creation fails in turn: whatever the step, the
 * call answers a code with nothing bound, or succeeds whole; no descriptor is left open and
 * none is closed twice (either would change the count). */
TEST_F(ProcessTest, AllocationFailureAtEveryStepLeavesNothingBehind)
{
  int before = open_fds();
  const uint32_t opts = IN_PIPE | OUT_PIPE | 0x400 | RETURN_PROCESS;
  int failures = 0;
  for (long fail_at = 0;; fail_at++) {
    qxio_test::Budget budget;
    budget.fail_at = fail_at;
    created c;
    TAGGED g = goal("c('/bin/cat', [], '', ['QX_PROBE'=x])"); /* reading allocates too */
    {
      qxio_test::BudgetScope scope(&budget);
      c = create(g, opts);
    }
    bool spent = budget.attempts > fail_at;
    if (c.result == 0) {
      for (QX_stream *s : {c.in, c.out, c.err}) qx_fclose_internal(s, 0);
      EXPECT_EQ(reap(c.process), (waited{1, 0, 0})) << fail_at;
    } else {
      failures++;
      EXPECT_TRUE(c.result < 0 && spent) << fail_at << ": " << c.result;
      EXPECT_FALSE(c.bound[0] || c.bound[1] || c.bound[2] || c.bound[3]) << fail_at;
    }
    EXPECT_EQ(open_fds(), before) << "failing allocation " << fail_at;
    if (!spent || fail_at > 500) break;
  }
  EXPECT_GT(failures, 3);
}

/* The engine's memory from the blocks it freed, the newest of a size first, as a caching
 * allocator hands them out (the sanitizer's allocator holds freed blocks back). */
struct recycling_allocator {
  static inline std::vector<std::pair<void *, size_t>> freed;
  recycling_allocator()
  {
    QX_set_memalloc_hooks(
        0, [](void *) { return 1; }, [](void *) {}, alloc, release, nullptr);
  }
  static void *alloc(size_t size, void *)
  {
    auto it = std::find_if(freed.rbegin(), freed.rend(), [&](auto &f) { return f.second == size; });
    if (it == freed.rend()) return std::malloc(size);
    void *block = it->first;
    freed.erase(std::next(it).base());
    return block;
  }
  static void release(void *block, size_t size, void *) { freed.push_back({block, size}); }
};

struct RecyclingProcessTest : recycling_allocator, ProcessTest {
  void TestBody() override {}
  /* Kills through a reaped child's term once the next child runs: the answer, and the next
   * child's flags after a wait that does not block. */
  std::string stale_term_after_reap()
  {
    created old = sleeper();
    result_of("$process_kill", {old.process, num(9)});
    reap(old.process);
    created next = sleeper();
    std::string out = std::to_string(result_of("$process_kill", {old.process, num(9)}));
    out += " " + std::to_string(wait(next.process, num(0), num(0)).flags);
    result_of("$process_kill", {next.process, num(9)});
    reap(next.process);
    return out;
  }
};

/* A reaped process's term never names a later process: killing through it is an existence
 * error (not found) and the new child lives on. */
TEST(ProcessObjects, AReapedProcessTermNamesNoLaterChild)
{
  forked_child child = run_forked([] { return RecyclingProcessTest().stale_term_after_reap(); });
  EXPECT_EQ(child.report, std::to_string(QXIO_E_NOT_FOUND) + " 4096") << child.err;
}

}  // namespace
