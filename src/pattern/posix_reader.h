// posix_reader.h: reading a POSIX regular expression the way the C
// library's regcomp reads it (C locale, basic or extended syntax, its GNU
// extensions) into a syntax tree.
#ifndef SPOOLSIFT_POSIX_READER_H
#define SPOOLSIFT_POSIX_READER_H

#include "syntax.h"

// Reads pattern, which regcomp has accepted with cflags (REG_EXTENDED,
// REG_ICASE), into tree. 0 on success; -1 when the reading fails (a
// repetition count above 1000, nesting or stacked repetitions deeper than
// 500, anything regcomp should have refused), and then tree holds nothing
// to rely on.
int read_posix(const char *pattern, int cflags, syntax::node &tree);

#endif
