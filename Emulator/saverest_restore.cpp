/* Restoring: $restore/2, $restore_increment/2 and restore/1.
 *
 * The reader trusts nothing in the file: every key must have been defined by an earlier record
 * and be of the kind its use needs, payload lengths are bounded and read in steps (so a length
 * beyond the end of the file allocates no more than the file holds), names must be valid text,
 * stored terms must be well-formed images, and the records must end with the end record. A state
 * that breaks any of this fails the restore with "bad saved state"; the engine stays usable.
 */
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "atoms.h"
#include "builtins.h"
#include "database.h"
#include "emulcode.h"
#include "errors.h"
#include "filenames.h"
#include "gc.h"
#include "hashtab.h"
#include "instance.h"
#include "memman.h"
#include "modules.h"
#include "objareas.h"
#include "orvalis.h"
#include "saverest.h"
#include "unify.h"
#include "wam.h"

namespace {

/* A state that breaks the format. */
constexpr int kBad = -300000;
constexpr uint32_t kMaxName = 1u << 20;
constexpr uint32_t kMaxKeys = 1u << 24;  /* bytes of an exports list */
constexpr uint32_t kMaxBody = 1u << 28;  /* bytes of a stored term */
constexpr uint32_t kReadStep = 1u << 16; /* payloads grow as they arrive */
definition *const kEndOfPublic = (definition *)(intptr_t)-1;

/* n bytes into out, in steps, as they are or as words. */
int read_payload(saverest_info *info, std::vector<unsigned char> &out, uint32_t n, bool words)
{
  out.clear();
  while (out.size() < n) {
    uint32_t at = (uint32_t)out.size();
    uint32_t k = n - at < kReadStep ? n - at : kReadStep;
    out.resize(at + k);
    int rc = words ? fread_longs(out.data() + at, k, info) : fread_bytes(out.data() + at, k, info);
    if (rc < 0) return rc;
  }
  return 0;
}

/* Read failures: end of file inside a state is a broken state. */
int read_failed(int rc) { return rc == QXIO_E_END_OF_FILE ? kBad : rc; }

bool is_atom_key(TAGGED w) { return IsAtom(w); }

struct Reader {
  saverest_info *info;
  worker *w;
  saverest_record r{};
  /* buffers kept from record to record */
  std::vector<unsigned char> bytes_;
  std::vector<uint64_t> block_;
  std::vector<TAGGED> goals_;

  TAGGED atom(TAGGED key)
  {
    TAGGED a = is_atom_key(key) ? rel_atom(info, key) : 0;
    return a && IsAtom(a) ? a : 0;
  }
  /* The empty list or an atom record's atom. */
  TAGGED file_atom(TAGGED key) { return key == atom_nil ? atom_nil : atom(key); }
  mod_def *module(TAGGED key) { return (mod_def *)rel_object(info, key, QX_RK_MODULE); }
  definition *def(TAGGED key) { return (definition *)rel_object(info, key, QX_RK_DEFINITION); }
  bool skipped(const definition *d) const { return d == info->skipped; }

  int rec_atom()
  {
    if (!IsAtom(r.w1) || r.w1 <= 71 || r.w2 < 1 || r.w2 > kMaxName || r.w3 < QX_PREFIX_LIBRARY ||
        r.w3 > QX_PREFIX_NONE)
      return kBad;
    std::vector<unsigned char> bytes;
    int rc = read_payload(info, bytes, r.w2, false);
    if (rc < 0) return rc;
    if (bytes.back() != 0 || std::strlen((const char *)bytes.data()) != r.w2 - 1) return kBad;
    std::string name = r.w3 == QX_PREFIX_LIBRARY     ? info->library_path
                       : r.w3 == QX_PREFIX_STATE_DIR ? info->dir_path
                                                     : std::string();
    name += (const char *)bytes.data();
    TAGGED a = init_atom_check(name.c_str(), 0);
    if (!a) return kBad;
    rel_enter_atom(info, r.w1, a);
    return 0;
  }

  int rec_module()
  {
    TAGGED name = atom(r.w2);
    if (!name) return kBad;
    mod_def *m = find_module(name, 1);
    m->prop = (m->prop & ~QX_MODULE_HIDDEN) | ((r.w3 >> 1) & 1);
    rel_enter(info, r.w1, m, QX_RK_MODULE);
    return 0;
  }

  int rec_predicate()
  {
    mod_def *m = module(r.w2);
    TAGGED name = IsFunctorCell(r.w3) ? atom(r.w3 & QX_FUNCTOR_NAME_MASK) : 0;
    if (!m || !name) return kBad;
    definition *d = insert_definition(m, name, Arity(r.w3), 1);
    if (!d) return kBad;
    rel_enter(info, r.w1, d, QX_RK_DEFINITION);
    return 0;
  }

  int rec_exports()
  {
    mod_def *m = module(r.w1);
    TAGGED file = file_atom(r.w2);
    if (!m || !file || (r.w3 & 3) || r.w3 > kMaxKeys) return kBad;
    std::vector<unsigned char> bytes;
    int rc = read_payload(info, bytes, r.w3, true);
    if (rc < 0) return rc;
    std::vector<definition *> defs;
    for (uint32_t i = 0; i < r.w3 / 4; i++) {
      TAGGED key;
      std::memcpy(&key, bytes.data() + 4 * i, 4);
      definition *d = def(key);
      if (!d || d->module != m) return kBad;
      defs.push_back(d);
    }
    for (definition *d = m->public_lst; d && d != kEndOfPublic;) {
      definition *next = d->next_public;
      d->next_public = nullptr;
      d = next;
    }
    m->public_lst = kEndOfPublic;
    m->filename = file;
    definition **tail = &m->public_lst;
    for (definition *d : defs) {
      if (d->next_public) return kBad; /* listed twice */
      *tail = d;
      d->next_public = kEndOfPublic;
      tail = &d->next_public;
    }
    return 0;
  }

  int rec_block()
  {
    definition *d = def(r.w1);
    if (!d || r.w2 < 1 || r.w2 > QX_MAX_ARITY + 1) return kBad;
    std::vector<unsigned char> bytes;
    int rc = read_payload(info, bytes, r.w2, false);
    if (rc < 0) return rc;
    if (bytes.back() != 0 || std::strlen((const char *)bytes.data()) != r.w2 - 1) return kBad;
    std::string mask = (const char *)bytes.data();
    if (mask.find_first_not_of("+-?") != std::string::npos) return kBad;
    if (skipped(d)) return 0;
    if (IsAtom(d->blockinfo) && d->blockinfo != atom_nil)
      mask = std::string(atom_name(d->blockinfo)) + ";" + mask;
    d->blockinfo = init_atom_check(mask.c_str(), 0);
    d->properties.block = 1;
    update_exports(d, d->predtyp);
    return 0;
  }

  int rec_source_file()
  {
    definition *d = def(r.w1);
    TAGGED file = file_atom(r.w2);
    if (!d || !file) return kBad;
    if (!skipped(d)) d->filename = file;
    return 0;
  }

  /* The 8-byte head and the c bytes of a stored term, relocated and checked. */
  int read_body(uint32_t c, std::vector<uint64_t> &block, TAGGED *saved_key)
  {
    if (c < 4 || (c & 3) || c > kMaxBody) return kBad;
    TAGGED head[2];
    int rc = fread_longs(head, sizeof head, info);
    if (rc < 0) return rc;
    std::vector<unsigned char> &bytes = bytes_;
    rc = read_payload(info, bytes, c, true);
    if (rc < 0) return rc;
    block.assign((sizeof(instance) + c + 7) / 8, 0);
    instance *ins = (instance *)block.data();
    ins->objsize = (uint32_t)sizeof(instance) + c;
    ins->bdd_count = head[1];
    std::memcpy(ins->body, bytes.data(), c);
    if (relocate_instance(ins, restore_rel, info) < 0) return kBad;
    if (!qx_valid_instance_body(ins->body, c / 4)) return kBad;
    *saved_key = head[0];
    return 0;
  }

  int rec_blackboard()
  {
    mod_def *m = module(r.w1);
    TAGGED key = r.w2;
    if (IsAtom(key)) key = atom(key);
    if (!m || !key || !IsConst(key) || IsBoxHeader(key)) return kBad;
    std::vector<uint64_t> &block = block_;
    TAGGED saved;
    int rc = read_body(r.w3, block, &saved);
    if (rc < 0) return rc;
    const instance *tmp = (const instance *)block.data();
    instance *ins = (instance *)qx_checkalloc(tmp->objsize, QX_SPACE_DATABASE);
    std::memcpy(ins, tmp, tmp->objsize);
    ins->death = QX_CLOCK_ALIVE;
    if (!m->bb) m->bb = (TAGGED)(uintptr_t)new_switch_on_key(8);
    sw_on_key *bb = (sw_on_key *)(uintptr_t)m->bb;
    sw_on_key_node *n = incore_gethash(bb, key);
    if (n->key) {
      qx_free_instance((instance *)(uintptr_t)n->value);
    } else {
      if (expansion_due(bb)) expand_sw_on_key(&bb);
      n = dyn_puthash(&bb, key);
      m->bb = (TAGGED)(uintptr_t)bb;
    }
    n->value = (TAGGED)(uintptr_t)ins;
    rel_enter(info, saved, ins, QX_RK_INSTANCE);
    return 0;
  }

  int rec_name()
  {
    mod_def *m = module(r.w1);
    TAGGED key = IsAtom(r.w2) ? atom(r.w2) : r.w2;
    if (!m || !key) return kBad;
    if (!m->names) m->names = new_switch_on_key(8);
    if (expansion_due(m->names)) expand_sw_on_key(&m->names);
    dyn_puthash(&m->names, key)->value = r.w3 << 3 | 1;
    return 0;
  }

  /* A state holds no native code: a saved native definition that the running engine has as
   * the same kind of native code (a loaded resource's predicate) keeps that code. */
  static bool runs_native_code(const definition *d, uint32_t kind)
  {
    bool native =
        kind == ENTER_FOREIGN || kind == ENTER_STASH || kind == ENTER_C || kind == ENTER_C_NONDET;
    return native && d->predtyp == kind && d->code.code;
  }

  int rec_properties()
  {
    definition *d = def(r.w1);
    if (!d || r.w3 >= QX_ENTRY_KINDS) return kBad;
    uint32_t bits = r.w2, kind = r.w3;
    std::vector<unsigned char> meta;
    if (bits & 4) {
      int rc = read_payload(info, meta, d->proc.arity + 1, false);
      if (rc < 0) return rc;
      if (meta.back() != 0 || std::strlen((const char *)meta.data()) != d->proc.arity) return kBad;
    }
    TAGGED meta_atom = (bits & 4) ? init_atom_check((const char *)meta.data(), 0) : atom_nil;
    if (!meta_atom) return kBad;
    if (skipped(d)) return 0;
    if (info->filter && d->properties.multifile && (bits & 8)) {
      bool same = kind == ENTER_INTERPRETED ? d->predtyp == ENTER_INTERPRETED
                                            : kind < 6 && (kind & ~1u) == (d->predtyp & ~1u);
      if (!same) {
        if (!info->skipped) info->skipped = d;
        return 0;
      }
      size_t n = info->filter_files.size();
      call_overflow(w, 2 * (uint32_t)n + 16, 2);
      TAGGED *p = w->global_top, files = atom_nil;
      for (size_t i = n; i-- > 0;) {
        p[2 * i] = info->filter_files[i];
        p[2 * i + 1] = files;
        files = MakeLst(&p[2 * i]);
      }
      w->global_top += 2 * n;
      multifile_retractall(d, files);
    } else if (!d->properties.builtin_row && !runs_native_code(d, kind)) {
      undefine_predicate(d);
      int new_kind = kind < 4                                             ? (int)(kind & ~1u)
                     : kind == ENTER_INTERPRETED || kind == FD_CONSTRAINT ? ENTER_INTERPRETED
                                                                          : ENTER_UNDEFINED;
      redefine_predicate(d, new_kind);
    }
    qx_def_props &p = d->properties;
    p.dynamic = bits & 1;
    p.block = (bits >> 1) & 1;
    p.meta = (bits >> 2) & 1;
    p.multifile = (bits >> 3) & 1;
    p.hidden = (bits >> 4) & 1;
    p.volatyle = (bits >> 5) & 1;
    d->metainfo = meta_atom;
    update_exports(d, d->predtyp);
    return 0;
  }

  int rec_import()
  {
    definition *imp = def(r.w1), *exp = def(r.w3);
    mod_def *m = module(r.w2);
    if (!imp || !exp || !m || imp == exp || exp->module != m || imp->functor != exp->functor ||
        exp->imported_from)
      return kBad;
    if (skipped(imp)) return 0;
    import_predicate(exp, m, imp->module);
    update_exports(exp, exp->predtyp);
    return 0;
  }

  /* The clause term (H :- B) or H of a stored clause: a head of the predicate, goals callable. */
  bool clause_fits(const definition *d, TAGGED c)
  {
    TAGGED head = c, body = atom_true;
    if (IsStr(c) && StrFunctor(c) == qx_clause_functor()) {
      head = deref(StrArg(c, 1));
      body = StrArg(c, 2);
    }
    TAGGED key = IsAtom(head)                                    ? head
                 : IsLst(head)                                   ? MakeFunctor(atom_dot, 2)
                 : IsStr(head) && !IsBoxHeader(StrFunctor(head)) ? StrFunctor(head)
                                                                 : 0;
    if (key != d->functor) return false;
    std::vector<TAGGED> &goals = goals_;
    goals.assign(1, body);
    while (!goals.empty()) {
      TAGGED g = deref(goals.back());
      goals.pop_back();
      if (IsStr(g) && qx_is_transparent(StrFunctor(g))) {
        goals.push_back(StrArg(g, 1));
        goals.push_back(StrArg(g, 2));
      } else if (!IsAtom(g) && !(IsStr(g) && !IsBoxHeader(StrFunctor(g))) && !IsLst(g)) {
        return false;
      }
    }
    return true;
  }

  int rec_dynamic_clause()
  {
    definition *d = def(r.w1);
    TAGGED file = r.w2 == 0 ? atom_nil : file_atom(r.w2);
    if (!d || !file) return kBad;
    std::vector<uint64_t> &block = block_;
    TAGGED saved;
    int rc = read_body(r.w4, block, &saved);
    if (rc < 0) return rc;
    if (skipped(d) || d->properties.builtin_row) return 0;
    if (d->predtyp != ENTER_INTERPRETED) return kBad;
    const instance *tmp = (const instance *)block.data();
    call_overflow(w, qx_instance_heap_words(tmp) + 16, 2);
    TAGGED *top = w->global_top;
    TAGGED c = deref(qx_copy_from_instance(w, tmp));
    if (!clause_fits(d, c)) {
      w->global_top = top;
      return kBad;
    }
    instance *ins = qx_make_clause(w, d, c);
    w->global_top = top;
    ins->extra = file;
    ins->bdd_count = tmp->bdd_count;
    insertz(d, ins);
    rel_enter(info, saved, ins, QX_RK_INSTANCE);
    return 0;
  }

  int rec_compiled_clause()
  {
    definition *d = def(r.w1);
    TAGGED file = r.w5 == 0 ? atom_nil : file_atom(r.w5);
    uint32_t size = r.w2 >> 9, m = r.w6;
    if (!d || !file || size > QX_EMUL_INFO_MAX || m > QX_EMUL_INFO_MAX || size != m + 16 || (m & 1))
      return kBad;
    std::vector<unsigned char> code;
    int rc = read_payload(info, code, m, false);
    if (rc < 0) return rc;
    if (skipped(d) || d->properties.builtin_row) return 0;
    if (d->predtyp > ENTER_PROFILEDCODE_INDEXED) return kBad;
    if (info->diffendian)
      for (uint32_t i = 0; i + 1 < m; i += 2) std::swap(code[i], code[i + 1]);
    emul_info *clause = qx_alloc_emul_info(size);
    if (!clause) return QXIO_E_OUT_OF_MEMORY;
    if (m) std::memcpy(clause->emulcode, code.data(), m); /* no code: no buffer to copy from */
    clause->filename = file;
    insert_compactcode(d, clause, (int)(r.w2 & 0x1FF), 0);
    return 0;
  }

  int rec_fd_predicate()
  {
    definition *d = def(r.w1);
    if (!d) return kBad;
    if (!qx_fd_restorer_hook) {
      int rc = load_clpfd_resource();
      if (rc < 0) return rc;
    }
    r.w1 = (TAGGED)(uintptr_t)d;
    return qx_fd_restorer_hook(qx_fd_hook_cookie, &r, fread_longs_callback, info) ? 0 : kBad;
  }

  /* Whether the heap's reservation can keep a GC margin of `kb` KiB (raw; 0 is the default)
   * free above what it holds now: a margin it cannot keep would fail every later heap request,
   * so the state asking for it is a broken one. */
  bool margin_fits(uint64_t kb)
  {
    return kb * 1024 < (uint64_t)((char *)w->heap_end - (char *)w->global_top);
  }

  int rec_flags()
  {
    TAGGED words[QX_STATE_FLAG_WORDS];
    int rc = fread_longs(words, sizeof words, info);
    if (rc < 0) return rc;
    for (int i = 0; i < QX_STATE_FLAG_WORDS; i++) {
      if (i == 4 || i == 6) continue; /* raw words */
      if (IsAtom(words[i])) {
        words[i] = atom(words[i]);
        if (!words[i]) return kBad;
      } else if (!IsSmall(words[i]) && words[i] != 0) {
        return kBad;
      }
    }
    if (!IsAtom(words[14]) || !margin_fits(words[4])) return kBad;
    qx_set_state_flags(words);
    return 0;
  }

  int rec_reset_module()
  {
    mod_def *m = module(r.w1);
    if (!m) return kBad;
    m->attr_no = 0;
    bb_remove(m);
    undefine_all(m, 1);
    return 0;
  }

  int record()
  {
    switch (r.tag) {
    case QX_REC_ATOM: return rec_atom();
    case QX_REC_MODULE: return rec_module();
    case QX_REC_PREDICATE: return rec_predicate();
    case QX_REC_ATTRIBUTE: {
      mod_def *m = module(r.w1);
      if (!m) return kBad;
      if (r.w2) save_attribute_info(m);
      return 0;
    }
    case QX_REC_EXPORTS: return rec_exports();
    case QX_REC_BLOCK: return rec_block();
    case QX_REC_SOURCE_FILE: return rec_source_file();
    case QX_REC_BLACKBOARD: return rec_blackboard();
    case QX_REC_NAME: return rec_name();
    case QX_REC_PROPERTIES: return rec_properties();
    case QX_REC_IMPORT: return rec_import();
    case QX_REC_DYNAMIC_CLAUSE: return rec_dynamic_clause();
    case QX_REC_COMPILED_CLAUSE: return rec_compiled_clause();
    case QX_REC_FD_PREDICATE: return rec_fd_predicate();
    case QX_REC_FLAGS: return rec_flags();
    case QX_REC_RESET_MODULE: return rec_reset_module();
    default: return kBad;
    }
  }
};

}  // namespace

int restore_rel(TAGGED *cell, TAGGED key, saverest_info *info, int kind)
{
  if (kind == QX_REL_DBREF) {
    if (cell[0] == MakeSmall(0) && cell[1] == MakeSmall(0)) return 0;
    instance *ins = (instance *)rel_object(info, cell[0] & ~(TAGGED)3, QX_RK_INSTANCE);
    if (!ins || !ins->owner) return -1;
    cell[0] = (TAGGED)(uintptr_t)ins | 3;
    cell[1] = MakeSmall((int32_t)ins->stamp);
    return 0;
  }
  TAGGED t = rel_atom(info, key);
  if (!t) return -1;
  *cell = t;
  return 0;
}

int restore_init(const char *path, saverest_info **info_out, uint32_t *kind_in_out, TAGGED culprit,
                 int argument)
{
  (void)argument;
  *info_out = nullptr;
  QX_stream *s = nullptr;
  int rc = QX_fopen(path, nullptr, QX_FO_READ | QX_FO_BINARY | QX_FO_URL, &s);
  if (rc < 0 && rc != QXIO_E_PERMISSION_ERROR && rc != QXIO_E_NOT_SUPPORTED &&
      rc != QXIO_E_FILE_NOT_FOUND)
    rc = QX_fopen(path, nullptr, QX_FO_READ | QX_FO_BINARY, &s);
  if (rc < 0) {
    save_qxio_error(rc, false, culprit);
    return rc;
  }
  auto *info = new saverest_info;
  info->stream = s;
  try {
    char *expanded = qx_expand_file_name(path, nullptr, 0);
    info->dir_path = qx_directory_of(expanded ? expanded : path);
    if (expanded) QX_free(expanded);
    info->library_path = qx_library_path();
    std::string message;
    uint32_t saved_kind = 0;
    rc = qx_read_state_header(info, *kind_in_out, &saved_kind, &message);
    if (rc < 0) {
      save_error(QX_ERR_SYSTEM, message.c_str(), culprit);
      restore_deinit(info, 1);
      return rc;
    }
    *kind_in_out = saved_kind;
    info->hash = new_switch_on_key(256);
  } catch (...) {
    restore_deinit(info, 1); /* a fault: the stream is closed before it goes on */
    throw;
  }
  *info_out = info;
  return 0;
}

int restore_common(saverest_info *info, definition **skipped_out)
{
  Reader reader{info, qx_w, {}, {}, {}, {}};
  qx_find_file_filter(info);
  for (;;) {
    int rc = fread_longs(&reader.r, sizeof reader.r, info);
    if (rc < 0) {
      info->error_text = qx_bad_saved_state; /* the records end only with the end record */
      return rc == QXIO_E_END_OF_FILE ? QXIO_E_PARAMETER_ERROR : rc;
    }
    if (reader.r.tag < 0 || reader.r.tag > QX_REC_END) {
      std::fprintf(stderr, "! restore: unknown record type %ld\n", (long)reader.r.tag);
      return QXIO_E_PARAMETER_ERROR;
    }
    if (reader.r.tag == QX_REC_END) break;
    rc = reader.record();
    if (rc < 0) {
      rc = read_failed(rc);
      if (rc == kBad) {
        info->error_text = qx_bad_saved_state;
        return QXIO_E_PARAMETER_ERROR;
      }
      return rc;
    }
  }
  rel_end_pass(info);
  *skipped_out = info->skipped;
  return 0;
}

void restore_deinit(saverest_info *info, int failed)
{
  (void)failed;
  if (!info) return;
  rel_end_pass(info);
  if (info->stream) QX_fclose(info->stream, QX_FC_FORCE);
  if (info->hash) dispose_switch_on_key(info->hash);
  delete info;
}

namespace {

/* A full restore starts from the native built-ins and the system module's compiled predicates. */
void empty_database(uint32_t saved_kind)
{
  mod_def *prolog = qx_eg.prolog_module;
  qx_for_each_module([&](mod_def *m) {
    m->attr_no = 0;
    if (m == prolog) return;
    bb_remove(m);
    undefine_all(m, 1);
  });
  qx_for_each_definition(prolog, [&](definition *d) {
    if ((d->properties.dynamic && !d->properties.volatyle) ||
        (saved_kind == QX_SAVE_ALL && d->predtyp <= ENTER_PROFILEDCODE_INDEXED)) {
      d->properties.spy = 0;
      undefine_predicate(d);
    }
  });
  qx_eg.attr_no = 0;
  std::memset(qx_eg.attr_modules, 0, sizeof qx_eg.attr_modules);
}

int restore(worker *w, uint32_t requested)
{
  /* the culprit is a root: the heap may move while clauses are made, and loading the solver
   * runs a query that takes the argument registers */
  TAGGED file = deref(w->term[0]), culprit = w->term[1];
  qx_gc_root keep(&culprit);
  if (!IsAtom(file)) {
    save_qxio_error(QXIO_E_PARAMETER_ERROR, false, file);
    return raise_error_goal(culprit, 1);
  }
  saverest_info *info = nullptr;
  uint32_t kind = requested;
  int rc = restore_init(atom_name(file), &info, &kind, file, 1);
  if (rc < 0) return raise_error_goal(culprit, 1);
  definition *skipped = nullptr;
  try {
    if (requested == QX_SAVE_ALL_BUT_PROLOG) {
      /* The solver is loaded while the database empties, so that its destructor frees the
       * indexicals of the predicates that go; then unloaded: its state is replaced by what
       * the records bring, and the state's finite-domain records load it again. */
      if (QX_fd_ever_loaded && !qx_fd_restorer_hook) load_clpfd_resource();
      empty_database(kind);
      if (qx_fd_restorer_hook) unload_clpfd_resource();
    }
    rc = restore_common(info, &skipped);
  } catch (...) {
    restore_deinit(info, 1);
    throw;
  }
  std::string text = info->error_text;
  restore_deinit(info, rc < 0);
  qx_eg.def_generation++;
  if (rc < 0) {
    if (!text.empty())
      save_error(QX_ERR_SYSTEM, text.c_str(), file);
    else
      save_qxio_error(rc, false, file);
    return raise_error_goal(culprit, 1);
  }
  if (skipped) {
    char what[1024];
    std::snprintf(what, sizeof what, "%s:%s/%u", atom_name(skipped->module->name),
                  atom_name(skipped->proc.printname), skipped->proc.arity);
    save_error(QX_ERR_PERMISSION, "redefine multifile_procedure", init_atom_check(what, 0));
    return raise_error_goal(culprit, 1);
  }
  return 1;
}

int prolog_restore(worker *w) { return restore(w, QX_SAVE_ALL_BUT_PROLOG); }
int prolog_restore_increment(worker *w) { return restore(w, 1); }

/* Runs the restored state's initialisation goals, the solutions G of the dynamic
 * prolog:'$init_goal'/1 in clause order, as the query ('$init_goal'(G), \+ G, fail): a goal that
 * fails is passed over, a ball ends the run and is thrown on. */
int run_init_goals(worker *w)
{
  TAGGED name = init_atom_check("$init_goal", 0);
  definition *d = find_definition(qx_eg.prolog_module, MakeFunctor(name, 1), nullptr, 0);
  if (!d || d->predtyp != ENTER_INTERPRETED || !d->first_clause) return 1;
  call_overflow(w, 16, 0);
  TAGGED *p = w->global_top;
  p[0] = MakeRef(&p[0]);
  TAGGED g = p[0];
  p[1] = MakeFunctor(name, 1), p[2] = g;                          /* '$init_goal'(G) */
  p[3] = MakeFunctor(init_atom_check("\\+", 0), 1), p[4] = g;     /* \+ G */
  p[5] = functor_comma2, p[6] = MakeStr(&p[3]), p[7] = atom_fail; /* (\+ G, fail) */
  p[8] = functor_comma2, p[9] = MakeStr(&p[1]), p[10] = MakeStr(&p[5]);
  w->global_top += 11;
  if (qx_call_once(w, MakeStr(&p[8]), qx_eg.prolog_module) >= 0) return 1;
  return raise_exception(qx_exception_term(w));
}

/* restore(File): $restore(File, restore(File)), then the state's initialisation goals. */
int prolog_restore1(worker *w)
{
  call_overflow(w, 8, 1);
  TAGGED *p = w->global_top;
  p[0] = MakeFunctor(init_atom_check("restore", 0), 1);
  p[1] = w->term[0];
  w->global_top += 2;
  w->term[1] = MakeStr(p);
  return prolog_restore(w) && run_init_goals(w);
}

/* load_files(Files): loading source or quick-load files is the job of the runtime library's
 * loader, which this system does not have; states are restored instead. */
int prolog_load_files(worker *w)
{
  (void)w;
  save_error(QX_ERR_SYSTEM, "load_files/1 is not supported: restore a saved state instead", 0);
  return raise_error(init_atom_check("prolog", 0), init_atom_check("load_files", 0), 1, 0);
}

}  // namespace

const qx_pred_row qx_saverest_restore_rows[] = {
    {"$restore", prolog_restore, 2, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$restore_increment", prolog_restore_increment, 2, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"restore", prolog_restore1, 1, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"load_files", prolog_load_files, 1, ENTER_C, QX_MOD_PROLOG, nullptr},
    {nullptr, nullptr, 0, 0, 0, nullptr},
};
