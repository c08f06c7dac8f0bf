/* Data resources from the linked-in table, from the symbols of a program linked with its
 * symbols exported and from appended files; resource URLs opened as streams; URL objects of the
 * resource and file schemes. */
#include <cerrno>
#include <cstdio>

#include "scratch_files.h"
#include "stream_fixture.h"

namespace {

/* A blob with the given magic, 8-byte big-endian size and time words, and data. */
std::vector<unsigned char> blob(const char *magic, uint64_t size, uint64_t mtime,
                                const std::string &data)
{
  std::vector<unsigned char> b(magic, magic + 16);
  for (uint64_t word : {size, mtime})
    for (int shift = 56; shift >= 0; shift -= 8) b.push_back((unsigned char)(word >> shift));
  b.insert(b.end(), data.begin(), data.end());
  return b;
}

std::vector<unsigned char> tavro =
    blob("Orvalis Resource", 0x1100000007ull, 0xAB12345678ull, "tavro!!");
std::vector<unsigned char> qxrt = blob("Orvalis Resource", 4, 0, "qxrt");
std::vector<unsigned char> wrong = blob("Orvalis Resourcf", 4, 0, "oops");
qx_named_resource<sizeof "_0x2Ftavro_0x2Ftavro_0x2Esav"> tavro_record = {
    tavro.data(), "_0x2Ftavro_0x2Ftavro_0x2Esav"};
qx_named_resource<sizeof "_0x2Fqxrt_0x2Esav"> qxrt_record = {qxrt.data(), "_0x2Fqxrt_0x2Esav"};
qx_named_resource<sizeof "_0x2Fwrong"> wrong_record = {wrong.data(), "_0x2Fwrong"};
qx_named_resource<sizeof "_0x2Fnull"> null_record = {nullptr, "_0x2Fnull"};
int entry(void *) { return 0; }
const char *const pre_map[] = {"clpfd",           tavro_record.name, qxrt_record.name,
                               wrong_record.name, null_record.name,  nullptr};
const QX_pre_linkage_fn pre_linkage[] = {entry, nullptr, nullptr, nullptr, nullptr, nullptr};

std::string trailer(size_t size, const std::string &name)
{
  char b[32];
  snprintf(b, sizeof b, "0x%zx", size);
  return std::string("\n# META_INFO_SUFFIX 1\n# size=\"") + b + "\"\n# name=\"" + name +
         "\"\n# META_INFO_SUFFIX END\n";
}

class UrlObjects : public StreamTest {
protected:
  UrlObjects() { qx_set_linked_resources(pre_map, pre_linkage); }
  ~UrlObjects() override
  {
    qx_free_embedded_resources();
    qx_set_linked_resources(nullptr, nullptr);
  }
  static std::string found(const char *name, uint32_t *mtime_out = nullptr)
  {
    const unsigned char *data = nullptr;
    size_t size = 0;
    uint32_t mtime = 0;
    if (!orvalis_resource_find_data(name, &data, &size, &mtime)) return "none";
    if (mtime_out) *mtime_out = mtime;
    return std::string((const char *)data, size);
  }
  static std::string read_all(QX_stream *s)
  {
    std::string text;
    for (int c; (c = qx_get_byte_helper(s, 0)) >= 0;) text += (char)c;
    return text;
  }
};

}  // namespace

TEST_F(UrlObjects, SymbolNameEscape)
{
  struct {
    const char *text, *c_name;
  } rows[] = {{"/qxrt.sav", "_0x2Fqxrt_0x2Esav"},
              {"my-res", "my_0x2Dres"},
              {"", ""},
              {"a_b", "a_0x5Fb"},
              {"\xC3\xA9Z9", "_0xC3_0xA9Z9"}};
  for (const auto &r : rows) {
    char *c = qx_ensure_c_name(r.text);
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(c, r.c_name) << r.text;
    QX_free(c);
  }
}

TEST_F(UrlObjects, TableBlobsAndTheRoutesATableHitSkips)
{
  uint32_t symbols0, appended0, symbols1, appended1, mtime = 0;
  qx_resource_lookup_counts(&symbols0, &appended0);
  EXPECT_EQ(found("/tavro/tavro.sav", &mtime), "tavro!!") << "only the low 32 bits of the size";
  EXPECT_EQ(mtime, 0x12345678u);
  EXPECT_EQ(found("/qxrt.sav"), "qxrt");
  qx_resource_lookup_counts(&symbols1, &appended1);
  EXPECT_EQ(symbols1, symbols0);
  EXPECT_EQ(appended1, appended0);
  EXPECT_EQ(qx_eg.embedded_resources, nullptr) << "no file was scanned";

  EXPECT_EQ(found("/wrong"), "none") << "a wrong magic";
  EXPECT_EQ(found("clpfd"), "none") << "a foreign resource is no data resource";
  qx_resource_lookup_counts(&symbols1, &appended1);
  EXPECT_EQ(symbols1, symbols0 + 1) << "clpfd went on to the symbols";
  EXPECT_EQ(found("/null"), "none") << "a null blob ends the table walk";
  EXPECT_EQ(found("/absent"), "none");
  qx_resource_lookup_counts(&symbols1, &appended1);
  EXPECT_EQ(symbols1, symbols0 + 3);
  EXPECT_EQ(appended1, appended0 + 3);
}

TEST_F(UrlObjects, AppendedRouteAndItsSwitch)
{
  std::string path = scratch_file("exe", "ELF...saved" + trailer(5, "/app.sav"));
  ASSERT_EQ(QX_set_system_property("QX_EMBEDDED_RESOURCES_PATH", path.c_str(), 0), 0);
  uint32_t mtime = 7;
  EXPECT_EQ(found("/app.sav", &mtime), "saved");
  EXPECT_EQ(mtime, 0u);
  uint32_t symbols0, appended0, symbols1, appended1;
  qx_resource_lookup_counts(&symbols0, &appended0);
  ASSERT_EQ(QX_set_system_property("QX_ALLOW_EMBEDDED_RESOURCE", "no", 0), 0);
  EXPECT_EQ(found("/app.sav"), "none");
  qx_resource_lookup_counts(&symbols1, &appended1);
  EXPECT_EQ(appended1, appended0);
  ASSERT_EQ(QX_set_system_property("QX_ALLOW_EMBEDDED_RESOURCE", "yes", 0), 0);
  EXPECT_EQ(found("/app.sav"), "saved");
}

TEST(ResourceSymbols, FoundThroughTheProgramsOwnSymbols)
{
  std::string cmd = "QX_ALLOW_EMBEDDED_RESOURCE=no " QX_BUILD_DIR
                    "/tests/resource_symbols /dl.blob /table /bad /absent";
  FILE *p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char chunk[256];
  while (size_t n = fread(chunk, 1, sizeof chunk, p)) out.append(chunk, n);
  EXPECT_EQ(pclose(p), 0);
  EXPECT_EQ(out, "/dl.blob: dl! 3 9\n"
                 "/table: table 5 2\n"
                 "/bad: none\n"
                 "/absent: none\n"
                 "symbol lookups 3\n");
}

TEST_F(UrlObjects, OpeningResourceUrls)
{
  struct {
    const char *name;
    uint32_t options;
    int rc;
  } rows[] = {
      {"URL:x-orvalis-resource:/tavro/tavro.sav", QX_FO_READ | QX_FO_BINARY, 0},
      {"url:X-ORVALIS-RESOURCE:/tavro/tavro.sav", QX_FO_READ | QX_FO_BINARY, 0},
      {"uRl:x-OrVaLiS-rEsOuRcE:/tavro/tavro.sav", QX_FO_READ | QX_FO_BINARY, 0},
      {"x-orvalis-resource:/tavro/tavro.sav", QX_FO_READ | QX_FO_BINARY, -10508},
      {"URL:", QX_FO_READ | QX_FO_BINARY, -10508},
      {"URL:x-orvalis-resource:", QX_FO_READ | QX_FO_BINARY, -10508},
      {"URL:http://example/tavro.sav", QX_FO_READ | QX_FO_BINARY, -10007},
      {"URL:x-orvalis-resources:/tavro/tavro.sav", QX_FO_READ | QX_FO_BINARY, -10007},
      {"URL:x-orvalis-resource:/tavro/tavro.sav", QX_FO_WRITE | QX_FO_BINARY, -10020},
      {"URL:x-orvalis-resource:/tavro/tavro.sav", QX_FO_APPEND | QX_FO_BINARY, -10020},
      {"URL:x-orvalis-resource:/missing.sav", QX_FO_READ | QX_FO_BINARY, -10501},
      {"URL:x-orvalis-resource:/wrong", QX_FO_READ | QX_FO_BINARY, -10501},
      {"URL:x-orvalis-resource:/qxrt.sav", QX_FO_READ | QX_FO_TEXT, 0},
  };
  for (const auto &r : rows) {
    QX_stream *s = nullptr;
    EXPECT_EQ(qx_fopen_internal(r.name, r.options | QX_FO_URL, 0, &s), r.rc) << r.name;
    if (r.rc != 0 || !s) continue;
    if (r.options & QX_FO_TEXT) {
      std::string text;
      for (int c; (c = qx_get_code_helper(s, 0)) >= 0;) text += (char)c;
      EXPECT_EQ(text, "qxrt");
    } else {
      EXPECT_EQ(read_all(s), "tavro!!") << r.name;
    }
    EXPECT_EQ(qx_fclose_internal(s, 0), 2);
  }
  /* a request without read, below the stream layer */
  QXIO q = nullptr;
  qxio_t_arglist args[] = {qxio_arg_string(QXIO_ARG_PATHNAME, "URL:x-orvalis-resource:/qxrt.sav"),
                           qxio_arg_end()};
  EXPECT_EQ(qxio_open_url(&q, args, 0), -10004);
  EXPECT_EQ(q, nullptr);
}

TEST_F(UrlObjects, ResourceObjects)
{
  EXPECT_EQ(create_url_object("url:x-orvalis-resource:/qxrt.sav"), nullptr) << "URL: exactly";
  EXPECT_EQ(create_url_object("URL:x-orvalis-resource"), nullptr) << "no second colon";
  EXPECT_EQ(create_url_object("URL:x-orvalis-resource:/missing"), nullptr);
  EXPECT_EQ(create_url_object("URL:gopher:/qxrt.sav"), nullptr);
  url_object_ *o = create_url_object("URL:X-Orvalis-Resource:/tavro/tavro.sav");
  ASSERT_NE(o, nullptr);
  EXPECT_STREQ(url_object_description(o), "Orvalis Resource URL Object");
  EXPECT_EQ(url_object_validate(o), o);
  EXPECT_EQ(url_object_exists(o), 1);
  EXPECT_EQ(url_object_readable(o), 1);
  EXPECT_STREQ(url_object_extension(o), ".sav");
  char buf[16] = {};
  EXPECT_EQ(url_object_read(o, buf, 1, 1), -1) << "not open";
  EXPECT_EQ(url_object_open(o, "rw"), -1);
  EXPECT_EQ(url_object_get_errno(o), -1);
  url_object_clear_errno(o);
  ASSERT_EQ(url_object_open(o, "rbr"), 0);
  EXPECT_EQ(url_object_read(o, buf, 0, 4), -1) << "size 0";
  EXPECT_EQ(url_object_read(o, buf, 2, 2), 2);
  EXPECT_EQ(std::string(buf, 4), "tavr");
  EXPECT_EQ(url_object_get(o), 'o');
  EXPECT_EQ(url_object_read(o, buf, 4, 3), 0) << "two bytes left: no whole item";
  EXPECT_EQ(std::string(buf, 2), "!!");
  EXPECT_EQ(url_object_get(o), -1);
  EXPECT_EQ(url_object_close(o), 0);
  EXPECT_EQ(url_object_get(o), -1);
  url_object_free(o);

  url_object_ *none = nullptr;
  EXPECT_EQ(url_object_description(none), nullptr);
  EXPECT_EQ(url_object_validate(none), nullptr);
  EXPECT_EQ(url_object_exists(none), 0);
  EXPECT_EQ(url_object_extension(none), nullptr);
  EXPECT_EQ(url_object_open(none, "r"), -1);
  EXPECT_EQ(url_object_read(none, buf, 1, 1), -1);
  EXPECT_EQ(url_object_close(none), -1);
  EXPECT_EQ(url_object_get(none), -1);
  EXPECT_EQ(url_object_get_errno(none), -1);
  url_object_free(none);
  EXPECT_TRUE(url_scheme_is(":x", ""));
  EXPECT_FALSE(url_scheme_is("filex:", "file"));
}

TEST_F(UrlObjects, FileObjects)
{
  std::string dir = scratch_dir() + "/a.b";
  mkdir(dir.c_str(), 0700);
  std::string path = scratch_file("a.b/c", "12345");
  url_object_ *o = create_url_object(("URL:file:" + path).c_str());
  ASSERT_NE(o, nullptr);
  EXPECT_STREQ(url_object_description(o), "Local file URL Object");
  EXPECT_EQ(url_object_extension(o), nullptr) << "a dot in a directory name";
  EXPECT_EQ(url_object_exists(o), 1);
  EXPECT_EQ(url_object_readable(o), 1);
  EXPECT_EQ(url_object_open(o, "rz"), -1);
  ASSERT_EQ(url_object_open(o, "rb"), 0);
  char buf[8] = {};
  EXPECT_EQ(url_object_get_errno(o), -1);
  url_object_clear_errno(o);
  EXPECT_EQ(url_object_read(o, buf, 2, 1), 1);
  EXPECT_EQ(url_object_get_errno(o), 0);
  EXPECT_EQ(url_object_read(o, buf, 2, 3), 1) << "a short read: three bytes, one whole item";
  EXPECT_EQ(std::string(buf, 3), "345");
  EXPECT_EQ(url_object_get_errno(o), EIO);
  EXPECT_EQ(url_object_close(o), 0);
  EXPECT_EQ(url_object_close(o), -1);
  ASSERT_EQ(url_object_open(o, "r"), 0) << "text";
  EXPECT_EQ(url_object_get(o), '1');
  url_object_free(o); /* closes the open stream */

  std::string fresh = scratch_dir() + "/written.txt";
  EXPECT_EQ(create_url_object(("URL:" + fresh).c_str()), nullptr) << "no scheme";
  url_object_ *w = create_url_object(("URL:FILE:" + fresh).c_str());
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(url_object_exists(w), 0);
  ASSERT_EQ(url_object_open(w, "wb"), 0);
  EXPECT_EQ(url_object_close(w), 0);
  EXPECT_EQ(url_object_exists(w), 1);
  url_object_free(w);
}
