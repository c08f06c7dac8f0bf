/* mkstate: the build step that makes the launcher's saved states and links them in.
 *
 *   mkstate APP.pl DIR OUT.cpp
 *
 * starts the engine without a boot file (qx_glue_initialize with flags bit 0 clear) and writes
 * DIR/qxrt.sav, the runtime state (kind ALL), and DIR/tavro/tavro.sav, the application state
 * (kind ALL_BUT_PROLOG): the clauses of APP.pl as dynamic predicates of module prolog, beside
 * the module clpfd with its attribute slot. The directives of APP.pl run as they are read, on the
 * engine's built-ins and the clauses added before them; the operator table is fixed, so op/3
 * is not among them. OUT.cpp then gets each state as a linked-in data
 * resource (a blob: a magic text, the size and the modification time as big-endian 8-byte
 * numbers, the bytes) and the launcher's resource table, qx_pre_map and qx_pre_linkage.
 */
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "atoms.h"
#include "builtins.h"
#include "database.h"
#include "datadefs.h"
#include "gc.h"
#include "memman.h"
#include "modules.h"
#include "objareas.h"
#include "orvalis.h"
#include "parser.h"
#include "qxio/qxio.h"
#include "saverest.h"
#include "startup.h"
#include "streams.h"
#include "unify.h"
#include "wam.h"
#include "wcx.h"

namespace {

bool fail(const std::string &what)
{
  std::fprintf(stderr, "mkstate: %s\n", what.c_str());
  return false;
}

bool read_file(const std::string &path, std::string &text)
{
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  text = all.str();
  return in.good() || in.eof() ? true : fail("cannot read " + path);
}

/* Runs goal (a term) once in module prolog; false with a message unless it succeeds. */
bool run(TAGGED goal, const std::string &what)
{
  int rc = qx_call_once(qx_w, goal, qx_eg.prolog_module);
  if (rc == 1) return true;
  qx_clear_exception();
  return fail(what + (rc < 0 ? " raised an exception" : " failed"));
}

TAGGED compound(const char *name, std::initializer_list<TAGGED> args)
{
  std::vector<TAGGED> kept(args);
  qx_gc_root keep(kept.data(), kept.size()); /* making room may collect */
  call_overflow(qx_w, (uint32_t)args.size() + 1, 0);
  TAGGED *p = qx_w->global_top;
  p[0] = MakeFunctor(init_atom_check(name, 0), (uint32_t)args.size());
  int i = 1;
  for (TAGGED a : kept) p[i++] = a;
  qx_w->global_top += args.size() + 1;
  return MakeStr(p);
}

/* The goal of a directive (:- Goal or ?- Goal), or 0 for a clause. */
TAGGED directive_goal(TAGGED clause)
{
  clause = deref(clause);
  if (!IsStr(clause) || IsBox(clause)) return 0;
  TAGGED f = StrFunctor(clause);
  bool directive = f == MakeFunctor(init_atom_check(":-", 0), 1) ||
                   f == MakeFunctor(init_atom_check("?-", 0), 1);
  return directive ? StrArg(clause, 1) : 0;
}

/* Adds every clause of the text at path to module prolog with assertz/1: each predicate becomes
 * dynamic, which is what an ALL_BUT_PROLOG state keeps of module prolog. A directive runs as a
 * goal in module prolog when it is read, as consulting would run it; one that fails or raises
 * stops the tool, as does a syntax error, each named by file and line. */
bool consult_into_prolog(const std::string &path)
{
  std::string text;
  if (!read_file(path, text)) return false;
  text += "\n"; /* ends a trailing comment; the stream reads the text where it is */
  QX_stream *s = nullptr;
  if (QX_stream_from_string(text.c_str(), &s) != 1) return fail("no stream over " + path);
  TAGGED quotes = qx_eg.current_double_quotes;
  if (!quotes) qx_eg.current_double_quotes = init_atom_check("codes", 0);
  int32_t ch = qx_get_code_helper(s, 0);
  bool ok = true;
  int rc, line = 0;
  while (ok) {
    TAGGED clause = 0, names = 0;
    rc = qx_read_term(qx_w, s, &ch, &clause, &names, &line);
    if (rc != 1) break;
    std::string where = path + ":" + std::to_string(line);
    TAGGED goal = directive_goal(clause);
    if (!goal) {
      ok = run(compound("assertz", {compound(":", {init_atom_check("prolog", 0), clause})}),
               where + ": adding a clause");
      continue;
    }
    ok = run(goal, where + ": the directive");
    QX_flush_output(qx_eg.output_stream_ptr, 0); /* what it wrote, before any message of ours */
  }
  qx_eg.current_double_quotes = quotes;
  QX_fclose(s, QX_FC_FORCE);
  if (ok && rc == 0) return fail(path + ":" + std::to_string(line) + ": syntax error");
  return ok;
}

/* $save_doit(Path, Selector, [], [], [], 1, mkstate): selector 0 ALL_BUT_PROLOG, 1 ALL. */
bool save(const std::string &path, int selector)
{
  TAGGED goal =
      compound("$save_doit", {init_atom_check(path.c_str(), 0), MakeSmall(selector), atom_nil,
                              atom_nil, atom_nil, MakeSmall(1), init_atom_check("mkstate", 0)});
  return run(goal, "saving " + path);
}

bool write_states(const std::string &app, const std::string &dir)
{
  mkdir(dir.c_str(), 0777);
  mkdir((dir + "/tavro").c_str(), 0777);
  /* the runtime: everything the engine defines, its flags; nothing of the application */
  if (!save(dir + "/qxrt.sav", 1)) return false;
  save_attribute_info(find_module(init_atom_check("clpfd", 0), 1));
  return consult_into_prolog(app) && save(dir + "/tavro/tavro.sav", 0);
}

/* ---- the linked-in resources ---- */

struct linked_state {
  const char *resource; /* its resource name */
  std::string file;
};

/* The C declaration of a state's blob and its record under the escaped resource name. */
bool emit_resource(std::ostream &out, const linked_state &state, int index, std::string &c_name)
{
  std::string bytes;
  struct stat st;
  if (!read_file(state.file, bytes) || stat(state.file.c_str(), &st) != 0)
    return fail("cannot read " + state.file);
  char *escaped = qx_ensure_c_name(state.resource);
  if (!escaped) return fail("out of memory");
  c_name = escaped;
  QX_free(escaped);
  unsigned char header[QX_RESOURCE_BLOB_HEADER];
  std::memcpy(header, "Orvalis Resource", 16);
  for (int i = 0; i < 8; i++) {
    header[16 + i] = (unsigned char)((uint64_t)bytes.size() >> (56 - 8 * i));
    header[24 + i] = (unsigned char)((uint64_t)st.st_mtime >> (56 - 8 * i));
  }
  bytes.insert(0, (const char *)header, sizeof header);
  out << "alignas(8) const unsigned char blob_" << index << "[" << bytes.size() << "] = {";
  char hex[16];
  for (size_t i = 0; i < bytes.size(); i++) {
    std::snprintf(hex, sizeof hex, "%s0x%02x", i % 16 ? "," : ",\n    ", (unsigned char)bytes[i]);
    out << (i ? hex : hex + 1);
  }
  out << "};\n";
  out << "qx_named_resource<sizeof \"" << c_name << "\"> record_" << index << " = {blob_" << index
      << ", \"" << c_name << "\"};\n";
  return true;
}

bool write_linked_resources(const std::string &dir, const std::string &out_path)
{
  const linked_state states[] = {{"/tavro/tavro.sav", dir + "/tavro/tavro.sav"},
                                 {"/qxrt.sav", dir + "/qxrt.sav"}};
  std::ostringstream out;
  out << "/* Made by mkstate from the saved states: the launcher's linked-in resources. */\n"
         "#include \"fd_kernel.h\"\n#include \"linked_resources.h\"\n#include \"orvalis.h\"\n"
         "#include \"qxlibres.h\"\n\n"
         "// clang-format off\nnamespace {\n";
  std::string names[2];
  for (int i = 0; i < 2; i++)
    if (!emit_resource(out, states[i], i, names[i])) return false;
  /* rows: the application, the foreign resources, the runtime, then the end */
  out << "}  // namespace\n\n"
         "const char *qx_pre_map[7] = {record_0.name, \"clpfd\", \"timeout\", \"codesio\", "
         "\"random\", record_1.name, nullptr};\n"
         "int (*qx_pre_linkage[7])(void *params) = {nullptr, "
         "(int (*)(void *))qx_main_QXENV_clpfd, qx_main_QXENV_timeout, qx_main_QXENV_codesio, "
         "qx_main_QXENV_random, nullptr, nullptr};\n"
         "// clang-format on\n";
  std::string temp = out_path + ".tmp";
  std::ofstream file(temp, std::ios::binary);
  file << out.str();
  file.close();
  if (!file || std::rename(temp.c_str(), out_path.c_str()) != 0)
    return fail("cannot write " + out_path);
  return true;
}

}  // namespace

int main(int argc, char **argv)
{
  if (argc != 4) {
    std::fprintf(stderr, "usage: mkstate APP.pl DIR OUT.cpp\n");
    return 2;
  }
  /* flags 0: no boot file, so the engine stays marked uninitialised and is driven through its
   * internals; the process's end takes it down */
  if (!qx_glue_initialize(argc, argv, nullptr, nullptr, nullptr, 0, 0))
    return fail("the engine does not start"), 1;
  bool ok = write_states(argv[1], argv[2]) && write_linked_resources(argv[2], argv[3]);
  return ok ? 0 : 1;
}
