/* Internal hooks of the socket family, for its tests. */
#ifndef QXIO_SOCKET_INTERNAL_H
#define QXIO_SOCKET_INTERNAL_H

#include <netdb.h>

/* The name lookup behind every socket call: getaddrinfo unless a test replaces it. */
typedef int (*qxio_t_getaddrinfo_fun)(const char *node, const char *service,
                                      const struct addrinfo *hints, struct addrinfo **result);
extern qxio_t_getaddrinfo_fun qxio_socket_getaddrinfo;

#endif
