/* Stream sockets over TCP and Unix-domain paths: listening, accepting, a connect that waits
   through a descriptor event (so that it can be interrupted and limited in time), shutdown,
   abortive close, the host's own name and address comparison. Sockets are descriptors. */
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "qxio_internal.h"
#include "qxio_socket_internal.h"

qxio_t_getaddrinfo_fun qxio_socket_getaddrinfo = getaddrinfo;

namespace {

const int LISTEN_BACKLOG = 10;
const size_t UNIX_PATH_MAX_BYTES = 107;
const size_t HOST_TEXT_MAX = 1025;
const size_t SERVICE_TEXT_MAX = 32;

qxio_t_error_code socket_error(int error) { return qxio_map_unix_error(error, QXIO_E_OS_ERROR); }

qxio_t_error_code lookup_error(int failure, int error)
{
  switch (failure) {
  case EAI_NONAME:
  case EAI_NODATA:
  case EAI_AGAIN: return QXIO_E_NET_HOST_NOT_FOUND;
  case EAI_SYSTEM: return qxio_map_unix_error(error, QXIO_E_NET_ERROR);
  default: return QXIO_E_NET_ERROR;
  }
}

/* getaddrinfo for stream sockets over TCP, any family, with AI_ADDRCONFIG unless the system
   rejects that flag. */
qxio_t_error_code lookup(const char *node, const char *service, int flags, struct addrinfo **result)
{
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = flags | AI_ADDRCONFIG;
  *result = nullptr;
  int failure = qxio_socket_getaddrinfo(node, service, &hints, result);
  if (failure == EAI_BADFLAGS) {
    hints.ai_flags = flags;
    failure = qxio_socket_getaddrinfo(node, service, &hints, result);
  }
  if (failure == 0) return QXIO_S_NOERR;
  *result = nullptr;
  return lookup_error(failure, errno);
}

qxio_t_error_code set_status_flag(int fd, int flag, bool on)
{
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return socket_error(errno);
  int wanted = on ? (flags | flag) : (flags & ~flag);
  if (wanted != flags && fcntl(fd, F_SETFL, wanted) < 0) return socket_error(errno);
  return QXIO_S_NOERR;
}

qxio_t_error_code set_cloexec(int fd, bool on)
{
  int flags = fcntl(fd, F_GETFD);
  if (flags < 0) return socket_error(errno);
  int wanted = on ? (flags | FD_CLOEXEC) : (flags & ~FD_CLOEXEC);
  if (wanted != flags && fcntl(fd, F_SETFD, wanted) < 0) return socket_error(errno);
  return QXIO_S_NOERR;
}

qxio_t_error_code set_int_option(int fd, int level, int name, int value)
{
  if (setsockopt(fd, level, name, &value, sizeof value) != 0) return socket_error(errno);
  return QXIO_S_NOERR;
}

/* A Unix-domain address entry over the caller's sockaddr_un. */
qxio_t_error_code unix_entry(const char *path, struct sockaddr_un *address, struct addrinfo *entry)
{
  if (path == nullptr) return QXIO_E_PARAMETER_ERROR;
  size_t length = strlen(path);
  if (length > UNIX_PATH_MAX_BYTES) return QXIO_E_PARAMETER_ERROR;
  memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  memcpy(address->sun_path, path, length + 1);
  memset(entry, 0, sizeof *entry);
  entry->ai_family = AF_UNIX;
  entry->ai_socktype = SOCK_STREAM;
  entry->ai_addrlen = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + length + 1);
  entry->ai_addr = reinterpret_cast<struct sockaddr *>(address);
  return QXIO_S_NOERR;
}

/* Numeric host and service of an address. */
qxio_t_error_code numeric_name(const struct sockaddr *address, socklen_t length, char *host,
                               size_t host_size, char *service, size_t service_size)
{
  int failure = getnameinfo(address, length, host, static_cast<socklen_t>(host_size), service,
                            static_cast<socklen_t>(service_size), NI_NUMERICHOST | NI_NUMERICSERV);
  return failure == 0 ? QXIO_S_NOERR : lookup_error(failure, errno);
}

/* Writes the port a listening socket is bound to into the caller's service buffer; empty
   when it cannot be found or does not fit. */
void report_port(int fd, char *service, size_t capacity)
{
  if (capacity == 0 || service == nullptr) return;
  service[0] = '\0';
  struct sockaddr_storage address;
  socklen_t length = sizeof address;
  if (getsockname(fd, reinterpret_cast<struct sockaddr *>(&address), &length) != 0) return;
  if (address.ss_family != AF_INET && address.ss_family != AF_INET6) return;
  char host[HOST_TEXT_MAX], port[SERVICE_TEXT_MAX];
  if (numeric_name(reinterpret_cast<struct sockaddr *>(&address), length, host, sizeof host, port,
                   sizeof port) < 0)
    return;
  if (strlen(port) < capacity) memcpy(service, port, strlen(port) + 1);
}

/* Takes the lookup results in order and listens on the first IPv4 entry that works. */
qxio_t_error_code listen_on_entries(const struct addrinfo *entries, int *fd_out, uint32_t options)
{
  qxio_t_error_code last = 0;
  bool ipv4_failed = false;
  uint32_t create = QXIO_SOCKET_CREATE_BIND | QXIO_SOCKET_CREATE_LISTEN |
                    QXIO_SOCKET_CREATE_NONBLOCKING |
                    ((options & QXIO_SOCKET_REUSE) ? QXIO_SOCKET_CREATE_REUSEADDR : 0);
  for (const struct addrinfo *entry = entries; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET) {
      if (!ipv4_failed) last = QXIO_E_NOT_SUPPORTED;
      continue;
    }
    char host[HOST_TEXT_MAX], port[SERVICE_TEXT_MAX];
    qxio_t_error_code rc =
        numeric_name(entry->ai_addr, entry->ai_addrlen, host, sizeof host, port, sizeof port);
    if (rc >= 0) rc = qxio_socket_create(entry, fd_out, create);
    if (rc >= 0) return QXIO_S_NOERR;
    last = rc;
    ipv4_failed = true;
  }
  return last < 0 ? last : QXIO_E_INTERNAL_ERROR;
}

qxio_t_error_code tcp_listener(const char *node, const char *service, int *fd_out, uint32_t options)
{
  if (node != nullptr && node[0] == '\0') node = nullptr;
  if (service != nullptr && service[0] == '\0') service = nullptr;
  int flags = 0;
  if (options & QXIO_SOCKET_LOOPBACK)
    node = nullptr;
  else if (node == nullptr)
    flags |= AI_PASSIVE;
  if (options & QXIO_SOCKET_NUMERIC_HOST) flags |= AI_NUMERICHOST;
  if (options & QXIO_SOCKET_NUMERIC_SERVICE) flags |= AI_NUMERICSERV;
  if (node == nullptr && service == nullptr) {
    node = (options & QXIO_SOCKET_LOOPBACK) ? "127.0.0.1" : "0.0.0.0";
    flags |= AI_NUMERICHOST;
  }
  struct addrinfo *entries;
  qxio_t_error_code rc = lookup(node, service, flags, &entries);
  if (rc < 0) return rc;
  rc = listen_on_entries(entries, fd_out, options);
  freeaddrinfo(entries);
  return rc;
}

qxio_t_error_code unix_listener(const char *path, int *fd_out, uint32_t options)
{
  struct sockaddr_un address;
  struct addrinfo entry;
  qxio_t_error_code rc = unix_entry(path, &address, &entry);
  if (rc < 0) return rc;
  if (options & QXIO_SOCKET_REUSE) unlink(path);
  return qxio_socket_create(&entry, fd_out,
                            QXIO_SOCKET_CREATE_BIND | QXIO_SOCKET_CREATE_LISTEN |
                                QXIO_SOCKET_CREATE_NONBLOCKING);
}

/* ---- connecting ---- */

struct deadline {
  bool limited;
  struct timespec at; /* CLOCK_MONOTONIC */
};

deadline deadline_after(const qxio_t_timespec *timeout)
{
  deadline result = {timeout != nullptr, {0, 0}};
  if (timeout == nullptr) return result;
  clock_gettime(CLOCK_MONOTONIC, &result.at);
  result.at.tv_sec += timeout->sec + (result.at.tv_nsec + timeout->nsec) / 1000000000L;
  result.at.tv_nsec = (result.at.tv_nsec + timeout->nsec) % 1000000000L;
  return result;
}

/* The time left before the deadline; false when it has passed. */
bool time_left(const deadline *limit, qxio_t_timespec *left)
{
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  long long nsec = (static_cast<long long>(limit->at.tv_sec) - now.tv_sec) * 1000000000LL +
                   (limit->at.tv_nsec - now.tv_nsec);
  if (nsec <= 0) return false;
  left->sec = nsec / 1000000000LL;
  left->nsec = static_cast<long>(nsec % 1000000000LL);
  return true;
}

/* Waits until a connect in progress ends, then reads its outcome. */
qxio_t_error_code wait_connected(int fd, const deadline *limit)
{
  qxio_t_event *writable;
  qxio_t_error_code rc = qxio_fd_event_new(-1, fd, 0, &writable);
  if (rc < 0) return rc;
  do {
    qxio_t_timespec left;
    if (limit->limited && !time_left(limit, &left)) {
      rc = QXIO_E_NET_TIMEDOUT;
      break;
    }
    rc = qxio_event_wait(&writable, 1, limit->limited ? &left : nullptr);
  } while (rc == QXIO_E_TIMEOUT || rc == 0);
  qxio_event_free(writable);
  if (rc < 0) return rc;
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return socket_error(errno);
  return error == 0 ? QXIO_S_NOERR : socket_error(error);
}

/* One attempt: a non-blocking connect, waited for through a descriptor event. */
qxio_t_error_code connect_entry(const struct addrinfo *entry, const deadline *limit, int *fd_out)
{
  int fd = socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                  entry->ai_protocol);
  if (fd < 0) return socket_error(errno);
  qxio_t_error_code rc = QXIO_S_NOERR;
  if (connect(fd, entry->ai_addr, entry->ai_addrlen) != 0) {
    rc = (errno == EINPROGRESS || errno == EINTR) ? wait_connected(fd, limit) : socket_error(errno);
  }
  if (rc >= 0) rc = qxio_socket_cntl(fd, QXIO_SOCKET_BLOCKING);
  if (rc < 0) {
    close(fd);
    return rc;
  }
  *fd_out = fd;
  return QXIO_S_NOERR;
}

/* Tries the entries in order; an interrupt or the end of the time ends the walk. */
qxio_t_error_code connect_entries(const struct addrinfo *entries, const deadline *limit,
                                  int *fd_out)
{
  qxio_t_error_code last = QXIO_E_ERROR;
  for (const struct addrinfo *entry = entries; entry != nullptr; entry = entry->ai_next) {
    last = connect_entry(entry, limit, fd_out);
    if (last >= 0 || last == QXIO_E_INTERRUPTED || last == QXIO_E_NET_TIMEDOUT) break;
  }
  return last;
}

/* The accepted peer's host and service as new texts. */
qxio_t_error_code peer_texts(const struct sockaddr_storage *address, socklen_t length,
                             char **host_out, char **service_out)
{
  char host[HOST_TEXT_MAX] = "localhost", service[SERVICE_TEXT_MAX] = "";
  if (address->ss_family != AF_UNIX) {
    qxio_t_error_code rc = numeric_name(reinterpret_cast<const struct sockaddr *>(address), length,
                                        host, sizeof host, service, sizeof service);
    if (rc < 0) return rc;
  }
  if (host_out != nullptr && (*host_out = qxio_alloc_string(host)) == nullptr)
    return QXIO_E_OUT_OF_MEMORY;
  if (service_out != nullptr && (*service_out = qxio_alloc_string(service)) == nullptr)
    return QXIO_E_OUT_OF_MEMORY;
  return QXIO_S_NOERR;
}

void lower_case(char *text)
{
  for (char *p = text; *p != '\0'; p++) {
    if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p - 'A' + 'a');
  }
}

/* The system's host name in a buffer that doubles until the name fits. */
qxio_t_error_code read_hostname(char **name_out)
{
  for (size_t size = 256; size <= 65536; size *= 2) {
    char *name = static_cast<char *>(qxio_alloc(size));
    if (name == nullptr) return QXIO_E_OUT_OF_MEMORY;
    name[size - 1] = '\0';
    if (gethostname(name, size) == 0 && strlen(name) < size - 1) {
      *name_out = name;
      return QXIO_S_NOERR;
    }
    int error = errno;
    qxio_free(name);
    if (error != ENAMETOOLONG && error != EINVAL && error != 0) return socket_error(error);
  }
  return QXIO_E_INVALID_NAME;
}

/* The canonical name of a host name without a domain, or null when there is none. */
char *canonical_name(const char *name)
{
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_flags = AI_CANONNAME | AI_ADDRCONFIG;
  struct addrinfo *entries = nullptr;
  int failure = qxio_socket_getaddrinfo(name, nullptr, &hints, &entries);
  if (failure == EAI_BADFLAGS) {
    hints.ai_flags = AI_CANONNAME;
    failure = qxio_socket_getaddrinfo(name, nullptr, &hints, &entries);
  }
  if (failure != 0) return nullptr;
  char *canonical = nullptr;
  if (entries != nullptr && entries->ai_canonname != nullptr && entries->ai_canonname[0] != '\0')
    canonical = qxio_alloc_string(entries->ai_canonname);
  freeaddrinfo(entries);
  return canonical;
}

/* The host part of an IPv4 or IPv6 address; null for a record too short for its family. */
const void *host_part(const void *address, size_t length, size_t *size_out)
{
  sa_family_t family = static_cast<const struct sockaddr *>(address)->sa_family;
  if (family == AF_INET) {
    if (length < sizeof(struct sockaddr_in)) return nullptr;
    *size_out = sizeof(struct in_addr);
    return &static_cast<const struct sockaddr_in *>(address)->sin_addr;
  }
  if (length < sizeof(struct sockaddr_in6)) return nullptr;
  *size_out = sizeof(struct in6_addr);
  return &static_cast<const struct sockaddr_in6 *>(address)->sin6_addr;
}

}  // namespace

qxio_t_error_code qxio_socket_cntl(int fd, uint32_t bits)
{
  qxio_t_error_code rc = QXIO_S_NOERR;
  if (bits & QXIO_SOCKET_BLOCKING) rc = set_status_flag(fd, O_NONBLOCK, false);
  if (rc >= 0 && (bits & QXIO_SOCKET_NONBLOCKING)) rc = set_status_flag(fd, O_NONBLOCK, true);
  if (rc >= 0 && (bits & QXIO_SOCKET_NODELAY_OFF))
    rc = set_int_option(fd, IPPROTO_TCP, TCP_NODELAY, 0);
  if (rc >= 0 && (bits & QXIO_SOCKET_NODELAY_ON)) set_int_option(fd, IPPROTO_TCP, TCP_NODELAY, 1);
  if (rc >= 0 && (bits & QXIO_SOCKET_INHERITABLE)) rc = set_cloexec(fd, false);
  if (rc >= 0 && (bits & QXIO_SOCKET_CLOEXEC)) rc = set_cloexec(fd, true);
  if (rc >= 0 && (bits & QXIO_SOCKET_REUSEADDR))
    rc = set_int_option(fd, SOL_SOCKET, SO_REUSEADDR, 1);
  return rc;
}

qxio_t_error_code qxio_socket_create(const struct addrinfo *entry, int *fd_out, uint32_t options)
{
  if (entry == nullptr || fd_out == nullptr) return QXIO_E_PARAMETER_ERROR;
  int fd = socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                  entry->ai_protocol);
  if (fd < 0) return socket_error(errno);
  qxio_t_error_code rc = QXIO_S_NOERR;
  if (options & QXIO_SOCKET_CREATE_REUSEADDR) rc = set_int_option(fd, SOL_SOCKET, SO_REUSEADDR, 1);
  if (rc >= 0 && (options & QXIO_SOCKET_CREATE_BIND) &&
      bind(fd, entry->ai_addr, entry->ai_addrlen) != 0)
    rc = socket_error(errno);
  if (rc >= 0 && (options & QXIO_SOCKET_CREATE_LISTEN) && listen(fd, LISTEN_BACKLOG) != 0)
    rc = socket_error(errno);
  if (rc >= 0 && !(options & QXIO_SOCKET_CREATE_NONBLOCKING))
    rc = set_status_flag(fd, O_NONBLOCK, false);
  if (rc >= 0 && (options & QXIO_SOCKET_CREATE_INHERITABLE)) rc = set_cloexec(fd, false);
  if (rc < 0) {
    close(fd);
    return rc;
  }
  *fd_out = fd;
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_socket_listener(const char *node, char *service, size_t service_capacity,
                                       int *fd_out, uint32_t options)
{
  if (fd_out == nullptr) return QXIO_E_PARAMETER_ERROR;
  qxio_t_error_code rc = (options & QXIO_SOCKET_UNIX)
                             ? unix_listener(node, fd_out, options)
                             : tcp_listener(node, service, fd_out, options);
  if (rc < 0) return rc;
  report_port(*fd_out, service, service_capacity);
  return QXIO_S_NOERR;
}

/* The new socket is blocking, with TCP no-delay unless it is a Unix-domain socket; any
   failure after the accept closes it abortively. */
qxio_t_error_code qxio_socket_accept(int listener, char **host_out, char **service_out, int *fd_out,
                                     uint32_t options)
{
  if (fd_out == nullptr) return QXIO_E_PARAMETER_ERROR;
  if (host_out != nullptr) *host_out = nullptr;
  if (service_out != nullptr) *service_out = nullptr;
  struct sockaddr_storage address;
  socklen_t length;
  int fd;
  int flags = (options & QXIO_SOCKET_ACCEPT_INHERITABLE) ? 0 : SOCK_CLOEXEC;
  do {
    length = sizeof address;
    fd = accept4(listener, reinterpret_cast<struct sockaddr *>(&address), &length, flags);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return socket_error(errno);
  bool unix_peer = address.ss_family == AF_UNIX;
  qxio_t_error_code rc =
      qxio_socket_cntl(fd, QXIO_SOCKET_BLOCKING | (unix_peer ? 0 : QXIO_SOCKET_NODELAY_ON));
  if (rc >= 0) rc = peer_texts(&address, length, host_out, service_out);
  if (rc < 0) {
    if (host_out != nullptr) qxio_free(*host_out), *host_out = nullptr;
    if (service_out != nullptr) qxio_free(*service_out), *service_out = nullptr;
    qxio_socket_close(fd, QXIO_SOCKET_CLOSE_ABORTIVE);
    return rc;
  }
  *fd_out = fd;
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_socket_connect(const char *node, const char *service, int *fd_out,
                                      uint32_t options)
{
  return qxio_socket_connect_timeout(node, service, nullptr, fd_out, options);
}

qxio_t_error_code qxio_socket_connect_timeout(const char *node, const char *service,
                                              const qxio_t_timespec *timeout, int *fd_out,
                                              uint32_t options)
{
  if (fd_out == nullptr) return QXIO_E_PARAMETER_ERROR;
  if (timeout != nullptr && (timeout->sec < 0 || timeout->nsec < 0 || timeout->nsec > 999999999))
    return QXIO_E_PARAMETER_ERROR;
  deadline limit = deadline_after(timeout);
  int fd = -1;
  qxio_t_error_code rc;
  if (options & QXIO_SOCKET_CONNECT_UNIX) {
    struct sockaddr_un address;
    struct addrinfo entry;
    rc = unix_entry(node, &address, &entry);
    if (rc >= 0) rc = connect_entry(&entry, &limit, &fd);
  } else {
    struct addrinfo *entries;
    rc = lookup(node, service, 0, &entries);
    if (rc < 0) return rc;
    rc = connect_entries(entries, &limit, &fd);
    freeaddrinfo(entries);
    if (rc >= 0) rc = qxio_socket_cntl(fd, QXIO_SOCKET_NODELAY_ON);
  }
  if (rc >= 0) rc = qxio_socket_cntl(fd, QXIO_SOCKET_BLOCKING | QXIO_SOCKET_CLOEXEC);
  if (rc < 0) {
    if (fd >= 0) close(fd);
    return rc;
  }
  *fd_out = fd;
  return QXIO_S_NOERR;
}

/* A connection that is already gone counts as shut down. */
qxio_t_error_code qxio_socket_shutdown(int fd, uint32_t options)
{
  uint32_t sides = options & (QXIO_SOCKET_SHUT_READ | QXIO_SOCKET_SHUT_WRITE);
  if (sides == 0) return QXIO_S_NOERR;
  int how = sides == QXIO_SOCKET_SHUT_READ    ? SHUT_RD
            : sides == QXIO_SOCKET_SHUT_WRITE ? SHUT_WR
                                              : SHUT_RDWR;
  if (shutdown(fd, how) == 0) return QXIO_S_NOERR;
  qxio_t_error_code rc = socket_error(errno);
  return rc == QXIO_E_NET_CONNRESET ? QXIO_S_NOERR : rc;
}

qxio_t_error_code qxio_socket_close(int fd, uint32_t options)
{
  if (options & QXIO_SOCKET_CLOSE_ABORTIVE) {
    struct linger linger = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &linger, sizeof linger);
    close(fd);
    return QXIO_S_NOERR;
  }
  /* the descriptor is released even when close reports EINTR */
  if (close(fd) != 0 && errno != EINTR) return socket_error(errno);
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_hostname(char **name_out, uint32_t options)
{
  if (name_out == nullptr) return QXIO_E_PARAMETER_ERROR;
  char *name = nullptr;
  qxio_t_error_code rc = read_hostname(&name);
  if (rc < 0) return rc;
  if (strchr(name, '.') == nullptr) {
    char *canonical = canonical_name(name);
    if (canonical != nullptr) {
      qxio_free(name);
      name = canonical;
    }
  }
  lower_case(name);
  *name_out = name;
  return QXIO_S_NOERR;
}

qxio_t_error_code qxio_socket_addr_equal(const void *address_a, size_t length_a,
                                         const void *address_b, size_t length_b)
{
  if (address_a == nullptr || address_b == nullptr || length_a < sizeof(sa_family_t) ||
      length_b < sizeof(sa_family_t))
    return QXIO_E_PARAMETER_ERROR;
  sa_family_t family_a = static_cast<const struct sockaddr *>(address_a)->sa_family;
  sa_family_t family_b = static_cast<const struct sockaddr *>(address_b)->sa_family;
  bool known_a = family_a == AF_INET || family_a == AF_INET6;
  bool known_b = family_b == AF_INET || family_b == AF_INET6;
  if (!known_a || !known_b) return QXIO_E_NOT_SUPPORTED;
  if (family_a != family_b || length_a != length_b) return 0;
  size_t size_a, size_b;
  const void *host_a = host_part(address_a, length_a, &size_a);
  const void *host_b = host_part(address_b, length_b, &size_b);
  if (host_a == nullptr || host_b == nullptr) return QXIO_E_PARAMETER_ERROR;
  return memcmp(host_a, host_b, size_a) == 0 ? 1 : 0;
}

qxio_t_error_code qxio_init_socket(uint32_t deinit) { return QXIO_S_NOERR; }
