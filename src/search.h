// search.h: the walk of the queue's "mess" directory, the content test
// of each message file, and the action on each match. Paths are relative
// to the working directory, which the walker moves as it descends.
#ifndef SPOOLSIFT_SEARCH_H
#define SPOOLSIFT_SEARCH_H

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
// enough verdicts to make up for the second read the others cost. Kept
// by the walk from file to file.
struct part_odds {
	unsigned long tried = 0, settled = 0;

	bool pay() const { return tried < 256 || settled * 4 >= tried; }
};

// Lists every regular file under subdirs[0] with its verdict on standard
// output, and acts on each match. The number of matching files, or -1 if
// the walk cannot start.
int search_queue(const char *const subdirs[], const search_pattern &pattern);

// 1 when the file's content matches the pattern, 0 when it does not or
// cannot be tested (unreadable file, pattern that does not compile: its
// complaint is written for each file loaded). With odds, a file larger
// than a first part is read in two steps while that pays; without, it
// always is.
int match_file(const char *path, const search_pattern &pattern,
    part_odds *odds = nullptr);

// The per-match step for the message file name that the walk found in
// mess/dir ("" for mess itself): yank, delete or expire its message, as
// the settings ask, from the queue directory, then return to the
// walker's directory. A message whose file lies where the split does not
// put it is left alone; a listing that cannot be written ends the run
// before anything more is acted on.
void dispatch_match(const char *name, std::string_view dir);

// Pushes the verdict lines written so far out to standard output. 0, or
// the error number of a write that failed, now or earlier in the run.
int flush_listing();

#endif
