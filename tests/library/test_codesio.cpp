/* The codesio resource over real user streams: read streams over texts, write streams that grow
 * and hand their codes back as a list, writes and reads of partial codes, a buffer that cannot
 * grow, closing one side of a stream open both ways, and the deinit that closes the class. */
#include <cstring>
#include <vector>

#include "libres_test.h"
#include "memtest_support.h"
#include "stream_fixture.h"

namespace {

codesio_data *data_of(QX_stream *s)
{
  void *data = nullptr;
  EXPECT_EQ(QX_get_stream_user_data(s, (const void *)codes_to_stream, &data), 0);
  return (codesio_data *)data;
}

int stream_count()
{
  int n = 0;
  QX_stream *root = qx_eg.root_stream_ptr;
  for (QX_stream *s = root->forward; s != root; s = s->forward) n++;
  return n;
}

/* A record as codesio_stream makes it for writing, outside any stream. */
codesio_data *write_record(uint32_t capacity = CODESIO_INITIAL_CAPACITY)
{
  auto *d = (codesio_data *)QX_malloc(sizeof(codesio_data));
  *d = {(uint32_t *)QX_malloc(capacity * 4), CODESIO_WRITE, 0, capacity};
  return d;
}

int write_codes(codesio_data *d, const std::vector<uint32_t> &codes, size_t *size)
{
  *size = codes.size() * 4;
  return codesio_user_write(d, codes.data(), size, 0);
}

std::vector<uint32_t> sample_codes(size_t n)
{
  const uint32_t alphabet[] = {'a', 'Z', '0', 0xE9, 0x20AC, 0x1F600, 0x10FFFF, 0x3B1};
  std::vector<uint32_t> codes(n);
  for (size_t i = 0; i < n; i++) codes[i] = alphabet[(i * 5 + i / 8) % 8];
  return codes;
}

/* The list of codes as show() writes it, ending in tail ("" for a closed list). */
std::string list_text(const std::vector<uint32_t> &codes, const std::string &tail)
{
  std::string text;
  for (size_t i = 0; i < codes.size(); i++) text += (i ? "," : "") + std::to_string(codes[i]);
  if (codes.empty()) return tail.empty() ? "[]" : tail;
  return "[" + text + (tail.empty() ? "" : "|" + tail) + "]";
}

class Codesio : public StreamTest {
protected:
  Codesio() { block = libres_load(qx_main_QXENV_codesio); }
  ~Codesio() override { libres_unload(block); }
  QX_MAINFUN_PARAMS_STRUCT block;
};

TEST_F(Codesio, ReadStreamsDeliverTheCodesOfTheirTextThenEndOfFile)
{
  const struct {
    const char *text;
    std::vector<int> codes;
  } cases[] = {
      {"", {}},
      {"a", {'a'}},
      {"h\xC3\xA9 \xE2\x82\xAC\xF0\x9F\x98\x80\n", {'h', 0xE9, ' ', 0x20AC, 0x1F600, '\n'}},
  };
  for (const auto &c : cases) {
    void *made = nullptr;
    codes_to_stream(c.text, &made);
    auto *s = (QX_stream *)made;
    ASSERT_NE(s, nullptr) << c.text;
    std::vector<int> got;
    for (int code; (code = qx_get_code_helper(s, 0x1)) >= 0;) got.push_back(code);
    EXPECT_EQ(got, c.codes) << c.text;
    EXPECT_EQ(qx_get_code_helper(s, 0x1), -1) << "still at the end";
    /* a read stream is no write stream: its codes are not handed out */
    QX_term_ref codes = QX_new_term_ref(), tail = QX_new_term_ref();
    stream_to_codes(s, codes, tail);
    EXPECT_EQ(show(codes), "error");
    EXPECT_EQ(qx_fclose_internal(s, 0), 2);
  }
}

TEST_F(Codesio, MalformedTextGivesTheGenericErrorAndNoStream)
{
  int before = stream_count();
  for (const char *text : {"\x80", "ab\xC3", "a\xC3(b", "\xFF\xFE"}) {
    QX_stream *s = (QX_stream *)1;
    EXPECT_EQ(codesio_stream(text, &s), QXIO_E_ERROR) << text;
    EXPECT_EQ(s, nullptr);
    void *made = (void *)1;
    codes_to_stream(text, &made);
    EXPECT_EQ(made, nullptr);
  }
  EXPECT_EQ(stream_count(), before);
}

TEST_F(Codesio, ThousandTwentyFiveCodesGrowTheBufferOnceTo2048)
{
  void *made = nullptr;
  open_buf_stream(&made);
  auto *s = (QX_stream *)made;
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(data_of(s)->count, 1024u);
  std::vector<uint32_t> codes = sample_codes(1025);
  ASSERT_EQ(QX_put_codes(s, codes.data(), codes.size(), 0), 0);
  QX_term_ref list = QX_new_term_ref(), tail = QX_new_term_ref();
  stream_to_codes(s, list, tail);
  EXPECT_EQ(data_of(s)->count, 2048u);
  EXPECT_EQ(data_of(s)->position, 1025u);
  EXPECT_EQ(show(list), list_text(codes, "_"));
  /* the tail is the list's own tail */
  QX_term_ref nil = ref("[]");
  ASSERT_EQ(QX_unify(tail, nil), 1);
  EXPECT_EQ(show(list), list_text(codes, ""));
  EXPECT_EQ(qx_fclose_internal(s, 0), 2);

  /* the growth rule, call by call: doubled, or by the offer when doubling is not enough */
  codesio_data *d = write_record();
  const struct {
    size_t n;
    uint32_t capacity;
  } offers[] = {{1024, 1024}, {1, 2048}, {1023, 2048}, {5000, 7048}, {1, 14096}};
  size_t held = 0;
  for (const auto &o : offers) {
    std::vector<uint32_t> chunk = sample_codes(o.n);
    size_t size;
    ASSERT_EQ(write_codes(d, chunk, &size), 0);
    EXPECT_EQ(size, o.n * 4);
    held += o.n;
    EXPECT_EQ(d->count, o.capacity) << o.n;
    EXPECT_EQ(d->position, held);
    EXPECT_EQ(std::memcmp(d->buffer + held - o.n, chunk.data(), o.n * 4), 0);
  }
  void *slot = d;
  codesio_user_close(&slot, QXIO_USER_CLOSE_WRITE);
  EXPECT_EQ(slot, nullptr);
}

TEST_F(Codesio, NothingWrittenGivesCodesEqualToTail)
{
  void *made = nullptr;
  open_buf_stream(&made);
  ASSERT_NE(made, nullptr);
  QX_term_ref codes = QX_new_term_ref(), tail = QX_new_term_ref();
  stream_to_codes(made, codes, tail);
  EXPECT_EQ(show(codes), "_");
  ASSERT_EQ(QX_unify(tail, ref("end")), 1);
  EXPECT_EQ(show(codes), "end");
  /* what was written before the call is flushed first */
  ASSERT_GE(qx_put_code_helper((QX_stream *)made, 0x1F600, 0), 0);
  stream_to_codes(made, codes, tail);
  EXPECT_EQ(show(codes), "[128512|_]");
  /* streams of other classes and pointers that are no stream give error */
  QX_stream *rs = nullptr, *ws = nullptr;
  ASSERT_EQ(qx_create_pipe(nullptr, &rs, nullptr, &ws, 0), 0);
  int local = 0;
  for (void *other : {(void *)ws, (void *)&local, (void *)nullptr}) {
    stream_to_codes(other, codes, tail);
    EXPECT_EQ(show(codes), "error");
  }
  qx_fclose_internal(rs, 0);
  qx_fclose_internal(ws, 0);
  qx_fclose_internal((QX_stream *)made, 0);
}

TEST_F(Codesio, PartialCodesAreLeftToTheCallerAndWholeOnesKept)
{
  codesio_data *d = write_record(4);
  const uint32_t codes[] = {'x', 'y', 'z', 0xE9};
  const struct {
    size_t offered, taken;
    int rc;
  } writes[] = {{14, 12, 0},
                {3, 0, QXIO_E_PARAMETER_ERROR},
                {0, 0, 0},
                {5, 4, 0},
                {1, 0, QXIO_E_PARAMETER_ERROR}};
  uint32_t held = 0;
  for (const auto &w : writes) {
    size_t size = w.offered;
    EXPECT_EQ(codesio_user_write(d, codes, &size, 0), w.rc) << w.offered;
    EXPECT_EQ(size, w.taken) << w.offered;
    held += (uint32_t)(w.taken / 4);
    EXPECT_EQ(d->position, held);
  }
  EXPECT_EQ(d->buffer[2], (uint32_t)'z');
  EXPECT_EQ(d->buffer[3], (uint32_t)'x');
  /* reads: whole codes only, then end of file */
  d->direction = CODESIO_READ;
  d->count = d->position;
  d->position = 0;
  uint32_t room[4];
  const struct {
    size_t room, got;
    int rc;
  } reads[] = {{6, 4, 0}, {2, 0, QXIO_E_PARAMETER_ERROR}, {16, 12, 0}, {16, 0, QXIO_E_END_OF_FILE}};
  for (const auto &r : reads) {
    size_t size = r.room;
    EXPECT_EQ(codesio_user_read(d, room, &size, 0), r.rc) << r.room;
    EXPECT_EQ(size, r.got) << r.room;
  }
  EXPECT_EQ(room[2], (uint32_t)'x');
  void *slot = d;
  codesio_user_close(&slot, QXIO_USER_CLOSE_READ);
  EXPECT_EQ(slot, nullptr);
}

/* In a child with a 48 MiB ceiling: an offer whose growth passes it answers out of memory, takes
 * none of the new codes and keeps those held; the stream goes on. */
int growth_past_the_ceiling()
{
  alarm(120);
  EnvGuard size("PROLOGMAXSIZE", "48M");
  TestProlog p;
  QX_MAINFUN_PARAMS_STRUCT block;
  if (libres_load(qx_main_QXENV_codesio, &block) != 0) return 7;
  codesio_data *d = write_record();
  std::vector<uint32_t> first = sample_codes(1000), huge(20u << 20, 'q');
  size_t taken;
  if (write_codes(d, first, &taken) != 0 || taken != 4000) return 2;
  if (write_codes(d, huge, &taken) != QXIO_E_OUT_OF_MEMORY) return 3;
  if (taken != 0 || d->position != 1000 || d->count != 1024) return 4;
  if (std::memcmp(d->buffer, first.data(), 4000) != 0) return 5;
  if (write_codes(d, first, &taken) != 0 || d->position != 2000 || d->count != 2048) return 6;
  void *slot = d;
  codesio_user_close(&slot, QXIO_USER_CLOSE_WRITE);
  return 0;
}

TEST(CodesioMemory, GrowthPastTheCeilingKeepsTheCodesHeld)
{
  EXPECT_EQ(run_in_child(growth_past_the_ceiling), 0);
}

TEST_F(Codesio, ClosingTheReadSideOfAStreamOpenBothWaysKeepsTheBuffer)
{
  codesio_data *d = write_record();
  d->direction = CODESIO_READ | CODESIO_WRITE;
  QX_stream *s = nullptr;
  ASSERT_EQ(QX_create_stream(d, (const void *)codes_to_stream, codesio_user_read,
                             codesio_user_write, nullptr, nullptr, codesio_user_close, nullptr,
                             nullptr, nullptr, QX_CS_TEXT, &s),
            0);
  ASSERT_GE(qx_fclose_internal(s, QX_FC_INPUT), 0);
  ASSERT_NE(find_stream(s), nullptr);
  EXPECT_EQ(d->direction, CODESIO_WRITE);
  const uint32_t hi[] = {'h', 'i'};
  ASSERT_EQ(QX_put_codes(s, hi, 2, 0), 0);
  QX_term_ref codes = QX_new_term_ref(), tail = QX_new_term_ref();
  stream_to_codes(s, codes, tail);
  EXPECT_EQ(show(codes), "[104,105|_]");
  EXPECT_EQ(qx_fclose_internal(s, 0), 2);
  EXPECT_EQ(find_stream(s), nullptr);
}

TEST_F(Codesio, DeinitClosesEveryStreamOfTheClassAndNoOther)
{
  QX_stream *rs = nullptr, *ws = nullptr;
  ASSERT_EQ(qx_create_pipe(nullptr, &rs, nullptr, &ws, 0), 0);
  int before = stream_count();
  std::vector<QX_stream *> ours;
  for (const char *text : {"abc", "", (const char *)nullptr, (const char *)nullptr}) {
    QX_stream *s = nullptr;
    ASSERT_EQ(codesio_stream(text, &s), 0);
    ours.push_back(s);
  }
  const uint32_t z[] = {'z'};
  ASSERT_EQ(QX_put_codes(ours[2], z, 1, 0), 0);
  EXPECT_EQ(stream_count(), before + 4);
  libres_unload(block);
  block.deinit_fun = nullptr;
  for (QX_stream *s : ours) EXPECT_EQ(find_stream(s), nullptr);
  EXPECT_EQ(stream_count(), before);
  EXPECT_NE(find_stream(rs), nullptr);
  EXPECT_NE(find_stream(ws), nullptr);
  qx_fclose_internal(rs, 0);
  qx_fclose_internal(ws, 0);
}

}  // namespace
