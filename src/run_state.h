// run_state.h: what a run holds and finds out as it goes, as opposed to
// the settings, which the command line fixes before it starts: the
// locks it keeps to its end, what became of each matching message, and
// whether anything kept it from doing all it was asked. The exit status
// is worked out from this record.
#ifndef SPOOLSIFT_RUN_STATE_H
#define SPOOLSIFT_RUN_STATE_H

// What became of one matching message under an action.
enum class outcome {
	acted,		// yanked, deleted or expired
	left_alone,	// deliberately not touched; a line said why
	failed,		// the action was tried and did not happen
};

struct run_state {
	// lock/sendmutex is ours for the rest of the run: no qmail-send can
	// run, and nothing but this run changes a queued message's files.
	bool send_lock_held = false;
	// Matching messages by outcome, with an action.
	int acted = 0, left_alone = 0, failed = 0;
	// Something the search was asked to look at was not looked at: the
	// pattern does not compile, or part of mess could not be walked.
	bool search_incomplete = false;
};

extern run_state run;

// Counts one matching message's outcome.
void tally(outcome how);

// The line that sums up the outcomes, for the action's past participle
// ("yanked", "deleted", "expired"), to standard error.
void write_tally(const char *done);

// 0 when the run did everything it was asked, else 1.
int run_status();

#endif
