// File status, access tests of the current user (checked from a child with a lowered effective
// identity, and as the superuser, who gets no exception), renaming, deleting, creating
// directories, the working and temporary directories, name conversions and the descriptor
// helpers, all on real files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "fs_test_util.h"
#include "qxio.h"

namespace {

using qxio_test::date_in_2040;
using qxio_test::kYear2040;
using qxio_test::temp_tree;
using qxio_test::write_file;

// Identities that exist nowhere else on the machine.
const uid_t kUser = 4242;
const gid_t kUserGroup = 4242;
const gid_t kExtraGroup = 4343;
const uid_t kOtherUser = 5151;
const gid_t kOtherGroup = 5151;

std::string make_file(const temp_tree &tree, const char *name, mode_t mode, uid_t owner,
                      gid_t group)
{
  std::string path = tree.file(name);
  EXPECT_TRUE(write_file(path, "content"));
  EXPECT_EQ(chown(path.c_str(), owner, group), 0);
  EXPECT_EQ(chmod(path.c_str(), mode), 0);
  return path;
}

std::string make_dir(const temp_tree &tree, const char *name, mode_t mode, uid_t owner, gid_t group)
{
  std::string path = tree.file(name);
  EXPECT_EQ(mkdir(path.c_str(), 0700), 0);
  EXPECT_EQ(chown(path.c_str(), owner, group), 0);
  EXPECT_EQ(chmod(path.c_str(), mode), 0);
  return path;
}

struct access_case {
  std::string path;
  uint32_t options;
};

// Runs each access test in a forked child whose effective user is kUser with the effective
// group kUserGroup and the one supplementary group kExtraGroup; answers the results in order.
std::vector<int> access_as_user(const std::vector<access_case> &cases)
{
  int channel[2];
  if (pipe(channel) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    gid_t groups[] = {kExtraGroup};
    if (setgroups(1, groups) != 0 || setegid(kUserGroup) != 0 || seteuid(kUser) != 0) _exit(2);
    for (const access_case &c : cases) {
      int result = qxio_test_file_access(c.path.c_str(), c.options);
      if (write(channel[1], &result, sizeof result) != sizeof result) _exit(3);
    }
    _exit(0);
  }
  close(channel[1]);
  std::vector<int> results;
  int result;
  while (read(channel[0], &result, sizeof result) == sizeof result) results.push_back(result);
  close(channel[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  return results;
}

#define REQUIRE_ROOT()                                                                             \
  if (geteuid() != 0) GTEST_SKIP() << "changing owners and identities needs the superuser"

// ---- status ----

TEST(FileStat, ModeBitsOfAFileWithMode0754)
{
  temp_tree tree;
  std::string path = tree.file("f");
  ASSERT_TRUE(write_file(path, "x"));
  ASSERT_EQ(chmod(path.c_str(), 0754), 0);
  qxio_t_stat record;
  ASSERT_EQ(qxio_stat(path.c_str(), &record, QXIO_STAT_MODE), 0);
  EXPECT_EQ(record.mode, 0x1u | 0x2u | 0x4u | 0x10u | 0x40u | 0x100u);
  EXPECT_EQ(record.size, 0u);  // not asked for
  EXPECT_EQ(record.type, 0u);
}

TEST(FileStat, ADirectoryReportsSearchInsteadOfExecute)
{
  temp_tree tree;
  std::string path = tree.file("d");
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
  ASSERT_EQ(chmod(path.c_str(), 0751), 0);
  qxio_t_stat record;
  ASSERT_EQ(qxio_stat(path.c_str(), &record, QXIO_STAT_MODE | QXIO_STAT_TYPE), 0);
  EXPECT_EQ(record.mode, 0x1u | 0x2u | 0x8u | 0x10u | 0x80u | 0x800u);
  EXPECT_EQ(record.type, 1u);
}

TEST(FileStat, SizeTimesAndOwnershipAgreeWithTheSystem)
{
  temp_tree tree;
  std::string path = tree.file("f");
  ASSERT_TRUE(write_file(path, std::string(12345, 'z')));
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  qxio_t_stat record;
  ASSERT_EQ(qxio_stat(path.c_str(), &record,
                      QXIO_STAT_SIZE | QXIO_STAT_TIMES | QXIO_STAT_OWNER | QXIO_STAT_GROUP),
            0);
  EXPECT_EQ(record.size, 12345u);
  EXPECT_EQ(record.modify_time, st.st_mtime);
  EXPECT_EQ(record.access_time, st.st_atime);
  EXPECT_EQ(record.create_time, st.st_ctime);
  EXPECT_EQ(record.owner, st.st_uid);
  EXPECT_EQ(record.group, st.st_gid);
  EXPECT_EQ(record.mode, 0u);
}

TEST(FileStat, FileDatedAfter2038IsSeenAsItIs)
{
  temp_tree tree;
  std::string path = tree.file("f");
  ASSERT_TRUE(write_file(path, "dated 2040"));
  ASSERT_TRUE(date_in_2040(path));
  qxio_t_stat record;
  ASSERT_EQ(qxio_stat(path.c_str(), &record, QXIO_STAT_TIMES | QXIO_STAT_SIZE), 0);
  EXPECT_EQ(record.access_time, kYear2040);
  EXPECT_EQ(record.modify_time, kYear2040 + 86400);
  EXPECT_EQ(record.size, 10u);
  EXPECT_EQ(qxio_test_file_access(path.c_str(), QXIO_ACCESS_READ | QXIO_ACCESS_REGULAR), 0);
  int fd = -1;
  ASSERT_EQ(qxio_unix_open_file(path.c_str(), O_RDONLY, 0, &fd), 0);
  EXPECT_EQ(qxio_unix_device_type(fd), QXIO_DEVICE_TYPE_FILE);
  int64_t size = -1;
  EXPECT_EQ(qxio_unix_file_size(fd, &size, 0), 0);
  EXPECT_EQ(size, 10);
  close(fd);
  qxio_test::library lib;
  qxio_t_property args[] = {qxio_arg_string(QXIO_ARG_PATHNAME, path.c_str()), qxio_arg_end()};
  QXIO stream = nullptr;
  ASSERT_EQ(qxio_open_by_name("async", &stream, args, QXIO_OPEN_READ), 0);
  qxio_t_buf *buf = nullptr;
  ASSERT_EQ(qxio_read(&stream, &buf, QXIO_READ_BYTES), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buf->buf), buf->extent), "dated 2040");
  qxio_buf_free(buf);
  EXPECT_EQ(qxio_close(&stream, 0), 0);
}

TEST(FileStat, KindRequirementsAndMissingFiles)
{
  temp_tree tree;
  std::string file = tree.file("f");
  ASSERT_TRUE(write_file(file, "x"));
  qxio_t_stat record;
  EXPECT_EQ(qxio_stat(file.c_str(), &record, QXIO_STAT_MUST_BE_DIRECTORY),
            QXIO_E_FILE_NOT_DIRECTORY);
  EXPECT_EQ(qxio_stat(tree.path.c_str(), &record, QXIO_STAT_MUST_NOT_BE_DIRECTORY),
            QXIO_E_FILE_IS_DIRECTORY);
  EXPECT_EQ(qxio_stat(tree.file("missing").c_str(), &record, 0), QXIO_E_FILE_NOT_FOUND);
  EXPECT_EQ(qxio_stat((file + "/below").c_str(), &record, 0), QXIO_E_PERMISSION_ERROR);
}

TEST(FileStat, CleanUpsRunInOrderOnce)
{
  qxio_t_stat record;
  ASSERT_EQ(qxio_stat("/", &record, 0), 0);
  EXPECT_EQ(record.flags, 0u);
  std::vector<int> calls;
  auto note = [](qxio_t_stat *, void *data) {
    static_cast<std::vector<int> *>(data)->push_back(1);
  };
  auto note2 = [](qxio_t_stat *, void *data) {
    static_cast<std::vector<int> *>(data)->push_back(2);
  };
  ASSERT_EQ(qxio_stat_add_deiniter(&record, note, &calls), 0);
  ASSERT_EQ(qxio_stat_add_deiniter(&record, note2, &calls), 0);
  EXPECT_EQ(record.flags & QXIO_STAT_FLAG_DEINITERS, QXIO_STAT_FLAG_DEINITERS);
  ASSERT_EQ(qxio_stat_deinit(&record), 0);
  EXPECT_EQ(calls, (std::vector<int>{1, 2}));
  EXPECT_EQ(record.flags, 0u);
  ASSERT_EQ(qxio_stat_deinit(&record), 0);
  EXPECT_EQ(calls.size(), 2u);
}

// ---- access ----

TEST(FileAccess, ClassOfTheLoweredUserDecides)
{
  REQUIRE_ROOT();
  temp_tree tree;
  ASSERT_EQ(chmod(tree.path.c_str(), 0755), 0);
  std::string own = make_file(tree, "own", 0600, kUser, kOtherGroup);
  std::string group_rw = make_file(tree, "group_rw", 0060, kOtherUser, kExtraGroup);
  std::string own_in_group = make_file(tree, "own_in_group", 0060, kUser, kExtraGroup);
  std::string others_r = make_file(tree, "others_r", 0004, kOtherUser, kOtherGroup);
  std::vector<int> results = access_as_user({
      {own, QXIO_ACCESS_READ | QXIO_ACCESS_WRITE},
      {own, QXIO_ACCESS_EXECUTE},
      {group_rw, QXIO_ACCESS_WRITE},  // via the supplementary group
      {group_rw, QXIO_ACCESS_READ | QXIO_ACCESS_WRITE},
      {own_in_group, QXIO_ACCESS_READ},  // the owner class wins over the group
      {others_r, QXIO_ACCESS_READ},
      {others_r, QXIO_ACCESS_WRITE},
      {others_r, 0},
  });
  EXPECT_EQ(results, (std::vector<int>{0, QXIO_E_FILE_ACCESS, 0, 0, QXIO_E_FILE_ACCESS, 0,
                                       QXIO_E_FILE_ACCESS, 0}));
}

TEST(FileAccess, DirectoriesAndCreation)
{
  REQUIRE_ROOT();
  temp_tree tree;
  ASSERT_EQ(chmod(tree.path.c_str(), 0755), 0);
  std::string searchable = make_dir(tree, "searchable", 0001, kOtherUser, kOtherGroup);
  std::string writable = make_dir(tree, "writable", 0700, kUser, kUserGroup);
  std::string closed = make_dir(tree, "closed", 0555, kOtherUser, kOtherGroup);
  std::string others_r = make_file(tree, "others_r", 0004, kOtherUser, kOtherGroup);
  std::vector<int> results = access_as_user({
      {searchable, QXIO_ACCESS_SEARCH | QXIO_ACCESS_DIRECTORY},
      {searchable, QXIO_ACCESS_READ | QXIO_ACCESS_DIRECTORY},
      {searchable, QXIO_ACCESS_SEARCH},  // a directory without the directory option
      {writable + "/new", QXIO_ACCESS_CREATE},
      {writable + "/new/", QXIO_ACCESS_CREATE},
      {closed + "/new", QXIO_ACCESS_CREATE},
      {others_r, QXIO_ACCESS_CREATE},  // an existing file needs write access
      {writable + "/missing", QXIO_ACCESS_READ},
  });
  EXPECT_EQ(results,
            (std::vector<int>{0, QXIO_E_FILE_ACCESS, QXIO_E_FILE_IS_DIRECTORY, 0, 0,
                              QXIO_E_FILE_ACCESS, QXIO_E_FILE_ACCESS, QXIO_E_FILE_NOT_FOUND}));
}

TEST(FileAccess, SuperuserHasNoException)
{
  REQUIRE_ROOT();
  temp_tree tree;
  std::string locked = make_file(tree, "locked", 0000, kOtherUser, kOtherGroup);
  std::string others_rw = make_file(tree, "others_rw", 0006, kOtherUser, kOtherGroup);
  EXPECT_EQ(qxio_test_file_access(locked.c_str(), QXIO_ACCESS_READ), QXIO_E_FILE_ACCESS);
  EXPECT_EQ(qxio_test_file_access(others_rw.c_str(), QXIO_ACCESS_READ | QXIO_ACCESS_WRITE), 0);
  qxio_t_stat record;
  ASSERT_EQ(qxio_stat(others_rw.c_str(), &record, QXIO_STAT_ACCESS), 0);
  EXPECT_EQ(record.mode, QXIO_MODE_USER_READ | QXIO_MODE_USER_WRITE);
  ASSERT_EQ(qxio_stat(locked.c_str(), &record, QXIO_STAT_ACCESS | QXIO_STAT_MODE), 0);
  EXPECT_EQ(record.mode, 0u);
}

TEST(FileAccess, StatAccessBitsFollowTheUsersClass)
{
  temp_tree tree;
  std::string path = tree.file("script");
  ASSERT_TRUE(write_file(path, "#!/bin/sh\n"));
  ASSERT_EQ(chmod(path.c_str(), 0500), 0);
  qxio_t_stat record;
  ASSERT_EQ(qxio_stat(path.c_str(), &record, QXIO_STAT_ACCESS), 0);
  EXPECT_EQ(record.mode, QXIO_MODE_USER_READ | QXIO_MODE_USER_EXECUTE);
  ASSERT_EQ(qxio_stat(tree.path.c_str(), &record, QXIO_STAT_ACCESS), 0);
  EXPECT_EQ(record.mode, QXIO_MODE_USER_READ | QXIO_MODE_USER_WRITE | QXIO_MODE_USER_SEARCH);
}

TEST(FileAccess, KindOptionsAndCreationByPath)
{
  temp_tree tree;
  std::string file = tree.file("f");
  ASSERT_TRUE(write_file(file, "x"));
  std::string fifo = tree.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(qxio_test_file_access(tree.path.c_str(), QXIO_ACCESS_READ), QXIO_E_FILE_IS_DIRECTORY);
  EXPECT_EQ(qxio_test_file_access(file.c_str(), QXIO_ACCESS_DIRECTORY), QXIO_E_FILE_NOT_DIRECTORY);
  EXPECT_EQ(qxio_test_file_access(fifo.c_str(), QXIO_ACCESS_REGULAR | QXIO_ACCESS_READ),
            QXIO_E_FILE_ACCESS);
  EXPECT_EQ(qxio_test_file_access(file.c_str(), QXIO_ACCESS_REGULAR | QXIO_ACCESS_READ), 0);
  std::string missing = tree.file("missing");
  EXPECT_EQ(qxio_test_file_access(missing.c_str(), QXIO_ACCESS_REGULAR | QXIO_ACCESS_CREATE),
            QXIO_E_FILE_NOT_FOUND);
  EXPECT_EQ(qxio_test_file_access(missing.c_str(), QXIO_ACCESS_CREATE | QXIO_ACCESS_WRITE), 0);
  EXPECT_EQ(qxio_test_file_access("relative-missing-name", QXIO_ACCESS_CREATE),
            QXIO_E_FILE_NOT_FOUND);
  EXPECT_EQ(qxio_test_file_access((tree.file("no-dir") + "/x").c_str(), QXIO_ACCESS_CREATE),
            QXIO_E_FILE_NOT_FOUND);
  EXPECT_EQ(qxio_test_file_access((file + "/x").c_str(), QXIO_ACCESS_CREATE),
            QXIO_E_PERMISSION_ERROR);
}

// ---- rename, delete, create ----

TEST(FileOps, RenameMovesAndReportsMissingSources)
{
  temp_tree tree;
  ASSERT_TRUE(write_file(tree.file("a"), "payload"));
  ASSERT_EQ(qxio_rename_file(tree.file("a").c_str(), tree.file("b").c_str(), 0), 0);
  EXPECT_EQ(qxio_test::read_file(tree.file("b")), "payload");
  EXPECT_NE(access(tree.file("a").c_str(), F_OK), 0);
  EXPECT_EQ(qxio_rename_file(tree.file("a").c_str(), tree.file("c").c_str(), 0),
            QXIO_E_FILE_NOT_FOUND);
  ASSERT_EQ(mkdir(tree.file("d").c_str(), 0700), 0);
  ASSERT_TRUE(write_file(tree.file("d/inside"), "x"));
  EXPECT_EQ(qxio_rename_file(tree.file("b").c_str(), tree.file("d").c_str(), 0),
            QXIO_E_PERMISSION_ERROR);  // EISDIR
}

TEST(FileOps, DeleteFilesAndDirectories)
{
  temp_tree tree;
  ASSERT_TRUE(write_file(tree.file("f"), "x"));
  ASSERT_EQ(mkdir(tree.file("d").c_str(), 0700), 0);
  ASSERT_TRUE(write_file(tree.file("d/inside"), "x"));
  EXPECT_EQ(qxio_delete_file(tree.file("d").c_str(), 0), QXIO_E_FILE_IS_DIRECTORY);
  EXPECT_EQ(qxio_delete_file(tree.file("d").c_str(), QXIO_DELETE_DIRECTORY), QXIO_E_DIR_NOT_EMPTY);
  EXPECT_EQ(qxio_delete_file(tree.file("f").c_str(), QXIO_DELETE_DIRECTORY),
            QXIO_E_FILE_NOT_DIRECTORY);
  EXPECT_EQ(qxio_delete_file(tree.file("d").c_str(), QXIO_DELETE_DIRECTORY | QXIO_DELETE_RECURSIVE),
            QXIO_E_NOT_IMPLEMENTED);
  EXPECT_EQ(qxio_delete_file(tree.file("d/inside").c_str(), 0), 0);
  EXPECT_EQ(qxio_delete_file(tree.file("d").c_str(), QXIO_DELETE_DIRECTORY), 0);
  EXPECT_EQ(qxio_delete_file(tree.file("f").c_str(), 0), 0);
  EXPECT_EQ(qxio_delete_file(tree.file("f").c_str(), 0), QXIO_E_FILE_NOT_FOUND);
  EXPECT_NE(access(tree.file("d").c_str(), F_OK), 0);
}

TEST(FileOps, CreateDirectoryHonoursTheCreationMask)
{
  temp_tree tree;
  mode_t saved = umask(027);
  qxio_t_error_code rc = qxio_create_directory(tree.file("d").c_str(), 0);
  umask(saved);
  ASSERT_EQ(rc, 0);
  struct stat st;
  ASSERT_EQ(stat(tree.file("d").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0750u);
  EXPECT_EQ(qxio_create_directory(tree.file("d").c_str(), 0), QXIO_E_FILE_EXISTS);
  EXPECT_EQ(qxio_create_directory(tree.file("no/d").c_str(), 0), QXIO_E_FILE_NOT_FOUND);
}

// ---- working and temporary directories ----

class WorkingDirectory : public ::testing::Test {
protected:
  void SetUp() override { saved_ = getcwd(nullptr, 0); }
  void TearDown() override
  {
    EXPECT_EQ(chdir(saved_), 0);
    free(saved_);
  }
  char *saved_ = nullptr;
};

TEST_F(WorkingDirectory, CachedCopyAndProcessDirectoryAreApart)
{
  temp_tree tree;
  ASSERT_EQ(qxio_init_file(0), 0);
  char *cached = nullptr;
  ASSERT_EQ(qxio_get_working_directory(&cached, 0), 0);
  EXPECT_STREQ(cached, saved_);
  qxio_free(cached);
  ASSERT_EQ(qxio_set_working_directory(tree.path.c_str(), QXIO_CWD_PROCESS), 0);
  char *process = nullptr;
  ASSERT_EQ(qxio_get_working_directory(&process, QXIO_CWD_PROCESS), 0);
  EXPECT_EQ(std::string(process), std::filesystem::canonical(tree.path).string());
  qxio_free(process);
  ASSERT_EQ(qxio_get_working_directory(&cached, 0), 0);
  EXPECT_STREQ(cached, saved_);  // the cache did not follow
  qxio_free(cached);
  ASSERT_EQ(qxio_set_working_directory("/some/where", QXIO_CWD_CACHED), 0);
  ASSERT_EQ(qxio_get_working_directory(&cached, 0), 0);
  EXPECT_STREQ(cached, "/some/where");
  qxio_free(cached);
  EXPECT_EQ(qxio_set_working_directory(tree.file("missing").c_str(), QXIO_CWD_PROCESS),
            QXIO_E_FILE_NOT_FOUND);
  ASSERT_EQ(qxio_init_file(1), 0);
}

TEST_F(WorkingDirectory, NameThatIsNotUtf8IsReadAsLatin1OnlyWhenAsked)
{
  temp_tree tree;
  std::string odd = tree.path + "/caf\xE9";
  ASSERT_EQ(mkdir(odd.c_str(), 0700), 0);
  ASSERT_EQ(chdir(odd.c_str()), 0);
  char *path = nullptr;
  EXPECT_EQ(qxio_get_working_directory(&path, QXIO_CWD_PROCESS), QXIO_E_ENCODING_INVALID);
  EXPECT_EQ(path, nullptr);
  ASSERT_EQ(qxio_get_working_directory(&path, QXIO_CWD_PROCESS | QXIO_CWD_LATIN1_FALLBACK), 0);
  std::string expected = std::filesystem::canonical(tree.path).string() + "/caf\xC3\xA9";
  EXPECT_EQ(std::string(path), expected);
  qxio_free(path);
  // the module start caches it the same way
  ASSERT_EQ(qxio_init_file(0), 0);
  ASSERT_EQ(qxio_get_working_directory(&path, 0), 0);
  EXPECT_EQ(std::string(path), expected);
  qxio_free(path);
  ASSERT_EQ(qxio_init_file(1), 0);
}

std::string temp_directory_with(const char *tmpdir)
{
  EXPECT_EQ(qxio_set_system_property("TMPDIR", tmpdir, 0), 0);
  char *path = nullptr;
  EXPECT_EQ(qxio_temp_directory(&path, 0), 0);
  std::string result = path != nullptr ? path : "<none>";
  qxio_free(path);
  return result;
}

TEST(TempDirectory, AlwaysEndsInASlash)
{
  ASSERT_EQ(qxio_init(nullptr, nullptr, 0), 0);
  EXPECT_EQ(temp_directory_with("/var/spool/x"), "/var/spool/x/");
  EXPECT_EQ(temp_directory_with("/var/spool/y/"), "/var/spool/y/");
  EXPECT_EQ(temp_directory_with(""), "/tmp/");
  ASSERT_EQ(qxio_init(nullptr, nullptr, QXIO_INIT_SHUTDOWN), 0);
}

// ---- names ----

TEST(FileNames, FallbackTurnsLatin1BytesIntoUtf8)
{
  const char name[] = "caf\xE9";
  char *text = nullptr;
  size_t length = 0;
  EXPECT_EQ(qxio_from_os_unix(name, 4, &text, &length, 0), QXIO_E_ENCODING_INVALID);
  ASSERT_EQ(qxio_from_os_unix(name, 4, &text, &length, QXIO_OS_NAME_LATIN1_FALLBACK), 1);
  EXPECT_EQ(std::string(text, length), "caf\xC3\xA9");
  EXPECT_EQ(text[length], '\0');
  qxio_free(text);
  const char good[] = "h\xC3\xA9llo";
  ASSERT_EQ(qxio_from_os_unix(good, 6, &text, &length, QXIO_OS_NAME_LATIN1_FALLBACK), 0);
  EXPECT_NE(text, good);
  EXPECT_EQ(std::string(text, length), good);
  qxio_free(text);
  ASSERT_EQ(qxio_from_os_unix(good, 6, &text, &length, QXIO_OS_NAME_NO_COPY), 0);
  EXPECT_EQ(text, good);
  EXPECT_EQ(qxio_from_os_unix(good, 6, &text, &length, QXIO_OS_NAME_UNSUPPORTED),
            QXIO_E_NOT_SUPPORTED);
}

TEST(FileNames, ToTheSystemUnchanged)
{
  const char name[] = "/tmp/\xC3\xA9t\xC3\xA9";
  char *os_name = nullptr;
  ASSERT_EQ(qxio_file_name_for_os_unix(name, &os_name, 0), 0);
  EXPECT_STREQ(os_name, name);
  EXPECT_NE(os_name, name);
  qxio_free(os_name);
  ASSERT_EQ(qxio_file_name_for_os_unix(name, &os_name, QXIO_OS_NAME_NO_COPY), 0);
  EXPECT_EQ(os_name, name);
  EXPECT_EQ(qxio_path_root_len("/a"), 1);
  EXPECT_EQ(qxio_path_root_len("a/b"), QXIO_E_FILE_NOT_ABSOLUTE);
  EXPECT_EQ(qxio_path_root_len(""), QXIO_E_FILE_NOT_ABSOLUTE);
}

TEST(FileNames, UserAndGroupNamesFromTheDatabases)
{
  struct passwd *self = getpwuid(getuid());
  ASSERT_NE(self, nullptr);
  char *name = nullptr;
  ASSERT_EQ(qxio_user_id_name(getuid(), &name, 0), 0);
  EXPECT_STREQ(name, self->pw_name);
  qxio_free(name);
  struct group *group = getgrgid(getgid());
  ASSERT_NE(group, nullptr);
  ASSERT_EQ(qxio_group_id_name(getgid(), &name, 0), 0);
  EXPECT_STREQ(name, group->gr_name);
  qxio_free(name);
  ASSERT_EQ(getpwuid(kOtherUser), nullptr);
  EXPECT_EQ(qxio_user_id_name(kOtherUser, &name, 0), QXIO_E_NOT_FOUND);
  EXPECT_EQ(name, nullptr);
  ASSERT_EQ(getgrgid(kOtherGroup), nullptr);
  EXPECT_EQ(qxio_group_id_name(kOtherGroup, &name, 0), QXIO_E_NOT_FOUND);
}

// ---- descriptors ----

TEST(Descriptors, DeviceTypesOfRealDescriptors)
{
  temp_tree tree;
  ASSERT_TRUE(write_file(tree.file("f"), "x"));
  int file = open(tree.file("f").c_str(), O_RDONLY | O_CLOEXEC);
  int dir = open(tree.path.c_str(), O_RDONLY | O_CLOEXEC);
  int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
  int pipe_ends[2], pair[2];
  ASSERT_EQ(pipe2(pipe_ends, O_CLOEXEC), 0);
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  int master, slave;
  ASSERT_TRUE(qxio_test::open_pty(&master, &slave));
  EXPECT_EQ(qxio_unix_device_type(file), QXIO_DEVICE_TYPE_FILE);
  EXPECT_EQ(qxio_unix_device_type(dir), QXIO_DEVICE_TYPE_DIRECTORY);
  EXPECT_EQ(qxio_unix_device_type(null), QXIO_DEVICE_TYPE_CHARACTER);
  EXPECT_EQ(qxio_unix_device_type(pipe_ends[0]), QXIO_DEVICE_TYPE_FIFO);
  EXPECT_EQ(qxio_unix_device_type(pair[0]), QXIO_DEVICE_TYPE_SOCKET);
  EXPECT_EQ(qxio_unix_device_type(slave), QXIO_DEVICE_TYPE_TTY);
  EXPECT_EQ(qxio_unix_device_type(-1), QXIO_DEVICE_TYPE_ILLEGAL);
  for (int fd : {file, dir, null, pipe_ends[0], pipe_ends[1], pair[0], pair[1], master, slave})
    close(fd);
  EXPECT_EQ(qxio_unix_device_type(file), QXIO_DEVICE_TYPE_ILLEGAL);
}

TEST(Descriptors, OpenIsCloseOnExecAndReportsPositionAndSize)
{
  temp_tree tree;
  int fd = -1;
  EXPECT_EQ(qxio_unix_open_file(tree.file("missing").c_str(), O_RDONLY, 0, &fd),
            QXIO_E_FILE_NOT_FOUND);
  EXPECT_EQ(fd, -1);
  ASSERT_EQ(qxio_unix_open_file(tree.file("f").c_str(), O_RDWR | O_CREAT, 0600, &fd), 0);
  EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  ASSERT_EQ(write(fd, "0123456789", 10), 10);
  ASSERT_EQ(lseek(fd, 3, SEEK_SET), 3);
  int64_t position = -1, size = -1;
  ASSERT_EQ(qxio_unix_file_pos(fd, &position, 0), 0);
  EXPECT_EQ(position, 3);
  ASSERT_EQ(qxio_unix_file_size(fd, &size, 0), 0);
  EXPECT_EQ(size, 10);
  int pipe_ends[2];
  ASSERT_EQ(pipe2(pipe_ends, O_CLOEXEC), 0);
  EXPECT_EQ(qxio_unix_file_size(pipe_ends[0], &size, 0), QXIO_E_NOT_SUPPORTED);
  EXPECT_EQ(qxio_unix_file_pos(pipe_ends[0], &position, 0), QXIO_E_SEEK_ERROR);  // ESPIPE
  close(pipe_ends[0]);
  close(pipe_ends[1]);
  ASSERT_EQ(qxio_os_file_handle_close_unix(fd, 0), 0);
  EXPECT_EQ(qxio_os_file_handle_close_unix(fd, 0), QXIO_E_FILE_NOT_FOUND);  // EBADF
  EXPECT_EQ(qxio_os_file_handle_close_unix(fd, QXIO_FD_CLOSE_ABORTIVE), 0);
}

TEST(Descriptors, SetfdChangesOnlyTheMaskedFlags)
{
  int pipe_ends[2];
  ASSERT_EQ(pipe2(pipe_ends, 0), 0);
  EXPECT_EQ(fcntl(pipe_ends[0], F_GETFD) & FD_CLOEXEC, 0);
  ASSERT_EQ(qxio_unix_SETFD(pipe_ends[0], FD_CLOEXEC, FD_CLOEXEC), 0);
  EXPECT_EQ(fcntl(pipe_ends[0], F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  ASSERT_EQ(qxio_unix_SETFD(pipe_ends[0], 0, 0), 0);  // empty mask: unchanged
  EXPECT_EQ(fcntl(pipe_ends[0], F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  ASSERT_EQ(qxio_unix_SETFD(pipe_ends[0], FD_CLOEXEC, 0), 0);
  EXPECT_EQ(fcntl(pipe_ends[0], F_GETFD) & FD_CLOEXEC, 0);
  close(pipe_ends[0]);
  close(pipe_ends[1]);
  EXPECT_EQ(qxio_unix_SETFD(pipe_ends[0], FD_CLOEXEC, FD_CLOEXEC), QXIO_E_FILE_NOT_FOUND);
}

TEST(Descriptors, ClosingASocketEndsThePeersInput)
{
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  ASSERT_EQ(qxio_os_file_handle_close_unix(pair[0], 0), 0);
  char byte;
  EXPECT_EQ(read(pair[1], &byte, 1), 0);  // an orderly end
  close(pair[1]);
}

}  // namespace
