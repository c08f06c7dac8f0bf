// Result-code names and the translation of operating-system error numbers.
#include <errno.h>
#include <gtest/gtest.h>

#include <string>

#include "qxio.h"

namespace {

struct named_code {
  int value;
  const char *name;
};

// Every value of the enumeration with the first of its names, written out independently.
const named_code every_code[] = {
    {0, "QXIO_S_NOERR"},
    {1, "QXIO_S_OPERATION_FAILED"},
    {2, "QXIO_S_DEALLOCATED"},
    {3, "QXIO_S_NOT_SUPPORTED"},
    {4, "QXIO_S_DONE"},
    {30000, "QXIO_S_PRIVATE_ERROR_0"},
    {30001, "QXIO_S_PRIVATE_ERROR_1"},
    {30002, "QXIO_S_PRIVATE_ERROR_2"},
    {30003, "QXIO_S_PRIVATE_ERROR_3"},
    {30004, "QXIO_S_PRIVATE_ERROR_4"},
    {30005, "QXIO_S_PRIVATE_ERROR_5"},
    {30006, "QXIO_S_PRIVATE_ERROR_6"},
    {-1, "QXIO_E_END_OF_FILE"},
    {-10001, "QXIO_E_ERROR"},
    {-10003, "QXIO_E_OUT_OF_MEMORY"},
    {-10004, "QXIO_E_PARAMETER_ERROR"},
    {-10005, "QXIO_E_VERSION_ERROR"},
    {-10006, "QXIO_E_NOT_IMPLEMENTED"},
    {-10007, "QXIO_E_NOT_SUPPORTED"},
    {-10008, "QXIO_E_NOT_FOUND"},
    {-10009, "QXIO_E_FOUND"},
    {-10010, "QXIO_E_NOT_READ"},
    {-10011, "QXIO_E_NOT_WRITE"},
    {-10012, "QXIO_E_NOT_OPEN_READ"},
    {-10013, "QXIO_E_NOT_OPEN_WRITE"},
    {-10014, "QXIO_E_INTERRUPTED"},
    {-10015, "QXIO_E_IMPOSSIBLE_ERROR"},
    {-10016, "QXIO_E_INTERNAL_ERROR"},
    {-10017, "QXIO_E_OS_ERROR"},
    {-10018, "QXIO_E_TIMEOUT"},
    {-10019, "QXIO_E_WOULD_BLOCK"},
    {-10020, "QXIO_E_PERMISSION_ERROR"},
    {-10021, "QXIO_E_NO_MORE_ENTRIES"},
    {-10022, "QXIO_E_IO_ERROR"},
    {-10023, "QXIO_E_INVALID_STATE"},
    {-10100, "QXIO_E_LAYER_"},
    {-10101, "QXIO_E_OPEN_ERROR"},
    {-10102, "QXIO_E_READ_ERROR"},
    {-10103, "QXIO_E_WRITE_ERROR"},
    {-10104, "QXIO_E_SEEK_ERROR"},
    {-10105, "QXIO_E_CLOSE_ERROR"},
    {-10106, "QXIO_E_SYNC_ERROR"},
    {-10107, "QXIO_E_PUSH_ERROR"},
    {-10108, "QXIO_E_TOO_MANY_OPEN_FILES"},
    {-10200, "QXIO_E_CHAR_CODER_"},
    {-10201, "QXIO_E_GRANULARITY_ERROR"},
    {-10202, "QXIO_E_NOT_ENOUGH_DATA"},
    {-10203, "QXIO_E_SYNTAX_ERROR"},
    {-10204, "QXIO_E_ENCODING_UNMAPPABLE"},
    {-10205, "QXIO_E_ENCODING_INVALID"},
    {-10206, "QXIO_E_CHARSET_NOT_FOUND"},
    {-10300, "QXIO_E_THREAD_"},
    {-10301, "QXIO_E_THREAD_ERROR"},
    {-10302, "QXIO_E_THREAD_RUNNING"},
    {-10400, "QXIO_E_AIO_"},
    {-10401, "QXIO_E_AIO_ERROR"},
    {-10402, "QXIO_E_AIO_INPROGRESS"},
    {-10403, "QXIO_E_CANCELED"},
    {-10404, "QXIO_E_AIO_EROFS"},
    {-10405, "QXIO_E_AIO_EINVAL"},
    {-10500, "QXIO_E_FILE_"},
    {-10501, "QXIO_E_FILE_NOT_FOUND"},
    {-10502, "QXIO_E_FILE_ACCESS"},
    {-10503, "QXIO_E_FILE_IS_DIRECTORY"},
    {-10504, "QXIO_E_FILE_NOT_DIRECTORY"},
    {-10505, "QXIO_E_FILE_NOT_ABSOLUTE"},
    {-10506, "QXIO_E_FILE_EXISTS"},
    {-10507, "QXIO_E_DIR_NOT_EMPTY"},
    {-10508, "QXIO_E_INVALID_NAME"},
    {-10509, "QXIO_E_NOSPACE"},
    {-10600, "QXIO_E_NET_ERROR"},
    {-10601, "QXIO_E_NET_CONNREFUSED"},
    {-10602, "QXIO_E_NET_ADDRINUSE"},
    {-10603, "QXIO_E_NET_CONNRESET"},
    {-10604, "QXIO_E_NET_TIMEDOUT"},
    {-10605, "QXIO_E_NET_HOST_NOT_FOUND"},
    {-20000, "QXIO_E_MISC_ERROR_0"},
    {-20001, "QXIO_E_MISC_ERROR_1"},
    {-20002, "QXIO_E_MISC_ERROR_2"},
    {-20003, "QXIO_E_MISC_ERROR_3"},
    {-20004, "QXIO_E_MISC_ERROR_4"},
    {-20005, "QXIO_E_MISC_ERROR_5"},
    {-20006, "QXIO_E_MISC_ERROR_6"},
    {-30000, "QXIO_E_PRIVATE_ERROR_0"},
    {-30001, "QXIO_E_PRIVATE_ERROR_1"},
    {-30002, "QXIO_E_PRIVATE_ERROR_2"},
    {-30003, "QXIO_E_PRIVATE_ERROR_3"},
    {-30004, "QXIO_E_PRIVATE_ERROR_4"},
    {-30005, "QXIO_E_PRIVATE_ERROR_5"},
    {-30006, "QXIO_E_PRIVATE_ERROR_6"},
};

TEST(ErrorNames, EveryCodeHasItsFirstName)
{
  for (const named_code &code : every_code)
    EXPECT_STREQ(code.name, qxio_error_name(code.value)) << "value " << code.value;
}

TEST(ErrorNames, UnlistedValuesAreUnknown)
{
  for (int value : {-10002, -10024, -10109, -10207, -10606, -20007, -30007, -2, -9999, INT32_MIN})
    EXPECT_STREQ("(unknown QXIO error)", qxio_error_name(value)) << value;
  for (int value : {5, 29999, 30007, 10001, INT32_MAX})
    EXPECT_STREQ("(unknown QXIO success)", qxio_error_name(value)) << value;
}

TEST(ErrorNames, AliasesShareTheirValues)
{
  EXPECT_EQ(0, QXIO_E_NOERR);
  EXPECT_EQ(0, QXIO_S_FALSE);
  EXPECT_EQ(1, QXIO_S_TRUE);
  EXPECT_EQ(-10003, QXIO_E_INSUFFICIENT_BUFFER);
  EXPECT_EQ(-10019, QXIO_E_TRY_AGAIN);
  EXPECT_EQ(-10203, QXIO_E_ENCODING_ERROR_);
  EXPECT_EQ(-10204, QXIO_E_ENCODING_UNASSIGNED);
  EXPECT_EQ(-10401, QXIO_E_ASYNC_ERROR);
  EXPECT_EQ(-10402, QXIO_E_ASYNC_INPROGRESS);
  EXPECT_EQ(-10402, QXIO_E_INPROGRESS);
  EXPECT_EQ(-10403, QXIO_E_AIO_CANCELED);
  EXPECT_EQ(-10502, QXIO_E_NET_ACCESS);
  EXPECT_EQ(-10600, QXIO_E_NET_);
  EXPECT_EQ(-30005, QXIO_E_LAST_ERROR_CODE);
  EXPECT_STREQ("QXIO_E_OUT_OF_MEMORY", qxio_error_name(QXIO_E_INSUFFICIENT_BUFFER));
}

TEST(ErrorMap, ListedErrnoValuesMapToTheirCodes)
{
  const struct {
    int errno_value;
    int code;
  } rows[] = {
      {EPERM, -10020},      {EACCES, -10020},       {ENOTDIR, -10020},      {EISDIR, -10020},
      {EINVAL, -10020},     {ENOTTY, -10020},       {ETXTBSY, -10020},      {EROFS, -10020},
      {EMLINK, -10020},     {ENOENT, -10501},       {ENXIO, -10501},        {EBADF, -10501},
      {EINTR, -10016},      {EIO, -10022},          {EAGAIN, -10019},       {EEXIST, -10506},
      {EMFILE, -10108},     {ENOSPC, -10509},       {EPIPE, -10603},        {ECONNRESET, -10603},
      {ENOTCONN, -10603},   {ENAMETOOLONG, -10508}, {ELOOP, -10508},        {ENOTEMPTY, -10507},
      {EADDRINUSE, -10602}, {ETIMEDOUT, -10604},    {ECONNREFUSED, -10601}, {EINPROGRESS, -10402},
      {EOVERFLOW, -10017},
  };
  for (const auto &row : rows) {
    EXPECT_EQ(row.code, qxio_map_unix_error(row.errno_value, QXIO_E_OS_ERROR)) << row.errno_value;
    EXPECT_EQ(row.code, qxio_map_unix_error(row.errno_value, QXIO_E_READ_ERROR)) << row.errno_value;
  }
}

TEST(ErrorMap, UnlistedErrnoGivesTheDefault)
{
  for (int errno_value :
       {0, E2BIG, ENOEXEC, ECHILD, ENOMEM, EFAULT, EDOM, ERANGE, ENOSYS, 4095, -3}) {
    EXPECT_EQ(QXIO_E_OS_ERROR, qxio_map_unix_error(errno_value, QXIO_E_OS_ERROR)) << errno_value;
    EXPECT_EQ(QXIO_E_OPEN_ERROR, qxio_map_unix_error(errno_value, QXIO_E_OPEN_ERROR))
        << errno_value;
    EXPECT_EQ(12345, qxio_map_unix_error(errno_value, 12345)) << errno_value;
  }
}

}  // namespace
