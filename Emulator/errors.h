/* Errors raised by native code: recorded, then thrown when the native's failure reaches the error
 * choicepoint it pushed. Native code never unwinds the stacks itself. */
#ifndef QX_ERRORS_H
#define QX_ERRORS_H

#include <cstddef>
#include <cstdint>

#include "datadefs.h"
#include "orvalis.h" /* the error codes */

/* Record a pending error: code, message (at most 2047 bytes kept, as qx_append_valid_text keeps
 * them), culprit term. */
void save_error(uint32_t code, const char *message, TAGGED culprit);
/* Appends text to the NUL-terminated buf of size bytes, *used of them taken, so that buf stays
 * valid internal encoding (an atom can be made of it): a byte that starts no well-formed code
 * becomes U+FFFD, and only whole codes that fit go in. False when some of text did not fit. */
bool qx_append_valid_text(char *buf, size_t size, size_t *used, const char *text);
/* Make the running native's failure raise the recorded error for module:name/arity built from the
 * argument registers, naming argument `argument` (0: none). Answers 0 for the native to return. */
int raise_error(TAGGED module, TAGGED name, int arity, int argument);
/* The same for the goal of the native now running, given by the interpreter. */
int raise_error_goal(TAGGED culprit, int argument);
/* Make the running native's failure throw term. Answers 0. */
int raise_exception(TAGGED term);

/* Shorthands for natives: record and raise against the running goal; all answer 0. */
int qx_instantiation_error(worker *w, int argument);
int qx_type_error(worker *w, const char *type, TAGGED culprit, int argument);
int qx_domain_error(worker *w, const char *domain, TAGGED culprit, int argument);
int qx_representation_error(worker *w, const char *what, int argument);
int qx_evaluation_error(worker *w, const char *what, int argument);
int qx_permission_error(worker *w, const char *action, const char *type, TAGGED culprit,
                        int argument);
int qx_existence_error(worker *w, const char *kind, TAGGED culprit, int argument);
int qx_resource_error(worker *w, const char *what);
int qx_system_error(worker *w, const char *message);

/* Turn the pending record into the pending exception (qx_eg.exception):
 * error(Formal, context(Module:Name/Arity, ArgNo)), or the term given to raise_exception. */
void qx_raise_pending(worker *w);
/* The formal error term of a code, for callers that report errors themselves. */
TAGGED qx_formal_error(worker *w, uint32_t code, const char *message, TAGGED culprit);
/* The goal the interpreter is running a native for (its indicator goes into error contexts), set
 * before every native call: inline. */
extern TAGGED qx_native_goal;
extern mod_def *qx_native_ctx;
inline void qx_set_native_goal(TAGGED goal, mod_def *ctx)
{
  qx_native_goal = goal;
  qx_native_ctx = ctx;
}

/* Prepares the stored memory-fault exception, error(resource_error(memory), context(_, 0)), so
 * that raising it allocates nothing; memory_fault_term() is idempotent. */
void memory_fault_term();
void qx_free_memory_fault_term();
/* Makes the stored memory-fault exception the pending one. */
void qx_set_memory_fault_exception();

#endif
