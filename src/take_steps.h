// take_steps.h: the three steps of a take (see take.h), shared between
// take.cpp (the driver and step 1), take_admission.cpp (step 2) and
// take_moves.cpp (step 3). Internal to the take.
#ifndef SPOOLSIFT_TAKE_STEPS_H
#define SPOOLSIFT_TAKE_STEPS_H

#include "queue_layout.h"
#include "run_state.h"

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <string>

enum class operation { yank, unlink };

// What yank and delete say: one algorithm, two sets of words.
struct twin_texts {
	const char *no_filename;
	const char *no_old_name;
	const char *not_a_file;		// %s: the path
	const char *no_stat_info;	// %s: the path
	const char *failed_call;	// as perror names it
	const char *stopped;		// %s: the name, %s: the path that failed
	const char *not_queued;		// %s: the name
};

const twin_texts &texts_of(operation op);

// What perror(call) writes for error.
void report(const char *call, int error);

// Step 1: one message's paths in every queue subdirectory, indexed like
// queue_subdirs; 0, or -1 with the reason written.
struct message_paths {
	std::array<std::string, subdir_count> split;
	std::array<std::string, subdir_count> flat;
	std::array<std::string, subdir_count> yank;	// yank only
};

// Where a look at one subdirectory found the message's file. A split
// path that runs through something other than a directory (ENOTDIR: in
// a flat subdirectory, the file of the message whose number is the hash
// directory's) holds nothing, as a missing one; any other failure there
// (a hash directory that cannot be searched) is left for the move to
// meet and report.
enum class spot {
	split,		// at the split path, or something is in the way there
	flat,		// a regular file at the flat path, none at the split
	none,		// nothing at either path
	not_regular,	// nothing at the split path, no regular file flat
	unknown,	// not looked at, or no longer to be trusted
};

using survey = std::array<spot, subdir_count>;

inline bool split_missing(int error)
{
	return error == ENOENT || error == ENOTDIR;
}

inline bool holds(spot where)
{
	return where == spot::split || where == spot::flat;
}

// lstat of path in the queue directory.
int lstat_at(const std::string &path, struct stat &st);

// What is at the flat path, where nothing is at the split path.
spot at_flat(const std::string &flat);

// Step 2: the one look at every subdirectory, in look_order; whether it
// found the message queued; and the admission (checks a to c of take.h):
// 0, or -1 with how set and a line written.
survey look(const message_paths &paths);
bool queued(const survey &found);
int admit(operation op, const char *name, const message_paths &paths,
    const survey &found, outcome &how);

// Step 3: the moves, trusting what the look found only when trusted.
// The files taken, or -1 when one could not be, after the rollback.
int move_all(operation op, const char *name, const message_paths &paths,
    const survey &found, bool trusted);

#endif
