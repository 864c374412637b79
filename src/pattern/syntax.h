// syntax.h: a regular expression as a small tree, as the POSIX reader
// builds it and the RE2 writer and the literal extraction walk it.
// Every set of single characters (a byte, a bracket, the dot, \w) is
// already resolved to the bytes it matches.
#ifndef SPOOLSIFT_SYNTAX_H
#define SPOOLSIFT_SYNTAX_H

#include <bitset>
#include <vector>

namespace syntax {

using byte_set = std::bitset<256>;

// ^ and $ (line_start, line_end) differ from \` and \' (text_start,
// text_end) in the middle of a pattern; see the RE2 writer.
enum class anchor_kind { line_start, line_end, text_start, text_end,
	word_start, word_end, word_edge, not_word_edge };

enum class node_kind {
	set,		// one byte out of `set`
	empty,		// the empty string
	concat,		// the kids in turn
	alt,		// any one of the kids
	repeat,		// kids[0], min to max times
	group,		// kids[0], in parentheses
	anchor,		// a test of the position: `anchor`
	back_ref	// \1 to \9; which one is not kept
};

struct node {
	node_kind kind = node_kind::empty;
	byte_set set;
	std::vector<node> kids;
	int min = 0, max = -1;		// repeat: max -1 is unbounded
	anchor_kind anchor = anchor_kind::text_start;
};

}	// namespace syntax

#endif
