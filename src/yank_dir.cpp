// yank_dir.cpp: the yank directory's start-up check.
#include "yank_dir.h"

#include "os.h"
#include "queue_layout.h"
#include "settings.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <new>
#include <optional>
#include <string>

namespace {

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
		    os_dir_handle | O_DIRECTORY | O_CLOEXEC));
		struct stat up;
		if (!parent || fstat(parent.get(), &up) == -1 ||
		    (up.st_dev == st.st_dev && up.st_ino == st.st_ino))
			return false;	// the root: not within
		dir = std::move(parent);
	}
	return false;
}

}  // namespace

// The moves name the yank directory relative to the queue directory,
// which is the working directory now: check that very directory, so a
// relative queue or an absolute yank_dir cannot pass the check for one
// directory and move into another. It must be able to take every file
// of a message by rename, so it shares the queue's file system; and it
// must lie outside the queue's message subdirectories: inside mess the
// walk would list and act on what it has just yanked, and qmail counts
// or reads what lies in the others (qmail-qstat counts todo's entries
// as messages not yet processed). Nor may it be in pid, from which
// qmail-clean unlinks every file that has not been read for 36 hours.
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
	    os_dir_handle | O_DIRECTORY | O_CLOEXEC));
	std::array<const char *, subdir_count + 1> kept_out;
	std::copy_n(queue_subdirs, subdir_count, kept_out.begin());
	kept_out.back() = "pid";
	for (const char *d : kept_out) {
		struct stat sub;
		if (yank && lstat(d, &sub) == 0 && S_ISDIR(sub.st_mode) &&
		    lies_within(yank.get(), sub.st_dev, sub.st_ino)) {
			fprintf(stderr, "FATAL: yank_dir [%s] is inside the "
			    "queue's %s directory.\n", name->c_str(), d);
			return -1;
		}
	}
	return 0;
}
