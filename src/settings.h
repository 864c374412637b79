// settings.h: the run settings, option parsing, entering the queue
// directory and the usage text. The queue's subdirectories are in
// queue_layout.h; what a run holds and finds out as it goes (the locks,
// the outcomes) in run_state.h.
//
// The settings are one process-wide record. Option parsing writes it,
// and the driver completes it with the default queue; from the start of
// the search on every stage only reads it.
#ifndef SPOOLSIFT_SETTINGS_H
#define SPOOLSIFT_SETTINGS_H

#include <cstdint>

// What a run does with each match. One at most: -r wins over -d, and -d
// over -x and -X.
enum class run_action { none, yank, remove, expire };

struct run_settings {
	const char *queue_dir = nullptr;	// as given, for the yank-dir check
	int queue_fd = -1;			// open queue directory, -1: not yet
	const char *pattern = nullptr;		// nullptr: the default pattern
	unsigned regex_flags = 0;		// REG_EXTENDED, REG_ICASE
	int64_t max_bytes = 0;			// leading bytes searched, <= 0: all
	int32_t split = 23;			// qmail's conf-split
	const char *yank_dir = "yanked";	// relative to the queue directory
	int verbose = 0;			// only 2 or more changes anything
	int do_yank = 0;			// flags are tested for exactly 1
	int do_delete = 0;
	int do_expire = 0;
	int64_t expire_secs = 604800;		// shift into the past, seconds
	int64_t expire_when = 0;		// absolute time; <= 0: shift mode
	run_action action = run_action::none;	// from the three flags, once
						// the options are read
};

extern run_settings settings;

inline constexpr const char default_queue[] = "/var/qmail/queue";
inline constexpr const char default_pattern[] = ".*";

// Fills the settings from the command line, in order; -q already opens
// and enters the queue. Then decides the run's action. A word left after
// the options of a run that acts is refused. 0: go on. 1: the run must
// end with status 1, its message or the usage text is written.
int parse_options(int argc, char *argv[]);

// Opens the queue directory dir, makes it the working directory, and
// records it: queue_fd (set once open, kept to the end of the process)
// and queue_dir. The caller says what failed, errno tells why.
enum class queue_entry { entered, not_opened, not_entered };
queue_entry enter_queue(const char *dir);

// -q dir: opens and enters the queue at once, so a later option that
// fails leaves the process in it, and a second -q is named from the
// first. 0, or -1 with perror's line for the call that failed.
int enter_queue_option(const char *dir);

// Without -q: enters the default queue. 0, or -1 with the message
// written; whatever keeps the queue from being opened, the message says
// it is not there.
int enter_default_queue();

// -s: the split from arg, its low 32 bits as a signed number. 0, or -1
// with "invalid split value" written for what reads as all ones or as 0.
int parse_split(const char *arg);

// Reads a -x date into seconds since the epoch, local time. 0 with
// *when set, or -1 with the error message written.
int parse_expire_date(const char *arg, int64_t *when);

void write_usage();		// the usage text, to standard error
[[noreturn]] void usage();	// the usage text, then exit status 1

#endif
