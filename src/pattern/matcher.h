// matcher.h: the content test's pattern, compiled once for the whole
// run and applied to each loaded message.
//
// The meaning is always that of regcomp(pattern, cflags | REG_NOSUB) and
// regexec on the text up to its first NUL byte: ^ and $ hold only at the
// ends of that text and the dot matches a newline.
#ifndef SPOOLSIFT_MATCHER_H
#define SPOOLSIFT_MATCHER_H

#include <regex.h>

#include <cstddef>
#include <memory>
#include <string>

class content_pattern {
public:
	content_pattern();
	~content_pattern();
	content_pattern(const content_pattern &) = delete;
	content_pattern &operator=(const content_pattern &) = delete;

	// 0 when pattern compiles with cflags (REG_EXTENDED, REG_ICASE);
	// otherwise regcomp's error code, and error() holds its text.
	int compile(const char *pattern, int cflags);

	// regerror's text for the last failed compile, cut to fit size
	// bytes with its NUL, as regerror itself would cut it.
	std::string error(size_t size) const;

	// 1 when the text matches, 0 when it does not, -1 when nothing is
	// compiled. The text is length bytes with a NUL byte after them;
	// an earlier NUL byte ends it.
	int matches(const char *text, size_t length) const;

	// The verdict on a whole text from its first length bytes (with a
	// NUL byte after them), when they settle it: 1 or 0, else -1. A NUL
	// byte among them ends the text there; and a match of a pattern that
	// looks at neither the end of the text nor the byte after a position
	// holds however the text goes on.
	int verdict_from_part(const char *part, size_t length) const;

	// Whether the compiled pattern runs on the linear-time engine, and
	// how many literals are looked for before it: for tests and the
	// benchmarks.
	bool linear() const;
	size_t literal_count() const;

private:
	struct program;
	std::unique_ptr<program> program_;
	int error_code_ = 0;
};

#endif
