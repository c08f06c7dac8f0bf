/* A foreign resource built as a shared object whose init function makes a stream over a device of
 * its own and writes "hi" to it without closing it. The device appends what it is given to the
 * file named by the environment variable QX_STREAM_RES_FILE, its close appends "[close]" and the
 * deinit function "[deinit N]", so the file shows what reached the object and in what order. It
 * is loaded under the name streamres, whose entry function is qx_main_QXENV_streamres. */
#define QX_RESOURCE_API res_api
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "orvalis.h"
#include "resource_entry.h"
#include "support.h"

namespace {

ORVALIS_API_STRUCT *res_api;
int device_data; /* the device's user data: any non-null address */
const char device_class[] = "streamres";

void append(const void *bytes, size_t size)
{
  const char *path = std::getenv("QX_STREAM_RES_FILE");
  int fd = path ? open(path, O_WRONLY | O_APPEND | O_CREAT, 0600) : -1;
  if (fd < 0) return;
  (void)!write(fd, bytes, size);
  close(fd);
}
void append(const char *text) { append(text, std::strlen(text)); }

int device_write(void *, const void *data, size_t *size, uint32_t)
{
  append(data, *size);
  return 0;
}

int device_close(void **user_data, uint32_t)
{
  append("[close]");
  *user_data = nullptr;
  return 0;
}

/* With the reason 99 it fails once "hi" is written. */
void res_init(ORVALIS_API_STRUCT *api, int reason)
{
  res_api = api;
  QX_stream *s = nullptr;
  if (QX_create_stream(&device_data, device_class, nullptr, device_write, nullptr, nullptr,
                       device_close, nullptr, nullptr, nullptr, QX_CS_BINARY, &s) != 0 ||
      QX_put_bytes(s, (const unsigned char *)"hi", 2, 0) != 0 || reason == 99)
    QX_fail();
}

void res_deinit(ORVALIS_API_STRUCT *, int reason)
{
  char text[32];
  std::snprintf(text, sizeof text, "[deinit %d]", reason);
  append(text);
}

void (*const funcs[])() = {nullptr};
const char *const names[] = {nullptr};
const int arities[] = {0};

}  // namespace

extern "C" __attribute__((visibility("default"))) int
qx_main_QXENV_streamres(QX_MAINFUN_PARAMS_STRUCT *p)
{
  return fill_resource_entry(p, funcs, names, arities, res_init, res_deinit);
}
