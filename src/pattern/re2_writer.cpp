// re2_writer.cpp: the syntax tree written in RE2 syntax, with the meaning
// regexec gives it on a message text. A set becomes one byte or a class
// of byte ranges; an anchor is written only where RE2's holds exactly
// where the C library's does.
#include "re2_writer.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace {

using syntax::anchor_kind;
using syntax::byte_set;
using syntax::node;
using syntax::node_kind;

bool is_word_byte(int c)
{
	return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
	    (c >= 'a' && c <= 'z') || c == '_';
}

byte_set word_bytes()
{
	byte_set s;
	for (int c = 0; c < 256; c++)
		if (is_word_byte(c))
			s.set(c);
	return s;
}

// Whether a node can match nothing but the empty string.
bool zero_width(const node &n)
{
	switch (n.kind) {
	case node_kind::set:
		return false;
	case node_kind::concat:
	case node_kind::alt:
		return std::all_of(n.kids.begin(), n.kids.end(), zero_width);
	case node_kind::repeat:
	case node_kind::group:
		return zero_width(n.kids[0]);
	default:
		return true;
	}
}

// What a match may have consumed before a node, and may consume after
// it. The C library's matcher takes ^ to hold after a newline that the
// match itself consumed, and $ before a newline it goes on to consume, as
// well as at the ends of the text; at the start of a match ^ holds only
// at the start of the text, and at its end $ only at its end. Inside
// repeated groups its rules grow subtler still. So a ^ with nothing
// consumed before it on any path is \A, a $ with nothing consumed after
// it is \z, and a pattern with any other ^ or $ stays with regexec.
//
// Inside a repetition the C library copies or loops the anchors, and
// they no longer hold where they should (it finds "(\\b_+){2,3}" in
// "__"): a pattern with an anchor there stays with regexec too.
struct surroundings {
	bool before_always_empty = true;
	bool after_always_empty = true;
	bool repeated = false;
};

// The writer. Every piece is written so that it stands as one atom.
class writer {
public:
	bool ok = true;
	bool looks_ahead = false;	// \z, \b or \B written

	std::string spell(const node &n, const surroundings &around);

private:
	const byte_set word_ = word_bytes();

	std::string set(const byte_set &s) const;
	std::string concat(const node &n, const surroundings &around);
	std::string anchor(anchor_kind kind, const surroundings &around);
	std::string give_up()
	{
		ok = false;
		return {};
	}
};

std::string writer::set(const byte_set &s) const
{
	auto hex = [](int b) {
		char buf[8];
		snprintf(buf, sizeof buf, "\\x{%02x}", b);
		return std::string(buf);
	};
	// The text never holds a NUL byte: it ends at the first.
	byte_set t = s;
	t.reset(0);
	if (t.none())
		return "[^\\x{00}-\\x{ff}]";
	if (t.count() == 255)
		return "[\\x{00}-\\x{ff}]";
	// One byte is written as a literal; above 0x7f as a class with the
	// NUL byte, which the text never holds: this RE2 mistakes such
	// literals in the common prefixes of alternatives, and so
	// "\xc9x|\xc9" fails to match "\xc9".
	if (t.count() == 1)
		for (int b = 1; b < 256; b++)
			if (t.test(static_cast<size_t>(b)))
				return b < 0x80 ? hex(b)
				    : "[\\x{00}" + hex(b) + "]";
	std::string out = "[";
	for (int b = 1; b < 256;) {
		if (!t.test(static_cast<size_t>(b))) {
			b++;
			continue;
		}
		int e = b;
		while (e + 1 < 256 && t.test(static_cast<size_t>(e + 1)))
			e++;
		out += hex(b);
		if (e > b)
			out += "-" + hex(e);
		b = e + 1;
	}
	return out + "]";
}

std::string writer::anchor(anchor_kind kind, const surroundings &around)
{
	if (around.repeated)
		return give_up();
	switch (kind) {
	case anchor_kind::text_start:
		return "\\A";
	case anchor_kind::text_end:
		looks_ahead = true;
		return "\\z";
	case anchor_kind::line_start:
		if (around.before_always_empty)
			return "\\A";
		return give_up();
	case anchor_kind::line_end:
		looks_ahead = true;
		if (around.after_always_empty)
			return "\\z";
		return give_up();
	case anchor_kind::word_edge:
		looks_ahead = true;
		return "\\b";
	case anchor_kind::not_word_edge:
		looks_ahead = true;
		return "\\B";
	case anchor_kind::word_start:
	case anchor_kind::word_end:
		break;	// written by concat() with its neighbour
	}
	return give_up();
}

std::string writer::concat(const node &n, const surroundings &around)
{
	// \< and \> have no counterpart of their own. Next to a single
	// character they do: \<x is \b followed by x limited to word bytes,
	// and x\> likewise. Anywhere else the pattern stays with regexec.
	const auto &kids = n.kids;
	std::vector<bool> word_only(kids.size(), false);
	for (size_t i = 0; i < kids.size(); i++) {
		if (kids[i].kind != node_kind::anchor)
			continue;
		if (kids[i].anchor == anchor_kind::word_start) {
			if (i + 1 >= kids.size() ||
			    kids[i + 1].kind != node_kind::set)
				return give_up();
			word_only[i + 1] = true;
		} else if (kids[i].anchor == anchor_kind::word_end) {
			if (i == 0 || kids[i - 1].kind != node_kind::set)
				return give_up();
			word_only[i - 1] = true;
		}
	}
	// Whether the kids after each one consume nothing.
	std::vector<bool> after_zero(kids.size() + 1, true);
	for (size_t i = kids.size(); i-- > 0;)
		after_zero[i] = after_zero[i + 1] && zero_width(kids[i]);
	surroundings here = around;
	std::string out = "(?:";
	for (size_t i = 0; i < kids.size(); i++) {
		here.after_always_empty =
		    around.after_always_empty && after_zero[i + 1];
		bool word_anchor = kids[i].kind == node_kind::anchor &&
		    (kids[i].anchor == anchor_kind::word_start ||
		    kids[i].anchor == anchor_kind::word_end);
		if (word_only[i]) {
			out += set(kids[i].set & word_);
		} else if (word_anchor) {
			looks_ahead = true;
			out += around.repeated ? give_up() : "\\b";
		} else {
			out += spell(kids[i], here);
		}
		here.before_always_empty =
		    here.before_always_empty && zero_width(kids[i]);
	}
	return out + ")";
}

std::string writer::spell(const node &n, const surroundings &around)
{
	if (!ok)
		return {};
	switch (n.kind) {
	case node_kind::set:
		return set(n.set);
	case node_kind::empty:
		return "(?:)";
	case node_kind::concat:
		return concat(n, around);
	case node_kind::alt: {
		std::string out = "(?:";
		for (size_t i = 0; i < n.kids.size(); i++) {
			if (i > 0)
				out += "|";
			out += spell(n.kids[i], around);
		}
		return out + ")";
	}
	case node_kind::repeat: {
		// Another round may follow or precede this one.
		surroundings inside = around;
		if (n.max != 1) {
			inside.before_always_empty = false;
			inside.after_always_empty = false;
			inside.repeated = true;
		}
		std::string out = "(?:" + spell(n.kids[0], inside) + ")";
		if (n.min == 0 && n.max == -1)
			return out + "*";
		if (n.min == 1 && n.max == -1)
			return out + "+";
		if (n.min == 0 && n.max == 1)
			return out + "?";
		out += "{" + std::to_string(n.min);
		if (n.max == -1)
			out += ",";
		else if (n.max != n.min)
			out += "," + std::to_string(n.max);
		return out + "}";
	}
	case node_kind::group:
		return "(?:" + spell(n.kids[0], around) + ")";
	case node_kind::anchor:
		return anchor(n.anchor, around);
	case node_kind::back_ref:
		return give_up();
	}
	return give_up();
}

}	// namespace

int write_re2(const syntax::node &tree, std::string &linear,
    bool &prefix_match_holds)
{
	linear.clear();
	prefix_match_holds = false;
	writer w;
	std::string text = w.spell(tree, surroundings{});
	if (!w.ok)
		return -1;
	linear = std::move(text);
	prefix_match_holds = !w.looks_ahead;
	return 0;
}
