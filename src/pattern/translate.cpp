// translate.cpp: a reader for POSIX regular expressions that follows the
// C library's regcomp token by token, and the writer of the same
// expression in RE2 syntax.
//
// The reader only ever sees patterns regcomp has accepted. Where it meets
// something it cannot mirror exactly (back-references, word anchors
// outside a simple neighbourhood, repetition counts above the engine's
// limit, very deep nesting), it says so, and the caller keeps regexec for
// the pattern. The sets of single characters (brackets, the dot, \w and
// the like) are not derived by hand: each is compiled on its own by
// regcomp and tried on every byte, so ranges, classes and case folding
// mean exactly what they mean to the C library.
#include "translate.h"

#include <regex.h>

#include <algorithm>
#include <bitset>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <utility>

namespace {

using byte_set = std::bitset<256>;

// The engine refuses larger counts; deeper nesting risks the stack.
constexpr int max_count = 1000;
constexpr int max_depth = 500;

enum class token_kind {
	character, end, alt, open_group, close_group, open_bracket, dot,
	star, plus, question, open_interval, close_interval, back_ref,
	anchor, class_escape, stray_backslash
};

// ^ and $ (line_start, line_end) differ from \` and \' (text_start,
// text_end) in the middle of a pattern; see surroundings below.
enum class anchor_kind { line_start, line_end, text_start, text_end,
	word_start, word_end, word_edge, not_word_edge };

struct token {
	token_kind kind = token_kind::end;
	unsigned char value = 0;	// the byte a character token stands for
	int length = 0;
	anchor_kind anchor = anchor_kind::text_start;
};

enum class node_kind { set, empty, concat, alt, repeat, group, anchor,
	back_ref };

struct node {
	node_kind kind = node_kind::empty;
	byte_set set;
	std::vector<node> kids;
	int min = 0, max = -1;		// repeat: max -1 is unbounded
	anchor_kind anchor = anchor_kind::text_start;
};

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

class reader {
public:
	reader(const char *pattern, int cflags)
	    : p_(pattern), n_(strlen(pattern)), cflags_(cflags),
	      ere_((cflags & REG_EXTENDED) != 0),
	      icase_((cflags & REG_ICASE) != 0)
	{
	}

	std::optional<node> read()
	{
		fetch(false);
		node root = reg_exp(0);
		if (failed_ || tok_.kind != token_kind::end)
			return std::nullopt;
		return root;
	}

private:
	const char *p_;
	size_t n_;
	int cflags_;
	bool ere_, icase_;
	size_t pos_ = 0;
	token tok_;
	bool failed_ = false;
	int depth_ = 0;
	std::map<std::string, byte_set> probed_;

	unsigned char at(size_t i) const
	{
		return static_cast<unsigned char>(p_[i]);
	}

	// The byte regcomp reads at i: upper case under REG_ICASE.
	unsigned char folded(size_t i) const
	{
		unsigned char c = at(i);
		return icase_ && c >= 'a' && c <= 'z'
		    ? static_cast<unsigned char>(c - 'a' + 'A') : c;
	}

	token peek(size_t i, bool caret_here) const;
	void fetch(bool caret_here)
	{
		pos_ += static_cast<size_t>(tok_.length);
		tok_ = peek(pos_, caret_here);
	}

	node reg_exp(int nest);
	node branch(int nest);
	node expression(int nest);
	node group(int nest);
	node bracket();
	node character(unsigned char value) const;
	node probe(const std::string &atom);
	bool interval(int &min, int &max);
	node fail()
	{
		failed_ = true;
		return node{};
	}
};

token reader::peek(size_t i, bool caret_here) const
{
	token t;
	if (i >= n_)
		return t;	// end
	t.length = 1;
	t.kind = token_kind::character;
	unsigned char c = folded(i);
	t.value = c;
	if (c == '\\') {
		if (i + 1 >= n_) {
			t.kind = token_kind::stray_backslash;
			return t;
		}
		// The escaped byte keeps its case, even under REG_ICASE.
		unsigned char c2 = at(i + 1);
		t.length = 2;
		t.value = c2;
		switch (c2) {
		case '|':
			if (!ere_)
				t.kind = token_kind::alt;
			break;
		case '1': case '2': case '3': case '4': case '5':
		case '6': case '7': case '8': case '9':
			t.kind = token_kind::back_ref;
			break;
		case '<':
			t.kind = token_kind::anchor;
			t.anchor = anchor_kind::word_start;
			break;
		case '>':
			t.kind = token_kind::anchor;
			t.anchor = anchor_kind::word_end;
			break;
		case 'b':
			t.kind = token_kind::anchor;
			t.anchor = anchor_kind::word_edge;
			break;
		case 'B':
			t.kind = token_kind::anchor;
			t.anchor = anchor_kind::not_word_edge;
			break;
		case '`':
			t.kind = token_kind::anchor;
			t.anchor = anchor_kind::text_start;
			break;
		case '\'':
			t.kind = token_kind::anchor;
			t.anchor = anchor_kind::text_end;
			break;
		case 'w': case 'W': case 's': case 'S':
			t.kind = token_kind::class_escape;
			break;
		case '(':
			if (!ere_)
				t.kind = token_kind::open_group;
			break;
		case ')':
			if (!ere_)
				t.kind = token_kind::close_group;
			break;
		case '+':
			if (!ere_)
				t.kind = token_kind::plus;
			break;
		case '?':
			if (!ere_)
				t.kind = token_kind::question;
			break;
		case '{':
			if (!ere_)
				t.kind = token_kind::open_interval;
			break;
		case '}':
			if (!ere_)
				t.kind = token_kind::close_interval;
			break;
		default:
			break;
		}
		return t;
	}
	switch (c) {
	case '\n':
		break;
	case '*':
		t.kind = token_kind::star;
		break;
	case '+':
		if (ere_)
			t.kind = token_kind::plus;
		break;
	case '?':
		if (ere_)
			t.kind = token_kind::question;
		break;
	case '{':
		if (ere_)
			t.kind = token_kind::open_interval;
		break;
	case '}':
		if (ere_)
			t.kind = token_kind::close_interval;
		break;
	case '(':
		if (ere_)
			t.kind = token_kind::open_group;
		break;
	case ')':
		if (ere_)
			t.kind = token_kind::close_group;
		break;
	case '[':
		t.kind = token_kind::open_bracket;
		break;
	case '.':
		t.kind = token_kind::dot;
		break;
	case '|':
		if (ere_)
			t.kind = token_kind::alt;
		break;
	case '^':
		// In a basic expression, ^ anchors only at the very start,
		// after \( and after \|.
		if (ere_ || i == 0 || caret_here) {
			t.kind = token_kind::anchor;
			t.anchor = anchor_kind::line_start;
		}
		break;
	case '$':
		// In a basic expression, $ anchors only at the very end and
		// before \) or \|.
		if (!ere_ && i + 1 != n_) {
			token next = peek(i + 1, false);
			if (next.kind != token_kind::alt &&
			    next.kind != token_kind::close_group)
				break;
		}
		t.kind = token_kind::anchor;
		t.anchor = anchor_kind::line_end;
		break;
	default:
		break;
	}
	return t;
}

node reader::reg_exp(int nest)
{
	node tree = branch(nest);
	if (tok_.kind != token_kind::alt)
		return tree;
	node alt;
	alt.kind = node_kind::alt;
	alt.kids.push_back(std::move(tree));
	while (!failed_ && tok_.kind == token_kind::alt) {
		fetch(true);
		if (tok_.kind != token_kind::alt &&
		    tok_.kind != token_kind::end &&
		    (nest == 0 || tok_.kind != token_kind::close_group))
			alt.kids.push_back(branch(nest));
		else
			alt.kids.push_back(node{});	// an empty branch
	}
	return alt;
}

node reader::branch(int nest)
{
	node seq;
	seq.kind = node_kind::concat;
	seq.kids.push_back(expression(nest));
	while (!failed_ && tok_.kind != token_kind::alt &&
	    tok_.kind != token_kind::end &&
	    (nest == 0 || tok_.kind != token_kind::close_group))
		seq.kids.push_back(expression(nest));
	return seq;
}

node reader::character(unsigned char value) const
{
	node s;
	s.kind = node_kind::set;
	if (!icase_) {
		s.set.set(value);
		return s;
	}
	// Under REG_ICASE the text is read in upper case and compared with
	// the pattern's byte as regcomp stored it.
	for (int t = 1; t < 256; t++) {
		int up = t >= 'a' && t <= 'z' ? t - 'a' + 'A' : t;
		if (up == value)
			s.set.set(static_cast<size_t>(t));
	}
	return s;
}

node reader::expression(int nest)
{
	if (++depth_ > max_depth)
		return fail();
	node tree;
	switch (tok_.kind) {
	case token_kind::character:
		tree = character(tok_.value);
		break;
	case token_kind::open_group:
		tree = group(nest + 1);
		break;
	case token_kind::open_bracket:
		tree = bracket();
		break;
	case token_kind::back_ref:
		tree.kind = node_kind::back_ref;
		break;
	case token_kind::open_interval:
	case token_kind::star:
	case token_kind::plus:
	case token_kind::question:
		// A repetition with nothing before it: regcomp refuses it in
		// an extended expression and takes it literally in a basic one.
		if (ere_ || tok_.kind == token_kind::open_interval)
			return fail();
		tree = character(tok_.length == 2 ? at(pos_ + 1) : at(pos_));
		break;
	case token_kind::close_group:
		if (!ere_)
			return fail();
		tree = character(')');
		break;
	case token_kind::close_interval:
		tree = character(tok_.value);
		break;
	case token_kind::anchor:
		// No repetition applies to an anchor: what follows is read
		// afresh, so "^*" is an anchor and a star.
		tree.kind = node_kind::anchor;
		tree.anchor = tok_.anchor;
		fetch(false);
		--depth_;
		return tree;
	case token_kind::dot:
		tree = probe(".");
		break;
	case token_kind::class_escape:
		tree = probe(std::string("\\") + static_cast<char>(tok_.value));
		break;
	case token_kind::alt:
	case token_kind::end:
		--depth_;
		return tree;	// empty
	case token_kind::stray_backslash:
		return fail();
	}
	if (failed_)
		return tree;
	fetch(false);
	int stacked = 0;
	while (!failed_ && (tok_.kind == token_kind::star ||
	    tok_.kind == token_kind::plus ||
	    tok_.kind == token_kind::question ||
	    tok_.kind == token_kind::open_interval)) {
		int min = tok_.kind == token_kind::plus ? 1 : 0;
		int max = tok_.kind == token_kind::question ? 1 : -1;
		if (++stacked > max_depth ||
		    (tok_.kind == token_kind::open_interval &&
		    !interval(min, max)))
			return fail();
		fetch(false);
		if (min == 0 && max == 0) {
			tree = node{};	// x{0} matches the empty string
			continue;
		}
		node rep;
		rep.kind = node_kind::repeat;
		rep.min = min;
		rep.max = max;
		rep.kids.push_back(std::move(tree));
		tree = std::move(rep);
	}
	--depth_;
	return tree;
}

// Reads the counts of {m}, {m,}, {,n} and {m,n}; the current token is the
// opening brace, and on success the closing brace.
bool reader::interval(int &min, int &max)
{
	auto number = [&](int &value) {
		value = -1;
		for (;;) {
			fetch(false);
			if (tok_.kind == token_kind::end)
				return false;
			if (tok_.kind == token_kind::close_interval ||
			    (tok_.kind == token_kind::character &&
			    tok_.value == ','))
				return true;
			if (tok_.kind != token_kind::character ||
			    tok_.value < '0' || tok_.value > '9')
				return false;
			int digit = tok_.value - '0';
			value = value == -1 ? digit
			    : std::min(value * 10 + digit, 100000);
		}
	};
	int first;
	if (!number(first))
		return false;
	if (tok_.kind == token_kind::close_interval) {
		if (first == -1)
			return false;
		min = max = first;
	} else {	// a comma
		int second;
		if (!number(second) ||
		    tok_.kind != token_kind::close_interval)
			return false;
		min = first == -1 ? 0 : first;
		max = second;	// -1: no upper bound
	}
	if (max != -1 && min > max)
		return false;
	return min <= max_count && max <= max_count;
}

node reader::group(int nest)
{
	fetch(true);
	node g;
	g.kind = node_kind::group;
	if (tok_.kind == token_kind::close_group) {
		g.kids.push_back(node{});
	} else {
		g.kids.push_back(reg_exp(nest));
		if (failed_ || tok_.kind != token_kind::close_group)
			return fail();
	}
	return g;
}

// The bracket expression starting at the current token, which ends at the
// first ']' that is not its first member and not inside [: :], [. .] or
// [= =].
node reader::bracket()
{
	size_t j = pos_ + 1;
	if (j < n_ && at(j) == '^')
		j++;
	bool first = true;
	for (;;) {
		if (j >= n_)
			return fail();
		unsigned char c = at(j);
		if (c == '[' && j + 1 < n_ &&
		    (at(j + 1) == '.' || at(j + 1) == '=' || at(j + 1) == ':')) {
			unsigned char delim = at(j + 1);
			size_t k = j + 2;
			while (k + 1 < n_ && !(at(k) == delim && at(k + 1) == ']'))
				k++;
			if (k + 1 >= n_)
				return fail();
			j = k + 2;
		} else if (c == ']' && !first) {
			j++;
			break;
		} else {
			j++;
		}
		first = false;
	}
	std::string atom(p_ + pos_, j - pos_);
	// The bracket is one token for the rest of the reading.
	tok_.length = static_cast<int>(j - pos_);
	return probe(atom);
}

// The set of bytes a one-character expression matches, as regexec sees it.
node reader::probe(const std::string &atom)
{
	auto known = probed_.find(atom);
	if (known == probed_.end()) {
		regex_t re;
		if (regcomp(&re, atom.c_str(), cflags_ | REG_NOSUB) != 0)
			return fail();
		byte_set s;
		char text[2] = {0, 0};
		for (int b = 1; b < 256; b++) {
			text[0] = static_cast<char>(b);
			if (regexec(&re, text, 0, nullptr, 0) == 0)
				s.set(static_cast<size_t>(b));
		}
		regfree(&re);
		known = probed_.emplace(atom, s).first;
	}
	node n;
	n.kind = node_kind::set;
	n.set = known->second;
	return n;
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

	std::string write(const node &n, const surroundings &around);

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
			out += write(kids[i], here);
		}
		here.before_always_empty =
		    here.before_always_empty && zero_width(kids[i]);
	}
	return out + ")";
}

std::string writer::write(const node &n, const surroundings &around)
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
			out += write(n.kids[i], around);
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
		std::string out = "(?:" + write(n.kids[0], inside) + ")";
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
		return "(?:" + write(n.kids[0], around) + ")";
	case node_kind::anchor:
		return anchor(n.anchor, around);
	case node_kind::back_ref:
		return give_up();
	}
	return give_up();
}

// Literals: what each node contributes to the strings every match holds.
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

int translate_pattern(const char *pattern, int cflags, translation &out)
{
	out = translation{};
	if (pattern == nullptr)
		return -1;
	reader r(pattern, cflags);
	std::optional<node> root = r.read();
	if (!root)
		return -1;
	literal_facts f = facts(*root);
	out.literals = std::move(f.required);
	if (f.exact)
		keep(out.literals, f.seq);
	writer w;
	std::string linear = w.write(*root, surroundings{});
	if (w.ok) {
		out.linear = std::move(linear);
		out.translated = true;
		out.prefix_match_holds = !w.looks_ahead;
	}
	return 0;
}
