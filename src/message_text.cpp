// message_text.cpp: reading a message file's text in up to two steps.
#include "message_text.h"

#include "os.h"
#include "settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Buffers kept for small texts grow in steps of at least this much, so
// that a run of slightly larger texts does not reallocate for each.
constexpr size_t least_buffer = 64 * 1024;
constexpr size_t page = 4096;

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

void too_short(std::string &complaints)
{
	complaints += os_program_name();
	complaints += ": read() too short\n";
}

}  // namespace

void complain(std::string &complaints, const char *call, int error)
{
	char buf[128];
	complaints += call;
	complaints += ": ";
	complaints += os_error_text(error, buf, sizeof buf);
	complaints += '\n';
}

file_identity identity_of(const struct stat &st)
{
	return {st.st_dev, st.st_ino, st.st_size, st.st_ctim.tv_sec,
	    st.st_ctim.tv_nsec};
}

void text_budget::take(size_t n)
{
	std::unique_lock<std::mutex> hold(lock_);
	freed_.wait(hold, [&] { return used_ == 0 || used_ + n <= limit_; });
	used_ += n;
}

void text_budget::give(size_t n)
{
	{
		std::lock_guard<std::mutex> hold(lock_);
		used_ -= n;
	}
	freed_.notify_all();
}

message_text::message_text(text_budget *budget, size_t keep)
    : budget_(budget), keep_(keep)
{
}

message_text::~message_text()
{
	drop_buffer();
}

void message_text::drop_buffer()
{
	bytes_.reset();
	if (budget_ != nullptr && capacity_ > keep_)
		budget_->give(capacity_);
	capacity_ = 0;
}

void message_text::release()
{
	fd_ = unique_fd(-1);
	loaded_ = false;
	want_ = got_ = 0;
	if (capacity_ > keep_)
		drop_buffer();
}

// A buffer of at least n bytes. A small one is kept from text to text;
// a large one is paid from the budget first.
bool message_text::make_room(size_t n, std::string &complaints)
{
	if (n <= capacity_)
		return true;
	drop_buffer();
	size_t size = n;
	if (n <= keep_) {
		size = least_buffer;
		while (size < n)
			size *= 2;
		if (size > keep_)
			size = keep_;
	} else if (budget_ != nullptr) {
		budget_->take(n);
	}
	// On a page boundary, as the page cache's own pages are: a copy
	// whose source and destination sit at different offsets in their
	// pages runs up to a fifth slower (stores and loads 4 KiB apart
	// look alike to the processor).
	bytes_.reset(static_cast<char *>(aligned_alloc(page,
	    (size + page - 1) / page * page)));
	if (bytes_ == nullptr) {
		const int error = errno;
		if (budget_ != nullptr && n > keep_)
			budget_->give(n);
		complain(complaints, "malloc()", error);
		return false;
	}
	capacity_ = size;
	return true;
}

bool message_text::read_first(int dir, const char *name, size_t part,
    std::string &complaints)
{
	release();
	if (name == nullptr)
		return false;
	// O_NONBLOCK: a FIFO put in place of the file since the walk saw it
	// must not hold the open, and the run with qmail-send's lock, until
	// a writer comes.
	unique_fd fd(openat(dir, name,
	    O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
	if (!fd)
		return false;
	struct stat st;
	if (fstat(fd.get(), &st) == -1) {
		complain(complaints, "fstat()", errno);
		return false;
	}
	// No longer a message file: its text cannot be read, as a
	// directory's read fails, and is reported so.
	if (!S_ISREG(st.st_mode)) {
		too_short(complaints);
		return false;
	}
	int64_t length = st.st_size;
	if (settings.max_bytes > 0 && st.st_size >= settings.max_bytes)
		length = settings.max_bytes;
	const auto want = static_cast<size_t>(length);
	if (!make_room(want + 1, complaints))
		return false;
	const size_t first = want < part ? want : part;
	// A first read of only what is in memory says whether the text had
	// to wait for the disk, for the readers to know how many of them
	// keep the disk busy; the rest is read as usual.
	size_t got = 0;
	waited_ = first == 0 ? disk_wait::no : disk_wait::unknown;
	if (first > 0) {
		ssize_t n = os_read_cached(fd.get(), bytes_.get(), first);
		if (n >= 0) {
			got = static_cast<size_t>(n);
			waited_ = got == first ? disk_wait::no : disk_wait::yes;
		} else if (errno == EAGAIN) {
			waited_ = disk_wait::yes;
		}
	}
	if (!read_range(fd.get(), bytes_.get(), got, first)) {
		too_short(complaints);
		return false;
	}
	bytes_.get()[first] = '\0';	// the rest, if read, writes over it
	if (first < want)
		fd_ = std::move(fd);	// for the rest
	loaded_ = true;
	want_ = want;
	got_ = first;
	from_ = identity_of(st);
	return true;
}

bool message_text::read_rest(std::string &complaints)
{
	if (!loaded_)
		return false;
	if (!read_range(fd_.get(), bytes_.get(), got_, want_)) {
		too_short(complaints);
		release();
		return false;
	}
	bytes_.get()[want_] = '\0';
	got_ = want_;
	fd_ = unique_fd(-1);	// read whole: no descriptor kept
	return true;
}
