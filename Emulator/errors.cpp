/* Errors of native code: the pending record, the error choicepoint, and the one table from error
 * codes to ISO error terms. */
#include "errors.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "atoms.h"
#include "gc.h"
#include "instance.h"
#include "memman.h"
#include "objareas.h"
#include "wam.h"
#include "wcx.h"

/* The goal of the native now running, or its functor word, set before each native call. */
TAGGED qx_native_goal;
mod_def *qx_native_ctx;

namespace {

qx_gc_root native_goal_root(&qx_native_goal);

TAGGED atom_of(const char *text)
{
  TAGGED a = init_atom_check(text, 0);
  return a ? a : atom_empty;
}

TAGGED build(worker *w, const char *name, std::initializer_list<TAGGED> args)
{
  TAGGED *p = w->global_top;
  p[0] = MakeFunctor(atom_of(name), (uint32_t)args.size());
  uint32_t i = 1;
  for (TAGGED a : args) p[i++] = a;
  w->global_top += i;
  return MakeStr(p);
}

void set_context(TAGGED module, TAGGED functor, int argument)
{
  qx_eg.pending_error_module = module;
  qx_eg.pending_error_functor = functor;
  qx_eg.pending_error_arg = argument;
}

int push_error_node(worker *w)
{
  qx_push_node(w, qx_alt(QX_ALT_ERROR, 0));
  return 0;
}

void ensure_room(worker *w, uint32_t words)
{
  if (qx_heap_short(w, words + 256)) call_overflow(w, words + 256, 0);
}

}  // namespace

/* ---- the pending exception ---- */

namespace {
instance *memory_ball;
}

void memory_fault_term()
{
  if (memory_ball) return;
  /* Built in a scratch array, not on a heap that may be the exhausted resource. */
  TAGGED cells[10];
  cells[0] = MakeFunctor(atom_of("resource_error"), 1);
  cells[1] = atom_of("memory");
  cells[2] = MakeFunctor(atom_of("context"), 2);
  cells[3] = MakeRef(&cells[3]);
  cells[4] = MakeSmall(0);
  cells[5] = MakeFunctor(atom_error, 2);
  cells[6] = MakeStr(&cells[0]);
  cells[7] = MakeStr(&cells[2]);
  memory_ball = qx_copy_to_instance(qx_w, MakeStr(&cells[5]));
}

void qx_free_memory_fault_term()
{
  if (qx_eg.exception == memory_ball) qx_eg.exception = nullptr;
  qx_free_instance(memory_ball);
  memory_ball = nullptr;
}

void qx_set_memory_fault_exception()
{
  qx_clear_exception();
  qx_eg.exception = memory_ball;
}

void qx_set_exception(worker *w, TAGGED ball)
{
  qx_clear_exception();
  qx_eg.exception = qx_copy_to_instance(w, ball);
}

TAGGED qx_exception_term(worker *w)
{
  if (!qx_eg.exception) return 0;
  ensure_room(w, qx_instance_heap_words(qx_eg.exception));
  return qx_copy_from_instance(w, qx_eg.exception);
}

void qx_clear_exception()
{
  if (qx_eg.exception && qx_eg.exception != memory_ball) qx_free_instance(qx_eg.exception);
  qx_eg.exception = nullptr;
}

bool qx_append_valid_text(char *buf, size_t size, size_t *used, const char *text)
{
  static const char replacement[] = "\xEF\xBF\xBD"; /* U+FFFD */
  size_t at = *used;
  bool whole = true;
  for (const char *p = text; *p;) {
    int32_t code;
    int n = QX_wci_code(&code, p);
    size_t length = n ? (size_t)n : sizeof replacement - 1;
    if (at + length >= size) {
      whole = false;
      break;
    }
    std::memcpy(buf + at, n ? p : replacement, length);
    at += length;
    p += n ? n : 1;
  }
  if (at < size) buf[at] = '\0';
  *used = at;
  return whole;
}

void save_error(uint32_t code, const char *message, TAGGED culprit)
{
  qx_eg.pending_error_code = code;
  qx_eg.pending_error_thrown = 0;
  size_t used = 0;
  qx_eg.pending_error_message[0] = '\0';
  qx_append_valid_text(qx_eg.pending_error_message, sizeof qx_eg.pending_error_message, &used,
                       message ? message : "");
  /* Forget the old culprit before copying the new one: the copy may end in a memory fault. */
  instance *old = qx_eg.pending_error_culprit;
  qx_eg.pending_error_culprit = nullptr;
  if (old) qx_free_instance(old);
  if (culprit) qx_eg.pending_error_culprit = qx_copy_to_instance(qx_w, culprit);
}

int raise_error(TAGGED module, TAGGED name, int arity, int argument)
{
  set_context(module, arity ? MakeFunctor(name, (uint32_t)arity) : name, argument);
  return push_error_node(qx_w);
}

int raise_error_goal(TAGGED culprit, int argument)
{
  TAGGED goal = culprit ? deref(culprit) : (qx_native_goal ? deref(qx_native_goal) : 0);
  TAGGED module = qx_native_ctx ? qx_native_ctx->name : atom_user;
  while (IsStr(goal) && StrFunctor(goal) == functor_colon2) {
    module = deref(StrArg(goal, 1));
    goal = deref(StrArg(goal, 2));
  }
  TAGGED functor = IsStr(goal) ? StrFunctor(goal) : (IsFunctorCell(goal) ? goal : 0);
  set_context(module, functor, argument);
  return push_error_node(qx_w);
}

int raise_exception(TAGGED term)
{
  qx_set_exception(qx_w, term);
  qx_eg.pending_error_thrown = 1;
  return push_error_node(qx_w);
}

/* ---- the table ---- */
TAGGED qx_formal_error(worker *w, uint32_t code, const char *message, TAGGED culprit)
{
  TAGGED msg = atom_of(message);
  TAGGED c = culprit;
  switch (code) {
  case 0x902: return build(w, "domain_error", {atom_of("stream_or_alias"), c});
  case 0x401:
  case 2: return build(w, "type_error", {msg, c});
  case 0x202: return build(w, "representation_error", {atom_of("character_code")});
  case 0x501: return build(w, "domain_error", {atom_of("not_less_than_zero"), c});
  case 0x603: return build(w, "representation_error", {msg}); /* a flag value: no atom */
  case QX_ERR_INSTANTIATION: return atom_of("instantiation_error");
  case QX_ERR_TYPE: return build(w, "type_error", {msg, c});
  case QX_ERR_DOMAIN: return build(w, "domain_error", {msg, c});
  case QX_ERR_EXISTENCE: return build(w, "existence_error", {msg, c});
  case QX_ERR_PERMISSION: {
    char action[128];
    const char *space = std::strchr(message, ' ');
    size_t n = space ? (size_t)(space - message) : std::strlen(message);
    std::snprintf(action, sizeof action, "%.*s", (int)n, message);
    return build(w, "permission_error", {atom_of(action), atom_of(space ? space + 1 : ""), c});
  }
  case QX_ERR_REPRESENTATION: return build(w, "representation_error", {msg});
  case QX_ERR_EVALUATION: return build(w, "evaluation_error", {msg});
  case QX_ERR_RESOURCE: return build(w, "resource_error", {msg});
  case QX_ERR_UNINSTANTIATION: return build(w, "uninstantiation_error", {c});
  default: break;
  }
  static const char *const permission_detail[][2] = {{"", ""},
                                                     {"input", "stream"},
                                                     {"output", "stream"},
                                                     {"open", "source_sink"},
                                                     {"open", "source_sink"},
                                                     {"reposition", "stream"}};
  static const char *const existence_detail[] = {"", "past_end_of_stream", "",
                                                 "", "foreign_resource",   "source_sink"};
  uint32_t cls = code & 0xFF, detail = (code >> 8) & 0xFF;
  if (cls == 6 && detail >= 1 && detail <= 5)
    return build(w, "permission_error",
                 {atom_of(permission_detail[detail][0]), atom_of(permission_detail[detail][1]), c});
  if (cls == 4 && detail < 6 && existence_detail[detail][0])
    return build(w, "existence_error", {atom_of(existence_detail[detail]), c});
  return build(w, "system_error", {msg});
}

void qx_raise_pending(worker *w)
{
  if (qx_eg.pending_error_thrown) {
    qx_eg.pending_error_thrown = 0;
    return; /* raise_exception stored the ball itself */
  }
  instance *ins = qx_eg.pending_error_culprit;
  ensure_room(w, (ins ? qx_instance_heap_words(ins) : 0) + 64);
  TAGGED culprit;
  if (ins) {
    culprit = qx_copy_from_instance(w, ins);
  } else {
    culprit = MakeRef(w->global_top);
    *w->global_top++ = culprit;
  }
  TAGGED formal =
      qx_formal_error(w, qx_eg.pending_error_code, qx_eg.pending_error_message, culprit);
  TAGGED functor = qx_eg.pending_error_functor;
  TAGGED indicator;
  if (functor) {
    TAGGED name = IsAtom(functor) ? functor : FunctorName(functor);
    uint32_t arity = IsAtom(functor) ? 0 : Arity(functor);
    indicator = build(w, ":",
                      {qx_eg.pending_error_module ? qx_eg.pending_error_module : atom_user,
                       build(w, "/", {name, MakeSmall((int32_t)arity)})});
  } else {
    indicator = MakeRef(w->global_top);
    *w->global_top++ = indicator;
  }
  TAGGED context = build(w, "context", {indicator, MakeSmall(qx_eg.pending_error_arg)});
  qx_set_exception(w, build(w, "error", {formal, context}));
}

/* ---- shorthands ---- */
/* Record an error and raise it against the running goal; 0 for the native to return. */
static int raise_with(uint32_t code, const char *message, TAGGED culprit, int argument)
{
  save_error(code, message, culprit);
  return raise_error_goal(0, argument);
}

int qx_instantiation_error(worker *, int argument)
{
  return raise_with(QX_ERR_INSTANTIATION, "", 0, argument);
}

int qx_type_error(worker *, const char *type, TAGGED culprit, int argument)
{
  return raise_with(QX_ERR_TYPE, type, culprit, argument);
}

int qx_domain_error(worker *, const char *domain, TAGGED culprit, int argument)
{
  return raise_with(QX_ERR_DOMAIN, domain, culprit, argument);
}

int qx_representation_error(worker *, const char *what, int argument)
{
  return raise_with(QX_ERR_REPRESENTATION, what, 0, argument);
}

int qx_evaluation_error(worker *, const char *what, int argument)
{
  return raise_with(QX_ERR_EVALUATION, what, 0, argument);
}

int qx_permission_error(worker *, const char *action, const char *type, TAGGED culprit,
                        int argument)
{
  char message[256];
  std::snprintf(message, sizeof message, "%s %s", action, type);
  return raise_with(QX_ERR_PERMISSION, message, culprit, argument);
}

int qx_existence_error(worker *, const char *kind, TAGGED culprit, int argument)
{
  return raise_with(QX_ERR_EXISTENCE, kind, culprit, argument);
}

int qx_resource_error(worker *, const char *what)
{
  return raise_with(QX_ERR_RESOURCE, what, 0, 0);
}

int qx_system_error(worker *, const char *message)
{
  return raise_with(QX_ERR_SYSTEM, message, 0, 0);
}
