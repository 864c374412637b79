// The literal search: found exactly where a plain loop finds it, never
// past the text's first NUL byte, in either case where the literal folds.
// Each text sits in a buffer of exactly its length and the NUL after it,
// so that the sanitizer build catches a read past its end. Every test
// runs once with each of the search's loops, whatever CPU the tool will
// later run on; a loop this CPU lacks is skipped, and says so.
#include "pattern/literal_scan_impls.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>

namespace {

// A literal from bytes whose upper-case letters match in either case:
// "jAck" is "jack" with its 'a' folded.
required_literal literal(const std::string &spelled)
{
	required_literal lit;
	for (char c : spelled) {
		bool fold = c >= 'A' && c <= 'Z';
		lit.bytes += fold ? static_cast<char>(c + 0x20) : c;
		lit.fold += static_cast<char>(fold ? 0x20 : 0);
	}
	return lit;
}

}	// namespace

// A failure names the loop it ran with.
void PrintTo(scan_impl impl, std::ostream *os)
{
	*os << scan_impl_name(impl);
}

class LiteralScan : public testing::TestWithParam<scan_impl> {
protected:
	void SetUp() override
	{
		if (scan_impl_runs(GetParam()) == 0)
			GTEST_SKIP() << "this CPU cannot run the "
			    << scan_impl_name(GetParam()) << " loop";
	}

	int find(const required_literal &lit, const std::string &text)
	{
		auto buf = std::make_unique<char[]>(text.size() + 1);
		memcpy(buf.get(), text.data(), text.size());
		buf[text.size()] = '\0';
		return find_literal_with(GetParam(), make_finder(lit),
		    buf.get(), text.size());
	}
};

INSTANTIATE_TEST_SUITE_P(EachLoop, LiteralScan,
    testing::ValuesIn(scan_impls()),
    [](const testing::TestParamInfo<scan_impl> &info) {
	    return std::string(scan_impl_name(info.param));
    });

TEST_P(LiteralScan, FoldMasksDecideWhichCaseMatches)
{
	using namespace std::string_literals;
	const struct {
		const char *literal;
		std::string text;
		int found;
	} cases[] = {
	    {"JACKPOT", "you won the JackPot!", 1},
	    {"JACKPOT", "you won the jackpot!", 1},
	    {"jackpot", "you won the JACKPOT!", 0},
	    {"jackpot", "you won the jackpoT!", 0},
	    // Each position keeps its own mask: a swapped mask misses these.
	    {"Qz", "QZ qZ Qz", 1},
	    {"Qz", "QZ qZ", 0},
	    {"zQ", "Zq ZQ zQ", 1},
	    {"zQ", "Zq ZQ", 0},
	    // Bytes that are not letters match only themselves.
	    {"-\xe9", "-\xc9 -\xe9", 1},
	    {"-\xe9", "-\xc9 \r\xe9", 0},
	    {"", "", 1},			// an empty literal is everywhere
	    {"a", "", 0},
	    {"x", "\0x"s, 0},			// the text ends at its first NUL
	};
	// The same texts alone and well inside blocks of 16 and 32 bytes.
	const std::string pad(45, '.');
	for (const auto &c : cases) {
		SCOPED_TRACE(testing::PrintToString(c.literal) + " in " +
		    testing::PrintToString(c.text));
		EXPECT_EQ(find(literal(c.literal), c.text), c.found);
		EXPECT_EQ(find(literal(c.literal), pad + c.text + pad),
		    c.text.find('\0') == std::string::npos ? c.found : 0);
	}
}

// Every length around the block sizes, at every offset of a text that a
// NUL byte ends at every position: found exactly when the literal lies
// wholly before the NUL.
TEST_P(LiteralScan, FoundAtEveryOffsetBeforeTheFirstNul)
{
	const std::string source = "jackpot-Lucky-SPINS-example-biz-0123456789";
	const size_t n = 130;
	for (size_t len : {1, 2, 3, 15, 16, 17, 31, 32, 33, 40}) {
		required_literal lit = literal(source.substr(0, len));
		for (size_t nul = 0; nul <= n; nul++) {
			for (size_t at = 0; at + len <= n; at++) {
				std::string text(n, '.');
				for (size_t i = 0; i < len; i++)
					text[at + i] = source[i];
				if (nul < n)
					text[nul] = '\0';
				int want = at + len <= nul ? 1 : 0;
				ASSERT_EQ(find(lit, text), want)
				    << "length " << len << " at " << at
				    << " NUL at " << nul;
			}
		}
	}
}

// Against a plain loop: every alignment, both cases, NUL bytes before,
// inside and after the literal.
TEST_P(LiteralScan, FindsExactlyWhatAPlainSearchFinds)
{
	std::mt19937_64 rng(7);
	auto pick = [&](size_t n) { return rng() % n; };
	for (int round = 0; round < 20000; round++) {
		required_literal lit;
		size_t len = 1 + pick(pick(4) == 0 ? 40 : 6);
		for (size_t i = 0; i < len; i++) {
			char c = "abkqZ-."[pick(7)];
			bool fold = c >= 'a' && c <= 'z' && pick(2) == 0;
			lit.bytes += c;
			lit.fold += static_cast<char>(fold ? 0x20 : 0);
		}
		std::string text;
		size_t n = pick(300);
		for (size_t i = 0; i < n; i++) {
			char c = "abkqABKQZz-.\0"[pick(13)];
			if (pick(60) != 0 && c == '\0')
				c = 'a';
			text += c;
		}
		if (pick(2) == 0 && n > len) {
			size_t at = pick(n - len + 1);
			for (size_t i = 0; i < len; i++)
				text[at + i] = lit.fold[i] && pick(2) == 0
				    ? static_cast<char>(lit.bytes[i] - 0x20)
				    : lit.bytes[i];
		}
		int want = 0;
		size_t end = text.find('\0');
		if (end == std::string::npos)
			end = text.size();
		for (size_t s = 0; s + len <= end && want == 0; s++) {
			bool same = true;
			for (size_t i = 0; i < len && same; i++)
				same = static_cast<char>(text[s + i] | lit.fold[i]) ==
				    lit.bytes[i];
			want = same ? 1 : 0;
		}
		ASSERT_EQ(find(lit, text), want)
		    << "literal " << testing::PrintToString(lit.bytes)
		    << " text " << testing::PrintToString(text);
	}
}
