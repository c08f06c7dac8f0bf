/* The Prolog interface of a linked-in foreign resource, written as data beside the resource.
 *
 * A resource's entry function hands the engine parallel tables of functions, predicate names and
 * arities. What the resource's Prolog library would declare on top of that - which module gets
 * the predicates and how each argument is converted - is this record: load_foreign_resource/1
 * resolves each predicate through "$foreign_resource_symbols"/3 and defines it with the argument
 * kinds given here.
 *
 * Argument kinds, one word per argument, separated by single spaces, in argument order:
 *   +integer -integer   a C long in or out
 *   +float   -float     a C double in or out
 *   +atom    -atom      an atom word (TAGGED) in or out
 *   +term    -term      a term reference in; a fresh term reference, unified afterwards
 *   +string  -string    a NUL-terminated text in the internal encoding (const char *) in or out
 *   +address -address   a pointer in or out (0 for a null pointer)
 * and, as the last word only, the function's return value unified with the last argument:
 *   [-integer] [-float] [-atom] [-term] [-address]
 * The predicate's arity is the number of words.
 */
#ifndef QX_FOREIGN_INTERFACE_H
#define QX_FOREIGN_INTERFACE_H

struct qx_foreign_pred {
  const char *name; /* the predicate's name, as in the resource's name table */
  const char *args; /* argument kinds as above; "" for arity 0 */
};

struct qx_foreign_interface {
  const char *resource;         /* resource name: the base name of its file, no extension */
  const char *module;           /* module that receives the predicates */
  const qx_foreign_pred *preds; /* ended by an entry whose name is null */
};

#endif
