// Directory listings on real directories: every entry, only subdirectories, only the other
// entries (symbolic links judged by what they point to), names that are not UTF-8, the end of
// the listing and the failures of opening.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>

#include "fs_test_util.h"
#include "qxio.h"

namespace {

using qxio_test::temp_tree;
using qxio_test::write_file;

// Files a and b, directories d and e, a link to a and a link to d.
void populate(const temp_tree &tree)
{
  ASSERT_TRUE(write_file(tree.file("a"), "1"));
  ASSERT_TRUE(write_file(tree.file("b"), "2"));
  ASSERT_EQ(mkdir(tree.file("d").c_str(), 0700), 0);
  ASSERT_EQ(mkdir(tree.file("e").c_str(), 0700), 0);
  ASSERT_EQ(symlink("a", tree.file("link-to-a").c_str()), 0);
  ASSERT_EQ(symlink("d", tree.file("link-to-d").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", tree.file("dangling").c_str()), 0);
}

// The names the listing yields, until its end.
std::set<std::string> list(const std::string &path, uint32_t options)
{
  std::set<std::string> names;
  qxio_t_dir *dir = nullptr;
  EXPECT_EQ(qxio_open_directory(path.c_str(), &dir, options), 0);
  if (dir == nullptr) return names;
  qxio_t_dirent *entry;
  qxio_t_error_code rc;
  while ((rc = qxio_read_directory(dir, &entry, 0)) == 0) {
    const char *name = nullptr;
    EXPECT_EQ(qxio_dirent_name(entry, &name), 0);
    if (name != nullptr) {
      EXPECT_TRUE(names.insert(name).second) << "twice: " << name;
    }
  }
  EXPECT_EQ(rc, QXIO_E_NO_MORE_ENTRIES);
  EXPECT_EQ(qxio_read_directory(dir, &entry, 0), QXIO_E_NO_MORE_ENTRIES);
  EXPECT_EQ(qxio_close_directory(dir), 0);
  return names;
}

TEST(Directory, ListsEveryEntryWithDotAndDotDot)
{
  temp_tree tree;
  populate(tree);
  EXPECT_EQ(list(tree.path, 0), (std::set<std::string>{".", "..", "a", "b", "d", "e", "link-to-a",
                                                       "link-to-d", "dangling"}));
}

TEST(Directory, OnlyDirectoriesFollowsLinks)
{
  temp_tree tree;
  populate(tree);
  std::set<std::string> expected = {".", "..", "d", "e", "link-to-d"};
  EXPECT_EQ(list(tree.path, QXIO_DIR_ONLY_DIRECTORIES), expected);
  EXPECT_EQ(list(tree.path + "/", QXIO_DIR_ONLY_DIRECTORIES), expected);
}

TEST(Directory, OnlyNonDirectoriesSkipsWhatHasNoStatus)
{
  temp_tree tree;
  populate(tree);
  EXPECT_EQ(list(tree.path, QXIO_DIR_ONLY_NON_DIRECTORIES),
            (std::set<std::string>{"a", "b", "link-to-a"}));
}

// The filters look at each entry's status: entries dated after 2038 are judged like others.
TEST(Directory, EntriesDatedAfter2038AreFiltered)
{
  temp_tree tree;
  populate(tree);
  ASSERT_TRUE(qxio_test::date_in_2040(tree.file("a")));
  ASSERT_TRUE(qxio_test::date_in_2040(tree.file("d")));
  EXPECT_EQ(list(tree.path, QXIO_DIR_ONLY_DIRECTORIES),
            (std::set<std::string>{".", "..", "d", "e", "link-to-d"}));
  EXPECT_EQ(list(tree.path, QXIO_DIR_ONLY_NON_DIRECTORIES),
            (std::set<std::string>{"a", "b", "link-to-a"}));
}

TEST(Directory, NameThatIsNotUtf8IsInvalid)
{
  temp_tree tree;
  ASSERT_TRUE(write_file(tree.file("caf\xE9"), "x"));
  ASSERT_TRUE(write_file(tree.file("caf\xC3\xA9"), "x"));
  qxio_t_dir *dir = nullptr;
  ASSERT_EQ(qxio_open_directory(tree.path.c_str(), &dir, QXIO_DIR_ONLY_NON_DIRECTORIES), 0);
  int invalid = 0, valid = 0;
  qxio_t_dirent *entry;
  while (qxio_read_directory(dir, &entry, 0) == 0) {
    const char *name = nullptr;
    qxio_t_error_code rc = qxio_dirent_name(entry, &name);
    if (rc == QXIO_E_INVALID_NAME) {
      invalid++;
      EXPECT_EQ(name, nullptr);
    } else {
      ASSERT_EQ(rc, 0);
      EXPECT_STREQ(name, "caf\xC3\xA9");
      valid++;
    }
  }
  EXPECT_EQ(invalid, 1);
  EXPECT_EQ(valid, 1);
  EXPECT_EQ(qxio_close_directory(dir), 0);
}

TEST(Directory, EmptyDirectoryAndOpenFailures)
{
  temp_tree tree;
  ASSERT_EQ(mkdir(tree.file("empty").c_str(), 0700), 0);
  EXPECT_EQ(list(tree.file("empty"), QXIO_DIR_ONLY_NON_DIRECTORIES), std::set<std::string>{});
  ASSERT_TRUE(write_file(tree.file("f"), "x"));
  qxio_t_dir *dir = reinterpret_cast<qxio_t_dir *>(&tree);
  EXPECT_EQ(qxio_open_directory(tree.file("missing").c_str(), &dir, 0), QXIO_E_FILE_NOT_FOUND);
  EXPECT_EQ(dir, nullptr);
  EXPECT_EQ(qxio_open_directory(tree.file("f").c_str(), &dir, 0), QXIO_E_PERMISSION_ERROR);
  EXPECT_EQ(qxio_close_directory(nullptr), 0);
}

TEST(Directory, DeletingAFileDuringAFilteredListing)
{
  temp_tree tree;
  populate(tree);
  qxio_t_dir *dir = nullptr;
  ASSERT_EQ(qxio_open_directory(tree.path.c_str(), &dir, QXIO_DIR_ONLY_DIRECTORIES), 0);
  qxio_t_dirent *entry;
  ASSERT_EQ(qxio_read_directory(dir, &entry, 0), 0);
  EXPECT_EQ(entry->dir, dir);
  ASSERT_EQ(qxio_delete_file(tree.file("a").c_str(), 0), 0);
  int count = 1;
  while (qxio_read_directory(dir, &entry, 0) == 0) count++;
  EXPECT_EQ(count, 5);  // ".", "..", "d", "e", and the link to d
  EXPECT_EQ(qxio_close_directory(dir), 0);
}

}  // namespace
