// search.h: the search of the queue's "mess" directory: the listing of
// every file with its verdict, in walk order, and the dispatch of each
// match to the run's action.
#ifndef SPOOLSIFT_SEARCH_H
#define SPOOLSIFT_SEARCH_H

#include "content_match.h"

#include <string_view>

// Lists every regular file under subdirs[0] with its verdict on standard
// output, and acts on each match. The files are read and tested ahead of
// the listing on reader threads (read_ahead.h); the listing, the reports
// and the actions keep the walk's order. The number of matching files,
// or -1 if the walk cannot start. A run that must stop before acting on
// a match (see dispatch_match) ends the process with status 1.
int search_queue(const char *const subdirs[], const search_pattern &pattern);

// The per-match step for the message file name that the walk found in
// mess/dir ("" for mess itself): yank, delete or expire its message, as
// the run's action says. A message whose file lies where the split does
// not put it is left alone (check_split_dir). 0, or 1 when the run must
// end now with status 1, before anything more is acted on: the listing
// cannot be written.
int dispatch_match(const char *name, std::string_view dir);

// The walk found message file name in mess/dir ("" for mess itself):
// 0 when that is where the operations look for it, -1 (with the message
// written) when the split puts the message elsewhere, so that acting on
// it would take files of the wrong paths or only some of them, or when
// for a file directly in mess another file stands at the split path,
// which the operations would take instead. A name that is no message
// number passes: the operation itself refuses it.
int check_split_dir(const char *name, std::string_view dir);

// Pushes the verdict lines written so far out to standard output. 0, or
// the error number of a write that failed, now or earlier in the run.
int flush_listing();

#endif
