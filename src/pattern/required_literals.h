// required_literals.h: the literal strings every match of a pattern
// contains, which the literal scan looks for before any matcher runs.
#ifndef SPOOLSIFT_REQUIRED_LITERALS_H
#define SPOOLSIFT_REQUIRED_LITERALS_H

#include <string>
#include <vector>

// A string every match contains. fold[i] is 0x20 where bytes[i] is a
// lower-case ASCII letter that matches in either case, 0 elsewhere: a
// text byte t matches position i when (t | fold[i]) == bytes[i].
struct required_literal {
	std::string bytes;
	std::string fold;
};

namespace syntax {
struct node;
}

// Literals every match of tree contains, none empty; any may be absent
// from the list.
std::vector<required_literal> required_literals(const syntax::node &tree);

#endif
