// translate.h: a POSIX regular expression, as regcomp reads it, rewritten
// for a linear-time engine, together with the literal strings every match
// must contain.
#ifndef SPOOLSIFT_TRANSLATE_H
#define SPOOLSIFT_TRANSLATE_H

#include "required_literals.h"

#include <string>
#include <vector>

struct translation {
	// The same language in RE2 syntax (Latin-1, no captures), or empty
	// when some construct has no certain counterpart there.
	std::string linear;
	bool translated = false;
	// Whether a match in the first part of a text is a match in the
	// whole: true unless the pattern asserts something about the end of
	// the text or about the byte after a position.
	bool prefix_match_holds = false;
	// Literals every match contains; any may be absent from this list.
	std::vector<required_literal> literals;
};

// Reads pattern, which regcomp has accepted with cflags (REG_EXTENDED,
// REG_ICASE), into out. 0 on success; -1 when the reading fails, and then
// out holds nothing to rely on.
int translate_pattern(const char *pattern, int cflags, translation &out);

#endif
