// queue_layout.cpp: message numbers and the three path forms.
#include "queue_layout.h"

#include <cerrno>
#include <charconv>
#include <initializer_list>
#include <new>

namespace {

std::optional<std::string> joined(std::initializer_list<std::string_view> parts)
{
	try {
		std::string path;
		for (std::string_view part : parts)
			path += part;
		return path;
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		return std::nullopt;
	}
}

std::optional<std::string> refused()
{
	errno = EINVAL;
	return std::nullopt;
}

// The decimal text of n, in buf.
std::string_view decimal(unsigned long n, std::array<char, 24> &buf)
{
	auto end = std::to_chars(buf.data(), buf.data() + buf.size(), n).ptr;
	return {buf.data(), static_cast<size_t>(end - buf.data())};
}

}  // namespace

std::optional<unsigned long> parse_message_number(std::string_view name)
{
	size_t slash = name.rfind('/');
	std::string_view part =
	    slash == std::string_view::npos ? name : name.substr(slash + 1);
	// qmail prints its numbers in plain decimal: anything else in the
	// name, a sign, a space, a leading zero, a suffix, makes it some
	// other file that merely starts with a message's number.
	if (part.empty() || part[0] == '0')
		return std::nullopt;
	unsigned long n = 0;
	auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), n);
	if (ec != std::errc() || end != part.data() + part.size())
		return std::nullopt;
	return n;
}

unsigned long bucket_of(unsigned long n, int32_t split)
{
	int64_t size = split;
	return n % static_cast<unsigned long>(size < 0 ? -size : size);
}

std::optional<std::string> mk_oldpath(const char *d, unsigned long n,
    int32_t split)
{
	// A split of 0 is refused when options are read; it is checked
	// again here because it would be a division by zero.
	if (d == nullptr || n == 0 || split == 0)
		return refused();
	std::array<char, 24> b, m;
	return joined({d, "/", decimal(bucket_of(n, split), b), "/",
	    decimal(n, m)});
}

std::optional<std::string> mk_flatpath(const char *d, unsigned long n)
{
	if (d == nullptr || n == 0)
		return refused();
	std::array<char, 24> m;
	return joined({d, "/", decimal(n, m)});
}

std::optional<std::string> mk_newpath(const char *yank_dir, const char *d,
    unsigned long n)
{
	if (yank_dir == nullptr || d == nullptr || n == 0)
		return refused();
	std::array<char, 24> m;
	return joined({yank_dir, "/", decimal(n, m), ".", d});
}
