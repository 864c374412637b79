// re2_writer.h: a syntax tree rewritten for RE2, the linear-time engine,
// with the meaning regexec gives it on a message text.
#ifndef SPOOLSIFT_RE2_WRITER_H
#define SPOOLSIFT_RE2_WRITER_H

#include "syntax.h"

#include <string>

// Writes tree into linear in RE2 syntax (Latin-1, no captures). 0 when
// written; -1 when some construct has no certain counterpart there (a
// back-reference, a word anchor away from a single character, ^ or $
// inside the text, an anchor in a repetition), and then linear is empty.
// prefix_match_holds tells whether a match in the first part of a text is
// a match in the whole: true unless the expression asserts something
// about the end of the text or about the byte after a position.
int write_re2(const syntax::node &tree, std::string &linear,
    bool &prefix_match_holds);

#endif
