/* File-name, current-directory, argument-vector and exit built-ins, on real directories; the
 * exit in a child whose standard output is a pipe. */
#include <unistd.h>

#include "system_fixture.h"

namespace {

class BiPaths : public SystemTest {};

}  // namespace

TEST(BiPathsExit, UnixExitKeepsWhatUserOutputAndUserErrorStillBuffer)
{
  piped_child child = run_with_stdout_pipe([] {
    dup2(1, 2); /* user_error goes to the same pipe */
    SystemTest e(true);
    e.run("'$put_code'(user_error, 0'e, 0), '$put_code'(user_output, 0'x, 0), '$unix_exit'(5)");
  });
  EXPECT_TRUE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 5) << child.status;
  EXPECT_EQ(child.out.size(), 2u) << child.out;
  EXPECT_NE(child.out.find('x'), std::string::npos) << child.out;
  EXPECT_NE(child.out.find('e'), std::string::npos) << child.out;
}

TEST(BiPathsExit, UnixExitFailsOnAnythingButASmallInteger)
{
  SystemTest e;
  EXPECT_EQ(e.run("'$unix_exit'(foo)"), 0);
  EXPECT_EQ(e.run("'$unix_exit'(_)"), 0);
  EXPECT_EQ(e.run("'$unix_exit'(1.0)"), 0);
}

TEST_F(BiPaths, AbsolutePathAgainstExistingAndMissingRelTo)
{
  std::string d = dir;
  file("file.pl");
  subdir("sub");
  struct {
    std::string goal, expected;
  } cases[] = {
      /* An existing file as RelTo: its directory is the base. */
      {"'$absolute_path'(foo, '" + d + "/file.pl', 0, R)", d + "/foo"},
      /* A missing one is taken as a directory. */
      {"'$absolute_path'(foo, '" + d + "/gone.pl', 0, R)", d + "/gone.pl/foo"},
      {"'$absolute_path'(foo, '" + d + "/sub', 0, R)", d + "/sub/foo"},
      {"'$absolute_path'([a, b, '..', c], '" + d + "', 1, R)", d + "/a/c/"},
      {"'$absolute_path'('/', '', 0, R)", ""},
      {"'$absolute_path'('/', '', 2, R)", "/"},
      {"'$absolute_path'('/..', '', 0, R)", ""},
      {"'$absolute_path'(f(x), '', 0, R)", ""},
      {"'$absolute_path'('URL:file:/a/b', '/x', 0, R)", "URL:file:/a/b"},
  };
  for (const auto &c : cases) EXPECT_EQ(result(c.goal), c.expected) << c.goal;
  /* Against the current directory when RelTo is empty or ".". */
  ASSERT_EQ(run("'$unix_cd'(_, '" + d + "/sub')"), 1);
  EXPECT_EQ(result("'$absolute_path'(x, '.', 0, R)"), d + "/sub/x");
  EXPECT_EQ(result("'$absolute_path'(x, '', 0, R)"), d + "/sub/x");
}

TEST_F(BiPaths, DirectoryPathAndSplitEnvPath)
{
  EXPECT_EQ(result("'$directory_path'('/a/b/c', R)"), "/a/b/");
  EXPECT_EQ(result("'$directory_path'('/a', R)"), "<failed>");
  ASSERT_EQ(QX_setenv("QX_TEST_SPLIT", "/a::/b/./c/"), 0); /* the engine's copy */
  EXPECT_EQ(result("'$split_env_path'('QX_TEST_SPLIT', D, R)", "DR"), "[/b/c/,/a/] 0");
  ASSERT_EQ(QX_setenv("QX_TEST_SPLIT", "rel:$HOME:/x"), 0);
  ASSERT_EQ(run("'$unix_cd'(_, '" + dir + "')"), 1);
  EXPECT_EQ(result("'$split_env_path'('QX_TEST_SPLIT', D, R)", "DR"),
            "[/x/," + dir + "/$HOME/," + dir + "/rel/] 0");
  EXPECT_EQ(result("'$split_env_path'('QX_TEST_SPLIT_UNSET', D, R)", "DR"), "[] 0");
  EXPECT_EQ(result("'$split_env_path'(1, D, R)", "DR"), "[] -10004");
}

TEST_F(BiPaths, UnixCdChangesTheEngineDirectoryAndQxGetCurrentDirShowsIt)
{
  std::string sub = subdir("sub"), f = file("plain");
  ASSERT_EQ(run("'$unix_cd'(Old, '" + sub + "')"), 1);
  char *cwd = QX_get_current_dir();
  EXPECT_EQ(std::string(cwd ? cwd : "<null>"), sub + "/");
  QX_free(cwd);
  /* Old is the directory before the change; the same directory again changes nothing. */
  EXPECT_EQ(result("'$unix_cd'(R, '" + sub + "/')"), sub + "/");
  EXPECT_EQ(run("'$unix_cd'(_, '" + f + "')"), 0) << "a file is no directory";
  EXPECT_EQ(run("'$unix_cd'(_, '" + dir + "/missing')"), 0);
  EXPECT_EQ(run("'$unix_cd'(wrong, '" + dir + "')"), 0);
  EXPECT_EQ(std::string(qx_cwd_ienc()), sub + "/") << "failures leave the directory";
  EXPECT_EQ(result("'$set_current_dir_options'(R, 3)"), "0");
  EXPECT_EQ(result("'$set_current_dir_options'(R, 0)"), "3");
  EXPECT_EQ(run("'$set_current_dir_options'(_, -1)"), 0);
  EXPECT_EQ(qx_set_current_dir_default_options, 0u);
}

TEST_F(BiPaths, SetArgvThenArgv)
{
  EXPECT_EQ(result("'$argv'(R)"), "[]");
  ASSERT_EQ(run("'$set_argv'([x, '3', 'caf\xC3\xA9'])"), 1);
  EXPECT_EQ(result("'$argv'(R)"), "[x,3,caf\xC3\xA9]");
  /* A malformed list fails and keeps the stored vector. */
  EXPECT_EQ(run("'$set_argv'([a|_])"), 0);
  EXPECT_EQ(run("'$set_argv'([a, 1])"), 0);
  EXPECT_EQ(run("'$set_argv'(a)"), 0);
  EXPECT_EQ(result("'$argv'(R)"), "[x,3,caf\xC3\xA9]");
  ASSERT_EQ(run("'$set_argv'([])"), 1);
  EXPECT_EQ(result("'$argv'(R)"), "[]");
}

TEST_F(BiPaths, QxSetArgvConvertsCopiesAndRefusesWithoutChangingTheVector)
{
  char a0[] = "one", a1[] = "t\xE9";
  char *args[] = {a0, a1, nullptr};
  /* Bytes that are no internal-encoding text are refused as they are ... */
  qx_set_errno(0);
  EXPECT_EQ(QX_set_argv(2, args, 0), 0);
  EXPECT_EQ(QX_get_errno(), QX_ERR_STRING);
  EXPECT_EQ(qx_argc(), 0);
  /* ... and a null entry before argc. */
  EXPECT_EQ(QX_set_argv(3, args, 0), 0);
  ASSERT_EQ(QX_set_argv(1, args, 0), 1);
  a0[0] = 'X'; /* the vector holds copies */
  EXPECT_EQ(result("'$argv'(R)"), "[one]");
  EXPECT_EQ(QX_set_argv(3, args, 1), 0);
  EXPECT_EQ(result("'$argv'(R)"), "[one]") << "a refused vector leaves the stored one";
}

TEST_F(BiPaths, ArgvErrorRowAndOrvalisPath)
{
  /* The error $argv/1 raises when an argument makes no atom. */
  TAGGED formal = qx_formal_error(p.w, 1539, "prolog_flag", atom_nil);
  EXPECT_EQ(TestProlog::show(formal), "representation_error(prolog_flag)");
  EXPECT_EQ(run("'$orvalis_path'(library, _)"), 0) << "no boot directory yet";
  ASSERT_EQ(qx_set_boot_path((dir + "/bin/").c_str()), 1);
  EXPECT_EQ(result("'$orvalis_path'('library/', R)"), dir + "/library/");
  EXPECT_EQ(result("'$orvalis_path'('library/x.pl', R)"), dir + "/library/x.pl");
}
