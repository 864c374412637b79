// required_literals.cpp: the strings every match of a syntax tree holds,
// read off its concatenations of single bytes (or single letters in
// either case). Alternatives and optional parts contribute nothing.
#include "required_literals.h"

#include "syntax.h"

#include <utility>

namespace {

using syntax::byte_set;
using syntax::node;
using syntax::node_kind;

// What each node contributes to the strings every match holds.
struct literal_facts {
	bool exact = false;		// the node matches exactly `seq`
	required_literal seq;
	std::vector<required_literal> required;
};

// A set that stands for one byte, or one ASCII letter in either case.
bool literal_byte(const byte_set &s, char &byte, char &fold)
{
	if (s.count() == 1) {
		for (int b = 1; b < 256; b++)
			if (s.test(static_cast<size_t>(b))) {
				byte = static_cast<char>(b);
				fold = 0;
				return true;
			}
	}
	if (s.count() == 2) {
		for (int b = 'a'; b <= 'z'; b++)
			if (s.test(static_cast<size_t>(b)) &&
			    s.test(static_cast<size_t>(b - 'a' + 'A'))) {
				byte = static_cast<char>(b);
				fold = 0x20;
				return true;
			}
	}
	return false;
}

void keep(std::vector<required_literal> &out, const required_literal &lit)
{
	if (!lit.bytes.empty())
		out.push_back(lit);
}

literal_facts facts(const node &n)
{
	literal_facts f;
	switch (n.kind) {
	case node_kind::set: {
		char byte, fold;
		if (literal_byte(n.set, byte, fold)) {
			f.exact = true;
			f.seq.bytes = byte;
			f.seq.fold = fold;
		}
		break;
	}
	case node_kind::empty:
	case node_kind::anchor:
		// Nothing is consumed: the neighbours stay adjacent.
		f.exact = true;
		break;
	case node_kind::concat: {
		f.exact = true;
		required_literal run;
		for (const node &kid : n.kids) {
			literal_facts k = facts(kid);
			f.required.insert(f.required.end(), k.required.begin(),
			    k.required.end());
			if (k.exact) {
				run.bytes += k.seq.bytes;
				run.fold += k.seq.fold;
				if (f.exact) {
					f.seq.bytes += k.seq.bytes;
					f.seq.fold += k.seq.fold;
				}
			} else {
				f.exact = false;
				keep(f.required, run);
				run = {};
			}
		}
		if (!f.exact)
			keep(f.required, run);
		break;
	}
	case node_kind::group:
		f = facts(n.kids[0]);
		break;
	case node_kind::repeat:
		if (n.min >= 1) {
			literal_facts k = facts(n.kids[0]);
			f.required = k.required;
			if (k.exact)
				keep(f.required, k.seq);
		}
		break;
	case node_kind::alt:
	case node_kind::back_ref:
		break;
	}
	return f;
}

}	// namespace

std::vector<required_literal> required_literals(const syntax::node &tree)
{
	literal_facts f = facts(tree);
	std::vector<required_literal> out = std::move(f.required);
	if (f.exact)
		keep(out, f.seq);
	return out;
}
