#include <gtest/gtest.h>

#include "orvalis.h"

TEST(ApiErrno, TextsByNumberAndUnknownOutsideTheTable)
{
  struct {
    int n;
    const char *text;
  } rows[] = {{0, ""},
              {3, "Failed to load bootfile (qxrt.ql or qxds.ql)"},
              {6, "No or invalid query given"},
              {10, "Uncaught exception"},
              {15, "System error"},
              {16, "Unknown error"},
              {17, "Unknown error"},
              {18, "Memory Initialization Error"},
              {19, "Boot file of the wrong kind"},
              {20, "Unknown error"},
              {-1, "Unknown error"},
              {1000, "Unknown error"}};
  for (auto &row : rows) EXPECT_STREQ(QX_error_message(row.n), row.text) << row.n;
}

TEST(ApiErrno, SetAndGet)
{
  int saved = QX_get_errno();
  qx_set_errno(12);
  EXPECT_EQ(QX_get_errno(), 12);
  EXPECT_EQ(qxerrno, 12);
  qx_set_errno(saved);
}
