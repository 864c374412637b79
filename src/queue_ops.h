// queue_ops.h: message numbers, queue paths, and the operations on a
// whole message. Paths are relative to the queue directory, which is the
// working directory while an operation runs.
//
// A message is the set of files named by one number in the queue
// subdirectories: at the split path "d/(n mod split)/n" where d is
// hashed, at the flat path "d/n" where it is not.
#ifndef SPOOLSIFT_QUEUE_OPS_H
#define SPOOLSIFT_QUEUE_OPS_H

#include <optional>
#include <string>

// Message numbers the path builders accept: 1 to 2147483647.
inline constexpr unsigned long max_message_number = 2147483647;

// The number a file name carries: the leading digits after its last "/"
// ("100.tmp" is 100). 0 when there is none, with the message written.
unsigned long message_number(const char *name);

// The three path forms of message n in queue subdirectory d. None when d
// is missing or n is out of range (only mk_newpath says so), or when
// memory runs out (said by all three).
std::optional<std::string> mk_oldpath(const char *d, unsigned long n);	// split
std::optional<std::string> mk_flatpath(const char *d, unsigned long n);	// flat
std::optional<std::string> mk_newpath(const char *d, unsigned long n);	// yank

int remove_file(const char *name);	// files moved, or -1
int delete_file(const char *name);	// files unlinked, or -1
int expire_file(const char *name);	// 1 changed, 0 not, -1 stopped

// rename(2) that fails with EEXIST rather than replace what is at to.
int rename_no_replace(const char *from, const char *to);

#endif
