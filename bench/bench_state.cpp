/* Saved states against text: 100,000 dynamic clauses p(I, 'atom I', "text", [I, f(I, 3.5)])
 * saved to a state and restored from it, beside the same clauses read as text through the
 * parser and asserted. Figures: clauses per second and MB/s each way, best of three runs, and
 * how many times faster the restore is than the text path. */
#include <sys/stat.h>

#include <string>

#include "bench_common.h"
#include "parser.h"
#include "qxio.h"
#include "streams.h"

namespace {

const int CLAUSES = 100000, RUNS = 3;

/* Runs the native prolog:name/arity with args; 1 when it succeeded without an error. */
int call_native(BenchEngine &e, const char *name, std::initializer_list<TAGGED> args)
{
  definition *d =
      insert_definition(qx_eg.prolog_module, init_atom_check(name, 0), (uint32_t)args.size(), 0);
  int i = 0;
  for (TAGGED a : args) e.w->term[i++] = a;
  node *before = e.w->node_;
  int rc = d->code.native(e.w);
  bool raised = e.w->node_ != before;
  while (e.w->node_ != before) qx_pop_node(e.w);
  return rc && !raised;
}

size_t clause_count()
{
  definition *d = insert_definition(qx_eg.user_module, init_atom_check("p", 0), 4, 0);
  return d ? d->clause_count : 0;
}

}  // namespace

int main(int argc, char **argv)
{
  std::string dir = argc > 1 ? argv[1] : "/tmp";
  std::string state = dir + "/bench_state_" + std::to_string(getpid()) + ".sav";
  BenchEngine engine;
  std::string text;
  for (int i = 0; i < CLAUSES; i++) {
    std::string n = std::to_string(i);
    text += "p(" + n + ", 'atom " + n + "', \"text\", [" + n + ", f(" + n + ", 3.5)]).\n";
  }
  definition *assertz = insert_definition(qx_eg.prolog_module, init_atom_check("assertz", 0), 1, 0);
  double best_text = 1e30, best_save = 1e30, best_restore = 1e30;
  off_t state_bytes = 0;
  int failed = 0;
  for (int run = 0; run < RUNS; run++) {
    engine.run("retract(p(_, _, _, _)), fail ; true");
    double t = bench_seconds([&] {
      QX_stream *s = nullptr;
      if (QX_stream_from_string(text.c_str(), &s) != 1) {
        failed++;
        return;
      }
      int32_t ch = qx_get_code_helper(s, 0);
      TAGGED term = 0, vars = 0;
      TAGGED *top = engine.w->global_top;
      while (qx_read_term(engine.w, s, &ch, &term, &vars) == 1) {
        engine.w->term[0] = term;
        failed += assertz->code.native(engine.w) != 1;
        engine.w->global_top = top;
      }
      QX_fclose(s, 0);
    });
    failed += clause_count() != (size_t)CLAUSES;
    best_text = std::min(best_text, t);
    TAGGED file = init_atom_check(state.c_str(), 0);
    best_save = std::min(best_save, bench_seconds([&] {
                           failed += !call_native(engine, "$save", {file, MakeSmall(0), atom_true});
                         }));
    struct stat st;
    if (stat(state.c_str(), &st) == 0) state_bytes = st.st_size;
    engine.run("retract(p(_, _, _, _)), fail ; true"); /* both paths start without p/4 */
    best_restore = std::min(best_restore, bench_seconds([&] {
                              failed += !call_native(engine, "$restore", {file, atom_true});
                            }));
    failed += clause_count() != (size_t)CLAUSES;
  }
  unlink(state.c_str());
  double mb = (double)state_bytes / 1e6, text_mb = (double)text.size() / 1e6;
  std::printf("state of %d clauses: %.1f MB (text %.1f MB)\n", CLAUSES, mb, text_mb);
  std::printf("save:         %10.0f clauses/s %8.1f MB/s\n", CLAUSES / best_save, mb / best_save);
  std::printf("restore:      %10.0f clauses/s %8.1f MB/s\n", CLAUSES / best_restore,
              mb / best_restore);
  std::printf("text + assert:%10.0f clauses/s %8.1f MB/s\n", CLAUSES / best_text,
              text_mb / best_text);
  std::printf("restore is %.1f times as fast as reading the text\n", best_text / best_restore);
  if (failed) std::printf("FAILED: %d\n", failed);
  return failed != 0;
}
