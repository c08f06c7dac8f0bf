/* Opening, closing and repositioning streams on real files and socketpairs. */
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "filenames.h"
#include "stream_fixture.h"
#include "test_fork.h"
#include "scratch_root.h"

namespace {

std::string dir_path()
{
  static std::string d = qx_scratch_mkdtemp("qx_stream_open");
  return d;
}

std::string make_file(const char *name, const std::string &bytes)
{
  std::string path = dir_path() + "/" + name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

std::string file_text(const std::string &path)
{
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

std::vector<std::string> close_calls;
int record_close_cleanup(worker *w)
{
  close_calls.push_back(TestProlog::show(w->term[1]));
  return 1;
}

}  // namespace

/* Reads every code of a text stream. */
static std::vector<int> all_codes(QX_stream *s)
{
  std::vector<int> codes;
  for (int c; (c = qx_get_code_helper(s, 0)) >= 0;) codes.push_back(c);
  return codes;
}

TEST_F(StreamTest, DefaultEncodingIsLatin1UnlessTheFileSaysOtherwise)
{
  struct {
    const char *name, *bytes;
    std::vector<int> codes;
    bool detected;
  } cases[] = {
      {"latin1", "\xC3\xA9", {0xC3, 0xA9}, false},
      {"bom", "\xEF\xBB\xBF\xC3\xA9", {0xE9}, true},
      {"coding", "% -*- coding: utf-8 -*-\n\xC3\xA9", {}, true},
  };
  for (const auto &c : cases) {
    std::string path = make_file(c.name, c.bytes);
    QX_stream *s = nullptr;
    ASSERT_EQ(qx_fopen_internal(path.c_str(), QX_FO_READ | QX_FO_TEXT, 0, &s), 0) << c.name;
    std::vector<int> codes = all_codes(s);
    if (!c.codes.empty()) {
      EXPECT_EQ(codes, c.codes) << c.name;
    }
    if (c.codes.empty()) {
      EXPECT_EQ(codes.back(), 0xE9) << c.name;
    }
    EXPECT_EQ((s->flags & QX_SF_ENCODING_DETECTED) != 0, c.detected) << c.name;
    EXPECT_EQ(qx_fclose_internal(s, 0), 2);
  }
}

TEST_F(StreamTest, RepositioningRulesAndSeekToEnd)
{
  std::string path = make_file("ten", "0123456789");
  QX_stream *s = nullptr;
  EXPECT_EQ(qx_fopen_internal(path.c_str(), QX_FO_APPEND | QX_FO_BINARY | QX_FO_REPOSITION, 0, &s),
            QXIO_E_SEEK_ERROR);
  ASSERT_EQ(qx_fopen_internal(path.c_str(), QX_FO_READ | QX_FO_BINARY | QX_FO_REPOSITION, 0, &s),
            0);
  EXPECT_TRUE(s->mode & QX_SM_CAN_SEEK);
  TAGGED offset = fresh();
  ASSERT_EQ(call("$seek", {term(s), MakeSmall(0), at("eof"), offset}).rc, 1);
  EXPECT_EQ(TestProlog::show(offset), "10");
  TAGGED b = fresh();
  ASSERT_EQ(call("$get_byte", {term(s), b, MakeSmall(0)}).rc, 1);
  EXPECT_EQ(TestProlog::show(b), "-1");
  /* Back to where end of stream was met: at end of stream again. */
  int64_t at_end;
  ASSERT_EQ(QX_get_stream_counts(s, &at_end, nullptr, nullptr, 0), 0);
  ASSERT_EQ(call("$seek", {term(s), MakeSmall(2), at("bof"), fresh()}).rc, 1);
  EXPECT_FALSE(s->flags & QX_SF_AT_EOF);
  /* The second read takes the inline path: it is counted before a relative seek. */
  for (int i = 0; i < 2; i++) ASSERT_EQ(call("$get_byte", {term(s), fresh(), MakeSmall(0)}).rc, 1);
  offset = fresh();
  ASSERT_EQ(call("$seek", {term(s), MakeSmall(0), at("current"), offset}).rc, 1);
  EXPECT_EQ(TestProlog::show(offset), "4");
  ASSERT_EQ(
      call("$set_stream_position", {term(s), num(at_end), MakeSmall(0), MakeSmall(0), MakeSmall(0)})
          .rc,
      1);
  EXPECT_TRUE(s->flags & QX_SF_AT_EOF);
  bi_call r = call("$set_stream_position",
                   {term(s), MakeSmall(-1), MakeSmall(0), MakeSmall(0), MakeSmall(0)});
  EXPECT_EQ(r.code, 5u);
  EXPECT_EQ(r.argument, 2);
  EXPECT_EQ(qx_fclose_internal(s, 0), 2);
}

TEST_F(StreamTest, SeeksBeyondA64BitOffsetFailAndKeepThePosition)
{
  QX_stream *s = nullptr;
  uint32_t options = QX_FO_READ | QX_FO_TEXT | QX_FO_REPOSITION;
  ASSERT_EQ(qx_fopen_internal(make_file("far", "abc").c_str(), options, 0, &s), 0);
  ASSERT_EQ(qx_get_code_helper(s, 0), 'a');
  const int64_t far = INT64_C(1) << 62;
  for (auto [offset, method] :
       {std::pair{far, "bof"}, {INT64_MAX, "current"}, {INT64_MIN, "current"}})
    EXPECT_EQ(call("$seek", {term(s), num(offset), at(method), fresh()}).rc, 0) << method;
  EXPECT_TRUE(
      call("$set_stream_position", {term(s), num(far), MakeSmall(0), MakeSmall(0), MakeSmall(0)})
          .raised);
  EXPECT_EQ(qx_get_code_helper(s, 0), 'b');
  EXPECT_EQ(qx_fclose_internal(s, 0), 2);
}

TEST_F(StreamTest, ClosingUserOutputNeedsTheStandardOption)
{
  QX_stream *out = qx_eg.stream_user_output;
  ASSERT_EQ(call("$close", {at("user_output"), MakeSmall(0)}).rc, 1);
  EXPECT_EQ(qx_eg.stream_user_output, out);
  EXPECT_EQ(find_stream(out), out);
  ASSERT_EQ(call("$close", {at("user_output"), MakeSmall(0x2)}).rc, 1);
  EXPECT_EQ(qx_eg.stream_user_output_orig, qx_eg.persistent_null_stream);
  EXPECT_EQ(qx_eg.stream_user_output, qx_eg.persistent_null_stream);
  EXPECT_EQ(find_stream(out), nullptr) << "closed and freed";
}

TEST_F(StreamTest, ClosingOneSideOfATwoWayStreamCallsCloseCleanup)
{
  native("close_cleanup", 2, record_close_cleanup);
  close_calls.clear();
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  for (uint32_t first : {QX_FC_INPUT, QX_FC_OUTPUT}) {
    int fd = dup(pair[0]);
    QX_stream *s = stream_over_fd(fd, QX_SC_INPUT | QX_SC_OUTPUT);
    ASSERT_NE(s, nullptr);
    s->flags |= QX_SF_CLOSE_CLEANUP;
    EXPECT_EQ(qx_fclose_internal(s, first), 0);
    EXPECT_EQ(find_stream(s), s);
    EXPECT_EQ(qx_fclose_internal(s, 0), 2);
  }
  close(pair[0]);
  close(pair[1]);
  EXPECT_EQ(close_calls, (std::vector<std::string>{"read", "all", "write", "all"}));
}

TEST_F(StreamTest, ExclusiveOpenOfAnExistingFileTakesAUniqueName)
{
  for (const char *target : {"data.txt", "plain"}) {
    std::string path = make_file(target, "old");
    TAGGED s = fresh();
    bi_call r = call("$open", {at(path.c_str()), at("write"), num(0x10000 | 0x20000), at("[]"), s});
    ASSERT_EQ(r.rc, 1) << target;
    QX_stream *node = stream_to_ptr(s, 0, 0);
    ASSERT_NE(node, nullptr);
    std::string made = atom_name(node->filename_atom);
    std::string pid = std::to_string(getpid());
    std::string stem = std::strchr(target, '.') ? path.substr(0, path.size() - 4) : path;
    EXPECT_EQ(made.compare(0, stem.size() + pid.size(), stem + pid), 0) << made;
    if (std::strchr(target, '.')) {
      EXPECT_EQ(made.substr(made.size() - 4), ".txt");
    }
    EXPECT_EQ(file_text(path), "old");
    EXPECT_EQ(qx_fclose_internal(node, 0), 2);
    unlink(made.c_str());
  }
  bi_call r = call(
      "$open", {at((dir_path() + "/plain").c_str()), at("write"), num(0x10000), at("[]"), fresh()});
  EXPECT_EQ(r.code, 0x406u) << "without the unique-name option the existing file is refused";
}

TEST_F(StreamTest, AFailedOpenLeavesNothingBehind)
{
  std::string path = make_file("exists", "x");
  qxio_t_allocator_counts before, after;
  int fds = open_fds();
  qxio_allocator_default_counts(&before);
  QX_stream *s = nullptr;
  TAGGED bad_encoding = p.compound("encoding", {at("UTF-8"), at("default"), at("sideways")});
  EXPECT_EQ(qx_fopen_internal(path.c_str(), QX_FO_READ | QX_FO_TEXT | QX_FO_ENCODING_TERM,
                              bad_encoding, &s),
            QXIO_E_PARAMETER_ERROR);
  EXPECT_EQ(qx_fopen_internal(path.c_str(), QX_FO_WRITE | QX_FO_TEXT | QX_FO_EXCLUSIVE, 0, &s),
            QXIO_E_FILE_EXISTS);
  EXPECT_EQ(qx_fopen_internal((dir_path() + "/none/x").c_str(), QX_FO_READ | QX_FO_BINARY, 0, &s),
            QXIO_E_FILE_NOT_FOUND);
  EXPECT_EQ(qx_fopen_internal("/tmp/a\xC0\x80"
                              "b",
                              QX_FO_READ | QX_FO_BINARY, 0, &s),
            QXIO_E_INVALID_NAME);
  TAGGED not_atom = p.compound("encoding", {MakeSmall(1), at("default"), at("default")});
  EXPECT_EQ(
      qx_fopen_internal(path.c_str(), QX_FO_READ | QX_FO_TEXT | QX_FO_ENCODING_TERM, not_atom, &s),
      QXIO_E_INTERNAL_ERROR);
  qxio_allocator_default_counts(&after);
  EXPECT_EQ(open_fds(), fds);
  EXPECT_EQ(after.allocations - after.frees, before.allocations - before.frees);
}

TEST_F(StreamTest, RelativeNamesResolveAgainstTheEnginesDirectoryNotTheProcesss)
{
  std::string engine_dir = dir_path() + "/engine", process_dir = dir_path() + "/process";
  for (const std::string &d : {engine_dir, process_dir})
    ASSERT_TRUE(mkdir(d.c_str(), 0700) == 0 || errno == EEXIST) << d;
  std::ofstream(engine_dir + "/rel.txt") << "engine";
  std::ofstream(process_dir + "/rel.txt") << "process";
  char *old_cwd = getcwd(nullptr, 0);
  ASSERT_EQ(chdir(process_dir.c_str()), 0);
  qx_set_current_dir_default_options = QX_CHDIR_KEEP_PROCESS;
  EXPECT_EQ(QX_set_current_dir(engine_dir.c_str()), 0);
  qx_set_current_dir_default_options = 0;
  std::string seen;
  for (const char *name : {"rel.txt", "./sub/../rel.txt", "rel.txt/"}) {
    QX_stream *s = nullptr;
    int rc = qx_fopen_internal(name, QX_FO_READ | QX_FO_TEXT, 0, &s);
    if (rc < 0) {
      seen += std::to_string(rc) + ";";
      continue;
    }
    std::vector<int> codes = all_codes(s);
    seen += std::string(codes.begin(), codes.end()) + "@" + atom_name(s->filename_atom) + ";";
    EXPECT_EQ(qx_fclose_internal(s, 0), 2);
  }
  EXPECT_EQ(seen, "engine@" + engine_dir + "/rel.txt;engine@" + engine_dir + "/rel.txt;engine@" +
                      engine_dir + "/rel.txt;");
  /* A name holding code 0 (or bytes that are no UTF-8) is refused whole, never cut short: the
   * file "cut" exists, and neither form may reach it. */
  std::ofstream(engine_dir + "/cut") << "x";
  const std::string nul = "\xC0\x80";
  for (std::string name : {"cut" + nul + "tail", "cut" + nul, engine_dir + "/cut" + nul + "x",
                           engine_dir + "/cut\xFF", std::string("cut\xED\xA0\x80")}) {
    for (uint32_t expand : {0u, QX_FO_NO_EXPAND}) {
      if (expand && name[0] != '/') continue;
      QX_stream *s = nullptr;
      EXPECT_EQ(qx_fopen_internal(name.c_str(), QX_FO_READ | QX_FO_BINARY | expand, 0, &s),
                QXIO_E_INVALID_NAME)
          << name << " " << expand;
      EXPECT_EQ(s, nullptr);
    }
  }
  EXPECT_EQ(chdir(old_cwd), 0);
  free(old_cwd);
  deinit_file();
}

/* A user device whose close fails once: the stream stays open, current and writable. */
TEST_F(StreamTest, AFailedCloseLeavesTheStreamOpenAndUsable)
{
  static std::string bytes;
  static int closes = 0;
  auto keep = [](void *, const void *b, size_t *n, uint32_t) -> qxio_t_error_code {
    return bytes.append((const char *)b, *n), QXIO_S_NOERR;
  };
  auto close_once = [](void **, uint32_t) -> qxio_t_error_code {
    return ++closes == 1 ? QXIO_E_WRITE_ERROR : QXIO_S_NOERR;
  };
  QXIO q = nullptr;
  qxio_create_device(&q, &bytes, "once", nullptr, keep, nullptr, nullptr, close_once, nullptr,
                     nullptr, QXIO_DEVICE_BYTES);
  QX_stream *s = qx_eg.output_stream_ptr = stream_over(q, QX_SC_OUTPUT);
  EXPECT_EQ(QX_put_encoded_string(s, "ab", 0), 0);
  EXPECT_EQ(qx_fclose_internal(s, 0), QXIO_E_WRITE_ERROR);
  EXPECT_EQ(qx_eg.output_stream_ptr, s);
  EXPECT_EQ(QX_put_encoded_string(s, "c", 0), 0);
  EXPECT_EQ(qx_fclose_internal(s, 0), 2);
  EXPECT_EQ(bytes, "abc");
}

/* With every descriptor the limit allows in use, each stream closes, the first one writing
 * its output through its running worker, and every descriptor comes back. */
TEST_F(StreamTest, ClosingTakesNoNewDescriptor)
{
  forked_child child = run_forked([&] {
    int fds = open_fds();
    rlimit limit;
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = (rlim_t)fds + 24;
    setrlimit(RLIMIT_NOFILE, &limit);
    std::vector<QX_stream *> streams;
    auto path = [](size_t i) { return dir_path() + "/many" + std::to_string(i); };
    for (TAGGED s = fresh(); streams.size() < 64; s = fresh()) {
      TAGGED file = at(path(streams.size()).c_str());
      if (call("$open", {file, at("write"), num(0), at("[]"), s}).rc != 1) break;
      streams.push_back(stream_to_ptr(s, 0, 0));
      QX_put_encoded_string(streams.back(), "x", 0);
      if (streams.size() == 1) QX_flush_output(streams[0], 0); /* its worker runs */
    }
    std::vector<int> rest; /* the last free numbers */
    for (int fd; (fd = dup(0)) >= 0;) rest.push_back(fd);
    std::string out = std::to_string(streams.size() > 1);
    for (QX_stream *s : streams) out += call("$close", {term(s), num(0)}).rc == 1 ? "" : " failed";
    for (int fd : rest) close(fd);
    return out + " " + file_text(path(0)) + file_text(path(1)) + (open_fds() == fds ? " back" : "");
  });
  EXPECT_EQ(child.report, "1 xx back") << child.err;
}

TEST_F(StreamTest, AnOpenWhoseStreamArgumentIsBoundLeavesNothingBehind)
{
  std::string path = make_file("bound", "x");
  int fds = open_fds();
  QX_stream *last = qx_eg.root_stream_ptr->backward;
  for (int i = 0; i < 3; i++)
    EXPECT_EQ(call("$open", {at(path.c_str()), at("read"), num(0), at("[]"), at("bound")}).rc, 0);
  EXPECT_EQ(open_fds(), fds);
  EXPECT_EQ(qx_eg.root_stream_ptr->backward, last) << "no node left in the ring";
}
