/* The primitive term writer: one variable, atom, number or functor name to a text stream, and a
 * whole-term writer on the user error stream for debugging the engine. */
#ifndef QX_TERM_WRITER_H
#define QX_TERM_WRITER_H

#include <string>

#include "streams.h"

/* Options: 0, or a compound whose argument 1 is true to quote atoms, argument 8 the quoted
 * charset and argument 9 the float format (letter, precision); a term of any other shape counts
 * as no options. Each answers 0 or the first negative stream code; nothing is written after it. */
int output_term(TAGGED term, TAGGED options, QX_stream *stream);
int print_variable(QX_stream *stream, const TAGGED *address);
int print_atom(QX_stream *stream, TAGGED atom, TAGGED options);
int print_number(QX_stream *stream, TAGGED number, TAGGED options);
/* The text print_atom writes for atom: the name, or when quote is set and the name needs it, the
 * name in quotes with escapes (kept in buffer); portable escapes every non-ASCII character. */
const char *atom_text(TAGGED atom, bool quote, bool portable, std::string &buffer);
/* The term on the user error stream, then a line feed and a flush; deeper than ten levels the
 * rest shows as "...". */
void wr_tagged(TAGGED term);

#endif
