/* Socket streams over loopback TCP and Unix-domain sockets: listening, connecting, accepting,
 * text each way, argument errors, failures that must leave no descriptor, the wait of accept,
 * and the host name. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <time.h>

#include <cstdlib>
#include <thread>
#include <vector>

#include "stream_fixture.h"
#include "scratch_root.h"

namespace {

constexpr int64_t TEXT = 0x4000, BINARY = 0x800, EOF_CODE = 0x200, AUTOFLUSH = 0x8000;
constexpr int64_t UNIX_FIELD = 0x300000;
constexpr int64_t LOOPBACK = 0x1;

int bound_port(int fd)
{
  sockaddr_in a{};
  socklen_t n = sizeof a;
  getsockname(fd, (sockaddr *)&a, &n);
  return ntohs(a.sin_port);
}

double cpu_seconds()
{
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

class SocketStreamTest : public StreamTest {
protected:
  SocketStreamTest()
  {
    for (const qx_pred_row *r = qx_stream_socket_rows; r->name; r++)
      qx_define_native(qx_eg.prolog_module, r->name, r->arity, r->function, r->retry, r->kind);
  }

  TAGGED utf8() { return p.compound("encoding", {at("UTF-8"), at("default"), at("default")}); }

  /* A listener: its descriptor and the port atom's text. */
  int listen(TAGGED host, int64_t options, std::string *port)
  {
    TAGGED port_var = fresh(), socket = fresh();
    bi_call r = call("$socket_listen", {host, port_var, num(options), fresh(), socket});
    EXPECT_EQ(r.rc, 1) << r.message;
    if (r.rc != 1) return -1;
    *port = atom_name(deref(port_var));
    return GetSmall(deref(socket));
  }

  QX_stream *open(TAGGED host, TAGGED port, int64_t options, TAGGED encoding)
  {
    TAGGED out = fresh();
    bi_call r = call("$socket_open", {host, port, num(options), encoding, out});
    EXPECT_EQ(r.rc, 1) << r.message;
    return r.rc == 1 ? stream_to_ptr(out, 0, 0) : nullptr;
  }

  QX_stream *accept(int fd, int64_t options, TAGGED encoding, std::string *host,
                    std::string *service)
  {
    TAGGED h = fresh(), s = fresh(), out = fresh();
    bi_call r = call("$socket_accept", {num(fd), num(options), encoding, h, s, out});
    EXPECT_EQ(r.rc, 1) << r.message;
    if (r.rc != 1) return nullptr;
    *host = atom_name(deref(h));
    *service = atom_name(deref(s));
    return stream_to_ptr(out, 0, 0);
  }

  /* The codes of one line, its line feed included. */
  static std::vector<int> line(QX_stream *s)
  {
    std::vector<int> codes;
    for (int c; (c = qx_get_code_helper(s, 0)) >= 0;) {
      codes.push_back(c);
      if (c == '\n') break;
    }
    return codes;
  }

  static void send(QX_stream *s, const std::vector<int> &codes)
  {
    std::vector<uint32_t> items(codes.begin(), codes.end());
    EXPECT_EQ(QX_put_codes(s, items.data(), items.size(), 0), 0);
    EXPECT_EQ(qx_flush_output(s, 0), 0);
  }
};

/* Connects to 127.0.0.1:port with plain calls, after the delay; holds the socket until asked. */
struct plain_client {
  int fd = -1;
  std::thread thread;
  plain_client(int port, int delay_ms)
      : thread([this, port, delay_ms] {
          timespec pause{delay_ms / 1000, (delay_ms % 1000) * 1000000L};
          nanosleep(&pause, nullptr);
          int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
          sockaddr_in a{};
          a.sin_family = AF_INET;
          a.sin_port = htons((uint16_t)port);
          a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
          connect(s, (sockaddr *)&a, sizeof a);
          fd = s;
        })
  {}
  ~plain_client()
  {
    thread.join();
    close(fd);
  }
};

}  // namespace

TEST_F(SocketStreamTest, ListenOnAnyPortThenConnectAcceptAndOneUtf8LineEachWay)
{
  std::string port;
  int listener = listen(at("ignored"), LOOPBACK, &port);
  ASSERT_GE(listener, 0);
  EXPECT_NE(std::atoi(port.c_str()), 0);
  EXPECT_EQ(std::atoi(port.c_str()), bound_port(listener)) << "the port reported is the bound one";
  /* The port named by its atom and by its integer. */
  for (TAGGED port_term : {at(port.c_str()), num(std::atoi(port.c_str()))}) {
    QX_stream *client = open(at("127.0.0.1"), port_term, TEXT | EOF_CODE | AUTOFLUSH, utf8());
    ASSERT_NE(client, nullptr);
    uint32_t want = QX_SM_INPUT | QX_SM_OUTPUT | QX_SM_TEXT | QX_SM_EOF_CODE | QX_SM_AUTOFLUSH;
    EXPECT_EQ(client->mode & want, want);
    std::string host, service;
    QX_stream *server = accept(listener, TEXT, utf8(), &host, &service);
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(host, "127.0.0.1");
    EXPECT_GT(std::atoi(service.c_str()), 0);
    std::vector<int> there = {'h', 0xE9, ' ', 0x1F600, '\n'}, back = {'o', 'k', 0x20AC, '\n'};
    send(client, there);
    EXPECT_EQ(line(server), there);
    send(server, back);
    EXPECT_EQ(line(client), back);
    EXPECT_EQ(qx_fclose_internal(client, 0), 2);
    EXPECT_EQ(qx_get_code_helper(server, 0), -1) << "the peer's close is end of file";
    EXPECT_EQ(qx_fclose_internal(server, 0), 2);
  }
  EXPECT_EQ(call("$socket_close", {num(listener)}).rc, 1);
  EXPECT_EQ(fcntl(listener, F_GETFD), -1);
}

TEST_F(SocketStreamTest, UnixDomainField)
{
  std::string dir = qx_scratch_mkdtemp("qx_sock");
  ASSERT_NE(dir, "");
  std::string path = dir + "/s";
  std::string port;
  int listener = listen(at(path.c_str()), UNIX_FIELD, &port);
  ASSERT_GE(listener, 0);
  QX_stream *client = open(at(path.c_str()), at(""), UNIX_FIELD | BINARY | TEXT, atom_nil);
  ASSERT_NE(client, nullptr);
  EXPECT_TRUE(client->mode & QX_SM_BINARY) << "binary wins over text";
  std::string host, service;
  QX_stream *server = accept(listener, BINARY, atom_nil, &host, &service);
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(host, "localhost");
  EXPECT_EQ(service, "");
  const unsigned char bytes[] = {0, 0xFF, '\n'};
  EXPECT_EQ(QX_put_bytes(client, bytes, 3, 0), 0);
  EXPECT_EQ(qx_flush_output(client, 0), 0);
  for (unsigned char b : bytes) EXPECT_EQ(qx_get_byte_helper(server, 0), b);
  qx_fclose_internal(client, 0);
  qx_fclose_internal(server, 0);
  call("$socket_close", {num(listener)});
  unlink(path.c_str());
  rmdir(dir.c_str());
}

TEST_F(SocketStreamTest, ArgumentErrorsRaiseOnArgumentOne)
{
  std::string port;
  int listener = listen(at(""), LOOPBACK, &port);
  ASSERT_GE(listener, 0);
  TAGGED host = at("127.0.0.1"), p80 = num(80);
  std::string parameter = qxio_error_name(QXIO_E_PARAMETER_ERROR);
  struct {
    const char *what, *name;
    std::vector<TAGGED> args;
    std::string message;
  } cases[] = {
      {"open, no kind", "$socket_open", {host, p80, num(AUTOFLUSH), atom_nil, fresh()}, parameter},
      {"open, negative", "$socket_open", {host, p80, num(-TEXT), atom_nil, fresh()}, parameter},
      {"open, options",
       "$socket_open",
       {host, p80, at("text"), atom_nil, fresh()},
       "internal error"},
      {"open, port",
       "$socket_open",
       {host, p.compound("p", {p80}), num(TEXT), atom_nil, fresh()},
       "internal error"},
      {"open, unbound port",
       "$socket_open",
       {host, fresh(), num(TEXT), atom_nil, fresh()},
       "internal error"},
      {"open, host", "$socket_open", {num(1), p80, num(TEXT), atom_nil, fresh()}, "internal error"},
      {"accept, no kind",
       "$socket_accept",
       {num(listener), num(0), atom_nil, fresh(), fresh(), fresh()},
       parameter},
      {"accept, negative",
       "$socket_accept",
       {num(listener), num(-BINARY), atom_nil, fresh(), fresh(), fresh()},
       parameter},
      {"accept, options",
       "$socket_accept",
       {num(listener), at("x"), atom_nil, fresh(), fresh(), fresh()},
       "internal error"},
      {"accept, socket",
       "$socket_accept",
       {at("s"), num(BINARY), atom_nil, fresh(), fresh(), fresh()},
       "internal error"},
      {"listen, host",
       "$socket_listen",
       {num(1), fresh(), num(1), fresh(), fresh()},
       "internal error"},
  };
  rows_kept kept(cases);
  for (auto &c : cases) {
    bi_call r = call(c.name, c.args);
    EXPECT_TRUE(r.raised) << c.what;
    EXPECT_EQ(r.argument, 1) << c.what;
    EXPECT_EQ(r.message, c.message) << c.what;
  }
  call("$socket_close", {num(listener)});
}

TEST_F(SocketStreamTest, FailuresGiveTheLibraryCodesAndLeaveNoDescriptorOpen)
{
  std::string port;
  int listener = listen(at(""), LOOPBACK, &port);
  ASSERT_GE(listener, 0);
  std::string long31(31, 'p'), long32(32, 'p');
  TAGGED host = at("127.0.0.1");
  struct {
    const char *what, *name;
    TAGGED host, port;
    int64_t options;
    int code;
  } cases[] = {
      {"open, port of 32", "$socket_open", host, at(long32.c_str()), TEXT, QXIO_E_PARAMETER_ERROR},
      {"open, unknown port of 31", "$socket_open", host, at(long31.c_str()), TEXT,
       QXIO_E_NET_ERROR},
      {"listen, port of 32", "$socket_listen", host, at(long32.c_str()), 0, QXIO_E_PARAMETER_ERROR},
      {"open, unknown host", "$socket_open", at("no-such-host.invalid"), at(port.c_str()), TEXT,
       QXIO_E_NET_HOST_NOT_FOUND},
      {"listen, unknown host", "$socket_listen", at("no-such-host.invalid"), num(0), 0,
       QXIO_E_NET_HOST_NOT_FOUND},
      {"listen, port in use", "$socket_listen", host, at(port.c_str()), 0, QXIO_E_NET_ADDRINUSE},
  };
  int before = open_fds();
  for (const auto &c : cases) {
    bi_call r = call(c.name, {c.host, c.port, num(c.options), atom_nil, fresh()});
    EXPECT_TRUE(r.raised) << c.what;
    EXPECT_EQ(r.argument, 1) << c.what;
    EXPECT_EQ(r.message, qxio_error_name(c.code)) << c.what;
    EXPECT_EQ(open_fds(), before) << c.what;
  }
  /* $socket_close of anything but an integer does nothing. */
  for (TAGGED t : {at("x"), fresh(), p.compound("f", {num(listener)})}) {
    EXPECT_EQ(call("$socket_close", {t}).rc, 1);
    EXPECT_EQ(open_fds(), before);
  }
  /* A Socket argument that does not unify: the listener made is closed again. */
  EXPECT_EQ(call("$socket_listen", {at(""), fresh(), num(LOOPBACK), fresh(), at("no")}).rc, 0);
  EXPECT_EQ(open_fds(), before);
  call("$socket_close", {num(listener)});
  EXPECT_EQ(open_fds(), before - 1);
}

TEST_F(SocketStreamTest, AcceptWaitsInSelectWithoutSpinningAndAnInterruptEndsIt)
{
  std::string port;
  int listener = listen(at(""), LOOPBACK, &port);
  ASSERT_GE(listener, 0);
  /* Half a second until a client comes: a busy wait would burn most of it. */
  std::string host, service;
  double cpu_before = cpu_seconds();
  QX_stream *server = nullptr;
  {
    plain_client client(std::atoi(port.c_str()), 500);
    server = accept(listener, BINARY, atom_nil, &host, &service);
  }
  double cpu_used = cpu_seconds() - cpu_before;
  ASSERT_NE(server, nullptr);
  EXPECT_LT(cpu_used, 0.15);
  EXPECT_EQ(qx_get_byte_helper(server, 0), -1) << "the client has gone";
  qx_fclose_internal(server, 0);

  /* An interrupt with no client pending ends the call with the error; the listener stays. */
  int before = open_fds();
  qxio_interrupt();
  bi_call r =
      call("$socket_accept", {num(listener), num(TEXT), atom_nil, fresh(), fresh(), fresh()});
  EXPECT_TRUE(r.raised);
  EXPECT_EQ(r.argument, 1);
  EXPECT_EQ(r.message, "interrupted");
  EXPECT_EQ(open_fds(), before);
  {
    plain_client client(std::atoi(port.c_str()), 0);
    server = accept(listener, TEXT, atom_nil, &host, &service);
  }
  ASSERT_NE(server, nullptr);
  qx_fclose_internal(server, 0);
  call("$socket_close", {num(listener)});
}

TEST_F(SocketStreamTest, HostnameSplitsAtTheFirstDot)
{
  struct {
    const char *set, *host, *domain;
  } cases[] = {
      {"Build-01.Lab.Example.org", "build-01.lab.example.org", ".lab.example.org"},
      {"plain", "plain", ""},
      {"a.", "a.", "."},
  };
  for (const auto &c : cases) {
    /* A thread of its own unshares the host name, so the rest of the process keeps the real one. */
    bool named = false;
    std::string host, domain;
    std::thread([&] {
      if (unshare(CLONE_NEWUTS) != 0 || sethostname(c.set, std::strlen(c.set)) != 0) return;
      named = true;
      TAGGED h = fresh(), d = fresh();
      if (call("$hostname", {h, d}).rc != 1) return;
      host = atom_name(deref(h));
      domain = atom_name(deref(d));
    }).join();
    if (!named) GTEST_SKIP() << "cannot set the host name in a namespace of one's own";
    EXPECT_EQ(host, c.host) << c.set;
    EXPECT_EQ(domain, c.domain) << c.set;
  }
}
