// os_posix.cpp: the system layer on any POSIX system (see os.h): the
// BSDs, and Linux in the portable build. What a system has beyond POSIX
// is found when the build is configured (cmake/system_layer.cmake) and
// named here by a SPOOLSIFT_HAVE_* macro. The portable build compiles
// this file with POSIX alone declared (_XOPEN_SOURCE=700, _GNU_SOURCE
// undefined), so that a Linux call added here fails to build; libstdc++'s
// thread and atomic headers (<memory> among them) do not build so, and
// this file does without them.
#include "os.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#if defined(SPOOLSIFT_HAVE_O_SEARCH)
const int os_dir_handle = O_SEARCH;
#else
const int os_dir_handle = O_RDONLY;
#endif
#if defined(SPOOLSIFT_HAVE_O_NOATIME)
const int os_no_atime = O_NOATIME;
#else
const int os_no_atime = 0;
#endif

namespace {

bool is_dot(const char *name)
{
	return name[0] == '.' &&
	    (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Whether from and to, in dir, are one file under two names.
bool same_file(int dir, const char *from, const char *to)
{
	struct stat a, b;
	return fstatat(dir, from, &a, AT_SYMLINK_NOFOLLOW) == 0 &&
	    fstatat(dir, to, &b, AT_SYMLINK_NOFOLLOW) == 0 &&
	    a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether link(2) failed because the file cannot have a second name
// there, rather than for want of a place or a file: a directory (EPERM),
// a file system without hard links (EPERM, ENOTSUP, EOPNOTSUPP), a
// system's rule against links to other users' files (EPERM), a file with
// as many links as it may have (EMLINK).
bool cannot_link(int error)
{
	return error == EPERM || error == EMLINK || error == ENOTSUP ||
	    error == EOPNOTSUPP;
}

// A directory stream closed on every way out, errno kept.
struct dir_closer {
	DIR *dir;
	~dir_closer()
	{
		const int saved = errno;
		closedir(dir);
		errno = saved;
	}
};

const char *handed_name;

}  // namespace

// Without a call that renames without replacing, a move takes two steps,
// link(to) and unlink(from), and never a plain rename over a name that
// may be taken: link refuses atomically with EEXIST where rename would
// replace, so nothing at to is ever lost. EXDEV (another file system)
// stays a failure, as it is for rename.
//
// Between the two steps the unlink trusts that from is still the file
// just linked: a file put at from meanwhile would be unlinked in its
// place. Nothing puts one there, for the reasons given below for a
// directory: from is a yank directory path, which only a run holding
// the queue's run lock writes, or a path of message N in the queue,
// which qmail gives no other file while this message's text holds
// inode N.
//
// A process killed between the two steps leaves one file under both
// names: nothing is copied and nothing lost. To qmail the file is in
// the queue either way: a yank's from is there, as before the move
// began, and a restore's to, as after it. The operations finish such a
// move when they meet it: a move whose to already names the very file
// at from only unlinks from (queue_ops.cpp), and neither a yank's
// admission (take_admission.cpp) nor a restore's (restore.cpp) counts
// such a name as taken; so the cut-off command, run again, finishes the
// job.
//
// What cannot be linked (a directory where a message file should be, a
// file system without hard links) is renamed once fstatat finds nothing
// at to (ENOENT). The race left is a file made at to between that look
// and the rename, which the rename would replace (a directory only
// replaces an empty directory). No mail is lost to it: a yank's to is in
// the yank directory, which qmail never writes and other runs on this
// queue leave alone while this one holds the queue's run lock; a
// restore's or a rollback's to is a path of message N in the queue, and
// qmail names a message by its text's inode, which this message's text
// holds on the same file system, so qmail cannot begin another message N
// meanwhile.
int os_rename_no_replace(int dir, const char *from, const char *to)
{
#if defined(SPOOLSIFT_HAVE_RENAMEATX_NP)
	return renameatx_np(dir, from, dir, to, RENAME_EXCL);
#else
	if (linkat(dir, from, dir, to, 0) == 0) {
		// Gone meanwhile (unlinked by another): the file is at to
		// alone, as after a rename.
		if (unlinkat(dir, from, 0) == 0 || errno == ENOENT)
			return 0;
		// from stays: the new name goes again, so that the failure
		// leaves what was there before; where even that fails, one
		// file under two names, as after a kill.
		const int failure = errno;
		if (same_file(dir, from, to))
			unlinkat(dir, to, 0);
		errno = failure;
		return -1;
	}
	if (!cannot_link(errno))
		return -1;
	struct stat st;
	if (fstatat(dir, to, &st, AT_SYMLINK_NOFOLLOW) == 0) {
		errno = EEXIST;
		return -1;
	}
	if (errno != ENOENT)
		return -1;
	return renameat(dir, from, dir, to);
#endif
}

std::optional<struct timespec> os_birth_time(int dir, const char *path)
{
#if defined(SPOOLSIFT_HAVE_ST_BIRTHTIM)
	struct stat st;
	if (fstatat(dir, path, &st, AT_SYMLINK_NOFOLLOW) == -1)
		return std::nullopt;
	// A file system that keeps no birth time says -1 or 0 seconds.
	if (st.st_birthtim.tv_sec <= 0)
		return std::nullopt;
	return st.st_birthtim;
#else
	(void)dir;
	(void)path;
	return std::nullopt;
#endif
}

int os_read_dir(int dir, std::vector<char> &names,
    std::vector<dir_entry> &entries)
{
	// fdopendir takes over the descriptor it is given, and closedir
	// closes it: the stream gets a duplicate, as the caller keeps dir
	// open for the files' readers.
	const int own = fcntl(dir, F_DUPFD_CLOEXEC, 0);
	if (own == -1)
		return -1;
	DIR *stream = fdopendir(own);
	if (stream == nullptr) {
		const int failure = errno;
		close(own);
		errno = failure;
		return -1;
	}
	const dir_closer closing{stream};
	for (;;) {
		errno = 0;
		const struct dirent *d = readdir(stream);
		if (d == nullptr)
			return errno == 0 ? 0 : -1;	// a failed read ends the list
		if (is_dot(d->d_name))
			continue;
		entry_kind kind = entry_kind::unknown;
#if defined(SPOOLSIFT_HAVE_D_TYPE)
		if (d->d_type == DT_REG)
			kind = entry_kind::regular;
		else if (d->d_type == DT_DIR)
			kind = entry_kind::directory;
		else if (d->d_type != DT_UNKNOWN)
			kind = entry_kind::other;
#endif
		const size_t len = strlen(d->d_name);
		entries.push_back({static_cast<uint32_t>(names.size()), kind});
		names.insert(names.end(), d->d_name, d->d_name + len + 1);
	}
}

// POSIX has no read that refuses to wait for the disk.
ssize_t os_read_cached(int, void *, size_t)
{
	errno = ENOSYS;
	return -1;
}

size_t os_processors()
{
#if defined(SPOOLSIFT_HAVE_NPROCESSORS_ONLN)
	const long online = sysconf(_SC_NPROCESSORS_ONLN);
	return online > 0 ? static_cast<size_t>(online) : 1;
#else
	return 1;
#endif
}

const char *os_error_text(int error, char *buf, size_t size)
{
#if defined(SPOOLSIFT_HAVE_XSI_STRERROR_R)
	// POSIX's form: 0, or an error number (EINVAL for an unknown error,
	// whose text most systems still write; ERANGE for a text cut to
	// size).
	if (size == 0)
		return "";
	buf[0] = '\0';
	if (strerror_r(error, buf, size) != 0 && buf[0] == '\0')
		snprintf(buf, size, "Unknown error %d", error);
	return buf;
#else
	// No thread-safe form: the C library's own text.
	(void)buf;
	(void)size;
	return strerror(error);
#endif
}

void os_set_program_name(const char *argv0)
{
	const char *slash = argv0 != nullptr ? strrchr(argv0, '/') : nullptr;
	handed_name = slash != nullptr ? slash + 1 : argv0 != nullptr ? argv0 : "";
}

const char *os_program_name()
{
	return handed_name != nullptr ? handed_name : "";
}
