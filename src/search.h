// search.h: the walk of the queue's "mess" directory, the content test
// of each message file, and the action on each match.
#ifndef SPOOLSIFT_SEARCH_H
#define SPOOLSIFT_SEARCH_H

#include "message_text.h"
#include "pattern/matcher.h"

#include <string>
#include <string_view>

// The pattern of the run, compiled once, before the walk.
struct search_pattern {
	content_pattern compiled;
	// regcomp's complaint, as a 20-byte buffer cuts it, when the pattern
	// does not compile; empty when it does.
	std::string error;
};

// Compiles text with the run's flags into out. 0, or regcomp's error
// code (out.error then holds its text).
int compile_pattern(const char *text, search_pattern &out);

// When reading a larger file in two steps pays: the first part settles
// enough verdicts to make up for the second read the others cost. Each
// reader keeps its own from file to file.
struct part_odds {
	unsigned long tried = 0, settled = 0;

	bool pay() const { return tried < 256 || settled * 4 >= tried; }
};

// Lists every regular file under subdirs[0] with its verdict on standard
// output, and acts on each match. The files are read and tested ahead of
// the listing on reader threads; the listing, the reports and the
// actions keep the walk's order. The number of matching files, or -1 if
// the walk cannot start. A run that must stop before acting on a match
// (see dispatch_match) ends the process with status 1.
int search_queue(const char *const subdirs[], const search_pattern &pattern);

// 1 when the content of file name in the directory open at dir (or
// AT_FDCWD) matches the pattern, 0 when it does not or cannot be tested
// (unreadable file, pattern that does not compile). What went wrong is
// added to complaints, as the listing writes it: the pattern's own
// complaint once for each file whose text loads. text is the reader's
// buffer, left loaded. With odds, a file larger than a first part is
// read in two steps while that pays; without, it always is.
int match_file(int dir, const char *name, const search_pattern &pattern,
    message_text &text, std::string &complaints, part_odds *odds = nullptr);

// The per-match step for the message file name that the walk found in
// mess/dir ("" for mess itself): yank, delete or expire its message, as
// the settings ask, from the queue directory, then return to the
// working directory it was called in. A message whose file lies where
// the split does not put it is left alone. 0, or 1 when the run must end
// now with status 1, before anything more is acted on: the listing
// cannot be written, or a yank cannot reach the queue directory.
int dispatch_match(const char *name, std::string_view dir);

// Pushes the verdict lines written so far out to standard output. 0, or
// the error number of a write that failed, now or earlier in the run.
int flush_listing();

#endif
