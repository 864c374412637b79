// fuzz_support.h: what the fuzz targets share: catching what the code
// under test writes to standard error, failing loudly when it disagrees
// with a model, and the C library's number readers written out again
// from their rules, so the targets check against them rather than with
// them.
#ifndef SPOOLSIFT_FUZZ_SUPPORT_H
#define SPOOLSIFT_FUZZ_SUPPORT_H

#include <sanitizer/common_interface_defs.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

// Reports a disagreement with the model and stops, so libFuzzer keeps
// the input as a crash artifact.
[[noreturn]] inline void fail(const std::string &what)
{
	fprintf(stderr, "MODEL DISAGREES: %s\n", what.c_str());
	fflush(stderr);
	abort();
}

inline void check(bool ok, const std::string &what)
{
	if (!ok)
		fail(what);
}

// Standard error of body, taken from descriptor 2 itself (perror and
// fprintf both end there). Sanitizer reports keep going to the real
// standard error, also while a body runs.
inline int real_stderr = -1, stderr_sink = -1;	// shared by every body

template <typename F>
std::string captured_stderr(F body)
{
	int &real = real_stderr, &sink = stderr_sink;
	if (real == -1) {
		real = dup(STDERR_FILENO);
		sink = memfd_create("fuzz-stderr", 0);
		if (real == -1 || sink == -1)
			fail("cannot set up the capture of standard error");
		__sanitizer_set_report_fd(
		    reinterpret_cast<void *>(static_cast<intptr_t>(real)));
	}
	fflush(stderr);
	if (ftruncate(sink, 0) == -1 || lseek(sink, 0, SEEK_SET) == -1 ||
	    dup2(sink, STDERR_FILENO) == -1)
		fail("cannot capture standard error");
	body();
	fflush(stderr);
	dup2(real, STDERR_FILENO);
	std::string text;
	char buf[4096];
	ssize_t n;
	for (off_t at = 0; (n = pread(sink, buf, sizeof buf, at)) > 0; at += n)
		text.append(buf, static_cast<size_t>(n));
	return text;
}

inline bool c_space(char c)
{
	return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
	    c == '\r';
}

// strtoul(s, nullptr, 10) by its rules: blanks, a sign, digits; too
// large reads as ULONG_MAX; a minus negates in unsigned arithmetic.
inline unsigned long model_strtoul(const char *s)
{
	while (c_space(*s))
		s++;
	bool minus = false;
	if (*s == '+' || *s == '-')
		minus = *s++ == '-';
	unsigned long v = 0;
	bool over = false;
	for (; *s >= '0' && *s <= '9'; s++) {
		unsigned d = static_cast<unsigned>(*s - '0');
		if (v > (ULONG_MAX - d) / 10)
			over = true;
		else
			v = v * 10 + d;
	}
	if (over)
		return ULONG_MAX;
	return minus ? 0UL - v : v;
}

// strtol(s, nullptr, 10) by its rules: out of range clamps.
inline long model_strtol(const char *s)
{
	while (c_space(*s))
		s++;
	bool minus = false;
	if (*s == '+' || *s == '-')
		minus = *s++ == '-';
	// Past LONG_MAX + 1 the value only clamps: stop growing there.
	const unsigned long long limit =
	    static_cast<unsigned long long>(LONG_MAX) + 1;
	unsigned long long mag = 0;
	for (; *s >= '0' && *s <= '9'; s++)
		mag = mag >= limit / 10 + 1
		    ? limit
		    : std::min(mag * 10 + static_cast<unsigned>(*s - '0'), limit);
	if (minus)
		return mag > static_cast<unsigned long long>(LONG_MAX)
		    ? LONG_MIN : -static_cast<long>(mag);
	return mag > static_cast<unsigned long long>(LONG_MAX)
	    ? LONG_MAX : static_cast<long>(mag);
}

}  // namespace fuzz

#endif
