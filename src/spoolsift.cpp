// spoolsift.cpp: the run driver, from the command line to the exit
// status.
#include "queue_layout.h"
#include "queue_locks.h"
#include "revision.h"
#include "run_state.h"
#include "search.h"
#include "settings.h"
#include "unique_fd.h"

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

// Without -q: the default queue. Whatever keeps it from being opened,
// the message says it is not there.
int open_default_queue()
{
	switch (enter_queue(default_queue)) {
	case queue_entry::entered:
		return 0;
	case queue_entry::not_opened:
		fprintf(stderr,
		    "no queue directory specified and %s doesn't exist\n",
		    default_queue);
		return -1;
	case queue_entry::not_entered:
		perror("fchdir()");
		return -1;
	}
	return -1;
}

// The name the yank-directory messages show: yank_dir itself when it
// is absolute, else as seen from where the queue was named.
std::optional<std::string> yank_dir_name()
{
	try {
		if (settings.yank_dir[0] == '/')
			return std::string(settings.yank_dir);
		return std::string(settings.queue_dir) + "/" + settings.yank_dir;
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		perror("malloc()");
		return std::nullopt;
	}
}

// Whether directory fd is the directory at (dev, ino) or lies anywhere
// below it, found by climbing "..": links and bind mounts lead to the
// same identities. A climb that cannot go on says no.
bool lies_within(int fd, dev_t dev, ino_t ino)
{
	unique_fd dir(fcntl(fd, F_DUPFD_CLOEXEC, 0));
	for (int depth = 0; dir && depth < 4096; depth++) {
		struct stat st;
		if (fstat(dir.get(), &st) == -1)
			return false;
		if (st.st_dev == dev && st.st_ino == ino)
			return true;
		unique_fd parent(openat(dir.get(), "..",
		    O_PATH | O_DIRECTORY | O_CLOEXEC));
		struct stat up;
		if (!parent || fstat(parent.get(), &up) == -1 ||
		    (up.st_dev == st.st_dev && up.st_ino == st.st_ino))
			return false;	// the root: not within
		dir = std::move(parent);
	}
	return false;
}

// The moves name the yank directory relative to the queue directory,
// which is the working directory now: check that very directory, so a
// relative queue or an absolute yank_dir cannot pass the check for one
// directory and move into another. It must be able to take every file
// of a message by rename, so it shares the queue's file system; and it
// must lie outside the queue's message subdirectories: inside mess the
// walk would list and act on what it has just yanked, and qmail counts
// or reads what lies in the others (qmail-qstat counts todo's entries
// as messages not yet processed).
int check_yank_dir()
{
	std::optional<std::string> name = yank_dir_name();
	if (!name)
		return -1;
	struct stat st;
	if (stat(settings.yank_dir, &st) == -1) {
		if (errno == ENOENT)
			fprintf(stderr,
			    "FATAL: yank_dir [%s] does not exist, you must "
			    "create it first.\n",
			    name->c_str());
		else
			perror("stat(yank_dir)");
		return -1;
	}
	if (!S_ISDIR(st.st_mode)) {
		fprintf(stderr, "FATAL: yank_dir [%s] is not a directory.\n",
		    name->c_str());
		return -1;
	}
	struct stat queue;
	if (fstat(settings.queue_fd, &queue) == 0 && queue.st_dev != st.st_dev) {
		fprintf(stderr, "FATAL: yank_dir [%s] is on another file system "
		    "than the queue.\n", name->c_str());
		return -1;
	}
	unique_fd yank(open(settings.yank_dir,
	    O_PATH | O_DIRECTORY | O_CLOEXEC));
	for (size_t i = 0; yank && queue_subdirs[i] != nullptr; i++) {
		struct stat sub;
		if (lstat(queue_subdirs[i], &sub) == 0 && S_ISDIR(sub.st_mode) &&
		    lies_within(yank.get(), sub.st_dev, sub.st_ino)) {
			fprintf(stderr, "FATAL: yank_dir [%s] is inside the "
			    "queue's %s directory.\n", name->c_str(),
			    queue_subdirs[i]);
			return -1;
		}
	}
	return 0;
}

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
	    hold_send_lock(settings.queue_fd) == -1)
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
	if (argc < 2)
		usage();
	if (parse_options(argc, argv) != 0)
		exit(1);
	// From here on the queue is the working directory, and queue_fd
	// stays open until the process ends.
	if (settings.queue_fd == -1 && open_default_queue() == -1)
		exit(1);
	exit(search_and_count());
}
