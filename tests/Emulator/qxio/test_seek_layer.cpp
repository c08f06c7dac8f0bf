// The seek layer: replaying what it read from the stream below, the bounds of its seeks, and
// the memory streams it makes when opened.
#include <gtest/gtest.h>

#include <string>

#include "coder_test_util.h"
#include "layer_test_util.h"

using qxio_test::script;

namespace {

const uint32_t BYTES = QXIO_READ_BYTES;

class SeekLayer : public ::testing::Test {
protected:
  void TearDown() override
  {
    if (stream != nullptr) {
      EXPECT_EQ(0, qxio_close(&stream, QXIO_CLOSE_ABORTIVE));
    }
  }
  // A seek layer over a byte device that serves `input` `chunk` bytes at a time.
  void push_over_script(const std::string &input, size_t chunk)
  {
    s.input = input;
    s.chunk = chunk;
    ASSERT_EQ(0, qxio_test::open_script(&stream, &s, true, false));
    ASSERT_EQ(0, qxio_push(&qxio_layer_seek_funcs, &stream, nullptr, 0));
  }
  std::string read_bytes(size_t n)
  {
    std::string all, out;
    while (all.size() < n && qxio_test::read_once(&stream, &out, BYTES) == 0) all += out;
    return all;
  }
  int64_t seek(int64_t offset, uint32_t options, qxio_t_error_code expected = 0)
  {
    int64_t position = -1;
    EXPECT_EQ(expected, qxio_seek(&stream, offset, &position, nullptr, options | QXIO_SEEK_READ));
    return position;
  }
  script s;
  QXIO stream = nullptr;
};

class MemoryStream : public SeekLayer {
protected:
  // Writes through the layer with bit 21, which reaches it only together with bit 20.
  qxio_t_error_code write(const std::string &bytes, uint32_t options)
  {
    qxio_t_buf buf = qxio_test::wrap(bytes);
    size_t pos = 0;
    return qxio_write(&stream, &buf, &pos, options);
  }
};

const uint32_t MEMORY_WRITE = QXIO_OPTION_PASS_ALL | QXIO_SEEK_LAYER_MEMORY;

TEST_F(SeekLayer, SeekingBackReplaysWithoutReadingBelow)
{
  push_over_script("0123456789abcdef", 1);
  EXPECT_EQ("0123456789", read_bytes(10));
  EXPECT_EQ(10, s.reads);
  EXPECT_EQ(0, seek(0, QXIO_SEEK_SET));
  EXPECT_EQ("0123456789", read_bytes(10));
  EXPECT_EQ(10, s.reads);
  EXPECT_EQ("ab", read_bytes(2));
  EXPECT_EQ(12, s.reads);
}

TEST_F(SeekLayer, SeeksStayWithinWhatWasRead)
{
  push_over_script("0123456789abcdef", 1);
  EXPECT_EQ("0123456789", read_bytes(10));
  seek(11, QXIO_SEEK_SET, QXIO_E_PARAMETER_ERROR);
  seek(-1, QXIO_SEEK_SET, QXIO_E_PARAMETER_ERROR);
  seek(-11, QXIO_SEEK_CUR, QXIO_E_PARAMETER_ERROR);
  seek(0, QXIO_SEEK_END, QXIO_E_PARAMETER_ERROR);
  seek(0, 0, QXIO_E_PARAMETER_ERROR);
  EXPECT_EQ(10, seek(10, QXIO_SEEK_SET));
  EXPECT_EQ(7, seek(-3, QXIO_SEEK_CUR));
  EXPECT_EQ(9, seek(2, QXIO_SEEK_CUR_ALT));
  EXPECT_EQ("9a", read_bytes(2));
}

TEST_F(SeekLayer, DeliversNoMoreThanTheCallerHasRoomForAndKeepsTheRest)
{
  push_over_script("abcdefgh", 8);
  qxio_t_buf *buf = qxio_buf_alloc(nullptr, 4, 0);
  ASSERT_EQ(0, qxio_read(&stream, &buf, BYTES));
  EXPECT_EQ("abcd", std::string(reinterpret_cast<char *>(buf->buf), buf->extent));
  qxio_buf_free(buf);
  EXPECT_EQ("efgh", read_bytes(4));
  EXPECT_EQ(1, s.reads);
}

TEST_F(SeekLayer, EndOfTheStreamBelowPassesThrough)
{
  push_over_script("xy", 4);
  EXPECT_EQ("xy", read_bytes(2));
  std::string out;
  EXPECT_EQ(QXIO_E_END_OF_FILE, qxio_test::read_once(&stream, &out, BYTES));
  EXPECT_EQ(0, seek(0, QXIO_SEEK_SET));
  EXPECT_EQ("xy", read_bytes(2));
}

TEST_F(SeekLayer, FlagsFollowTheReadSideBelow)
{
  push_over_script("", 1);
  EXPECT_EQ(QXIO_LAYER_HAS_INPUT | QXIO_LAYER_READABLE | QXIO_LAYER_READ_OPEN |
                QXIO_LAYER_READ_ITEM_1,
            stream->flags);
  QXIO writer = nullptr;
  script w;
  ASSERT_EQ(0, qxio_test::open_script(&writer, &w, false, true));
  EXPECT_EQ(QXIO_E_NOT_OPEN_READ, qxio_push(&qxio_layer_seek_funcs, &writer, nullptr, 0));
  EXPECT_EQ(0, qxio_close(&writer, 0));
  QXIO empty = nullptr;
  EXPECT_EQ(QXIO_E_NOT_OPEN_READ, qxio_push(&qxio_layer_seek_funcs, &empty, nullptr, 0));
}

TEST_F(SeekLayer, WritingAndWritePositionsAreRefusedOverAStream)
{
  push_over_script("abc", 1);
  const std::string z = "z";
  qxio_t_buf buf = qxio_test::wrap(z);
  size_t pos = 0;
  EXPECT_EQ(QXIO_E_NOT_OPEN_WRITE, qxio_write(&stream, &buf, &pos, 0));
  // Even asked directly with the memory bit, a pushed layer takes no bytes.
  EXPECT_EQ(QXIO_E_WRITE_ERROR,
            qxio_layer_seek_funcs.write(&stream, &buf, &pos, QXIO_SEEK_LAYER_MEMORY));
  int64_t position;
  EXPECT_EQ(QXIO_E_SEEK_ERROR,
            qxio_seek(&stream, 0, &position, nullptr, QXIO_SEEK_SET | QXIO_SEEK_WRITE));
}

TEST_F(SeekLayer, ClosingAPushedLayerClosesTheDevice)
{
  push_over_script("abc", 1);
  EXPECT_EQ("a", read_bytes(1));
  EXPECT_EQ(0, qxio_close(&stream, 0));
  EXPECT_EQ(nullptr, stream);
  EXPECT_EQ(1, s.closes);
}

TEST_F(SeekLayer, PopLeavesTheDevice)
{
  push_over_script("abc", 1);
  EXPECT_EQ("a", read_bytes(1));
  EXPECT_EQ(0, qxio_pop(nullptr, &stream, 0));
  ASSERT_NE(nullptr, stream);
  EXPECT_EQ(&qxio_simple_device_funcs, stream->funcs);
  EXPECT_EQ("b", read_bytes(1));
  EXPECT_EQ(0, s.closes);
}

TEST_F(SeekLayer, CodeStreamsSeekInWholeCodes)
{
  s.input = std::string("A\0\0\0B\0\0\0", 8);
  s.chunk = 4;
  ASSERT_EQ(0, qxio_create_device(&stream, &s, "test-script", qxio_test::script_read, nullptr,
                                  nullptr, nullptr, qxio_test::script_close, nullptr, nullptr,
                                  QXIO_DEVICE_CHARS));
  ASSERT_EQ(0, qxio_push(&qxio_layer_seek_funcs, &stream, nullptr, 0));
  EXPECT_TRUE(stream->flags & QXIO_LAYER_READ_ITEM_4);
  std::string out;
  ASSERT_EQ(0, qxio_test::read_once(&stream, &out, QXIO_READ_CODES));
  EXPECT_EQ(std::string("A\0\0\0", 4), out);
  seek(2, QXIO_SEEK_SET, QXIO_E_PARAMETER_ERROR);
  EXPECT_EQ(0, seek(0, QXIO_SEEK_SET));
  EXPECT_EQ(4, seek(4, QXIO_SEEK_SET));
}

TEST(SeekLayerRegistry, ModuleStartRegistersTheClass)
{
  ASSERT_EQ(0, qxio_init_layer_seek(0));
  const qxio_t_funcs *funcs = nullptr;
  EXPECT_EQ(0, qxio_find_layer("seek", &funcs, 0));
  EXPECT_EQ(&qxio_layer_seek_funcs, funcs);
  QXIO memory = nullptr;
  ASSERT_EQ(0, qxio_open_by_name("seek", &memory, nullptr, QXIO_SEEK_OPEN_READ));
  EXPECT_EQ(0, qxio_close(&memory, 0));
  ASSERT_EQ(0, qxio_init_layer_seek(1));
  EXPECT_EQ(QXIO_E_NOT_FOUND, qxio_find_layer("seek", &funcs, 0));
}

// ---- memory streams ----

TEST_F(MemoryStream, WrittenBytesAreReadBackThenEndOfFile)
{
  ASSERT_EQ(0, qxio_open(&qxio_layer_seek_funcs, &stream, nullptr,
                         QXIO_SEEK_OPEN_READ | QXIO_SEEK_OPEN_WRITE));
  ASSERT_EQ(0, write("abc", MEMORY_WRITE));
  std::string out;
  ASSERT_EQ(0, qxio_test::read_once(&stream, &out, BYTES));
  EXPECT_EQ("abc", out);
  EXPECT_EQ(QXIO_E_END_OF_FILE, qxio_test::read_once(&stream, &out, BYTES));
  ASSERT_EQ(0, write("de", MEMORY_WRITE));
  ASSERT_EQ(0, qxio_test::read_once(&stream, &out, BYTES));
  EXPECT_EQ("de", out);
}

TEST_F(MemoryStream, WriteWithoutTheMemoryBitFails)
{
  ASSERT_EQ(0, qxio_open(&qxio_layer_seek_funcs, &stream, nullptr,
                         QXIO_SEEK_OPEN_READ | QXIO_SEEK_OPEN_WRITE));
  EXPECT_EQ(QXIO_E_WRITE_ERROR, write("abc", 0));
  // Bit 21 alone is masked off by the public write.
  EXPECT_EQ(QXIO_E_WRITE_ERROR, write("abc", QXIO_SEEK_LAYER_MEMORY));
  std::string out;
  EXPECT_EQ(QXIO_E_END_OF_FILE, qxio_test::read_once(&stream, &out, BYTES));
}

TEST_F(MemoryStream, WritePositionBeyondTheDataIsAParameterError)
{
  ASSERT_EQ(0, qxio_open(&qxio_layer_seek_funcs, &stream, nullptr, QXIO_SEEK_OPEN_WRITE));
  const std::string ab = "ab";
  qxio_t_buf buf = qxio_test::wrap(ab);
  size_t pos = 3;
  EXPECT_EQ(QXIO_E_PARAMETER_ERROR, qxio_write(&stream, &buf, &pos, MEMORY_WRITE));
}

TEST_F(MemoryStream, OpenSidesAndFlags)
{
  ASSERT_EQ(0, qxio_open(&qxio_layer_seek_funcs, &stream, nullptr, QXIO_SEEK_OPEN_READ));
  EXPECT_EQ(QXIO_LAYER_OS_INPUT_OPEN | QXIO_LAYER_HAS_INPUT | QXIO_LAYER_READABLE |
                QXIO_LAYER_READ_OPEN | QXIO_LAYER_READ_ITEM_1,
            stream->flags);
  EXPECT_EQ(QXIO_E_NOT_OPEN_WRITE, write("x", MEMORY_WRITE));
  std::string out;
  EXPECT_EQ(QXIO_E_END_OF_FILE, qxio_test::read_once(&stream, &out, BYTES));
  EXPECT_EQ(0, qxio_close(&stream, 0));
  ASSERT_EQ(0, qxio_open(&qxio_layer_seek_funcs, &stream, nullptr, QXIO_SEEK_OPEN_WRITE));
  EXPECT_EQ(QXIO_LAYER_OS_INPUT_OPEN | QXIO_LAYER_HAS_OUTPUT | QXIO_LAYER_WRITABLE |
                QXIO_LAYER_WRITE_OPEN | QXIO_LAYER_WRITE_ITEM_1,
            stream->flags);
  EXPECT_EQ(QXIO_E_NOT_OPEN_READ, qxio_test::read_once(&stream, &out, BYTES));
}

TEST_F(MemoryStream, OnlyTheReadPositionSeeks)
{
  ASSERT_EQ(0, qxio_open(&qxio_layer_seek_funcs, &stream, nullptr,
                         QXIO_SEEK_OPEN_READ | QXIO_SEEK_OPEN_WRITE));
  ASSERT_EQ(0, write("hello", MEMORY_WRITE));
  int64_t position;
  // Without a kind both positions are asked for, and the write position cannot move.
  EXPECT_EQ(QXIO_E_SEEK_ERROR, qxio_seek(&stream, 1, &position, nullptr, QXIO_SEEK_SET));
  EXPECT_EQ(QXIO_E_SEEK_ERROR,
            qxio_seek(&stream, 1, &position, nullptr, QXIO_SEEK_SET | QXIO_SEEK_WRITE));
  EXPECT_EQ(1, seek(1, QXIO_SEEK_SET));
  EXPECT_EQ("ello", read_bytes(4));
  seek(6, QXIO_SEEK_SET, QXIO_E_PARAMETER_ERROR);
  EXPECT_EQ(4, seek(-1, QXIO_SEEK_CUR));
  EXPECT_EQ("o", read_bytes(1));
  // Once the write side is closed, a seek without a kind is a read seek.
  EXPECT_EQ(0, qxio_close(&stream, QXIO_CLOSE_WRITE));
  ASSERT_NE(nullptr, stream);
  EXPECT_EQ(0, qxio_seek(&stream, 0, &position, nullptr, QXIO_SEEK_SET));
  EXPECT_EQ("hello", read_bytes(5));
}

TEST_F(MemoryStream, SyncSucceedsAndPassesDownOnRequest)
{
  ASSERT_EQ(0, qxio_open(&qxio_layer_seek_funcs, &stream, nullptr, QXIO_SEEK_OPEN_READ));
  EXPECT_EQ(0, qxio_sync(&stream, QXIO_SYNC_READ | QXIO_SYNC_WRITE));
  EXPECT_EQ(0, qxio_sync(&stream, QXIO_SYNC_DOWN));
  EXPECT_EQ(QXIO_E_NOT_SUPPORTED,
            qxio_ioctl(&stream, QXIO_IOCTL_DEVICE_TYPE_, nullptr, QXIO_IOCTL_WALK));
}

}  // namespace
