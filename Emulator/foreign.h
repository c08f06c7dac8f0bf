/* Foreign resources: the records of loaded resources and the glue that calls their functions
 * and the predicates defined through the embedding API. */
#ifndef QX_FOREIGN_H
#define QX_FOREIGN_H

#include "orvalis.h"

/* One loaded resource, in the list qx_eg.open_resources (load order). */
struct qx_open_resource {
  TAGGED rname;             /* registered atom of the resource name */
  void *misc;               /* the shared object's handle, null for a linked-in resource */
  ORVALIS_API_STRUCT qxenv; /* the resource's own API struct; its stash is the resource's */
  void *handle;             /* not used */
  QX_pre_linkage_fn funcp;  /* the entry function */
  bool unload_attempted;    /* the entry's unload call happens at most once */
  int running;              /* calls into its code in progress: it is not unloaded meanwhile */
  qx_open_resource *next;
  QX_MAINFUN_PARAMS_STRUCT params; /* as the entry function filled it */
};

/* Calls a predicate of kind ENTER_FOREIGN or ENTER_STASH with its arguments in
 * w->term[0..arity-1]: nonzero continues, 0 fails (an exception the function raised stays
 * pending as the native error it recorded). */
int qx_call_foreign(worker *w, definition *def);
/* Frees the call record of such a predicate (and the record QX_define_c_predicate made for it)
 * when its definition goes or changes kind. */
void qx_free_foreign_code(definition *def);
/* Drops the records of the resources still loaded as the engine's predicates go: their streams
 * are closed and their indexicals freed through their hooks, shared objects are closed; neither
 * the entry nor deinit functions are called. */
void qx_forget_foreign_resources(void);
/* Shutdown: unloads every resource still loaded, newest first, running its deinit function
 * after its streams are written out and closed. False when output of those streams was lost. */
bool qx_unload_foreign_resources(worker *w);
/* The resource whose code is running (the innermost call into one), or null. */
const qx_open_resource *qx_running_resource(void);

/* The entry function of a linked-in resource, or null. */
QX_pre_linkage_fn qx_is_statically_linked(const char *name);
/* dlopen path and look up the entry of the resource symbol name: the entry, with the handle in
 * *handle, or null with the fault recorded. */
QX_pre_linkage_fn load_foreign_resource(const char *path, const char *name, const char *symbol,
                                        void **handle);
void unload_foreign_resource(const char *name, void *handle);
/* The dynamic loader's last error in the internal encoding (a QX_malloc text): "dlopen error"
 * when it does not convert, null when there is none. */
char *dlerror_ienc(void);
/* The resource name of a file: its base name without extension (a QX_malloc text). */
char *qx_resource_name(const char *file);

#endif
