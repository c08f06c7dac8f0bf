/* writeq/1 of quoted atoms to a file: 100,000 distinct names that need quotes (capitals,
 * spaces, quotes, line feeds, non-ASCII) written 20 times each, with the file the current output.
 * The figure is atoms written per second, best of three runs. */
#include <sys/stat.h>

#include <string>
#include <vector>

#include "bench_common.h"
#include "qxio.h"
#include "streams.h"

namespace {

const int NAMES = 100000, ROUNDS = 20, RUNS = 3;

std::vector<TAGGED> quoted_atoms()
{
  static const char *const shapes[] = {"Atom %d", "it's %d", "line\n%d", "caf\xC3\xA9 %d",
                                       "back\\slash%d"};
  std::vector<TAGGED> atoms;
  char buf[64];
  for (int i = 0; i < NAMES; i++) {
    std::snprintf(buf, sizeof buf, shapes[i % 5], i);
    atoms.push_back(init_atom_check(buf, 0));
  }
  return atoms;
}

}  // namespace

int main(int argc, char **argv)
{
  std::string dir = argc > 1 ? argv[1] : "/tmp";
  std::string path = dir + "/bench_writeq_" + std::to_string(getpid());
  BenchEngine engine;
  TermReader reader(engine.w, "encoding('UTF-8', false, lf)");
  TAGGED encoding = reader.read();
  std::vector<TAGGED> atoms = quoted_atoms();
  definition *writeq = insert_definition(qx_eg.prolog_module, init_atom_check("writeq", 0), 1, 0);
  double best = 0;
  off_t bytes = 0;
  for (int run = 0; run < RUNS; run++) {
    QX_stream *s = nullptr;
    uint32_t options = QX_FO_WRITE | QX_FO_TEXT | QX_FO_ENCODING_TERM;
    if (qx_fopen_internal(path.c_str(), options, encoding, &s) < 0) return 1;
    QX_stream *before = qx_eg.output_stream_ptr;
    qx_eg.output_stream_ptr = s;
    int failed = 0;
    double seconds = bench_seconds([&] {
      for (int r = 0; r < ROUNDS; r++)
        for (TAGGED a : atoms) {
          engine.w->term[0] = a;
          failed += writeq->code.native(engine.w) != 1;
        }
      failed += qx_fclose_internal(s, 0) < 0;
    });
    qx_eg.output_stream_ptr = before;
    struct stat st;
    if (failed || stat(path.c_str(), &st) != 0) {
      std::fprintf(stderr, "writeq failed\n");
      return 1;
    }
    bytes = st.st_size;
    double rate = (double)NAMES * ROUNDS / seconds;
    if (rate > best) best = rate;
  }
  unlink(path.c_str());
  std::printf("writeq of quoted atoms: %.2f M atoms/s (%d atoms, %lld bytes, best of %d runs)\n",
              best / 1e6, NAMES * ROUNDS, (long long)bytes, RUNS);
  return 0;
}
