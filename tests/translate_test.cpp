// The translator's contracts, pattern by pattern: the RE2 text a pattern
// becomes, or that it stays with regexec, or that the reader refuses it;
// whether a match in a text's first part holds for the whole; and the
// literals every match holds. The differential test checks the verdicts
// end to end, against regexec on random texts.
#include "pattern/translate.h"

#include <gtest/gtest.h>
#include <regex.h>

#include <string>
#include <vector>

namespace {

constexpr int basic = 0, ere = REG_EXTENDED, icase = REG_ICASE;

std::string where(int cflags, const std::string &pattern)
{
	return std::string(cflags & ere ? "extended" : "basic") +
	    (cflags & icase ? ", folded" : "") + ": " +
	    testing::PrintToString(pattern);
}

// The translator only ever sees what regcomp accepts.
translation translate(int cflags, const std::string &pattern, int &rc)
{
	regex_t re;
	if (regcomp(&re, pattern.c_str(), cflags | REG_NOSUB) == 0)
		regfree(&re);
	else
		ADD_FAILURE() << "regcomp refuses " << where(cflags, pattern);
	translation t;
	rc = translate_pattern(pattern.c_str(), cflags, t);
	return t;
}

// "a" in depth groups.
std::string nested(int depth, const char *open, const char *close)
{
	std::string s;
	for (int i = 0; i < depth; i++)
		s += open;
	s += "a";
	for (int i = 0; i < depth; i++)
		s += close;
	return s;
}

// "bytes|mask", the mask F where the byte folds: "subject|FFFFFFF".
std::vector<std::string> spelled(const std::vector<required_literal> &lits)
{
	std::vector<std::string> out;
	for (const required_literal &lit : lits) {
		std::string mask;
		for (char f : lit.fold)
			mask += f == 0x20 ? 'F' : f == 0 ? '.' : '?';
		out.push_back(lit.bytes + "|" + mask);
	}
	return out;
}

}	// namespace

TEST(Translate, WritesTheSameLanguageForRE2)
{
	const struct {
		int cflags;
		std::string pattern;
		const char *linear;
		bool prefix_match_holds;
	} cases[] = {
	    // The dialect decides what a byte means.
	    {basic, "a+", R"((?:\x{61}\x{2b}))", true},
	    {ere, "a+", R"((?:(?:\x{61})+))", true},
	    {basic, "*a", R"((?:\x{2a}\x{61}))", true},
	    {basic, R"(a\{2,3\})", R"((?:(?:\x{61}){2,3}))", true},
	    {ere, "(ab){0}c", R"((?:(?:)\x{63}))", true},
	    {basic, "", R"((?:(?:)))", true},
	    // Sets hold what regexec matches: the dot takes a newline, and a
	    // byte above 0x7f shares a class with NUL, as RE2 mistakes such
	    // a literal in the common start of alternatives.
	    {basic, ".", R"((?:[\x{00}-\x{ff}]))", true},
	    {icase, "[a-c]", R"((?:[\x{41}-\x{43}\x{61}-\x{63}]))", true},
	    {basic, "\xe9", R"((?:[\x{00}\x{e9}]))", true},
	    // ^ and $ anchor at the ends of the text; inside a basic
	    // expression they are plain bytes.
	    {basic, "^ab$", R"((?:\A\x{61}\x{62}\z))", false},
	    {basic, R"(\`ab\')", R"((?:\A\x{61}\x{62}\z))", false},
	    {basic, "a^b$c", R"((?:\x{61}\x{5e}\x{62}\x{24}\x{63}))", true},
	    {ere, "(a|b$)", R"((?:(?:(?:(?:\x{61})|(?:\x{62}\z)))))", false},
	    // \b and \B look at the next byte; \< and \> are \b beside a
	    // single character, which they limit to word bytes.
	    {basic, R"(x\Bz)", R"((?:\x{78}\B\x{7a}))", false},
	    {basic, R"(ab\>)", R"((?:\x{61}\x{62}\b))", false},
	    {basic, R"(\<.)",
		R"((?:\b[\x{30}-\x{39}\x{41}-\x{5a}\x{5f}\x{61}-\x{7a}]))",
		false},
	};
	for (const auto &c : cases) {
		int rc;
		translation t = translate(c.cflags, c.pattern, rc);
		EXPECT_EQ(rc, 0) << where(c.cflags, c.pattern);
		EXPECT_TRUE(t.translated) << where(c.cflags, c.pattern);
		EXPECT_EQ(t.linear, c.linear) << where(c.cflags, c.pattern);
		EXPECT_EQ(t.prefix_match_holds, c.prefix_match_holds)
		    << where(c.cflags, c.pattern);
	}
}

TEST(Translate, StaysWithRegexecWhereRE2WouldMeanSomethingElse)
{
	const struct {
		int cflags;
		const char *pattern;
	} cases[] = {
	    {basic, R"(\(ab\)\1)"},		// a back-reference
	    {ere, "a^b"},			// ^ after a consumed byte
	    {ere, "(a$|b)c"},			// $ before one
	    {basic, R"(\<\(ab\))"},		// \< beside a group
	    {ere, R"((\b_+){2,3})"},		// regexec finds it in "__"
	    {ere, "(^a)*"},			// an anchor in a repetition
	};
	for (const auto &c : cases) {
		int rc;
		translation t = translate(c.cflags, c.pattern, rc);
		EXPECT_EQ(rc, 0) << where(c.cflags, c.pattern);
		EXPECT_FALSE(t.translated) << where(c.cflags, c.pattern);
		EXPECT_EQ(t.linear, "") << where(c.cflags, c.pattern);
		EXPECT_FALSE(t.prefix_match_holds) << where(c.cflags, c.pattern);
	}
}

// Counts RE2 refuses and nesting that would risk the stack: the reading
// stops there, and regexec alone runs the pattern.
TEST(Translate, ReadingStopsPastTheLimits)
{
	const struct {
		int cflags;
		std::string pattern;
		int rc;
	} cases[] = {
	    {basic, R"(a\{1000\})", 0},
	    {basic, R"(a\{1001\})", -1},
	    {ere, "ab{2,1001}", -1},
	    {ere, nested(499, "(", ")"), 0},
	    {ere, nested(500, "(", ")"), -1},
	    {basic, nested(500, R"(\()", R"(\))"), -1},
	};
	for (const auto &c : cases) {
		int rc;
		translation t = translate(c.cflags, c.pattern, rc);
		std::string what = where(c.cflags, c.pattern.substr(0, 20));
		EXPECT_EQ(rc, c.rc) << what;
		EXPECT_EQ(t.translated, c.rc == 0) << what;
		EXPECT_EQ(t.literals.empty(), c.rc != 0) << what;
	}
	translation t;
	EXPECT_EQ(translate_pattern(nullptr, 0, t), -1);
}

TEST(Translate, LiteralsEveryMatchHolds)
{
	const struct {
		int cflags;
		const char *pattern;
		std::vector<std::string> literals;
	} cases[] = {
	    {basic, "Subject: .*jackpot",
		{"Subject: |.........", "jackpot|......."}},
	    // A letter in either case folds; other bytes never do.
	    {icase, "Subject: .*JACKPOT",
		{"subject: |FFFFFFF..", "jackpot|FFFFFFF"}},
	    {basic, "[Aa]bc", {"abc|F.."}},
	    {icase, "Ab9\xc9", {"ab9\xc9|FF.."}},
	    // Anchors consume nothing: their neighbours stay one literal.
	    {basic, R"(x\Bz)", {"xz|.."}},
	    // Alternatives and optional parts break the literal there.
	    {ere, "x(ab|cd)y", {"x|.", "y|."}},
	    {ere, "ab?c", {"a|.", "c|."}},
	    {ere, "(ab){0}c", {"c|."}},
	    {ere, "(abc)*", {}},
	    {ere, "(abc)+", {"abc|..."}},
	    {basic, ".", {}},
	    {basic, "", {}},
	    // Patterns that stay with regexec get their literals too.
	    {basic, R"(\(ab\)\1)", {"ab|.."}},
	};
	for (const auto &c : cases) {
		int rc;
		translation t = translate(c.cflags, c.pattern, rc);
		EXPECT_EQ(rc, 0) << where(c.cflags, c.pattern);
		EXPECT_EQ(spelled(t.literals), c.literals)
		    << where(c.cflags, c.pattern);
	}
}
