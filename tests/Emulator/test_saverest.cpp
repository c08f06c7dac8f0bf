/* Saved states: round trips into fresh engines (child processes) compared by canonical listings,
 * hand-made states record by record, broken states, and saves that fail part way. */
#include <dlfcn.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <functional>
#include <map>
#include <set>

#include "emulcode.h"
#include "hashtab.h"
#include "saverest.h"
#include "system.h"
#include "stream_fixture.h"
#include "test_fork.h"
#include "unify.h"
#include "scratch_root.h"

/* fsync and rename of the whole test program, logged while call_log is set ("fsync" and the
 * path the descriptor names; "rename", from and to), then the C library's own. */
static std::vector<std::string> *call_log;
extern "C" int fsync(int fd)
{
  static auto real = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
  if (call_log) {
    char link[32], path[PATH_MAX];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path);
    call_log->push_back("fsync " + std::string(path, n > 0 ? (size_t)n : 0));
  }
  return real(fd);
}
extern "C" int rename(const char *from, const char *to)
{
  static auto real = (int (*)(const char *, const char *))dlsym(RTLD_NEXT, "rename");
  if (call_log) call_log->push_back(std::string("rename ") + from + " " + to);
  return real(from, to);
}

namespace {

std::string slurp(const std::string &path)
{
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}
/* Entries of a directory, "." and ".." left out. */
int entries_in(const std::string &dir)
{
  int n = 0;
  DIR *d = opendir(dir.c_str());
  while (dirent *entry = d ? readdir(d) : nullptr)
    n += std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0;
  if (d) closedir(d);
  return n;
}
void spit(const std::string &path, const std::string &bytes)
{
  std::ofstream(path, std::ios::binary) << bytes;
}

class SaveEngine : public StreamTest {
public:
  SaveEngine()
  {
    dir = qx_scratch_mkdtemp("qx_saverest");
  }
  ~SaveEngine() override { qx_remove_tree(dir); }
  void TestBody() override {}

  using EngineTest::exception;
  using EngineTest::p;
  using StreamTest::at;
  using StreamTest::call;
  using StreamTest::open_fds;

  int run(const std::string &text) { return run_goal(goal(text)); }
  mod_def *module(const char *name) { return find_module(at(name), 1); }
  definition *pred(const char *m, const char *name, uint32_t arity)
  {
    return insert_definition(module(m), at(name), arity, 1);
  }
  void bb_put(mod_def *m, TAGGED key, TAGGED term)
  {
    if (!m->bb) m->bb = (TAGGED)(uintptr_t)new_switch_on_key(8);
    sw_on_key *bb = (sw_on_key *)(uintptr_t)m->bb;
    dyn_puthash(&bb, key)->value = (TAGGED)(uintptr_t)qx_copy_to_instance(p.w, term);
    m->bb = (TAGGED)(uintptr_t)bb;
  }
  TAGGED read_term(const std::string &text) { return goal(text); }

  /* The database described above every round trip. */
  void build()
  {
    ASSERT_EQ(run("assertz(m1:p(1.5)), assertz(m1:p(123456789012345678901234567890)), "
                  "assertz(m1:p(-1)), assertz(m1:p(\"str\")), assertz(m1:p('$ref'(foo, 1))), "
                  "assertz(m1:p(f(-1, a, -2, b, -2.5e10, [x|_]))), assertz(m1:e(1)), "
                  "assertz(m1:e(2)), assertz((m1:q(X, Y) :- m1:p(X), \\+ Y = X)), "
                  "assertz(user:mf(a)), assertz(user:mf(b)), assertz(user:vol(1)), "
                  "assertz(user:blk(1, 2))"),
              1);
    mod_def *m1 = module("m1");
    m1->prop |= QX_MODULE_HIDDEN;
    m1->filename = at((dir + "/m1.pl").c_str());
    definition *pd = pred("m1", "p", 1), *qd = pred("m1", "q", 2);
    m1->public_lst = pd;
    pd->next_public = qd;
    qd->next_public = (definition *)(intptr_t)-1;
    pd->filename = at("/src/m1.pl");
    import_predicate(pd, m1, qx_eg.user_module);
    /* references to a live clause and to an erased one */
    definition *e = pred("m1", "e", 1);
    instance *live = pd->first_clause, *dead = e->first_clause;
    qx_erase_clause(dead);
    TAGGED *top = p.w->global_top;
    TAGGED r1 = cons_dbref(p.w, live, 0), r2 = cons_dbref(p.w, dead, 0);
    TAGGED t = p.compound("r", {r1, r2});
    definition *rd = pred("user", "r", 2);
    redefine_predicate(rd, ENTER_INTERPRETED);
    rd->properties.dynamic = 1;
    insertz(rd, qx_make_clause(p.w, rd, t));
    p.w->global_top = top;
    definition *mf = pred("user", "mf", 1);
    mf->properties.multifile = 1;
    mf->first_clause->extra = at("a.pl");
    mf->last_clause->extra = at("b.pl");
    pred("user", "vol", 1)->properties.volatyle = 1;
    definition *blk = pred("user", "blk", 2);
    blk->properties.block = blk->properties.meta = 1;
    blk->blockinfo = at("+-");
    blk->metainfo = at(":+");
    bb_put(m1, at("k1"), read_term("[1, 2, 3]"));
    bb_put(m1, at("k2"), at("hello"));
    bb_put(m1, MakeSmall(5), read_term("98765432109876543210"));
    save_attribute_info(m1);
    qx_state_flags[0] = at("profiledcode");
    qx_eg.current_unknown = at("fail");
    qx_eg.current_gcmargin = 777;
  }

  /* '$ref'(A, B) of a clause becomes clause_ref(M:N/A, I), of an erased one dead_ref. */
  std::map<TAGGED, int> var_names;
  TAGGED normalise(TAGGED t)
  {
    t = deref(t);
    if (IsVar(t)) {
      auto [it, fresh] = var_names.insert({t, (int)var_names.size()});
      return at(("V" + std::to_string(it->second)).c_str());
    }
    if (IsStr(t) && StrFunctor(t) == functor_ref2 && IsSmall(deref(StrArg(t, 1)))) {
      instance *ins = decode_dbref(t);
      if (!ins || ins->death != QX_CLOCK_ALIVE) return at("dead_ref");
      int index = 0;
      for (instance *i = ins->owner->first_clause; i != ins; i = i->next)
        index += i->death == QX_CLOCK_ALIVE;
      char text[256];
      std::snprintf(text, sizeof text, "%s:%s/%u#%d", atom_name(ins->owner->module->name),
                    atom_name(ins->owner->proc.printname), ins->owner->proc.arity, index);
      return p.compound("clause_ref", {at(text)});
    }
    if (IsLst(t)) return p.cons(normalise(LstHead(t)), normalise(LstTail(t)));
    if (IsStr(t) && !IsBoxHeader(StrFunctor(t))) {
      TAGGED f = StrFunctor(t);
      std::vector<TAGGED> args;
      for (uint32_t i = 1; i <= Arity(f); i++) args.push_back(normalise(StrArg(t, (int)i)));
      TAGGED *q = p.w->global_top;
      q[0] = f;
      for (size_t i = 0; i < args.size(); i++) q[i + 1] = args[i];
      p.w->global_top += args.size() + 1;
      return MakeStr(q);
    }
    return t;
  }

  /* Every module but prolog (and prolog's dynamic predicates): properties, exports, imports,
   * clauses with writeq, blackboard; then the flags. */
  std::string listing(const std::set<std::string> &only = {}, bool flags = true)
  {
    return file_output([&](QX_stream *s) {
      QX_stream *before = qx_eg.output_stream_ptr;
      qx_eg.output_stream_ptr = s;
      auto wq = [&](TAGGED t) {
        var_names.clear();
        TAGGED *top = p.w->global_top;
        call("writeq", {normalise(t)});
        p.w->global_top = top;
      };
      std::vector<mod_def *> modules;
      qx_for_each_module([&](mod_def *m) { modules.push_back(m); });
      std::sort(modules.begin(), modules.end(), [](mod_def *a, mod_def *b) {
        return std::strcmp(atom_name(a->name), atom_name(b->name)) < 0;
      });
      for (mod_def *m : modules) {
        bool prolog = m == qx_eg.prolog_module;
        if (!only.empty() && !only.count(atom_name(m->name))) continue;
        QX_fprintf(s, "module %s hidden=%u attr=%d file=", atom_name(m->name), m->prop & 1,
                   m->attr_no != 0);
        wq(m->filename);
        QX_fprintf(s, " exports:");
        for (definition *d = m->public_lst; d != (definition *)(intptr_t)-1; d = d->next_public)
          QX_fprintf(s, " %s/%u", atom_name(d->proc.printname), d->proc.arity);
        QX_fprintf(s, "\n");
        std::vector<definition *> defs;
        qx_for_each_definition(m, [&](definition *d) {
          bool shown = d->predtyp == ENTER_INTERPRETED || d->imported_from;
          if (shown && (!prolog || d->properties.dynamic)) defs.push_back(d);
        });
        std::sort(defs.begin(), defs.end(), [](definition *a, definition *b) {
          int c = std::strcmp(atom_name(a->proc.printname), atom_name(b->proc.printname));
          return c ? c < 0 : a->proc.arity < b->proc.arity;
        });
        for (definition *d : defs) {
          QX_fprintf(s, "  %s/%u kind=%u dyn=%u blk=%u meta=%u mf=%u hid=%u vol=%u",
                     atom_name(d->proc.printname), d->proc.arity, d->predtyp, d->properties.dynamic,
                     d->properties.block, d->properties.meta, d->properties.multifile,
                     d->properties.hidden, d->properties.volatyle);
          QX_fprintf(s, " metainfo=");
          wq(d->metainfo);
          QX_fprintf(s, " blockinfo=");
          wq(d->blockinfo);
          QX_fprintf(s, " file=");
          wq(d->filename);
          if (d->imported_from)
            QX_fprintf(s, " from=%s", atom_name(d->imported_from->module->name));
          QX_fprintf(s, "\n");
          if (d->imported_from || d->properties.volatyle) continue;
          for (instance *ins = d->first_clause; ins; ins = ins->next) {
            if (ins->death != QX_CLOCK_ALIVE) continue;
            TAGGED *top = p.w->global_top;
            QX_fprintf(s, "    ");
            wq(qx_copy_from_instance(p.w, ins));
            QX_fprintf(s, " @ ");
            wq(IsAtom(ins->extra) ? ins->extra : atom_nil);
            QX_fprintf(s, "\n");
            p.w->global_top = top;
          }
        }
        std::vector<std::pair<std::string, instance *>> bb;
        sw_on_key *t = (sw_on_key *)(uintptr_t)m->bb;
        for (uint32_t i = 0; t && i < sw_on_key_slots(t); i++)
          if (t->node[i].key)
            bb.push_back({TestProlog::show(t->node[i].key), (instance *)t->node[i].value});
        std::sort(bb.begin(), bb.end());
        for (auto &[key, ins] : bb) {
          TAGGED *top = p.w->global_top;
          QX_fprintf(s, "  bb %s = ", key.c_str());
          wq(qx_copy_from_instance(p.w, ins));
          QX_fprintf(s, "\n");
          p.w->global_top = top;
        }
      }
      TAGGED words[QX_STATE_FLAG_WORDS];
      qx_get_state_flags(words);
      QX_fprintf(s, "flags:");
      for (TAGGED word : words) {
        if (!flags) break;
        QX_fprintf(s, " ");
        if (IsAtom(word) || IsSmall(word))
          wq(word);
        else
          QX_fprintf(s, "%u", word);
      }
      QX_fprintf(s, "\n");
      qx_eg.output_stream_ptr = before;
    });
  }

  /* A native's answer as a line: "ok", "fail" or the recorded error. */
  static std::string outcome(const bi_call &r)
  {
    if (!r.raised) return r.rc ? "ok" : "fail";
    return "error " + std::to_string(r.code) + " " + r.message + " " + r.culprit;
  }
  std::string save(const std::string &file, int mode)
  {
    return outcome(call("$save", {at(file.c_str()), MakeSmall(mode), at("c")}));
  }
  std::string restore(const std::string &file, bool increment = false)
  {
    return outcome(
        call(increment ? "$restore_increment" : "$restore", {at(file.c_str()), at("c")}));
  }

  std::string dir;
};

/* ---- a small state emitter ---- */
struct StateWriter {
  std::string bytes;
  bool swap = false;
  explicit StateWriter(uint32_t mask, const std::string &extra_header = "", int version = 3)
  {
    char line[64];
    std::snprintf(line, sizeof line, "version=%d archmask=0x%x\n", version, mask);
    bytes = "#! /bin/sh\n# META_INFO 1\n" + extra_header + "# META_INFO END\n" + line;
  }
  StateWriter &word(uint32_t w)
  {
    if (swap) w = __builtin_bswap32(w);
    bytes.append((const char *)&w, 4);
    return *this;
  }
  StateWriter &rec(int32_t tag, uint32_t w1 = 0, uint32_t w2 = 0, uint32_t w3 = 0, uint32_t w4 = 0,
                   uint32_t w5 = 0, uint32_t w6 = 0)
  {
    for (uint32_t w : {(uint32_t)tag, w1, w2, w3, w4, w5, w6}) word(w);
    return *this;
  }
  StateWriter &raw(const std::string &b)
  {
    bytes += b;
    return *this;
  }
  StateWriter &atom(TAGGED key, const std::string &name, uint32_t prefix = 3)
  {
    rec(QX_REC_ATOM, key, (uint32_t)name.size() + 1, prefix);
    return raw(name + std::string(1, '\0'));
  }
  StateWriter &end() { return rec(QX_REC_END, 1, 1); }
};

/* Keys of hand-made states: atom cells beyond the fixed atoms, and object addresses. */
constexpr TAGGED atom_key(uint32_t index) { return index << 3 | QX_TAG_ATOM; }
constexpr TAGGED kUser = atom_key(2000), kP = atom_key(2001), kFoo = atom_key(2002);
constexpr TAGGED kMod = 0x10000, kDef = 0x20000, kIns = 0x30000;
constexpr uint32_t kAllButProlog = 0x2d85a, kAll = 0x2dc5a, kSelected = 0x2d05a;

/* user:p/2 dynamic with the clause p(foo, 1.5). */
StateWriter &one_clause(StateWriter &s)
{
  s.atom(kUser, "user").atom(kP, "p").atom(kFoo, "foo");
  s.rec(QX_REC_MODULE, kMod, kUser, 0).rec(QX_REC_PREDICATE, kDef, kMod, MakeFunctor(kP, 2));
  s.rec(QX_REC_PROPERTIES, kDef, 1, ENTER_INTERPRETED);
  double v = 1.5;
  uint32_t lo, hi;
  std::memcpy(&lo, &v, 4);
  std::memcpy(&hi, (char *)&v + 4, 4);
  s.rec(QX_REC_DYNAMIC_CLAUSE, kDef, atom_nil, 0, 7 * 4);
  for (uint32_t w : {kIns, 0u, MakeFunctor(kP, 2), kFoo, (48u + 12) | 1, QX_FLOAT_HEADER, lo, hi,
                     QX_FLOAT_HEADER})
    s.word(w);
  return s;
}

std::string clauses_of(SaveEngine &e, const char *name, uint32_t arity)
{
  definition *d = e.pred("user", name, arity);
  std::string out;
  for (instance *ins = d->first_clause; ins; ins = ins->next)
    out += TestProlog::show(qx_copy_from_instance(e.p.w, ins)) + ";";
  return out;
}

class SaveTest : public SaveEngine {};

/* ---- round trips ---- */

TEST(SaveRestore, RoundTripsIntoFreshEnginesKeepTheListing)
{
  std::string dir = qx_scratch_mkdtemp("qx_roundtrip");
  std::string state = dir + "/db.sav";
  struct {
    int selector; /* 0 ALL_BUT_PROLOG, 1 ALL, 2 SELECTED */
    std::set<std::string> only;
    const char *preds = "[r/2]"; /* SELECTED: Module:Name/Arity reads (Module:Name)/Arity */
  } rows[] = {
      {1, {}}, {0, {}}, {2, {"m1"}}, {2, {"m1"}, "[user:r/2]"}, {2, {"m1"}, "[user:(r/2)]"}};
  for (auto &row : rows) {
    SCOPED_TRACE(std::to_string(row.selector) + row.preds);
    forked_child before = run_forked([&] {
      SaveEngine e;
      e.build();
      std::string listing = e.listing(row.only, row.selector != 2);
      bi_call r =
          row.selector == 2
              ? e.call("$save_increment", {e.read_term("[m1]"), atom_nil, e.read_term(row.preds),
                                           e.at(state.c_str()), e.at("c")})
              : e.call("$save", {e.at(state.c_str()), MakeSmall(row.selector), e.at("c")});
      return SaveEngine::outcome(r) + "\n" + listing;
    });
    forked_child after = run_forked([&] {
      SaveEngine e;
      std::string r = e.restore(state, row.selector == 2);
      std::string listing = e.listing(row.only, row.selector != 2);
      /* the natives still answer, the restored clauses run, the volatile predicate has none */
      int natives = e.run("assertz(z(1)), writeq(x)");
      int runs = e.run("m1:q(1.5, 2)");
      if (row.selector == 2) {
        /* the selected predicate, its reference to a clause of the selected module rebuilt */
        std::string user = e.listing({"user"}, false);
        size_t at = user.find("    r(");
        r += at == std::string::npos ? " no r/2" : " " + user.substr(at, user.find('\n', at) - at);
      }
      return r + "\n" + listing + "natives " + std::to_string(natives) + " q " +
             std::to_string(runs) + " vol " +
             std::to_string(e.pred("user", "vol", 1)->clause_count);
    });
    ASSERT_NE(before.report.find("ok\n"), std::string::npos) << before.report << before.err;
    std::string expected = before.report + "natives 1 q 1 vol 0";
    if (row.selector == 2) expected.insert(2, "     r(clause_ref('m1:p/1#0'),dead_ref) @ []");
    EXPECT_EQ(after.report, expected) << after.err;
    if (row.selector != 2) {
      EXPECT_NE(before.report.find("r(clause_ref('m1:p/1#0'),dead_ref)"), std::string::npos);
    }
  }
  std::system(("rm -rf " + dir).c_str());
}

/* A selected save (its file filter copied to the heap first) and a restore of its dynamic
 * clauses, each with a collection at every room check, against the same runs with collection off:
 * the same answers and the same restored listing. */
TEST(SaveRestore, ASaveAndARestoreWithCollectionsInTheMiddleMatchOnesWithout)
{
  std::string dir = qx_scratch_mkdtemp("qx_gcstate");
  std::string reports[2];
  for (int collect = 0; collect < 2; collect++) {
    std::string state = dir + "/s" + std::to_string(collect) + ".sav";
    auto collecting = [collect](bool on) {
      qx_gc_stress = on && collect == 1;
      qx_eg.current_gcmode = on && collect == 1 ? atom_on : atom_off;
      return qx_gc_statistics()->collections;
    };
    auto collected = [](uint64_t before) {
      return qx_gc_statistics()->collections > before ? "collected " : "none ";
    };
    forked_child saved = run_forked([&] {
      SaveEngine e;
      e.build();
      e.module("m1")->filename = e.at("/src/m1.pl"); /* not the engine's own directory */
      if (e.run("assertz('$save':type(files(['a.pl'])))") != 1) return std::string("no filter");
      e.read_term("garbage(1, 2, 3)"); /* below the arguments, so that they move */
      uint64_t before = collecting(true);
      bi_call r = e.call("$save_increment",
                         {e.read_term("[m1]"), atom_nil, e.read_term("[r/2, mf/1, blk/2]"),
                          e.at(state.c_str()), e.read_term("culprit(x)")});
      return collected(before) + SaveEngine::outcome(r) + "\n";
    });
    forked_child restored = run_forked([&] {
      SaveEngine e;
      e.read_term("garbage(1, 2, 3)");
      uint64_t before = collecting(true);
      std::string r = e.restore(state, true);
      std::string how = collected(before);
      collecting(false);
      return how + r + "\n" + e.listing({"m1", "user"}, false);
    });
    reports[collect] = saved.report + restored.report;
    EXPECT_NE(saved.report, "") << saved.err;
  }
  std::system(("rm -rf " + dir).c_str());
  EXPECT_EQ(reports[0].substr(0, 8), "none ok\n") << reports[0];
  ASSERT_EQ(reports[1].substr(0, 13), "collected ok\n") << reports[1];
  size_t second = reports[0].find('\n') + 1;
  EXPECT_EQ(reports[0].substr(second, 8), "none ok\n") << reports[0];
  EXPECT_EQ(reports[1].substr(13, 13), "collected ok\n") << reports[1];
  EXPECT_NE(reports[0].find("    r("), std::string::npos) << reports[0];
  EXPECT_EQ(reports[1].substr(26), reports[0].substr(second + 8));
}

}  // namespace

namespace {

/* ---- the text header, the trailer and the records a save writes ---- */

TEST_F(SaveTest, HeaderLinesAndTrailerAreExact)
{
  ASSERT_EQ(QX_set_system_property("QX_LIBRARY_DIR", "/opt/qx/library", 0), 0);
  TAGGED libdir = at("/opt/qx/library/");
  bb_put(qx_eg.user_module, at("lib"), libdir);
  for (auto [mode, mask] : {std::pair{1, "0x2dc5a"}, std::pair{0, "0x2d85a"}}) {
    std::string file = dir + "/h.sav";
    ASSERT_EQ(save(file, mode), "ok");
    std::string b = slurp(file);
    std::string head = std::string("#! /bin/sh\nexec orvalis-4.1.2 -r \"$0\" -a \"$@\"\n") +
                       "# META_INFO 1\n# FILE: \"" + file + "\"\n# META_INFO END\n" +
                       "version=3 archmask=" + mask + "\n";
    EXPECT_EQ(b.substr(0, head.size()), head);
    size_t trailer = b.rfind("\n# META_INFO_SUFFIX 1\n");
    ASSERT_NE(trailer, std::string::npos);
    char size[64];
    std::snprintf(size, sizeof size, "# size=\"0x%zx\"\n", trailer);
    EXPECT_EQ(b.substr(trailer), std::string("\n# META_INFO_SUFFIX 1\n") + size + "# file=\"" +
                                     file + "\"\n# META_INFO_SUFFIX END\n");
    saverest_record end;
    std::memcpy(&end, b.data() + trailer - 28, 28);
    EXPECT_EQ(end.tag, QX_REC_END);
    EXPECT_EQ(end.w1, 1u);
    EXPECT_EQ(end.w2, 1u);
    /* the library directory itself: prefix kind 1 and a one-byte payload */
    size_t at_rec = b.find(std::string((const char *)&libdir, 4), head.size());
    ASSERT_NE(at_rec, std::string::npos);
    saverest_record a;
    std::memcpy(&a, b.data() + at_rec - 4, 28);
    EXPECT_EQ(a.tag, QX_REC_ATOM);
    EXPECT_EQ(a.w2, 1u);
    EXPECT_EQ(a.w3, QX_PREFIX_LIBRARY);
    EXPECT_EQ(b[at_rec + 24], '\0');
  }
}

/* One FR line per loaded resource, between the FILE line and the end of the text header. */
TEST_F(SaveTest, HeaderListsLoadedResources)
{
  saverest_info info;
  info.target = dir + "/fr.sav";
  info.savemask = get_archmask(QX_SAVE_ALL_BUT_PROLOG);
  ASSERT_GE(QX_fopen(info.target.c_str(), nullptr, QX_FO_WRITE | QX_FO_BINARY, &info.stream), 0);
  EXPECT_EQ(qx_write_state_header(&info, {"clpfd", "timeout"}), 0);
  EXPECT_GE(QX_fclose(info.stream, 0), 0);
  info.stream = nullptr;
  EXPECT_EQ(info.written, (int64_t)slurp(info.target).size());
  EXPECT_EQ(slurp(info.target),
            "#! /bin/sh\nexec orvalis-4.1.2 -r \"$0\" -a \"$@\"\n# META_INFO 1\n"
            "# FILE: \"" +
                info.target +
                "\"\n# FR: \"clpfd\"\n# FR: \"timeout\"\n"
                "# META_INFO END\nversion=3 archmask=0x2d85a\n");
  /* restore/1 is $restore(File, restore(File)): the error names restore/1 */
  bi_call r = call("restore", {at((dir + "/none.sav").c_str())});
  EXPECT_TRUE(r.raised);
  EXPECT_EQ(r.predicate, "restore/1");
  EXPECT_EQ(r.code, 0x504u);
  ASSERT_EQ(save(dir + "/ok.sav", 0), "ok");
  EXPECT_EQ(outcome(call("restore", {at((dir + "/ok.sav").c_str())})), "ok");
}

/* restore/1 runs the restored state's initialisation goals, the solutions of the dynamic
 * prolog:'$init_goal'/1, in order: one that fails is passed over, one that throws ends the restore
 * with its ball and the later ones do not run; the engine's own goals went with the restore. */
TEST(SaveRestore, RestoreRunsTheStatesInitialisationGoals)
{
  struct {
    std::vector<const char *> goals;
    const char *outcome;
  } rows[] = {
      {{"assertz(user:ran(1))", "fail", "assertz(user:ran(2))"}, "1 ran 1,2"},
      {{"assertz(user:ran(1))", "throw(boom)", "assertz(user:ran(2))"}, "-1 boom ran 1"},
      {{"halt(3)", "assertz(user:ran(2))"}, "-1 $reserved(772) ran "},
      {{}, "1 ran "},
  };
  for (const auto &row : rows) {
    forked_child child = run_forked([&]() -> std::string {
      SaveEngine e;
      std::string file = e.dir + "/init.sav";
      for (const char *g : row.goals)
        if (e.run(std::string("assertz(prolog:'$init_goal'(") + g + "))") != 1) return "assertz";
      if (e.save(file, 0) != "ok") return "save";
      e.run("assertz(prolog:'$init_goal'(assertz(user:ran(0))))");
      std::string r = std::to_string(e.run("restore('" + file + "')"));
      if (r == "-1") r += " " + e.exception();
      r += " ran ";
      for (const char *n : {"0", "1", "2"})
        if (e.run(std::string("user:ran(") + n + ")") == 1)
          r += r.back() == ' ' ? n : std::string(",") + n;
      return r;
    });
    EXPECT_EQ(child.report, row.outcome) << child.err;
  }
}

/* Atoms are held while a restore runs and released at its end, also one whose key a later
 * record took over; definitions are unmarked. */
TEST_F(SaveTest, RestoreReleasesWhatItHeld)
{
  TAGGED foo = at("foo"), bar = at("bar");
  uint8_t before[2] = {atom_record(foo)->refcount, atom_record(bar)->refcount};
  StateWriter s(kAllButProlog);
  one_clause(s).atom(kFoo, "bar").end();
  spit(dir + "/r.sav", s.bytes);
  EXPECT_EQ(restore(dir + "/r.sav"), "ok");
  EXPECT_EQ(atom_record(foo)->refcount, before[0]);
  EXPECT_EQ(atom_record(bar)->refcount, before[1]);
  EXPECT_EQ(pred("user", "p", 2)->properties.locked, 0u);
  /* a restore that fails half way releases them too */
  spit(dir + "/r.sav", s.bytes.substr(0, s.bytes.size() - 28));
  EXPECT_EQ(restore(dir + "/r.sav").substr(0, 23), "error 5 bad saved state");
  EXPECT_EQ(atom_record(foo)->refcount, before[0]);
  EXPECT_EQ(atom_record(bar)->refcount, before[1]);
  EXPECT_EQ(pred("user", "p", 2)->properties.locked, 0u);
}

/* Hand-made states: what a restore answers, what it prints, and that a good restore works after. */
TEST(SaveRestoreRecords, HandMadeStates)
{
  auto bad = [](StateWriter s) { return s; };
  double fv = 1.5;
  uint32_t flo, fhi;
  std::memcpy(&flo, &fv, 4);
  std::memcpy(&fhi, (char *)&fv + 4, 4);
  struct Row {
    const char *name;
    std::string bytes;
    bool increment;
    std::string outcome; /* prefix of the answer */
    std::string printed; /* prefix of what the reader printed, or "" */
    std::string clauses; /* user:p/2 afterwards, when ok */
  };
  std::vector<Row> rows;
  auto good = [&] {
    StateWriter s(kAllButProlog);
    return one_clause(s).end().bytes;
  };
  std::string big_line(300, 'x');
  rows.push_back({"good", good(), false, "ok", "", "p(foo,1.5); file=[]"});
  rows.push_back({"extra header lines",
                  [&] {
                    StateWriter s(kAllButProlog, "# a comment\n" + big_line + "\nexec sh\n");
                    return one_clause(s).end().bytes;
                  }(),
                  false, "ok", "", "p(foo,1.5); file=[]"});
  rows.push_back({"version 2",
                  [&] {
                    StateWriter s(kAllButProlog, "", 2);
                    return one_clause(s).end().bytes;
                  }(),
                  false, "error 5 bad saved state", "", ""});
  rows.push_back({"archmask line", "#! /bin/sh\narchmask=0x2d85a\nversion=3 archmask=0x2d85a\n",
                  false, "error 5 bad saved state", "", ""});
  rows.push_back(
      {"no version line", "#! /bin/sh\n# META_INFO 1\n", false, "error 5 bad saved state", "", ""});
  rows.push_back({"ALL to increment", StateWriter(kAll).end().bytes, true,
                  "error 5 type 32-bit,BDD,GAUGE,ALL, saved state, type 32-bit,BDD,GAUGE, emulator",
                  "", ""});
  rows.push_back({"SELECTED to restore", StateWriter(kSelected).end().bytes, false,
                  "error 5 type 32-bit,BDD,GAUGE,SELECTED, saved state", "", ""});
  rows.push_back({"SELECTED to increment",
                  [&] {
                    StateWriter s(kSelected);
                    return one_clause(s).end().bytes;
                  }(),
                  true, "ok", "", "p(foo,1.5); file=[]"});
  rows.push_back({"tag 17", StateWriter(kAllButProlog).rec(17).end().bytes, false, "error 5",
                  "! restore: unknown record type 17\n", ""});
  rows.push_back({"tag -1", StateWriter(kAllButProlog).rec(-1).end().bytes, false, "error 5",
                  "! restore: unknown record type -1\n", ""});
  rows.push_back({"no end record",
                  [&] {
                    StateWriter s(kAllButProlog);
                    return one_clause(s).bytes;
                  }(),
                  false, "error 5 bad saved state", "", ""});
  rows.push_back({"record cut short", good().substr(0, good().size() - 40), false,
                  "error 5 bad saved state", "", ""});
  rows.push_back({"undefined key",
                  StateWriter(kAllButProlog).rec(QX_REC_MODULE, kMod, kUser).end().bytes, false,
                  "error 5 bad saved state", "! relocation undefined, key=0x3e87\n", ""});
  rows.push_back({"module where a definition is expected",
                  StateWriter(kAllButProlog)
                      .atom(kUser, "user")
                      .rec(QX_REC_MODULE, kMod, kUser)
                      .rec(QX_REC_PROPERTIES, kMod, 1, 6)
                      .end()
                      .bytes,
                  false, "error 5 bad saved state", "", ""});
  rows.push_back({"atom length beyond the file",
                  StateWriter(kAllButProlog).rec(QX_REC_ATOM, kP, 0x7fffffff, 3).raw("p").bytes,
                  false, "error 5 bad saved state", "", ""});
  rows.push_back({"atom length beyond the cap but in the file",
                  StateWriter(kAllButProlog)
                      .rec(QX_REC_ATOM, kP, 0x00900000, 3)
                      .raw(std::string(0x00900000, 'a'))
                      .end()
                      .bytes,
                  false, "error 5 bad saved state", "", ""});
  rows.push_back({"atom without its NUL",
                  StateWriter(kAllButProlog).rec(QX_REC_ATOM, kP, 2, 3).raw("pq").end().bytes,
                  false, "error 5 bad saved state", "", ""});
  rows.push_back({"atom of invalid text",
                  StateWriter(kAllButProlog).atom(kP, "\xff\xfe").end().bytes, false,
                  "error 5 bad saved state", "", ""});
  rows.push_back({"fixed atom redefined",
                  StateWriter(kAllButProlog).atom(atom_true, "x").end().bytes, false,
                  "error 5 bad saved state", "", ""});
  rows.push_back({"prefix kind 4", StateWriter(kAllButProlog).atom(kP, "x", 4).end().bytes, false,
                  "error 5 bad saved state", "", ""});
  rows.push_back({"term size not whole words",
                  [&] {
                    StateWriter s(kAllButProlog);
                    one_clause(s);
                    return s.rec(QX_REC_DYNAMIC_CLAUSE, kDef, atom_nil, 0, 6)
                        .raw(std::string(14, '\0'))
                        .end()
                        .bytes;
                  }(),
                  false, "error 5 bad saved state", "", ""});
  rows.push_back({"term pointing outside its body",
                  [&] {
                    StateWriter s(kAllButProlog);
                    one_clause(s);
                    s.rec(QX_REC_DYNAMIC_CLAUSE, kDef, atom_nil, 0, 12);
                    for (uint32_t w : {kIns + 8, 0u, MakeFunctor(kP, 2), kFoo, 0x1000u | 1})
                      s.word(w);
                    return s.end().bytes;
                  }(),
                  false, "error 5 bad saved state", "", ""});
  rows.push_back({"clause of another predicate",
                  [&] {
                    StateWriter s(kAllButProlog);
                    one_clause(s);
                    s.rec(QX_REC_DYNAMIC_CLAUSE, kDef, atom_nil, 0, 4);
                    for (uint32_t w : {kIns + 8, 0u, kFoo}) s.word(w);
                    return s.end().bytes;
                  }(),
                  false, "error 5 bad saved state", "", ""});
  /* lengths beyond the rest of the file, or not whole words where words are read */
  auto after_clause = [&](const std::function<void(StateWriter &)> &more) {
    StateWriter s(kAllButProlog);
    one_clause(s);
    more(s);
    return s.bytes;
  };
  rows.push_back({"exports beyond the file",
                  after_clause([](StateWriter &s) { s.rec(QX_REC_EXPORTS, kMod, atom_nil, 4000); }),
                  false, "error 5 bad saved state", "", ""});
  rows.push_back({"exports not whole words", after_clause([](StateWriter &s) {
                    s.rec(QX_REC_EXPORTS, kMod, atom_nil, 6).raw(std::string(6, '\0')).end();
                  }),
                  false, "error 5 bad saved state", "", ""});
  rows.push_back({"term beyond the file", after_clause([](StateWriter &s) {
                    s.rec(QX_REC_DYNAMIC_CLAUSE, kDef, atom_nil, 0, 0x0FFFFFF0).word(kIns + 8);
                  }),
                  false, "error 5 bad saved state", "", ""});
  rows.push_back({"compiled code beyond the file", after_clause([](StateWriter &s) {
                    s.rec(QX_REC_COMPILED_CLAUSE, kDef, (0x10010u << 9), 0, 0, atom_nil, 0x10000);
                  }),
                  false, "error 5 bad saved state", "", ""});
  rows.push_back({"meta bytes beyond the file", after_clause([](StateWriter &s) {
                    s.rec(QX_REC_PROPERTIES, kDef, 1 | 4, ENTER_INTERPRETED).raw(":");
                  }),
                  false, "error 5 bad saved state", "", ""});
  rows.push_back({"negative functor word", after_clause([](StateWriter &s) {
                    s.rec(QX_REC_PREDICATE, kDef + 8, kMod, kP | 0x80000000u).end();
                  }),
                  false, "error 5 bad saved state", "", ""});
  rows.push_back({"atom name with the library prefix", after_clause([](StateWriter &s) {
                    s.atom(atom_key(2030), "x.pl", QX_PREFIX_LIBRARY);
                    s.rec(QX_REC_SOURCE_FILE, kDef, atom_key(2030)).end();
                  }),
                  false, "ok", "", "p(foo,1.5); file=/opt/qx/library/x.pl"});
  rows.push_back({"tag 8 accepted",
                  [&] {
                    StateWriter s(kAllButProlog);
                    one_clause(s).rec(QX_REC_NAME, kMod, kFoo, 3);
                    return s.end().bytes;
                  }(),
                  false, "ok", "", "p(foo,1.5); file=[]"});
  rows.push_back({"key defined twice",
                  [&] {
                    StateWriter s(kAllButProlog);
                    one_clause(s).atom(kFoo, "bar");
                    return s.end().bytes;
                  }(),
                  false, "ok", "! relocation redefined, key=0x3e97, old value=0x",
                  "p(foo,1.5); file=[]"});
  rows.push_back({"other byte order",
                  [&] {
                    StateWriter s(kAllButProlog | 4);
                    s.swap = true;
                    one_clause(s);
                    /* the float's two payload words are exchanged as well */
                    size_t at = s.bytes.size() - 12;
                    std::string lo = s.bytes.substr(at, 4), hi = s.bytes.substr(at + 4, 4);
                    s.bytes.replace(at, 8, hi + lo);
                    return s.end().bytes;
                  }(),
                  false, "ok", "", "p(foo,1.5); file=[]"});
  rows.push_back({"64-bit state", StateWriter(kAllButProlog | 3).end().bytes, false,
                  "error 5 type 64-bit,BDD,GAUGE,ALL_BUT_PROLOG, saved state", "", ""});
  rows.push_back({"definition exported twice", after_clause([](StateWriter &s) {
                    s.rec(QX_REC_EXPORTS, kMod, atom_nil, 8).word(kDef).word(kDef).end();
                  }),
                  false, "error 5 bad saved state", "", ""});
  rows.push_back({"GC margin beyond any heap", after_clause([](StateWriter &s) {
                    s.rec(QX_REC_FLAGS);
                    for (int i = 0; i < QX_STATE_FLAG_WORDS; i++)
                      s.word(i == 4 ? 2u << 20 : i == 14 ? kUser : 0); /* 2 GiB in KiB */
                    s.end();
                  }),
                  false, "error 5 bad saved state", "", ""});
  /* the heap's part of the largest reservation is less than 1 GiB; 64 MiB fits */
  for (uint32_t kb : {1u << 20, 1u << 16}) {
    bool fits = kb < (1u << 20);
    rows.push_back({fits ? "GC margin the heap keeps" : "GC margin of the whole reservation",
                    after_clause([kb](StateWriter &s) {
                      s.rec(QX_REC_FLAGS);
                      for (int i = 0; i < QX_STATE_FLAG_WORDS; i++)
                        s.word(i == 4 ? kb : i == 14 ? kUser : 0);
                      s.end();
                    }),
                    false, fits ? "ok" : "error 5 bad saved state", "",
                    fits ? "p(foo,1.5); file=[]" : ""});
  }
  rows.push_back({"compiled clause without code", after_clause([](StateWriter &s) {
                    s.rec(QX_REC_PREDICATE, kDef + 8, kMod, kFoo).rec(QX_REC_PROPERTIES, kDef + 8);
                    s.rec(QX_REC_COMPILED_CLAUSE, kDef + 8, 16u << 9, 0, 0, atom_nil, 0).end();
                  }),
                  false, "ok", "", "p(foo,1.5); file=[]"});
  (void)bad;
  (void)flo;
  (void)fhi;
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    forked_child c = run_forked([&] {
      SaveEngine e;
      std::string file = e.dir + "/s.sav";
      spit(file, row.bytes);
      QX_set_system_property("QX_LIBRARY_DIR", "/opt/qx/library", 0);
      std::string r = e.restore(file, row.increment);
      std::string clauses = clauses_of(e, "p", 2);
      clauses += std::string(" file=") + atom_name(e.pred("user", "p", 2)->filename);
      spit(file, good());
      std::string again = e.restore(file);
      again += " " + clauses_of(e, "p", 2);
      return r + "\n" + clauses + "\n" + again;
    });
    EXPECT_EQ(c.report.substr(0, row.outcome.size()), row.outcome) << c.report;
    if (row.outcome == "ok") {
      EXPECT_NE(c.report.find("\n" + row.clauses + "\n"), std::string::npos) << c.report;
    }
    EXPECT_EQ(c.err.substr(0, row.printed.size()), row.printed) << c.err;
    std::string tail = "ok p(foo,1.5);";
    EXPECT_TRUE(c.report.size() > tail.size() &&
                c.report.substr(c.report.size() - tail.size()) == tail)
        << c.report;
  }
}

}  // namespace

namespace {

/* ---- saves that fail ---- */

TEST_F(SaveTest, UnwritableTargetLeavesNoFile)
{
  std::string missing = dir + "/no/such/dir/s.sav";
  EXPECT_EQ(save(missing, 1).substr(0, 6), "error ");
  EXPECT_NE(access((dir + "/no").c_str(), F_OK), 0);
  /* a directory as the target: refused before anything is written beside it */
  std::string sub = dir + "/sub";
  ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
  EXPECT_EQ(save(sub, 1).substr(0, 6), "error ");
  EXPECT_EQ(entries_in(dir), 1); /* only sub */
}

/* A save that runs out of file size part way keeps the previous state byte for byte, reports
 * the write error at the end, and leaves no temporary file. */
TEST(SaveRestoreFaults, WriteErrorKeepsThePreviousState)
{
  forked_child c = run_forked([] {
    SaveEngine e;
    std::string file = e.dir + "/s.sav";
    std::string first = e.save(file, 0);
    std::string before = slurp(file);
    for (int i = 0; i < 400; i++)
      e.run("assertz(big(" + std::to_string(i) + ", 'some longer atom text " + std::to_string(i) +
            "'))");
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit lim{(rlim_t)before.size() + 2048, (rlim_t)before.size() + 2048};
    setrlimit(RLIMIT_FSIZE, &lim);
    std::string second = e.save(file, 0);
    lim = {RLIM_INFINITY, RLIM_INFINITY};
    setrlimit(RLIMIT_FSIZE, &lim);
    int others = entries_in(e.dir);
    return first + "|" + second.substr(0, 6) + "|" + (slurp(file) == before ? "same" : "changed") +
           "|" + std::to_string(others) + "|" + std::to_string(before.size() > 100);
  });
  EXPECT_EQ(c.report, "ok|error |same|1|1") << c.err;
}

/* A body cut one word short: its argument then refers one word past the end, to a cell that
 * matches it there. A longer body checked first leaves that index known as a cell. */
TEST(SaveRestoreRecords, ABodyRefersOnlyToItsOwnWords)
{
  const TAGGED var = (TAGGED)sizeof(instance) + 8; /* a variable at word 2 */
  const TAGGED body[3] = {MakeFunctor(MakeAtom(2000), 1), var, var};
  EXPECT_TRUE(qx_valid_instance_body(body, 3));
  EXPECT_FALSE(qx_valid_instance_body(body, 2));
}

/* ---- what a save leaves on disk ---- */

/* Saves to file with fsync and rename logged: the name of the temporary file renamed over file,
 * or "" when the save failed. */
std::string save_logged(SaveEngine &e, const std::string &file, std::vector<std::string> &log)
{
  call_log = &log;
  std::string r = e.save(file, 0);
  call_log = nullptr;
  for (const std::string &line : log) {
    size_t tail = line.size() - std::min(line.size(), file.size() + 1);
    if (r == "ok" && line.compare(0, 7, "rename ") == 0 && tail > 7 &&
        line.substr(tail) == " " + file)
      return line.substr(7, tail - 7);
  }
  return "";
}

/* Temporary files that a dead process of the same pid left do not block saving: the save takes
 * the next free name. */
TEST_F(SaveTest, LeftoverTemporaryFilesArePassedOver)
{
  std::string file = dir + "/s.sav";
  std::vector<std::string> log;
  std::string temp = save_logged(*this, file, log);
  size_t n_at = temp.rfind('_') + 1;
  ASSERT_EQ(temp.substr(0, n_at), dir + "/.qxsave" + std::to_string(getpid()) + "_");
  for (int k = 1; k <= 3; k++)
    spit(temp.substr(0, n_at) + std::to_string(std::stoi(temp.substr(n_at)) + k), "left");
  EXPECT_EQ(save(file, 0), "ok");
  EXPECT_EQ(entries_in(dir), 4) << "the state and the three files left";
}

/* A target name of the longest length a file system takes (255 bytes) less one: the temporary
 * file beside it still fits. */
TEST_F(SaveTest, ATargetOfALongNameIsSaved)
{
  ASSERT_EQ(run("assertz(long_name_fact(1))"), 1);
  std::string file = dir + "/" + std::string(250, 'n') + ".sav";
  ASSERT_EQ(save(file, 0), "ok");
  EXPECT_EQ(entries_in(dir), 1);
  ASSERT_EQ(run("retract(long_name_fact(1))"), 1);
  EXPECT_EQ(restore(file), "ok");
  EXPECT_EQ(run("long_name_fact(1)"), 1);
}

/* A target its owner may write but not read (mode 0200) is replaced, and keeps its mode. Root
 * may open any file, so the child saves as another user where it can become one. */
TEST(SaveRestoreFaults, AWriteOnlyTargetIsReplacedForItsOwner)
{
  forked_child c = run_forked([] {
    SaveEngine e;
    const uid_t nobody = 65534;
    if (geteuid() == 0 && (chown(e.dir.c_str(), nobody, nobody) != 0 || setgroups(0, nullptr) ||
                           setgid(nobody) != 0 || setuid(nobody) != 0))
      return std::string("cannot drop privileges");
    if (geteuid() == 0 || access(e.dir.c_str(), W_OK | X_OK) != 0)
      return std::string("cannot drop privileges");
    std::string file = e.dir + "/w.sav";
    spit(file, "old");
    chmod(file.c_str(), 0200);
    std::string r = e.save(file, 0);
    struct stat st;
    stat(file.c_str(), &st);
    chmod(file.c_str(), 0600);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%o", st.st_mode & 07777);
    return r + " " + mode + " " + slurp(file).substr(0, 10) + " " +
           std::to_string(entries_in(e.dir));
  });
  if (c.report == "cannot drop privileges") GTEST_SKIP() << c.report;
  EXPECT_EQ(c.report, "ok 200 #! /bin/sh 1") << c.err;
}

/* Through a symbolic link, a save writes the file the link names, beside it, with that file's
 * permission bits, or makes that file when it is not there yet; the link stays a link. */
TEST_F(SaveTest, ASymbolicLinkStaysAndTheModeIsKept)
{
  ASSERT_EQ(mkdir((dir + "/real").c_str(), 0700), 0);
  std::string real = dir + "/real/s.sav", link = dir + "/s.sav";
  ASSERT_EQ(symlink("real/s.sav", link.c_str()), 0);
  for (mode_t mode : {0750, 0}) {
    SCOPED_TRACE(mode);
    if (mode) {
      spit(real, "old");
      ASSERT_EQ(chmod(real.c_str(), mode), 0);
    }
    ASSERT_EQ(save(link, 0), "ok");
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat(real.c_str(), &st), 0);
    EXPECT_TRUE(!mode || (st.st_mode & 07777) == mode) << std::oct << st.st_mode;
    EXPECT_EQ(slurp(real).substr(0, 11), "#! /bin/sh\n");
    EXPECT_EQ(entries_in(dir + "/real"), 1);
    ASSERT_EQ(unlink(real.c_str()), 0);
  }
}

/* The new state is forced to storage under its temporary name, then renamed over the target,
 * then the directory entry is forced: a crash leaves the old state or the whole new one. The
 * save syncs the file itself, whichever device layer the I/O library uses. */
TEST_F(SaveTest, TheStateIsSyncedBeforeItsRenameAndTheDirectoryAfter)
{
  char real_dir[PATH_MAX]; /* as the descriptors name it */
  ASSERT_NE(realpath(dir.c_str(), real_dir), nullptr);
  std::string file = std::string(real_dir) + "/s.sav";
  std::vector<std::string> log;
  std::string temp = save_logged(*this, file, log);
  ASSERT_NE(temp, "");
  std::string calls; /* the last three: the I/O library may sync the file before as well */
  for (size_t i = log.size() > 3 ? log.size() - 3 : 0; i < log.size(); i++) calls += log[i] + "\n";
  EXPECT_EQ(calls,
            "fsync " + temp + "\nrename " + temp + " " + file + "\nfsync " + real_dir + "\n");
}

/* ---- compiled code kept opaque ---- */

TEST(SaveRestoreRecords, CompiledClauseRestoresOpaque)
{
  forked_child c = run_forked([] {
    SaveEngine e;
    TAGGED kCc = MakeAtom(2010);
    StateWriter s(kAllButProlog);
    s.atom(kUser, "user").atom(kCc, "cc").rec(QX_REC_MODULE, kMod, kUser);
    s.rec(QX_REC_PREDICATE, kDef, kMod, kCc).rec(QX_REC_PROPERTIES, kDef, 0, 0);
    s.rec(QX_REC_COMPILED_CLAUSE, kDef, (20u << 9) | 3, 0x5000, 0x6000, atom_nil, 4);
    s.raw(std::string("\x28\x00\x07\x00", 4)).end();
    std::string file = e.dir + "/c.sav";
    spit(file, s.bytes);
    std::string r = e.restore(file);
    definition *d = e.pred("user", "cc", 0);
    emul_info *clause = qx_first_compiled_clause(d);
    std::string shape =
        clause ? std::to_string(clause->objsize) + " " + std::to_string(clause->ix) + " " +
                     std::to_string(clause->emulcode[0]) + " " + std::to_string(clause->emulcode[1])
               : "none";
    /* an address inside the restored object names its predicate and clause */
    qx_pc_location where;
    std::string pc = clause && pc_info((uintptr_t)clause + 18, &where)
                         ? std::string(atom_name(where.module)) + ":" + atom_name(where.name) +
                               "/" + std::to_string(where.arity) + " #" +
                               std::to_string(where.index)
                         : "no pc";
    int called = e.run("cc");
    std::string ball = e.exception();
    std::string saved = e.save(e.dir + "/again.sav", 0);
    return r + "|" + shape + "|" + pc + "|" + std::to_string(called) + "|" + ball + "|" + saved;
  });
  EXPECT_EQ(c.report, "ok|20 3 40 7|user:cc/0 #1|-1|error(system_error(compiled code is not "
                      "supported: user:cc/0),context(_,0))|error 4101 save compiled_procedure "
                      "user:cc/0")
      << c.err;
}

/* ---- the multifile rule ---- */

TEST_F(SaveTest, MultifileClausesOfListedFilesAreReplaced)
{
  ASSERT_EQ(run("assertz(mf(old_a)), assertz(mf(old_b)), assertz('$save':type(files(['a.pl'])))"),
            1);
  definition *mf = pred("user", "mf", 1);
  mf->properties.multifile = 1;
  mf->first_clause->extra = at("a.pl");
  mf->last_clause->extra = at("b.pl");
  TAGGED kMf = MakeAtom(2020), kNew = MakeAtom(2021), kA = MakeAtom(2022);
  auto state = [&](uint32_t kind) {
    StateWriter s(kSelected);
    s.atom(kUser, "user").atom(kMf, "mf").atom(kNew, "new").atom(kA, "a.pl");
    s.rec(QX_REC_MODULE, kMod, kUser).rec(QX_REC_PREDICATE, kDef, kMod, MakeFunctor(kMf, 1));
    s.rec(QX_REC_PROPERTIES, kDef, 1 | 8, kind);
    s.rec(QX_REC_DYNAMIC_CLAUSE, kDef, kA, 0, 8);
    for (uint32_t w : {kIns, 0u, MakeFunctor(kMf, 1), kNew}) s.word(w);
    std::string file = dir + "/mf.sav";
    spit(file, s.end().bytes);
    return file;
  };
  EXPECT_EQ(restore(state(ENTER_INTERPRETED), true), "ok");
  std::string left;
  for (instance *ins = mf->first_clause; ins; ins = ins->next)
    if (ins->death == QX_CLOCK_ALIVE)
      left += TestProlog::show(qx_copy_from_instance(p.w, ins)) + "@" + atom_name(ins->extra) + ";";
  EXPECT_EQ(left, "mf(old_b)@b.pl;mf(new)@a.pl;");
  /* a compiled definition in the state: put aside, the restore ends with the permission error */
  EXPECT_EQ(restore(state(0), true), "error 4101 redefine multifile_procedure user:mf/1");
  EXPECT_EQ(mf->predtyp, ENTER_INTERPRETED);
}

}  // namespace

namespace {

/* ---- a memory fault in the middle of a restore ---- */

struct FailingSource {
  bool armed = false;
  int left = 0;
};
FailingSource failing;
int source_init(void *) { return 1; }
void source_deinit(void *) {}
void *source_alloc(size_t size, void *cookie)
{
  FailingSource *f = (FailingSource *)cookie;
  if (f->armed && f->left-- <= 0) return nullptr;
  return std::malloc(size);
}
void source_free(void *block, size_t, void *) { std::free(block); }

/* Runs act with the n-th allocation from now failing: what act answered, or "fault" when the
 * fault reached the caller; then whether the descriptors are those from before. */
template <class Act>
std::string under_failing_source(int n, Act act)
{
  int fds = SaveEngine::open_fds();
  failing.left = n;
  failing.armed = true;
  std::string r;
  try {
    r = act();
  } catch (const qx_fault &) {
    r = "fault";
  }
  failing.armed = false;
  return r + (SaveEngine::open_fds() == fds ? " closed" : " open");
}

/* A restore or a save with each of its allocations made to fail in turn, in a child whose
 * engine takes its memory from the failing source: every answer must be one of `expected`. */
template <class Run>
void each_allocation_failing(int count, const std::set<std::string> &expected, Run run)
{
  int faults = 0;
  for (int n = 0; n < count; n++) {
    SCOPED_TRACE(n);
    forked_child c = run_forked([&] {
      qx_memman_set_hooks(0, source_init, source_deinit, source_alloc, source_free, &failing);
      SaveEngine e;
      return run(e, e.dir + "/m.sav", n);
    });
    faults += c.report.substr(0, 5) == "fault";
    EXPECT_TRUE(expected.count(c.report)) << c.report << c.err;
  }
  EXPECT_GT(faults, 0);
}

/* The restore closes its stream, frees its state and passes the fault on; the engine then
 * restores the same state. */
TEST(SaveRestoreFaults, MemoryFaultInARestoreClosesAndRethrows)
{
  each_allocation_failing(64, {"fault closed ok 6", "ok closed ok 6"},
                          [](SaveEngine &e, const std::string &file, int n) {
                            e.build();
                            if (e.save(file, 0) != "ok") return std::string("save failed");
                            std::string r =
                                under_failing_source(n, [&] { return e.restore(file); });
                            r += " " + e.restore(file);
                            return r + " " + std::to_string(e.pred("m1", "p", 1)->clause_count);
                          });
}

/* A save that faults part way deletes its temporary file, closes it and leaves the previous
 * state as it was. */
TEST(SaveRestoreFaults, MemoryFaultInASaveKeepsThePreviousState)
{
  each_allocation_failing(48, {"fault closed alone same", "ok closed alone new"},
                          [](SaveEngine &e, const std::string &file, int n) {
                            if (e.save(file, 0) != "ok") return std::string("save failed");
                            std::string before = slurp(file);
                            e.build();
                            /* the file's atom is made before the failures start: atom
                             * collection may have taken it meanwhile */
                            QX_register_atom(e.at(file.c_str()));
                            std::string r =
                                under_failing_source(n, [&] { return e.save(file, 0); });
                            r += entries_in(e.dir) == 1 ? " alone" : " leftovers";
                            return r + (slurp(file) == before ? " same" : " new");
                          });
}

}  // namespace

namespace {

/* The engine loads no source or quick-load files: load_files/1 says so. */
TEST_F(SaveTest, LoadFilesIsASystemError)
{
  bi_call r = call("load_files", {at("x.ql")});
  EXPECT_TRUE(r.raised);
  EXPECT_EQ(r.code, (uint32_t)QX_ERR_SYSTEM);
  EXPECT_EQ(r.message, "load_files/1 is not supported: restore a saved state instead");
  EXPECT_EQ(r.predicate, "load_files/1");
}

}  // namespace
