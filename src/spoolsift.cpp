// spoolsift.cpp: the run driver, from the command line to the exit
// status.
#include "revision.h"
#include "search.h"
#include "settings.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <sys/file.h>
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
// must lie outside mess, or the walk would list and act on what it has
// just yanked.
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
	struct stat mess;
	unique_fd yank(open(settings.yank_dir,
	    O_PATH | O_DIRECTORY | O_CLOEXEC));
	if (lstat(queue_subdirs[0], &mess) == 0 && S_ISDIR(mess.st_mode) &&
	    yank && lies_within(yank.get(), mess.st_dev, mess.st_ino)) {
		fprintf(stderr, "FATAL: yank_dir [%s] is inside the queue's "
		    "mess directory.\n", name->c_str());
		return -1;
	}
	return 0;
}

// qmail-send holds an exclusive lock on lock/sendmutex for its whole
// life (flock where it has it, lockf elsewhere): that is how it refuses
// to start twice. Before a yank or delete, find out whether it runs, and
// say so: it keeps the messages it knows in memory, and would go on
// trying the ones taken from under it. When it does not run, take the
// lock and keep it until the run ends (the descriptor is never closed):
// a qmail-send started meanwhile then stops with its own "already
// running" alert instead of reading a queue that is being changed, and
// the operations may trust what they have seen of a message (qmail's
// Linux builds lock with flock, as this does). A missing or unreadable
// lock file says nothing either way.
void hold_send_lock()
{
	int fd = open("lock/sendmutex",
	    O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
	if (fd == -1)
		return;
	struct flock other = {};
	other.l_type = F_WRLCK;
	other.l_whence = SEEK_SET;
	bool locked = flock(fd, LOCK_EX | LOCK_NB) == 0;
	bool running = !locked && errno == EWOULDBLOCK;
	if (!running && fcntl(fd, F_GETLK, &other) == 0)
		running = other.l_type != F_UNLCK;
	if (running) {
		fputs("warning: qmail-send is running; stop it before -r or -d "
		      "(-x and -X are safe while it runs)\n", stderr);
		close(fd);
		return;
	}
	settings.send_lock_held = locked;
}

// Compiles the pattern, runs the search and writes the count: the exit
// status of the run. (A function of its own, so that the compiled pattern
// is released before the process ends.)
int search_and_count()
{
	// An empty -p stays empty: only a missing one means "everything".
	// A pattern that does not compile is not fatal: each file the walk
	// loads says so, and nothing matches.
	search_pattern pattern;
	compile_pattern(settings.pattern != nullptr ? settings.pattern
						    : default_pattern, pattern);
	int found = search_queue(queue_subdirs, pattern);
	// The count comes last, also when both channels go to one file.
	int failure = flush_listing();
	if (found >= 0)
		fprintf(stderr, "%d file(s) match\n", found);
	if (failure != 0) {
		fprintf(stderr, "spoolsift: write error on standard output: "
		    "%s\n", strerror(failure));
		return 1;
	}
	return 0;
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
	if (settings.do_yank == 1 && check_yank_dir() == -1)
		exit(1);
	if (settings.do_yank == 1 || settings.do_delete == 1)
		hold_send_lock();
	exit(search_and_count());
}
