/* Socket streams: 200 MB each way between a Prolog socket stream and a child process over
 * loopback TCP, binary (QX_put_bytes, byte reads) and UTF-8 text (QX_put_codes, code reads),
 * beside plain write(2) and read(2) on a loopback socket moving the same bytes to and from the
 * same child in the same run. Figures are megabytes (10^6) of the bytes on the wire per second,
 * and the ratio to the plain calls.
 *
 * The child is this program again ("child sink N" reads N bytes, discards them and answers one
 * byte; "child source N text|binary" writes N bytes and closes): it listens on 127.0.0.1, port
 * 0, and tells the port through a pipe. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_common.h"
#include "streams.h"

namespace {

const size_t TOTAL_BYTES = 200u * 1000u * 1000u;
const size_t CHUNK = 64 * 1024;

/* Mixed text: mostly ASCII, with Latin, Greek, CJK and emoji. */
const std::string mixed_line =
    "The quick brown fox jumps over the lazy dog; na\xC3\xAFve caf\xC3\xA9, \xCE\x95\xCE\xBB"
    "\xCE\xBB\xCE\xB7\xCE\xBD\xCE\xB9\xCE\xBA\xCE\xAC \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E "
    "\xF0\x9F\x98\x80 0123456789\n";

/* The bytes a source writes: whole lines of the mixed text in text mode (padded with line
 * feeds to the exact size), a byte pattern in binary mode. */
std::string payload(size_t bytes, bool text)
{
  std::string out;
  out.reserve(bytes);
  if (text) {
    while (out.size() + mixed_line.size() <= bytes) out += mixed_line;
    out.append(bytes - out.size(), '\n');
  } else {
    for (size_t i = 0; i < bytes; i++) out.push_back((char)(i * 131 % 251));
  }
  return out;
}

void write_all(int fd, const char *data, size_t n)
{
  while (n > 0) {
    ssize_t k = write(fd, data, n);
    if (k <= 0) std::exit(3);
    data += k;
    n -= (size_t)k;
  }
}

void drain(int fd, size_t n)
{
  static char room[CHUNK];
  while (n > 0) {
    ssize_t k = read(fd, room, n < CHUNK ? n : CHUNK);
    if (k <= 0) std::exit(3);
    n -= (size_t)k;
  }
}

int child_main(char **argv, int port_fd)
{
  /* A source makes its bytes before it listens, so that the transfer alone is timed. */
  size_t n = std::strtoull(argv[3], nullptr, 10);
  bool sink = !std::strcmp(argv[2], "sink");
  std::string bytes = sink ? std::string() : payload(n, !std::strcmp(argv[4], "text"));
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(listener, (sockaddr *)&a, sizeof a) != 0 || ::listen(listener, 1) != 0 ||
      getsockname(listener, (sockaddr *)&a, &len) != 0)
    return 2;
  std::string port = std::to_string(ntohs(a.sin_port)) + "\n";
  write_all(port_fd, port.data(), port.size());
  close(port_fd);
  int fd = accept(listener, nullptr, nullptr);
  if (sink) {
    drain(fd, n);
    write_all(fd, "k", 1);
  } else {
    write_all(fd, bytes.data(), bytes.size());
  }
  close(fd);
  return 0;
}

struct child {
  pid_t pid = -1;
  std::string port;
  child(const char *self, const char *mode, bool text)
  {
    int p[2];
    if (pipe(p) != 0) std::exit(1);
    std::string n = std::to_string(TOTAL_BYTES), fd = std::to_string(p[1]);
    pid = fork();
    if (pid == 0) {
      close(p[0]);
      execl(self, self, "child", mode, n.c_str(), text ? "text" : "binary", fd.c_str(),
            (char *)nullptr);
      _exit(127);
    }
    close(p[1]);
    char c;
    while (read(p[0], &c, 1) == 1 && c != '\n') port.push_back(c);
    close(p[0]);
  }
  ~child()
  {
    int status;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
      std::fprintf(stderr, "child %d failed (status %d)\n", (int)pid, status);
  }
};

int plain_connect(const std::string &port)
{
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons((uint16_t)std::atoi(port.c_str()));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, (sockaddr *)&a, sizeof a) != 0) std::exit(1);
  return fd;
}

double plain_send(const char *self, const std::string &bytes)
{
  child c(self, "sink", false);
  return bench_seconds([&] {
    int fd = plain_connect(c.port);
    for (size_t at = 0; at < bytes.size(); at += CHUNK)
      write_all(fd, bytes.data() + at, std::min(CHUNK, bytes.size() - at));
    drain(fd, 1);
    close(fd);
  });
}

double plain_receive(const char *self, bool text)
{
  child c(self, "source", text);
  return bench_seconds([&] {
    int fd = plain_connect(c.port);
    drain(fd, TOTAL_BYTES);
    close(fd);
  });
}

QX_stream *prolog_connect(BenchEngine &engine, const std::string &port, bool text)
{
  TermReader reader(engine.w, "encoding('UTF-8', default, default)");
  TAGGED encoding = reader.read();
  QX_stream *s = nullptr;
  uint32_t options = text ? QX_SO_TEXT | QX_SO_ENCODING_TERM : 0;
  if (QX_open_socket_stream("127.0.0.1", port.c_str(), encoding, &s, options) != 0) {
    std::fprintf(stderr, "connect failed\n");
    std::exit(1);
  }
  return s;
}

/* Waits for the sink's one-byte answer, then closes. */
void finish_send(QX_stream *s, bool text)
{
  if (qx_flush_output(s, 0) != 0) std::exit(1);
  int answer = text ? qx_get_code_helper(s, 0) : qx_get_byte_helper(s, 0);
  if (answer != 'k') std::exit(1);
  qx_fclose_internal(s, 0);
}

double prolog_send_bytes(BenchEngine &engine, const char *self, const std::string &bytes)
{
  child c(self, "sink", false);
  return bench_seconds([&] {
    QX_stream *s = prolog_connect(engine, c.port, false);
    for (size_t at = 0; at < bytes.size(); at += CHUNK)
      if (QX_put_bytes(s, (const unsigned char *)bytes.data() + at,
                       std::min(CHUNK, bytes.size() - at), 0) != 0)
        std::exit(1);
    finish_send(s, false);
  });
}

double prolog_send_codes(BenchEngine &engine, const char *self, const std::vector<uint32_t> &codes)
{
  child c(self, "sink", false);
  const size_t chunk_codes = CHUNK / 4;
  return bench_seconds([&] {
    QX_stream *s = prolog_connect(engine, c.port, true);
    for (size_t at = 0; at < codes.size(); at += chunk_codes)
      if (QX_put_codes(s, codes.data() + at, std::min(chunk_codes, codes.size() - at), 0) != 0)
        std::exit(1);
    finish_send(s, true);
  });
}

/* Reads to end of stream through the public pointers, refilling at each buffer's end. */
double prolog_receive(BenchEngine &engine, const char *self, bool text, size_t *items)
{
  child c(self, "source", text);
  *items = 0;
  return bench_seconds([&] {
    QX_stream *s = prolog_connect(engine, c.port, text);
    for (;;) {
      if (text) {
        *items += (size_t)(s->pub.input_text.limit - s->pub.input_text.ptr);
        s->pub.input_text.ptr = s->pub.input_text.limit;
        if (qx_get_code_helper(s, 0) < 0) break;
      } else {
        *items += (size_t)(s->pub.input_binary.limit - s->pub.input_binary.ptr);
        s->pub.input_binary.ptr = s->pub.input_binary.limit;
        if (qx_get_byte_helper(s, 0) < 0) break;
      }
      ++*items;
    }
    qx_fclose_internal(s, 0);
  });
}

std::vector<uint32_t> codes_of(const std::string &utf8)
{
  std::vector<uint32_t> codes;
  codes.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    unsigned char b = (unsigned char)utf8[i];
    int n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    uint32_t code = n == 1 ? b : b & (0xFF >> (n + 1));
    for (int k = 1; k < n; k++) code = code << 6 | ((unsigned char)utf8[i + k] & 0x3F);
    codes.push_back(code);
    i += (size_t)n;
  }
  return codes;
}

void report(const char *what, double prolog_seconds, double plain_seconds)
{
  double mb = (double)TOTAL_BYTES / 1e6;
  std::printf("%-34s %8.1f MB/s   plain write/read %8.1f MB/s   ratio %.2f\n", what,
              mb / prolog_seconds, mb / plain_seconds, plain_seconds / prolog_seconds);
}

}  // namespace

int main(int argc, char **argv)
{
  if (argc == 6 && !std::strcmp(argv[1], "child")) return child_main(argv, std::atoi(argv[5]));
  const char *self = "/proc/self/exe";
  std::string binary = payload(TOTAL_BYTES, false), text = payload(TOTAL_BYTES, true);
  std::vector<uint32_t> codes = codes_of(text);

  double plain_out = plain_send(self, binary), plain_in = plain_receive(self, false);
  double plain_text_out = plain_send(self, text), plain_text_in = plain_receive(self, true);

  BenchEngine engine;
  size_t bytes_in = 0, codes_in = 0;
  double out = prolog_send_bytes(engine, self, binary);
  double in = prolog_receive(engine, self, false, &bytes_in);
  double text_out = prolog_send_codes(engine, self, codes);
  double text_in = prolog_receive(engine, self, true, &codes_in);
  if (bytes_in != TOTAL_BYTES || codes_in != codes.size()) {
    std::fprintf(stderr, "received %zu bytes and %zu codes\n", bytes_in, codes_in);
    return 1;
  }
  std::printf("loopback TCP, %zu MB each way, one child process per transfer\n",
              TOTAL_BYTES / 1000000);
  report("binary out (QX_put_bytes)", out, plain_out);
  report("binary in (byte reads)", in, plain_in);
  report("UTF-8 text out (QX_put_codes)", text_out, plain_text_out);
  report("UTF-8 text in (code reads)", text_in, plain_text_in);
  return 0;
}
