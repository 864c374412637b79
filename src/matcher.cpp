// matcher.cpp: compiling the content pattern and testing texts.
#include "matcher.h"

#include <cstring>
#include <vector>

struct content_pattern::program {
	regex_t re;
	bool compiled = false;
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
	program_ = std::make_unique<program>();
	error_code_ = regcomp(&program_->re, pattern, cflags | REG_NOSUB);
	if (error_code_ != 0) {
		program_.reset();
		return error_code_;
	}
	program_->compiled = true;
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
	(void)length;
	return regexec(&program_->re, text, 0, nullptr, 0) == 0 ? 1 : 0;
}
