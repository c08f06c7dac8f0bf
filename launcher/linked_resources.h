/* The launcher's linked-in resources, made by mkstate at build time: the saved states as data
 * resources and the library resources' entry functions. */
#ifndef QX_LINKED_RESOURCES_H
#define QX_LINKED_RESOURCES_H

/* Escaped resource names, ending with a null word, and at the same index the entry function of a
 * foreign resource or null for a data resource (whose blob address precedes its name). */
extern const char *qx_pre_map[7];
extern int (*qx_pre_linkage[7])(void *params);

#endif
