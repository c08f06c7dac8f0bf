// Growable byte buffers and the allocator hook.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "qxio.h"

namespace {

std::string contents(const qxio_t_buf *buf)
{
  return std::string(reinterpret_cast<const char *>(buf->buf), buf->extent);
}

// Starts the buffer module from a clean environment (no QXIO_DEFAULT_BUFITEMS).
class Buffers : public ::testing::Test {
protected:
  void SetUp() override
  {
    unsetenv("QXIO_DEFAULT_BUFITEMS");
    ASSERT_EQ(0, qxio_init_buf(0));
  }
  void TearDown() override
  {
    qxio_init_environment(1);
    unsetenv("QXIO_DEFAULT_BUFITEMS");
    qxio_init_buf(0);
  }
};

TEST_F(Buffers, SizeIsRoundedUpToFourBytes)
{
  qxio_t_buf *buf = qxio_buf_alloc(nullptr, 5, 0);
  ASSERT_NE(nullptr, buf);
  EXPECT_EQ(8u, buf->writable_size);
  EXPECT_EQ(0u, buf->extent);
  EXPECT_EQ(0u, buf->flags);
  qxio_buf_free(buf);
}

TEST_F(Buffers, DefaultCapacityIsHundredItems)
{
  qxio_t_buf *buf = qxio_buf_alloc(nullptr, 0, 0);
  ASSERT_NE(nullptr, buf);
  EXPECT_EQ(400u, buf->writable_size);
  qxio_buf_free(buf);
}

TEST_F(Buffers, DefaultItemsFromPropertyAcceptOnlyWholePositiveNumbers)
{
  const struct {
    const char *value;
    size_t capacity;
  } cases[] = {{"0x20", 128}, {"010", 32}, {"7", 28}, {"12abc", 400},
               {"0", 400},    {"-5", 400}, {"", 400}, {"abc", 400}};
  for (const auto &c : cases) {
    ASSERT_EQ(0, qxio_set_system_property("QXIO_DEFAULT_BUFITEMS", c.value, 0));
    ASSERT_EQ(0, qxio_init_buf(0));
    qxio_t_buf *buf = qxio_buf_alloc(nullptr, 0, 0);
    ASSERT_NE(nullptr, buf);
    EXPECT_EQ(c.capacity, buf->writable_size) << "QXIO_DEFAULT_BUFITEMS=" << c.value;
    qxio_buf_free(buf);
  }
}

TEST_F(Buffers, DefaultItemsAreReadFromTheEnvironmentToo)
{
  setenv("QXIO_DEFAULT_BUFITEMS", "0X10", 1);
  ASSERT_EQ(0, qxio_init_buf(0));
  qxio_t_buf *buf = qxio_buf_alloc(nullptr, 0, 0);
  EXPECT_EQ(64u, buf->writable_size);
  qxio_buf_free(buf);
}

TEST_F(Buffers, CopyOwnsAPrivateCopy)
{
  char data[] = "hello";
  qxio_t_buf *buf = qxio_buf_alloc(data, 5, QXIO_BUF_ALLOC_COPY);
  ASSERT_NE(nullptr, buf);
  EXPECT_NE(reinterpret_cast<unsigned char *>(data), buf->buf);
  EXPECT_EQ("hello", contents(buf));
  EXPECT_EQ(8u, buf->writable_size);
  EXPECT_EQ(0u, buf->flags & QXIO_BUF_FLAG_STORAGE_NOT_OWNED);
  data[0] = 'J';
  EXPECT_EQ("hello", contents(buf));
  qxio_buf_free(buf);

  buf = qxio_buf_alloc(data, 0, QXIO_BUF_ALLOC_COPY);
  ASSERT_NE(nullptr, buf);
  EXPECT_EQ(4u, buf->writable_size);
  EXPECT_EQ(0u, buf->extent);
  qxio_buf_free(buf);
}

TEST_F(Buffers, ReserveOnWrappedBufferCopiesAndLeavesCallerBytes)
{
  char data[] = "abcdef";
  qxio_t_buf *buf = qxio_buf_alloc(data, 6, 0);
  ASSERT_NE(nullptr, buf);
  EXPECT_EQ(reinterpret_cast<unsigned char *>(data), buf->buf);
  EXPECT_EQ(6u, buf->extent);
  EXPECT_EQ(6u, buf->writable_size);
  EXPECT_TRUE(buf->flags & QXIO_BUF_FLAG_STORAGE_NOT_OWNED);

  ASSERT_EQ(0, qxio_buf_concat_string(buf, "XY"));
  EXPECT_NE(reinterpret_cast<unsigned char *>(data), buf->buf);
  EXPECT_FALSE(buf->flags & QXIO_BUF_FLAG_STORAGE_NOT_OWNED);
  EXPECT_EQ("abcdefXY", contents(buf));
  EXPECT_STREQ("abcdef", data);
  // extent + the default capacity, rounded up to 4
  EXPECT_EQ(6u + 400u + 2u, buf->writable_size);
  qxio_buf_free(buf);
}

TEST_F(Buffers, FixedWrappedBufferRefusesToGrow)
{
  char data[] = "abcd";
  qxio_t_buf *buf = qxio_buf_alloc(data, 4, QXIO_BUF_ALLOC_FIXED);
  ASSERT_NE(nullptr, buf);
  EXPECT_TRUE(buf->flags & QXIO_BUF_FLAG_FIXED);
  EXPECT_EQ(QXIO_E_OUT_OF_MEMORY, qxio_buf_push(buf, 'e'));
  EXPECT_EQ(reinterpret_cast<unsigned char *>(data), buf->buf);
  EXPECT_EQ(4u, buf->extent);
  // a reset that cannot reserve keeps the old extent
  EXPECT_EQ(QXIO_E_OUT_OF_MEMORY, qxio_buf_reset(buf, 100));
  EXPECT_EQ(4u, buf->extent);
  // trimming storage that is not owned leaves it alone
  EXPECT_EQ(0, qxio_buf_trim(buf));
  EXPECT_EQ(4u, buf->writable_size);
  qxio_buf_free(buf);
}

TEST_F(Buffers, NoRoomOptionRecordsZeroCapacity)
{
  qxio_t_buf *buf = qxio_buf_alloc("xyz", 3, QXIO_BUF_ALLOC_COPY | QXIO_BUF_ALLOC_NO_ROOM);
  ASSERT_NE(nullptr, buf);
  EXPECT_EQ(0u, buf->writable_size);
  EXPECT_EQ(3u, buf->extent);
  ASSERT_EQ(0, qxio_buf_push(buf, '!'));
  EXPECT_EQ("xyz!", contents(buf));
  qxio_buf_free(buf);
}

TEST_F(Buffers, CallerRecordStartsEmptyAndSurvivesFree)
{
  qxio_t_buf buf;
  memset(&buf, 0x5A, sizeof buf);
  ASSERT_EQ(0, qxio_buf_init_buf(&buf));
  EXPECT_EQ(nullptr, buf.buf);
  EXPECT_EQ(0u, buf.extent);
  EXPECT_EQ(0u, buf.writable_size);
  EXPECT_EQ(QXIO_BUF_FLAG_STORAGE_NOT_OWNED | QXIO_BUF_FLAG_RECORD_NOT_OWNED, buf.flags);
  ASSERT_EQ(0, qxio_buf_push(&buf, 'a'));
  EXPECT_EQ("a", contents(&buf));
  qxio_buf_free(&buf);
  EXPECT_TRUE(buf.flags & QXIO_BUF_FLAG_FREED);
  EXPECT_EQ(nullptr, buf.buf);
  EXPECT_EQ(0u, buf.extent);
  EXPECT_EQ(0u, buf.writable_size);
  qxio_buf_free(nullptr);
}

TEST_F(Buffers, ReserveGrowsByAtLeastTheDefaultCapacity)
{
  qxio_t_buf *buf = qxio_buf_alloc(nullptr, 4, 0);
  ASSERT_EQ(0, qxio_buf_concat_bytes(buf, "1234", 4));
  EXPECT_EQ(4u, buf->writable_size);
  ASSERT_EQ(0, qxio_buf_reserve(buf, 0));  // counts as 1: full, so it grows
  EXPECT_EQ(404u, buf->writable_size);
  ASSERT_EQ(0, qxio_buf_reserve(buf, 400));  // fits: nothing happens
  EXPECT_EQ(404u, buf->writable_size);
  ASSERT_EQ(0, qxio_buf_reserve(buf, 1001));
  EXPECT_EQ(1008u, buf->writable_size);  // 4 + 1001 rounded up
  EXPECT_EQ("1234", contents(buf));
  ASSERT_EQ(0, qxio_buf_trim(buf));
  EXPECT_EQ(4u, buf->writable_size);
  EXPECT_EQ("1234", contents(buf));
  qxio_buf_free(buf);
}

TEST_F(Buffers, PushAndPopAreLastInFirstOut)
{
  qxio_t_buf *buf = qxio_buf_alloc(nullptr, 1, 0);
  for (int i = 0; i < 1000; i++) ASSERT_EQ(0, qxio_buf_push(buf, static_cast<unsigned char>(i)));
  EXPECT_EQ(1000u, buf->extent);
  for (int i = 999; i >= 0; i--) {
    unsigned char byte = 0;
    ASSERT_EQ(0, qxio_buf_pop(buf, &byte));
    EXPECT_EQ(static_cast<unsigned char>(i), byte);
  }
  unsigned char byte = 7;
  EXPECT_EQ(QXIO_E_ERROR, qxio_buf_pop(buf, &byte));
  EXPECT_EQ(7, byte);
  qxio_buf_free(buf);
}

TEST_F(Buffers, ConcatAppendsBytesStringsAndBuffers)
{
  qxio_t_buf *buf = qxio_buf_alloc(nullptr, 4, 0);
  ASSERT_EQ(0, qxio_buf_concat_bytes(buf, "a\0b", 3));
  ASSERT_EQ(0, qxio_buf_concat_bytes(buf, nullptr, 0));
  ASSERT_EQ(0, qxio_buf_concat_string(buf, "cd"));
  ASSERT_EQ(0, qxio_buf_concat_string(buf, ""));
  EXPECT_EQ(std::string("a\0bcd", 5), contents(buf));
  qxio_t_buf *other = qxio_buf_alloc("XYZ", 3, 0);
  ASSERT_EQ(0, qxio_buf_concat(buf, other, 0));
  EXPECT_EQ(std::string("a\0bcdXYZ", 8), contents(buf));
  EXPECT_EQ("XYZ", contents(other));
  qxio_buf_free(other);
  qxio_buf_free(buf);
}

TEST_F(Buffers, ConcatOfABufferWithItselfDoublesIt)
{
  qxio_t_buf *buf = qxio_buf_alloc("0123456789", 10, QXIO_BUF_ALLOC_COPY);
  ASSERT_EQ(12u, buf->writable_size);
  ASSERT_EQ(0, qxio_buf_concat(buf, buf, 0));  // must grow, moving the source bytes
  EXPECT_EQ("01234567890123456789", contents(buf));
  qxio_buf_free(buf);
}

TEST_F(Buffers, ContractDropsFromFrontOrEnd)
{
  qxio_t_buf *buf = qxio_buf_alloc("abcdefgh", 8, QXIO_BUF_ALLOC_COPY);
  ASSERT_EQ(0, qxio_buf_contract(buf, 3));
  EXPECT_EQ("defgh", contents(buf));
  ASSERT_EQ(0, qxio_buf_contract(buf, -2));
  EXPECT_EQ("def", contents(buf));
  ASSERT_EQ(0, qxio_buf_contract(buf, 0));
  EXPECT_EQ("def", contents(buf));
  EXPECT_EQ(QXIO_E_PARAMETER_ERROR, qxio_buf_contract(buf, 4));
  EXPECT_EQ(QXIO_E_PARAMETER_ERROR, qxio_buf_contract(buf, -4));
  EXPECT_EQ("def", contents(buf));
  ASSERT_EQ(0, qxio_buf_contract(buf, 3));
  EXPECT_EQ(0u, buf->extent);
  ASSERT_EQ(0, qxio_buf_concat_string(buf, "xy"));
  ASSERT_EQ(0, qxio_buf_contract(buf, -2));
  EXPECT_EQ(0u, buf->extent);
  EXPECT_EQ(QXIO_E_PARAMETER_ERROR, qxio_buf_contract(buf, PTRDIFF_MIN));
  qxio_buf_free(buf);
}

TEST_F(Buffers, ResetEmptiesAndReserves)
{
  qxio_t_buf *buf = qxio_buf_alloc("abcd", 4, QXIO_BUF_ALLOC_COPY);
  ASSERT_EQ(0, qxio_buf_reset(buf, 10));
  EXPECT_EQ(0u, buf->extent);
  EXPECT_GE(buf->writable_size, 10u);
  qxio_buf_free(buf);
}

TEST_F(Buffers, GetBufHandsOverOwnedStorageAndCopiesForeignBytes)
{
  qxio_t_buf *buf = qxio_buf_alloc("owned", 5, QXIO_BUF_ALLOC_COPY);
  unsigned char *storage = buf->buf;
  unsigned char *data = nullptr;
  size_t size = 0;
  ASSERT_EQ(0, qxio_buf_get_buf(buf, &data, &size));
  EXPECT_EQ(storage, data);
  EXPECT_EQ(5u, size);
  EXPECT_EQ(nullptr, buf->buf);
  EXPECT_EQ(0u, buf->extent);
  EXPECT_EQ(0u, buf->writable_size);
  qxio_free(data);
  ASSERT_EQ(0, qxio_buf_push(buf, 'z'));  // an emptied buffer is usable again
  EXPECT_EQ("z", contents(buf));
  qxio_buf_free(buf);

  char foreign[] = "foreign";
  buf = qxio_buf_alloc(foreign, 7, 0);
  ASSERT_EQ(0, qxio_buf_get_buf(buf, &data, &size));
  EXPECT_NE(reinterpret_cast<unsigned char *>(foreign), data);
  EXPECT_EQ(7u, size);
  EXPECT_EQ(0, memcmp(data, "foreign", 7));
  EXPECT_EQ(reinterpret_cast<unsigned char *>(foreign), buf->buf);
  EXPECT_EQ(7u, buf->extent);
  qxio_free(data);
  qxio_buf_free(buf);
}

// ---- the allocator hook ----

struct hook_call {
  void *pointer;
  size_t size;
};

struct recording_cookie {
  std::vector<hook_call> calls;
  int fail_allocation;  // the allocation (counted from 1) that fails; 0 for none
  int allocations;
  int live;
};

void *recording_hook(void *cookie, void *pointer, size_t size)
{
  recording_cookie *rec = static_cast<recording_cookie *>(cookie);
  rec->calls.push_back({pointer, size});
  if (pointer == nullptr) {
    if (++rec->allocations == rec->fail_allocation) return nullptr;
    rec->live++;
    return malloc(size);
  }
  if (size == 0) {
    rec->live--;
    free(pointer);
    return nullptr;
  }
  return realloc(pointer, size);
}

class Allocator : public ::testing::Test {
protected:
  recording_cookie rec{};
  void install() { ASSERT_EQ(0, qxio_init_allocator(recording_hook, &rec, 0)); }
  void TearDown() override { qxio_init_allocator(nullptr, nullptr, 0); }
};

TEST_F(Allocator, ZeroSizesNeverFreeAndNullIsNotFreed)
{
  install();
  void *first = qxio_allocator_alloc(0);
  ASSERT_NE(nullptr, first);
  void *p = qxio_allocator_realloc(first, 0);
  ASSERT_NE(nullptr, p);
  qxio_allocator_free(nullptr);
  qxio_allocator_free(p);
  ASSERT_EQ(3u, rec.calls.size());
  EXPECT_EQ(nullptr, rec.calls[0].pointer);
  EXPECT_EQ(1u, rec.calls[0].size);
  EXPECT_EQ(first, rec.calls[1].pointer);
  EXPECT_EQ(1u, rec.calls[1].size);
  EXPECT_EQ(p, rec.calls[2].pointer);
  EXPECT_EQ(0u, rec.calls[2].size);
  EXPECT_EQ(0, rec.live);
}

TEST_F(Allocator, BufferAllocFreesItsStorageWhenTheRecordFails)
{
  install();
  rec.fail_allocation = 2;  // the storage succeeds, the record fails
  EXPECT_EQ(nullptr, qxio_buf_alloc(nullptr, 16, 0));
  EXPECT_EQ(0, rec.live);
  rec.allocations = 0;
  rec.fail_allocation = 1;
  EXPECT_EQ(nullptr, qxio_buf_alloc("abc", 3, QXIO_BUF_ALLOC_COPY));
  EXPECT_EQ(0, rec.live);
}

TEST_F(Allocator, FailedGrowthLeavesTheBufferAsItWas)
{
  install();
  char data[] = "wrapped";
  qxio_t_buf *buf = qxio_buf_alloc(data, 7, 0);
  ASSERT_NE(nullptr, buf);
  rec.fail_allocation = rec.allocations + 1;
  EXPECT_EQ(QXIO_E_OUT_OF_MEMORY, qxio_buf_concat_string(buf, "!"));
  EXPECT_EQ(reinterpret_cast<unsigned char *>(data), buf->buf);
  EXPECT_EQ(7u, buf->extent);
  EXPECT_TRUE(buf->flags & QXIO_BUF_FLAG_STORAGE_NOT_OWNED);
  rec.fail_allocation = 0;
  qxio_buf_free(buf);
  EXPECT_EQ(0, rec.live);
}

TEST_F(Allocator, DefaultAllocatorCountsBalance)
{
  qxio_t_allocator_counts before, after;
  qxio_allocator_default_counts(&before);
  qxio_t_buf *buf = qxio_buf_alloc(nullptr, 0, 0);
  for (int i = 0; i < 5000; i++) qxio_buf_push(buf, 'x');
  qxio_buf_trim(buf);
  char *copy = qxio_alloc_string("text");
  EXPECT_STREQ("text", copy);
  qxio_allocator_default_counts(&after);
  EXPECT_EQ(before.allocations + 3, after.allocations);  // storage, record, string
  EXPECT_EQ(before.frees, after.frees);
  EXPECT_GT(after.calls - before.calls, 3u);  // the resizes are calls too
  qxio_free(copy);
  qxio_buf_free(buf);
  qxio_allocator_default_counts(&after);
  EXPECT_EQ(after.allocations - before.allocations, after.frees - before.frees);
}

}  // namespace
