// take.cpp: yank and delete of one message: the driver over the three
// steps take.h lists, and the first of them, the paths.
#include "take.h"

#include "queue_ops.h"
#include "settings.h"
#include "take_steps.h"

#include <cstdio>
#include <cstring>
#include <optional>

namespace {

constexpr twin_texts yank_texts = {
	"remove_file(): no filename\n",
	"remove_file(): unable to create old name\n",
	"remove_file(%s): not a file\n",
	"remove_file(%s): no stat info\n",
	"rename()",
	"remove_file(%s): %s not moved; the message stays in the queue\n",
	"remove_file(%s): not queued yet (no todo or info file), left alone\n",
};

constexpr twin_texts delete_texts = {
	"delete_file(): no filename\n",
	"delete_file(): unable to create old name\n",
	"delete_file(%s): not a file\n",
	"delete_file(%s): no stat info\n",
	"unlink()",
	"delete_file(%s): %s not removed; the rest of the message stays\n",
	"delete_file(%s): not queued yet (no todo or info file), left alone\n",
};

// --- step 1: the paths -------------------------------------------------------

// 0, or -1 with the reason written: a path that cannot be built stops
// the operation before anything is touched.
int paths_of(operation op, unsigned long n, message_paths &paths)
{
	for (size_t i = 0; i < subdir_count; i++) {
		const char *d = queue_subdirs[i];
		if (op == operation::yank) {
			std::optional<std::string> to =
			    mk_newpath(settings.yank_dir, d, n);
			if (!to) {
				say_no_path("mk_newpath(): invalid queue\n");
				fputs("remove_file(): unable to create new name\n",
				    stderr);
				return -1;
			}
			paths.yank[i] = std::move(*to);
		}
		std::optional<std::string> from = mk_oldpath(d, n, settings.split);
		if (!from) {
			say_no_path(nullptr);
			fputs(texts_of(op).no_old_name, stderr);
			return -1;
		}
		paths.split[i] = std::move(*from);
		std::optional<std::string> flat = mk_flatpath(d, n);
		if (!flat) {
			say_no_path(nullptr);
			return -1;
		}
		paths.flat[i] = std::move(*flat);
	}
	return 0;
}

// --- the driver --------------------------------------------------------------

// The three steps. The files taken, or -1; how says what became of the
// message.
int take_message(operation op, const char *name, outcome &how)
{
	how = outcome::failed;
	if (name == nullptr) {
		fputs(texts_of(op).no_filename, stderr);
		return -1;
	}
	const unsigned long n = message_number(name);
	if (n == 0) {
		how = outcome::left_alone;
		return -1;
	}
	message_paths paths;
	if (paths_of(op, n, paths) == -1)
		return -1;

	// From the look to the last move: a message is never split
	// between the queue and its end by a signal.
	const signals_held held;
	const survey found = look(paths);
	if (admit(op, name, paths, found, how) == -1)
		return -1;

	// With qmail-send stopped and kept from starting, nothing but this
	// run changes a queued message's files, and the look holds. A
	// running qmail-send may add or remove one since, and qmail-queue
	// may still link the todo of a message that is not queued: then
	// each subdirectory is looked at again.
	const bool trusted = run.send_lock_held && queued(found);
	const int count = move_all(op, name, paths, found, trusted);
	// Nothing found to take: qmail finished the message meanwhile.
	how = count > 0 ? outcome::acted
	    : count == 0 ? outcome::left_alone : outcome::failed;
	return count;
}

}  // namespace

const twin_texts &texts_of(operation op)
{
	return op == operation::yank ? yank_texts : delete_texts;
}

void report(const char *call, int error)
{
	fprintf(stderr, "%s: %s\n", call, strerror(error));
}

int remove_file(const char *name)
{
	outcome how;
	int taken = take_message(operation::yank, name, how);
	tally(how);
	return taken;
}

int delete_file(const char *name)
{
	outcome how;
	int taken = take_message(operation::unlink, name, how);
	tally(how);
	return taken;
}
