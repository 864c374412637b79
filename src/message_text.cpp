// message_text.cpp: reading a message file's text in up to two steps.
#include "message_text.h"

#include "settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

// Reads bytes [from, to) of the file into buf. A read returns at most
// about 2 GiB, and a signal may cut it short: read on until all is in.
// false when the file ended early or the read failed.
bool read_range(int fd, char *buf, size_t from, size_t to)
{
	while (from < to) {
		ssize_t n = read(fd, buf + from, to - from);
		if (n > 0)
			from += static_cast<size_t>(n);
		else if (n == -1 && errno == EINTR)
			continue;
		else
			return false;
	}
	return true;
}

}  // namespace

bool message_text::read_first(const char *path, size_t part)
{
	*this = message_text();
	if (path == nullptr)
		return false;
	unique_fd fd(open(path, O_RDONLY | O_NOFOLLOW));
	if (!fd)
		return false;
	struct stat st;
	if (fstat(fd.get(), &st) == -1) {
		perror("fstat()");
		return false;
	}
	int64_t length = st.st_size;
	if (settings.max_bytes > 0 && st.st_size >= settings.max_bytes)
		length = settings.max_bytes;
	const auto want = static_cast<size_t>(length);
	std::unique_ptr<char, free_delete> bytes(
	    static_cast<char *>(malloc(want + 1)));
	if (bytes == nullptr) {
		perror("malloc()");
		return false;
	}
	const size_t first = want < part ? want : part;
	if (!read_range(fd.get(), bytes.get(), 0, first)) {
		fprintf(stderr, "%s: read() too short\n",
		    program_invocation_short_name);
		return false;
	}
	bytes.get()[first] = '\0';	// the rest, if read, writes over it
	if (first < want)
		fd_ = std::move(fd);	// for the rest
	bytes_ = std::move(bytes);
	want_ = want;
	got_ = first;
	return true;
}

bool message_text::read_rest()
{
	if (bytes_ == nullptr)
		return false;
	if (!read_range(fd_.get(), bytes_.get(), got_, want_)) {
		fprintf(stderr, "%s: read() too short\n",
		    program_invocation_short_name);
		*this = message_text();
		return false;
	}
	bytes_.get()[want_] = '\0';
	got_ = want_;
	fd_ = unique_fd(-1);	// read whole: no descriptor kept
	return true;
}

message_text load_file(const char *path)
{
	message_text text;
	if (!text.read_first(path))
		text = message_text();
	return text;
}
