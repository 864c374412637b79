// take_admission.cpp: step 2 of a take (see take.h): the one look at a
// message's files, and whether it may be taken.
#include "queue_ops.h"
#include "settings.h"
#include "take_steps.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace {

spot locate(size_t i, const message_paths &paths)
{
	struct stat st;
	if (lstat_at(paths.split[i], st) == 0 || !split_missing(errno))
		return spot::split;
	return at_flat(paths.flat[i]);
}

// The path of the file the look found in subdirectory i.
const std::string &found_at(size_t i, const message_paths &paths,
    spot where)
{
	return where == spot::flat ? paths.flat[i] : paths.split[i];
}

// Whether a yank of this very message was cut off after its todo or info
// file had moved: the yank directory holds that file, and it belongs to
// this message's mess (envelope_of_text). Only those two count: a
// message yanked before it was queued has neither. And a todo or info
// left there by an earlier message of the same number (qmail reuses
// them) must not let a yank take a message that qmail-queue is writing.
bool partly_yanked(const message_paths &paths, const survey &found)
{
	if (!holds(found[mess_at]))
		return false;
	const std::string &mess = found_at(mess_at, paths, found[mess_at]);
	for (size_t i : {todo_at, info_at})
		if (envelope_of_text(settings.queue_fd, paths.yank[i].c_str(),
		    mess.c_str()))
			return true;
	return false;
}

// Message numbers are inode numbers, and qmail reuses them: a yank path
// that is already taken holds an earlier yanked message. The first such
// path of a file this message has, or none. A yank path that names the
// very file found in the queue is this message's own move, cut off
// between its link and its unlink (see os_rename_no_replace), which the
// move finishes.
const std::string *taken_yank_path(const message_paths &paths,
    const survey &found)
{
	for (size_t i : yank_order) {
		struct stat st;
		if (holds(found[i]) && lstat_at(paths.yank[i], st) == 0 &&
		    !one_file(settings.queue_fd, paths.yank[i].c_str(),
			found_at(i, paths, found[i]).c_str()))
			return &paths.yank[i];
	}
	return nullptr;
}

}  // namespace

int lstat_at(const std::string &path, struct stat &st)
{
	return fstatat(settings.queue_fd, path.c_str(), &st, AT_SYMLINK_NOFOLLOW);
}

// What is at the flat path, where nothing is at the split path: only a
// regular file counts (a link to one too, as stat follows it).
spot at_flat(const std::string &flat)
{
	struct stat st;
	if (fstatat(settings.queue_fd, flat.c_str(), &st, 0) == -1)
		return spot::none;
	return S_ISREG(st.st_mode) ? spot::flat : spot::not_regular;
}

// One look at every subdirectory before anything is touched, in
// look_order: the message's files as the moves will find them.
survey look(const message_paths &paths)
{
	survey found;
	for (size_t i : look_order)
		found[i] = locate(i, paths);
	return found;
}

// Whether the message is queued: qmail-queue links todo as the very last
// step of queuing a message (after mess and intd are written), and
// qmail-send writes info before it removes todo. A message with neither
// is still being written by qmail-queue, or was left half-made by a
// crash, which qmail-send cleans up itself.
bool queued(const survey &found)
{
	return holds(found[todo_at]) || holds(found[info_at]);
}

// Checks a to c of step 2. 0: the message may be taken. -1: it may not,
// how says whether it is left alone or failed, and a line says why.
int admit(operation op, const char *name, const message_paths &paths,
    const survey &found, outcome &how)
{
	const bool yank = op == operation::yank;
	how = outcome::left_alone;
	// A delete cut off after todo and info has left what qmail itself
	// leaves after a crash, mess alone, which qmail-send removes.
	if (!queued(found) && !(yank && partly_yanked(paths, found))) {
		fprintf(stderr, texts_of(op).not_queued, name);
		return -1;
	}
	if (!yank)
		return 0;
	if (const std::string *taken = taken_yank_path(paths, found)) {
		fprintf(stderr, "remove_file(%s): %s already exists\n", name,
		    taken->c_str());
		return -1;
	}
	// Also on a file system that keeps no access times of its own
	// (noatime): the access time is set, not left to the reads.
	if (holds(found[mess_at])) {
		const std::string &mess = found_at(mess_at, paths, found[mess_at]);
		const struct timespec now_and_keep[2] = {{0, UTIME_NOW},
		    {0, UTIME_OMIT}};
		if (utimensat(settings.queue_fd, mess.c_str(), now_and_keep,
		    AT_SYMLINK_NOFOLLOW) == -1) {
			report("utimensat()", errno);
			fprintf(stderr, texts_of(op).stopped, name, mess.c_str());
			how = outcome::failed;
			return -1;
		}
	}
	return 0;
}
