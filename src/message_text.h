// message_text.h: a message file's text as the content test sees it.
//
// The text is the whole file, or its first max_bytes bytes when that is
// set, with a NUL byte after it. It is read in up to two steps: a first
// part, which may already settle the verdict (a match near the top, a
// NUL byte), and, only when asked, the rest.
//
// Texts may be read on several threads at once. What goes wrong while
// reading one is not written at once but added to a complaints text, in
// the words and order a direct report would have, for whoever writes
// the file's verdict to put out at the place the verdict takes.
#ifndef SPOOLSIFT_MESSAGE_TEXT_H
#define SPOOLSIFT_MESSAGE_TEXT_H

#include "unique_fd.h"

#include <sys/stat.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

// Which file stood at a path when it was looked at. qmail never rewrites
// a finished message file; a message queued under a number that was
// freed is a new file at the old path, which may get the old inode back
// but has a change time of its own.
struct file_identity {
	dev_t dev;
	ino_t ino;
	off_t size;
	time_t ctime_sec;
	long ctime_nsec;

	bool operator==(const file_identity &) const = default;
};

file_identity identity_of(const struct stat &st);

// The bytes that texts read at the same time may hold between them,
// beyond what each reader keeps for small ones. A text larger than the
// whole budget waits until it can be read alone.
class text_budget {
public:
	explicit text_budget(size_t bytes) : limit_(bytes) {}

	void take(size_t n);	// waits until n bytes may be held
	void give(size_t n);

private:
	std::mutex lock_;
	std::condition_variable freed_;
	const size_t limit_;
	size_t used_ = 0;
};

// Whether reading a text had to wait for the disk: its first part was
// not all in memory. unknown where the system cannot tell.
enum class disk_wait { unknown, no, yes };

class message_text {
public:
	// Texts up to keep bytes leave their buffer for the next one; larger
	// ones get a buffer of their own, paid from budget (when there is
	// one) and released when the next text is read.
	explicit message_text(text_budget *budget = nullptr,
	    size_t keep = 1024 * 1024);
	~message_text();
	message_text(const message_text &) = delete;
	message_text &operator=(const message_text &) = delete;

	// Opens name in the directory open at dir (or AT_FDCWD: the working
	// directory), never through a link, and reads the first part bytes
	// of the text, or all of it when it is no longer. false: nothing was
	// loaded. A file gone since the walk saw it, or one we may not read,
	// is silent; a failed fstat, allocation or read is a complaint, and
	// so is a file that is no longer a regular one.
	bool read_first(int dir, const char *name, size_t part,
	    std::string &complaints);

	// Reads the rest of the text. false: the file ended early or the
	// read failed (a complaint), and there is no text.
	bool read_rest(std::string &complaints);

	// The file the text was read from, while a text is loaded.
	std::optional<file_identity> read_from() const
	{
		return loaded_ ? std::optional(from_) : std::nullopt;
	}

	// Whether the first part of the text, while one is loaded, had to
	// come from the disk.
	disk_wait waited() const { return loaded_ ? waited_ : disk_wait::unknown; }

	// Whether all of the text is read.
	bool complete() const { return loaded_ && got_ == want_; }

	// What is read so far, length() bytes and a NUL byte after them.
	const char *bytes() const { return loaded_ ? bytes_.get() : nullptr; }
	size_t length() const { return got_; }

	// Closes the file and lets go of a buffer larger than kept.
	void release();

private:
	struct free_delete {
		void operator()(char *p) const { free(p); }
	};

	bool make_room(size_t n, std::string &complaints);
	void drop_buffer();

	text_budget *const budget_;
	const size_t keep_;
	unique_fd fd_{-1};
	std::unique_ptr<char, free_delete> bytes_;
	size_t capacity_ = 0;	// of bytes_
	bool loaded_ = false;
	size_t want_ = 0, got_ = 0;
	file_identity from_{};
	disk_wait waited_ = disk_wait::unknown;
};

// Adds what perror(call) would write for error to complaints.
void complain(std::string &complaints, const char *call, int error);

#endif
