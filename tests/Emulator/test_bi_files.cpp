/* File operation built-ins on real files and directories: results and classes of the edge
 * cases, the file-type sniffing, and access as seen by a child that runs under another uid. */
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include "system_fixture.h"
#include "scratch_root.h"

namespace {

class BiFiles : public SystemTest {};

std::string as_atom(const std::string &path) { return "'" + path + "'"; }

}  // namespace

TEST_F(BiFiles, FilePropertySelectorsAndConditions)
{
  std::string f = as_atom(file("f.txt", "12345")), d = as_atom(subdir("d"));
  chmod(file("f.txt", "12345").c_str(), 0640);
  struct stat st;
  ASSERT_EQ(stat((dir + "/f.txt").c_str(), &st), 0);
  struct passwd *pw = getpwuid(st.st_uid);
  struct group *gr = getgrgid(st.st_gid);
  ASSERT_TRUE(pw && gr);
  struct {
    std::string goal, expected;
  } cases[] = {
      {"'$file_property'(" + f + ", 17, V, R)", "_ -10504"},
      {"'$file_property'(" + d + ", 258, V, R)", "_ -10503"},
      {"'$file_property'(" + f + ", 256, V, R)", "5 0"},
      {"'$file_property'(" + f + ", 258, V, R)", "5 0"},
      /* owner read 16 and write 32, group read 256 */
      {"'$file_property'(" + f + ", 32, V, R)", "304 0"},
      /* the first selector bit wins */
      {"'$file_property'(" + f + ", 288, V, R)", "304 0"},
      {"'$file_property'(" + f + ", 128, V, R)", std::to_string(st.st_mtime) + " 0"},
      {"'$file_property'(" + f + ", 64, V, R)", "times(" + std::to_string(st.st_mtime) + "," +
                                                    std::to_string(st.st_atime) + "," +
                                                    std::to_string(st.st_ctime) + ") 0"},
      {"'$file_property'(" + f + ", 512, V, R)", std::to_string(st.st_uid) + " 0"},
      {"'$file_property'(" + f + ", 1024, V, R)", std::string(pw->pw_name) + " 0"},
      {"'$file_property'(" + f + ", 2048, V, R)", std::to_string(st.st_gid) + " 0"},
      {"'$file_property'(" + f + ", 4096, V, R)", std::string(gr->gr_name) + " 0"},
      {"'$file_property'(" + f + ", 3, V, R)", "_ -10004"},
      {"'$file_property'(" + f + ", -16, V, R)", "_ -10004"},
      {"'$file_property'(f(x), 16, V, R)", "_ -10004"},
      {"'$file_property'('" + dir + "/none', 256, V, R)", "_ -10501"},
      {"'$file_property'(" + f + ", 256, 6, R)", "<failed>"},
  };
  for (const auto &c : cases) EXPECT_EQ(result(c.goal, "VR"), c.expected) << c.goal;
}

TEST_F(BiFiles, RenameDeleteCreateAndList)
{
  std::string a = file("a"), gone = dir + "/gone", e = subdir("e");
  struct {
    std::string goal, expected;
  } cases[] = {
      {"'$list_directory'(" + as_atom(e) + ", 0, N, R)", "[] 0"},
      {"'$rename_file'(" + as_atom(a) + ", " + as_atom(dir + "/b") + ", 0, R)", "_ 0"},
      {"'$rename_file'(" + as_atom(a) + ", " + as_atom(dir + "/c") + ", 0, R)", "_ -10501"},
      {"'$rename_file'(" + as_atom(dir + "/b") + ", x, -1, R)", "_ -10004"},
      {"'$create_directory'(" + as_atom(e + "/sub") + ", 0, R)", "_ 0"},
      {"'$list_directory'(" + as_atom(dir) + ", 2, N, R)", "[b] 0"},
      {"'$list_directory'(" + as_atom(e) + ", 1, N, R)", "[sub] 0"},
      {"'$list_directory'(" + as_atom(gone) + ", 0, N, R)", "_ -10501"},
      {"'$delete_file'(" + as_atom(gone) + ", 2, R)", "_ 1"},
      {"'$delete_file'(" + as_atom(gone) + ", 0, R)", "_ -10501"},
      {"'$delete_file'(" + as_atom(e) + ", 17, R)", "_ -10006"},
      {"'$delete_file'(" + as_atom(e) + ", 19, R)", "_ 1"},
      {"'$delete_file'(" + as_atom(e + "/sub") + ", 1, R)", "_ 0"},
      {"'$delete_file'(" + as_atom(e) + ", 1, R)", "_ 0"},
      {"'$delete_file'(" + as_atom(dir + "/b") + ", 0, R)", "_ 0"},
      {"'$delete_file'(1, 2, R)", "_ -10004"},
      {"'$list_directory'(" + as_atom(dir) + ", 0, N, R)", "[] 0"},
  };
  for (const auto &c : cases) EXPECT_EQ(result(c.goal, "NR"), c.expected) << c.goal;
  /* Names come in reverse order of reading. */
  for (const char *n : {"x1", "x2", "x3"}) file(n);
  ASSERT_EQ(run("'$list_directory'(" + as_atom(dir) + ", 0, N, 0)"), 1);
  std::vector<std::string> read;
  qxio_t_dir *handle = nullptr;
  ASSERT_EQ(qxio_open_directory(dir.c_str(), &handle, 0), 0);
  qxio_t_dirent *entry;
  const char *name;
  while (qxio_read_directory(handle, &entry, 0) == 0 && qxio_dirent_name(entry, &name) == 0)
    if (name[0] != '.') read.insert(read.begin(), name);
  qxio_close_directory(handle);
  EXPECT_EQ(v("N"), "[" + read[0] + "," + read[1] + "," + read[2] + "]");
}

TEST_F(BiFiles, TestFileAccessResultsAndClasses)
{
  std::string f = as_atom(file("f")), d = as_atom(subdir("d"));
  struct {
    std::string goal, expected;
  } cases[] = {
      {"'$test_file_access'('" + dir + "/missing', 4, R, C)", "-10501 -2"},
      {"'$test_file_access'(" + f + ", 4, R, C)", "0 0"},
      {"'$test_file_access'(" + f + ", 32, R, C)", "-10504 -3"},
      {"'$test_file_access'(" + d + ", 4, R, C)", "-10503 -3"},
      {"'$test_file_access'(" + d + ", 48, R, C)", "0 0"},
      {"'$test_file_access'('" + dir + "/new', 8, R, C)", "0 0"},
      {"'$test_file_access'('a\\0\\z', 4, R, C)", "-10508 -4"}, /* code 0 in a name */
      {"'$test_file_access'(1, 4, R, C)", "-10004 -4"},
      {"'$test_file_access'(" + f + ", x, R, C)", "-10004 -4"},
      /* Names the URL layer claims. */
      {"'$test_file_access'('URL:file:/x', 4, R, C)", "0 0"},
      {"'$test_file_access'('URL:file:/x', 32, R, C)", "-10504 -3"},
      {"'$test_file_access'('URL:file:/x', 2, R, C)", "-10502 -3"},
      {"'$test_file_access'('URL:file:/x', 8, R, C)", "-10502 -3"},
  };
  for (const auto &c : cases) EXPECT_EQ(result(c.goal, "RC"), c.expected) << c.goal;
  EXPECT_TRUE(is_readable_file_ienc((dir + "/f").c_str()));
  EXPECT_FALSE(is_file_ienc((dir + "/d").c_str()));
  EXPECT_TRUE(is_dir_ienc((dir + "/d").c_str()));
}

/* The parent starts no engine: each child starts its own. */
TEST(BiFilesOtherUid, AccessOfFilesOwnedByAnotherUid)
{
  const uid_t other = 65534;
  std::string dir = qx_scratch_mkdtemp("qx_uid");
  ASSERT_NE(dir, "");
  chmod(dir.c_str(), 0755);
  std::string mine = dir + "/mine", theirs = dir + "/theirs", closed = dir + "/closed";
  std::ofstream(mine) << "m";
  std::ofstream(theirs) << "t";
  mkdir(closed.c_str(), 0700);
  chmod(mine.c_str(), 0640);
  ASSERT_EQ(chown(theirs.c_str(), other, other), 0);
  chmod(theirs.c_str(), 0600);
  std::string goals[] = {
      "'$test_file_access'(" + as_atom(mine) + ", 4, R, C)",
      "'$test_file_access'(" + as_atom(theirs) + ", 6, R, C)",
      "'$file_property'(" + as_atom(mine) + ", 16, R, C)",
      "'$file_property'(" + as_atom(theirs) + ", 16, R, C)",
      "'$list_directory'(" + as_atom(closed) + ", 0, C, R)",
      "'$test_file_access'(" + as_atom(closed) + ", 48, R, C)",
  };
  auto report = [&](bool drop) {
    forked_child child = run_forked([&] {
      if (drop && (setgid(other) != 0 || setuid(other) != 0)) return std::string("no setuid");
      SystemTest e;
      std::string text;
      for (const auto &g : goals) text += e.result(g, "RC") + ";";
      return text;
    });
    EXPECT_TRUE(child.exited(0)) << child.err;
    return child.report;
  };
  /* The owner's class decides, for root too. */
  EXPECT_EQ(report(false), "0 0;-10502 -3;3 0;0 0;0 [];0 0;");
  EXPECT_EQ(report(true), "-10502 -3;0 0;0 0;3 0;-10020 _;-10502 -3;");
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

TEST_F(BiFiles, FileTypeSniffsTheFirstBytes)
{
  subdir("d.d");
  struct {
    std::string name, bytes, expected;
  } cases[] = {
      {"empty.pl", "", "source " + dir + "/empty.pl"},
      {"state.sav", "#! /bin/sh\n", "object " + dir + "/state.pl"},
      {"x.qlf", "orvalis-rest", "object " + dir + "/x.pl"},
      {"y.qlf", "orvalAs-rest", "source " + dir + "/y.qlf"},
      {"short.po", "orvalis", "source " + dir + "/short.po"},
      {"q.ql", "A\x01", "ql " + dir + "/q.pl"},
      {"d.d/noext", "#", "object " + dir + "/d.d/noext.pl"},
      {"plain.pl", "foo.", "source " + dir + "/plain.pl"},
  };
  for (const auto &c : cases) {
    std::string path = file(c.name, c.bytes);
    EXPECT_EQ(result("'$file_type'(" + as_atom(path) + ", T, N)", "TN"), c.expected) << c.name;
  }
  EXPECT_EQ(result("'$file_type'(" + as_atom(dir + "/none") + ", T, N)", "TN"), "<failed>");
  EXPECT_EQ(result("'$file_type'(" + as_atom(dir + "/x.qlf") + ", source, N)", "N"), "<failed>");
  EXPECT_EQ(open_fds(), [&] {
    int before = open_fds();
    run("'$file_type'(" + as_atom(dir + "/x.qlf") + ", _, _)");
    run("'$file_type'(" + as_atom(dir + "/x.qlf") + ", source, _)");
    return before;
  }()) << "the file is closed in every case";
}
