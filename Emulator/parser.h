/* The term reader: one clause or term ending in "." read from a text stream with the standard
 * operator table, over the tokenizer. */
#ifndef QX_PARSER_H
#define QX_PARSER_H

#include <cstdint>

#include "streams.h"
#include "termdefs.h"

struct worker;

/* Reads one term ending in "." from stream. *ch is the lookahead character: read it with
 * qx_get_code_helper before the first call (or start from a layout character), and pass it on
 * between calls. Answers 1 with the term in *term and the list of Name=Var pairs of its named
 * variables (in order of first appearance) in *vars; -1 at end of file before any token; 0 on a
 * syntax error or when an error was raised (the tokenizer raises the errors of the stream).
 * When line is given, it gets the line of the term's first token, or after a syntax error the
 * line of the token where reading stopped (0 when the stream counts no lines). */
int qx_read_term(worker *w, QX_stream *stream, int32_t *ch, TAGGED *term, TAGGED *vars,
                 int *line = nullptr);

#endif
