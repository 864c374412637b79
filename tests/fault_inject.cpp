// fault_inject.cpp: a library the tests preload into the tool
// (LD_PRELOAD) to make the calls that change the queue fail or end the
// process at a chosen point. Only the test suite builds and loads it.
//
// The calls counted are rename, renameat, renameat2, link, linkat, unlink
// and unlinkat, numbered from 1 in the order they are made: where the
// system layer moves a file by link and unlink (test::calls_per_move),
// each move is two steps, and a kill between them is one of the points. SPOOLSIFT_FAULT_AT lists the
// numbers to act on (comma-separated); SPOOLSIFT_FAULT says how:
//   kill  the call is made, then the process is killed with SIGKILL, as
//         the OOM killer or a power cut would end it;
//   eio   the call is not made and fails with EIO;
//   stop  the process stops itself (SIGSTOP) before the call, so that a
//         test can look at the world in the middle of a run, then
//         continue it with SIGCONT.
// With SPOOLSIFT_FAULT_COUNT set to a file name, a process that ends
// normally writes how many calls it counted there.
//
// Not counted: SPOOLSIFT_FAULT=utimensat makes every utimensat fail, and
// SPOOLSIFT_FAULT=readdir every read of the entries of the directory
// SPOOLSIFT_FAULT_DIR names (getdents64, readdir), with EIO, as on a
// damaged disk.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

long calls;

// Whether this call is one to act on.
bool chosen(long n)
{
	const char *at = getenv("SPOOLSIFT_FAULT_AT");
	while (at != nullptr && *at != '\0') {
		char *end;
		long k = strtol(at, &end, 10);
		if (end == at)
			return false;
		if (k == n)
			return true;
		at = *end == ',' ? end + 1 : end;
	}
	return false;
}

bool fault_is(const char *what)
{
	const char *how = getenv("SPOOLSIFT_FAULT");
	return how != nullptr && strcmp(how, what) == 0;
}

template <typename F>
F real(const char *name)
{
	return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// Runs call() as the n-th counted call, with the fault chosen for it.
template <typename Call>
int counted(Call call)
{
	const long n = ++calls;
	if (!chosen(n))
		return call();
	if (fault_is("stop")) {
		raise(SIGSTOP);
		return call();
	}
	if (!fault_is("kill")) {
		errno = EIO;
		return -1;
	}
	int rc = call();
	kill(getpid(), SIGKILL);
	return rc;
}

[[gnu::destructor]] void write_count()
{
	const char *path = getenv("SPOOLSIFT_FAULT_COUNT");
	if (path == nullptr)
		return;
	if (FILE *f = fopen(path, "w")) {
		fprintf(f, "%ld\n", calls);
		fclose(f);
	}
}

// Whether fd is the directory SPOOLSIFT_FAULT_DIR names, under
// SPOOLSIFT_FAULT=readdir.
bool unreadable_dir(int fd)
{
	const char *path = getenv("SPOOLSIFT_FAULT_DIR");
	struct stat chosen_dir, this_dir;
	return fault_is("readdir") && path != nullptr &&
	    stat(path, &chosen_dir) == 0 && fstat(fd, &this_dir) == 0 &&
	    chosen_dir.st_dev == this_dir.st_dev &&
	    chosen_dir.st_ino == this_dir.st_ino;
}

}  // namespace

extern "C" {

int rename(const char *from, const char *to)
{
	static auto next = real<int (*)(const char *, const char *)>("rename");
	return counted([&] { return next(from, to); });
}

int renameat(int fd1, const char *from, int fd2, const char *to)
{
	static auto next =
	    real<int (*)(int, const char *, int, const char *)>("renameat");
	return counted([&] { return next(fd1, from, fd2, to); });
}

int renameat2(int fd1, const char *from, int fd2, const char *to,
    unsigned flags)
{
	static auto next = real<int (*)(int, const char *, int, const char *,
	    unsigned)>("renameat2");
	return counted([&] { return next(fd1, from, fd2, to, flags); });
}

int link(const char *from, const char *to)
{
	static auto next = real<int (*)(const char *, const char *)>("link");
	return counted([&] { return next(from, to); });
}

int linkat(int fd1, const char *from, int fd2, const char *to, int flags)
{
	static auto next =
	    real<int (*)(int, const char *, int, const char *, int)>("linkat");
	return counted([&] { return next(fd1, from, fd2, to, flags); });
}

int unlink(const char *path)
{
	static auto next = real<int (*)(const char *)>("unlink");
	return counted([&] { return next(path); });
}

int unlinkat(int fd, const char *path, int flags)
{
	static auto next = real<int (*)(int, const char *, int)>("unlinkat");
	return counted([&] { return next(fd, path, flags); });
}

// Not counted: reading the entries of SPOOLSIFT_FAULT_DIR fails.
ssize_t getdents64(int fd, void *buf, size_t size)
{
	static auto next = real<ssize_t (*)(int, void *, size_t)>("getdents64");
	if (unreadable_dir(fd)) {
		errno = EIO;
		return -1;
	}
	return next(fd, buf, size);
}

struct dirent *readdir(DIR *stream)
{
	static auto next = real<struct dirent *(*)(DIR *)>("readdir");
	if (unreadable_dir(dirfd(stream))) {
		errno = EIO;
		return nullptr;
	}
	return next(stream);
}

// Not counted: with SPOOLSIFT_FAULT=utimensat every call fails with
// EPERM, as on a file whose owner the run is not.
int utimensat(int fd, const char *path, const struct timespec times[2],
    int flags)
{
	static auto next = real<int (*)(int, const char *,
	    const struct timespec *, int)>("utimensat");
	if (fault_is("utimensat")) {
		errno = EPERM;
		return -1;
	}
	return next(fd, path, times, flags);
}

}
