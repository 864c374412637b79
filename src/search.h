// search.h: the walk of the queue's "mess" directory and the content
// test of each message file. Paths are relative to the working
// directory, which the walker moves as it descends.
#ifndef SPOOLSIFT_SEARCH_H
#define SPOOLSIFT_SEARCH_H

#include <fts.h>

#include <cstddef>
#include <cstdlib>
#include <memory>

struct free_delete {
	void operator()(void *p) const { free(p); }
};

// A loaded file: length bytes followed by a NUL byte. No bytes: nothing
// could be loaded.
struct file_text {
	std::unique_ptr<char, free_delete> bytes;
	size_t length = 0;

	explicit operator bool() const { return bytes != nullptr; }
};

// Lists every regular file under subdirs[0] with its verdict on standard
// output. The number of matching files, or -1 if the walk cannot start.
int search_queue(const char *const subdirs[], const char *pattern);

// The per-match step: yank, delete or expire the message of a file the
// walk found matching, as the settings ask, from the queue directory,
// and return to the walker's directory. A message whose file lies where
// the split does not put it is left alone; a listing that cannot be
// written ends the run before anything more is acted on.
void dispatch_match(const FTSENT *entry);

// Pushes the verdict lines written so far out to standard output. 0, or
// the error number of a write that failed, now or earlier in the run.
int flush_listing();

// 0 when the file's content matches pattern, -1 when it does not or
// cannot be tested (unreadable file, pattern that does not compile).
int match_file(const char *path, const char *pattern);

// The whole file, or its first max_bytes bytes when that is set.
// Given decide and verdict, a file longer than one part is read in two:
// decide sees the first part (NUL-terminated) and when it returns 0 or 1,
// that is stored in *verdict and the rest is not read (no bytes are
// returned then). Otherwise *verdict is -1.
file_text load_file(const char *path,
    int (*decide)(const char *, size_t) = nullptr, int *verdict = nullptr);

#endif
