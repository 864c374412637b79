// spoolsift.cpp: the run driver, from the command line to the exit
// status.
#include "revision.h"
#include "search.h"
#include "settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>

[[gnu::used]] static const char rcsid[] =
    "$Id: spoolsift " SPOOLSIFT_REVISION " $";

namespace {

// Without -q: the default queue, entered and kept open for the run.
int open_default_queue()
{
	// O_NONBLOCK: whatever stands there, the open must not hang.
	int fd = open(default_queue, O_RDONLY | O_NONBLOCK);
	if (fd == -1) {
		fprintf(stderr,
		    "no queue directory specified and %s doesn't exist\n",
		    default_queue);
		return -1;
	}
	settings.queue_fd = fd;
	if (fchdir(fd) == -1) {
		perror("fchdir()");
		return -1;
	}
	settings.queue_dir = default_queue;
	return 0;
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

// The moves name the yank directory relative to the queue directory,
// which is the working directory now: check that very directory, so a
// relative queue or an absolute yank_dir cannot pass the check for one
// directory and move into another.
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
	// An empty -p stays empty: only a missing one means "everything".
	const char *pattern =
	    settings.pattern != nullptr ? settings.pattern : default_pattern;
	int found = search_queue(queue_subdirs, pattern);
	if (found >= 0)
		fprintf(stderr, "%d file(s) match\n", found);
	exit(0);
}
