/* Throughput of an in-process pipe stream: blocks of bytes written to the write end and read
 * back from the read end of a binary pipe, and codes through a UTF-8 text pipe; prints MB/s. */
#include <chrono>
#include <cstdio>
#include <vector>

#include "bench_common.h"
#include "streams.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start)
{
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main()
{
  BenchEngine engine;
  const size_t block = 64 * 1024, total = 200u << 20;
  QX_stream *rs = nullptr, *ws = nullptr;
  if (qx_create_pipe(nullptr, &rs, nullptr, &ws, 0) < 0) return 1;
  std::vector<unsigned char> data(block);
  for (size_t i = 0; i < block; i++) data[i] = (unsigned char)(i * 31);
  unsigned long sum = 0;
  auto start = std::chrono::steady_clock::now();
  for (size_t moved = 0; moved < total; moved += block) {
    if (QX_put_bytes(ws, data.data(), block, 0) < 0 || QX_flush_output(ws, 0) < 0) return 1;
    for (size_t k = 0; k < block; k++) sum += (unsigned)qx_get_byte_helper(rs, 0x1);
  }
  double binary = seconds_since(start);
  qx_fclose_internal(ws, 0);
  qx_fclose_internal(rs, 0);
  if (qx_create_pipe("UTF-8", &rs, "UTF-8", &ws, 0) < 0) return 1;
  std::vector<uint32_t> codes(block / 4);
  for (size_t i = 0; i < codes.size(); i++) codes[i] = i % 3 == 0 ? 0xE9 : 'a' + (uint32_t)(i % 26);
  const size_t text_total = 50u << 20;
  start = std::chrono::steady_clock::now();
  for (size_t moved = 0; moved < text_total; moved += codes.size() * 4) {
    if (QX_put_codes(ws, codes.data(), codes.size(), 0) < 0 || QX_flush_output(ws, 0) < 0) return 1;
    for (size_t k = 0; k < codes.size(); k++) sum += (unsigned)qx_get_code_helper(rs, 0x1);
  }
  double text = seconds_since(start);
  std::printf("pipe stream, binary: %.1f MB/s\n", total / binary / 1e6);
  std::printf("pipe stream, UTF-8 text (4-byte codes): %.1f MB/s\n", text_total / text / 1e6);
  std::printf("(checksum %lu)\n", sum);
  return 0;
}
