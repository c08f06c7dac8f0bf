/* Platform configuration: 32-bit x86 Linux with glibc. */
#ifndef QX_CONFIG_H
#define QX_CONFIG_H

#define QX_PLATFORM_NAME "x86-linux-glibc2.7"
#define QX_ARCH_LITTLE_ENDIAN 1
#define QX_PAGE_SIZE_DEFAULT 4096
#define QX_HAVE_MREMAP 1
#define QX_HAVE_POLL 1
#define QX_HAVE_PIPE2 1
#define QX_HAVE_CLOSE_RANGE_SYSCALL 1

#endif
