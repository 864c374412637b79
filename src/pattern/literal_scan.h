// literal_scan.h: looking for a literal in a message text before the
// text's first NUL byte, at memory speed.
#ifndef SPOOLSIFT_LITERAL_SCAN_H
#define SPOOLSIFT_LITERAL_SCAN_H

#include "required_literals.h"

#include <cstddef>

// A literal ready to be looked for: the two bytes of it least likely in
// mail are compared first, many text positions at a time.
struct literal_finder {
	required_literal literal;
	size_t first = 0, second = 0;	// positions in literal.bytes
	double rarity = 0;		// lower: less likely in mail
};

literal_finder make_finder(const required_literal &literal);

// 1 when the literal occurs in the text before its first NUL byte, 0 when
// it does not. The text is length bytes followed by a NUL byte.
int find_literal(const literal_finder &finder, const char *text,
    size_t length);

#endif
