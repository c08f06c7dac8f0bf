/* The Prolog interface record of a linked-in foreign resource (qx_foreign_interface) is part of
 * the embedding API: orvalis.h. */
#ifndef QX_FOREIGN_INTERFACE_H
#define QX_FOREIGN_INTERFACE_H

#include "orvalis.h"

#endif
