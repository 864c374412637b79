// content_match.h: the content test of one message file: the run's
// pattern, compiled once, against the file's text, read in up to two
// steps. Used by the readers of read_ahead and, where no reader has a
// file, by the listing itself.
#ifndef SPOOLSIFT_CONTENT_MATCH_H
#define SPOOLSIFT_CONTENT_MATCH_H

#include "message_text.h"
#include "pattern/matcher.h"

#include <string>

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

// 1 when the content of file name in the directory open at dir (or
// AT_FDCWD) matches the pattern, 0 when it does not or cannot be tested
// (unreadable file, pattern that does not compile). What went wrong is
// added to complaints, as the listing writes it: the pattern's own
// complaint once for each file whose text loads. text is the reader's
// buffer, left loaded. With odds, a file larger than a first part is
// read in two steps while that pays; without, it always is.
int match_file(int dir, const char *name, const search_pattern &pattern,
    message_text &text, std::string &complaints, part_odds *odds = nullptr);

#endif
