// message_text.h: a message file's text as the content test sees it.
//
// The text is the whole file, or its first max_bytes bytes when that is
// set, with a NUL byte after it. It is read in up to two steps: a first
// part, which may already settle the verdict (a match near the top, a
// NUL byte), and, only when asked, the rest.
#ifndef SPOOLSIFT_MESSAGE_TEXT_H
#define SPOOLSIFT_MESSAGE_TEXT_H

#include "unique_fd.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

class message_text {
public:
	// Opens path (relative to the working directory, never through a
	// link) and reads the first part bytes of the text, or all of it
	// when it is no longer. false: nothing was loaded. A file gone since
	// the walk saw it, or one we may not read, is silent; a failed fstat,
	// allocation or read is reported.
	bool read_first(const char *path, size_t part = SIZE_MAX);

	// Reads the rest of the text. false: the file ended early or the
	// read failed (reported), and there is no text.
	bool read_rest();

	// Whether all of the text is read.
	bool complete() const { return bytes_ != nullptr && got_ == want_; }

	// What is read so far, length() bytes and a NUL byte after them.
	const char *bytes() const { return bytes_.get(); }
	size_t length() const { return got_; }

private:
	struct free_delete {
		void operator()(char *p) const { free(p); }
	};

	unique_fd fd_{-1};
	std::unique_ptr<char, free_delete> bytes_;
	size_t want_ = 0, got_ = 0;
};

// The whole text of path in one step; complete() tells whether it was
// loaded.
message_text load_file(const char *path);

#endif
