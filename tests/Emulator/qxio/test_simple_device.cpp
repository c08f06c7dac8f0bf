/* The simple device layer driven through the public stream operations, with callbacks that
   record what they are handed. */
#include <gtest/gtest.h>

#include <string>

#include "qxio_simple_device.h"

namespace {

struct UserDevice {
  std::string input = "hello";  /* what reads deliver, then end of file */
  std::string output;           /* what writes took */
  size_t take_limit = SIZE_MAX; /* bytes a write takes at most */
  size_t last_room = 0;
  uint32_t read_options = 0, write_options = 0, flush_options = 0, close_options = 0;
  int flushes = 0, closes = 0;
  qxio_t_error_code flush_rc = 0, close_rc = 0, ioctl_rc = 0;
  bool clear_on_close = false;
};

UserDevice *device_of(void *user_data) { return static_cast<UserDevice *>(user_data); }

qxio_t_error_code user_read(void *user_data, void *room, size_t *size, uint32_t options)
{
  UserDevice *device = device_of(user_data);
  device->read_options = options;
  device->last_room = *size;
  if (device->input.empty()) {
    *size = 0;
    return QXIO_E_END_OF_FILE;
  }
  size_t n = std::min(*size, device->input.size());
  memcpy(room, device->input.data(), n);
  device->input.erase(0, n);
  *size = n;
  return QXIO_S_NOERR;
}

qxio_t_error_code user_write(void *user_data, const void *data, size_t *size, uint32_t options)
{
  UserDevice *device = device_of(user_data);
  device->write_options = options;
  *size = std::min(*size, device->take_limit);
  device->output.append(static_cast<const char *>(data), *size);
  return QXIO_S_NOERR;
}

qxio_t_error_code user_flush(void *user_data, uint32_t options)
{
  UserDevice *device = device_of(user_data);
  if (device == nullptr) return QXIO_S_NOERR; /* its close let go of the data */
  device->flushes++;
  device->flush_options = options;
  return device->flush_rc;
}

qxio_t_error_code user_close(void **user_data_slot, uint32_t options)
{
  UserDevice *device = device_of(*user_data_slot);
  device->closes++;
  device->close_options = options;
  if (device->close_rc < 0) return device->close_rc;
  if (device->clear_on_close) *user_data_slot = nullptr;
  return QXIO_S_NOERR;
}

qxio_t_error_code user_ioctl(void *user_data, qxio_t_ioctl_operation operation, void *arg,
                             uint32_t options)
{
  return device_of(user_data)->ioctl_rc;
}

const char kClass[] = "test device";

class SimpleDevice : public ::testing::Test {
protected:
  void make(uint32_t kind, bool reads = true, bool writes = true)
  {
    ASSERT_EQ(qxio_create_device(&stream, &user, kClass, reads ? user_read : nullptr,
                                 writes ? user_write : nullptr, user_flush, nullptr, user_close,
                                 nullptr, user_ioctl, kind),
              0);
  }
  void TearDown() override
  {
    user.close_rc = 0;
    if (stream != nullptr) qxio_close(&stream, QXIO_CLOSE_ABORTIVE);
  }
  std::string read_all()
  {
    std::string all;
    qxio_t_buf *buf = nullptr;
    qxio_t_error_code rc;
    while ((rc = qxio_read(&stream, &buf, QXIO_READ_BYTES)) == 0) {
      all.append(reinterpret_cast<char *>(buf->buf), buf->extent);
      buf->extent = 0;
    }
    EXPECT_EQ(rc, QXIO_E_END_OF_FILE);
    qxio_buf_free(buf);
    return all;
  }
  UserDevice user;
  QXIO stream = nullptr;
};

}  // namespace

TEST_F(SimpleDevice, FlagsFollowTheCallbacksAndTheKind)
{
  make(QXIO_DEVICE_BYTES);
  EXPECT_EQ(stream->flags, QXIO_LAYER_HAS_INPUT | QXIO_LAYER_READABLE | QXIO_LAYER_READ_OPEN |
                               QXIO_LAYER_READ_ITEM_1 | QXIO_LAYER_HAS_OUTPUT |
                               QXIO_LAYER_WRITABLE | QXIO_LAYER_WRITE_OPEN |
                               QXIO_LAYER_WRITE_ITEM_1);
  EXPECT_EQ(stream->next, nullptr);
  QXIO chars = nullptr;
  ASSERT_EQ(qxio_create_device(&chars, &user, kClass, nullptr, user_write, nullptr, nullptr,
                               user_close, nullptr, nullptr, QXIO_DEVICE_CHARS),
            0);
  EXPECT_EQ(chars->flags, QXIO_LAYER_HAS_OUTPUT | QXIO_LAYER_WRITABLE | QXIO_LAYER_WRITE_OPEN |
                              QXIO_LAYER_WRITE_ITEM_4);
  qxio_close(&chars, 0);
}

TEST_F(SimpleDevice, CreationNeedsOneKindACloseAndASide)
{
  EXPECT_EQ(qxio_create_device(&stream, &user, kClass, user_read, nullptr, nullptr, nullptr,
                               user_close, nullptr, nullptr, 0),
            QXIO_E_PARAMETER_ERROR);
  EXPECT_EQ(qxio_create_device(&stream, &user, kClass, user_read, nullptr, nullptr, nullptr,
                               user_close, nullptr, nullptr, QXIO_DEVICE_BYTES | QXIO_DEVICE_CHARS),
            QXIO_E_PARAMETER_ERROR);
  EXPECT_EQ(qxio_create_device(&stream, &user, kClass, nullptr, nullptr, nullptr, nullptr,
                               user_close, nullptr, nullptr, QXIO_DEVICE_BYTES),
            QXIO_E_PARAMETER_ERROR);
  EXPECT_EQ(qxio_create_device(&stream, &user, kClass, user_read, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr, QXIO_DEVICE_BYTES),
            QXIO_E_PARAMETER_ERROR);
  EXPECT_EQ(stream, nullptr);
}

TEST_F(SimpleDevice, ReadHandsTheFreeRoomAndTheKindToTheUser)
{
  make(QXIO_DEVICE_BYTES);
  qxio_t_buf *buf = qxio_buf_alloc(nullptr, 16, 0);
  ASSERT_EQ(qxio_read(&stream, &buf, QXIO_READ_BYTES), 0);
  EXPECT_EQ(user.last_room, 16u);
  EXPECT_EQ(user.read_options, QXIO_USER_BYTES);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buf->buf), buf->extent), "hello");
  user.input = "!";
  ASSERT_EQ(qxio_read(&stream, &buf, QXIO_READ_BYTES | QXIO_READ_NONBLOCKING), 0);
  EXPECT_EQ(user.last_room, 11u);
  EXPECT_EQ(user.read_options, QXIO_USER_BYTES | QXIO_USER_NONBLOCKING);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buf->buf), buf->extent), "hello!");
  qxio_buf_free(buf);
}

TEST_F(SimpleDevice, ReadOnAFullBufferGrowsItFirst)
{
  make(QXIO_DEVICE_BYTES);
  qxio_t_buf *buf = qxio_buf_alloc("full", 4, QXIO_BUF_ALLOC_COPY);
  ASSERT_EQ(buf->extent, buf->writable_size);
  ASSERT_EQ(qxio_read(&stream, &buf, QXIO_READ_BYTES), 0);
  EXPECT_GT(user.last_room, 0u);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(buf->buf), buf->extent), "fullhello");
  qxio_buf_free(buf);
}

TEST_F(SimpleDevice, CharacterDeviceReadsWholeCodes)
{
  make(QXIO_DEVICE_CHARS);
  user.input = std::string("A\0\0\0B\0\0\0", 8);
  qxio_t_buf *buf = qxio_buf_alloc(nullptr, 4, 0);
  buf->extent = 2; /* two bytes in use: two free, less than a code */
  ASSERT_EQ(qxio_read(&stream, &buf, QXIO_READ_CODES), 0);
  EXPECT_EQ(user.read_options, QXIO_USER_CHARS);
  EXPECT_EQ(user.last_room % 4, 0u);
  EXPECT_GE(user.last_room, 4u);
  qxio_buf_free(buf);
}

TEST_F(SimpleDevice, EndOfInputComesAfterTheData)
{
  make(QXIO_DEVICE_BYTES);
  EXPECT_EQ(read_all(), "hello");
}

TEST_F(SimpleDevice, CharacterWriteOfSevenBytesHandsOverOneCode)
{
  make(QXIO_DEVICE_CHARS);
  qxio_t_buf *buf = qxio_buf_alloc("abcdefg", 7, QXIO_BUF_ALLOC_COPY);
  size_t pos = 0;
  EXPECT_EQ(qxio_write(&stream, buf, &pos, QXIO_WRITE_USER), 0);
  EXPECT_EQ(pos, 4u);
  EXPECT_EQ(user.output, "abcd");
  EXPECT_EQ(user.write_options, QXIO_USER_CHARS | QXIO_USER_NONBLOCKING);
  /* the three bytes left are less than a code: nothing happens */
  EXPECT_EQ(qxio_write(&stream, buf, &pos, 0), 0);
  EXPECT_EQ(pos, 4u);
  EXPECT_EQ(user.output, "abcd");
  qxio_buf_free(buf);
}

TEST_F(SimpleDevice, WriteAdvancesByWhatTheUserTook)
{
  make(QXIO_DEVICE_BYTES);
  user.take_limit = 2;
  qxio_t_buf *buf = qxio_buf_alloc("abcde", 5, QXIO_BUF_ALLOC_COPY);
  size_t pos = 0;
  EXPECT_EQ(qxio_write(&stream, buf, &pos, 0), 0);
  EXPECT_EQ(pos, 2u);
  EXPECT_EQ(user.write_options, QXIO_USER_BYTES);
  EXPECT_EQ(qxio_write(&stream, buf, &pos, QXIO_WRITE_ALL), 0);
  EXPECT_EQ(pos, 5u);
  EXPECT_EQ(user.output, "abcde");
  qxio_buf_free(buf);
}

TEST_F(SimpleDevice, SyncFlushesTheWriteSideOnly)
{
  make(QXIO_DEVICE_BYTES);
  EXPECT_EQ(qxio_sync(&stream, QXIO_SYNC_READ), 0);
  EXPECT_EQ(user.flushes, 0);
  EXPECT_EQ(qxio_sync(&stream, QXIO_SYNC_WRITE | QXIO_SYNC_NONBLOCKING), 0);
  EXPECT_EQ(user.flushes, 1);
  EXPECT_EQ(user.flush_options, QXIO_USER_NONBLOCKING);
  user.flush_rc = QXIO_E_WRITE_ERROR;
  EXPECT_EQ(qxio_sync(&stream, QXIO_SYNC_WRITE), QXIO_E_WRITE_ERROR);
  EXPECT_EQ(user.flush_options, 0u);
  user.flush_rc = 0;
}

TEST_F(SimpleDevice, FailingUserCloseLeavesTheLayerAsItWas)
{
  make(QXIO_DEVICE_BYTES);
  uint32_t flags = stream->flags;
  user.close_rc = QXIO_E_CLOSE_ERROR;
  EXPECT_EQ(qxio_close(&stream, QXIO_CLOSE_WRITE), QXIO_E_CLOSE_ERROR);
  ASSERT_NE(stream, nullptr);
  /* the public close marked the side as closing; the layer's own bits are untouched */
  EXPECT_EQ(stream->flags & (QXIO_LAYER_WRITE_OPEN | QXIO_LAYER_READ_OPEN | QXIO_LAYER_READABLE),
            flags & (QXIO_LAYER_WRITE_OPEN | QXIO_LAYER_READ_OPEN | QXIO_LAYER_READABLE));
  user.close_rc = 0;
  EXPECT_EQ(qxio_close(&stream, QXIO_CLOSE_WRITE), 0);
  EXPECT_EQ(user.close_options, QXIO_USER_CLOSE_WRITE);
  EXPECT_EQ(stream->flags & (QXIO_LAYER_WRITE_OPEN | QXIO_LAYER_WRITABLE), 0u);
  EXPECT_EQ(qxio_close(&stream, QXIO_CLOSE_ABORTIVE), 0);
  EXPECT_EQ(user.close_options, QXIO_USER_CLOSE_READ | QXIO_USER_CLOSE_ABORTIVE);
  EXPECT_EQ(stream, nullptr);
}

TEST_F(SimpleDevice, CloseOfAReadOnlyDeviceClosesOnlyItsReadSide)
{
  make(QXIO_DEVICE_BYTES, true, false);
  EXPECT_EQ(qxio_close(&stream, 0), 0);
  EXPECT_EQ(user.closes, 1);
  EXPECT_EQ(user.close_options, QXIO_USER_CLOSE_READ);
  EXPECT_EQ(stream, nullptr);
}

TEST_F(SimpleDevice, UserCloseThatClearsItsDataIsNotCalledAgain)
{
  make(QXIO_DEVICE_BYTES);
  user.clear_on_close = true;
  EXPECT_EQ(qxio_close(&stream, QXIO_CLOSE_READ), 0);
  EXPECT_EQ(user.closes, 1);
  EXPECT_EQ(qxio_close(&stream, QXIO_CLOSE_WRITE), 0);
  EXPECT_EQ(user.closes, 1);
  EXPECT_EQ(stream, nullptr);
}

TEST_F(SimpleDevice, MissingCallbacksGetDefaults)
{
  ASSERT_EQ(qxio_create_device(&stream, &user, kClass, user_read, nullptr, nullptr, nullptr,
                               user_close, nullptr, nullptr, QXIO_DEVICE_BYTES),
            0);
  qxio_t_simple_device *device = reinterpret_cast<qxio_t_simple_device *>(stream);
  size_t size = 1;
  EXPECT_EQ(device->user_write(&user, "x", &size, 0), QXIO_E_NOT_IMPLEMENTED);
  EXPECT_EQ(device->user_flush_output(&user, 0), 0);
  EXPECT_EQ(device->user_seek(&user, 0, nullptr, 0), QXIO_E_NOT_IMPLEMENTED);
  EXPECT_EQ(device->user_interrupt(&user, 0), 0);
  /* a missing ioctl answers "not implemented", which ends a walk */
  qxio_t_device_type type = QXIO_DEVICE_TYPE_ILLEGAL;
  EXPECT_EQ(qxio_ioctl_device_type(&stream, &type, 0), QXIO_E_NOT_IMPLEMENTED);
  int64_t offset;
  EXPECT_EQ(qxio_seek(&stream, 0, &offset, nullptr, QXIO_SEEK_SET), QXIO_E_NOT_IMPLEMENTED);
  EXPECT_EQ(qxio_sync(&stream, QXIO_SYNC_WRITE), 0);
}

TEST_F(SimpleDevice, IoctlIsTheUsers)
{
  make(QXIO_DEVICE_BYTES);
  user.ioctl_rc = 12;
  EXPECT_EQ(qxio_ioctl(&stream, QXIO_IOCTL_SIZE_, nullptr, 0), 12);
  user.ioctl_rc = QXIO_E_NOT_SUPPORTED;
  qxio_t_device_type type = QXIO_DEVICE_TYPE_ILLEGAL;
  EXPECT_EQ(qxio_ioctl_device_type(&stream, &type, 0), 0);
  EXPECT_EQ(type, QXIO_DEVICE_TYPE_UNKNOWN);
}

TEST_F(SimpleDevice, UserDataIsFoundByItsClass)
{
  make(QXIO_DEVICE_BYTES);
  void *data = nullptr;
  EXPECT_EQ(qxio_get_device_user_data(&stream, kClass, &data, 0), 0);
  EXPECT_EQ(data, &user);
  EXPECT_EQ(qxio_get_device_user_data(&stream, "another class", &data, 0), QXIO_E_NOT_FOUND);
  QXIO empty = nullptr;
  EXPECT_EQ(qxio_get_device_user_data(&empty, kClass, &data, 0), QXIO_E_NOT_FOUND);
  qxio_t_layer *layer = nullptr;
  EXPECT_EQ(qxio_get_qxio_layer(&stream, &qxio_simple_device_funcs, &layer, 0), 0);
  EXPECT_EQ(layer, stream);
  EXPECT_EQ(qxio_find_layer("simple_device", nullptr, 0), QXIO_E_NOT_FOUND);
}

TEST_F(SimpleDevice, PushPopAndOpenAreNotImplemented)
{
  make(QXIO_DEVICE_BYTES);
  EXPECT_EQ(qxio_push(&qxio_simple_device_funcs, &stream, nullptr, 0), QXIO_E_NOT_IMPLEMENTED);
  EXPECT_EQ(qxio_pop(nullptr, &stream, 0), QXIO_E_NOT_IMPLEMENTED);
  QXIO other = nullptr;
  EXPECT_EQ(qxio_open(&qxio_simple_device_funcs, &other, nullptr, 0), QXIO_E_NOT_IMPLEMENTED);
}
