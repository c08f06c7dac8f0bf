/* Saved states: the architecture mask, byte-level reading and writing, the text header and
 * trailer, the relocation table, stored-term walks and the finite-domain solver's hooks. */
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "atoms.h"
#include "gc.h"
#include "hashtab.h"
#include "instance.h"
#include "memman.h"
#include "modules.h"
#include "objareas.h"
#include "orvalis.h"
#include "saverest.h"
#include "wam.h"

const char *const qx_bad_saved_state = "bad saved state";

/* ---- the architecture mask ---- */

void put_archmask(uint32_t mask, archmask_fields *f)
{
  f->wordsize = mask & 3;
  f->bigendian = (mask >> 2) & 1;
  f->bdd = (mask >> 3) & 1;
  f->gauge = (mask >> 4) & 1;
  f->threaded = (mask >> 5) & 31;
  f->total = (mask >> 10) & 3;
  f->xoffset = (mask >> 12) & 255;
}

uint32_t get_archmask(uint32_t kind) { return (kind & 3) * 1024 + 0x2D05A; }

void decode_mask(uint32_t mask, char *buffer, size_t size)
{
  static const char *const kinds[] = {"SELECTED,", "", "ALL_BUT_PROLOG,", "ALL,"};
  archmask_fields f;
  put_archmask(mask, &f);
  int n = std::snprintf(buffer, size, "%s%s%s%s", f.wordsize == 3 ? "64-bit," : "32-bit,",
                        f.bdd ? "BDD," : "", f.gauge ? "GAUGE," : "", kinds[f.total]);
  if (size && (n < 0 || (size_t)n >= size)) buffer[0] = 0;
}

/* ---- bytes ---- */

namespace {

int read_bytes(QX_stream *s, unsigned char *buf, uint32_t n)
{
  while (n) {
    auto &in = s->pub.input_binary;
    if (in.ptr < in.limit) {
      uint32_t k = (uint32_t)(in.limit - in.ptr) < n ? (uint32_t)(in.limit - in.ptr) : n;
      std::memcpy(buf, in.ptr, k);
      in.ptr += k;
      buf += k;
      n -= k;
      continue;
    }
    int c = qx_get_byte_helper(s, 0);
    if (c < 0) return c;
    *buf++ = (unsigned char)c;
    n--;
  }
  return 0;
}

inline uint32_t swap32(uint32_t v) { return __builtin_bswap32(v); }

}  // namespace

int fread_longs(void *buffer, uint32_t length, saverest_info *info)
{
  int rc = read_bytes(info->stream, (unsigned char *)buffer, length);
  if (rc < 0) return rc;
  if (info->diffendian && length != 1) {
    uint32_t *words = (uint32_t *)buffer;
    for (uint32_t i = 0; i < length / 4; i++) words[i] = swap32(words[i]);
  }
  return 0;
}

int fread_bytes(void *buffer, uint32_t length, saverest_info *info)
{
  return read_bytes(info->stream, (unsigned char *)buffer, length);
}

int fread_longs_callback(void *buffer, uint32_t length, saverest_info *info)
{
  return fread_longs(buffer, length, info) == 0;
}

uint32_t Fwrite(const void *buffer, uint32_t length, saverest_info *info)
{
  int rc = QX_put_bytes(info->stream, (const unsigned char *)buffer, length, 0);
  info->written += length;
  if (rc < 0 && info->write_error == 0) info->write_error = rc;
  return info->write_error ? 0 : length;
}

/* ---- text header and trailer ---- */

namespace {

uint32_t put_text(saverest_info *info, const std::string &text)
{
  return Fwrite(text.data(), (uint32_t)text.size(), info);
}

std::string quoted(const std::string &s) { return "\"" + s + "\""; }

/* One header line of at most 256 kept bytes, read up to and including its line feed. */
int read_line(QX_stream *s, char (&line)[257])
{
  size_t kept = 0;
  for (;;) {
    unsigned char c;
    int rc = read_bytes(s, &c, 1);
    if (rc < 0) return rc;
    if (c == '\n') break;
    if (kept < 256) line[kept++] = (char)c;
  }
  line[kept] = 0;
  return 0;
}

}  // namespace

int qx_write_state_header(saverest_info *info, const std::vector<std::string> &resources)
{
  std::string h = "#! /bin/sh\nexec orvalis-4.1.2 -r \"$0\" -a \"$@\"\n# META_INFO 1\n";
  if (info->target.find('\n') == std::string::npos) h += "# FILE: " + quoted(info->target) + "\n";
  for (const std::string &r : resources) h += "# FR: " + quoted(r) + "\n";
  char version[64];
  std::snprintf(version, sizeof version, "version=3 archmask=0x%" PRIx32 "\n", info->savemask);
  h += "# META_INFO END\n";
  h += version;
  put_text(info, h);
  return info->write_error;
}

int qx_write_state_trailer(saverest_info *info, int64_t size)
{
  char line[64];
  std::snprintf(line, sizeof line, "# size=\"0x%" PRIx32 "\"\n", (uint32_t)size);
  std::string t = std::string("\n# META_INFO_SUFFIX 1\n") + line;
  if (info->target.find('\n') == std::string::npos) t += "# file=" + quoted(info->target) + "\n";
  t += "# META_INFO_SUFFIX END\n";
  put_text(info, t);
  return info->write_error;
}

int qx_read_state_header(saverest_info *info, uint32_t requested, uint32_t *saved_kind,
                         std::string *message)
{
  char line[257];
  for (;;) {
    int rc = read_line(info->stream, line);
    if (rc < 0) {
      *message = qx_bad_saved_state;
      return rc == -1 ? QXIO_E_PARAMETER_ERROR : rc;
    }
    if (std::strncmp(line, "archmask", 8) == 0) break;
    if (std::strncmp(line, "version", 7) != 0) continue;
    int version = 0;
    unsigned long mask = 0;
    char extra;
    if (std::sscanf(line, "version=%d archmask=0x%lx%c", &version, &mask, &extra) != 2 ||
        version != 3)
      break;
    info->savemask = (uint32_t)mask;
    archmask_fields saved, mine;
    put_archmask(info->savemask, &saved);
    info->restoremask = get_archmask(requested);
    put_archmask(info->restoremask, &mine);
    *saved_kind = saved.total;
    bool ok = saved.wordsize == mine.wordsize && ((saved.total >> 1) & 1) == ((requested >> 1) & 1);
    if (ok && saved.total == 3) ok = saved.bdd == mine.bdd && saved.gauge == mine.gauge;
    if (!ok) {
      char a[64], b[64], text[160];
      decode_mask(info->savemask, a, sizeof a);
      decode_mask(info->restoremask, b, sizeof b);
      int n = std::snprintf(text, sizeof text, "type %s saved state, type %s emulator", a, b);
      *message = n > 0 && (size_t)n < sizeof text ? text : "saved state mismatch";
      return QXIO_E_PARAMETER_ERROR;
    }
    info->diffendian = saved.bigendian != mine.bigendian;
    return 0;
  }
  *message = qx_bad_saved_state;
  return QXIO_E_PARAMETER_ERROR;
}

std::string qx_directory_of(const std::string &path)
{
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string qx_library_path()
{
  char *dir = QX_getenv("QX_LIBRARY_DIR");
  if (!dir) return std::string();
  std::string path = dir;
  QX_free(dir);
  if (!path.empty() && path.back() != '/') path += '/';
  return path;
}

void qx_find_file_filter(saverest_info *info)
{
  mod_def *sm = find_module(init_atom_check("$save", 0), 0);
  definition *type = sm ? insert_definition(sm, init_atom_check("type", 0), 1, 0) : nullptr;
  if (type && type->first_clause) {
    worker *w = qx_w;
    call_overflow(w, qx_instance_heap_words(type->first_clause) + 16, 2);
    TAGGED *top = w->global_top;
    TAGGED t = deref(qx_copy_from_instance(w, type->first_clause));
    TAGGED files = IsStr(t) ? deref(StrArg(t, 1)) : 0;
    if (IsStr(files) && StrFunctor(files) == MakeFunctor(init_atom_check("files", 0), 1)) {
      info->filter = atom_nil;
      for (TAGGED l = deref(StrArg(files, 1)); IsLst(l); l = deref(LstTail(l)))
        if (IsAtom(deref(LstHead(l)))) info->filter_files.push_back(deref(LstHead(l)));
    }
    w->global_top = top;
  }
}

/* ---- the relocation table ----
 * Values carry their kind in the low two bits: atom cells end in 11, object addresses are
 * 4-aligned and take kind 0 (instance), 1 (definition) or 2 (module). */

namespace {

constexpr TAGGED kFixedAtomLimit = 71;

/* An atom's reference taken while the restore runs goes again. */
void release_atom(TAGGED a)
{
  atom *r = atom_record(a);
  if (r->refcount >= 1 && r->refcount <= 254) r->refcount--;
}

sw_on_key_node *rel_slot(saverest_info *info, TAGGED key)
{
  if (expansion_due(info->hash)) expand_sw_on_key(&info->hash);
  return dyn_puthash(&info->hash, key);
}

void rel_store(saverest_info *info, TAGGED key, TAGGED value)
{
  sw_on_key_node *n = incore_gethash(info->hash, key);
  if (n->key) {
    std::fprintf(stderr, "! relocation redefined, key=0x%lx, old value=0x%lx, new value=0x%lx\n",
                 (unsigned long)key, (unsigned long)n->value, (unsigned long)value);
    if ((n->value & 7) == QX_TAG_ATOM) release_atom(n->value); /* the end pass sees the new one */
    n->value = value;
    return;
  }
  rel_slot(info, key)->value = value;
}

TAGGED rel_find(saverest_info *info, TAGGED key)
{
  sw_on_key_node *n = key ? incore_gethash(info->hash, key) : nullptr;
  if (n && n->key) return n->value;
  std::fprintf(stderr, "! relocation undefined, key=0x%lx\n", (unsigned long)key);
  return 0;
}

}  // namespace

void rel_enter_atom(saverest_info *info, TAGGED key, TAGGED atom)
{
  atom_record(atom)->refcount += atom_record(atom)->refcount < 255;
  rel_store(info, key, atom);
}

void rel_enter(saverest_info *info, TAGGED key, void *object, saverest_kind kind)
{
  if (kind == QX_RK_DEFINITION) {
    definition *d = (definition *)object;
    if (!d->properties.locked) {
      d->properties.locked = 1;
      info->locked.push_back(d);
    }
  }
  rel_store(info, key, (TAGGED)(uintptr_t)object | kind);
}

TAGGED rel_atom(saverest_info *info, TAGGED key)
{
  if (!IsFunctorCell(key)) return 0;
  TAGGED name = key & QX_FUNCTOR_NAME_MASK;
  if (name <= kFixedAtomLimit) return key;
  TAGGED v = rel_find(info, name);
  if ((v & 7) != QX_TAG_ATOM) {
    if (v) std::fprintf(stderr, "! relocation undefined, key=0x%lx\n", (unsigned long)name);
    return 0;
  }
  return v | (key & ~QX_FUNCTOR_NAME_MASK);
}

void *rel_object(saverest_info *info, TAGGED key, saverest_kind kind)
{
  TAGGED v = rel_find(info, key);
  if (!v || (v & 7) == QX_TAG_ATOM || (v & 3) != kind) {
    if (v) std::fprintf(stderr, "! relocation undefined, key=0x%lx\n", (unsigned long)key);
    return nullptr;
  }
  return (void *)(uintptr_t)(v & ~(TAGGED)3);
}

void rel_end_pass(saverest_info *info)
{
  if (info->ended || !info->hash) return;
  info->ended = true;
  for (uint32_t i = 0; i < sw_on_key_slots(info->hash); i++) {
    sw_on_key_node &n = info->hash->node[i];
    if (n.key && (n.value & 7) == QX_TAG_ATOM) release_atom(n.value);
  }
  for (definition *d : info->locked) d->properties.locked = 0;
  info->locked.clear();
}

/* ---- stored terms ---- */

int relocate_body(TAGGED *body, uint32_t words, saverest_callback callback, saverest_info *info)
{
  for (uint32_t i = 0; i < words; i++) {
    TAGGED c = body[i];
    if (!IsConst(c) || IsSmall(c)) continue;
    if (IsBoxHeader(c)) {
      uint32_t n = (uint32_t)BoxWords(c);
      if (IsFloatHeader(c) && info->diffendian && i + 2 < words) {
        TAGGED t = body[i + 1];
        body[i + 1] = body[i + 2];
        body[i + 2] = t;
      }
      i += n - 1;
      continue;
    }
    int rc = callback(&body[i], c, info, QX_REL_ATOM);
    if (rc < 0) return rc;
    if (body[i] == functor_ref2 && i + 2 < words) {
      rc = callback(&body[i + 1], body[i + 1], info, QX_REL_DBREF);
      if (rc < 0) return rc;
      i += 2;
    }
  }
  return 0;
}

int relocate_instance(instance *ins, saverest_callback callback, saverest_info *info)
{
  return relocate_body(ins->body, qx_instance_body_words(ins), callback, info);
}

bool qx_valid_instance_body(const TAGGED *body, uint32_t words)
{
  if (words == 0) return false;
  /* What each word is: a cell, a block head (functor or box header), or raw data. */
  enum : uint8_t { CELL, FUNCTOR, BOX, RAW };
  static std::vector<uint8_t> kind; /* kept from call to call */
  kind.assign(words, CELL);
  for (uint32_t i = 0; i < words; i++) {
    TAGGED c = body[i];
    if (IsBoxHeader(c)) {
      int n = BoxWords(c);
      if (IsFloatHeader(c) ? c != QX_FLOAT_HEADER : n < 3) return false;
      if ((uint32_t)n > words - i || body[i + n - 1] != c) return false;
      kind[i] = BOX;
      for (int k = 1; k < n; k++) kind[i + k] = RAW;
      i += n - 1;
    } else if (IsFunctorCell(c) && Arity(c) > 0) {
      kind[i] = FUNCTOR;
      if (c == functor_ref2) {
        if (words - i < 3) return false;
        kind[i + 1] = kind[i + 2] = RAW;
        i += 2;
      }
    }
  }
  auto offset_index = [&](TAGGED c, uint32_t *index) {
    uint32_t off = c & ~(TAGGED)3;
    if (off < sizeof(instance) || (off & 3) || (off - sizeof(instance)) / 4 >= words) return false;
    *index = (off - (uint32_t)sizeof(instance)) / 4;
    return true;
  };
  for (uint32_t i = 0; i < words; i++) {
    if (kind[i] == FUNCTOR) {
      uint32_t a = body[i] == functor_ref2 ? 0 : Arity(body[i]);
      if (a > words - i - 1) return false;
      for (uint32_t k = 1; k <= a; k++)
        if (kind[i + k] != CELL) return false;
    }
    if (kind[i] != CELL) continue;
    TAGGED c = body[i];
    uint32_t t;
    switch (TagOf(c)) {
    case QX_TAG_REF:
      if (!offset_index(c, &t) || kind[t] != CELL || body[t] != c) return false;
      break;
    case QX_TAG_STR:
      if (!offset_index(c, &t) || t <= i || (kind[t] != FUNCTOR && kind[t] != BOX)) return false;
      break;
    case QX_TAG_LST:
      if (!offset_index(c, &t) || t <= i || t + 1 >= words || kind[t] != CELL ||
          kind[t + 1] != CELL)
        return false;
      break;
    default: break;
    }
  }
  /* The root: one cell, or a block at word 0. */
  if (words == 1) return kind[0] == CELL && (IsConst(body[0]) || body[0] == sizeof(instance));
  if (kind[0] == FUNCTOR || kind[0] == BOX) return true;
  return kind[0] == CELL && kind[1] == CELL;
}

/* ---- the finite-domain solver's hooks ---- */

int QX_fd_ever_loaded;
qx_fd_manager_fn qx_fd_manager_hook;
qx_fd_restorer_fn qx_fd_restorer_hook;
qx_fd_saver_fn qx_fd_saver_hook;

/* The collector's outside roots while the solver's manager hook is installed: the queue entries
 * of its propagation levels are marked (operation 2) and relocated (operation 3) by the hook. */
static void fd_outside_roots(worker *w, int operation, TAGGED *heap_start)
{
  if (qx_fd_manager_hook) qx_fd_manager_hook(qx_fd_hook_cookie, w, operation, heap_start);
}

static void set_fd_outside_roots(bool on)
{
  if (on)
    qx_gc_outside_roots = fd_outside_roots;
  else if (qx_gc_outside_roots == fd_outside_roots)
    qx_gc_outside_roots = nullptr;
}

int QX_install_fd_hooks(void *api, qx_fd_manager_fn manager, qx_fd_restorer_fn restorer,
                        qx_fd_saver_fn saver, void (*destructor)(void *cookie, void *chain),
                        int enable)
{
  set_fd_outside_roots(enable && manager);
  qx_fd_hook_cookie = enable ? api : nullptr;
  qx_fd_manager_hook = enable ? manager : nullptr;
  qx_fd_restorer_hook = enable ? restorer : nullptr;
  qx_fd_saver_hook = enable ? saver : nullptr;
  qx_fd_destructor_hook = enable ? destructor : nullptr;
  QX_fd_ever_loaded = 1;
  return 1;
}

void init_fd_hooks()
{
  set_fd_outside_roots(false);
  QX_fd_ever_loaded = 0;
  qx_fd_hook_cookie = nullptr;
  qx_fd_manager_hook = nullptr;
  qx_fd_restorer_hook = nullptr;
  qx_fd_saver_hook = nullptr;
  qx_fd_destructor_hook = nullptr;
}

/* Runs prolog:Name/0 as a query with events off; true when it succeeded (its error is
 * dropped). */
static bool run_system_query(const char *name)
{
  worker *w = qx_w;
  disable_events();
  int rc = qx_call_once(w, init_atom_check(name, 0), qx_eg.prolog_module);
  enable_events();
  if (rc < 0) qx_clear_exception();
  return rc == 1;
}

/* Runs prolog:load_clpfd_resource/0: 0 once the solver's hooks are installed, else the
 * file-not-found code. */
int load_clpfd_resource()
{
  return run_system_query("load_clpfd_resource") && qx_fd_restorer_hook ? 0 : QXIO_E_FILE_NOT_FOUND;
}

/* Runs prolog:unload_clpfd_resource/0: 0 once the solver's hooks are gone. */
int unload_clpfd_resource()
{
  return run_system_query("unload_clpfd_resource") && !qx_fd_restorer_hook ? 0
                                                                           : QXIO_E_FILE_NOT_FOUND;
}

int call_fd_manager(int operation, void *argument)
{
  return qx_fd_manager_hook ? qx_fd_manager_hook(qx_fd_hook_cookie, qx_w, operation, argument) : 0;
}

/* ---- the global flags a state carries ---- */

TAGGED qx_state_flags[QX_STATE_FLAG_WORDS];

namespace {

/* The engine's field of each key word of the record; null for the raw words (5 and 7) and the
 * window title (14), and for the type-in module (15), which are handled apart. */
TAGGED *state_flag_field(int i)
{
  switch (i) {
  case 0: return &qx_eg.current_compiling;
  case 1: return &qx_eg.current_quoted_charset_flag;
  case 2: return &qx_eg.current_ferror_flag;
  case 3: return &qx_eg.current_gcmode;
  case 5: return &qx_eg.current_gctrace;
  case 7: return &qx_eg.current_redefine_flag;
  case 8: return &qx_eg.current_discontiguous_flag;
  case 9: return &qx_eg.current_single_var_flag;
  case 10: return &qx_eg.current_syntax;
  case 11: return &qx_eg.current_unknown;
  case 12: return &qx_eg.current_compatibility_flag;
  default: return nullptr;
  }
}

}  // namespace

void qx_reset_state_flags() { std::memset(qx_state_flags, 0, sizeof qx_state_flags); }

void qx_get_state_flags(TAGGED words[QX_STATE_FLAG_WORDS])
{
  /* what a flag the engine never set is written as */
  static const char *const defaults[QX_STATE_FLAG_WORDS] = {
      "compactcode", "portable", "on", "on",    nullptr, "off", nullptr, "on",
      "on",          "on",       "on", "error", "off",   "",    nullptr};
  for (int i = 0; i < QX_STATE_FLAG_WORDS; i++) {
    TAGGED *field = state_flag_field(i);
    TAGGED value = field ? *field : qx_state_flags[i];
    words[i] = value ? value : defaults[i] ? init_atom_check(defaults[i], 0) : 0;
  }
  words[4] = qx_eg.current_gcmargin;
  words[6] = qx_eg.current_agcmargin;
  words[14] = qx_eg.typein_mod ? qx_eg.typein_mod->name : atom_user;
}

void qx_set_state_flags(const TAGGED words[QX_STATE_FLAG_WORDS])
{
  for (int i = 0; i < QX_STATE_FLAG_WORDS; i++) {
    TAGGED *field = state_flag_field(i);
    if (field)
      *field = words[i];
    else
      qx_state_flags[i] = words[i];
  }
  qx_eg.current_gcmargin = words[4];
  if (words[6]) qx_eg.current_agcmargin = words[6]; /* 0: a state that did not say */
  qx_eg.typein_mod = find_module(words[14], 1);
}
