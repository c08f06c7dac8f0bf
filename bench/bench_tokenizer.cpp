/* $read_token/6 over a generated 50 MB Prolog text read from a file: facts with atoms, quoted
 * atoms, numbers, strings, variables and comments. The figures are tokens per second and MB/s,
 * best of three runs, beside a plain getc_unlocked loop over the same file as the floor; the
 * peer reads the same file with read_term/3 (whole terms, so more work than tokens alone).
 * Usage: bench_tokenizer [directory for the text file] */
#include <sys/stat.h>

#include <string>

#include "bench_common.h"
#include "qxio.h"
#include "streams.h"
#include "tokenizer.h"

namespace {

const size_t TEXT_BYTES = 50u << 20;
const int RUNS = 3;

/* The text: lines of facts, one in eight preceded by a block comment; a fixed sequence. */
bool write_text(const std::string &path)
{
  FILE *f = std::fopen(path.c_str(), "w");
  if (!f) return false;
  uint32_t x = 16;
  auto next = [&x] { return x = x * 1103515245u + 12345u, (x >> 8) & 0xFFFFF; };
  size_t bytes = 0;
  char line[512];
  for (long i = 0; bytes < TEXT_BYTES; i++) {
    int n = 0;
    if (i % 8 == 0) n = std::snprintf(line, sizeof line, "/* block comment %ld */\n", i);
    n += std::snprintf(line + n, sizeof line - (size_t)n,
                       "fact_%u(atom_%u, 'Quoted %u atom', 'it''s', %u, -%u, 0x%X, %u.%u, "
                       "%u.5e-%u, \"string %u\", X%u, _Y, [a, b|T], X%u-T). %% comment %u\n",
                       next() % 50, next() % 1000, next() % 1000, next(), next() % 1000, next(),
                       next() % 1000, next() % 1000, next() % 100, next() % 300, next() % 1000,
                       next() % 10, next() % 10, next());
    if (std::fwrite(line, 1, (size_t)n, f) != (size_t)n) break;
    bytes += (size_t)n;
  }
  return std::fclose(f) == 0 && bytes >= TEXT_BYTES;
}

/* Bytes of the file read by getc_unlocked, and a sum of them the compiler must keep. */
size_t getc_floor(const std::string &path, unsigned *sum)
{
  FILE *f = std::fopen(path.c_str(), "r");
  if (!f) return 0;
  size_t n = 0;
  int c;
  while ((c = getc_unlocked(f)) != EOF) *sum += (unsigned)c, n++;
  std::fclose(f);
  return n;
}

/* Tokens of the file through $read_token/6 up to end of file; -1 on an error. */
long read_tokens(worker *w, const std::string &path, TAGGED encoding, long *lexical_errors)
{
  QX_stream *s = nullptr;
  if (qx_fopen_internal(path.c_str(), QX_FO_READ | QX_FO_TEXT | QX_FO_ENCODING_TERM, encoding, &s) <
      0)
    return -1;
  QX_stream *before = qx_eg.input_stream_ptr;
  qx_eg.input_stream_ptr = s;
  int32_t ch = qx_get_code_helper(s, 0);
  int kind = 0;
  long tokens = 0;
  TAGGED *mark = w->global_top;
  for (;;) {
    w->global_top = mark; /* the tokens of the last call are garbage now */
    TAGGED *cells = w->global_top;
    for (int i = 0; i < 4; i++) cells[i] = MakeRef(cells + i);
    w->global_top += 4;
    w->term[0] = MakeSmall(ch);
    w->term[1] = MakeSmall(kind);
    for (int i = 0; i < 4; i++) w->term[2 + i] = cells[i];
    if (!prolog_read_token(w)) {
      tokens = -1;
      break;
    }
    ch = (int32_t)GetSmall(deref(cells[1]));
    kind = (int)GetSmall(deref(cells[2]));
    if (kind == -1 || kind == -2) break;
    if (kind < 0) ++*lexical_errors;
    tokens++;
  }
  w->global_top = mark;
  qx_eg.input_stream_ptr = before;
  qx_fclose_internal(s, 0);
  return tokens;
}

}  // namespace

int main(int argc, char **argv)
{
  std::string dir = argc > 1 ? argv[1] : "/tmp";
  std::string path = dir + "/bench_tokenizer_" + std::to_string(getpid()) + ".pl";
  BenchEngine engine;
  for (const qx_pred_row *r = qx_tokenizer_rows; r->name; r++)
    qx_define_native(qx_eg.prolog_module, r->name, r->arity, r->function, r->retry, r->kind);
  qx_eg.current_double_quotes = init_atom_check("codes", 0);
  if (!write_text(path)) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    return 1;
  }
  struct stat st;
  stat(path.c_str(), &st);
  double mb = (double)st.st_size / 1e6;
  TAGGED encoding = TermReader(engine.w, "encoding('UTF-8', false, lf)").read();

  unsigned sum = 0;
  size_t floor_bytes = 0;
  double floor_s = bench_best([&] { floor_bytes = getc_floor(path, &sum); });
  long tokens = 0, lexical_errors = 0;
  double token_s =
      bench_best([&] { tokens = read_tokens(engine.w, path, encoding, &lexical_errors); });
  if (tokens < 0 || floor_bytes != (size_t)st.st_size) {
    std::fprintf(stderr, "reading the text failed\n");
    return 1;
  }
  std::printf("text: %.1f MB, %ld tokens, %ld lexical errors (checksum %u)\n", mb, tokens,
              lexical_errors / RUNS, sum & 0xFF);
  std::printf("tokens: %.2f Mtokens/s\n", (double)tokens / token_s / 1e6);
  std::printf("tokenizer: %.1f MB/s\n", mb / token_s);
  std::printf("getc_unlocked floor: %.1f MB/s\n", mb / floor_s);

  std::map<std::string, double> peer = run_peer(
      "bench_read(F) :- open(F, read, In), repeat, read_term(In, T, []), T == end_of_file, !, "
      "close(In).\n",
      "bench_time(bench_read(\"" + path + "\"), read_term)");
  if (peer.count("read_term"))
    std::printf("swipl read_term/3 (whole terms): %.1f MB/s\n", mb / peer["read_term"]);
  else
    std::printf("swipl read_term/3: not run\n");
  unlink(path.c_str());
  return 0;
}
