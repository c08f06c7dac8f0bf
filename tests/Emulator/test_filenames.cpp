/* File names: expansion against the engine's current directory, home directories and
 * variables; the path helpers; changing directory on real directories in forked children
 * (reading the process's directory from /proc/self/cwd); the start directories; finding the
 * program along a search path. Every block handed out is freed (the fixture checks the count). */
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "datadefs.h"
#include "filenames.h"
#include "memman.h"
#include "orvalis.h"
#include "qxio.h"
#include "test_fork.h"
#include "scratch_root.h"

namespace {

const std::string NUL_CODE = "\xC0\x80"; /* code 0 in the internal encoding */

std::string text_or_null(char *text)
{
  std::string s = text ? text : "<null>";
  QX_free(text);
  return s;
}

std::string process_cwd()
{
  std::error_code error;
  std::string path = std::filesystem::read_symlink("/proc/self/cwd", error).string();
  return error ? "<unreadable>" : path;
}

class FileNames : public ::testing::Test {
protected:
  FileNames()
  {
    EXPECT_EQ(memman_init(), 0);
    EXPECT_EQ(qxio_init(nullptr, nullptr, 0), 0);
    tmp = qx_scratch_mkdtemp("qx_filenames");
  }
  ~FileNames() override
  {
    deinit_file();
    EXPECT_EQ(qx_space_in_use(QX_SPACE_FOREIGN), 0u) << "every block handed out was freed";
    qxio_init(nullptr, nullptr, QXIO_INIT_SHUTDOWN);
    memman_deinit();
    std::error_code ignored;
    if (!tmp.empty()) std::filesystem::remove_all(tmp, ignored);
  }
  static void set_cwd(const std::string &dir)
  {
    QX_free(qx_eg.cwd_ienc);
    qx_eg.cwd_ienc = QX_strdup(dir.c_str());
  }
  static void set_property(const char *key, const std::string &value)
  {
    ASSERT_EQ(QX_set_system_property(key, value.c_str(), 0), 0);
  }
  static std::string property(const char *key)
  {
    char *value = nullptr;
    if (QX_get_system_property(key, &value, 1) != 0) return "<unset>"; /* not the environment */
    return text_or_null(value);
  }
  static std::string expand(const std::string &name, const char *base, int options)
  {
    return text_or_null(qx_expand_file_name_internal(name.c_str(), base, options));
  }
  void make_dir(const std::string &rel) { ASSERT_EQ(mkdir((tmp + rel).c_str(), 0755), 0) << rel; }
  void make_file(const std::string &rel)
  {
    FILE *f = fopen((tmp + rel).c_str(), "w");
    ASSERT_NE(f, nullptr) << rel;
    fputs("x", f);
    fclose(f);
  }
  /* What QX_set_current_dir answered, then the engine's and the process's directories. */
  static std::string change_to(const std::string &dir)
  {
    int rc = QX_set_current_dir(dir.c_str());
    return std::to_string(rc) + " " + text_or_null(QX_get_current_dir()) + " " + process_cwd();
  }

  std::string tmp;
};

TEST_F(FileNames, ExpansionFoldsComponentsAgainstTheCurrentDirectory)
{
  set_cwd("/home/u/");
  set_property("HOME", "/home/u");
  set_property("QX_T_DIR", "/data//x/");
  set_property("QX_T_REL", "rel/dir");
  set_property("QX_T_VAR", "$HOME");
  set_property("QX_T_EMPTY", "");
  std::string long_name;
  for (int i = 0; i < 25; i++) long_name += "/" + std::string(200, 'y');
  struct {
    std::string name;
    const char *base;
    int options;
    std::string expected;
  } rows[] = {
      {"a/./b/../c", nullptr, 0, "/home/u/a/c"},
      {"/..", nullptr, 0, "<null>"},
      {"/a/../..", nullptr, 0, "<null>"},
      {"../..", nullptr, 0, "<null>"},
      {"../..", nullptr, 1, "/"},
      {"../../..", nullptr, 1, "<null>"},
      {".", nullptr, 0, "/home/u"},
      {".", nullptr, 1, "/home/u/"},
      {"~", nullptr, 0, "/home/u"},
      {"~/", nullptr, 1, "/home/u/"},
      {"~/../v", nullptr, 0, "/home/v"},
      {"$HOME/x", nullptr, 0, "/home/u/x"},
      {"$HOME", nullptr, 0, "/home/u"},
      {"$QX_T_DIR/y/", nullptr, 0, "/data/x/y"},
      {"$QX_T_REL/x", nullptr, 0, "/home/u/rel/dir/x"},
      {"$QX_T_REL/x", "/b/", 0, "/b/rel/dir/x"},
      {"$QX_T_VAR/x", nullptr, 0, "/home/u/$HOME/x"},
      {"$HOME/x", nullptr, 4, "/home/u/$HOME/x"},
      {"$", nullptr, 0, "<null>"},
      {"$/x", nullptr, 0, "<null>"},
      {"$QX_T_UNSET_VARIABLE/x", nullptr, 0, "<null>"},
      {"$QX_T_EMPTY/x", nullptr, 0, "<null>"},
      {"/", nullptr, 0, "<null>"},
      {"/", nullptr, 1, "/"},
      {"/", nullptr, 16, "/."},
      {"/", nullptr, 32, "/"},
      {"/a/..", nullptr, 16, "/."},
      {"//a//b//", nullptr, 0, "/a/b"},
      {"//a//b//", nullptr, 1, "/a/b/"},
      {"x", nullptr, 2, "<null>"},
      {"/x", nullptr, 2, "/x"},
      {"~", nullptr, 2, "/home/u"},
      {"a", "/d/e", 0, "/d/e/a"},
      {"a", "/d/e/", 0, "/d/e/a"},
      {"a", "", 0, "/home/u/a"},
      {"~qx_no_such_user_zz", nullptr, 0, "<null>"},
      {"~qx_no_such_user_zz/x", nullptr, 0, "<null>"},
      {"a" + NUL_CODE + "b/c", nullptr, 0, "/home/u/a" + NUL_CODE + "b/c"},
      {long_name + "/z/..", nullptr, 0, long_name},
  };
  for (auto &row : rows)
    EXPECT_EQ(expand(row.name, row.base, row.options), row.expected)
        << row.name.substr(0, 40) << " options " << row.options;
}

TEST_F(FileNames, HomeDirectoriesComeFromHomeElseTheUserDatabase)
{
  set_cwd("/w/");
  struct passwd *self = getpwuid(getuid()); /* the oracle: the system's own database */
  ASSERT_NE(self, nullptr);
  std::string own_home = self->pw_dir, own_name = self->pw_name;
  if (own_home.size() > 1 && own_home.back() == '/') own_home.pop_back();
  struct {
    const char *home; /* "": the user database decides */
    std::string name, expected;
  } rows[] = {
      {"", "~/x", (own_home == "/" ? "" : own_home) + "/x"},
      {"/h//", "~", "/h"},
      {"~/h", "~", "/w/~/h"}, /* a home that begins with a tilde is not looked up again */
      {"rel", "~/x", "/w/rel/x"},
      {"/h", "~" + own_name + "/x", (own_home == "/" ? "" : own_home) + "/x"},
  };
  for (auto &row : rows) {
    set_property("HOME", row.home);
    EXPECT_EQ(expand(row.name, nullptr, 0), row.expected) << row.home;
  }
}

TEST_F(FileNames, TheApiExpandsTheBaseAsADirectoryAndRefusesBadText)
{
  set_cwd("/home/u/");
  struct {
    const char *name, *base;
    int options, rc;
    std::string expected;
  } rows[] = {
      {"a", nullptr, 0, 0, "/home/u/a"},
      {"a", "sub", 0, 0, "/home/u/sub/a"},
      {"a", "/s/t/..", 1, 0, "/s/a/"},
      {"a", "/..", 0, QXIO_E_ERROR, "<null>"},
      {"/..", nullptr, 0, QXIO_E_ERROR, "<null>"},
      {"\xFF", nullptr, 0, QXIO_E_ERROR, "<null>"},
      {"a", "\xC0", 0, QXIO_E_ERROR, "<null>"},
  };
  for (auto &row : rows) {
    char *result = (char *)1;
    EXPECT_EQ(QX_expand_file_name(row.name, row.base, row.options, &result), row.rc) << row.name;
    EXPECT_EQ(text_or_null(result), row.expected) << row.name;
  }
}

TEST_F(FileNames, PathHelpersSplitRootBaseAndSuffix)
{
  struct {
    const char *path;
    int root_len;
    long base, suffix; /* offsets; -1 for none */
    size_t parent;
    std::string dirname, basename, stem;
  } rows[] = {
      {"/a/b/c.pl", 1, 5, 6, 4, "/a/b/", "c.pl", "c"},
      {"/a/b/", 1, 5, -1, 2, "/a/", "", ""},
      {"/a.b/c", 1, 5, -1, 4, "/a.b/", "c", "c"},
      {"/a", 1, 1, -1, 0, "<null>", "a", "a"},
      {"/", 1, 1, -1, 0, "<null>", "", ""},
      {"a/b.c.d", 0, 2, 5, 1, "a/", "b.c.d", "b.c"},
      {"a", 0, 0, -1, 0, "<null>", "a", "a"},
      {"x/.profile", 0, 2, 2, 1, "x/", ".profile", ""},
  };
  for (auto &row : rows) {
    SCOPED_TRACE(row.path);
    const char *root_end, *base, *suffix;
    EXPECT_EQ(qx_get_root_len(row.path), row.root_len);
    EXPECT_EQ(qx_split_path(row.path, &root_end, &base, &suffix), row.path + strlen(row.path));
    EXPECT_EQ(root_end, row.root_len ? row.path + row.root_len : nullptr);
    EXPECT_EQ(base - row.path, row.base);
    EXPECT_EQ(suffix ? suffix - row.path : -1, row.suffix);
    EXPECT_EQ(qx_path_suffix(row.path), suffix);
    EXPECT_EQ(parent_dir_end(row.path), row.parent);
    EXPECT_EQ(text_or_null(qx_dirname(row.path)), row.dirname);
    EXPECT_EQ(text_or_null(qx_basename(row.path, 0)), row.basename);
    EXPECT_EQ(text_or_null(qx_basename(row.path, 1)), row.stem);
  }
}

TEST_F(FileNames, ChangingDirectoryMovesBothDirectoriesOrNeither)
{
  ASSERT_FALSE(tmp.empty());
  make_dir("/d");
  make_dir("/d/a");
  make_file("/f");
  std::string too_long = tmp;
  while (too_long.size() <= PATH_MAX) too_long += "/" + std::string(200, 'y');
  forked_child child = run_forked([&] {
    std::string report;
    if (chdir(tmp.c_str()) != 0) return std::string("no chdir");
    set_cwd(tmp + "/");
    report += change_to("d") + "\n";
    report += change_to("../f") + "\n";
    report += change_to("../missing") + "\n";
    report += change_to("a" + NUL_CODE + "b") + "\n"; /* cut at code 0 it would name d/a */
    report += change_to(too_long) + "\n";
    report += change_to("\xFF") + "\n";
    report += change_to("/..") + "\n";
    char *cached = nullptr;
    qxio_get_working_directory(&cached, QXIO_CWD_CACHED);
    report += std::string(cached ? cached : "<none>") + "\n";
    qxio_free(cached);
    return report;
  });
  std::string d = tmp + "/d";
  EXPECT_EQ(child.report, "0 " + d + "/ " + d + "\n" +  //
                              std::to_string(QXIO_E_FILE_NOT_DIRECTORY) + " " + d + "/ " + d +
                              "\n" + std::to_string(QXIO_E_FILE_NOT_FOUND) + " " + d + "/ " + d +
                              "\n" + std::to_string(QXIO_E_INVALID_NAME) + " " + d + "/ " + d +
                              "\n" + std::to_string(QXIO_E_INVALID_NAME) + " " + d + "/ " + d +
                              "\n" + std::to_string(QXIO_E_ENCODING_INVALID) + " " + d + "/ " + d +
                              "\n" + std::to_string(QXIO_E_INVALID_NAME) + " " + d + "/ " + d +
                              "\n" + d + "/\n");
  EXPECT_TRUE(child.exited(0)) << child.err;
}

TEST_F(FileNames, TheProcessDirectoryFollowsOnlyWhenAllowed)
{
  ASSERT_FALSE(tmp.empty());
  make_dir("/d");
  make_dir("/e");
  forked_child child = run_forked([&] {
    std::string report;
    if (chdir(tmp.c_str()) != 0) return std::string("no chdir");
    set_cwd(tmp + "/");
    QX_set_system_property("QX_ALLOW_CHDIR", "no", 0);
    report += change_to("d") + "\n";
    qx_set_current_dir_default_options = QX_CHDIR_KEEP_PROCESS;
    QX_set_system_property("QX_ALLOW_CHDIR", "yes", 0);
    report += change_to("../e") + "\n";
    qx_set_current_dir_default_options = QX_CHDIR_KEEP_ENGINE;
    report += change_to("../d") + "\n";
    return report;
  });
  EXPECT_EQ(child.report, "0 " + tmp + "/d/ " + tmp + "\n" +       /* QX_ALLOW_CHDIR no */
                              "0 " + tmp + "/e/ " + tmp + "/e\n" + /* yes beats the default */
                              "0 " + tmp + "/e/ " + tmp + "/d\n"); /* the engine's stays */
  EXPECT_TRUE(child.exited(0)) << child.err;
}

TEST_F(FileNames, StartUpTakesTheStartDirectoryAndTheTemporaryOne)
{
  ASSERT_FALSE(tmp.empty());
  make_dir("/d");
  make_file("/f");
  std::string none = " <null> " + tmp + " <unset> <unset>";
  struct {
    bool set;             /* QX_STARTUP_DIR in the environment */
    std::string value;    /* its value */
    std::string expected; /* answer, cwd_ienc, process directory, the two properties */
  } rows[] = {
      {false, "", "1 " + tmp + "/ " + tmp + " " + tmp + "/ " + tmp + "/d/"},
      {true, tmp + "/d", "1 " + tmp + "/d/ " + tmp + "/d " + tmp + "/d/ " + tmp + "/d/"},
      {true, tmp + "/d/../d/", "1 " + tmp + "/d/ " + tmp + "/d " + tmp + "/d/ " + tmp + "/d/"},
      {true, tmp + "/f", "0" + none},
      {true, tmp + "/missing", "0" + none},
      {true, "d", "0" + none}, /* the name must be absolute */
      {true, "~", "0" + none},
  };
  for (auto &row : rows) {
    forked_child child = run_forked([&] {
      if (chdir(tmp.c_str()) != 0) return std::string("no chdir");
      if (row.set)
        setenv("QX_STARTUP_DIR", row.value.c_str(), 1);
      else
        unsetenv("QX_STARTUP_DIR");
      qxio_get_system_properties(nullptr, nullptr, 0x10); /* refresh the environment copy */
      QX_set_system_property("TMPDIR", (tmp + "/d").c_str(), 0);
      int ok = init_once_file();
      return std::to_string(ok) + " " + text_or_null(QX_get_current_dir()) + " " + process_cwd() +
             " " + property("QX_STARTUP_DIR") + " " + property("QX_TEMP_DIR");
    });
    EXPECT_EQ(child.report, row.expected) << row.value;
    EXPECT_TRUE(child.exited(0)) << child.err;
  }
}

TEST_F(FileNames, TheProgramIsFoundAlongTheSearchPath)
{
  ASSERT_FALSE(tmp.empty());
  make_dir("/b1");
  make_dir("/b1/prog"); /* a directory: not the program */
  make_dir("/b2");
  make_file("/b2/prog");
  std::string b1 = tmp + "/b1", b2 = tmp + "/b2";
  struct {
    const char *argv0;
    std::string path; /* null text: unset */
    std::string expected;
  } rows[] = {
      {"prog", "::" + b1 + ":" + b2 + "//::" + b2 + "/:", b2 + "/prog"},
      {"prog", b2 + "//", "<null>"},
      {"prog", b2, b2 + "/prog"},
      {"prog", b1, "<null>"},
      {"prog", "", "<null>"},
      {"prog", ":::", "<null>"},
      {"./not/there", "", "./not/there"},
      {"/abs/prog", b2, "/abs/prog"},
  };
  for (auto &row : rows) {
    set_property("QX_T_PATH", row.path);
    EXPECT_EQ(text_or_null(resolve_argv_execpath(row.argv0, "QX_T_PATH")), row.expected)
        << row.path;
  }
  EXPECT_EQ(text_or_null(resolve_argv_execpath("prog", "QX_T_PATH_UNSET")), "<null>");
}

TEST_F(FileNames, TheRootEntryOfTheSearchPathIsTheRootDirectory)
{
  /* The entry "/" is looked up in a child whose root is a directory of the test's. */
  ASSERT_FALSE(tmp.empty());
  make_file("/prog");
  make_dir("/sub");
  make_file("/sub/prog");
  forked_child child = run_forked([&] {
    if (chroot(tmp.c_str()) != 0 || chdir("/") != 0) return std::string("no chroot");
    std::string report;
    for (const char *path : {"/", "//", "/sub/:/", "::/sub//:/"}) {
      QX_set_system_property("QX_T_PATH", path, 0);
      report += text_or_null(resolve_argv_execpath("prog", "QX_T_PATH")) + ";";
    }
    return report;
  });
  if (child.report == "no chroot") GTEST_SKIP() << "chroot is not permitted here";
  EXPECT_EQ(child.report, "/./prog;<null>;/sub/prog;/./prog;");
  EXPECT_TRUE(child.exited(0)) << child.err;
}

}  // namespace
