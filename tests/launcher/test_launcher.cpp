/* The launcher's paths, each in a child whose standard output and error are pipes: exit codes
 * and the exact messages. Where a case needs a booted engine, the child boots it first through
 * a stand-in of the restore built-in and defines restore/1 and main/0 from Prolog text, standing
 * in for the two saved states; the launcher's own start then finds the engine initialised and
 * goes on with the arguments, the application's restore and main/0. */
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "appended_resource.h"
#include "database.h"
#include "launcher.h"
#include "modules.h"
#include "programs/null_table.h"
#include "read_terms.h"
#include "scratch_files.h"
#include "stand_in.h"
#include "startup.h"
#include "test_fork.h"
#include "wam.h"
#include "scratch_root.h"

namespace {

struct launched {
  std::string out, err;
  int status = -1;
};

/* Runs body in a child with both output streams on pipes (the descriptor full, if any, on
 * /dev/full instead); the child exits with its result. */
template <class Body>
launched run_child(Body body, int full = -1)
{
  launched result;
  int out[2], err[2];
  if (pipe(out) != 0) return result;
  if (pipe(err) != 0) return result;
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {out[0], out[1], err[0], err[1]}) close(fd);
    if (full >= 0) dup2(open("/dev/full", O_WRONLY), full);
    _exit(body());
  }
  close(out[1]);
  close(err[1]);
  result.out = read_to_end(out[0]); /* the child's output is small: the pipes do not fill */
  result.err = read_to_end(err[0]);
  close(out[0]);
  close(err[0]);
  waitpid(pid, &result.status, 0);
  return result;
}

int exit_code(const launched &l) { return WIFEXITED(l.status) ? WEXITSTATUS(l.status) : -1; }

int restore_anything(worker *) { return 1; }

/* Boots the engine (the stand-in restore accepts any state), then adds the clauses of each
 * module's text. */
bool preboot(const std::vector<std::pair<const char *, std::string>> &program)
{
  without_linked_states();
  if (qx_glue_initialize(0, nullptr, nullptr, qx_pre_linkage, qx_pre_map, 0, 0) != 1) return false;
  qx_define_native(qx_eg.prolog_module, "$restore", 2, restore_anything, nullptr, BUILTIN_DET);
  if (qx_qload_or_restore("/no/dir/qxrt.sav", 0) != 1) return false;
  for (const auto &[module_name, text] : program) {
    mod_def *module = find_module(init_atom_check(module_name, 0), 1);
    for (TAGGED clause : TermReader::clauses(qx_w, text)) {
      TAGGED c = deref(clause), head = c;
      if (IsStr(c) && StrFunctor(c) == MakeFunctor(init_atom_check(":-", 0), 2))
        head = deref(StrArg(c, 1));
      definition *d = find_definition(module, IsStr(head) ? StrFunctor(head) : head, nullptr, 1);
      if (d->predtyp == ENTER_UNDEFINED) redefine_predicate(d, ENTER_INTERPRETED);
      insertz(d, qx_make_clause(qx_w, d, clause));
    }
  }
  qx_eg.def_generation++;
  return true;
}

/* The launcher with arguments after the program name, on an engine booted with program. */
launched launch(const std::string &restore, const std::string &main_text,
                std::vector<std::string> args = {}, int full = -1)
{
  auto body = [&] {
    std::vector<std::pair<const char *, std::string>> program = {{"user", restore},
                                                                 {"prolog", main_text}};
    if (!preboot(program)) return 99;
    std::vector<char *> argv = {(char *)"launcher"};
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return user_main((int)argv.size() - 1, argv.data());
  };
  return run_child(body, full);
}

const std::string could_not_restore =
    "! Could not restore \"URL:x-orvalis-resource:/tavro/tavro.sav\".\n";

}  // namespace

TEST(Launcher, ExitPathsOfMainAndOfTheRestore)
{
  struct {
    const char *restore, *main_text;
    int code;
    const char *out;
    std::string err;
  } cases[] = {
      {"restore(_).", "main :- write(hello), nl.", 0, "hello\n", ""},
      {"restore(_).", "main :- fail.", 1, "", ""},
      {"restore(_).", "main :- throw(foo).", 1, "", ""},
      {"restore(_).", "main :- write(x), halt(3).", 3, "x", ""},
      {"restore(_) :- halt(3).", "main.", 3, "", ""},
      {"restore(_) :- throw('$reserved'(3)).", "main.", 1, "", ""},
      {"restore(_) :- fail.", "main.", 1, "", could_not_restore},
      {"restore(_) :- throw(oops).", "main.", 1, "", could_not_restore},
      {"other.", "main.", 1, "", could_not_restore}, /* restore/1 undefined */
      /* the linked-in resources load from the launcher's tables */
      {"restore(_).",
       "main :- load_foreign_resource(random), 'ZKRget'(X, _, _, _), write(X), "
       "load_foreign_resource(codesio), load_foreign_resource(timeout).",
       0, "27134", ""},
  };
  for (const auto &c : cases) {
    launched l = launch(c.restore, c.main_text);
    EXPECT_EQ(exit_code(l), c.code) << c.restore << " " << c.main_text;
    EXPECT_EQ(l.out, c.out) << c.restore << " " << c.main_text;
    EXPECT_EQ(l.err, c.err) << c.restore << " " << c.main_text;
  }
}

TEST(Launcher, ArgumentsReachArgv)
{
  std::string main_text = "main :- '$argv'(A), write(A).";
  launched two = launch("restore(_).", main_text, {"x", "3"});
  EXPECT_EQ(exit_code(two), 0);
  EXPECT_EQ(two.out, "[x,3]") << two.err;
  launched none = launch("restore(_).", main_text);
  EXPECT_EQ(exit_code(none), 0);
  EXPECT_EQ(none.out, "[]") << none.err;
  /* a byte the system's character set refuses (invalid in UTF-8, above 127 in ASCII) */
  launched bad = launch("restore(_).", main_text, {"ok", "\xff"});
  EXPECT_EQ(exit_code(bad), 1);
  EXPECT_EQ(bad.out, "");
  EXPECT_EQ(bad.err,
            "! Prolog engine initialization failed. Malformed or overlong command line.\n");
}

TEST(Launcher, StartWithoutABootFile)
{
  std::string dir = qx_scratch_mkdtemp("qx_launcher");
  ASSERT_NE(dir, "");
  launched l = run_child([&] {
    without_linked_states();
    setenv("QX_PATH", dir.c_str(), 1);
    char *argv[] = {(char *)"launcher", nullptr};
    return user_main(1, argv);
  });
  EXPECT_EQ(exit_code(l), 1);
  EXPECT_EQ(l.err, "! Prolog engine initialization failed: could not find bootfile " + dir +
                       "/bin/qxrt.sav\n");
  EXPECT_EQ(l.out, "");
  /* a start that cannot even begin: the error's own text */
  launched refused = run_child([] {
    QX_set_memalloc_hooks(
        0, [](void *) { return 0; }, [](void *) {},
        [](size_t size, void *) { return std::malloc(size); },
        [](void *block, size_t, void *) { std::free(block); }, nullptr);
    char *argv[] = {(char *)"launcher", nullptr};
    return user_main(1, argv);
  });
  EXPECT_EQ(exit_code(refused), 1);
  EXPECT_EQ(refused.err, "! Prolog engine initialization failed: Memory Initialization Error\n");
  std::filesystem::remove_all(dir);
}

/* The real table: both states linked in; main/0 of the stand-in application runs with the
 * arguments given, and each exit path gives its code. */
TEST(Launcher, LinkedStatesBootAndRunMain)
{
  struct {
    std::vector<std::string> args;
    int code;
    const char *out_begins, *err;
    const char *locale = nullptr; /* LC_ALL of the child */
  } cases[] = {
      {{}, 0, "Hello from the stand-in application.\nArguments: []\n", ""},
      /* arguments and standard streams in the charset of the environment's locale */
      {{"\xC3\xA9"},
       0,
       "Hello from the stand-in application.\nArguments: [\xC3\xA9]\n",
       "",
       "C.UTF-8"},
      {{"\xC3\xA9"},
       1,
       "",
       "! Prolog engine initialization failed. Malformed or overlong command line.\n",
       "C"},
      {{"x", "3"}, 0, "Hello from the stand-in application.\nArguments: [x,3]\n", ""},
      {{"fail"}, 1, "Hello from the stand-in application.\n", ""},
      {{"throw"}, 1, "Hello from the stand-in application.\n", ""},
      {{"halt"}, 3, "Hello from the stand-in application.\n", ""},
  };
  for (auto &c : cases) {
    launched l = run_child([&] {
      std::vector<char *> argv = {(char *)"launcher"};
      for (std::string &a : c.args) argv.push_back(a.data());
      argv.push_back(nullptr);
      if (c.locale) setenv("LC_ALL", c.locale, 1);
      return user_main((int)argv.size() - 1, argv.data());
    });
    std::string label = c.args.empty() ? "no arguments" : c.args[0];
    EXPECT_EQ(exit_code(l), c.code) << label << ": " << l.err;
    EXPECT_EQ(l.out.substr(0, std::strlen(c.out_begins)), c.out_begins) << label;
    EXPECT_EQ(l.err, c.err) << label;
  }
}

/* Output that cannot be written at exit: the loss of user_output's is named on user_error,
 * and the run that succeeded exits with 1. */
TEST(Launcher, UnwritableOutputAtExitFailsTheRun)
{
  for (int full : {1, 2}) {
    launched l =
        launch("restore(_).", "main :- write(x), '$put_code'(user_error, 0'y, 0).", {}, full);
    EXPECT_EQ(exit_code(l), 1) << full;
    EXPECT_EQ(l.out + l.err,
              full == 1 ? "y! Output to user_output lost at shutdown: QXIO_E_NOSPACE\n" : "x")
        << full;
  }
}

namespace {

/* A copy of the test build's launcher program with the runtime state's bytes appended. */
std::string program_with_runtime(const std::string &path, const std::string &runtime)
{
  std::filesystem::copy_file(QX_NULL_TABLE_LAUNCHER, path,
                             std::filesystem::copy_options::overwrite_existing);
  std::ofstream(path, std::ios::binary | std::ios::app) << with_trailer(runtime, "/qxrt.sav");
  return path;
}

/* The program run with the arguments, QX_EMBEDDED_RESOURCES_PATH at app unless it is empty and
 * the environment settings given. */
launched exec_program(const std::string &program, std::vector<std::string> args,
                      const std::string &app,
                      const std::vector<std::pair<const char *, std::string>> &env = {})
{
  return run_child([&] {
    std::vector<char *> argv = {(char *)program.c_str()};
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (app.empty())
      unsetenv("QX_EMBEDDED_RESOURCES_PATH");
    else
      setenv("QX_EMBEDDED_RESOURCES_PATH", app.c_str(), 1);
    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    for (const auto &[name, value] : env) setenv(name, value.c_str(), 1);
    execv(program.c_str(), argv.data());
    return 127;
  });
}

/* The saved states of the matrix beside the generated two, written in a child that boots the
 * linked-in runtime, restores the application and saves from there (selector 0 ALL_BUT_PROLOG,
 * 1 ALL, 2 SELECTED): the application with an initialisation goal that halts or throws
 * '$reserved'(3), a SELECTED one, one whose main/0 calls natives of two modules and of the
 * linked-in solver, and a runtime that defines compile_all/3. */
int write_states(const std::string &dir)
{
  auto save = [&](const char *name, int selector) {
    return "'$save_doit'('" + dir + "/" + name + "', " + std::to_string(selector) +
           ", [], [], [], 1, test)";
  };
  const std::string goals[] = {
      "assertz('$init_goal'(halt(3))), " + save("halt_init.sav", 0) + ", retract('$init_goal'(_))",
      "assertz('$init_goal'(throw('$reserved'(3)))), " + save("reserved_init.sav", 0) +
          ", retract('$init_goal'(_))",
      save("selected.sav", 2),
      "retract((main :- _)), assertz((main :- alignments:endianness(E), write(E), nl, "
      "structs:calloc(4, 8, A), A =\\= 0, structs:free(A), write(freed), nl, "
      "load_clpfd_resource, clpfd:'$fd_minint_maxint'(Min, Max), write(Min/Max), nl)), " +
          save("natives.sav", 0),
      "assertz(compile_all(_, _, _)), " + save("compile_all.sav", 1),
  };
  launched made = run_child([&] {
    if (qx_glue_initialize(0, nullptr, nullptr, qx_pre_linkage, qx_pre_map, 0, 1) != 1) return 2;
    if (QX_restore("URL:x-orvalis-resource:/tavro/tavro.sav") != 1) return 3;
    int n = 10;
    for (const std::string &goal : goals) {
      if (qx_call_once(qx_w, TermReader(qx_w, goal).read(), qx_eg.prolog_module) != 1) return n;
      n++;
    }
    /* a GC margin of the whole reservation, more than the heap's part of it can keep */
    qx_eg.current_gcmargin = 1u << 20;
    TAGGED huge = TermReader(qx_w, save("huge_margin.sav", 0)).read();
    return qx_call_once(qx_w, huge, qx_eg.prolog_module) == 1 ? 0 : n;
  });
  return exit_code(made);
}

}  // namespace

/* The launcher program of the test build: the runtime state appended to a copy of it, the
 * application in the file QX_EMBEDDED_RESOURCES_PATH names, each with its own trailer. Every exit
 * path of main/0 and of the restore, states that are missing, of the wrong kind or cut short, a
 * runtime of the development kind, and the arguments. */
TEST(LauncherProgram, AppendedAndEmbeddedStates)
{
  std::string dir = qx_scratch_mkdtemp("qx_launcher");
  ASSERT_NE(dir, "");
  ASSERT_EQ(write_states(dir), 0);
  std::string states = QX_STATES_DIR;
  std::string runtime = file_bytes(states + "/qxrt.sav");
  std::string application = file_bytes(states + "/tavro/tavro.sav");
  ASSERT_FALSE(runtime.empty());
  ASSERT_FALSE(application.empty());
  auto app = [&](const std::string &name, const std::string &bytes) {
    std::ofstream(dir + "/" + name, std::ios::binary) << with_trailer(bytes, "/tavro/tavro.sav");
    return dir + "/" + name;
  };
  std::string plain = app("plain.app", application);
  std::string program = program_with_runtime(dir + "/launcher", runtime);
  std::string development =
      program_with_runtime(dir + "/launcher_dev", file_bytes(dir + "/compile_all.sav"));
  std::string empty_dir = dir + "/empty";
  std::filesystem::create_directory(empty_dir);
  const std::string failed = "! Prolog engine initialization failed: ";
  struct {
    std::string program;
    std::vector<std::string> args;
    std::string app;
    int code;
    std::string out, err;
  } cases[] = {
      {program, {}, plain, 0, expected_greeting("[]"), ""},
      {program, {"x", "3"}, plain, 0, expected_greeting("[x,3]"), ""},
      {program, {"fail"}, plain, 1, expected_greeting("[fail]"), ""},
      {program, {"throw"}, plain, 1, expected_greeting("[throw]"), ""},
      {program, {"halt"}, plain, 3, expected_greeting("[halt]"), ""},
      {program, {}, app("halt_init.app", file_bytes(dir + "/halt_init.sav")), 3, "", ""},
      {program, {}, app("reserved.app", file_bytes(dir + "/reserved_init.sav")), 1, "", ""},
      {program, {}, "", 1, "", could_not_restore},
      {program,
       {},
       app("selected.app", file_bytes(dir + "/selected.sav")),
       1,
       "",
       could_not_restore},
      {program,
       {},
       app("margin.app", file_bytes(dir + "/huge_margin.sav")),
       1,
       "",
       could_not_restore},
      {program,
       {},
       app("cut.app", application.substr(0, application.size() / 2)),
       1,
       "",
       could_not_restore},
      {program,
       {"ok", "\xff"},
       plain,
       1,
       "",
       "! Prolog engine initialization failed. Malformed or overlong command line.\n"},
      {program,
       {},
       app("natives.app", file_bytes(dir + "/natives.sav")),
       0,
       "little_endian\nfreed\n-268435456/268435455\n",
       ""},
      {development, {}, plain, 1, "", failed + QX_error_message(QX_ERR_BOOTFILE_KIND) + "\n"},
      {QX_NULL_TABLE_LAUNCHER,
       {},
       plain,
       1,
       "",
       failed + "could not find bootfile " + empty_dir + "/bin/qxrt.sav\n"},
  };
  for (auto &c : cases) {
    std::string label = c.program + " " + (c.args.empty() ? "" : c.args[0]) + " " + c.app;
    launched l = exec_program(c.program, c.args, c.app, {{"QX_PATH", empty_dir}});
    EXPECT_EQ(exit_code(l), c.code) << label << ": " << l.err;
    EXPECT_EQ(l.out, c.out) << label;
    EXPECT_EQ(l.err, c.err) << label;
  }
  std::filesystem::remove_all(dir);
}

/* The launcher of `make run`, its states linked in: the greeting with its arguments and the exit
 * codes of main/0's paths; no application file is consulted. */
TEST(LauncherProgram, RealBinaryRunsTheLinkedStates)
{
  struct {
    std::vector<std::string> args;
    int code;
    std::string out;
  } cases[] = {
      {{}, 0, expected_greeting("[]")},
      {{"halt"}, 3, expected_greeting("[halt]")},
      {{"x", "3"}, 0, expected_greeting("[x,3]")},
  };
  for (auto &c : cases) {
    launched l = exec_program(QX_ORVALIS, c.args, "/no/such/file");
    EXPECT_EQ(exit_code(l), c.code) << l.err;
    EXPECT_EQ(l.out, c.out);
    EXPECT_EQ(l.err, "");
  }
}

/* mkstate runs the directives of its program as it reads them; a directive that fails or raises
 * (op/3 among them: the operator table is fixed) and a syntax error stop it with the file and
 * line named. */
TEST(LauncherProgram, MkstateRunsDirectivesAndNamesTheLineOfAnError)
{
  struct {
    const char *text;
    int code;
    std::string out, err; /* err after "mkstate: FILE:" */
  } cases[] = {
      {"a.\n:- write(hello), nl.\nb.\n", 0, "hello\n", ""},
      {"a.\n\n:- op(700, xfx, less_than).\nx less_than y.\n", 1, "",
       "3: the directive raised an exception\n"},
      {"a.\n% b\n?- fail.\n", 1, "", "3: the directive failed\n"},
      {"a.\nb :-\n  .\n", 1, "", "3: syntax error\n"},
  };
  for (auto &c : cases) {
    std::string app = scratch_file("mkstate_app.pl", c.text), dir = scratch_dir() + "/mkstate";
    launched l = exec_program(QX_MKSTATE, {app, dir, dir + ".cpp"}, "");
    EXPECT_EQ(exit_code(l), c.code) << c.text;
    EXPECT_EQ(l.out, c.out) << c.text;
    EXPECT_EQ(l.err, c.err.empty() ? "" : "mkstate: " + app + ":" + c.err) << c.text;
  }
}
