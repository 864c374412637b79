// matcher.cpp: compiling the content pattern and testing texts.
//
// regcomp judges every pattern and keeps the last word on its meaning.
// A pattern it accepts is also read into RE2, whose running time grows
// linearly with the text: a stranger's mail cannot stall the scan, as it
// can with a backtracking regexec. Patterns RE2 cannot run with the same
// meaning stay with regexec. Either way the literals every match must
// contain are looked for first, so that most messages are answered "no"
// at the speed of memory.
#include "matcher.h"

#include "literal_scan.h"
#include "translate.h"

#include <re2/re2.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// More literals cost more passes over texts that hold the first ones.
constexpr size_t max_literals = 3;

}	// namespace

struct content_pattern::program {
	regex_t re;
	bool compiled = false;
	std::unique_ptr<re2::RE2> linear;
	bool prefix_match_holds = false;
	std::vector<literal_finder> finders;

	~program()
	{
		if (compiled)
			regfree(&re);
	}
};

content_pattern::content_pattern() = default;
content_pattern::~content_pattern() = default;

int content_pattern::compile(const char *pattern, int cflags)
{
	program_.reset();
	auto prog = std::make_unique<program>();
	error_code_ = regcomp(&prog->re, pattern, cflags | REG_NOSUB);
	if (error_code_ != 0)
		return error_code_;
	prog->compiled = true;

	translation t;
	if (translate_pattern(pattern, cflags, t) == 0) {
		for (const required_literal &lit : t.literals)
			prog->finders.push_back(make_finder(lit));
		std::sort(prog->finders.begin(), prog->finders.end(),
		    [](const literal_finder &a, const literal_finder &b) {
			    return a.rarity < b.rarity;
		    });
		if (prog->finders.size() > max_literals)
			prog->finders.resize(max_literals);
		if (t.translated) {
			re2::RE2::Options options;
			options.set_encoding(re2::RE2::Options::EncodingLatin1);
			options.set_never_capture(true);
			options.set_dot_nl(true);
			options.set_log_errors(false);
			auto re = std::make_unique<re2::RE2>(t.linear, options);
			// Too large for the engine: regexec runs it.
			if (re->ok()) {
				prog->linear = std::move(re);
				prog->prefix_match_holds = t.prefix_match_holds;
			}
		}
	}
	program_ = std::move(prog);
	return 0;
}

std::string content_pattern::error(size_t size) const
{
	std::vector<char> buf(size > 0 ? size : 1);
	regerror(error_code_, nullptr, buf.data(), size);
	return std::string(buf.data(), strnlen(buf.data(), buf.size()));
}

int content_pattern::matches(const char *text, size_t length) const
{
	if (program_ == nullptr)
		return -1;
	for (const literal_finder &f : program_->finders)
		if (find_literal(f, text, length) == 0)
			return 0;
	if (program_->linear != nullptr) {
		// regexec would stop at the first NUL byte: so does RE2.
		const void *nul = memchr(text, '\0', length);
		size_t n = nul != nullptr
		    ? static_cast<size_t>(static_cast<const char *>(nul) - text)
		    : length;
		return re2::RE2::PartialMatch(re2::StringPiece(text, n),
		    *program_->linear) ? 1 : 0;
	}
	return regexec(&program_->re, text, 0, nullptr, 0) == 0 ? 1 : 0;
}

int content_pattern::verdict_from_part(const char *part, size_t length) const
{
	if (program_ == nullptr)
		return -1;
	if (memchr(part, '\0', length) != nullptr)
		return matches(part, length);
	if (program_->prefix_match_holds && matches(part, length) == 1)
		return 1;
	return -1;
}

bool content_pattern::linear() const
{
	return program_ != nullptr && program_->linear != nullptr;
}

size_t content_pattern::literal_count() const
{
	return program_ != nullptr ? program_->finders.size() : 0;
}
