// queue_ops.h: message numbers, queue paths, and the operations on a
// whole message. Paths are relative to the queue directory, which is the
// working directory while an operation runs.
//
// A message is the set of files named by one number in the queue
// subdirectories: at the split path "d/(n mod split)/n" where d is
// hashed, at the flat path "d/n" where it is not.
#ifndef SPOOLSIFT_QUEUE_OPS_H
#define SPOOLSIFT_QUEUE_OPS_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The message a file name stands for: its part after the last "/" read as
// qmail writes a message number (the inode number of its mess file): all
// decimal digits, no leading zero, within an unsigned long. "100.tmp",
// "+7", "0100" and "12 34" name no message. None when it names none.
std::optional<unsigned long> parse_message_number(std::string_view name);

// The same, with "... doesn't look like an inode number" written when the
// name is no message number; 0 then.
unsigned long message_number(const char *name);

// The walk found message file name in mess/dir ("" for mess itself):
// 0 when that is where the operations look for it, -1 (with the message
// written) when the split puts the message elsewhere, so that acting on
// it would take files of the wrong paths or only some of them, or when
// for a file directly in mess another file stands at the split path,
// which the operations would take instead. A name that is no message
// number passes: the operation itself refuses it. Looks from the working
// directory, which must be the queue.
int check_split_dir(const char *name, std::string_view dir);

// The three path forms of message n in queue subdirectory d, hashed by
// n mod |split|. They read no settings and say nothing: none, with errno
// EINVAL, when d (or yank_dir) is missing or n is 0, or when the split is
// 0; with ENOMEM when memory runs out. The caller reports.
std::optional<std::string> mk_oldpath(const char *d, unsigned long n,
    int32_t split);						// split
std::optional<std::string> mk_flatpath(const char *d, unsigned long n);	// flat
std::optional<std::string> mk_newpath(const char *yank_dir, const char *d,
    unsigned long n);						// yank

int remove_file(const char *name);	// files moved, or -1
int delete_file(const char *name);	// files unlinked, or -1
int expire_file(const char *name);	// 1 changed, 0 not, -1 stopped

// rename(2) that fails with EEXIST rather than replace what is at to.
int rename_no_replace(const char *from, const char *to);

#endif
