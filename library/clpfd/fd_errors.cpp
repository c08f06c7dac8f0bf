/* The solver's errors: recorded and raised through the public dispatch table, so that the
 * engine's one table of error codes builds the error term. */
#include <cstdio>

#include "fd_kernel.h"

namespace {

/* The culprit goes through a term reference: QX_save_error copies it from there. */
int raise(ORVALIS_API_STRUCT *api, uint32_t code, const char *message, TAGGED culprit, int argument)
{
  QX_term_ref ref = QX_new_term_ref();
  if (ref) fd_ref_put(api, ref, culprit ? culprit : atom_nil);
  QX_save_error((int)code, message, ref);
  if (ref) QX_reset_term_refs(ref);
  const char *name;
  int arity;
  fd_running_native(api, &name, &arity);
  QX_raise_error("clpfd", name, arity, argument);
  return 0;
}

}  // namespace

int fd_instantiation_error(ORVALIS_API_STRUCT *api, int argument)
{
  return raise(api, QX_ERR_INSTANTIATION, "", 0, argument);
}

int fd_type_error(ORVALIS_API_STRUCT *api, const char *type, TAGGED culprit, int argument)
{
  return raise(api, QX_ERR_TYPE, type, culprit, argument);
}

int fd_domain_error(ORVALIS_API_STRUCT *api, const char *domain, TAGGED culprit, int argument)
{
  return raise(api, QX_ERR_DOMAIN, domain, culprit, argument);
}

int fd_representation_error(ORVALIS_API_STRUCT *api, const char *what, int argument)
{
  return raise(api, QX_ERR_REPRESENTATION, what, 0, argument);
}

int fd_permission_error(ORVALIS_API_STRUCT *api, const char *action, const char *type,
                        TAGGED culprit, int argument)
{
  char message[256];
  std::snprintf(message, sizeof message, "%s %s", action, type);
  return raise(api, QX_ERR_PERMISSION, message, culprit, argument);
}

int fd_existence_error(ORVALIS_API_STRUCT *api, const char *kind, TAGGED culprit, int argument)
{
  return raise(api, QX_ERR_EXISTENCE, kind, culprit, argument);
}

int fd_system_error(ORVALIS_API_STRUCT *api, const char *message)
{
  return raise(api, QX_ERR_SYSTEM, message, 0, 0);
}

/* The culprit an error names: the term itself when it is small, acyclic and without variables
 * (the error copies it, and an attributed variable would bring the whole constraint store along);
 * else the name of its functor. */
TAGGED fd_error_culprit(TAGGED t)
{
  constexpr int LIMIT = 64;
  t = deref(t);
  TAGGED name = IsLst(t) ? atom_dot : IsStr(t) && !IsBox(t) ? FunctorName(StrFunctor(t)) : t;
  TAGGED stack[LIMIT];
  int top = 0, seen = 0;
  stack[top++] = t;
  while (top > 0) {
    TAGGED u = deref(stack[--top]);
    if (++seen > LIMIT || IsVar(u)) return name;
    if (IsLst(u)) {
      if (top + 2 > LIMIT) return name;
      stack[top++] = LstHead(u);
      stack[top++] = LstTail(u);
    } else if (IsStr(u) && !IsBox(u)) {
      int arity = (int)Arity(StrFunctor(u));
      if (top + arity > LIMIT) return name;
      for (int k = 1; k <= arity; k++) stack[top++] = StrArg(u, k);
    }
  }
  return t;
}
