/* Foreign resources: the entry-function protocol, linked-in and dlopen loading, the built-ins
 * through which Prolog loads, queries and unloads resources, predicates defined from native
 * code, and the glue that calls resource functions with their declared argument kinds. */
#include "foreign.h"

#include <dlfcn.h>

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

#include "api_internal.h"
#include "atoms.h"
#include "builtins.h"
#include "errors.h"
#include "foreign_interface.h"
#include "modules.h"
#include "numbers.h"
#include "saverest.h"
#include "streams.h"
#include "unify.h"
#include "wam.h"
#include "wam_internal.h"
#include "wcx.h"

namespace {

const char MAIN_PREFIX[] = "qx_main_QXENV_";
/* The reason given to init and deinit functions by load_foreign_resource/1 and its inverse. */
constexpr int EXPLICIT_REASON = 0;
/* The reason given to deinit functions when the engine shuts down. */
constexpr int SHUTDOWN_REASON = 3;

/* ---- faults ---- */

/* Records a fault (error code 5 with the culprit 0) and raises it for module:name/1, naming
 * argument 1. Answers 0. */
int fault_for(const char *predicate, const char *format, ...)
{
  char text[2048];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  save_error(QX_ERR_SYSTEM, text, MakeSmall(0));
  return raise_error(atom_prolog, init_atom_check(predicate, 0), 1, 1);
}
const char LOAD_PRED[] = "load_foreign_resource";
const char UNLOAD_PRED[] = "unload_foreign_resource";
const char OUT_OF_MEMORY[] = "out of memory in load_foreign_resource/1";

/* ---- records ---- */

qx_open_resource *find_record(TAGGED name)
{
  for (qx_open_resource *r = qx_eg.open_resources; r; r = r->next)
    if (r->rname == name) return r;
  return nullptr;
}

void unlink_record(qx_open_resource *rec)
{
  for (qx_open_resource **p = &qx_eg.open_resources; *p; p = &(*p)->next)
    if (*p == rec) {
      *p = rec->next;
      return;
    }
}

void free_record(qx_open_resource *rec)
{
  QX_unregister_atom(rec->rname);
  QX_free(rec);
}

/* Resets the parameter block for a call of the entry with flags. */
void prepare_params(worker *w, qx_open_resource *rec, int flags)
{
  std::memset(&rec->params, 0, sizeof rec->params);
  rec->params.version = QX_MAINFUN_PARAMS_VERSION;
  rec->params.flags = flags;
  init_qxenv(w, &rec->qxenv, rec->qxenv.stash);
  rec->params.qxenv = &rec->qxenv;
}

bool entry_answer_ok(int answer, const QX_MAINFUN_PARAMS_STRUCT &p)
{
  return answer == 0 && p.funcs && p.prednames && p.arities &&
         (p.flags & (QX_MAINFUN_PLAIN_INIT | QX_MAINFUN_API_INIT));
}

/* The resource of the innermost call into resource code, or null (never dereferenced: a stream
 * made meanwhile only notes it as its owner). */
qx_open_resource *innermost_resource;

/* Counts a call into rec's code (null: none) as running for as long as it lasts: unloading rec
 * meanwhile would free the call's record and unmap the code the call returns into. */
class running_call {
public:
  explicit running_call(qx_open_resource *rec) : rec_(rec), outer_(innermost_resource)
  {
    if (!rec_) return;
    rec_->running++;
    innermost_resource = rec_;
  }
  ~running_call()
  {
    if (!rec_) return;
    rec_->running--;
    innermost_resource = outer_;
  }
  running_call(const running_call &) = delete;
  running_call &operator=(const running_call &) = delete;

private:
  qx_open_resource *rec_, *outer_;
};

/* Calls an init or deinit function with reason: true when it neither failed nor raised. */
bool call_init_helper(worker *w, qx_open_resource *rec, void (*fn)(), int reason)
{
  running_call in_progress(rec);
  uint32_t mark = w->fli_stack_index;
  int saved = w->fli_info.excp_flag;
  w->fli_info.excp_flag = 1;
  if (fn) {
    if (rec->params.flags & QX_MAINFUN_API_INIT)
      ((void (*)(ORVALIS_API_STRUCT *, int))fn)(&rec->qxenv, reason);
    else
      ((void (*)(int))fn)(reason);
  }
  w->fli_stack_index = mark;
  bool ok = w->fli_info.excp_flag != 0;
  w->fli_info.excp_flag = saved;
  return ok;
}

/* Whether fn is one of the functions rec's tables hold. */
bool resource_function(const qx_open_resource *rec, void (*fn)())
{
  for (int i = 0; rec->params.funcs && rec->params.funcs[i]; i++)
    if (rec->params.funcs[i] == fn) return true;
  return false;
}

void undefine_resource_predicates(const qx_open_resource *rec);

bool owns_fd_hooks(const qx_open_resource *rec) { return qx_fd_hook_cookie == &rec->qxenv; }

/* Unloads rec with reason r (below 0: no deinit; -1: the entry is not called either). What
 * depends on the resource goes while its code and data are still there, in this order: the
 * streams it made (their output written), the predicates defined by indexicals through its
 * destructor hook, then its deinit function ends it; its hooks and its predicates are forgotten
 * and its object closed last. *written: false when output of its streams was lost. The result of
 * the deinit function, 1 without one; -1 when the entry refused the unload (the record stays and
 * an error is raised). */
int unload_record(worker *w, qx_open_resource *rec, int r, bool *written = nullptr)
{
  bool deinit = false;
  if (!rec->unload_attempted && r != -1) {
    rec->unload_attempted = true;
    prepare_params(w, rec, QX_MAINFUN_UNLOAD);
    if (!entry_answer_ok(rec->funcp(&rec->params), rec->params)) {
      fault_for(UNLOAD_PRED, "Foreign resource entry function API error");
      return -1;
    }
    deinit = r >= 0;
  }
  bool streams_written = qx_close_streams_of(rec);
  if (owns_fd_hooks(rec)) qx_release_fd_definitions();
  int result = deinit ? call_init_helper(w, rec, rec->params.deinit_fun, r) : 1;
  streams_written = qx_close_streams_of(rec) && streams_written; /* made by its deinit function */
  if (written) *written = streams_written;
  if (owns_fd_hooks(rec)) QX_install_fd_hooks(nullptr, nullptr, nullptr, nullptr, nullptr, 0);
  undefine_resource_predicates(rec);
  if (rec->misc) unload_foreign_resource(atom_name(rec->rname), rec->misc);
  unlink_record(rec);
  if (innermost_resource == rec) innermost_resource = nullptr; /* left by a call that never ended */
  free_record(rec);
  return result;
}

/* The index of name/arity in the resource's tables, or -1 (the table ends at a null function). */
int find_function(const qx_open_resource *rec, const char *name, int arity)
{
  const QX_MAINFUN_PARAMS_STRUCT &p = rec->params;
  for (int i = 0; p.funcs && p.funcs[i]; i++)
    if (p.arities[i] == arity && p.prednames[i] && std::strcmp(p.prednames[i], name) == 0) return i;
  return -1;
}

/* Unifies t with an address as a signed integer (one limb at most). The caller has made room
 * for its box: making it here could collect under the caller's terms. */
int unify_address(worker *w, TAGGED t, const void *address)
{
  return cunify(w, t, make_integer(w, (int32_t)(intptr_t)address));
}

/* The address an integer term names, or false. */
bool term_address(TAGGED t, void **address)
{
  int32_t v;
  if (!qx_api_int32(deref(t), &v)) return false;
  *address = (void *)(intptr_t)v;
  return true;
}

/* ---- argument kinds of foreign predicates ---- */

enum arg_kind : uint8_t {
  K_NONE,
  K_INTEGER,
  K_FLOAT,
  K_ATOM,
  K_TERM,
  K_STRING,
  K_ADDRESS,
  K_OUT = 0x10, /* or'ed: an output argument */
};

struct foreign_spec;
/* The short path that calls a plain spec of one shape (call_plain). */
using plain_fn = int (*)(worker *, const foreign_spec *);

struct foreign_spec {
  void (*fn)();
  ORVALIS_API_STRUCT *api; /* passed first when the resource's functions take it */
  qx_open_resource *owner; /* the resource fn belongs to, or null */
  uint8_t nargs;           /* the predicate's arity */
  uint8_t ret;             /* kind of the returned value (unified with the last argument) */
  uint8_t term_outs;       /* arguments of kind -term: each takes a term reference of its own */
  plain_fn plain;          /* call_plain for its shape when plain_kinds, else null */
  uint8_t integer_args;    /* plain specs: bit i set for a +integer argument i */
  uint8_t term_out_args;   /* plain specs: bit i set for a -term argument i */
  uint8_t own_output;      /* plain specs: i + 1 when -term argument i is the one output and no
                              argument is +term (plain_own_output), else 0 */
  uint8_t kinds[QX_ARG_REGISTERS];
};

/* Up to this many call words call_plain passes. */
constexpr int PLAIN_WORDS = 8;

plain_fn plain_caller(const foreign_spec *spec);
plain_fn shape_caller(const foreign_spec *p);

/* Whether the spec has only +term, +integer and -term arguments, returns nothing or an integer,
 * and takes at most PLAIN_WORDS words: the kinds the solver's natives use, called through the
 * short path call_plain. */
bool plain_kinds(const foreign_spec *spec)
{
  int words = spec->api ? 1 : 0;
  if (spec->ret != K_NONE && spec->ret != (K_INTEGER | K_OUT)) return false;
  for (int i = 0; i < spec->nargs - (spec->ret != K_NONE ? 1 : 0); i++, words++) {
    uint8_t k = spec->kinds[i];
    if (k != K_TERM && k != K_INTEGER && k != (K_TERM | K_OUT)) return false;
  }
  return words <= PLAIN_WORDS && spec->nargs <= PLAIN_WORDS + 1;
}

/* The kind a word of an interface text names, or K_NONE. */
uint8_t parse_kind(const char *word, size_t n, bool *is_return)
{
  static const char *const names[] = {"", "integer", "float", "atom", "term", "string", "address"};
  *is_return = n > 2 && word[0] == '[' && word[n - 1] == ']';
  if (*is_return) {
    word++;
    n -= 2;
  }
  if (n < 2 || (word[0] != '+' && word[0] != '-')) return K_NONE;
  for (uint8_t k = K_INTEGER; k <= K_ADDRESS; k++)
    if (std::strlen(names[k]) == n - 1 && std::strncmp(word + 1, names[k], n - 1) == 0)
      return word[0] == '-' ? (uint8_t)(k | K_OUT) : k;
  return K_NONE;
}

/* A spec from an interface text; false when the text is malformed (a return kind must be an
 * output and the last word). */
bool parse_spec(const char *text, foreign_spec *spec)
{
  spec->nargs = 0;
  spec->ret = K_NONE;
  spec->term_outs = 0;
  for (const char *p = text; *p;) {
    while (*p == ' ') p++;
    if (!*p) break;
    const char *end = std::strchr(p, ' ');
    size_t n = end ? (size_t)(end - p) : std::strlen(p);
    bool is_return;
    uint8_t k = parse_kind(p, n, &is_return);
    if (k == K_NONE || spec->ret != K_NONE || spec->nargs == 255) return false;
    if (is_return) {
      if (!(k & K_OUT)) return false;
      spec->ret = k;
    }
    spec->kinds[spec->nargs++] = k;
    spec->term_outs += k == (K_TERM | K_OUT) && !is_return;
    p += n;
  }
  return true;
}

/* Defines module:name as a call of fn with the argument kinds of text (api: passed first, or
 * null); false with a native error raised when the text is malformed. */
bool define_foreign(worker *w, mod_def *module, TAGGED name, void (*fn)(), ORVALIS_API_STRUCT *api,
                    const char *text)
{
  foreign_spec parsed;
  if (!parse_spec(text, &parsed)) {
    qx_domain_error(w, "foreign_argument_kinds", init_atom_check(text, 0), 0);
    return false;
  }
  size_t bytes = offsetof(foreign_spec, kinds) + parsed.nargs;
  foreign_spec *spec = (foreign_spec *)qx_checkalloc(bytes, QX_SPACE_FOREIGN);
  std::memcpy(spec, &parsed, bytes);
  spec->fn = fn;
  spec->api = api;
  spec->plain = plain_kinds(spec) ? plain_caller(spec) : nullptr;
  spec->integer_args = spec->term_out_args = spec->own_output = 0;
  bool term_in = false;
  for (int i = 0; spec->plain && i < spec->nargs - (spec->ret != K_NONE ? 1 : 0); i++) {
    spec->integer_args |= (uint8_t)((spec->kinds[i] == K_INTEGER) << i);
    spec->term_out_args |= (uint8_t)((spec->kinds[i] == (K_TERM | K_OUT)) << i);
    term_in = term_in || spec->kinds[i] == K_TERM;
  }
  if (spec->term_outs == 1 && !term_in && spec->term_out_args)
    spec->own_output = (uint8_t)(__builtin_ctz(spec->term_out_args) + 1);
  if (spec->plain) spec->plain = shape_caller(spec);
  spec->owner = nullptr;
  for (qx_open_resource *r = qx_eg.open_resources; r && !spec->owner; r = r->next)
    if (&r->qxenv == api || resource_function(r, fn)) spec->owner = r;
  definition *d = insert_definition(module, name, parsed.nargs, 1);
  redefine_predicate(d, ENTER_UNDEFINED);
  d->code.code = spec;
  update_exports(d, ENTER_FOREIGN);
  return true;
}

/* The predicates that call into rec go with it: called afterwards they would jump into an
 * object that is no longer there. */
void undefine_resource_predicates(const qx_open_resource *rec)
{
  qx_for_each_module([rec](mod_def *m) {
    qx_for_each_definition(m, [rec](definition *d) {
      const foreign_spec *spec = (const foreign_spec *)d->code.code;
      if (d->predtyp == ENTER_FOREIGN && !d->imported_from && spec &&
          (spec->api == &rec->qxenv || resource_function(rec, spec->fn)))
        undefine_predicate(d);
    });
  });
}

/* Calls fn with the first N words of args (cdecl: the callee reads only its own). */
template <class R, size_t... I>
R call_with(void (*fn)(), const uint32_t *args, std::index_sequence<I...>)
{
  return ((R(*)(decltype((void)I, uint32_t())...))fn)(args[I]...);
}
template <class R>
R call_words(void (*fn)(), const uint32_t *args, size_t n)
{
  if (n <= 8) return call_with<R>(fn, args, std::make_index_sequence<8>());
  if (n <= 32) return call_with<R>(fn, args, std::make_index_sequence<32>());
  if (n <= 128) return call_with<R>(fn, args, std::make_index_sequence<128>());
  return call_with<R>(fn, args, std::make_index_sequence<2 * QX_ARG_REGISTERS + 2>());
}

/* Output values of a call, one per argument. */
union out_value {
  long l;
  double d;
  TAGGED atom;
  const char *text;
  void *address;
};

/* The output value v of kind k as a term that takes no heap room, or 0 when it has none. */
TAGGED ready_output(worker *w, uint8_t k, const out_value &v)
{
  switch (k & ~K_OUT) {
  case K_INTEGER: return SmallFits((int32_t)v.l) ? MakeSmall((int32_t)v.l) : 0;
  case K_TERM: return *qx_ref_cell(w, (QX_term_ref)v.l);
  default: return 0;
  }
}

/* Whether the trail has room for a step's one binding without the margin check's growth. */
inline bool step_trail_room(const worker *w)
{
  return (char *)w->node_ - (char *)w->trail_top >
         (ptrdiff_t)(QX_TRAIL_MARGIN_CELLS * sizeof(TAGGED));
}

/* Unifies a with b when that is a single step: no attributed variable, and a plain variable or
 * a constant on one side, so nothing is walked, woken or allocated and at most one binding is
 * made (the trail has room for its entry). -1 when the general unification must run. */
inline int unify_step(worker *w, TAGGED a, TAGGED b)
{
  a = deref(a);
  b = deref(b);
  if (a == b) return 1;
  if (!IsVar(a)) {
    if (!IsVar(b)) return IsConst(a) || IsConst(b) ? cunify(w, a, b) : -1; /* binds nothing */
    std::swap(a, b); /* the variable in a */
  }
  bool var_b = IsVar(b);
  if (qx_is_attvar_cell(w, RefPtr(a)) || (var_b && qx_is_attvar_cell(w, RefPtr(b))) ||
      !step_trail_room(w))
    return -1;
  /* as cunify binds them: a variable takes the value, the younger of two variables the older */
  if (var_b && RefPtr(b) > RefPtr(a)) std::swap(a, b);
  qx_bind_plain(w, RefPtr(a), b);
  return 1;
}

/* Binds the dereferenced unbound variable a to the bound term b when a is a plain heap variable
 * and the trail has room for its entry: an output's usual step, the heap's bounds tested once for
 * the attribute and the age. -1 when unify_step must. */
inline int bind_heap_step(worker *w, TAGGED a, TAGGED b)
{
  TAGGED *cell = RefPtr(a);
  if (cell <= w->heap_start || cell >= w->global_top || IsAttVarCell(cell) || !step_trail_room(w))
    return -1;
  *cell = b;
  if (cell < w->global_uncond) qx_trail_plain(w, cell);
  return 1;
}

/* unify_step for b a small integer: a bound term unifies with it only when it is the same word. */
inline int unify_small_step(worker *w, TAGGED a, TAGGED b)
{
  a = deref(a);
  if (!IsVar(a)) return a == b;
  if (int step = bind_heap_step(w, a, b); step >= 0) return step;
  if (qx_is_attvar_cell(w, RefPtr(a)) || !step_trail_room(w)) return -1;
  qx_bind_plain(w, RefPtr(a), b);
  return 1;
}

/* Unifies argument reference ref with the value v of kind k (an output) when that is one step
 * without heap room; -1 when unify_output_built must. */
inline int unify_output_step(worker *w, QX_term_ref ref, uint8_t k, const out_value &v)
{
  TAGGED ready = ready_output(w, k, v);
  return ready ? unify_step(w, *qx_ref_cell(w, ref), ready) : -1;
}

/* Unifies argument reference ref with the value v of kind k (an output); false on failure. */
/* unify_output once the one step could not do it: the value built through the API. */
[[gnu::noinline]] bool unify_output_built(worker *w, QX_term_ref ref, uint8_t k, const out_value &v)
{
  QX_term_ref t = qx_new_term_refs_checked(1);
  int ok = 1;
  switch (k & ~K_OUT) {
  case K_INTEGER: ok = QX_put_integer(t, v.l); break;
  case K_FLOAT: ok = QX_put_float(t, v.d); break;
  case K_ATOM: ok = v.atom && IsAtom(v.atom) && QX_put_atom(t, v.atom); break;
  case K_TERM: ok = QX_put_term(t, (QX_term_ref)v.l); break;
  case K_STRING: ok = v.text && QX_put_string(t, v.text); break;
  case K_ADDRESS: ok = QX_put_address(t, v.address); break;
  }
  return ok && QX_unify(ref, t);
}

/* Unifies argument reference ref with the value v of kind k (an output). */
inline bool unify_output(worker *w, QX_term_ref ref, uint8_t k, const out_value &v)
{
  int step = unify_output_step(w, ref, k, v);
  return step >= 0 ? step : unify_output_built(w, ref, k, v);
}

/* Converts input argument i (in ref) of kind k, other than term, to call words; false with an
 * error raised. */
bool input_words(worker *w, QX_term_ref ref, int i, uint8_t k, uint32_t *words, size_t *nw)
{
  TAGGED t = qx_ref_get(w, ref);
  if (IsVar(t)) return qx_instantiation_error(w, i + 1) && false;
  switch (k) {
  case K_INTEGER: {
    if (IsSmall(t)) {
      words[(*nw)++] = (uint32_t)(long)GetSmall(t);
      return true;
    }
    long v;
    if (!IsInteger(t) || !QX_get_integer(ref, &v)) return qx_type_error(w, "integer", t, i + 1);
    words[(*nw)++] = (uint32_t)v;
    return true;
  }
  case K_FLOAT: {
    double d;
    if (!IsNumber(t) || !QX_get_float(ref, &d)) return qx_type_error(w, "number", t, i + 1);
    std::memcpy(&words[*nw], &d, sizeof d);
    *nw += 2;
    return true;
  }
  case K_ATOM:
    if (!IsAtom(t)) return qx_type_error(w, "atom", t, i + 1);
    words[(*nw)++] = t;
    return true;
  case K_STRING:
    if (!IsAtom(t)) return qx_type_error(w, "atom", t, i + 1);
    words[(*nw)++] = (uint32_t)(uintptr_t)atom_name(t);
    return true;
  case K_ADDRESS: {
    void *a;
    if (!term_address(t, &a)) return qx_type_error(w, "integer", t, i + 1);
    words[(*nw)++] = (uint32_t)(uintptr_t)a;
    return true;
  }
  default: return false; /* parse_kind makes no other kind */
  }
}

/* count new term references, their slots left to the caller: in place while the stack has room
 * (QX_new_term_refs keeps one slot spare), else through it. */
inline QX_term_ref reserve_refs(worker *w, int count)
{
  uint32_t first = w->fli_stack_index;
  if (!qx_term_refs_fit(w, (uint32_t)count)) first = (uint32_t)qx_new_term_refs_checked(count);
  w->fli_stack_index = first + (uint32_t)count;
  return (QX_term_ref)first;
}

/* n new term references holding the argument registers 0..n-1 and then m holding []. */
inline QX_term_ref push_argument_refs(worker *w, int n, int m)
{
  QX_term_ref first = reserve_refs(w, n + m);
  TAGGED *slot = qx_ref_cell(w, first);
  for (int i = 0; i < n; i++, slot += 2) slot[0] = w->term[i], slot[1] = 0;
  for (int i = 0; i < m; i++, slot += 2) slot[0] = atom_nil, slot[1] = 0;
  return first;
}

/* push_argument_refs for N arguments, N known where it is compiled: a plain spec's few words are
 * copied one by one, with no loop or vectorised set-up. Each argument's reference is its word too,
 * as a +term argument passes it. The m slots after them are left to plain_term_outputs. */
template <int N>
QX_HOT_INLINE QX_term_ref push_plain_refs(worker *w, int m, uint32_t *word)
{
  QX_term_ref first = reserve_refs(w, N + m);
  TAGGED *slot = qx_ref_cell(w, first);
  const TAGGED *reg = w->term;
  for (int i = 0; i < N; i++) slot[2 * i] = reg[i], slot[2 * i + 1] = 0, word[i] = first + i;
  return first;
}

/* Stores a new unbound variable in ref; as QX_put_variable, nothing when the heap cannot grow. */
inline void put_variable(worker *w, QX_term_ref ref)
{
  if (!qx_api_heap_room(w, 1)) return;
  TAGGED *cell = w->global_top++;
  *cell = MakeRef(cell);
  qx_ref_put(w, ref, *cell);
}

/* Converts the +integer arguments of a plain spec (bits of mask) to their words; false with an
 * error raised. */
bool plain_integer_words(worker *w, unsigned mask, QX_term_ref args, uint32_t *word)
{
  for (; mask; mask &= mask - 1) {
    int i = __builtin_ctz(mask);
    TAGGED t = qx_ref_get(w, args + i);
    size_t nw = (size_t)i;
    if (IsSmall(t))
      word[i] = (uint32_t)(long)GetSmall(t);
    else if (!input_words(w, args + i, i, K_INTEGER, word, &nw))
      return false;
  }
  return true;
}

/* plain_term_outputs when the heap may be short: each as put_variable makes it, [] where it
 * cannot. */
[[gnu::noinline]] void plain_term_outputs_checked(worker *w, unsigned mask, QX_term_ref out,
                                                  uint32_t *word)
{
  TAGGED *slot = qx_ref_cell(w, out);
  for (unsigned rest = mask; rest; rest &= rest - 1, slot += 2) slot[0] = atom_nil, slot[1] = 0;
  for (; mask; mask &= mask - 1, out++) {
    put_variable(w, out);
    word[__builtin_ctz(mask)] = (uint32_t)out;
  }
}

/* Gives each -term argument of a plain spec (bits of mask, m of them) a new reference from out
 * on, holding a new unbound variable, as its word: the slots pushed for them are set here. One
 * heap check for all while the heap has room. */
QX_HOT_INLINE void plain_term_outputs(worker *w, unsigned mask, int m, QX_term_ref out,
                                      uint32_t *word)
{
  /* qx_heap_short for a few cells: the room of a 32-bit heap fits a signed word */
  if (w->stack_start - w->global_top < (ptrdiff_t)(m + QX_API_HEAP_RESERVE) ||
      __builtin_expect(qx_gc_stress, 0))
    return plain_term_outputs_checked(w, mask, out, word);
  TAGGED *slot = qx_ref_cell(w, out);
  for (; mask; mask &= mask - 1, out++, slot += 2) {
    TAGGED *cell = w->global_top++;
    slot[0] = *cell = MakeRef(cell), slot[1] = 0;
    word[__builtin_ctz(mask)] = (uint32_t)out;
  }
}

/* plain_term_outputs for a spec whose one -term argument i has no +term argument beside it: the
 * native reaches that argument only through the output's reference, so an argument that is an
 * unbound plain heap variable is put there itself. What the native does to it is what unifying
 * it with a new variable afterwards would do, and an output left unbound needs no unification. */
QX_HOT_INLINE void plain_own_output(worker *w, int i, QX_term_ref out, uint32_t *word)
{
  if (w->stack_start - w->global_top < (ptrdiff_t)(1 + QX_API_HEAP_RESERVE) ||
      __builtin_expect(qx_gc_stress, 0))
    return plain_term_outputs_checked(w, 1u << i, out, word);
  TAGGED a = deref(w->term[i]);
  TAGGED *cell = RefPtr(a);
  if (!IsVar(a) || cell <= w->heap_start || cell >= w->global_top || IsAttVarCell(cell)) {
    cell = w->global_top++;
    *cell = MakeRef(cell);
  }
  TAGGED *slot = qx_ref_cell(w, out);
  slot[0] = MakeRef(cell), slot[1] = 0;
  word[i] = (uint32_t)out;
}

/* Unifies argument reference ref with the -term output in reference out; false on failure. */
QX_HOT_INLINE bool unify_term_output(worker *w, QX_term_ref ref, QX_term_ref out)
{
  TAGGED value = *qx_ref_cell(w, out);
  int step = -1;
  if (value) {
    TAGGED a = deref(*qx_ref_cell(w, ref)), b = deref(value);
    if (a == b) return true; /* the argument itself, left unbound or bound by the native */
    step = IsVar(a) && !IsVar(b) ? bind_heap_step(w, a, b) : -1;
    if (step < 0) step = unify_step(w, a, b);
  }
  if (step >= 0) return step;
  out_value v;
  v.l = out;
  return unify_output_built(w, ref, K_TERM | K_OUT, v);
}

/* The shape of a plain predicate as call_plain reads it: as recorded at its definition
 * (recorded_shape), or fixed where it is compiled (fixed_shape: the shapes of the solver's
 * natives, their tests folded away). */
struct recorded_shape {
  static unsigned integer_args(const foreign_spec *s) { return s->integer_args; }
  static unsigned term_out_args(const foreign_spec *s) { return s->term_out_args; }
  static int term_outs(const foreign_spec *s) { return s->term_outs; }
  static int own_output(const foreign_spec *s) { return s->own_output; }
  static bool returns(const foreign_spec *s) { return s->ret != K_NONE; }
};
template <unsigned Ints, unsigned Outs, int Own, bool Ret>
struct fixed_shape {
  static constexpr unsigned integer_args(const foreign_spec *) { return Ints; }
  static constexpr unsigned term_out_args(const foreign_spec *) { return Outs; }
  static constexpr int term_outs(const foreign_spec *) { return __builtin_popcount(Outs); }
  static constexpr int own_output(const foreign_spec *) { return Own; }
  static constexpr bool returns(const foreign_spec *) { return Ret; }
};

/* call_foreign_spec for a plain spec of N arguments, api passed first when API: the same steps
 * with the few kinds it has. Every argument takes one word, its own: a +term's is its reference,
 * set for all before the other kinds'. The callee reads only the words it takes. */
template <int N, bool API, class Shape = recorded_shape>
int call_plain(worker *w, const foreign_spec *spec)
{
  running_call in_progress(spec->owner);
  uint32_t mark = w->fli_stack_index;
  uint32_t words[PLAIN_WORDS + 2];
  uint32_t *word = words + 1; /* argument i's word; the api, when passed, before them */
  if (API) words[0] = (uint32_t)(uintptr_t)spec->api;
  QX_term_ref args = push_plain_refs<N>(w, Shape::term_outs(spec), word);
  /* the outputs' slots first: converting an integer may raise an error, which may collect */
  if (Shape::own_output(spec))
    plain_own_output(w, Shape::own_output(spec) - 1, args + N, word);
  else if (Shape::term_out_args(spec))
    plain_term_outputs(w, Shape::term_out_args(spec), Shape::term_outs(spec), args + N, word);
  if (Shape::integer_args(spec) && !plain_integer_words(w, Shape::integer_args(spec), args, word))
    return w->fli_stack_index = mark, 0;
  int saved = w->fli_info.excp_flag;
  w->fli_info.excp_flag = 1;
  out_value result;
  result.l = call_with<long>(spec->fn, API ? words : word, std::make_index_sequence<N + API>());
  bool ok = w->fli_info.excp_flag != 0;
  w->fli_info.excp_flag = saved;
  QX_term_ref out = args + N;
  for (unsigned mask = Shape::term_out_args(spec); ok && mask; mask &= mask - 1)
    ok = unify_term_output(w, args + __builtin_ctz(mask), out++);
  /* an integer, the one kind a plain spec returns */
  if (ok && Shape::returns(spec)) {
    TAGGED ready = ready_output(w, K_INTEGER | K_OUT, result);
    int step = ready ? unify_small_step(w, *qx_ref_cell(w, args + N - 1), ready) : -1;
    ok = step >= 0 ? step : unify_output_built(w, args + N - 1, K_INTEGER | K_OUT, result);
  }
  w->fli_stack_index = mark;
  return ok;
}

/* call_plain for spec's argument count and api. */
template <bool API, size_t... N>
constexpr auto plain_callers(std::index_sequence<N...>)
{
  return std::array<plain_fn, sizeof...(N)>{&call_plain<(int)N, API>...};
}
plain_fn plain_caller(const foreign_spec *spec)
{
  static constexpr auto with_api = plain_callers<true>(std::make_index_sequence<PLAIN_WORDS + 2>());
  static constexpr auto without = plain_callers<false>(std::make_index_sequence<PLAIN_WORDS + 2>());
  return spec->api ? with_api[spec->nargs] : without[spec->nargs];
}

/* The plain shapes called most (the solver's natives that post and propagate), each with a
 * call_plain of its own. */
struct shape_row {
  uint8_t nargs;
  bool api;
  uint8_t integer_args, term_out_args, own_output;
  bool returns;
  plain_fn fn;
};
template <int N, bool API, unsigned Ints, unsigned Outs, int Own, bool Ret>
constexpr shape_row shape()
{
  return {N, API, Ints, Outs, Own, Ret, &call_plain<N, API, fixed_shape<Ints, Outs, Own, Ret>>};
}
constexpr shape_row fixed_shapes[] = {
    shape<2, true, 0, 1, 1, true>(),   /* -term [-integer] */
    shape<2, true, 0, 2, 0, false>(),  /* +term -term */
    shape<2, true, 0, 0, 0, false>(),  /* +term +term */
    shape<3, true, 4, 0, 0, false>(),  /* +term +term +integer */
    shape<4, true, 8, 0, 0, false>(),  /* +term +term +term +integer */
    shape<6, true, 4, 32, 0, false>(), /* +term +term +integer +term +term -term */
    shape<0, true, 0, 0, 0, false>(),  /* no argument */
};

/* plain_caller for a plain predicate whose masks are set: its fixed shape's when it has one. */
plain_fn shape_caller(const foreign_spec *p)
{
  for (const shape_row &r : fixed_shapes)
    if (r.nargs == p->nargs && r.api == (p->api != nullptr) && r.integer_args == p->integer_args &&
        r.term_out_args == p->term_out_args && r.own_output == p->own_output &&
        r.returns == (p->ret != K_NONE))
      return r.fn;
  return plain_caller(p);
}

/* A call of a spec that is not plain. */
[[gnu::noinline]] int call_foreign_spec(worker *w, const foreign_spec *spec)
{
  running_call in_progress(spec->owner); /* spec lives as long as its resource */
  uint32_t mark = w->fli_stack_index;
  int n = spec->nargs;
  /* the arguments, then the -term outputs' references, in one push */
  QX_term_ref args = push_argument_refs(w, n, spec->term_outs);
  QX_term_ref next_out = args + n;
  uint32_t words[2 * QX_ARG_REGISTERS + 2];
  out_value outs[QX_ARG_REGISTERS];
  size_t nw = 0;
  if (spec->api) words[nw++] = (uint32_t)(uintptr_t)spec->api;
  int last = spec->ret != K_NONE ? n - 1 : n; /* the returned value's argument takes no word */
  int first_out = last, last_out = -1;       /* the outputs among them */
  for (int i = 0; i < last; i++) {
    uint8_t k = spec->kinds[i];
    if (k == K_TERM) { /* the common input: passed as its reference, unread */
      words[nw++] = (uint32_t)(args + i);
      continue;
    }
    if (!(k & K_OUT)) {
      if (!input_words(w, args + i, i, k, words, &nw)) {
        w->fli_stack_index = mark;
        return 0;
      }
      continue;
    }
    first_out = first_out < i ? first_out : i;
    last_out = i;
    if (k == (K_TERM | K_OUT)) {
      outs[i].l = next_out++;
      put_variable(w, (QX_term_ref)outs[i].l);
      words[nw++] = (uint32_t)outs[i].l;
    } else {
      std::memset(&outs[i], 0, sizeof outs[i]);
      words[nw++] = (uint32_t)(uintptr_t)&outs[i];
    }
  }
  int saved = w->fli_info.excp_flag;
  w->fli_info.excp_flag = 1;
  out_value result;
  if (spec->ret == (K_FLOAT | K_OUT))
    result.d = call_words<double>(spec->fn, words, nw);
  else
    result.l = call_words<long>(spec->fn, words, nw);
  bool ok = w->fli_info.excp_flag != 0;
  w->fli_info.excp_flag = saved;
  for (int i = first_out; ok && i <= last_out; i++) {
    uint8_t k = spec->kinds[i];
    if (!(k & K_OUT)) continue;
    ok = unify_output(w, args + i, k, outs[i]);
  }
  if (ok && spec->ret != K_NONE) {
    ok = unify_output(w, args + n - 1, spec->ret, result);
  }
  w->fli_stack_index = mark;
  return ok;
}

/* ---- predicates defined from native code ---- */

struct stash_entry {
  int (*dispatcher)(void *record, QX_term_ref first);
  void *record;
};

/* The record of a predicate defined with QX_define_c_predicate. */
struct c_pred_record {
  TAGGED name;
  int arity;
  QX_CPredFun function;
  void *user_data;
};

/* Calls r's function on goal with the error flag set: whether it succeeded without an error. */
inline int c_pred_answer(worker *w, const c_pred_record *r, QX_term_ref goal)
{
  w->fli_info.excp_flag = 1;
  int answer = r->function(goal, r->user_data);
  return w->fli_info.excp_flag != 0 && answer == 1;
}

int simple_pred_dispatcher(void *record, QX_term_ref first)
{
  const c_pred_record *r = (const c_pred_record *)record;
  worker *w = qx_w;
  uint32_t mark = w->fli_stack_index;
  QX_term_ref goal = qx_new_term_refs_checked(1);
  QX_term_ref refs[QX_ARG_REGISTERS];
  for (int i = 0; i < r->arity; i++) refs[i] = first + i;
  int ok =
      r->arity ? QX_cons_functor_array(goal, r->name, r->arity, refs) : QX_put_atom(goal, r->name);
  if (ok) ok = c_pred_answer(w, r, goal);
  w->fli_stack_index = mark;
  return ok;
}

/* simple_pred_dispatcher's call of r's function, its goal built straight from the arguments in
 * term[0..arity-1] while the heap has room for it without a collection, and r's name is no list
 * constructor; false, doing nothing, otherwise. */
QX_HOT_INLINE bool call_simple_pred(worker *w, const c_pred_record *r, int *ok)
{
  int n = r->arity;
  if (n == 0 || (n == 2 && r->name == atom_dot) || __builtin_expect(qx_gc_stress, 0) ||
      w->stack_start - w->global_top < (ptrdiff_t)(n + 1 + QX_API_HEAP_RESERVE))
    return false;
  uint32_t mark = w->fli_stack_index;
  QX_term_ref goal = qx_term_refs_fit(w, 1) ? qx_push_cleared_refs(w, 1) : qx_new_term_refs_checked(1);
  TAGGED *p = w->global_top;
  p[0] = MakeFunctor(r->name, (uint32_t)n);
  w->global_top = p + 1 + n;
  for (int i = 0; i < n; i++) qx_api_arg(w, &p[1 + i], w->term[i]);
  qx_ref_put(w, goal, MakeStr(p));
  int saved = w->fli_info.excp_flag;
  *ok = c_pred_answer(w, r, goal);
  w->fli_info.excp_flag = saved;
  w->fli_stack_index = mark;
  return true;
}

[[gnu::noinline]] int call_stash(worker *w, definition *def)
{
  const stash_entry *e = (const stash_entry *)def->code.code;
  int simple_ok;
  if (e->dispatcher == simple_pred_dispatcher &&
      call_simple_pred(w, (const c_pred_record *)e->record, &simple_ok))
    return simple_ok;
  uint32_t mark = w->fli_stack_index;
  int n = (int)def->proc.arity;
  QX_term_ref first = qx_new_term_refs_checked(n);
  for (int i = 0; i < n; i++) qx_ref_put(w, first + i, w->term[i]);
  int saved = w->fli_info.excp_flag;
  w->fli_info.excp_flag = 1;
  int ok = e->dispatcher(e->record, first);
  w->fli_info.excp_flag = saved;
  w->fli_stack_index = mark;
  return ok;
}

/* ---- built-ins ---- */

/* The text of an atom argument, or null after raising a type error. */
const char *atom_arg(worker *w, int i)
{
  TAGGED t = deref(w->term[i]);
  if (IsAtom(t)) return atom_name(t);
  if (IsVar(t))
    qx_instantiation_error(w, i + 1);
  else
    qx_type_error(w, "atom", t, i + 1);
  return nullptr;
}

/* The module an atom argument names, created when absent, or null after raising an error. */
mod_def *module_arg(worker *w, int i)
{
  return atom_arg(w, i) ? find_module(deref(w->term[i]), 1) : nullptr;
}

/* "$foreign_resource_suffix"(Suffix) */
int prolog_foreign_resource_suffix(worker *w)
{
  return cunify(w, w->term[0], init_atom_check(".so", 0));
}

/* "$QX_MAINFUN_PARAMS_VERSION"(Version) */
int prolog_mainfun_params_version(worker *w)
{
  return cunify(w, w->term[0], MakeSmall((int32_t)QX_MAINFUN_PARAMS_VERSION));
}

/* "$prelinked_foreign_resource"(File) */
int prolog_prelinked_foreign_resource(worker *w)
{
  TAGGED file = deref(w->term[0]);
  if (!IsAtom(file)) return 0;
  char *name = qx_resource_name(atom_name(file));
  int linked = name && qx_is_statically_linked(name) != nullptr;
  QX_free(name);
  return linked;
}

/* Loads File's resource with its init reason When: the record, or null when the built-in is to
 * answer 0 (an error may be raised). *loaded: the resource was already loaded. */
qx_open_resource *load_resource(worker *w, bool *loaded)
{
  *loaded = false;
  const char *file = atom_arg(w, 0);
  if (!file || !module_arg(w, 1)) return nullptr;
  TAGGED when = deref(w->term[2]);
  if (!IsSmall(when)) {
    qx_type_error(w, "integer", when, 3);
    return nullptr;
  }
  char *name = qx_resource_name(file);
  if (!name) {
    fault_for(LOAD_PRED, OUT_OF_MEMORY);
    return nullptr;
  }
  TAGGED rname = init_atom_check(name, 0);
  if (qx_open_resource *existing = rname ? find_record(rname) : nullptr) {
    QX_free(name);
    *loaded = true;
    return existing;
  }
  qx_open_resource *rec = (qx_open_resource *)QX_calloc(1, sizeof(qx_open_resource));
  if (!rec || !rname) {
    QX_free(rec);
    QX_free(name);
    fault_for(LOAD_PRED, OUT_OF_MEMORY);
    return nullptr;
  }
  rec->rname = rname;
  QX_register_atom(rname);
  rec->funcp = qx_is_statically_linked(name);
  if (!rec->funcp) {
    char *symbol = qx_ensure_c_name(name);
    rec->funcp = symbol ? load_foreign_resource(file, name, symbol, &rec->misc) : nullptr;
    if (!symbol) fault_for(LOAD_PRED, OUT_OF_MEMORY);
    QX_free(symbol);
    if (!rec->funcp) {
      QX_free(name);
      free_record(rec);
      return nullptr;
    }
  }
  QX_free(name);
  qx_open_resource **tail = &qx_eg.open_resources;
  while (*tail) tail = &(*tail)->next;
  *tail = rec;
  prepare_params(w, rec, QX_MAINFUN_LOAD);
  if (!entry_answer_ok(rec->funcp(&rec->params), rec->params)) {
    fault_for(LOAD_PRED, "Foreign resource entry function API error");
    unload_record(w, rec, -1);
    return nullptr;
  }
  if (!call_init_helper(w, rec, rec->params.init_fun, GetSmall(when))) {
    unload_record(w, rec, -2);
    return nullptr;
  }
  return rec;
}

/* "$load_foreign_resource"(File, Module, When) */
int prolog_load_foreign_resource3(worker *w)
{
  bool loaded;
  return load_resource(w, &loaded) != nullptr;
}

/* "$unload_foreign_resource"(Resource, Module, When) */
int prolog_unload_foreign_resource3(worker *w)
{
  TAGGED resource = deref(w->term[0]);
  qx_open_resource *rec = IsAtom(resource) ? find_record(resource) : nullptr;
  if (!rec) {
    save_error(0x404, "", resource);
    return raise_error(atom_prolog, init_atom_check(UNLOAD_PRED, 0), 1, 1);
  }
  TAGGED when = deref(w->term[2]);
  if (!module_arg(w, 1)) return 0;
  if (!IsSmall(when)) return qx_type_error(w, "integer", when, 3);
  if (rec->running) { /* asked from inside its own code */
    save_error(QX_ERR_PERMISSION, "unload foreign_resource", resource);
    return raise_error(atom_prolog, init_atom_check(UNLOAD_PRED, 0), 1, 1);
  }
  return unload_record(w, rec, GetSmall(when)) == 1;
}

/* The name and arity of the predicate an atom or a compound term stands for. */
bool spec_name(TAGGED spec, TAGGED *name, int *arity)
{
  spec = deref(spec);
  if (IsAtom(spec)) {
    *name = spec;
    *arity = 0;
    return true;
  }
  if (!IsCompound(spec)) return false;
  *name = FunctorName(StrFunctor(spec));
  *arity = (int)Arity(StrFunctor(spec));
  return true;
}

/* "$foreign_resource_symbols"(Resource, Specs, Stash) */
int prolog_foreign_resource_symbols(worker *w)
{
  TAGGED resource = deref(w->term[0]);
  qx_open_resource *rec = IsAtom(resource) ? find_record(resource) : nullptr;
  if (!rec) return 0;
  uint32_t count = 0;
  for (TAGGED l = deref(w->term[1]); IsLst(l); l = deref(LstTail(l))) count++;
  call_overflow(w, 128 + 3 * count, 3);
  for (TAGGED l = deref(w->term[1]); IsLst(l); l = deref(LstTail(l))) {
    TAGGED e = deref(LstHead(l));
    TAGGED name;
    int arity;
    if (!IsCompound(e) || Arity(StrFunctor(e)) < 4 || !spec_name(StrArg(e, 3), &name, &arity))
      return qx_type_error(w, "foreign_spec", e, 2);
    int i = find_function(rec, atom_name(name), arity);
    if (i < 0)
      return fault_for(LOAD_PRED, "failed to resolve symbol \"%s\": not in table", atom_name(name));
    if (!unify_address(w, StrArg(e, 4), (const void *)rec->params.funcs[i])) return 0;
  }
  return unify_address(w, w->term[2],
                       rec->params.flags & QX_MAINFUN_API_INIT ? &rec->qxenv : nullptr);
}

/* "$define_foreign_predicate"(Module, Name, Address, Stash, Kinds): Module:Name calls the
 * function at Address (with the API struct at Stash first, unless Stash is 0) converting its
 * arguments as the atom Kinds says (foreign_interface.h). */
int prolog_define_foreign_predicate(worker *w)
{
  mod_def *module = module_arg(w, 0);
  const char *name = module ? atom_arg(w, 1) : nullptr;
  const char *kinds = name ? atom_arg(w, 4) : nullptr;
  void *fn, *api;
  if (!kinds) return 0;
  if (!term_address(w->term[2], &fn) || !fn)
    return qx_type_error(w, "integer", deref(w->term[2]), 3);
  if (!term_address(w->term[3], &api)) return qx_type_error(w, "integer", deref(w->term[3]), 4);
  return define_foreign(w, module, deref(w->term[1]), (void (*)())fn, (ORVALIS_API_STRUCT *)api,
                        kinds);
}

/* fli_define_stash_predicate(Name, Arity, Module, Dispatcher, Record) */
int prolog_fli_define_stash_predicate(worker *w)
{
  TAGGED name = deref(w->term[0]);
  TAGGED arity = deref(w->term[1]);
  void *dispatcher, *record;
  if (!IsAtom(name)) return qx_type_error(w, "atom", name, 1);
  if (!IsSmall(arity) || GetSmall(arity) < 0 || GetSmall(arity) > 255)
    return qx_type_error(w, "integer", arity, 2);
  mod_def *module = module_arg(w, 2);
  if (!module) return 0;
  if (!term_address(w->term[3], &dispatcher) || !dispatcher)
    return qx_type_error(w, "integer", deref(w->term[3]), 4);
  if (!term_address(w->term[4], &record)) return qx_type_error(w, "integer", deref(w->term[4]), 5);
  stash_entry *e = (stash_entry *)qx_checkalloc(sizeof(stash_entry), QX_SPACE_FOREIGN);
  e->dispatcher = (int (*)(void *, QX_term_ref))dispatcher;
  e->record = record;
  definition *d = insert_definition(module, name, (uint32_t)GetSmall(arity), 1);
  redefine_predicate(d, ENTER_UNDEFINED);
  d->code.code = e;
  update_exports(d, ENTER_STASH);
  return 1;
}

/* The interface record of a linked-in resource, or null. */
const qx_foreign_interface *linked_interface(const char *name)
{
  for (const qx_foreign_interface *const *p = qx_eg.fli_pre_interfaces; p && *p; p++)
    if (std::strcmp((*p)->resource, name) == 0) return *p;
  return nullptr;
}

/* Defines the predicates of a loaded resource from its interface record: false with an error
 * raised when one is not in its tables. */
bool install_interface(worker *w, qx_open_resource *rec, const qx_foreign_interface *fi)
{
  mod_def *module = find_module(init_atom_check(fi->module, 0), 1);
  ORVALIS_API_STRUCT *api = rec->params.flags & QX_MAINFUN_API_INIT ? &rec->qxenv : nullptr;
  for (const qx_foreign_pred *p = fi->preds; p->name; p++) {
    foreign_spec parsed;
    if (!parse_spec(p->args, &parsed)) {
      qx_domain_error(w, "foreign_argument_kinds", init_atom_check(p->args, 0), 0);
      return false;
    }
    int i = find_function(rec, p->name, parsed.nargs);
    if (i < 0) {
      fault_for(LOAD_PRED, "failed to resolve symbol \"%s\": not in table", p->name);
      return false;
    }
    if (!define_foreign(w, module, init_atom_check(p->name, 0), rec->params.funcs[i], api, p->args))
      return false;
  }
  return true;
}

/* load_foreign_resource(File): loads the resource and, when it has an interface record, defines
 * its predicates. */
int prolog_load_foreign_resource1(worker *w)
{
  w->term[1] = atom_user;
  w->term[2] = MakeSmall(EXPLICIT_REASON);
  bool loaded;
  qx_open_resource *rec = load_resource(w, &loaded);
  if (!rec) return 0;
  if (loaded) return 1;
  const qx_foreign_interface *fi = linked_interface(atom_name(rec->rname));
  return !fi || install_interface(w, rec, fi);
}

/* unload_foreign_resource(File): unloads File's resource. */
int prolog_unload_foreign_resource1(worker *w)
{
  const char *file = atom_arg(w, 0);
  if (!file) return 0;
  char *name = qx_resource_name(file);
  TAGGED rname = name ? init_atom_check(name, 0) : 0;
  QX_free(name);
  if (!rname) return 0;
  w->term[0] = rname;
  w->term[1] = atom_user;
  w->term[2] = MakeSmall(EXPLICIT_REASON);
  return prolog_unload_foreign_resource3(w);
}

int prolog_load_clpfd_resource(worker *w)
{
  w->term[0] = atom_clpfd;
  return prolog_load_foreign_resource1(w);
}

int prolog_unload_clpfd_resource(worker *w)
{
  w->term[0] = atom_clpfd;
  return prolog_unload_foreign_resource1(w);
}

/* loaded_resource(Name): the open resources' names, in load order. */
int resource_solution(worker *w, qx_open_resource *rec, bool retrying)
{
  qx_open_resource *next = rec->next;
  if (retrying) {
    if (next)
      qx_retry_state(w)[1] = qx_raw(next);
    else
      qx_pop_retry(w);
  } else if (next) {
    w->term[1] = qx_raw(next);
    qx_push_retry(w, 2);
  }
  return cunify(w, w->term[0], rec->rname);
}

int prolog_loaded_resource(worker *w)
{
  TAGGED name = deref(w->term[0]);
  if (!IsVar(name)) return IsAtom(name) && find_record(name) != nullptr;
  return qx_eg.open_resources && resource_solution(w, qx_eg.open_resources, false);
}

int nd_loaded_resource(worker *w)
{
  qx_open_resource *rec = qx_unraw<qx_open_resource>(qx_retry_state(w)[1]);
  /* The record may have been unloaded since: continue only while it is still open. */
  for (qx_open_resource *r = qx_eg.open_resources; r; r = r->next)
    if (r == rec) return resource_solution(w, rec, true);
  qx_pop_retry(w);
  return 0;
}

}  // namespace

/* ---- the glue ---- */

int qx_call_foreign(worker *w, definition *def)
{
  if (def->predtyp == ENTER_STASH) return call_stash(w, def);
  const foreign_spec *spec = (const foreign_spec *)def->code.code;
  return spec->plain ? spec->plain(w, spec) : call_foreign_spec(w, spec);
}

void qx_free_foreign_code(definition *def)
{
  if (!def->code.code) return;
  if (def->predtyp == ENTER_STASH) {
    stash_entry *e = (stash_entry *)def->code.code;
    if (e->dispatcher == simple_pred_dispatcher) {
      c_pred_record *r = (c_pred_record *)e->record;
      QX_unregister_atom(r->name);
      QX_free(r);
    }
    qx_checkdealloc(e, sizeof(stash_entry), QX_SPACE_FOREIGN);
  } else {
    foreign_spec *spec = (foreign_spec *)def->code.code;
    qx_checkdealloc(spec, offsetof(foreign_spec, kinds) + spec->nargs, QX_SPACE_FOREIGN);
  }
  def->code.code = nullptr;
}

void qx_forget_foreign_resources(void)
{
  while (qx_open_resource *rec = qx_eg.open_resources) {
    rec->unload_attempted = true;
    unload_record(qx_w, rec, -1);
  }
}

bool qx_unload_foreign_resources(worker *w)
{
  bool all_written = true;
  while (qx_open_resource *rec = qx_eg.open_resources) {
    while (rec->next) rec = rec->next;
    bool written = true;
    if (unload_record(w, rec, SHUTDOWN_REASON, &written) < 0) { /* refused: dropped all the same */
      rec->unload_attempted = true;
      unload_record(w, rec, -1, &written);
    }
    all_written = all_written && written;
  }
  return all_written;
}

const qx_open_resource *qx_running_resource(void) { return innermost_resource; }

/* ---- loading ---- */

QX_pre_linkage_fn qx_is_statically_linked(const char *name)
{
  const char *const *map = qx_eg.fli_pre_map;
  if (!map || !qx_eg.fli_pre_linkage) return nullptr;
  for (size_t i = 0; map[i]; i++)
    if (qx_eg.fli_pre_linkage[i] && std::strcmp(map[i], name) == 0)
      return (QX_pre_linkage_fn)qx_eg.fli_pre_linkage[i];
  return nullptr;
}

void qx_set_linked_interfaces(const qx_foreign_interface *const *list)
{
  qx_eg.fli_pre_interfaces = list;
}

char *qx_resource_name(const char *file)
{
  const char *base = std::strrchr(file, '/');
  base = base ? base + 1 : file;
  const char *dot = std::strrchr(base, '.');
  size_t n = dot ? (size_t)(dot - base) : std::strlen(base);
  char *name = (char *)QX_malloc(n + 1);
  if (!name) return nullptr;
  std::memcpy(name, base, n);
  name[n] = 0;
  return name;
}

char *dlerror_ienc(void)
{
  const char *text = dlerror();
  if (!text) return nullptr;
  char *converted = QX_from_os(text, 0);
  return converted ? converted : QX_strdup("dlopen error");
}

QX_pre_linkage_fn load_foreign_resource(const char *path, const char *name, const char *symbol,
                                        void **handle)
{
  (void)name;
  char *os_path = QX_to_os(path, 0);
  if (!os_path) {
    fault_for(LOAD_PRED, "Path error in load_foreign_resource/1: %s", path);
    return nullptr;
  }
  dlerror();
  void *lib = dlopen(os_path, RTLD_NOW);
  QX_free(os_path);
  if (!lib) {
    char *why = dlerror_ienc();
    fault_for(LOAD_PRED, "dlopen(\"%s\") failed in load_foreign_resource/1: %s", path,
              why ? why : "dlopen error");
    QX_free(why);
    return nullptr;
  }
  size_t n = sizeof MAIN_PREFIX + std::strlen(symbol) + 1;
  char *entry = (char *)QX_malloc(n);
  if (!entry) {
    dlclose(lib);
    fault_for(LOAD_PRED, OUT_OF_MEMORY);
    return nullptr;
  }
  std::snprintf(entry, n, "_%s%s", MAIN_PREFIX, symbol);
  void *fn = dlsym(lib, entry + 1);
  char *why = fn ? nullptr : dlerror_ienc(); /* the error that names the plain symbol */
  if (!fn) fn = dlsym(lib, entry);
  if (!fn) {
    fault_for(LOAD_PRED, "dlsym(\"%s\") failed in load_foreign_resource/1: %s", entry + 1,
              why ? why : "dlopen error");
    dlclose(lib);
  } else {
    *handle = lib;
  }
  QX_free(why);
  QX_free(entry);
  return (QX_pre_linkage_fn)fn;
}

void unload_foreign_resource(const char *name, void *handle)
{
  (void)name;
  if (handle) dlclose(handle);
}

/* ---- predicates from native code ---- */

int QX_define_c_predicate(const char *name, int arity, const char *module, QX_CPredFun function,
                          void *user_data)
{
  if (!name) {
    qx_set_errno(QX_ERR_NULL_STRING);
    return 0;
  }
  if (!wci_valid_string(name)) {
    qx_set_errno(QX_ERR_STRING);
    return 0;
  }
  mod_def *m = qx_eg.typein_mod ? qx_eg.typein_mod : qx_eg.user_module;
  if (module && *module) {
    TAGGED mname = wci_valid_string(module) ? init_atom_check(module, 1) : 0;
    m = mname ? find_module(mname, 0) : nullptr;
    if (!m) return 0;
  }
  if (arity < 0 || arity > 255 || !function) return 0;
  TAGGED atom = QX_atom_from_string(name);
  if (!atom) return 0;
  QX_register_atom(atom);
  c_pred_record *record = (c_pred_record *)QX_malloc(sizeof(c_pred_record));
  int ok = 0;
  QX_term_ref args = record ? QX_new_term_refs(5) : 0;
  if (args) {
    *record = {atom, arity, function, user_data};
    QX_put_atom(args, atom);
    QX_put_integer(args + 1, arity);
    QX_put_atom(args + 2, m->name);
    QX_put_address(args + 3, (void *)&simple_pred_dispatcher);
    QX_put_address(args + 4, record);
    QX_pred_ref pred = QX_predicate("fli_define_stash_predicate", 5, "prolog");
    disable_events();
    ok = pred && QX_query(pred, args, args + 1, args + 2, args + 3, args + 4) == 1;
    enable_events();
    QX_reset_term_refs(args);
    if (!ok) qx_set_errno(QX_ERR_UNKNOWN);
  }
  if (!ok) {
    QX_unregister_atom(atom);
    QX_free(record);
  }
  return ok;
}

// clang-format off
const qx_pred_row qx_foreign_rows[] = {
    {"$foreign_resource_suffix", prolog_foreign_resource_suffix, 1, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$QX_MAINFUN_PARAMS_VERSION", prolog_mainfun_params_version, 1, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$prelinked_foreign_resource", prolog_prelinked_foreign_resource, 1, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$load_foreign_resource", prolog_load_foreign_resource3, 3, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$foreign_resource_symbols", prolog_foreign_resource_symbols, 3, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$unload_foreign_resource", prolog_unload_foreign_resource3, 3, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"$define_foreign_predicate", prolog_define_foreign_predicate, 5, BUILTIN_DET, QX_MOD_PROLOG, nullptr},
    {"fli_define_stash_predicate", prolog_fli_define_stash_predicate, 5, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"load_foreign_resource", prolog_load_foreign_resource1, 1, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"unload_foreign_resource", prolog_unload_foreign_resource1, 1, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"load_clpfd_resource", prolog_load_clpfd_resource, 0, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"unload_clpfd_resource", prolog_unload_clpfd_resource, 0, ENTER_C, QX_MOD_PROLOG, nullptr},
    {"loaded_resource", prolog_loaded_resource, 1, ENTER_C_NONDET, QX_MOD_PROLOG, nd_loaded_resource},
    {nullptr, nullptr, 0, 0, 0, nullptr},
};
// clang-format on
