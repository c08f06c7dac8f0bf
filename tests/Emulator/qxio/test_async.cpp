// Asynchronous operations and the "async" layer class, over real files, pipes, sockets and
// child processes. Every case that starts operations checks that the thread count returns
// to where it was.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>

#include "budget_alloc.h"
#include "fs_test_util.h"
#include "process_test_util.h"
#include "qxio.h"
#include "qxio_async_internal.h"

using qxio_test::Budget;
using qxio_test::BudgetScope;
using qxio_test::loopback_pair;
using qxio_test::read_all;
using qxio_test::read_file;
using qxio_test::counts_back_to;
using qxio_test::resource_counts;
using qxio_test::settled_threads_since;
using qxio_test::temp_dir;
using qxio_test::thread_baseline;
using qxio_test::threads_since;
using qxio_test::write_all;
using qxio_test::write_file;

namespace {

std::string random_bytes(size_t n, unsigned seed)
{
  std::mt19937 generator(seed);
  std::string bytes(n, '\0');
  for (char &c : bytes) c = static_cast<char>(generator());
  return bytes;
}

class Async : public ::testing::Test {
protected:
  bool registered_here = false;
  void SetUp() override
  {
    ASSERT_EQ(qxio_init(nullptr, nullptr, 0), 0);
    if (qxio_find_layer("async", nullptr, 0) < 0) {
      ASSERT_EQ(qxio_init_layer_async(0), 0);
      registered_here = true;
    }
    ASSERT_EQ(qxio_event_new(0, &event), 0);
    baseline = thread_baseline();
  }
  void TearDown() override
  {
    EXPECT_EQ(settled_threads_since(baseline), 0) << "a thread outlived its operation";
    qxio_event_free(event);
    if (registered_here) {
      EXPECT_EQ(qxio_init_layer_async(1), 0);
    }
    EXPECT_EQ(qxio_init(nullptr, nullptr, QXIO_INIT_SHUTDOWN), 0);
  }
  qxio_t_event *event = nullptr;
  thread_baseline baseline;
};

// ---- one-shot operations ----

TEST_F(Async, PositionedReadFillsItsOwnBuffer)
{
  temp_dir dir;
  ASSERT_TRUE(write_file(dir.file("f"), "0123456789"));
  int fd = open(dir.file("f").c_str(), O_RDONLY);
  qxio_t_async_info *op = nullptr;
  ASSERT_EQ(qxio_async_unix_read(&op, 4, fd, event, QXIO_ASYNC_OPTION_POSITIONED), 0);
  EXPECT_EQ(qxio_async_suspend(&op, 1, nullptr), 0);
  EXPECT_EQ(qxio_event_query(event), 1);
  qxio_t_error_code code = 99;
  EXPECT_EQ(qxio_async_error(op, &code), 0);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(op->nbytes, 6u);
  EXPECT_NE(op->flags & QXIO_ASYNC_OWNS_BUF, 0u);
  qxio_t_buf *out = qxio_buf_alloc(nullptr, 0, 0);
  EXPECT_EQ(qxio_async_return_buf(&op, out), 0);
  EXPECT_EQ(op, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(out->buf), out->extent), "456789");
  qxio_buf_free(out);
  close(fd);
}

TEST_F(Async, SequentialReadTakesThePipesBytesThenEndOfFile)
{
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  write_all(ends[1], "abc");
  qxio_t_async_info *op = nullptr;
  ASSERT_EQ(qxio_async_unix_read(&op, 1000, ends[0], event, QXIO_ASYNC_OPTION_SEQUENTIAL), 0);
  qxio_t_buf *out = qxio_buf_alloc(nullptr, 0, 0);
  EXPECT_EQ(qxio_async_return_buf(&op, out), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(out->buf), out->extent), "abc");
  close(ends[1]);
  ASSERT_EQ(qxio_async_unix_read(&op, 0, ends[0], event, QXIO_ASYNC_OPTION_SEQUENTIAL), 0);
  EXPECT_EQ(qxio_async_suspend(&op, 1, nullptr), 0);
  qxio_t_error_code code = 0;
  EXPECT_EQ(qxio_async_error(op, &code), 1);
  EXPECT_EQ(code, QXIO_E_END_OF_FILE);
  size_t nbytes = 99;
  EXPECT_EQ(qxio_async_return(&op, nullptr, &nbytes), 1);
  EXPECT_EQ(nbytes, 0u);
  qxio_buf_free(out);
  close(ends[0]);
}

TEST_F(Async, ReadOfAnEmptyNonBlockingPipeIsAnInternalError)
{
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_NONBLOCK), 0);
  qxio_t_async_info *op = nullptr;
  ASSERT_EQ(qxio_async_unix_read(&op, 0, ends[0], event, 0), 0);
  EXPECT_EQ(qxio_async_suspend(&op, 1, nullptr), 0);
  qxio_t_error_code code = 0;
  EXPECT_EQ(qxio_async_error(op, &code), 1);
  EXPECT_EQ(code, QXIO_E_INTERNAL_ERROR);
  qxio_async_free(op);
  close(ends[0]);
  close(ends[1]);
}

TEST_F(Async, WritesArePositionedUnlessAppending)
{
  temp_dir dir;
  ASSERT_TRUE(write_file(dir.file("f"), "abcdef"));
  int fd = open(dir.file("f").c_str(), O_WRONLY);
  qxio_t_buf *bytes = qxio_buf_alloc("XY", 2, QXIO_BUF_ALLOC_COPY);
  qxio_t_async_info *op = nullptr;
  ASSERT_EQ(qxio_async_unix_write(&op, bytes, 2, fd, event, QXIO_ASYNC_OPTION_POSITIONED), 0);
  int64_t offset = -1;
  size_t nbytes = 0;
  EXPECT_EQ(qxio_async_return(&op, &offset, &nbytes), 0);
  EXPECT_EQ(offset, 2);
  EXPECT_EQ(nbytes, 2u);
  EXPECT_EQ(read_file(dir.file("f")), "abXYef");
  close(fd);
  fd = open(dir.file("f").c_str(), O_WRONLY | O_APPEND);
  ASSERT_EQ(qxio_async_unix_write(&op, bytes, 0, fd, event,
                                  QXIO_ASYNC_OPTION_POSITIONED | QXIO_ASYNC_OPTION_APPEND),
            0);
  EXPECT_EQ(qxio_async_return(&op, nullptr, nullptr), 0);
  EXPECT_EQ(read_file(dir.file("f")), "abXYefXY");
  EXPECT_EQ(qxio_async_unix_fsync(&op, fd, event, QXIO_ASYNC_OPTION_REGULAR_FILE), 0);
  EXPECT_EQ(qxio_async_return(&op, nullptr, nullptr), 0);
  qxio_buf_free(bytes);
  close(fd);
}

TEST_F(Async, WriteToAPipeWithoutReaderIsAConnectionReset)
{
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  close(ends[0]);
  qxio_t_buf *bytes = qxio_buf_alloc("lost", 4, QXIO_BUF_ALLOC_COPY);
  qxio_t_async_info *op = nullptr;
  ASSERT_EQ(qxio_async_unix_write(&op, bytes, 0, ends[1], event, QXIO_ASYNC_OPTION_SEQUENTIAL), 0);
  EXPECT_EQ(qxio_async_suspend(&op, 1, nullptr), 0);
  qxio_t_error_code code = 0;
  EXPECT_EQ(qxio_async_error(op, &code), 1);
  EXPECT_EQ(code, QXIO_E_NET_CONNRESET);
  EXPECT_EQ(qxio_async_return(&op, nullptr, nullptr), 1);
  // fsync of a pipe fails with EINVAL, which counts as success
  EXPECT_EQ(qxio_async_unix_fsync(&op, ends[1], event, 0), 0);
  EXPECT_EQ(qxio_async_return(&op, nullptr, nullptr), 0);
  qxio_buf_free(bytes);
  close(ends[1]);
}

TEST_F(Async, RunningReadIsInProgressUntilCancelled)
{
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  qxio_t_async_info *op = nullptr;
  ASSERT_EQ(qxio_async_unix_read(&op, 0, ends[0], event, QXIO_ASYNC_OPTION_SEQUENTIAL), 0);
  qxio_t_error_code code = 0;
  EXPECT_EQ(qxio_async_error(op, &code), QXIO_E_AIO_INPROGRESS);
  EXPECT_EQ(qxio_async_poll_for_completion_unix(op), 0);
  EXPECT_EQ(qxio_async_in_use(op), 1);
  qxio_t_timespec short_wait = {0, 50000000};
  EXPECT_EQ(qxio_async_suspend(&op, 1, &short_wait), QXIO_E_TIMEOUT);
  EXPECT_EQ(qxio_async_wait(op, QXIO_ASYNC_WAIT_NONBLOCKING), QXIO_E_WOULD_BLOCK);
  EXPECT_EQ(qxio_async_cancel_unix(op), 0);
  EXPECT_EQ(qxio_async_poll_for_completion_unix(op), 1);
  EXPECT_EQ(qxio_async_error(op, &code), 1);
  EXPECT_EQ(code, QXIO_E_INTERRUPTED);
  EXPECT_EQ(qxio_event_query(event), 1);
  EXPECT_EQ(qxio_async_return(&op, nullptr, nullptr), 1);
  // cancelling an operation that has ended is no error
  write_all(ends[1], "z");
  ASSERT_EQ(qxio_async_unix_read(&op, 0, ends[0], event, QXIO_ASYNC_OPTION_SEQUENTIAL), 0);
  EXPECT_EQ(qxio_async_suspend(&op, 1, nullptr), 0);
  EXPECT_EQ(qxio_async_cancel_unix(op), 0);
  EXPECT_EQ(qxio_async_error(op, &code), 0);
  qxio_async_free(op);
  close(ends[0]);
  close(ends[1]);
}

TEST_F(Async, WriteBlockedBehindAFullPipeCanBeCancelled)
{
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  std::string fill(1 << 20, 'f');  // far more than a pipe holds
  qxio_t_buf *bytes = qxio_buf_alloc(fill.data(), fill.size(), QXIO_BUF_ALLOC_COPY);
  qxio_t_async_info *op = nullptr;
  ASSERT_EQ(qxio_async_unix_write(&op, bytes, 0, ends[1], event, QXIO_ASYNC_OPTION_SEQUENTIAL), 0);
  qxio_t_timespec short_wait = {0, 50000000};
  EXPECT_EQ(qxio_async_suspend(&op, 1, &short_wait), QXIO_E_TIMEOUT);
  EXPECT_EQ(qxio_async_wait(op, QXIO_ASYNC_WAIT_CANCEL), 0);
  qxio_t_error_code code = 0;
  // cut short by the cancellation, unless the system ended the write with a partial count
  int failed = qxio_async_error(op, &code);
  if (failed == 1) {
    EXPECT_EQ(code, QXIO_E_INTERRUPTED);
  } else {
    EXPECT_LT(op->nbytes, fill.size());
  }
  EXPECT_GE(qxio_async_return(&op, nullptr, nullptr), 0);
  qxio_buf_free(bytes);
  close(ends[0]);
  close(ends[1]);
}

TEST_F(Async, SuspendTakesExactlyOneOperation)
{
  EXPECT_EQ(qxio_async_suspend(nullptr, 0, nullptr), 0);
  qxio_t_async_info *list[2] = {nullptr, nullptr};
  EXPECT_EQ(qxio_async_suspend(list, 2, nullptr), QXIO_E_PARAMETER_ERROR);
}

TEST_F(Async, SuspendIsInterruptible)
{
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  qxio_t_async_info *op = nullptr;
  ASSERT_EQ(qxio_async_unix_read(&op, 0, ends[0], event, QXIO_ASYNC_OPTION_SEQUENTIAL), 0);
  {
    qxio_test::interrupter signals;
    EXPECT_EQ(qxio_async_suspend(&op, 1, nullptr), QXIO_E_INTERRUPTED);
  }
  EXPECT_EQ(qxio_async_cancel_unix(op), 0);
  qxio_async_free(op);
  close(ends[0]);
  close(ends[1]);
}

// ---- the asynchronous layer ----

// Opens the asynchronous layer over a new descriptor of path.
QXIO open_asynk(const std::string &path, int flags, uint32_t options)
{
  int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
  EXPECT_GE(fd, 0);
  QXIO stream = nullptr;
  EXPECT_EQ(qxio_layer_asynk_open_file_handle_unix(&stream, fd, options), 0);
  return stream;
}

std::string read_stream(QXIO *stream)
{
  std::string text;
  qxio_t_buf *buf = nullptr;
  qxio_t_error_code rc;
  while ((rc = qxio_read(stream, &buf, QXIO_READ_BYTES)) == 0) {
    text.append(reinterpret_cast<char *>(buf->buf), buf->extent);
    buf->extent = 0;
  }
  EXPECT_EQ(rc, QXIO_E_END_OF_FILE);
  qxio_buf_free(buf);
  return text;
}

qxio_t_error_code write_stream(QXIO *stream, const std::string &text,
                               uint32_t options = QXIO_WRITE_ALL)
{
  qxio_t_buf *buf = qxio_buf_alloc(text.data(), text.size(), 0);
  size_t pos = 0;
  qxio_t_error_code rc = qxio_write(stream, buf, &pos, options);
  qxio_buf_free(buf);
  return rc;
}

TEST_F(Async, TenBytesStayBufferedUntilASync)
{
  temp_dir dir;
  QXIO stream = open_asynk(dir.file("f"), O_WRONLY | O_CREAT, QXIO_FD_WRITE);
  ASSERT_EQ(write_stream(&stream, "0123456789"), 0);
  EXPECT_EQ(threads_since(baseline), 0);  // no operation was started
  EXPECT_EQ(read_file(dir.file("f")), "");
  int64_t size = 0;
  EXPECT_EQ(qxio_ioctl_size(&stream, &size, 0), 0);
  EXPECT_EQ(size, 10);
  EXPECT_EQ(qxio_sync(&stream, QXIO_SYNC_WRITE), 0);
  EXPECT_EQ(read_file(dir.file("f")), "0123456789");
  EXPECT_EQ(qxio_close(&stream, 0), 0);
  EXPECT_EQ(stream, nullptr);
}

TEST_F(Async, LargeFileIsWrittenAndReadBackIntact)
{
  temp_dir dir;
  std::string data = random_bytes(1000003, 7);
  QXIO out = open_asynk(dir.file("f"), O_WRONLY | O_CREAT, QXIO_FD_WRITE);
  ASSERT_EQ(write_stream(&out, data), 0);
  ASSERT_EQ(qxio_close(&out, 0), 0);
  EXPECT_EQ(read_file(dir.file("f")), data);
  QXIO in = open_asynk(dir.file("f"), O_RDONLY, QXIO_FD_READ);
  EXPECT_EQ(read_stream(&in), data);
  EXPECT_EQ(qxio_close(&in, 0), 0);
}

TEST_F(Async, SeekDuringReadAheadDropsTheStaleBlock)
{
  temp_dir dir;
  std::string data = random_bytes(200000, 11);
  ASSERT_TRUE(write_file(dir.file("f"), data));
  QXIO in = open_asynk(dir.file("f"), O_RDONLY, QXIO_FD_READ);
  qxio_t_buf *buf = nullptr;
  ASSERT_EQ(qxio_read(&in, &buf, QXIO_READ_BYTES), 0);  // the next block is now read ahead
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buf->buf), buf->extent),
            data.substr(0, buf->extent));
  int64_t position = -1;
  ASSERT_EQ(qxio_seek(&in, 10, &position, nullptr, QXIO_SEEK_SET | QXIO_SEEK_READ), 0);
  EXPECT_EQ(position, 10);
  buf->extent = 0;
  ASSERT_EQ(qxio_read(&in, &buf, QXIO_READ_BYTES), 0);
  ASSERT_GT(buf->extent, 0u);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buf->buf), buf->extent),
            data.substr(10, buf->extent));
  ASSERT_EQ(qxio_seek(&in, -5, &position, nullptr, QXIO_SEEK_END | QXIO_SEEK_READ), 0);
  EXPECT_EQ(position, 199995);
  EXPECT_EQ(read_stream(&in), data.substr(199995));
  qxio_buf_free(buf);
  EXPECT_EQ(qxio_close(&in, 0), 0);
}

TEST_F(Async, GrowingFileIsReadAgainAfterEndOfFile)
{
  temp_dir dir;
  ASSERT_TRUE(write_file(dir.file("f"), "first"));
  QXIO in = open_asynk(dir.file("f"), O_RDONLY, QXIO_FD_READ);
  EXPECT_EQ(read_stream(&in), "first");
  int fd = open(dir.file("f").c_str(), O_WRONLY | O_APPEND);
  write_all(fd, "+more");
  close(fd);
  EXPECT_EQ(read_stream(&in), "+more");
  EXPECT_EQ(qxio_close(&in, 0), 0);
}

// A stream over a pipe's read end whose first, non-blocking, read found nothing: its
// read-ahead now waits for input.
QXIO waiting_pipe_reader(int ends[2])
{
  QXIO in = nullptr;
  EXPECT_EQ(pipe(ends), 0);
  EXPECT_EQ(qxio_layer_asynk_open_file_handle_unix(&in, ends[0], QXIO_FD_READ), 0);
  qxio_t_buf *buf = nullptr;
  EXPECT_EQ(qxio_read(&in, &buf, QXIO_READ_BYTES | QXIO_READ_NONBLOCKING), QXIO_E_WOULD_BLOCK);
  EXPECT_EQ(buf, nullptr);
  return in;
}

TEST_F(Async, NonBlockingReadWhileTheReadAheadRunsWouldBlock)
{
  int ends[2];
  QXIO in = waiting_pipe_reader(ends);
  write_all(ends[1], "late");
  close(ends[1]);
  EXPECT_EQ(read_stream(&in), "late");
  EXPECT_EQ(qxio_close(&in, 0), 0);
}

// Bytes a read-ahead took from a pipe cannot be read again: a sync of the read side must not
// throw them away.
TEST_F(Async, SyncOfTheReadSideKeepsWhatAPipeDelivered)
{
  int ends[2];
  QXIO in = waiting_pipe_reader(ends);
  write_all(ends[1], "kept");
  qxio_t_event *readable = nullptr;
  ASSERT_EQ(qxio_ioctl_readable_event(&in, &readable, 0), 0);
  ASSERT_EQ(qxio_event_wait(&readable, 1, nullptr), 1);  // the read-ahead has the bytes
  EXPECT_EQ(qxio_sync(&in, QXIO_SYNC_READ), 0);
  close(ends[1]);
  EXPECT_EQ(read_stream(&in), "kept");
  EXPECT_EQ(qxio_close(&in, 0), 0);
}

// A block read ahead from a pipe cannot be read again: when the caller's buffer cannot grow
// to take it, the read fails and a later one delivers it. Each read here gets a fresh small
// buffer and runs out of memory at one of its first seven allocations, or not at all.
TEST_F(Async, BlockThatCannotBeAppendedIsDeliveredByALaterRead)
{
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  const std::string data = random_bytes(300000, 13);
  std::thread writer([&] {
    write_all(ends[1], data);
    close(ends[1]);
  });
  QXIO in = nullptr;
  ASSERT_EQ(qxio_layer_asynk_open_file_handle_unix(&in, ends[0], QXIO_FD_READ), 0);
  std::string received;
  int failures = 0;
  qxio_t_error_code rc = 0;
  Budget budget;
  budget.resizes_count = true;
  {
    BudgetScope scope(&budget);
    for (int round = 0; rc != QXIO_E_END_OF_FILE && round < 10000; round++) {
      budget.remaining = -1;
      qxio_t_buf *buf = qxio_buf_alloc(nullptr, 0, 0);
      ASSERT_NE(buf, nullptr);
      budget.remaining = round % 8 < 7 ? round % 8 : -1;
      rc = qxio_read(&in, &buf, QXIO_READ_BYTES);
      budget.remaining = -1;
      if (rc == 0) {
        received.append(reinterpret_cast<char *>(buf->buf), buf->extent);
      } else if (rc == QXIO_E_OUT_OF_MEMORY) {
        failures++;
      } else {
        EXPECT_EQ(rc, QXIO_E_END_OF_FILE);
      }
      qxio_buf_free(buf);
    }
  }
  if (rc != QXIO_E_END_OF_FILE) read_all(ends[0]);  // the reads stopped early: free the writer
  writer.join();
  EXPECT_GT(failures, 0);
  EXPECT_EQ(rc, QXIO_E_END_OF_FILE);
  EXPECT_EQ(received.size(), data.size());
  EXPECT_TRUE(received == data) << "bytes lost or out of order";
  EXPECT_EQ(qxio_close(&in, 0), 0);
}

TEST_F(Async, ClosingTheReadSideEndsAReadThatWaits)
{
  int ends[2];
  QXIO in = waiting_pipe_reader(ends);
  EXPECT_EQ(qxio_close(&in, 0), 0);  // the writer is still open: nothing will ever come
  EXPECT_EQ(in, nullptr);
  errno = 0;
  EXPECT_EQ(fcntl(ends[0], F_GETFD), -1);  // the layer owned the descriptor
  close(ends[1]);
}

TEST_F(Async, WriteErrorIsReportedByTheCallThatCollectsIt)
{
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  close(ends[0]);
  QXIO out = nullptr;
  ASSERT_EQ(qxio_layer_asynk_open_file_handle_unix(&out, ends[1], QXIO_FD_WRITE), 0);
  EXPECT_EQ(write_stream(&out, "nobody reads this"), 0);  // buffered
  EXPECT_EQ(qxio_sync(&out, QXIO_SYNC_WRITE), QXIO_E_NET_CONNRESET);
  EXPECT_EQ(qxio_close(&out, QXIO_CLOSE_ABORTIVE), 0);
  EXPECT_EQ(out, nullptr);
}

// Writes while interrupts keep coming from another thread: a wait that an interrupt cuts
// short may answer QXIO_E_INTERRUPTED, but a write that went out is never reported as a
// failure, and every byte a write reported taken arrives once, in order.
TEST_F(Async, InterruptStormNeverTurnsAFinishedWriteIntoAFailure)
{
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  std::string received;
  std::thread reader([&] { received = read_all(ends[0]); });
  QXIO out = nullptr;
  ASSERT_EQ(qxio_layer_asynk_open_file_handle_unix(&out, ends[1], QXIO_FD_WRITE), 0);
  const std::string data = random_bytes(24 << 20, 17);
  std::atomic<bool> done{false};
  std::thread storm([&] {
    while (!done.load()) {
      qxio_interrupt();
      usleep(30);
    }
  });
  qxio_t_buf *buf = qxio_buf_alloc(data.data(), data.size(), 0);
  std::mt19937 sizes(5);
  size_t pos = 0;
  int interrupted = 0;
  qxio_t_error_code rc = 0;
  while (pos < data.size() && (rc == 0 || rc == QXIO_E_INTERRUPTED)) {
    buf->extent = std::min(data.size(), pos + 1 + sizes() % 100000);
    rc = qxio_write(&out, buf, &pos, QXIO_WRITE_ALL);
    if (rc == QXIO_E_INTERRUPTED) interrupted++;
  }
  EXPECT_EQ(rc, 0) << "at byte " << pos;
  while ((rc = qxio_sync(&out, QXIO_SYNC_WRITE)) == QXIO_E_INTERRUPTED) interrupted++;
  EXPECT_EQ(rc, 0);
  done.store(true);
  storm.join();
  while ((rc = qxio_close(&out, 0)) == QXIO_E_INTERRUPTED) interrupted++;
  EXPECT_EQ(rc, 0);
  reader.join();
  qxio_buf_free(buf);
  EXPECT_GT(interrupted, 0);
  EXPECT_EQ(received.size(), pos);
  EXPECT_TRUE(received == data.substr(0, pos)) << "bytes lost, repeated or out of order";
}

// A peer that never reads: the write in flight blocks in the system call, and an abortive
// close must still end at once.
TEST_F(Async, AbortiveCloseIsNotHeldUpByAStuckPeer)
{
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  resource_counts before;
  QXIO out = nullptr;
  ASSERT_EQ(qxio_layer_asynk_open_file_handle_unix(&out, ends[1], QXIO_FD_WRITE), 0);
  std::string block(65536, 'b');
  qxio_t_error_code rc = 0;
  for (int i = 0; i < 64 && rc == 0; i++) rc = write_stream(&out, block, QXIO_WRITE_NONBLOCKING);
  EXPECT_EQ(rc, QXIO_E_WOULD_BLOCK);
  EXPECT_GT(threads_since(baseline), 0);  // the blocked write
  EXPECT_EQ(qxio_close(&out, QXIO_CLOSE_ABORTIVE), 0);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(settled_threads_since(before.threads), 0);
  EXPECT_EQ(resource_counts().descriptors,
            before.descriptors - 1);  // the layer closed the write end
  close(ends[0]);
}

TEST_F(Async, AbortiveWriteCancellingFollowsItsProperty)
{
  ASSERT_EQ(qxio_init_layer_async(1), 0);
  ASSERT_EQ(qxio_set_system_property("QXIO_ABORTIVE_WRITE_CANCEL", "False", 0), 0);
  ASSERT_EQ(qxio_init_layer_async(0), 0);
  EXPECT_EQ(qxio_async_abortive_write_cancel, 0);
  ASSERT_EQ(qxio_init_layer_async(1), 0);
  ASSERT_EQ(qxio_set_system_property("QXIO_ABORTIVE_WRITE_CANCEL", "yes", 0), 0);
  ASSERT_EQ(qxio_init_layer_async(0), 0);
  EXPECT_EQ(qxio_async_abortive_write_cancel, 1);
}

TEST_F(Async, AbortiveCloseOfASocketWithAStuckPeerResetsIt)
{
  loopback_pair pair;
  ASSERT_TRUE(pair.ok());
  QXIO out = nullptr;
  ASSERT_EQ(qxio_layer_asynk_open_file_handle_unix(&out, pair.client, QXIO_FD_READ | QXIO_FD_WRITE),
            0);
  pair.client = -1;  // the layer owns it
  std::string block(65536, 's');
  qxio_t_error_code rc = 0;
  for (int i = 0; i < 1000 && rc == 0; i++) rc = write_stream(&out, block, QXIO_WRITE_NONBLOCKING);
  EXPECT_EQ(rc, QXIO_E_WOULD_BLOCK);
  EXPECT_EQ(qxio_close(&out, QXIO_CLOSE_ABORTIVE), 0);
  // the peer finds the connection reset once it reads past what arrived
  char chunk[65536];
  ssize_t n;
  while ((n = read(pair.accepted, chunk, sizeof chunk)) > 0) {}
  EXPECT_EQ(n, -1);
  EXPECT_EQ(errno, ECONNRESET);
}

TEST_F(Async, DescriptorsAreCheckedBeforeALayerIsMade)
{
  temp_dir dir;
  ASSERT_TRUE(write_file(dir.file("f"), "x"));
  int read_only = open(dir.file("f").c_str(), O_RDONLY);
  int write_only = open(dir.file("f").c_str(), O_WRONLY);
  int appending = open(dir.file("f").c_str(), O_WRONLY | O_APPEND);
  int directory = open(dir.path.c_str(), O_RDONLY | O_DIRECTORY);
  resource_counts before;
  QXIO stream = nullptr;
  EXPECT_EQ(qxio_layer_asynk_open_file_handle_unix(&stream, -1, QXIO_FD_READ),
            QXIO_E_PARAMETER_ERROR);
  EXPECT_EQ(qxio_layer_asynk_open_file_handle_unix(&stream, read_only, 0), QXIO_E_PARAMETER_ERROR);
  EXPECT_EQ(qxio_layer_asynk_open_file_handle_unix(&stream, read_only, QXIO_FD_WRITE),
            QXIO_E_NOT_WRITE);
  EXPECT_EQ(qxio_layer_asynk_open_file_handle_unix(&stream, write_only, QXIO_FD_READ),
            QXIO_E_NOT_READ);
  EXPECT_EQ(qxio_layer_asynk_open_file_handle_unix(&stream, appending, QXIO_FD_WRITE),
            QXIO_E_PARAMETER_ERROR);
  EXPECT_EQ(qxio_layer_asynk_open_file_handle_unix(&stream, directory, QXIO_FD_READ),
            QXIO_E_NOT_SUPPORTED);
  EXPECT_EQ(stream, nullptr);
  EXPECT_TRUE(counts_back_to(before));
  // appending sequentially is allowed and lands at the end
  ASSERT_EQ(qxio_layer_asynk_open_file_handle_unix(&stream, appending,
                                                   QXIO_FD_WRITE | QXIO_FD_SEQUENTIAL),
            0);
  EXPECT_EQ(write_stream(&stream, "yz"), 0);
  EXPECT_EQ(qxio_close(&stream, 0), 0);
  EXPECT_EQ(read_file(dir.file("f")), "xyz");
  close(read_only);
  close(write_only);
  close(directory);
}

TEST_F(Async, IoctlGivesEventsDeviceTypeAndSize)
{
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  QXIO in = nullptr;
  ASSERT_EQ(qxio_layer_asynk_open_file_handle_unix(&in, ends[0], QXIO_FD_READ), 0);
  qxio_t_event *readable = nullptr, *writable = nullptr;
  EXPECT_EQ(qxio_ioctl_readable_event(&in, &readable, 0), 0);
  EXPECT_NE(readable, nullptr);
  EXPECT_EQ(qxio_event_query(readable), 0);
  EXPECT_EQ(qxio_ioctl_writable_event(&in, &writable, 0), QXIO_E_NOT_SUPPORTED);
  qxio_t_device_type type = QXIO_DEVICE_TYPE_ILLEGAL;
  EXPECT_EQ(qxio_ioctl_device_type(&in, &type, 0), 0);
  EXPECT_EQ(type, QXIO_DEVICE_TYPE_FIFO);
  int64_t size = 0;
  EXPECT_EQ(qxio_ioctl_size(&in, &size, 0), QXIO_E_NOT_SUPPORTED);
  int64_t position = 0;
  EXPECT_EQ(qxio_seek(&in, 0, &position, nullptr, QXIO_SEEK_SET | QXIO_SEEK_READ),
            QXIO_E_SEEK_ERROR);
  EXPECT_EQ(qxio_close(&in, 0), 0);
  close(ends[1]);
}

// ---- the class "async": the library's file opening ----

TEST_F(Async, OpeningByClassNameGivesTheThreadBackedLayer)
{
  temp_dir dir;
  ASSERT_TRUE(write_file(dir.file("f"), "content"));
  const qxio_t_funcs *funcs = nullptr;
  ASSERT_EQ(qxio_find_layer("async", &funcs, 0), 0);
  EXPECT_EQ(funcs, &qxio_layer_async_funcs);
  std::string path = dir.file("f");
  qxio_t_property args[] = {qxio_arg_string(QXIO_ARG_PATHNAME, path.c_str()), qxio_arg_end()};
  QXIO stream = nullptr;
  ASSERT_EQ(qxio_open_by_name("async", &stream, args, QXIO_OPEN_READ), 0);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(stream->funcs, &qxio_layer_threaddevice_funcs);
  EXPECT_EQ(read_stream(&stream), "content");
  EXPECT_EQ(qxio_close(&stream, 0), 0);
}

TEST_F(Async, OpeningFailuresLeaveNothingOpen)
{
  temp_dir dir;
  resource_counts before;
  std::string missing = dir.file("missing");
  qxio_t_property args[] = {qxio_arg_string(QXIO_ARG_PATHNAME, missing.c_str()), qxio_arg_end()};
  qxio_t_property no_path[] = {qxio_arg_end()};
  QXIO stream = nullptr;
  EXPECT_EQ(qxio_open_by_name("async", &stream, args, QXIO_OPEN_READ), QXIO_E_FILE_NOT_FOUND);
  EXPECT_EQ(qxio_open_by_name("async", &stream, no_path, QXIO_OPEN_READ), QXIO_E_PARAMETER_ERROR);
  EXPECT_EQ(qxio_open_by_name("async", &stream, args, 0), QXIO_E_PARAMETER_ERROR);
  EXPECT_EQ(qxio_open_by_name("async", &stream, args,
                              QXIO_OPEN_READ | QXIO_OPEN_WRITE | QXIO_OPEN_APPEND),
            QXIO_E_PARAMETER_ERROR);
  ASSERT_TRUE(write_file(missing, "now there"));
  EXPECT_EQ(qxio_open_by_name("async", &stream, args, QXIO_OPEN_WRITE | QXIO_OPEN_EXCLUSIVE),
            QXIO_E_FILE_EXISTS);
  EXPECT_EQ(stream, nullptr);
  EXPECT_TRUE(counts_back_to(before));
}

// ---- library streams over sockets and a child's pipes ----

typedef qxio_t_error_code (*stream_opener)(QXIO *slot, int fd, uint32_t options);

class AsyncStreams : public Async, public ::testing::WithParamInterface<stream_opener> {};

// Echoes everything it reads until the end of input, then closes.
void echo_server(stream_opener opener, int fd, qxio_t_error_code *result)
{
  QXIO stream = nullptr;
  *result = opener(&stream, fd, QXIO_FD_READ | QXIO_FD_WRITE);
  if (*result < 0) return;
  qxio_t_buf *buf = nullptr;
  qxio_t_error_code rc;
  while ((rc = qxio_read(&stream, &buf, QXIO_READ_BYTES)) == 0) {
    size_t pos = 0;
    rc = qxio_write(&stream, buf, &pos, QXIO_WRITE_ALL);
    if (rc >= 0) rc = qxio_sync(&stream, QXIO_SYNC_WRITE);
    if (rc < 0) break;
    buf->extent = 0;
  }
  qxio_buf_free(buf);
  *result = rc == QXIO_E_END_OF_FILE ? qxio_close(&stream, 0) : rc;
  if (*result < 0) qxio_close(&stream, QXIO_CLOSE_ABORTIVE);
}

TEST_P(AsyncStreams, TenMegabytesEchoThroughASocketPair)
{
  loopback_pair pair;
  ASSERT_TRUE(pair.ok());
  qxio_t_error_code server_result = 1;
  std::thread server(echo_server, GetParam(), pair.accepted, &server_result);
  QXIO stream = nullptr;
  ASSERT_EQ(GetParam()(&stream, pair.client, QXIO_FD_READ | QXIO_FD_WRITE), 0);
  pair.client = pair.accepted = -1;  // the streams own them
  const std::string data = random_bytes(10 << 20, 3);
  const size_t chunk = 65536, window = 512 * 1024;
  std::string echoed;
  qxio_t_buf *in = nullptr;
  for (size_t sent = 0; sent < data.size();) {
    size_t n = std::min(chunk, data.size() - sent);
    ASSERT_EQ(write_stream(&stream, data.substr(sent, n)), 0);
    ASSERT_EQ(qxio_sync(&stream, QXIO_SYNC_WRITE), 0);
    sent += n;
    while (echoed.size() + window < sent) {
      ASSERT_EQ(qxio_read(&stream, &in, QXIO_READ_BYTES), 0);
      echoed.append(reinterpret_cast<char *>(in->buf), in->extent);
      in->extent = 0;
    }
  }
  ASSERT_EQ(qxio_close(&stream, QXIO_CLOSE_WRITE), 0);  // the server sees the end of input
  qxio_t_error_code rc;
  while ((rc = qxio_read(&stream, &in, QXIO_READ_BYTES)) == 0) {
    echoed.append(reinterpret_cast<char *>(in->buf), in->extent);
    in->extent = 0;
  }
  EXPECT_EQ(rc, QXIO_E_END_OF_FILE);
  qxio_buf_free(in);
  EXPECT_EQ(qxio_close(&stream, 0), 0);
  server.join();
  EXPECT_EQ(server_result, 0);
  EXPECT_EQ(echoed.size(), data.size());
  EXPECT_TRUE(echoed == data) << "echoed bytes differ";
}

TEST_P(AsyncStreams, ChildPipesCarryAStream)
{
  int to_child = -1, from_child = -1;
  qxio_t_process child = 0;
  ASSERT_EQ(qxio_process_create("cat", nullptr, nullptr, nullptr, &to_child, &from_child, nullptr,
                                &child,
                                QXIO_PROCESS_SHELL | QXIO_PROCESS_STDIN_PIPE |
                                    QXIO_PROCESS_STDOUT_PIPE | QXIO_PROCESS_STDERR_NULL),
            0);
  QXIO out = nullptr, in = nullptr;
  ASSERT_EQ(GetParam()(&out, to_child, QXIO_FD_WRITE), 0);
  ASSERT_EQ(GetParam()(&in, from_child, QXIO_FD_READ), 0);
  const std::string data = random_bytes(300000, 5);
  std::string back;
  std::thread reader([&] { back = read_stream(&in); });
  EXPECT_EQ(write_stream(&out, data), 0);
  EXPECT_EQ(qxio_close(&out, 0), 0);
  reader.join();
  EXPECT_TRUE(back == data);
  EXPECT_EQ(qxio_close(&in, 0), 0);
  qxio_t_process_exit_status status = {};
  EXPECT_EQ(qxio_process_wait(child, nullptr, &status, QXIO_PROCESS_WAIT_REAP), 0);
  EXPECT_EQ(status.flags, QXIO_PROCESS_EXITED);
  EXPECT_EQ(status.value, 0);
}

INSTANTIATE_TEST_SUITE_P(DeviceLayers, AsyncStreams,
                         ::testing::Values(qxio_layer_async_unix_open_file_handle,
                                           qxio_layer_asynk_open_file_handle_unix),
                         [](const ::testing::TestParamInfo<stream_opener> &info) {
                           return std::string(info.param == qxio_layer_asynk_open_file_handle_unix
                                                  ? "AsynchronousLayer"
                                                  : "ThreadBackedLayer");
                         });

}  // namespace
