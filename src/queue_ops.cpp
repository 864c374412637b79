// queue_ops.cpp: message numbers, the split, flat and yank paths, and
// yank, delete and expire of one message.
#include "queue_ops.h"

#include "settings.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <new>
#include <string_view>

namespace {

constexpr size_t subdir_count = std::size(queue_subdirs) - 1;

// What yank and delete say: one algorithm, two sets of words.
struct twin_texts {
	const char *no_filename;
	const char *no_old_name;
	const char *not_a_file;		// %s: the path
	const char *no_stat_info;	// %s: the path
	const char *failed_call;	// for perror
};

constexpr twin_texts yank_texts = {
	"remove_file(): no filename\n",
	"remove_file(): unable to create old name\n",
	"remove_file(%s): not a file\n",
	"remove_file(%s): no stat info\n",
	"rename()",
};

constexpr twin_texts delete_texts = {
	"delete_file(): no filename\n",
	"delete_file(): unable to create old name\n",
	"delete_file(%s): not a file\n",
	"delete_file(%s): no stat info\n",
	"unlink()",
};

bool usable(const char *d, unsigned long n)
{
	return d != nullptr && n >= 1 && n <= max_message_number;
}

// The decimal text of a 32-bit number, in buf.
std::string_view decimal(uint32_t n, std::array<char, 16> &buf)
{
	auto end = std::to_chars(buf.data(), buf.data() + buf.size(), n).ptr;
	return {buf.data(), static_cast<size_t>(end - buf.data())};
}

std::optional<std::string> joined(std::initializer_list<std::string_view> parts)
{
	try {
		std::string path;
		for (std::string_view part : parts)
			path += part;
		return path;
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		perror("malloc()");
		return std::nullopt;
	}
}

// One message's paths in every queue subdirectory, built before any file
// is touched, so that a path that cannot be built stops the operation
// with nothing moved.
struct message_paths {
	std::array<std::string, subdir_count> split;
	std::array<std::string, subdir_count> flat;
	std::array<std::string, subdir_count> yank;	// yank only
};

// Whether subdirectory i holds a file of the message as the move below
// will find it: anything at the split path, else a regular file at the
// flat path. Anything other than a missing split path (a directory in
// the way, no permission) makes the move fail, so it holds nothing.
bool holds_file(size_t i, const message_paths &paths)
{
	struct stat st;
	if (lstat(paths.split[i].c_str(), &st) == 0)
		return true;
	return errno == ENOENT && stat(paths.flat[i].c_str(), &st) == 0 &&
	    S_ISREG(st.st_mode);
}

// Message numbers are inode numbers, and qmail reuses them: a yank path
// that is already taken holds an earlier yanked message. The first such
// path of a file this message has, or none.
const std::string *taken_yank_path(const message_paths &paths)
{
	for (size_t i = 0; i < subdir_count; i++) {
		struct stat st;
		if (holds_file(i, paths) &&
		    lstat(paths.yank[i].c_str(), &st) == 0)
			return &paths.yank[i];
	}
	return nullptr;
}

// The operation itself on one source path, and its report line.
int act_on(bool yank, const char *from, const std::string &to)
{
	if (yank ? rename_no_replace(from, to.c_str()) : unlink(from)) {
		// Linux checks the file system and the target directory
		// before it looks for the source, so a missing file can come
		// back as EXDEV or EROFS. Say what it is: missing.
		int failure = errno;
		struct stat st;
		if (failure == ENOENT ||
		    (lstat(from, &st) == -1 && errno == ENOENT))
			errno = ENOENT;
		else
			errno = failure;
		return -1;
	}
	if (yank)
		fprintf(stderr, "moved %s to %s\n", from, to.c_str());
	else
		fprintf(stderr, "remove %s\n", from);
	return 0;
}

// The signals that end a run from outside (^C, kill, a hangup, a closed
// pipe) are held while one message is moved or deleted and delivered
// right after: a run that is stopped leaves each message either whole in
// the queue or wholly taken, never split between the two.
class signals_held {
public:
	signals_held()
	{
		sigset_t ending;
		sigemptyset(&ending);
		for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGTERM})
			sigaddset(&ending, sig);
		held_ = sigprocmask(SIG_BLOCK, &ending, &saved_) == 0;
	}
	~signals_held()
	{
		if (held_)
			sigprocmask(SIG_SETMASK, &saved_, nullptr);
	}
	signals_held(const signals_held &) = delete;
	signals_held &operator=(const signals_held &) = delete;

private:
	sigset_t saved_;
	bool held_;
};

// Yank (yank true) or delete every queue file of the message that name
// carries. The split path is tried first, whatever it is; only when it
// is missing does the flat path count, and then only a regular file.
int take_message(bool yank, const char *name)
{
	const twin_texts &t = yank ? yank_texts : delete_texts;
	if (name == nullptr) {
		fputs(t.no_filename, stderr);
		return -1;
	}
	unsigned long n = message_number(name);
	if (n == 0)
		return -1;
	message_paths paths;
	for (size_t i = 0; i < subdir_count; i++) {
		const char *d = queue_subdirs[i];
		if (yank) {
			std::optional<std::string> to = mk_newpath(d, n);
			if (!to) {
				fputs("remove_file(): unable to create new name\n",
				    stderr);
				return -1;
			}
			paths.yank[i] = std::move(*to);
		}
		std::optional<std::string> from = mk_oldpath(d, n);
		if (!from) {
			fputs(t.no_old_name, stderr);
			return -1;
		}
		paths.split[i] = std::move(*from);
		std::optional<std::string> flat = mk_flatpath(d, n);
		if (!flat)
			return -1;
		paths.flat[i] = std::move(*flat);
	}
	const signals_held held;
	if (yank) {
		if (const std::string *taken = taken_yank_path(paths)) {
			fprintf(stderr, "remove_file(%s): %s already exists\n",
			    name, taken->c_str());
			return -1;
		}
	}

	int count = 0;
	for (size_t i = 0; i < subdir_count; i++) {
		const std::string &split = paths.split[i];
		const std::string &flat = paths.flat[i];
		const std::string &to = paths.yank[i];
		if (act_on(yank, split.c_str(), to) == 0) {
			count++;
			continue;
		}
		// Below the split a message's split path runs through its own
		// flat file ("todo/12/12" through "todo/12"): then there is
		// no split path, and the flat file is the message's.
		if (errno == ENOTDIR && split.starts_with(flat + "/"))
			errno = ENOENT;
		if (errno != ENOENT) {
			perror(t.failed_call);
			continue;
		}
		// Nothing at the split path: the subdirectory may be flat.
		// A missing file is normal here, as most messages have
		// files in only some subdirectories.
		if (settings.verbose >= 2)
			fprintf(stderr, t.not_a_file, split.c_str());
		struct stat st;
		if (stat(flat.c_str(), &st) == -1) {
			if (settings.verbose >= 2)
				fprintf(stderr, t.no_stat_info, flat.c_str());
			continue;
		}
		if (!S_ISREG(st.st_mode)) {
			if (settings.verbose >= 2)
				fprintf(stderr, t.not_a_file, flat.c_str());
			continue;
		}
		if (act_on(yank, flat.c_str(), to) == 0)
			count++;
		else if (errno != ENOENT)	// gone since the stat: fine
			perror(t.failed_call);
	}
	return count;
}

}  // namespace

unsigned long message_number(const char *name)
{
	const char *slash = strrchr(name, '/');
	const char *part = slash != nullptr ? slash + 1 : name;
	unsigned long n = strtoul(part, nullptr, 10);
	if (n == 0 || n == ULONG_MAX) {
		fprintf(stderr, "%s doesn't look like an inode number\n", part);
		return 0;
	}
	return n;
}

std::optional<std::string> mk_oldpath(const char *d, unsigned long n)
{
	// A split of 0 is refused when options are read; it is checked
	// again here because it would be a division by zero.
	if (!usable(d, n) || settings.split == 0)
		return std::nullopt;
	// The remainder of a signed 32-bit division: never negative for a
	// positive n, whatever the sign of split.
	int32_t bucket = static_cast<int32_t>(n) % settings.split;
	std::array<char, 16> b, m;
	return joined({d, "/", decimal(static_cast<uint32_t>(bucket), b), "/",
	    decimal(static_cast<uint32_t>(n), m)});
}

std::optional<std::string> mk_flatpath(const char *d, unsigned long n)
{
	if (!usable(d, n))
		return std::nullopt;
	std::array<char, 16> m;
	return joined({d, "/", decimal(static_cast<uint32_t>(n), m)});
}

std::optional<std::string> mk_newpath(const char *d, unsigned long n)
{
	if (!usable(d, n)) {
		fputs("mk_newpath(): invalid queue\n", stderr);
		return std::nullopt;
	}
	std::array<char, 16> m;
	return joined({settings.yank_dir, "/",
	    decimal(static_cast<uint32_t>(n), m), ".", d});
}

int rename_no_replace(const char *from, const char *to)
{
	return renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
}

int remove_file(const char *name)
{
	return take_message(true, name);
}

int delete_file(const char *name)
{
	return take_message(false, name);
}

int expire_file(const char *name)
{
	if (name == nullptr) {
		fputs("expire_file(): no filename\n", stderr);
		return -1;
	}
	unsigned long n = message_number(name);
	if (n == 0)
		return -1;
	// Only the hashed info file: qmail-send reads its times to decide
	// when a message has been queued too long.
	std::optional<std::string> path = mk_oldpath("info", n);
	if (!path) {
		fputs("expire_file(): unable to create old name\n", stderr);
		return -1;
	}
	// The info file itself, never what a link there points to: a link
	// could name any file on the host, and qmail's time is not the
	// link's own. So no call below follows a link at the path.
	struct stat st;
	bool have_status = lstat(path->c_str(), &st) == 0;
	if (have_status && S_ISLNK(st.st_mode)) {
		if (settings.verbose >= 2)
			fprintf(stderr, "expire_file(%s): not a file\n",
			    path->c_str());
		return 0;
	}
	struct timespec times[2] = {};
	if (settings.expire_when > 0) {
		times[0].tv_sec = times[1].tv_sec = settings.expire_when;
	} else {
		if (!have_status) {
			if (errno != ENOENT)
				perror("stat()");
			else if (settings.verbose >= 2)
				fprintf(stderr,
				    "expire_file(%s): not a file (stat) \n",
				    path->c_str());
			return -1;
		}
		// Access time from the modification time, modification time
		// from the status-change time, both shifted back.
		int64_t atime, mtime;
		if (__builtin_sub_overflow(static_cast<int64_t>(st.st_mtime),
			settings.expire_secs, &atime) ||
		    __builtin_sub_overflow(static_cast<int64_t>(st.st_ctime),
			settings.expire_secs, &mtime)) {
			fprintf(stderr, "expire_file(%s): time out of range\n",
			    path->c_str());
			return 0;
		}
		times[0].tv_sec = atime;
		times[1].tv_sec = mtime;
	}
	if (utimensat(AT_FDCWD, path->c_str(), times, AT_SYMLINK_NOFOLLOW) ==
	    -1) {
		// A missing info file is normal (the message is not that far
		// along); anything else, a read-only queue say, is a failure
		// the administrator must hear of.
		if (errno != ENOENT)
			perror("utimes()");
		else if (settings.verbose >= 2)
			fprintf(stderr, "expire_file(%s): not a file\n",
			    path->c_str());
		return 0;
	}
	fprintf(stderr, "Set timestamp on %s \n", path->c_str());
	return 1;
}
