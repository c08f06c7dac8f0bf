/* Code-list streams of the codesio resource: codes per second written to a write stream, code by
 * code through the inline path and in blocks (QX_put_codes), and collected from it as a list by
 * $stream_to_codes/3; beside appending the same codes to a std::vector in the same run. Best of
 * three runs of 4 million codes each. */
#include <algorithm>
#include <cstdio>
#include <vector>

#include "../tests/library/libres_api.h"
#include "bench_common.h"
#include "qxio.h"
#include "streams.h"

namespace {

const size_t CODES = 4u * 1000u * 1000u;
const size_t BLOCK_CODES = 4096;
volatile size_t kept_codes; /* keeps the peer's loop from being optimised away */

std::vector<uint32_t> sample_codes()
{
  const uint32_t alphabet[] = {'a', 'b', ' ', 0xE9, 0x3B1, 0x65E5, '\n', 0x1F600};
  std::vector<uint32_t> codes(CODES);
  for (size_t i = 0; i < CODES; i++) codes[i] = alphabet[(i * 3 + i / 7) % 8];
  return codes;
}

QX_stream *write_stream()
{
  void *made = nullptr;
  open_buf_stream(&made);
  if (!made) {
    std::fprintf(stderr, "no code-list stream\n");
    std::exit(1);
  }
  return (QX_stream *)made;
}

void write_items(QX_stream *s, const std::vector<uint32_t> &codes)
{
  for (uint32_t c : codes) qx_put_code_helper(s, (int32_t)c, 0);
  QX_flush_output(s, 0);
}

void write_blocks(QX_stream *s, const std::vector<uint32_t> &codes)
{
  for (size_t at = 0; at < codes.size(); at += BLOCK_CODES)
    QX_put_codes(s, codes.data() + at, std::min(BLOCK_CODES, codes.size() - at), 0);
  QX_flush_output(s, 0);
}

/* Seconds of f(s) on a fresh stream, least of three; the stream is closed after each run. */
template <class F>
double on_fresh_stream(F f)
{
  return bench_best([&] {
    QX_stream *s = write_stream();
    f(s);
    qx_fclose_internal(s, 0);
  });
}

void print_rate(const char *what, double seconds)
{
  std::printf("%-34s %8.2f Mcodes/s\n", what, (double)CODES / seconds / 1e6);
}

}  // namespace

int main()
{
  BenchEngine engine;
  QX_MAINFUN_PARAMS_STRUCT block;
  if (libres_load(qx_main_QXENV_codesio, &block) != 0) {
    std::fprintf(stderr, "codesio did not load\n");
    return 1;
  }
  std::vector<uint32_t> codes = sample_codes();
  double items = on_fresh_stream([&](QX_stream *s) { write_items(s, codes); });
  double blocks = on_fresh_stream([&](QX_stream *s) { write_blocks(s, codes); });
  double collect = 0;
  for (int run = 0; run < 3; run++) {
    QX_stream *s = write_stream();
    write_blocks(s, codes);
    QX_term_ref mark = QX_new_term_refs(0);
    QX_term_ref list = QX_new_term_ref(), tail = QX_new_term_ref();
    double seconds = bench_seconds([&] { stream_to_codes(s, list, tail); });
    if (run == 0 || seconds < collect) collect = seconds;
    QX_reset_term_refs(mark);
    qx_fclose_internal(s, 0);
  }
  double vector = bench_best([&] {
    std::vector<uint32_t> sink;
    sink.reserve(1024);
    for (uint32_t c : codes) sink.push_back(c);
    kept_codes = sink.size();
  });
  std::printf("%zu codes through a code-list stream, best of 3 runs\n", CODES);
  print_rate("written code by code", items);
  print_rate("written in blocks of 4096", blocks);
  print_rate("collected by $stream_to_codes/3", collect);
  print_rate("std::vector push_back (peer)", vector);
  libres_unload(block);
  return 0;
}
