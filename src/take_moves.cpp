// take_moves.cpp: step 3 of a take (see take.h): the ordered moves, the
// rule of what may be trusted, and the rollback.
#include "queue_ops.h"
#include "settings.h"
#include "take_steps.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

// The operation itself on one source path, and its report line. 1: done.
// 0: there is nothing at from. -1: it failed, and the failing call is
// reported.
int act_on(operation op, const std::string &from, const std::string &to)
{
	const int q = settings.queue_fd;
	if (op == operation::yank
		? rename_no_replace(q, from.c_str(), to.c_str()) == 0
		: unlinkat(q, from.c_str(), 0) == 0) {
		if (op == operation::yank)
			fprintf(stderr, "moved %s to %s\n", from.c_str(),
			    to.c_str());
		else
			fprintf(stderr, "remove %s\n", from.c_str());
		return 1;
	}
	// Whether the file is there decides what the failure was: Linux
	// checks the file system and the target directory before it looks
	// for the source, so a missing file can come back as EXDEV or
	// EROFS, and a file that is there as ENOENT when the yank directory
	// has gone.
	const int failure = errno;
	struct stat st;
	if (lstat_at(from, st) == -1 && split_missing(errno))
		return 0;
	report(texts_of(op).failed_call, failure);
	return -1;
}

// Takes the file of the message in subdirectory i from where step 2
// found it, or, where is unknown, looks as it goes: the split path is
// tried first, whatever it is; only when it is missing does the flat
// path count, and then only a regular file. 1: taken from *from. 0: the
// message has no file there. -1: the file at *from could not be taken.
int take_one(operation op, size_t i, const message_paths &paths, spot where,
    const std::string **from)
{
	const twin_texts &t = texts_of(op);
	const std::string &split = paths.split[i];
	const std::string &flat = paths.flat[i];
	*from = &split;
	if (where == spot::split || where == spot::unknown) {
		int done = act_on(op, split, paths.yank[i]);
		if (done != 0)
			return done;
		where = spot::unknown;	// gone since the look: look again
	}
	// Nothing at the split path: the subdirectory may be flat. A missing
	// file is normal here, as most messages have files in only some
	// subdirectories.
	if (settings.verbose >= 2)
		fprintf(stderr, t.not_a_file, split.c_str());
	if (where == spot::unknown)
		where = at_flat(flat);
	if (where == spot::none) {
		if (settings.verbose >= 2)
			fprintf(stderr, t.no_stat_info, flat.c_str());
		return 0;
	}
	if (where == spot::not_regular) {
		if (settings.verbose >= 2)
			fprintf(stderr, t.not_a_file, flat.c_str());
		return 0;
	}
	*from = &flat;
	return act_on(op, flat, paths.yank[i]);	// gone since the stat: 0
}

// Where each file of a yank came from (none: nothing was moved there).
using moved_from = std::array<const std::string *, subdir_count>;

// A yank that cannot move one file puts back the ones it moved, newest
// first, so the message stays whole in the queue; each move back is
// reported like any move, so the report lines always say where every
// file is. Each refuses to replace: a file that appeared at the queue
// path meanwhile is not ours to overwrite, and then the yanked file stays
// where it is, and the line says so. Whether every file is back.
bool move_back(const char *name, const moved_from &moved,
    const message_paths &paths)
{
	bool all_back = true;
	for (size_t k = subdir_count; k-- > 0;) {
		size_t i = yank_order[k];
		if (moved[i] == nullptr)
			continue;
		const char *yanked = paths.yank[i].c_str();
		const char *home = moved[i]->c_str();
		if (rename_no_replace(settings.queue_fd, yanked, home) == 0) {
			fprintf(stderr, "moved %s to %s\n", yanked, home);
			continue;
		}
		perror("rename()");
		fprintf(stderr, "remove_file(%s): could not move %s back to "
		    "%s\n", name, yanked, home);
		all_back = false;
	}
	return all_back;
}

}  // namespace

// The files taken, or -1 when one could not be, after the rollback.
int move_all(operation op, const char *name, const message_paths &paths,
    const survey &found, bool trusted)
{
	const visit_order &order =
	    op == operation::yank ? yank_order : delete_order;
	moved_from moved{};
	int count = 0;
	for (size_t i : order) {
		const spot where = trusted ? found[i] : spot::unknown;
		const std::string *from = nullptr;
		int taken = take_one(op, i, paths, where, &from);
		if (taken == -1) {
			if (op == operation::yank && !move_back(name, moved, paths))
				fprintf(stderr, "remove_file(%s): %s not moved; the "
				    "message is split between the queue and %s, as "
				    "the lines above say\n", name, from->c_str(),
				    settings.yank_dir);
			else
				fprintf(stderr, texts_of(op).stopped, name,
				    from->c_str());
			return -1;
		}
		if (taken == 1) {
			moved[i] = from;
			count++;
		}
	}
	return count;
}


