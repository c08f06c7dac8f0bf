/* The floor of a start: a program that only starts and stops the I/O library. */
#include "qxio.h"

int main()
{
  if (qxio_init(nullptr, nullptr, 0) != 0) return 1;
  qxio_init(nullptr, nullptr, QXIO_INIT_SHUTDOWN);
  return 0;
}
