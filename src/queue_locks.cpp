// queue_locks.cpp: the run lock and qmail-send's lock.
#include "queue_locks.h"

#include "run_state.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

int take_run_lock(int queue_fd)
{
	// Held through queue_fd, which stays open until the process ends.
	if (flock(queue_fd, LOCK_EX | LOCK_NB) == 0)
		return 0;
	if (errno == EWOULDBLOCK) {
		fputs("FATAL: another spoolsift run is changing this queue; "
		      "wait for it to end.\n", stderr);
		return -1;
	}
	// A file system without flock: nothing keeps another run out, but
	// nothing says one is there.
	perror("flock()");
	return 0;
}

// qmail-send locks lock/sendmutex with flock where it has it, with lockf
// (an fcntl lock) elsewhere: a lock of either kind means it runs. The
// descriptor of a lock taken here is never closed: the lock goes with
// the process.
int hold_send_lock(int queue_fd, const char *stop_before)
{
	int fd = openat(queue_fd, "lock/sendmutex",
	    O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
	if (fd == -1)
		return 0;
	struct flock other = {};
	other.l_type = F_WRLCK;
	other.l_whence = SEEK_SET;
	bool locked = flock(fd, LOCK_EX | LOCK_NB) == 0;
	bool running = !locked && errno == EWOULDBLOCK;
	if (!running && fcntl(fd, F_GETLK, &other) == 0)
		running = other.l_type != F_UNLCK;
	if (running) {
		fprintf(stderr, "FATAL: qmail-send is running (it holds "
		    "lock/sendmutex); stop it before %s.\n", stop_before);
		close(fd);
		return -1;
	}
	run.send_lock_held = locked;
	if (!locked)
		close(fd);
	return 0;
}
