// fuzz_content.cpp: the content test against regcomp and regexec used
// directly: random patterns, both flags, and texts with NUL bytes and
// newlines. The pattern's verdict must be exactly that of regexec on the
// same NUL-terminated text with the same flags and REG_NOSUB, and a
// pattern that does not compile must give regcomp's code and text.
#include "fuzz_support.h"
#include "pattern/matcher.h"

#include <regex.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Patterns on which the C library itself runs out of memory: it expands
// stacked repetitions ("a+++++...", "a{200}{200}") into copies of the
// tree. Those say nothing about the content test and are left out.
bool library_blows_up(const std::string &p)
{
	size_t run = 0, braces = 0;
	for (size_t i = 0; i < p.size(); i++) {
		const char c = p[i];
		run = (c == '*' || c == '+' || c == '?' || c == '}') ? run + 1 : 0;
		if (run > 3)
			return true;
		if (c == '{' && ++braces > 2)
			return true;
		if (c == '{' && i + 3 < p.size() && isdigit(p[i + 1]) &&
		    isdigit(p[i + 2]) && isdigit(p[i + 3]))
			return true;
	}
	return false;
}

std::string shown(const std::string &s)
{
	std::string out;
	for (unsigned char c : s) {
		if (c >= 32 && c < 127 && c != '\\') {
			out += static_cast<char>(c);
		} else {
			char buf[8];
			snprintf(buf, sizeof buf, "\\x%02x", c);
			out += buf;
		}
	}
	return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	FuzzedDataProvider in(data, size);
	int cflags = 0;
	if (in.ConsumeBool())
		cflags |= REG_EXTENDED;
	if (in.ConsumeBool())
		cflags |= REG_ICASE;
	// Kept short: backreferences make some patterns exponential in
	// the C library itself.
	std::string pattern = in.ConsumeRandomLengthString(48);
	pattern = pattern.c_str();
	if (library_blows_up(pattern))
		return 0;
	std::string text = in.ConsumeRandomLengthString(1024);
	const size_t length = text.size();

	// One pattern object across inputs, as in a run: compiling again
	// must replace what was there.
	static content_pattern pat;
	int rc = pat.compile(pattern.c_str(), cflags);

	regex_t re;
	int want_rc = regcomp(&re, pattern.c_str(), cflags | REG_NOSUB);
	const std::string where = "pattern \"" + shown(pattern) + "\" flags " +
	    std::to_string(cflags);
	fuzz::check(rc == want_rc, where + ": compile gave " +
		std::to_string(rc) + ", regcomp " + std::to_string(want_rc));
	if (want_rc != 0) {
		for (size_t cut : {size_t{1}, size_t{20}, size_t{200}}) {
			std::vector<char> buf(cut);
			regerror(want_rc, nullptr, buf.data(), cut);
			fuzz::check(pat.error(cut) == buf.data(),
			    where + ": error text cut to " + std::to_string(cut));
		}
		fuzz::check(pat.matches(text.c_str(), length) == -1,
		    where + ": matches after a failed compile");
		return 0;
	}
	// The text as a loaded file is: length bytes and a NUL after them,
	// in a buffer of its own so that ASan sees any read past it.
	std::vector<char> buf(text.begin(), text.end());
	buf.push_back('\0');
	int got = pat.matches(buf.data(), length);
	int want = regexec(&re, buf.data(), 0, nullptr, 0) == 0 ? 1 : 0;
	regfree(&re);
	fuzz::check(got == want, where + " on \"" + shown(text) + "\": " +
		std::to_string(got) + ", regexec says " + std::to_string(want));
	return 0;
}
