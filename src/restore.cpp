// restore.cpp: one yanked message put back, in the three steps restore.h
// lists.
#include "restore.h"

#include "queue_layout.h"
#include "queue_ops.h"
#include "run_state.h"
#include "settings.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

namespace {

// The text first, the envelope last, info before todo: qmail-send acts on
// a message only once it has todo or info, and by then all else is back.
constexpr visit_order restore_order = {
	mess_at, intd_at, local_at, remote_at, bounce_at, info_at, todo_at,
};

// --- step 1: the files -------------------------------------------------------

struct message_files {
	unsigned long n = 0;
	std::array<std::string, subdir_count> yanked;	// N.sub in the yank dir
	std::array<std::string, subdir_count> split, flat;
	std::array<bool, subdir_count> there{};		// yanked[i] is a file
	std::array<const std::string *, subdir_count> place{};	// where it goes
};

int lstat_at(const std::string &path, struct stat &st)
{
	return fstatat(settings.queue_fd, path.c_str(), &st, AT_SYMLINK_NOFOLLOW);
}

bool exists(const std::string &path)
{
	struct stat st;
	return lstat_at(path, st) == 0;
}

// Whether subdirectory d hashes message n: its hash directory is there.
bool hashed(const char *d, unsigned long n)
{
	struct stat st;
	const std::string dir = std::string(d) + "/" +
	    std::to_string(bucket_of(n, settings.split));
	return fstatat(settings.queue_fd, dir.c_str(), &st, 0) == 0 &&
	    S_ISDIR(st.st_mode);
}

// The paths of message n; -1 when one cannot be built (no memory).
int files_of(unsigned long n, message_files &f)
{
	f.n = n;
	for (size_t i = 0; i < subdir_count; i++) {
		const char *d = queue_subdirs[i];
		std::optional<std::string> y = mk_newpath(settings.yank_dir, d, n);
		std::optional<std::string> s = mk_oldpath(d, n, settings.split);
		std::optional<std::string> l = mk_flatpath(d, n);
		if (!y || !s || !l) {
			say_no_path(nullptr);
			return -1;
		}
		f.yanked[i] = std::move(*y);
		f.split[i] = std::move(*s);
		f.flat[i] = std::move(*l);
		f.place[i] = hashed(d, n) ? &f.split[i] : &f.flat[i];
	}
	return 0;
}

// --- step 2: the admission -----------------------------------------------------

// Whether the file at path is inode n on the queue's file system.
bool is_text_of(const std::string &path, unsigned long n, struct stat &st)
{
	struct stat queue;
	return lstat_at(path, st) == 0 && S_ISREG(st.st_mode) &&
	    fstat(settings.queue_fd, &queue) == 0 && st.st_dev == queue.st_dev &&
	    st.st_ino == n;
}

bool has_envelope(const message_files &f)
{
	return f.there[info_at] || f.there[todo_at];
}

// Whether an envelope in the yank directory came with the text at the
// message's place in the queue: a restore cut off after its text moved
// (or a yank cut off before it did). Else that text is a new message's
// that qmail gave the number to once this one's text was gone, and the
// envelope must not be put to it.
bool envelope_with_text(const message_files &f)
{
	for (size_t i : {info_at, todo_at})
		if (envelope_of_text(settings.queue_fd, f.yanked[i].c_str(),
		    f.place[mess_at]->c_str()))
			return true;
	return false;
}

// Checks a to d of restore.h. 0: restore; 1: the whole message is back
// in the queue already, nothing to move; -1: not, with how set and the
// line written. *cut_off: the text is back in the queue already.
int admit(message_files &f, bool try_only, bool *cut_off, outcome &how)
{
	const char *name = "restore_file";
	how = outcome::left_alone;
	bool any = false;
	for (size_t i = 0; i < subdir_count; i++) {
		struct stat st;
		if (lstat_at(f.yanked[i], st) == -1)
			continue;
		any = true;
		if (!S_ISREG(st.st_mode)) {
			fprintf(stderr, "%s(%lu): %s is not a file; nothing "
			    "restored\n", name, f.n, f.yanked[i].c_str());
			return -1;
		}
		f.there[i] = true;
	}
	struct stat text{};
	*cut_off = false;
	if (f.there[mess_at]) {
		if (!is_text_of(f.yanked[mess_at], f.n, text)) {
			fprintf(stderr, "%s(%lu): %s is not the message's own text "
			    "(inode %lu); nothing restored\n", name, f.n,
			    f.yanked[mess_at].c_str(),
			    static_cast<unsigned long>(text.st_ino));
			return -1;
		}
	} else if (has_envelope(f) && is_text_of(*f.place[mess_at], f.n, text)) {
		if (!envelope_with_text(f)) {
			fprintf(stderr, "%s(%lu): no %s, and %s is another "
			    "message's; nothing restored\n", name, f.n,
			    f.yanked[mess_at].c_str(), f.place[mess_at]->c_str());
			return -1;
		}
		*cut_off = true;
	} else if (!any && is_text_of(*f.place[mess_at], f.n, text) &&
	    (exists(*f.place[info_at]) || exists(*f.place[todo_at]))) {
		// A restore that was cut off after its last move: run again,
		// it finds the message back, which it was asked for.
		fprintf(stderr, "%s(%lu): already in the queue\n", name, f.n);
		how = outcome::acted;
		return 1;
	} else {
		if (any)
			fprintf(stderr, "%s(%lu): no %s; nothing restored\n", name,
			    f.n, f.yanked[mess_at].c_str());
		else
			fprintf(stderr, "%s(%lu): nothing of it in %s; nothing "
			    "restored\n", name, f.n, settings.yank_dir);
		return -1;
	}
	if (!has_envelope(f)) {
		fprintf(stderr, "%s(%lu): no %s or %s; nothing restored\n", name,
		    f.n, f.yanked[info_at].c_str(), f.yanked[todo_at].c_str());
		return -1;
	}
	// A place that holds the very file in the yank directory is this
	// message's own move, cut off between its link and its unlink (see
	// os_rename_no_replace), which the move finishes.
	for (size_t i : restore_order) {
		if (!f.there[i])
			continue;
		for (const std::string *at : {&f.split[i], &f.flat[i]}) {
			if (exists(*at) && !(at == f.place[i] &&
			    one_file(settings.queue_fd, at->c_str(),
				f.yanked[i].c_str()))) {
				fprintf(stderr, "%s(%lu): %s is taken; nothing "
				    "restored\n", name, f.n, at->c_str());
				return -1;
			}
		}
	}
	if (try_only)
		return 0;
	const std::string &text_at = *cut_off ? *f.place[mess_at]
					      : f.yanked[mess_at];
	const struct timespec now_and_keep[2] = {{0, UTIME_NOW}, {0, UTIME_OMIT}};
	if (utimensat(settings.queue_fd, text_at.c_str(), now_and_keep,
	    AT_SYMLINK_NOFOLLOW) == -1) {
		perror("utimensat()");
		fprintf(stderr, "%s(%lu): %s not moved; the message stays in "
		    "%s\n", name, f.n, text_at.c_str(), settings.yank_dir);
		how = outcome::failed;
		return -1;
	}
	return 0;
}

// --- step 3: the moves -------------------------------------------------------

// Puts back what moved, newest first, never replacing. Whether all of it
// is back.
bool move_back(const message_files &f, const std::array<bool, subdir_count> &moved)
{
	bool all_back = true;
	for (size_t k = subdir_count; k-- > 0;) {
		const size_t i = restore_order[k];
		if (!moved[i])
			continue;
		const char *home = f.yanked[i].c_str(), *at = f.place[i]->c_str();
		if (rename_no_replace(settings.queue_fd, at, home) == 0) {
			fprintf(stderr, "moved %s to %s\n", at, home);
			continue;
		}
		perror("rename()");
		fprintf(stderr, "restore_file(%lu): could not move %s back to "
		    "%s\n", f.n, at, home);
		all_back = false;
	}
	return all_back;
}

// The files moved, or -1 after the rollback.
int move_all(const message_files &f, bool try_only)
{
	std::array<bool, subdir_count> moved{};
	int count = 0;
	for (size_t i : restore_order) {
		if (!f.there[i])
			continue;
		const char *from = f.yanked[i].c_str(), *to = f.place[i]->c_str();
		if (try_only) {
			fprintf(stderr, "would move %s to %s\n", from, to);
		} else if (rename_no_replace(settings.queue_fd, from, to) == 0) {
			fprintf(stderr, "moved %s to %s\n", from, to);
			moved[i] = true;
		} else {
			perror("rename()");
			if (move_back(f, moved))
				fprintf(stderr, "restore_file(%lu): %s not moved; the "
				    "message stays in %s\n", f.n, from,
				    settings.yank_dir);
			else
				fprintf(stderr, "restore_file(%lu): %s not moved; the "
				    "message is split between the queue and %s, as "
				    "the lines above say\n", f.n, from,
				    settings.yank_dir);
			return -1;
		}
		count++;
	}
	return count;
}

int restore_message(unsigned long n, bool try_only, outcome &how)
{
	how = outcome::failed;
	message_files f;
	if (files_of(n, f) == -1)
		return -1;
	const signals_held held;
	bool cut_off;
	const int admitted = admit(f, try_only, &cut_off, how);
	if (admitted != 0)
		return admitted == 1 ? 0 : -1;
	const int count = move_all(f, try_only);
	how = count >= 0 ? outcome::acted : outcome::failed;
	return count;
}

}  // namespace

int check_split()
{
	auto bucket_dir = [](long b) {
		struct stat st;
		const std::string dir = "mess/" + std::to_string(b);
		return fstatat(settings.queue_fd, dir.c_str(), &st, 0) == 0 &&
		    S_ISDIR(st.st_mode);
	};
	if (bucket_dir(0) && bucket_dir(settings.split - 1L) &&
	    !bucket_dir(settings.split))
		return 0;
	fprintf(stderr, "FATAL: this queue's mess is not hashed %d ways; give "
	    "its conf-split with -s.\n", static_cast<int>(settings.split));
	return -1;
}

int restore_file(unsigned long n, bool try_only)
{
	outcome how;
	int moved = restore_message(n, try_only, how);
	tally(how);
	return moved;
}

bool restorable(unsigned long n)
{
	message_files f;
	if (files_of(n, f) == -1)
		return false;
	struct stat st;
	if (lstat_at(f.yanked[mess_at], st) == 0)
		return true;
	return is_text_of(*f.place[mess_at], n, st) && envelope_with_text(f);
}
