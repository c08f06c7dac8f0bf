/* The stream core over stacks of scripted mock layers: the registry, option masking, how
   read, write, seek, close and ioctl travel down the stack, and the standard-stream table
   with its null streams. */
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "qxio_internal.h"
#include "qxio_simple_device.h"

namespace {

std::vector<std::string> calls; /* "name.operation", in call order */

/* A scripted layer; the record stays standard-layout so that the head is its first field. */
struct Mock {
  qxio_t_layer layer;
  const char *name;
  int empty_reads; /* successful reads that add nothing, before data */
  qxio_t_error_code read_rc;
  const char *data;   /* appended by a successful read */
  size_t write_chunk; /* bytes taken per write */
  std::string *written;
  qxio_t_error_code sync_rc, seek_rc, close_rc, ioctl_rc;
  uint32_t options;           /* the options of the last call */
  uint32_t sync_options;      /* the options of the last sync */
  QXIO *ioctl_slot;           /* the slot the last ioctl got */
  uint32_t flags_at_close[3]; /* every layer's flags (top first) when close was called */
  bool forward_close;
};

Mock *mock_of(QXIO *slot) { return reinterpret_cast<Mock *>(*slot); }

void note(Mock *mock, const char *operation, uint32_t options)
{
  calls.push_back(std::string(mock->name) + "." + operation);
  mock->options = options;
}

qxio_t_error_code mock_read(QXIO *slot, qxio_t_buf *buf, uint32_t options)
{
  Mock *mock = mock_of(slot);
  note(mock, "read", options);
  if (mock->empty_reads > 0) {
    mock->empty_reads--;
    return QXIO_S_NOERR;
  }
  if (mock->read_rc < 0) return mock->read_rc;
  qxio_buf_concat_string(buf, mock->data);
  return mock->read_rc;
}

qxio_t_error_code mock_write(QXIO *slot, qxio_t_buf *buf, size_t *pos, uint32_t options)
{
  Mock *mock = mock_of(slot);
  note(mock, "write", options);
  size_t n = std::min(mock->write_chunk, buf->extent - *pos);
  mock->written->append(reinterpret_cast<char *>(buf->buf) + *pos, n);
  *pos += n;
  return 1; /* positive: the public operation makes it 0 */
}

qxio_t_error_code mock_sync(QXIO *slot, uint32_t options)
{
  note(mock_of(slot), "sync", options);
  mock_of(slot)->sync_options = options;
  return mock_of(slot)->sync_rc;
}

qxio_t_error_code mock_seek(QXIO *slot, int64_t offset, int64_t *new_offset, qxio_t_buf *buf,
                            uint32_t options)
{
  note(mock_of(slot), "seek", options);
  *new_offset = offset;
  return mock_of(slot)->seek_rc;
}

qxio_t_error_code mock_close(QXIO *slot, uint32_t options)
{
  Mock *mock = mock_of(slot);
  note(mock, "close", options);
  int i = 0;
  for (qxio_t_layer *layer = *slot; layer != nullptr && i < 3; layer = layer->next)
    mock->flags_at_close[i++] = layer->flags;
  if (mock->close_rc < 0) return mock->close_rc;
  if (mock->forward_close && mock->layer.next != nullptr) {
    qxio_t_error_code rc = qxio_close(&mock->layer.next, options);
    if (rc < 0) return rc;
  }
  if (options & QXIO_CLOSE_READ) mock->layer.flags &= ~QXIO_LAYER_READ_OPEN;
  if (options & QXIO_CLOSE_WRITE) mock->layer.flags &= ~QXIO_LAYER_WRITE_OPEN;
  if (!(mock->layer.flags & (QXIO_LAYER_READ_OPEN | QXIO_LAYER_WRITE_OPEN))) {
    qxio_layer_pop(slot);
    qxio_layer_destroy(&mock->layer);
  }
  return QXIO_S_NOERR;
}

void mock_destroy(qxio_t_layer *layer)
{
  Mock *mock = reinterpret_cast<Mock *>(layer);
  calls.push_back(std::string(mock->name) + ".destroy");
  delete mock;
}

qxio_t_error_code mock_ioctl(QXIO *slot, qxio_t_ioctl_operation operation, void *arg,
                             uint32_t options)
{
  Mock *mock = mock_of(slot);
  note(mock, "ioctl", options);
  mock->ioctl_slot = slot;
  return mock->ioctl_rc;
}

Mock *new_mock(const char *name, uint32_t flags);

uint32_t last_class_options = 0;

qxio_t_error_code mock_open(const qxio_t_funcs *funcs, QXIO *slot, const qxio_t_arglist *args,
                            uint32_t options)
{
  last_class_options = options;
  const char *name = "opened";
  qxio_get_arg_string(args, "name", &name);
  return qxio_layer_push(slot, &new_mock(name, 0x3F)->layer) + 5; /* positive success */
}

qxio_t_error_code mock_pop(const qxio_t_funcs *funcs, QXIO *slot, uint32_t options)
{
  last_class_options = options;
  qxio_t_layer *top = *slot;
  qxio_layer_pop(slot);
  qxio_layer_destroy(top);
  return 2;
}

const qxio_t_funcs mock_funcs = {
    sizeof(qxio_t_funcs), "mock",    sizeof(Mock), 0,          0,         mock_read,
    mock_write,           mock_sync, mock_seek,    mock_close, mock_open, mock_pop,
    mock_destroy,         mock_open, mock_ioctl};

/* The same layer without close, push, pop and ioctl. */
const qxio_t_funcs bare_funcs = {
    sizeof(qxio_t_funcs), "bare",    sizeof(Mock), 0,       0,       mock_read,
    mock_write,           mock_sync, mock_seek,    nullptr, nullptr, nullptr,
    mock_destroy,         mock_open, nullptr};

std::string sink;

Mock *new_mock(const char *name, uint32_t flags)
{
  Mock *mock = new Mock();
  mock->layer.funcs = &mock_funcs;
  mock->layer.flags = flags;
  mock->name = name;
  mock->data = "abc";
  mock->write_chunk = SIZE_MAX;
  mock->written = &sink;
  mock->ioctl_rc = QXIO_E_NOT_SUPPORTED;
  mock->forward_close = true;
  return mock;
}

const uint32_t kReadWrite = QXIO_LAYER_HAS_INPUT | QXIO_LAYER_READABLE | QXIO_LAYER_READ_OPEN |
                            QXIO_LAYER_HAS_OUTPUT | QXIO_LAYER_WRITABLE | QXIO_LAYER_WRITE_OPEN;

class Streams : public ::testing::Test {
protected:
  void SetUp() override
  {
    calls.clear();
    sink.clear();
  }
  void TearDown() override
  {
    if (stream != nullptr) qxio_close(&stream, QXIO_CLOSE_ABORTIVE);
  }
  /* Builds a stack of the given names, the first one at the top. */
  void stack(std::initializer_list<const char *> names)
  {
    std::vector<const char *> order(names);
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
      Mock *mock = new_mock(*it, kReadWrite);
      qxio_layer_push(&stream, &mock->layer);
      mocks.insert(mocks.begin(), mock);
    }
  }
  QXIO stream = nullptr;
  std::vector<Mock *> mocks; /* top first */
};

qxio_t_buf *bytes(const char *text)
{
  return qxio_buf_alloc(text, strlen(text), QXIO_BUF_ALLOC_COPY);
}

}  // namespace

/* ---- registry ---- */

TEST(LayerRegistry, RegistrationChecksTheTable)
{
  EXPECT_EQ(qxio_register_layer(nullptr, 0), QXIO_E_PARAMETER_ERROR);
  qxio_t_funcs table = mock_funcs;
  table.sizeof_qxio_t_funcs = sizeof(qxio_t_funcs) - 1;
  EXPECT_EQ(qxio_register_layer(&table, 0), QXIO_E_VERSION_ERROR);
  table = mock_funcs;
  table.name = nullptr;
  EXPECT_EQ(qxio_register_layer(&table, 0), QXIO_E_PARAMETER_ERROR);
  table = mock_funcs;
  table.layer_size = sizeof(qxio_t_layer) - 1;
  EXPECT_EQ(qxio_register_layer(&table, 0), QXIO_E_PARAMETER_ERROR);
  table = mock_funcs;
  table.seek = nullptr;
  EXPECT_EQ(qxio_register_layer(&table, 0), QXIO_E_PARAMETER_ERROR);
  table = mock_funcs;
  table.open = nullptr;
  EXPECT_EQ(qxio_register_layer(&table, 0), QXIO_E_PARAMETER_ERROR);
  EXPECT_EQ(qxio_find_layer("mock", nullptr, 0), QXIO_E_NOT_FOUND);
}

TEST(LayerRegistry, FindRegisterAgainAndUnregister)
{
  qxio_t_allocator_counts before, after;
  qxio_allocator_default_counts(&before);
  ASSERT_EQ(qxio_register_layer(&mock_funcs, 0), 0);
  ASSERT_EQ(qxio_register_layer(&bare_funcs, 0), 0); /* close, push, pop, ioctl may be null */
  const qxio_t_funcs *found = nullptr;
  EXPECT_EQ(qxio_find_layer("mock", &found, 0), 0);
  EXPECT_EQ(found, &mock_funcs);
  EXPECT_EQ(qxio_find_layer("bare", &found, 0), 0);
  EXPECT_EQ(found, &bare_funcs);
  EXPECT_EQ(qxio_find_layer("nothing", &found, 0), QXIO_E_NOT_FOUND);
  EXPECT_EQ(qxio_register_layer(&mock_funcs, 0), QXIO_E_FOUND);
  qxio_t_funcs unknown = mock_funcs;
  unknown.name = "unknown";
  EXPECT_EQ(qxio_register_layer(&unknown, QXIO_REGISTER_REMOVE), 0);
  EXPECT_EQ(qxio_register_layer(&mock_funcs, QXIO_REGISTER_REMOVE), 0);
  EXPECT_EQ(qxio_find_layer("mock", &found, 0), QXIO_E_NOT_FOUND);
  EXPECT_EQ(qxio_register_layer(&bare_funcs, QXIO_REGISTER_REMOVE), 0);
  /* the last class gone, the registry is freed: every allocation was given back */
  qxio_allocator_default_counts(&after);
  EXPECT_EQ(after.allocations - before.allocations, after.frees - before.frees);
  ASSERT_EQ(qxio_register_layer(&mock_funcs, 0), 0);
  EXPECT_EQ(qxio_find_layer("mock", &found, 0), 0);
  EXPECT_EQ(qxio_register_layer(&mock_funcs, QXIO_REGISTER_REMOVE), 0);
}

TEST_F(Streams, OpenAndPushByNameMaskOptionsAndMakePositiveResultsZero)
{
  ASSERT_EQ(qxio_register_layer(&mock_funcs, 0), 0);
  qxio_t_property args[] = {qxio_arg_string("name", "device"), qxio_arg_end()};
  EXPECT_EQ(qxio_open_by_name("mock", &stream, args, 0xFFFFFFFFu & ~QXIO_OPTION_PASS_ALL), 0);
  EXPECT_EQ(last_class_options, 0xFFFFFu);
  args[0] = qxio_arg_string("name", "filter");
  EXPECT_EQ(qxio_push_by_name("mock", &stream, args, 0xFFFFFFFFu), 0);
  EXPECT_EQ(last_class_options, 0xFFFFFFFFu & ~QXIO_OPTION_PASS_ALL);
  EXPECT_STREQ(mock_of(&stream)->name, "filter");
  EXPECT_STREQ(mock_of(&stream->next)->name, "device");
  EXPECT_EQ(qxio_push_by_name("missing", &stream, args, 0), QXIO_E_NOT_FOUND);
  /* pop without a class uses the top layer's */
  EXPECT_EQ(qxio_pop(nullptr, &stream, 7), 0);
  EXPECT_EQ(last_class_options, 7u);
  EXPECT_STREQ(mock_of(&stream)->name, "device");
  EXPECT_EQ(qxio_register_layer(&mock_funcs, QXIO_REGISTER_REMOVE), 0);
}

TEST_F(Streams, ClassesWithoutPushOrPopAnswerNotImplemented)
{
  stack({"bottom"});
  EXPECT_EQ(qxio_push(&bare_funcs, &stream, nullptr, 0), QXIO_E_NOT_IMPLEMENTED);
  EXPECT_EQ(qxio_pop(&bare_funcs, &stream, 0), QXIO_E_NOT_IMPLEMENTED);
  QXIO empty = nullptr;
  EXPECT_EQ(qxio_pop(nullptr, &empty, 0), QXIO_E_PARAMETER_ERROR);
}

/* ---- options ---- */

TEST_F(Streams, LayersSeeOptionBitsZeroToNineteenUnlessBitTwentyIsSet)
{
  stack({"top", "bottom"});
  const uint32_t low = 0xFFFFFu, all_but_20 = 0xFFFFFFFFu & ~QXIO_OPTION_PASS_ALL;
  EXPECT_EQ(qxio_sync(&stream, all_but_20), 0);
  EXPECT_EQ(mocks[0]->options, low);
  EXPECT_EQ(qxio_sync(&stream, 0xFFFFFFFFu), 0);
  EXPECT_EQ(mocks[0]->options, all_but_20);
  qxio_t_buf *buf = nullptr;
  EXPECT_EQ(qxio_read(&stream, &buf, 0x00E00001u), 0);
  EXPECT_EQ(mocks[0]->options, 0x1u);
  qxio_buf_free(buf);
  qxio_t_buf *out = bytes("xy");
  size_t pos = 0;
  EXPECT_EQ(qxio_write(&stream, out, &pos, 0x80100000u), 0);
  EXPECT_EQ(mocks[0]->options, 0x80000000u);
  EXPECT_EQ(pos, 2u);
  qxio_buf_free(out);
  calls.clear();
  /* bit 0 (walk) reaches the layers only within the low bits */
  EXPECT_EQ(qxio_ioctl(&stream, QXIO_IOCTL_SIZE_, nullptr, 0x40000000u), QXIO_E_NOT_SUPPORTED);
  EXPECT_EQ(mocks[0]->options, 0u);
  EXPECT_EQ(calls, std::vector<std::string>{"top.ioctl"});
  EXPECT_EQ(qxio_ioctl(&stream, QXIO_IOCTL_SIZE_, nullptr, 0x40100001u), QXIO_E_NOT_SUPPORTED);
  EXPECT_EQ(mocks[1]->options, 0x40000001u);
}

/* ---- read ---- */

TEST_F(Streams, ReadCallsAgainWhileTheLayerAddsNothing)
{
  stack({"top"});
  mocks[0]->empty_reads = 3;
  qxio_t_buf *buf = nullptr;
  ASSERT_EQ(qxio_read(&stream, &buf, QXIO_READ_BYTES), 0);
  ASSERT_NE(buf, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buf->buf), buf->extent), "abc");
  EXPECT_EQ(calls.size(), 4u);
  qxio_buf_free(buf);
}

TEST_F(Streams, ReadGivesUpOnALayerThatNeverAddsAByte)
{
  stack({"top"});
  mocks[0]->empty_reads = INT_MAX;
  qxio_t_buf *buf = nullptr;
  EXPECT_EQ(qxio_read(&stream, &buf, QXIO_READ_BYTES), QXIO_E_READ_ERROR);
  EXPECT_EQ(buf, nullptr);
  EXPECT_GT(calls.size(), 1u);
}

TEST_F(Streams, ReadAtEndWithoutBufferLeavesTheSlotEmpty)
{
  stack({"top"});
  mocks[0]->read_rc = QXIO_E_END_OF_FILE;
  qxio_t_buf *buf = nullptr;
  EXPECT_EQ(qxio_read(&stream, &buf, 0), QXIO_E_END_OF_FILE);
  EXPECT_EQ(buf, nullptr);
  mocks[0]->read_rc = QXIO_E_WOULD_BLOCK;
  EXPECT_EQ(qxio_read(&stream, &buf, QXIO_READ_NONBLOCKING), QXIO_E_WOULD_BLOCK);
  EXPECT_EQ(buf, nullptr);
}

TEST_F(Streams, ReadAppendsToTheCallersBuffer)
{
  stack({"top"});
  qxio_t_buf *buf = bytes("12");
  qxio_t_buf *given = buf;
  ASSERT_EQ(qxio_read(&stream, &buf, 0), 0);
  EXPECT_EQ(buf, given);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buf->buf), buf->extent), "12abc");
  qxio_buf_free(buf);
}

TEST_F(Streams, ReadAndWriteNeedTheirSideOpen)
{
  stack({"top"});
  mocks[0]->layer.flags &= ~(QXIO_LAYER_READABLE | QXIO_LAYER_WRITABLE);
  qxio_t_buf *buf = bytes("x");
  size_t pos = 0;
  EXPECT_EQ(qxio_read(&stream, &buf, 0), QXIO_E_NOT_OPEN_READ);
  EXPECT_EQ(qxio_write(&stream, buf, &pos, 0), QXIO_E_NOT_OPEN_WRITE);
  EXPECT_TRUE(calls.empty());
  qxio_buf_free(buf);
  QXIO empty = nullptr;
  qxio_t_buf *none = nullptr;
  EXPECT_EQ(qxio_read(&empty, &none, 0), QXIO_E_NOT_OPEN_READ);
}

/* ---- write ---- */

TEST_F(Streams, WriteWithoutAllMayTakePartAndWithAllTakesEverything)
{
  stack({"top"});
  mocks[0]->write_chunk = 3;
  qxio_t_buf *buf = bytes("abcdefgh");
  size_t pos = 0;
  EXPECT_EQ(qxio_write(&stream, buf, &pos, 0), 0);
  EXPECT_EQ(pos, 3u);
  EXPECT_EQ(qxio_write(&stream, buf, &pos, QXIO_WRITE_ALL), 0);
  EXPECT_EQ(pos, 8u);
  EXPECT_EQ(sink, "abcdefgh");
  EXPECT_EQ(calls.size(), 3u);
  qxio_buf_free(buf);
}

TEST_F(Streams, WriteAllGivesUpOnALayerThatTakesNothing)
{
  stack({"top"});
  mocks[0]->write_chunk = 0;
  qxio_t_buf *buf = bytes("abc");
  size_t pos = 0;
  EXPECT_EQ(qxio_write(&stream, buf, &pos, QXIO_WRITE_ALL), QXIO_E_WRITE_ERROR);
  EXPECT_EQ(pos, 0u);
  qxio_buf_free(buf);
}

TEST_F(Streams, WriteDbgWritesTheWholeTextAndSyncsTheWriteSide)
{
  stack({"top"});
  mocks[0]->write_chunk = 2;
  EXPECT_EQ(qxio_write_dbg(&stream, "hello"), 0);
  EXPECT_EQ(sink, "hello");
  EXPECT_EQ(calls.back(), "top.sync");
  EXPECT_EQ(mocks[0]->options, QXIO_SYNC_WRITE);
  mocks[0]->sync_rc = QXIO_E_SYNC_ERROR;
  EXPECT_EQ(qxio_write_dbg(&stream, "!"), QXIO_E_SYNC_ERROR);
}

/* ---- seek ---- */

TEST_F(Streams, SeekDropsPositionKindsTheTopLayerLacks)
{
  stack({"top"});
  mocks[0]->layer.flags &= ~QXIO_LAYER_WRITE_OPEN;
  int64_t where = 0;
  EXPECT_EQ(qxio_seek(&stream, 5, &where, nullptr, QXIO_SEEK_SET), 0);
  EXPECT_EQ(mocks[0]->options, QXIO_SEEK_SET | QXIO_SEEK_READ);
  EXPECT_EQ(where, 5);
  EXPECT_EQ(qxio_seek(&stream, 5, nullptr, nullptr, QXIO_SEEK_SET | QXIO_SEEK_WRITE),
            QXIO_E_SEEK_ERROR);
  EXPECT_EQ(calls.size(), 1u);
  mocks[0]->seek_rc = 9;
  EXPECT_EQ(qxio_seek(&stream, 1, nullptr, nullptr, QXIO_SEEK_CUR | QXIO_SEEK_READ), 0);
}

/* ---- close ---- */

TEST_F(Streams, CloseSyncsThenMarksEveryLayerThenClosesTopDown)
{
  stack({"top", "bottom"});
  EXPECT_EQ(qxio_close(&stream, 0), 0);
  EXPECT_EQ(stream, nullptr);
  std::vector<std::string> expected = {"top.sync", "top.close", "bottom.close", "bottom.destroy",
                                       "top.destroy"};
  EXPECT_EQ(calls, expected);
}

TEST_F(Streams, CloseMarksTheSidesOnEveryLayerBeforeTheTopCloseRuns)
{
  stack({"top", "middle", "bottom"});
  mocks[0]->close_rc = QXIO_E_CLOSE_ERROR; /* keep the stack to look at it */
  EXPECT_EQ(qxio_close(&stream, QXIO_CLOSE_READ), QXIO_E_CLOSE_ERROR);
  EXPECT_EQ(mocks[0]->options, QXIO_CLOSE_READ);
  for (int i = 0; i < 3; i++) {
    uint32_t flags = mocks[0]->flags_at_close[i];
    EXPECT_TRUE(flags & QXIO_LAYER_READ_CLOSING) << i;
    EXPECT_FALSE(flags & QXIO_LAYER_READABLE) << i;
    EXPECT_FALSE(flags & QXIO_LAYER_WRITE_CLOSING) << i;
    EXPECT_TRUE(flags & QXIO_LAYER_WRITABLE) << i;
  }
  std::vector<std::string> expected = {"top.sync", "top.close"};
  EXPECT_EQ(calls, expected);
  mocks[0]->close_rc = 0;
  EXPECT_EQ(qxio_close(&stream, QXIO_CLOSE_READ), 0);
  EXPECT_NE(stream, nullptr); /* the write sides remain */
  EXPECT_EQ(qxio_close(&stream, QXIO_CLOSE_WRITE), 0);
  EXPECT_EQ(stream, nullptr);
}

TEST_F(Streams, SyncBeforeCloseAsksForTheSidesDownTheStackKeepingReadAhead)
{
  stack({"top"});
  EXPECT_EQ(qxio_close(&stream, QXIO_CLOSE_WRITE), 0);
  EXPECT_EQ(mocks[0]->sync_options, QXIO_SYNC_WRITE | QXIO_SYNC_DOWN | QXIO_SYNC_KEEP_READAHEAD);
  EXPECT_EQ(mocks[0]->options, QXIO_CLOSE_WRITE);
  mocks[0]->close_rc = QXIO_E_CLOSE_ERROR;
  EXPECT_EQ(qxio_close(&stream, 0), QXIO_E_CLOSE_ERROR);
  EXPECT_EQ(mocks[0]->sync_options,
            QXIO_SYNC_READ | QXIO_SYNC_WRITE | QXIO_SYNC_DOWN | QXIO_SYNC_KEEP_READAHEAD);
  EXPECT_EQ(mocks[0]->options, QXIO_CLOSE_READ | QXIO_CLOSE_WRITE);
  mocks[0]->close_rc = 0;
}

TEST_F(Streams, FailingSyncStopsANormalCloseBeforeAnythingIsMarked)
{
  stack({"top", "bottom"});
  mocks[0]->sync_rc = QXIO_E_SYNC_ERROR;
  EXPECT_EQ(qxio_close(&stream, 0), QXIO_E_SYNC_ERROR);
  EXPECT_EQ(mocks[0]->layer.flags, kReadWrite);
  EXPECT_EQ(mocks[1]->layer.flags, kReadWrite);
  EXPECT_EQ(calls, std::vector<std::string>{"top.sync"});
  mocks[0]->sync_rc = 0;
}

TEST_F(Streams, AbortiveCloseSkipsTheSyncByDefault)
{
  stack({"top", "bottom"});
  mocks[0]->sync_rc = QXIO_E_SYNC_ERROR;
  EXPECT_EQ(qxio_close(&stream, QXIO_CLOSE_ABORTIVE), 0);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(calls[0], "top.close");
}

TEST_F(Streams, AbortiveCloseIgnoresAFailingSyncWhenItSyncs)
{
  qxio_set_system_property("QXIO_SKIP_ABORTIVE_SYNC", "false", 0);
  ASSERT_EQ(qxio_init(nullptr, nullptr, 0), 0);
  stack({"top", "bottom"});
  mocks[0]->sync_rc = QXIO_E_SYNC_ERROR;
  EXPECT_EQ(qxio_close(&stream, QXIO_CLOSE_ABORTIVE), 0);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(calls[0], "top.sync");
  ASSERT_EQ(qxio_init(nullptr, nullptr, QXIO_INIT_SHUTDOWN), 0);
  ASSERT_EQ(qxio_init(nullptr, nullptr, 0), 0); /* back to the default */
  ASSERT_EQ(qxio_init(nullptr, nullptr, QXIO_INIT_SHUTDOWN), 0);
}

TEST_F(Streams, ClassWithoutCloseIsClosedBelowAndPopped)
{
  stack({"top", "bottom"});
  mocks[0]->layer.funcs = &bare_funcs;
  EXPECT_EQ(qxio_close(&stream, 0), 0);
  EXPECT_EQ(stream, nullptr);
  std::vector<std::string> expected = {"top.sync", "bottom.close", "bottom.destroy", "top.destroy"};
  EXPECT_EQ(calls, expected);
}

TEST_F(Streams, SyncAndCloseOfAnEmptyStreamSucceed)
{
  EXPECT_EQ(qxio_sync(&stream, QXIO_SYNC_WRITE), 0);
  EXPECT_EQ(qxio_close(&stream, 0), 0);
}

/* ---- ioctl ---- */

TEST_F(Streams, IoctlWalkReachesTheFirstLayerThatAnswers)
{
  stack({"top", "middle", "bottom"});
  mocks[0]->layer.funcs = &bare_funcs; /* no ioctl at all: counts as not supported */
  mocks[2]->ioctl_rc = 7;
  EXPECT_EQ(qxio_ioctl(&stream, QXIO_IOCTL_SIZE_, nullptr, QXIO_IOCTL_WALK), 7);
  EXPECT_EQ(mocks[1]->ioctl_slot, &mocks[0]->layer.next);
  EXPECT_EQ(mocks[2]->ioctl_slot, &mocks[1]->layer.next);
  calls.clear();
  EXPECT_EQ(qxio_ioctl(&stream, QXIO_IOCTL_SIZE_, nullptr, 0), QXIO_E_NOT_SUPPORTED);
  EXPECT_TRUE(calls.empty());
  mocks[2]->ioctl_rc = QXIO_E_NOT_SUPPORTED;
  EXPECT_EQ(qxio_ioctl(&stream, QXIO_IOCTL_SIZE_, nullptr, QXIO_IOCTL_WALK), QXIO_E_NOT_SUPPORTED);
  mocks[0]->layer.funcs = &mock_funcs;
}

TEST_F(Streams, IoctlWrappers)
{
  stack({"top", "bottom"});
  qxio_t_device_type type = QXIO_DEVICE_TYPE_ILLEGAL;
  EXPECT_EQ(qxio_ioctl_device_type(&stream, &type, 0), 0);
  EXPECT_EQ(type, QXIO_DEVICE_TYPE_UNKNOWN);
  EXPECT_EQ(calls.size(), 2u); /* it walked */
  const char *name = nullptr;
  EXPECT_EQ(qxio_ioctl_get_encoding_name(&stream, &name, 0), QXIO_E_PARAMETER_ERROR);
  EXPECT_EQ(
      qxio_ioctl_get_encoding_name(&stream, &name, QXIO_IOCTL_READ_SIDE | QXIO_IOCTL_WRITE_SIDE),
      QXIO_E_PARAMETER_ERROR);
  EXPECT_EQ(qxio_ioctl_get_encoding_name(&stream, &name, QXIO_IOCTL_WRITE_SIDE),
            QXIO_E_NOT_SUPPORTED);
  calls.clear();
  EXPECT_EQ(qxio_ioctl_encoding_fallback(&stream, 0), QXIO_S_NOT_SUPPORTED);
  EXPECT_EQ(calls.size(), 1u); /* the top layer only */
  int64_t size = 0;
  EXPECT_EQ(qxio_ioctl_size(&stream, &size, 0), QXIO_E_NOT_SUPPORTED);
  EXPECT_EQ(size, -42);
  EXPECT_EQ(mocks[1]->options & (QXIO_IOCTL_READ_SIDE | QXIO_IOCTL_WRITE_SIDE),
            QXIO_IOCTL_READ_SIDE | QXIO_IOCTL_WRITE_SIDE);
  EXPECT_EQ(qxio_ioctl_size(&stream, &size, QXIO_IOCTL_READ_SIDE), QXIO_E_NOT_SUPPORTED);
  EXPECT_EQ(mocks[1]->options & (QXIO_IOCTL_READ_SIDE | QXIO_IOCTL_WRITE_SIDE),
            QXIO_IOCTL_READ_SIDE);
}

/* ---- finding layers ---- */

TEST_F(Streams, GetLayerFindsTheTopmostOrTheSecondOfAClass)
{
  stack({"top", "middle", "bottom"});
  mocks[0]->layer.funcs = &bare_funcs;
  qxio_t_layer *layer = nullptr;
  EXPECT_EQ(qxio_get_qxio_layer(&stream, &mock_funcs, &layer, 0), 0);
  EXPECT_EQ(layer, &mocks[1]->layer);
  EXPECT_EQ(qxio_get_qxio_layer(&stream, &mock_funcs, &layer, QXIO_GET_LAYER_SECOND), 0);
  EXPECT_EQ(layer, &mocks[2]->layer);
  EXPECT_EQ(qxio_get_qxio_layer(&stream, &bare_funcs, &layer, QXIO_GET_LAYER_SECOND),
            QXIO_E_NOT_FOUND);
  EXPECT_EQ(qxio_get_qxio_layer(&stream, &bare_funcs, nullptr, 0), 0);
  mocks[0]->layer.funcs = &mock_funcs;
}

/* ---- standard streams ---- */

namespace {

/* A byte device that records its closes. */
struct Recorded {
  uint32_t closes = 0;
  int ncloses = 0;
};

qxio_t_error_code record_close(void **user_data, uint32_t options)
{
  Recorded *recorded = static_cast<Recorded *>(*user_data);
  recorded->closes |= options;
  recorded->ncloses++;
  return QXIO_S_NOERR;
}

qxio_t_error_code take_all(void *user_data, const void *data, size_t *size, uint32_t options)
{
  return QXIO_S_NOERR;
}

qxio_t_error_code give_nothing(void *user_data, void *room, size_t *size, uint32_t options)
{
  *size = 0;
  return QXIO_E_END_OF_FILE;
}

QXIO device_stream(Recorded *recorded)
{
  QXIO stream = nullptr;
  EXPECT_EQ(qxio_create_device(&stream, recorded, nullptr, give_nothing, take_all, nullptr, nullptr,
                               record_close, nullptr, nullptr, QXIO_DEVICE_BYTES),
            0);
  return stream;
}

}  // namespace

TEST(StandardStreams, GetHandsTheStreamOverOnce)
{
  Recorded recorded;
  QXIO stream = device_stream(&recorded);
  ASSERT_EQ(qxio_set_standard_stream(&stream, QXIO_STD_OUTPUT), 0);
  QXIO got = nullptr;
  EXPECT_EQ(qxio_get_standard_stream(&got, QXIO_STD_OUTPUT), 0);
  EXPECT_EQ(got, stream);
  EXPECT_EQ(qxio_get_standard_stream(&got, QXIO_STD_OUTPUT), QXIO_E_NOT_FOUND);
  EXPECT_EQ(qxio_get_standard_stream(&got, QXIO_STD_INPUT), QXIO_E_NOT_FOUND);
  EXPECT_EQ(recorded.ncloses, 0);
  qxio_close(&stream, 0);
}

TEST(StandardStreams, ReplacingClosesTheSidesTheRegistrationAskedFor)
{
  Recorded first, second;
  QXIO one = device_stream(&first), two = device_stream(&second);
  ASSERT_EQ(qxio_set_standard_stream(&one, QXIO_STD_ERROR | QXIO_STD_CLOSE_WRITE), 0);
  ASSERT_EQ(qxio_set_standard_stream(&two, QXIO_STD_ERROR), 0);
  EXPECT_EQ(first.ncloses, 1);
  EXPECT_EQ(first.closes, QXIO_USER_CLOSE_WRITE);
  /* emptying the entry closes nothing: the second was registered without close bits */
  ASSERT_EQ(qxio_set_standard_stream(nullptr, QXIO_STD_ERROR), 0);
  EXPECT_EQ(second.ncloses, 0);
  QXIO got;
  EXPECT_EQ(qxio_get_standard_stream(&got, QXIO_STD_ERROR), QXIO_E_NOT_FOUND);
  qxio_close(&one, 0);
  qxio_close(&two, 0);
}

TEST(StandardStreams, RegisteringTheSameStreamAgainKeepsItOpen)
{
  Recorded recorded;
  QXIO stream = device_stream(&recorded);
  const uint32_t which = QXIO_STD_INPUT | QXIO_STD_CLOSE_READ | QXIO_STD_CLOSE_WRITE;
  ASSERT_EQ(qxio_set_standard_stream(&stream, which), 0);
  ASSERT_EQ(qxio_set_standard_stream(&stream, which), 0);
  EXPECT_EQ(recorded.ncloses, 0);
  QXIO got = nullptr;
  ASSERT_EQ(qxio_get_standard_stream(&got, QXIO_STD_INPUT), 0);
  EXPECT_EQ(got, stream);
  EXPECT_NE(stream->flags & QXIO_LAYER_READABLE, 0u);
  qxio_close(&stream, 0);
  EXPECT_EQ(recorded.ncloses, 1);
}

TEST(StandardStreams, BadArgumentsAreRefused)
{
  QXIO empty = nullptr;
  EXPECT_EQ(qxio_set_standard_stream(&empty, QXIO_STD_INPUT), QXIO_E_PARAMETER_ERROR);
  EXPECT_EQ(qxio_set_standard_stream(nullptr, 7), QXIO_E_PARAMETER_ERROR);
  EXPECT_EQ(qxio_set_standard_stream(nullptr, 2), QXIO_E_PARAMETER_ERROR);
  EXPECT_EQ(qxio_get_standard_stream(&empty, 0), QXIO_E_PARAMETER_ERROR);
}

TEST(StandardStreams, NullInputStreamIsAtItsEnd)
{
  qxio_t_allocator_counts before, after;
  qxio_allocator_default_counts(&before);
  QXIO input = nullptr;
  ASSERT_EQ(qxio_get_standard_stream(&input, QXIO_STD_INPUT | QXIO_STD_NULL_IF_NONE), 0);
  ASSERT_NE(input, nullptr);
  void *state = nullptr;
  EXPECT_EQ(qxio_get_device_user_data(&input, QXIO_NULL_STREAM_CLASS, &state, 0), 0);
  qxio_t_buf *buf = nullptr;
  EXPECT_EQ(qxio_read(&input, &buf, QXIO_READ_BYTES), QXIO_E_END_OF_FILE);
  EXPECT_EQ(buf, nullptr);
  qxio_t_buf *out = qxio_buf_alloc("x", 1, QXIO_BUF_ALLOC_COPY);
  size_t pos = 0;
  EXPECT_EQ(qxio_write(&input, out, &pos, 0), QXIO_E_NOT_OPEN_WRITE);
  qxio_buf_free(out);
  EXPECT_EQ(qxio_close(&input, 0), 0);
  EXPECT_EQ(input, nullptr);
  qxio_allocator_default_counts(&after);
  EXPECT_EQ(after.allocations - before.allocations, after.frees - before.frees);
}

TEST(StandardStreams, NullOutputStreamDiscardsEverything)
{
  qxio_t_allocator_counts before, after;
  qxio_allocator_default_counts(&before);
  QXIO output = nullptr;
  ASSERT_EQ(qxio_get_standard_stream(&output, QXIO_STD_ERROR | QXIO_STD_NULL_IF_NONE), 0);
  qxio_t_buf *out = qxio_buf_alloc("discard me", 10, QXIO_BUF_ALLOC_COPY);
  size_t pos = 0;
  EXPECT_EQ(qxio_write(&output, out, &pos, QXIO_WRITE_ALL), 0);
  EXPECT_EQ(pos, 10u);
  qxio_buf_free(out);
  qxio_t_buf *buf = nullptr;
  EXPECT_EQ(qxio_read(&output, &buf, 0), QXIO_E_NOT_OPEN_READ);
  EXPECT_EQ(qxio_close(&output, QXIO_CLOSE_WRITE), 0);
  EXPECT_EQ(output, nullptr);
  qxio_allocator_default_counts(&after);
  EXPECT_EQ(after.allocations - before.allocations, after.frees - before.frees);
}
