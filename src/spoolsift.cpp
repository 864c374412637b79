// spoolsift.cpp: the run driver, from the command line to the exit
// status.
#include "os.h"
#include "queue_layout.h"
#include "queue_locks.h"
#include "revision.h"
#include "run_state.h"
#include "search.h"
#include "settings.h"
#include "yank_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>

[[gnu::used]] static const char rcsid[] =
    "$Id: spoolsift " SPOOLSIFT_REVISION " $";

namespace {

// Whether the pattern of a run that acts would take every message by
// mistake: one that matches any text at all (an empty -p from an unset
// variable, 'prize|', '^') stands for a pattern the administrator did
// not mean. Such a pattern matches the empty text, a lone newline and a
// lone other byte. Only '.*' itself says "every message", as a missing
// -p does.
bool takes_every_message(const char *text, const search_pattern &pattern)
{
	if (text == nullptr || strcmp(text, default_pattern) == 0 ||
	    !pattern.error.empty())
		return false;
	for (const char *probe : {"", "\n", "\x01"})
		if (pattern.compiled.matches(probe, strlen(probe)) != 1)
			return false;
	return true;
}

// The past participle of the run's action, for the tally; none for a
// listing.
const char *action_done()
{
	switch (settings.action) {
	case run_action::yank:
		return "yanked";
	case run_action::remove:
		return "deleted";
	case run_action::expire:
		return "expired";
	case run_action::none:
		break;
	}
	return nullptr;
}

// What must hold before a run changes anything, in this order: a pattern
// that means what it says, the yank directory, no other run changing the
// queue, and (for yank and delete) no qmail-send running. 0, or -1 with
// the refusal written.
int ready_to_act(const search_pattern &pattern)
{
	if (takes_every_message(settings.pattern, pattern)) {
		fprintf(stderr, "pattern [ %s ] matches every message; to act "
		    "on every message, give -p '.*'\n", settings.pattern);
		return -1;
	}
	if (settings.action == run_action::yank && check_yank_dir() == -1)
		return -1;
	if (take_run_lock(settings.queue_fd) == -1)
		return -1;
	if ((settings.action == run_action::yank ||
	    settings.action == run_action::remove) &&
	    hold_send_lock(settings.queue_fd,
		"-r or -d (-x and -X are safe while it runs)") == -1)
		return -1;
	return 0;
}

// Compiles the pattern, makes sure the run may act, runs the search and
// writes the tally and the count: the exit status of the run. (A
// function of its own, so that the compiled pattern is released before
// the process ends.)
int search_and_count()
{
	// An empty -p stays empty: only a missing one means "everything".
	// A pattern that does not compile is not fatal: each file the walk
	// loads says so, nothing matches, and the status says the search
	// did not happen.
	search_pattern pattern;
	if (compile_pattern(settings.pattern != nullptr ? settings.pattern
	    : default_pattern, pattern) != 0)
		run.search_incomplete = true;
	const char *done = action_done();
	if (done != nullptr && ready_to_act(pattern) == -1)
		return 1;
	int found = search_queue(queue_subdirs, pattern);
	// The count comes last, also when both channels go to one file.
	int failure = flush_listing();
	if (done != nullptr)
		write_tally(done);
	if (found >= 0)
		fprintf(stderr, "%d file(s) match\n", found);
	if (failure != 0) {
		fprintf(stderr, "spoolsift: write error on standard output: "
		    "%s\n", strerror(failure));
		return 1;
	}
	return run_status();
}

}  // namespace

int main(int argc, char *argv[])
{
	os_set_program_name(argc > 0 ? argv[0] : nullptr);
	if (argc < 2)
		usage();
	if (parse_options(argc, argv) != 0)
		exit(1);
	// From here on the queue is the working directory, and queue_fd
	// stays open until the process ends.
	if (settings.queue_fd == -1 && enter_default_queue() == -1)
		exit(1);
	exit(search_and_count());
}
