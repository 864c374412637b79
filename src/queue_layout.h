// queue_layout.h: how qmail lays a message out in its queue. A message
// is the set of files named by one number in seven subdirectories: at
// the split path "d/(n mod split)/n" where d is hashed, at the flat path
// "d/n" where it is not. This module names those subdirectories, the
// orders in which the operations visit them and why, message numbers,
// and the path forms. It reads no settings and does no I/O, as qmail's
// own fmtqfn.c.
#ifndef SPOOLSIFT_QUEUE_LAYOUT_H
#define SPOOLSIFT_QUEUE_LAYOUT_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The subdirectories holding per-message files, closed by nullptr. Only
// the first, mess, is searched. The per-message arrays of the operations
// are indexed like this table.
inline constexpr const char *const queue_subdirs[] = {
	"mess", "local", "remote", "info", "intd", "todo", "bounce", nullptr,
};
inline constexpr size_t subdir_count = std::size(queue_subdirs) - 1;
enum : size_t {
	mess_at, local_at, remote_at, info_at, intd_at, todo_at, bounce_at,
};

using visit_order = std::array<size_t, subdir_count>;

// A delete takes a message's files in qmail's own order when it finishes
// one: recipients and bounce, then info, mess last. A run killed between
// two files (SIGKILL, the OOM killer, a power cut) leaves mess in the
// queue, so the walk finds the message again and a second run takes the
// rest. And qmail-send finishes what such a run leaves the way the
// delete would have: info and mess without recipients it takes for a
// delivered message and removes, and mess alone it removes after 36
// hours.
inline constexpr visit_order delete_order = {
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
inline constexpr visit_order yank_order = {
	info_at, todo_at, intd_at, local_at, remote_at, bounce_at, mess_at,
};

// The order of the one look at a message's files before it is taken:
// todo before info, so that qmail-send moving a message from todo to
// info (it writes info before it removes todo) cannot slip between the
// two looks and make a queued message look unqueued.
inline constexpr const visit_order &look_order = delete_order;

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
static_assert(todo_before_info(look_order));

// The message a file name stands for: its part after the last "/" read as
// qmail writes a message number (the inode number of its mess file): all
// decimal digits, no leading zero, within an unsigned long. "100.tmp",
// "+7", "0100" and "12 34" name no message. None when it names none.
std::optional<unsigned long> parse_message_number(std::string_view name);

// The hashed subdirectory of message n: n mod |split|, which for every
// n below 2^31 is the remainder qmail itself takes. split must not be 0.
unsigned long bucket_of(unsigned long n, int32_t split);

// The three path forms of message n in queue subdirectory d, hashed by
// n mod |split|. None, with errno EINVAL, when d (or yank_dir) is
// missing or n is 0, or when the split is 0; with ENOMEM when memory
// runs out. The caller reports.
std::optional<std::string> mk_oldpath(const char *d, unsigned long n,
    int32_t split);						// split
std::optional<std::string> mk_flatpath(const char *d, unsigned long n);	// flat
std::optional<std::string> mk_newpath(const char *yank_dir, const char *d,
    unsigned long n);						// yank

#endif
