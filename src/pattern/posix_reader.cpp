// posix_reader.cpp: a reader for POSIX regular expressions that follows
// the C library's regcomp token by token and builds the syntax tree.
//
// The reader only ever sees patterns regcomp has accepted. Where it meets
// something it cannot mirror exactly (repetition counts above the linear
// engine's limit, very deep nesting), it says so, and the caller keeps
// regexec for the pattern. The sets of single characters (brackets, the
// dot, \w and the like) are not derived by hand: each is compiled on its
// own by regcomp and tried on every byte, so ranges, classes and case
// folding mean exactly what they mean to the C library.
#include "posix_reader.h"

#include <regex.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <utility>

namespace {

using syntax::anchor_kind;
using syntax::byte_set;
using syntax::node;
using syntax::node_kind;

// RE2 refuses larger counts; deeper nesting risks the stack.
constexpr int max_count = 1000;
constexpr int max_depth = 500;

enum class token_kind {
	character, end, alt, open_group, close_group, open_bracket, dot,
	star, plus, question, open_interval, close_interval, back_ref,
	anchor, class_escape, stray_backslash
};

struct token {
	token_kind kind = token_kind::end;
	unsigned char value = 0;	// the byte a character token stands for
	int length = 0;
	anchor_kind anchor = anchor_kind::text_start;
};

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

}	// namespace

int read_posix(const char *pattern, int cflags, syntax::node &tree)
{
	tree = node{};
	if (pattern == nullptr)
		return -1;
	std::optional<node> root = reader(pattern, cflags).read();
	if (!root)
		return -1;
	tree = std::move(*root);
	return 0;
}
