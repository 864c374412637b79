// The content test against the C library: random patterns in both
// syntaxes, with and without case folding, on random texts, must get
// the verdict a direct regcomp/regexec gives on the same NUL-terminated
// text. Every disagreement ever found is kept in
// tests/data/regex_regressions.txt and checked first. The patterns that
// hold literals run again, on longer texts, with the literal scan made to
// run each of its loops in turn.
#include "pattern/literal_scan_impls.h"
#include "pattern/matcher.h"

#include <gtest/gtest.h>
#include <regex.h>

#include <cstdint>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The C library's own verdict: 1 match, 0 none, -1 does not compile.
int reference(const std::string &pattern, int cflags, const std::string &text)
{
	regex_t re;
	if (regcomp(&re, pattern.c_str(), cflags | REG_NOSUB) != 0)
		return -1;
	int rc = regexec(&re, text.c_str(), 0, nullptr, 0) == 0 ? 1 : 0;
	regfree(&re);
	return rc;
}

std::string escaped(const std::string &s)
{
	std::string out;
	for (unsigned char c : s) {
		if (c == '\\') {
			out += "\\\\";
		} else if (c >= 0x20 && c < 0x7f) {
			out += static_cast<char>(c);
		} else {
			char buf[8];
			snprintf(buf, sizeof buf, "\\x%02x", c);
			out += buf;
		}
	}
	return out;
}

std::string unescaped(const std::string &s)
{
	std::string out;
	for (size_t i = 0; i < s.size(); i++) {
		if (s[i] != '\\' || i + 1 >= s.size()) {
			out += s[i];
		} else if (s[i + 1] == '\\') {
			out += '\\';
			i++;
		} else if (s[i + 1] == 'x' && i + 3 < s.size()) {
			out += static_cast<char>(
			    std::stoi(s.substr(i + 2, 2), nullptr, 16));
			i += 3;
		} else {
			out += s[i];
		}
	}
	return out;
}

std::string flag_names(int cflags)
{
	std::string f;
	if (cflags & REG_EXTENDED)
		f += "E";
	if (cflags & REG_ICASE)
		f += "I";
	return f.empty() ? "-" : f;
}

// regcomp's own result for the pattern: 0 or its error code.
int reference_compile(const std::string &pattern, int cflags)
{
	regex_t re;
	int rc = regcomp(&re, pattern.c_str(), cflags | REG_NOSUB);
	if (rc == 0)
		regfree(&re);
	return rc;
}

// One comparison; an empty string when both agree, else a line fit for
// the regression file.
std::string disagreement(content_pattern &cp, bool compiled,
    const std::string &pattern, int cflags, const std::string &text)
{
	int want = reference(pattern, cflags, text);
	int got = compiled ? cp.matches(text.data(), text.size()) : -1;
	if (want == got)
		return {};
	return flag_names(cflags) + "\t" + escaped(pattern) + "\t" +
	    escaped(text) + "\t# want " + std::to_string(want) + " got " +
	    std::to_string(got) + (cp.linear() ? " (linear)" : " (regexec)");
}

class pattern_maker {
public:
	pattern_maker(std::mt19937_64 &rng, bool ere) : rng_(rng), ere_(ere) {}

	std::string make()
	{
		depth_ = 0;
		return alternation();
	}

private:
	std::mt19937_64 &rng_;
	bool ere_;
	int depth_ = 0;

	int pick(int n) { return static_cast<int>(rng_() % static_cast<uint64_t>(n)); }
	bool chance(int percent) { return pick(100) < percent; }

	std::string special(const char *bre, const char *ere)
	{
		return ere_ ? ere : bre;
	}

	std::string alternation()
	{
		std::string out = branch();
		while (chance(depth_ == 0 ? 20 : 30))
			out += special("\\|", "|") + branch();
		return out;
	}

	std::string branch()
	{
		std::string out;
		int pieces = pick(5);
		for (int i = 0; i < pieces; i++)
			out += piece();
		return out;
	}

	std::string piece()
	{
		std::string out = atom();
		// A repeated back-reference can keep regexec busy for ever.
		if (out == "\\1" || out == "\\2")
			return out;
		int ops = chance(35) ? 1 : 0;
		if (chance(4))
			ops = 2;
		for (int i = 0; i < ops; i++)
			out += repetition();
		return out;
	}

	// Small counts only: regcomp copies a repeated expression once per
	// count, and regexec can take minutes over a large one. Counts at
	// and past the linear engine's limit are among the kept cases.
	std::string count()
	{
		static const char *const counts[] = {"0", "1", "2", "3", "1",
		    "2", "00", ""};
		return counts[pick(sizeof counts / sizeof *counts)];
	}

	std::string repetition()
	{
		switch (pick(7)) {
		case 0: case 1:
			return "*";
		case 2:
			return special("\\+", "+");
		case 3:
			return special("\\?", "?");
		default: {
			std::string body;
			switch (pick(4)) {
			case 0: body = count(); break;
			case 1: body = count() + ","; break;
			case 2: body = "," + count(); break;
			default: body = count() + "," + count(); break;
			}
			return special("\\{", "{") + body + special("\\}", "}");
		}
		}
	}

	std::string literal()
	{
		static const char chars[] = "aabbcxAB_ -0.9\n\xe9\xc9\x80\xff"
		    "kKzZ";
		return std::string(1, chars[pick(sizeof chars - 1)]);
	}

	std::string bracket()
	{
		static const char *const classes[] = {"[:alpha:]",
		    "[:digit:]", "[:space:]", "[:upper:]", "[:lower:]",
		    "[:punct:]", "[:alnum:]", "[:xdigit:]", "[:blank:]",
		    "[:cntrl:]", "[:print:]", "[:graph:]", "[:word:]",
		    "[.a.]", "[=a=]", "[.-.]", "[:nope:]"};
		static const char members[] = "abcxzAZ_-^]\\[.\n \xe9\xc9k09";
		std::string out = "[";
		if (chance(30))
			out += "^";
		if (chance(10))
			out += "]";
		if (chance(8))
			out += "-";
		int n = 1 + pick(4);
		for (int i = 0; i < n; i++) {
			int kind = pick(10);
			if (kind < 2) {
				out += classes[pick(sizeof classes /
				    sizeof *classes)];
			} else if (kind < 5) {
				out += members[pick(sizeof members - 1)];
				out += '-';
				out += members[pick(sizeof members - 1)];
			} else {
				out += members[pick(sizeof members - 1)];
			}
		}
		if (chance(8))
			out += "-";
		if (!chance(3))
			out += "]";
		return out;
	}

	std::string atom()
	{
		int kind = pick(100);
		if (kind < 35)
			return literal();
		if (kind < 42)
			return ".";
		if (kind < 54)
			return bracket();
		if (kind < 64 && depth_ < 4) {
			depth_++;
			std::string inner = alternation();
			depth_--;
			return special("\\(", "(") + inner + special("\\)", ")");
		}
		if (kind < 70)
			return chance(50) ? "^" : "$";
		if (kind < 82) {
			static const char *const gnu[] = {"\\w", "\\W", "\\s",
			    "\\S", "\\b", "\\B", "\\<", "\\>", "\\`", "\\'"};
			return gnu[pick(sizeof gnu / sizeof *gnu)];
		}
		// Back-references stay outside groups: regexec itself crashes
		// on some inside repeated ones, e.g. "()+(}{,0}\\1){1,}+".
		if (kind < 85 && depth_ == 0)
			return chance(70) ? "\\1" : "\\2";
		if (kind < 93) {
			static const char escapable[] = ".*[]^$\\{}()|+?anAx-";
			return std::string("\\") +
			    escapable[pick(sizeof escapable - 1)];
		}
		static const char odd[] = "*+?{}|)(";
		return std::string(1, odd[pick(sizeof odd - 1)]);
	}
};

// Texts near the pattern: its own bytes, their other case, neighbours,
// and the bytes that decide anchors, classes and the end of the text.
std::string make_text(std::mt19937_64 &rng, const std::string &pattern)
{
	auto pick = [&](size_t n) { return rng() % n; };
	static const char extras[] = "\n\n  _-aA\xe9\xc9\x80\xff" "09.\t";
	size_t len = pick(100) < 85 ? pick(12) : 32 + pick(120);
	std::string text;
	for (size_t i = 0; i < len; i++) {
		unsigned c;
		size_t kind = pick(100);
		if (kind < 55 && !pattern.empty())
			c = static_cast<unsigned char>(pattern[pick(pattern.size())]);
		else
			c = static_cast<unsigned char>(extras[pick(sizeof extras - 1)]);
		if (kind % 7 == 0 && ((c | 0x20) >= 'a' && (c | 0x20) <= 'z'))
			c ^= 0x20;
		if (kind % 11 == 0)
			c = (c + 1) & 0xff;
		if (c == 0 || pick(200) == 0)
			c = pick(3) == 0 ? 0 : 'a';
		text += static_cast<char>(c);
	}
	return text;
}

// Several of those end to end: long enough for the literal scan's widest
// blocks, with the pattern's bytes and NULs at every offset in them.
std::string make_long_text(std::mt19937_64 &rng, const std::string &pattern)
{
	std::string text;
	for (size_t pieces = 1 + rng() % 12; pieces > 0; pieces--)
		text += make_text(rng, pattern);
	return text;
}

const int flag_sets[] = {0, REG_ICASE, REG_EXTENDED,
    REG_EXTENDED | REG_ICASE};

// Runs cases until `valid` pattern/text pairs have been compared, from a
// fixed seed; returns the disagreements. With `literals_only`, only the
// patterns whose matches must hold a literal, on long texts.
std::vector<std::string> run_random(uint64_t seed, int valid, int texts_each,
    bool literals_only = false)
{
	std::mt19937_64 rng(seed);
	std::vector<std::string> found;
	int done = 0;
	for (int tries = 0; done < valid && found.size() < 20; tries++) {
		// Patterns that never qualify would loop for ever.
		if (tries == 10 * valid) {
			found.push_back("only " + std::to_string(done) +
			    " cases from " + std::to_string(tries) + " patterns");
			break;
		}
		int cflags = flag_sets[rng() % 4];
		pattern_maker maker(rng, (cflags & REG_EXTENDED) != 0);
		std::string pattern = maker.make();
		content_pattern cp;
		int rc = cp.compile(pattern.c_str(), cflags);
		int want_rc = reference_compile(pattern, cflags);
		if (rc != want_rc) {
			found.push_back(flag_names(cflags) + "\t" +
			    escaped(pattern) + "\t\t# compile " +
			    std::to_string(rc) + " vs " + std::to_string(want_rc));
			continue;
		}
		if (rc != 0 || (literals_only && cp.literal_count() == 0))
			continue;
		for (int i = 0; i < texts_each; i++) {
			std::string d = disagreement(cp, true, pattern, cflags,
			    literals_only ? make_long_text(rng, pattern)
			    : make_text(rng, pattern));
			if (!d.empty())
				found.push_back(d);
			done++;
		}
	}
	return found;
}

std::string report(const std::vector<std::string> &found)
{
	std::ostringstream out;
	out << "disagreements with regexec (add them to "
	       "tests/data/regex_regressions.txt):\n";
	for (const std::string &line : found)
		out << line << "\n";
	return out.str();
}

}	// namespace

// 200,000 pattern/text pairs in eight parts, so that they run side by
// side. The seeds are fixed: a failure is the same on every run.
class RandomPatterns : public testing::TestWithParam<int> {};

TEST_P(RandomPatterns, AgreeWithRegexec)
{
	std::vector<std::string> found =
	    run_random(0x5eed0000 + static_cast<uint64_t>(GetParam()), 25000, 5);
	EXPECT_TRUE(found.empty()) << report(found);
}

INSTANTIATE_TEST_SUITE_P(Differential, RandomPatterns, testing::Range(0, 8));

// A failure names the loop it ran with.
void PrintTo(scan_impl impl, std::ostream *os)
{
	*os << scan_impl_name(impl);
}

// The literal cases once with each loop of the literal scan, whichever
// the tool would take on this CPU: a loop that wrongly says "no" makes a
// matching message look clean, on the CPUs that take that loop only.
class LiteralScanLoops : public testing::TestWithParam<scan_impl> {
protected:
	void SetUp() override
	{
		if (use_scan_impl(GetParam()) != 0)
			GTEST_SKIP() << "this CPU cannot run the "
			    << scan_impl_name(GetParam()) << " loop";
	}

	void TearDown() override { use_scan_impl(scan_impl_best()); }
};

TEST_P(LiteralScanLoops, AgreeWithRegexec)
{
	std::vector<std::string> found = run_random(0x5eed1000, 20000, 5, true);
	EXPECT_TRUE(found.empty()) << report(found);
}

INSTANTIATE_TEST_SUITE_P(Differential, LiteralScanLoops,
    testing::ValuesIn(scan_impls()),
    [](const testing::TestParamInfo<scan_impl> &info) {
	    return std::string(scan_impl_name(info.param));
    });

// Every line: flags, pattern, text, separated by tabs, C-style \xNN and
// \\ escapes; "#" starts a comment.
TEST(Differential, KeptRegressionsAgreeWithRegexec)
{
	std::ifstream in(SPOOLSIFT_SOURCE_DIR "/tests/data/regex_regressions.txt");
	ASSERT_TRUE(in) << "tests/data/regex_regressions.txt is missing";
	std::vector<std::string> found;
	std::string line;
	int cases = 0;
	while (std::getline(in, line)) {
		if (line.empty() || line[0] == '#')
			continue;
		std::vector<std::string> fields;
		std::istringstream split(line.substr(0, line.find("\t#")));
		for (std::string f; std::getline(split, f, '\t');)
			fields.push_back(f);
		ASSERT_GE(fields.size(), 2u) << line;
		int cflags = 0;
		if (fields[0].find('E') != std::string::npos)
			cflags |= REG_EXTENDED;
		if (fields[0].find('I') != std::string::npos)
			cflags |= REG_ICASE;
		std::string pattern = unescaped(fields[1]);
		std::string text = fields.size() > 2 ? unescaped(fields[2]) : "";
		content_pattern cp;
		int rc = cp.compile(pattern.c_str(), cflags);
		int want_rc = reference_compile(pattern, cflags);
		EXPECT_EQ(rc, want_rc) << line;
		std::string d = disagreement(cp, rc == 0, pattern, cflags, text);
		if (!d.empty())
			found.push_back(d);
		cases++;
	}
	EXPECT_GT(cases, 50);
	EXPECT_TRUE(found.empty()) << report(found);
}
