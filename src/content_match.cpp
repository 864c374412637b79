// content_match.cpp: the pattern compiled for the run, and the test of
// one file's text against it.
#include "content_match.h"

#include "settings.h"

#include <cstdint>

namespace {

// Larger files are read in two steps: the first part may settle the
// verdict (a match near the top, a NUL byte), and the rest is not read.
constexpr size_t first_part = 16 * 1024;

}  // namespace

int compile_pattern(const char *text, search_pattern &out)
{
	int rc = out.compiled.compile(text,
	    static_cast<int>(settings.regex_flags));
	// A 20-byte buffer: the complaint is cut to 19 characters.
	out.error = rc == 0 ? std::string() : out.compiled.error(20);
	return rc;
}

int match_file(int dir, const char *name, const search_pattern &pattern,
    message_text &text, std::string &complaints, part_odds *odds)
{
	// A pattern that does not compile is reported for every file whose
	// text loads, as the text is loaded before the pattern is judged.
	const bool compiled = pattern.error.empty();
	const bool two_steps = compiled && (odds == nullptr || odds->pay());
	if (!text.read_first(dir, name, two_steps ? first_part : SIZE_MAX,
	    complaints))
		return 0;
	if (!compiled) {
		complaints += "regcomp(): " + pattern.error + "\n";
		return 0;
	}
	if (!text.complete()) {
		int verdict = pattern.compiled.verdict_from_part(text.bytes(),
		    text.length());
		if (odds != nullptr) {
			odds->tried++;
			odds->settled += verdict != -1;
		}
		if (verdict != -1)
			return verdict;
		if (!text.read_rest(complaints))
			return 0;
	}
	// The whole file is one NUL-terminated text: ^ and $ hold only at
	// its ends, the dot matches a newline, and a NUL byte ends it.
	return pattern.compiled.matches(text.bytes(), text.length()) == 1;
}
