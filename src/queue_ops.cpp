// queue_ops.cpp: message numbers, the split, flat and yank paths, and
// yank, delete and expire of one message.
#include "queue_ops.h"

#include "run_state.h"
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
#include <tuple>

namespace {

// The queue subdirectories a message can have files in. The per-message
// arrays below are indexed like this table.
constexpr std::array<const char *, 7> subdir_names = {
	"local", "remote", "bounce", "intd", "todo", "info", "mess",
};
constexpr size_t subdir_count = subdir_names.size();

constexpr size_t index_of(std::string_view d)
{
	size_t i = 0;
	while (i < subdir_count && subdir_names[i] != d)
		i++;
	return i;
}
constexpr size_t local_at = index_of("local"), remote_at = index_of("remote"),
		 bounce_at = index_of("bounce"), intd_at = index_of("intd"),
		 todo_at = index_of("todo"), info_at = index_of("info"),
		 mess_at = index_of("mess");
static_assert(mess_at < subdir_count);

using visit_order = std::array<size_t, subdir_count>;

// A delete takes a message's files in qmail's own order when it finishes
// one: recipients and bounce, then info, mess last. A run killed between
// two files (SIGKILL, the OOM killer, a power cut) leaves mess in the
// queue, so the walk finds the message again and a second run takes the
// rest. And qmail-send finishes what such a run leaves the way the
// delete would have: info and mess without recipients it takes for a
// delivered message and removes, and mess alone it removes after 36
// hours.
constexpr visit_order delete_order = {
	local_at, remote_at, bounce_at, intd_at, todo_at, info_at, mess_at,
};

// A yank must never leave that state behind: a queue holding info and
// mess without their recipient files is, to qmail-send at its next
// start, a message delivered to everyone, which it removes, mess and
// all, while the yank directory holds only the recipients. So a yank
// moves info and todo first, the two files that make qmail-send act on
// a message at all; info before todo, so that a message qmail-send was
// preprocessing when it stopped keeps the todo it is redone from. What a
// cut-off yank leaves in the queue, qmail-send leaves alone (a mess
// without todo or info it removes once its access time is 36 hours
// old, which the yank sets to its start), the info or todo file in the
// yank directory lets the same command run again take the rest, and
// mess, moved last, lets the walk find the message again.
constexpr visit_order yank_order = {
	info_at, todo_at, intd_at, local_at, remote_at, bounce_at, mess_at,
};

constexpr bool todo_before_info(const visit_order &order)
{
	for (size_t i : order) {
		if (i == todo_at)
			return true;
		if (i == info_at)
			return false;
	}
	return false;
}
// The order of the one look at a message's files (see queued).
constexpr const visit_order &look_order = delete_order;
static_assert(todo_before_info(look_order));

// What yank and delete say: one algorithm, two sets of words.
struct twin_texts {
	const char *no_filename;
	const char *no_old_name;
	const char *not_a_file;		// %s: the path
	const char *no_stat_info;	// %s: the path
	const char *failed_call;	// for perror
	const char *stopped;		// %s: the name, %s: the path that failed
	const char *not_queued;		// %s: the name
};

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

// The builders say nothing: errno tells the caller why there is no
// path, ENOMEM for memory, EINVAL for a missing name or number 0.
std::optional<std::string> joined(std::initializer_list<std::string_view> parts)
{
	try {
		std::string path;
		for (std::string_view part : parts)
			path += part;
		return path;
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		return std::nullopt;
	}
}

std::optional<std::string> refused()
{
	errno = EINVAL;
	return std::nullopt;
}

// Says why a builder gave no path: no memory, whatever the builder, or
// else the caller's words (none: nothing to say).
void say_no_path(const char *words)
{
	if (errno == ENOMEM)
		perror("malloc()");
	else if (words != nullptr)
		fputs(words, stderr);
}

// The decimal text of n, in buf.
std::string_view decimal(unsigned long n, std::array<char, 24> &buf)
{
	auto end = std::to_chars(buf.data(), buf.data() + buf.size(), n).ptr;
	return {buf.data(), static_cast<size_t>(end - buf.data())};
}

// The hashed subdirectory of message n: n mod |split|. For every n below
// 2^31 this is the remainder qmail itself takes.
unsigned long bucket_of(unsigned long n, int32_t split)
{
	int64_t size = split;
	return n % static_cast<unsigned long>(size < 0 ? -size : size);
}

// One message's paths in every queue subdirectory, in removal order,
// built before any file is touched, so that a path that cannot be built
// stops the operation with nothing moved.
struct message_paths {
	std::array<std::string, subdir_count> split;
	std::array<std::string, subdir_count> flat;
	std::array<std::string, subdir_count> yank;	// yank only
};

// Where a look at one subdirectory found the message's file. A split
// path that runs through something other than a directory (ENOTDIR: in
// a flat subdirectory, the file of the message whose number is the hash
// directory's) holds nothing, as a missing one; any other failure there
// (a hash directory that cannot be searched) is left for the operation
// to meet and report.
enum class spot {
	split,		// at the split path, or something is in the way there
	flat,		// a regular file at the flat path, none at the split
	none,		// nothing at either path
	not_regular,	// nothing at the split path, no regular file flat
	unknown,	// not looked at, or no longer to be trusted
};

bool split_missing(int error)
{
	return error == ENOENT || error == ENOTDIR;
}

spot locate(size_t i, const message_paths &paths)
{
	struct stat st;
	if (lstat(paths.split[i].c_str(), &st) == 0 || !split_missing(errno))
		return spot::split;
	if (stat(paths.flat[i].c_str(), &st) == -1)
		return spot::none;
	return S_ISREG(st.st_mode) ? spot::flat : spot::not_regular;
}

bool holds(spot where)
{
	return where == spot::split || where == spot::flat;
}

// The path of the file the survey found in subdirectory i.
const std::string &found_at(size_t i, const message_paths &paths,
    spot where)
{
	return where == spot::flat ? paths.flat[i] : paths.split[i];
}

// One look at every subdirectory before anything is touched: the
// message's files as the operations below will find them.
using survey = std::array<spot, subdir_count>;

survey locate_all(const message_paths &paths)
{
	survey found;
	for (size_t i : look_order)
		found[i] = locate(i, paths);
	return found;
}

// Whether the message is queued: qmail-queue links todo as the very last
// step of queuing a message (after mess and intd are written), and
// qmail-send writes info before it removes todo. A message with neither
// is still being written by qmail-queue, or was left half-made by a
// crash, which qmail-send cleans up itself. The survey looks at todo
// before info, so that qmail-send moving a message from todo to info
// cannot slip between the two looks.
bool queued(const survey &found)
{
	return holds(found[todo_at]) || holds(found[info_at]);
}

// Whether time a is no earlier than time b.
template <typename Time>
bool not_before(const Time &a, const Time &b)
{
	return std::tie(a.tv_sec, a.tv_nsec) >= std::tie(b.tv_sec, b.tv_nsec);
}

// When the file at path came to be, where the file system keeps that.
std::optional<struct statx_timestamp> birth(const std::string &path)
{
	struct statx stx;
	if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME,
	    &stx) == -1 || (stx.stx_mask & STATX_BTIME) == 0)
		return std::nullopt;
	return stx.stx_btime;
}

// Whether a yank of this very message was cut off after its todo or info
// file had moved: the yank directory holds that file, and it belongs to
// this message's mess. Only those two count: a message yanked before it
// was queued has neither. And a todo or info left there by an earlier
// message of the same number (qmail reuses them) must not let a yank
// take a message that qmail-queue is writing. This message's file was
// moved there after its mess was last written (its change time), and was
// made after the mess was (their birth times, which a clock set back
// since the message was queued leaves in order); an earlier message's
// file was made and moved before this mess existed.
bool partly_yanked(const message_paths &paths, const survey &found)
{
	struct stat mess;
	const std::string &at = found_at(mess_at, paths, found[mess_at]);
	if (!holds(found[mess_at]) || lstat(at.c_str(), &mess) == -1)
		return false;
	const std::optional<struct statx_timestamp> mess_born = birth(at);
	for (size_t i : {todo_at, info_at}) {
		struct stat st;
		if (lstat(paths.yank[i].c_str(), &st) == -1)
			continue;
		if (not_before(st.st_ctim, mess.st_mtim))
			return true;
		const std::optional<struct statx_timestamp> born =
		    birth(paths.yank[i]);
		if (born && mess_born && not_before(*born, *mess_born))
			return true;
	}
	return false;
}

// Message numbers are inode numbers, and qmail reuses them: a yank path
// that is already taken holds an earlier yanked message. The first such
// path of a file this message has, or none.
const std::string *taken_yank_path(const message_paths &paths,
    const survey &found)
{
	for (size_t i : yank_order) {
		struct stat st;
		if (holds(found[i]) && lstat(paths.yank[i].c_str(), &st) == 0)
			return &paths.yank[i];
	}
	return nullptr;
}

enum class operation { yank, unlink };

// The operation itself on one source path, and its report line. 0: done.
// 1: there is nothing at from. -1: it failed, errno says why.
int act_on(operation op, const char *from, const std::string &to)
{
	bool yank = op == operation::yank;
	if (yank ? rename_no_replace(from, to.c_str()) : unlink(from)) {
		// Whether the file is there decides what the failure was:
		// Linux checks the file system and the target directory before
		// it looks for the source, so a missing file can come back as
		// EXDEV or EROFS, and a file that is there as ENOENT when the
		// yank directory has gone.
		int failure = errno;
		struct stat st;
		if (lstat(from, &st) == -1 && split_missing(errno))
			return 1;
		errno = failure;
		return -1;
	}
	if (yank)
		fprintf(stderr, "moved %s to %s\n", from, to.c_str());
	else
		fprintf(stderr, "remove %s\n", from);
	return 0;
}

// Where each file of a yank came from (none: nothing was moved there).
using moved_from = std::array<const std::string *, subdir_count>;

// A yank that cannot move one file puts back the ones it moved, newest
// first, so the message stays whole in the queue; each move back is
// reported like any move, so the report lines always say where every
// file is. Each refuses to replace: a file that appeared at the queue
// path meanwhile is not ours to overwrite, and then the yanked file stays
// where it is, and the line says so.
void move_back(const char *name, const moved_from &moved,
    const message_paths &paths)
{
	for (size_t k = subdir_count; k-- > 0;) {
		size_t i = yank_order[k];
		if (moved[i] == nullptr)
			continue;
		const char *yanked = paths.yank[i].c_str();
		const char *home = moved[i]->c_str();
		if (rename_no_replace(yanked, home) == 0) {
			fprintf(stderr, "moved %s to %s\n", yanked, home);
			continue;
		}
		perror("rename()");
		fprintf(stderr, "remove_file(%s): could not move %s back to "
		    "%s\n", name, yanked, home);
	}
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

// Takes the file of the message in subdirectory i from where the survey
// found it, or, where is unknown, looks as it goes: the split path is
// tried first, whatever it is; only when it is missing does the flat
// path count, and then only a regular file. 1: taken from *from. 0: the
// message has no file there. -1: the file at *from could not be taken,
// errno says why.
int take_one(operation op, size_t i, const message_paths &paths, spot where,
    const std::string **from)
{
	const twin_texts &t = op == operation::yank ? yank_texts : delete_texts;
	const std::string &split = paths.split[i];
	const std::string &flat = paths.flat[i];
	*from = &split;
	if (where == spot::split || where == spot::unknown) {
		int done = act_on(op, split.c_str(), paths.yank[i]);
		if (done != 1)
			return done == 0 ? 1 : -1;
		where = spot::unknown;	// gone since the survey: look again
	}
	// Nothing at the split path: the subdirectory may be flat. A missing
	// file is normal here, as most messages have files in only some
	// subdirectories.
	if (settings.verbose >= 2)
		fprintf(stderr, t.not_a_file, split.c_str());
	if (where == spot::unknown) {
		struct stat st;
		where = stat(flat.c_str(), &st) == -1 ? spot::none
		    : S_ISREG(st.st_mode)		  ? spot::flat
							  : spot::not_regular;
	}
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
	int done = act_on(op, flat.c_str(), paths.yank[i]);
	return done == 0 ? 1 : done == 1 ? 0 : -1;	// gone since the stat: fine
}

// Yank or delete every queue file of the message that name carries. A
// file that cannot be taken for any reason other than being missing
// stops the message there: a yank puts back what it moved, a delete
// keeps the rest, and mess, taken last, is always among what stays.
// The files taken, or -1; how says what became of the message.
int take_message(operation op, const char *name, outcome &how)
{
	const bool yank = op == operation::yank;
	const twin_texts &t = yank ? yank_texts : delete_texts;
	how = outcome::failed;
	if (name == nullptr) {
		fputs(t.no_filename, stderr);
		return -1;
	}
	unsigned long n = message_number(name);
	if (n == 0) {
		how = outcome::left_alone;
		return -1;
	}
	message_paths paths;
	for (size_t i = 0; i < subdir_count; i++) {
		const char *d = subdir_names[i];
		if (yank) {
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
			fputs(t.no_old_name, stderr);
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
	const signals_held held;
	// Taking a message qmail-queue is still writing would lose mail it
	// goes on to accept. A yank that a kill cut off after todo and info
	// may finish; a delete cut off there has left what qmail itself
	// leaves after a crash, mess alone, which qmail-send removes.
	const visit_order &order = yank ? yank_order : delete_order;
	const survey found = locate_all(paths);
	const bool is_queued = queued(found);
	if (!is_queued && !(yank && partly_yanked(paths, found))) {
		fprintf(stderr, t.not_queued, name);
		how = outcome::left_alone;
		return -1;
	}
	if (yank) {
		if (const std::string *taken = taken_yank_path(paths, found)) {
			fprintf(stderr, "remove_file(%s): %s already exists\n",
			    name, taken->c_str());
			how = outcome::left_alone;
			return -1;
		}
	}

	// qmail-send removes a mess without todo or info once its access
	// time is 36 hours old, at its start among other times: what a
	// yank cut off here leaves must have those hours from now, also on
	// a file system that keeps no access times of its own (noatime).
	if (yank && holds(found[mess_at])) {
		const struct timespec now_and_keep[2] = {{0, UTIME_NOW},
		    {0, UTIME_OMIT}};
		utimensat(AT_FDCWD, found_at(mess_at, paths, found[mess_at]).c_str(),
		    now_and_keep, AT_SYMLINK_NOFOLLOW);
	}

	moved_from moved{};
	int count = 0;
	for (size_t i : order) {
		// With qmail-send stopped and kept from starting, nothing but
		// this run changes a queued message's files, and the survey
		// holds. A running qmail-send may add or remove one since, and
		// qmail-queue may still link the todo of a message that is not
		// queued: then each subdirectory is looked at again.
		spot where = run.send_lock_held && is_queued ? found[i]
								  : spot::unknown;
		const std::string *from = nullptr;
		int taken = take_one(op, i, paths, where, &from);
		if (taken == -1) {
			perror(t.failed_call);
			if (yank)
				move_back(name, moved, paths);
			fprintf(stderr, t.stopped, name, from->c_str());
			return -1;
		}
		if (taken == 1) {
			moved[i] = from;
			count++;
		}
	}
	// Nothing found to take: qmail finished the message meanwhile.
	how = count > 0 ? outcome::acted : outcome::left_alone;
	return count;
}

}  // namespace

std::optional<unsigned long> parse_message_number(std::string_view name)
{
	size_t slash = name.rfind('/');
	std::string_view part =
	    slash == std::string_view::npos ? name : name.substr(slash + 1);
	// qmail prints its numbers in plain decimal: anything else in the
	// name, a sign, a space, a leading zero, a suffix, makes it some
	// other file that merely starts with a message's number.
	if (part.empty() || part[0] == '0')
		return std::nullopt;
	unsigned long n = 0;
	auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), n);
	if (ec != std::errc() || end != part.data() + part.size())
		return std::nullopt;
	return n;
}

unsigned long message_number(const char *name)
{
	std::optional<unsigned long> n = parse_message_number(name);
	if (!n) {
		const char *slash = strrchr(name, '/');
		fprintf(stderr, "%s doesn't look like an inode number\n",
		    slash != nullptr ? slash + 1 : name);
		return 0;
	}
	return *n;
}

int check_split_dir(const char *name, std::string_view dir)
{
	std::optional<unsigned long> n = parse_message_number(name);
	if (!n || settings.split == 0)
		return 0;
	std::array<char, 24> buf;
	const std::string_view bucket = decimal(bucket_of(*n, settings.split), buf);
	if (dir.empty()) {
		// Directly in mess is the flat layout, which the operations also
		// look for; but they look at the split path first, and take
		// whatever other file stands there: one this run never listed.
		std::optional<std::string> split = mk_oldpath("mess", *n,
		    settings.split);
		std::optional<std::string> flat = mk_flatpath("mess", *n);
		struct stat here, there;
		if (!split || !flat || lstat(split->c_str(), &there) == -1 ||
		    lstat(flat->c_str(), &here) == -1 ||
		    (here.st_dev == there.st_dev && here.st_ino == there.st_ino))
			return 0;
		fprintf(stderr, "%s: found directly in mess, but %s is another "
		    "file; left alone\n", name, split->c_str());
		return -1;
	}
	if (dir == bucket)
		return 0;
	fprintf(stderr, "%s: found in mess/%.*s, but split %d puts it in "
	    "mess/%lu; check -s\n", name, static_cast<int>(dir.size()),
	    dir.data(), settings.split, bucket_of(*n, settings.split));
	return -1;
}

std::optional<std::string> mk_oldpath(const char *d, unsigned long n,
    int32_t split)
{
	// A split of 0 is refused when options are read; it is checked
	// again here because it would be a division by zero.
	if (d == nullptr || n == 0 || split == 0)
		return refused();
	std::array<char, 24> b, m;
	return joined({d, "/", decimal(bucket_of(n, split), b), "/",
	    decimal(n, m)});
}

std::optional<std::string> mk_flatpath(const char *d, unsigned long n)
{
	if (d == nullptr || n == 0)
		return refused();
	std::array<char, 24> m;
	return joined({d, "/", decimal(n, m)});
}

std::optional<std::string> mk_newpath(const char *yank_dir, const char *d,
    unsigned long n)
{
	if (yank_dir == nullptr || d == nullptr || n == 0)
		return refused();
	std::array<char, 24> m;
	return joined({yank_dir, "/", decimal(n, m), ".", d});
}

int rename_no_replace(const char *from, const char *to)
{
	return renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
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

namespace {

// Back-dates the info file of the message that name carries. 1 changed,
// 0 not, -1 stopped before trying; how says what became of the message.
int expire_message(const char *name, outcome &how)
{
	how = outcome::failed;
	if (name == nullptr) {
		fputs("expire_file(): no filename\n", stderr);
		return -1;
	}
	unsigned long n = message_number(name);
	if (n == 0) {
		how = outcome::left_alone;
		return -1;
	}
	// Only the hashed info file: qmail-send reads its times to decide
	// when a message has been queued too long.
	std::optional<std::string> path = mk_oldpath("info", n, settings.split);
	if (!path) {
		say_no_path(nullptr);
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
		how = outcome::left_alone;
		return 0;
	}
	struct timespec times[2] = {};
	if (settings.expire_when > 0) {
		times[0].tv_sec = times[1].tv_sec = settings.expire_when;
	} else {
		if (!have_status) {
			if (errno != ENOENT) {
				perror("stat()");
				return -1;
			}
			if (settings.verbose >= 2)
				fprintf(stderr,
				    "expire_file(%s): not a file (stat) \n",
				    path->c_str());
			how = outcome::left_alone;
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
		// the administrator must hear of. The call is utimensat, which
		// can leave a link alone, but the message names utimes, the
		// call this step has always been known by: scripts match on it.
		if (errno != ENOENT) {
			perror("utimes()");
			return 0;
		}
		if (settings.verbose >= 2)
			fprintf(stderr, "expire_file(%s): not a file\n",
			    path->c_str());
		how = outcome::left_alone;
		return 0;
	}
	fprintf(stderr, "Set timestamp on %s \n", path->c_str());
	how = outcome::acted;
	return 1;
}

}  // namespace

int expire_file(const char *name)
{
	outcome how;
	int set = expire_message(name, how);
	tally(how);
	return set;
}
