/* Child processes in Prolog: the process type of external objects and the decoding of a
 * Process argument that the process built-ins share. */
#ifndef QX_BI_PROCESS_H
#define QX_BI_PROCESS_H

#include "datadefs.h"
#include "orvalis.h"
#include "qxio.h"

/* Registers the process type of external objects; run at every engine start. 1 or 0. */
int init_each_time_file(void);
/* The process type (registered on first use when start-up has not done so). */
QX_external_object_type qx_process_object_type(void);
/* 0 and the link when term is a process object; QXIO_E_NOT_FOUND when it is no external object
 * (or one no longer registered), QXIO_E_PARAMETER_ERROR when it is one of another type. */
int qx_get_process_external_object(TAGGED term, QX_external_object_link *link);
/* An integer term is a process id and gives a temporary handle (link null, released by the
 * caller with options 3); otherwise the handle of the process object. 0 or an error code. */
int qx_get_process(TAGGED term, qxio_t_process *process, QX_external_object_link *link);

#endif
