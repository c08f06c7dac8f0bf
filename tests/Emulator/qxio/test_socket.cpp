// Sockets on loopback only: TCP over 127.0.0.1 and ::1, Unix-domain sockets in a temporary
// directory. Oracles are the system's own view of the descriptors (getsockname, getsockopt,
// fcntl) and what the peer receives.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "process_test_util.h"
#include "qxio.h"
#include "qxio_socket_internal.h"

using qxio_test::loopback_pair;
using qxio_test::counts_back_to;
using qxio_test::resource_counts;
using qxio_test::temp_dir;

namespace {

class Socket : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_EQ(qxio_init(nullptr, nullptr, 0), 0); }
  void TearDown() override
  {
    qxio_socket_getaddrinfo = getaddrinfo;
    EXPECT_EQ(qxio_init(nullptr, nullptr, QXIO_INIT_SHUTDOWN), 0);
  }
};

int local_port(int fd)
{
  struct sockaddr_storage address;
  socklen_t length = sizeof address;
  if (getsockname(fd, reinterpret_cast<struct sockaddr *>(&address), &length) != 0) return -1;
  if (address.ss_family == AF_INET)
    return ntohs(reinterpret_cast<struct sockaddr_in *>(&address)->sin_port);
  return ntohs(reinterpret_cast<struct sockaddr_in6 *>(&address)->sin6_port);
}

bool is_cloexec(int fd) { return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }
bool is_nonblocking(int fd) { return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0; }
int int_option(int fd, int level, int name)
{
  int value = -1;
  socklen_t length = sizeof value;
  getsockopt(fd, level, name, &value, &length);
  return value;
}

bool wait_readable(int fd)
{
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, 10000) == 1;
}

// A loopback listener with the port it got.
struct listener {
  int fd = -1;
  char port[16] = "0";
  explicit listener(uint32_t options = QXIO_SOCKET_LOOPBACK | QXIO_SOCKET_NUMERIC_SERVICE)
  {
    EXPECT_EQ(qxio_socket_listener(nullptr, port, sizeof port, &fd, options), 0);
  }
  ~listener()
  {
    if (fd >= 0) close(fd);
  }
};

// ---- listening, accepting, connecting ----

TEST_F(Socket, ListenerReportsTheChosenPort)
{
  int fd = -1;
  char service[6] = "0";
  ASSERT_EQ(qxio_socket_listener(nullptr, service, sizeof service, &fd,
                                 QXIO_SOCKET_LOOPBACK | QXIO_SOCKET_NUMERIC_SERVICE),
            0);
  EXPECT_GT(atoi(service), 0);
  EXPECT_EQ(atoi(service), local_port(fd));
  EXPECT_TRUE(is_nonblocking(fd));
  EXPECT_TRUE(is_cloexec(fd));
  EXPECT_EQ(int_option(fd, SOL_SOCKET, SO_ACCEPTCONN), 1);
  close(fd);
}

TEST_F(Socket, ServiceBufferTooSmallForThePortIsLeftEmpty)
{
  int fd = -1;
  char service[3] = "0";
  ASSERT_EQ(qxio_socket_listener("127.0.0.1", service, sizeof service, &fd,
                                 QXIO_SOCKET_NUMERIC_HOST | QXIO_SOCKET_NUMERIC_SERVICE),
            0);
  EXPECT_STREQ(service, "");
  close(fd);
}

TEST_F(Socket, ConnectAndAcceptOverIPv4Loopback)
{
  loopback_pair pair;
  ASSERT_TRUE(pair.ok());
  EXPECT_EQ(pair.peer_host, "127.0.0.1");
  EXPECT_EQ(atoi(pair.peer_service.c_str()), local_port(pair.client));
  for (int fd : {pair.client, pair.accepted}) {
    EXPECT_FALSE(is_nonblocking(fd));
    EXPECT_TRUE(is_cloexec(fd));
    EXPECT_NE(int_option(fd, IPPROTO_TCP, TCP_NODELAY), 0);
  }
  ASSERT_EQ(write(pair.client, "ping", 4), 4);
  char reply[8] = "";
  EXPECT_EQ(read(pair.accepted, reply, sizeof reply), 4);
  EXPECT_STREQ(reply, "ping");
  EXPECT_EQ(qxio_socket_close(pair.client, 0), 0);
  EXPECT_EQ(qxio_socket_close(pair.accepted, 0), 0);
  pair.client = pair.accepted = -1;
}

TEST_F(Socket, AcceptCanMakeTheSocketInheritable)
{
  listener server;
  int client = -1, accepted = -1;
  ASSERT_EQ(qxio_socket_connect("127.0.0.1", server.port, &client, 0), 0);
  ASSERT_TRUE(wait_readable(server.fd));
  ASSERT_EQ(
      qxio_socket_accept(server.fd, nullptr, nullptr, &accepted, QXIO_SOCKET_ACCEPT_INHERITABLE),
      0);
  EXPECT_FALSE(is_cloexec(accepted));
  close(client);
  close(accepted);
}

TEST_F(Socket, AcceptWithoutAConnectionWouldBlock)
{
  listener server;
  int accepted = -1;
  EXPECT_EQ(qxio_socket_accept(server.fd, nullptr, nullptr, &accepted, 0), QXIO_E_WOULD_BLOCK);
  EXPECT_EQ(accepted, -1);
}

TEST_F(Socket, ConnectWorksOverIPv6Loopback)
{
  int server = socket(AF_INET6, SOCK_STREAM, 0);
  ASSERT_GE(server, 0);
  struct sockaddr_in6 address = {};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  ASSERT_EQ(bind(server, reinterpret_cast<struct sockaddr *>(&address), sizeof address), 0);
  ASSERT_EQ(listen(server, 4), 0);
  std::string port = std::to_string(local_port(server));
  int client = -1;
  ASSERT_EQ(qxio_socket_connect("::1", port.c_str(), &client, 0), 0);
  int accepted = accept(server, nullptr, nullptr);
  EXPECT_GE(accepted, 0);
  close(accepted);
  close(client);
  close(server);
}

TEST_F(Socket, ConnectToAClosedPortIsRefused)
{
  resource_counts before;
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(probe, reinterpret_cast<struct sockaddr *>(&address), sizeof address), 0);
  std::string port = std::to_string(local_port(probe));
  close(probe);
  int client = -1;
  EXPECT_EQ(qxio_socket_connect("127.0.0.1", port.c_str(), &client, 0), QXIO_E_NET_CONNREFUSED);
  EXPECT_TRUE(counts_back_to(before));
}

// A host that resolves only to IPv6 addresses, and a port in use.
TEST_F(Socket, ListenerFailuresLeaveNothingOpen)
{
  listener first;
  resource_counts before;
  const std::pair<const char *, const char *> cases[] = {{"::1", "0"}, {"127.0.0.1", first.port}};
  const qxio_t_error_code expected[] = {QXIO_E_NOT_SUPPORTED, QXIO_E_NET_ADDRINUSE};
  for (size_t i = 0; i < 2; i++) {
    int fd = -1;
    char service[16];
    strcpy(service, cases[i].second);
    EXPECT_EQ(qxio_socket_listener(cases[i].first, service, sizeof service, &fd,
                                   QXIO_SOCKET_NUMERIC_HOST | QXIO_SOCKET_NUMERIC_SERVICE),
              expected[i])
        << cases[i].first;
  }
  EXPECT_TRUE(counts_back_to(before));
}

TEST_F(Socket, ReuseOptionSetsReuseAddress)
{
  listener plain;
  listener reusing(QXIO_SOCKET_LOOPBACK | QXIO_SOCKET_NUMERIC_SERVICE | QXIO_SOCKET_REUSE);
  EXPECT_EQ(int_option(plain.fd, SOL_SOCKET, SO_REUSEADDR), 0);
  EXPECT_NE(int_option(reusing.fd, SOL_SOCKET, SO_REUSEADDR), 0);
}

// ---- shutdown and close ----

TEST_F(Socket, ShutdownOfWritingGivesThePeerEndOfFile)
{
  loopback_pair pair;
  ASSERT_TRUE(pair.ok());
  EXPECT_EQ(qxio_socket_shutdown(pair.client, 0), 0);
  ASSERT_EQ(write(pair.client, "x", 1), 1);  // neither side asked: nothing was shut down
  EXPECT_EQ(qxio_socket_shutdown(pair.client, QXIO_SOCKET_SHUT_WRITE), 0);
  char byte;
  EXPECT_EQ(read(pair.accepted, &byte, 1), 1);
  EXPECT_EQ(read(pair.accepted, &byte, 1), 0);
  // the peer can still send to the client
  ASSERT_EQ(write(pair.accepted, "y", 1), 1);
  EXPECT_EQ(read(pair.client, &byte, 1), 1);
  EXPECT_EQ(byte, 'y');
}

TEST_F(Socket, ShutdownOfAConnectionAlreadyGoneSucceeds)
{
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(qxio_socket_shutdown(fd, QXIO_SOCKET_SHUT_READ | QXIO_SOCKET_SHUT_WRITE), 0);
  close(fd);
}

TEST_F(Socket, AbortiveCloseIsSeenByThePeerAsAReset)
{
  loopback_pair pair;
  ASSERT_TRUE(pair.ok());
  EXPECT_EQ(qxio_socket_close(pair.accepted, QXIO_SOCKET_CLOSE_ABORTIVE), 0);
  pair.accepted = -1;
  ASSERT_TRUE(wait_readable(pair.client));
  char byte;
  errno = 0;
  EXPECT_EQ(read(pair.client, &byte, 1), -1);
  EXPECT_EQ(errno, ECONNRESET);
}

TEST_F(Socket, OrderlyCloseGivesThePeerEndOfFile)
{
  loopback_pair pair;
  ASSERT_TRUE(pair.ok());
  EXPECT_EQ(qxio_socket_close(pair.accepted, 0), 0);
  pair.accepted = -1;
  char byte;
  EXPECT_EQ(read(pair.client, &byte, 1), 0);
  EXPECT_EQ(qxio_socket_close(-1, 0), QXIO_E_FILE_NOT_FOUND);
}

// ---- Unix-domain sockets ----

TEST_F(Socket, UnixListenerAcceptsAsLocalhost)
{
  temp_dir dir;
  std::string path = dir.file("socket");
  int server = -1, client = -1;
  char service[8] = "x";
  ASSERT_EQ(qxio_socket_listener(path.c_str(), service, sizeof service, &server, QXIO_SOCKET_UNIX),
            0);
  EXPECT_STREQ(service, "");
  ASSERT_EQ(qxio_socket_connect(path.c_str(), nullptr, &client, QXIO_SOCKET_CONNECT_UNIX), 0);
  EXPECT_FALSE(is_nonblocking(client));
  EXPECT_TRUE(is_cloexec(client));
  ASSERT_TRUE(wait_readable(server));
  char *host = nullptr, *peer_service = nullptr;
  int accepted = -1;
  ASSERT_EQ(qxio_socket_accept(server, &host, &peer_service, &accepted, 0), 0);
  EXPECT_STREQ(host, "localhost");
  EXPECT_STREQ(peer_service, "");
  EXPECT_FALSE(is_nonblocking(accepted));
  ASSERT_EQ(write(client, "u", 1), 1);
  char byte;
  EXPECT_EQ(read(accepted, &byte, 1), 1);
  qxio_free(host);
  qxio_free(peer_service);
  close(accepted);
  close(client);
  close(server);
}

TEST_F(Socket, UnixListenerReplacesAStaleFileOnlyWhenAsked)
{
  temp_dir dir;
  std::string path = dir.file("stale");
  int file = open(path.c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(file, 0);
  close(file);
  resource_counts before;
  int server = -1;
  EXPECT_EQ(qxio_socket_listener(path.c_str(), nullptr, 0, &server, QXIO_SOCKET_UNIX),
            QXIO_E_NET_ADDRINUSE);
  EXPECT_TRUE(counts_back_to(before));
  EXPECT_EQ(
      qxio_socket_listener(path.c_str(), nullptr, 0, &server, QXIO_SOCKET_UNIX | QXIO_SOCKET_REUSE),
      0);
  close(server);
}

TEST_F(Socket, UnixPathsUpTo107BytesAreAccepted)
{
  temp_dir dir;
  std::string path = dir.path + "/";
  path.append(107 - path.size(), 'p');
  ASSERT_EQ(path.size(), 107u);
  std::string too_long = path + "q";
  resource_counts before;
  int server = -1, client = -1;
  EXPECT_EQ(qxio_socket_listener(too_long.c_str(), nullptr, 0, &server, QXIO_SOCKET_UNIX),
            QXIO_E_PARAMETER_ERROR);
  EXPECT_EQ(qxio_socket_connect(too_long.c_str(), nullptr, &client, QXIO_SOCKET_CONNECT_UNIX),
            QXIO_E_PARAMETER_ERROR);
  EXPECT_TRUE(counts_back_to(before));
  ASSERT_EQ(qxio_socket_listener(path.c_str(), nullptr, 0, &server, QXIO_SOCKET_UNIX), 0);
  EXPECT_EQ(qxio_socket_connect(path.c_str(), nullptr, &client, QXIO_SOCKET_CONNECT_UNIX), 0);
  close(client);
  close(server);
}

// ---- name lookups ----

// A lookup that rejects AI_ADDRCONFIG, as some systems do, and counts its calls.
std::atomic<int> lookups{0};
std::atomic<int> lookups_with_addrconfig{0};
int lookup_rejecting_addrconfig(const char *node, const char *service, const struct addrinfo *hints,
                                struct addrinfo **result)
{
  lookups++;
  if (hints != nullptr && (hints->ai_flags & AI_ADDRCONFIG)) {
    lookups_with_addrconfig++;
    return EAI_BADFLAGS;
  }
  return getaddrinfo(node, service, hints, result);
}

TEST_F(Socket, LookupIsRetriedWithoutAddrconfigOnBadFlags)
{
  lookups = 0;
  lookups_with_addrconfig = 0;
  qxio_socket_getaddrinfo = lookup_rejecting_addrconfig;
  listener server;
  EXPECT_EQ(lookups, 2);
  EXPECT_EQ(lookups_with_addrconfig, 1);
  int client = -1;
  ASSERT_EQ(qxio_socket_connect("127.0.0.1", server.port, &client, 0), 0);
  EXPECT_EQ(lookups, 4);
  EXPECT_EQ(lookups_with_addrconfig, 2);
  close(client);
}

int failing_errno = 0;
int lookup_failing(const char *, const char *, const struct addrinfo *, struct addrinfo **)
{
  errno = EACCES;
  return failing_errno;
}

TEST_F(Socket, LookupFailuresMapToNetworkErrors)
{
  resource_counts before;
  qxio_socket_getaddrinfo = lookup_failing;
  const std::pair<int, qxio_t_error_code> cases[] = {
      {EAI_NONAME, QXIO_E_NET_HOST_NOT_FOUND}, {EAI_NODATA, QXIO_E_NET_HOST_NOT_FOUND},
      {EAI_AGAIN, QXIO_E_NET_HOST_NOT_FOUND},  {EAI_FAIL, QXIO_E_NET_ERROR},
      {EAI_SERVICE, QXIO_E_NET_ERROR},         {EAI_SYSTEM, QXIO_E_PERMISSION_ERROR}};
  for (const auto &c : cases) {
    failing_errno = c.first;
    int fd = -1;
    EXPECT_EQ(qxio_socket_connect("unresolvable.invalid", "80", &fd, 0), c.second) << c.first;
    char service[8] = "80";
    EXPECT_EQ(qxio_socket_listener("unresolvable.invalid", service, sizeof service, &fd, 0),
              c.second);
  }
  EXPECT_TRUE(counts_back_to(before));
}

TEST_F(Socket, UnresolvableNamesAreReportedWithoutLeaks)
{
  resource_counts before;
  int fd = -1;
  char service[8] = "0";
  // a name where a numeric host is required, and an unknown service: no network involved
  EXPECT_EQ(qxio_socket_listener("not-a-number", service, sizeof service, &fd,
                                 QXIO_SOCKET_NUMERIC_HOST | QXIO_SOCKET_NUMERIC_SERVICE),
            QXIO_E_NET_HOST_NOT_FOUND);
  EXPECT_LT(qxio_socket_connect("127.0.0.1", "no-such-service-qxio", &fd, 0), 0);
  EXPECT_TRUE(counts_back_to(before));
}

TEST_F(Socket, HostnameIsTheSystemNameLowerCased)
{
  struct utsname names;
  ASSERT_EQ(uname(&names), 0);
  std::string expected = names.nodename;
  for (char &c : expected) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  char *name = nullptr;
  ASSERT_EQ(qxio_hostname(&name, 0), 0);
  std::string got = name;
  qxio_free(name);
  for (char c : got) EXPECT_FALSE(c >= 'A' && c <= 'Z') << got;
  if (expected.find('.') != std::string::npos)
    EXPECT_EQ(got, expected);
  else  // the canonical name, which begins with the short one
    EXPECT_EQ(got.substr(0, expected.size()), expected);
}

// ---- addresses and control bits ----

struct sockaddr_in ipv4(const char *host, int port)
{
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, host, &address.sin_addr);
  return address;
}

TEST_F(Socket, AddressesCompareByHostOnly)
{
  struct sockaddr_in a = ipv4("127.0.0.1", 80), b = ipv4("127.0.0.1", 8080),
                     c = ipv4("10.0.0.1", 80);
  EXPECT_EQ(qxio_socket_addr_equal(&a, sizeof a, &b, sizeof b), 1);
  EXPECT_EQ(qxio_socket_addr_equal(&a, sizeof a, &c, sizeof c), 0);
  struct sockaddr_in6 six_a = {}, six_b = {};
  six_a.sin6_family = six_b.sin6_family = AF_INET6;
  six_a.sin6_addr = six_b.sin6_addr = in6addr_loopback;
  six_b.sin6_port = htons(9);
  EXPECT_EQ(qxio_socket_addr_equal(&six_a, sizeof six_a, &six_b, sizeof six_b), 1);
  EXPECT_EQ(qxio_socket_addr_equal(&a, sizeof a, &six_a, sizeof six_a), 0);
  struct sockaddr_un local = {};
  local.sun_family = AF_UNIX;
  EXPECT_EQ(qxio_socket_addr_equal(&a, sizeof a, &local, sizeof local), QXIO_E_NOT_SUPPORTED);
}

TEST_F(Socket, ControlBitsSetBlockingDelayInheritanceAndReuse)
{
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(qxio_socket_cntl(fd, QXIO_SOCKET_NONBLOCKING | QXIO_SOCKET_NODELAY_ON |
                                     QXIO_SOCKET_CLOEXEC | QXIO_SOCKET_REUSEADDR),
            0);
  EXPECT_TRUE(is_nonblocking(fd));
  EXPECT_TRUE(is_cloexec(fd));
  EXPECT_NE(int_option(fd, IPPROTO_TCP, TCP_NODELAY), 0);
  EXPECT_NE(int_option(fd, SOL_SOCKET, SO_REUSEADDR), 0);
  EXPECT_EQ(qxio_socket_cntl(fd, QXIO_SOCKET_BLOCKING | QXIO_SOCKET_NODELAY_OFF |
                                     QXIO_SOCKET_INHERITABLE),
            0);
  EXPECT_FALSE(is_nonblocking(fd));
  EXPECT_FALSE(is_cloexec(fd));
  EXPECT_EQ(int_option(fd, IPPROTO_TCP, TCP_NODELAY), 0);
  close(fd);
}

TEST_F(Socket, CreateFromAnAddressEntry)
{
  struct sockaddr_in address = ipv4("127.0.0.1", 0);
  struct addrinfo entry = {};
  entry.ai_family = AF_INET;
  entry.ai_socktype = SOCK_STREAM;
  entry.ai_protocol = IPPROTO_TCP;
  entry.ai_addr = reinterpret_cast<struct sockaddr *>(&address);
  entry.ai_addrlen = sizeof address;
  int fd = -1;
  ASSERT_EQ(qxio_socket_create(&entry, &fd,
                               QXIO_SOCKET_CREATE_BIND | QXIO_SOCKET_CREATE_LISTEN |
                                   QXIO_SOCKET_CREATE_INHERITABLE),
            0);
  EXPECT_FALSE(is_nonblocking(fd));
  EXPECT_FALSE(is_cloexec(fd));
  EXPECT_GT(local_port(fd), 0);
  EXPECT_EQ(int_option(fd, SOL_SOCKET, SO_ACCEPTCONN), 1);
  close(fd);
}

// ---- a connect that cannot finish: time-out and interrupt ----

// A listener with a backlog of 0 whose queue the test fills, so that the next connect stays
// in progress (the system drops its handshake).
struct full_listener {
  int fd = -1;
  std::string port;
  std::vector<int> queued;
  full_listener()
  {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address = ipv4("127.0.0.1", 0);
    bind(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address);
    listen(fd, 0);
    port = std::to_string(local_port(fd));
  }
  ~full_listener()
  {
    for (int q : queued) close(q);
    close(fd);
  }
};

TEST_F(Socket, ConnectHonoursItsTimeout)
{
  full_listener server;
  resource_counts before;
  qxio_t_timespec timeout = {0, 300000000};
  qxio_t_error_code rc = 0;
  for (int attempt = 0; attempt < 8 && rc == 0; attempt++) {
    int fd = -1;
    rc = qxio_socket_connect_timeout("127.0.0.1", server.port.c_str(), &timeout, &fd, 0);
    if (rc == 0) server.queued.push_back(fd);
  }
  EXPECT_EQ(rc, QXIO_E_NET_TIMEDOUT);
  for (int q : server.queued) close(q);
  server.queued.clear();
  EXPECT_TRUE(counts_back_to(before));
}

TEST_F(Socket, ConnectIsInterruptible)
{
  full_listener server;
  qxio_t_timespec timeout = {0, 300000000};
  qxio_t_error_code rc = 0;
  while (rc == 0 && server.queued.size() < 8) {
    int fd = -1;
    rc = qxio_socket_connect_timeout("127.0.0.1", server.port.c_str(), &timeout, &fd, 0);
    if (rc == 0) server.queued.push_back(fd);
  }
  ASSERT_EQ(rc, QXIO_E_NET_TIMEDOUT);
  resource_counts before;
  int fd = -1;
  {
    qxio_test::interrupter signals;
    rc = qxio_socket_connect("127.0.0.1", server.port.c_str(), &fd, 0);
  }
  EXPECT_EQ(rc, QXIO_E_INTERRUPTED);
  EXPECT_TRUE(counts_back_to(before));
}

}  // namespace
