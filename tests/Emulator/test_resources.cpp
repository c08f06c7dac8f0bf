/* Resources appended to generated files: trailer shapes, chains, lookups by name and file
 * suffix, a second size line, sizes that do not fit the file or memory, the order of the
 * resource files and the one scan per run. */
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "resources.h"
#include "scratch_files.h"
#include "stream_fixture.h"
#include "test_fork.h"

namespace {

/* A trailer as the saved-state writer appends it: properties in the given order. */
std::string trailer(const std::string &size, const std::vector<std::string> &props)
{
  std::string t = "\n# META_INFO_SUFFIX 1";
  if (!size.empty()) t += "\n# size=\"" + size + "\"";
  for (const std::string &p : props) t += "\n# " + p;
  return t + "\n# META_INFO_SUFFIX END\n";
}

std::string hex(uint64_t n)
{
  char b[32];
  snprintf(b, sizeof b, "0x%llx", (unsigned long long)n);
  return b;
}

class Resources : public StreamTest {
protected:
  ~Resources() override { qx_free_embedded_resources(); }

  /* Looks name up among the resources appended to path (the only resource file). */
  int lookup(const std::string &path, const char *name, std::string *data = nullptr)
  {
    qx_free_embedded_resources();
    EXPECT_EQ(QX_set_system_property("QX_EMBEDDED_RESOURCES_PATH", path.c_str(), 0), 0);
    unsigned char *bytes = nullptr;
    size_t size = 0;
    int rc = find_embedded_resource(name, &bytes, &size);
    if (rc == 0 && data) data->assign((const char *)bytes, size);
    return rc;
  }
};

/* A source over a file descriptor that records whether any read left the file. */
struct fd_source {
  int fd;
  int64_t length;
  bool outside = false;
  static int read_at(void *s, int64_t offset, void *into, size_t n)
  {
    fd_source *f = (fd_source *)s;
    if (offset < 0 || offset + (int64_t)n > f->length) f->outside = true;
    return pread(f->fd, into, n, offset) == (ssize_t)n ? 0 : QXIO_E_READ_ERROR;
  }
  static void close(void *s) { ::close(((fd_source *)s)->fd); }
};
const qx_t_resource_source_funcs_ fd_funcs = {fd_source::read_at, fd_source::close};

}  // namespace

TEST_F(Resources, TrailerShapesOnGeneratedFiles)
{
  std::string garbage;
  for (int i = 0; i < 1000; i++) garbage += (char)(i * 37 % 256);
  std::string long_name = "/very/long/" + std::string(150, 'd') + "/app.sav";
  struct row {
    const char *what;
    std::string bytes;
    const char *name;
    int rc;
    const char *data;
  } rows[] = {
      {"plain", "xyhello" + trailer("0x5", {"name=\"r\""}), "r", 0, "hello"},
      {"upper-case digits", std::string(31, 'a') + trailer("0x1F", {"name=\"r\""}), "r", 0,
       "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"},
      {"0x alone is 0", "abc" + trailer("0x", {"name=\"r\""}), "r", 0, ""},
      {"across chunks, by file suffix", "DATA" + trailer("0x4", {"file=\"" + long_name + "\""}),
       "app.sav", 0, "DATA"},
      {"lines of # alone skipped", "ab" + trailer("0x2", {"name=\"r\"", "#"}), "r", 0, "ab"},
      {"unknown lines ignored", "ab" + trailer("0x2", {"name=\"r\"", "no property"}), "r", 0, "ab"},
      {"last byte not a line feed",
       "ab" + trailer("0x2", {"name=\"r\""}).substr(0, trailer("0x2", {"name=\"r\""}).size() - 1),
       "r", QXIO_E_NOT_FOUND, nullptr},
      {"no size", "ab" + trailer("", {"name=\"r\""}), "r", QXIO_E_NOT_FOUND, nullptr},
      {"size without 0x", "ab" + trailer("2", {"name=\"r\""}), "r", QXIO_E_NOT_FOUND, nullptr},
      {"size with another character", "ab" + trailer("0x2g", {"name=\"r\""}), "r", QXIO_E_NOT_FOUND,
       nullptr},
      {"size over 63 bits", "ab" + trailer("0x8000000000000000", {"name=\"r\""}), "r",
       QXIO_E_NOT_FOUND, nullptr},
      {"line over 500 bytes",
       "ab" + trailer("0x2", {"name=\"r\"", "x=\"" + std::string(500, 'v') + "\""}), "r",
       QXIO_E_NOT_FOUND, nullptr},
      {"second byte not #", "ab" + trailer("0x2", {"name=\"r\""}).insert(21, "\nzz"), "r",
       QXIO_E_NOT_FOUND, nullptr},
      {"shorter than a trailer", "\n# META_INFO_SUFFIX END\n", "r", QXIO_E_NOT_FOUND, nullptr},
      {"header line missing",
       "# META_INFO_SUFFIX 1\n# size=\"0x0\"\n# name=\"r\"\n# META_INFO_SUFFIX END\n", "r",
       QXIO_E_NOT_FOUND, nullptr},
      {"one byte more than the file", "ab" + trailer("0x3", {"name=\"r\""}), "r", QXIO_E_NOT_FOUND,
       nullptr},
      {"2^62", "ab" + trailer(hex(1ull << 62), {"name=\"r\""}), "r", QXIO_E_NOT_FOUND, nullptr},
      {"binary garbage", garbage + "# META_INFO_SUFFIX END\n", "r", QXIO_E_NOT_FOUND, nullptr},
      {"empty file", "", "r", QXIO_E_NOT_FOUND, nullptr},
  };
  int n = 0;
  for (const row &r : rows) {
    std::string path = scratch_file("shape" + std::to_string(n++), r.bytes), data;
    EXPECT_EQ(lookup(path, r.name, &data), r.rc) << r.what;
    if (r.data) {
      EXPECT_EQ(data, r.data) << r.what;
    }
  }
}

TEST_F(Resources, ChainedTrailersAndLookupByNameAndFileSuffix)
{
  /* Each trailer's resource ends just before its header line, so an outer resource holds the
   * inner one with its trailer; the scan finds the inner trailer just before the outer header. */
  std::string inner = "INNER" + trailer("0x5", {"file=\"/build/dir/app.sav\""});
  std::string middle = inner + trailer(hex(inner.size()), {"name=\"/qxrt.sav\""});
  std::string empty = trailer("0x0", {"name=\"empty\"", "file=\"/x/y.sav\""});
  std::string path = scratch_file("chain", "prefix" + middle + empty);
  struct {
    const char *name;
    int rc;
    std::string data;
  } rows[] = {{"app.sav", 0, "INNER"},
              {"dir/app.sav", 0, "INNER"},
              {"/build/dir/app.sav", 0, "INNER"},
              {"/qxrt.sav", 0, inner},
              {"qxrt.sav", QXIO_E_NOT_FOUND, ""},
              {"/other/app.sav", QXIO_E_NOT_FOUND, ""},
              {"empty", 0, ""},
              {"y.sav", 0, ""}};
  for (const auto &r : rows) {
    std::string data = "unset";
    EXPECT_EQ(lookup(path, r.name, &data), r.rc) << r.name;
    if (r.rc == 0) {
      EXPECT_EQ(data, r.data) << r.name;
    }
  }
  /* loaded once: a second lookup hands out the same bytes without a new scan */
  unsigned char *first = nullptr, *again = nullptr;
  size_t size = 0;
  ASSERT_EQ(find_embedded_resource("app.sav", &first, &size), 0);
  ASSERT_EQ(find_embedded_resource("app.sav", &again, &size), 0);
  EXPECT_EQ(first, again);
}

TEST_F(Resources, SecondSizeLineEndsTheFileKeepingEarlierFinds)
{
  std::string bad = "AB\n# META_INFO_SUFFIX 1\n# size=\"0x2\"\n# size=\"0x2\"\n# name=\"bad\"\n"
                    "# META_INFO_SUFFIX END\n";
  std::string good = bad + trailer(hex(bad.size()), {"name=\"good\""});
  std::string path = scratch_file("twosizes", good);
  fd_source src{open(path.c_str(), O_RDONLY | O_CLOEXEC), (int64_t)good.size()};
  qx_t_meta_info_header_ *h = new_meta_info_header();
  h->stream = &src;
  h->funcs = &fd_funcs;
  h->stream_length = src.length;
  EXPECT_EQ(qx_scan_meta_info(h), QXIO_E_INVALID_STATE);
  unsigned char *data = nullptr;
  size_t size = 0;
  ASSERT_EQ(qx_meta_info_lookup(h, "good", &data, &size), 0);
  EXPECT_EQ(std::string((char *)data, size), bad);
  EXPECT_EQ(qx_meta_info_lookup(h, "bad", &data, &size), QXIO_E_NOT_FOUND);
  EXPECT_FALSE(src.outside);
  free_meta_info_header(h);
  EXPECT_EQ(fcntl(src.fd, F_GETFD), -1) << "freeing the header closes its file";
}

TEST_F(Resources, SizesThatDoNotFitTheFileOrMemoryAreDropped)
{
  /* A sparse file larger than 4 GiB: the resource lies inside it, but its length of 2^32 + 5
   * bytes cannot be held in memory, so the lookup finds nothing rather than 5 bytes. */
  const uint64_t big = (1ull << 32) + 5;
  std::string tail = trailer(hex(big), {"name=\"huge\""});
  std::string path = scratch_dir() + "/sparse";
  int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pwrite(fd, tail.data(), tail.size(), (off_t)big + 7), (ssize_t)tail.size());
  close(fd);
  std::string data;
  EXPECT_EQ(lookup(path, "huge", &data), QXIO_E_NOT_FOUND);

  /* the same trailer with a size that fits, as a control that the file itself scans */
  std::string small = trailer("0x7", {"name=\"small\""});
  fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_EQ(pwrite(fd, small.data(), small.size(), (off_t)big + 7), (ssize_t)small.size());
  ASSERT_EQ(ftruncate(fd, (off_t)(big + 7 + small.size())), 0);
  close(fd);
  EXPECT_EQ(lookup(path, "small", &data), 0);
  EXPECT_EQ(data, std::string(7, '\0'));
  unlink(path.c_str());
}

TEST_F(Resources, ScanOncePerRunAndFilesInVariableOrder)
{
  std::string rt = scratch_file("rt", "RT" + trailer("0x2", {"name=\"both\""}));
  std::string app = scratch_file("app", "APP" + trailer("0x3", {"name=\"both\"", "file=\"a\""}));
  qx_free_embedded_resources();
  ASSERT_EQ(QX_set_system_property("QX_RT_PATH", rt.c_str(), 0), 0);
  ASSERT_EQ(QX_set_system_property("QX_APP_PATH", app.c_str(), 0), 0);
  ASSERT_EQ(QX_set_system_property("QX_EMBEDDED_RESOURCES_PATH", "/nonexistent/x", 0), 0);
  unsigned char *data = nullptr;
  size_t size = 0;
  ASSERT_EQ(find_embedded_resource("both", &data, &size), 0);
  EXPECT_EQ(std::string((char *)data, size), "RT");
  ASSERT_EQ(find_embedded_resource("a", &data, &size), 0);
  EXPECT_EQ(std::string((char *)data, size), "APP");
  /* a file added after the scan is not seen until the list is freed */
  std::string rt2 = scratch_file("rt2", "N" + trailer("0x1", {"name=\"new\""}));
  ASSERT_EQ(QX_set_system_property("QX_RT_PATH", rt2.c_str(), 0), 0);
  EXPECT_EQ(find_embedded_resource("new", &data, &size), QXIO_E_NOT_FOUND);
  qx_free_embedded_resources();
  EXPECT_EQ(find_embedded_resource("new", &data, &size), 0);
}

/* A FIFO named as a resource file is passed over, not opened to wait for a writer that never
 * comes; the child's alarm only ends a regression that would block. */
TEST_F(Resources, AFileThatIsNotRegularIsPassedOver)
{
  std::string fifo = scratch_dir() + "/fifo";
  unlink(fifo.c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  forked_child c = run_forked([&] {
    alarm(30);
    return std::to_string(lookup(fifo, "r"));
  });
  EXPECT_EQ(c.report, std::to_string(QXIO_E_NOT_FOUND)) << c.err;
  unlink(fifo.c_str());
}
