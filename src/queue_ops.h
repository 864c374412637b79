// queue_ops.h: what the operations on one message share: the message
// number of a matching file, the rename that never replaces, and the
// signals held while one message changes. The operations themselves:
// yank and delete in take.h, expire in expire.h; the layout they name
// files by in queue_layout.h.
//
// Every operation names the message's files relative to the queue
// directory, open at settings.queue_fd: the working directory plays no
// part.
#ifndef SPOOLSIFT_QUEUE_OPS_H
#define SPOOLSIFT_QUEUE_OPS_H

#include <signal.h>

// The message number that name carries (see parse_message_number), or 0
// with "... doesn't look like an inode number" written.
unsigned long message_number(const char *name);

// Says why a path builder gave no path: no memory, whatever the
// builder, or else the caller's words (none: nothing to say).
void say_no_path(const char *words);

// rename(2) of from to to, both relative to the directory open at dir,
// that fails with EEXIST rather than replace what is at to. One file
// under both names is a move cut off halfway (see os.h): it is finished,
// from unlinked.
int rename_no_replace(int dir, const char *from, const char *to);

// Whether a and b, relative to dir, name one file (never through a
// link); errno is kept.
bool one_file(int dir, const char *a, const char *b);

// Whether the envelope file at envelope (a todo or info in the yank
// directory) came from the same message as the text at mess, both
// relative to dir, rather than from an earlier message of that number:
// qmail gives a number again once its text is gone, and an envelope
// left in the yank directory outlives the text it came with. The
// message's own envelope was moved there after its text was last
// written (its change time), and was made after the text was (their
// birth times, which a clock set back since the message was queued
// leaves in order); an earlier message's envelope was made and moved
// before this text existed. false as well when either is missing.
bool envelope_of_text(int dir, const char *envelope, const char *mess);

// The signals that end a run from outside (^C, kill, a hangup, a closed
// pipe) are held while one message is moved or deleted and delivered
// right after: a run that is stopped leaves each message either whole in
// the queue or wholly taken, never split between the two.
class signals_held {
public:
	signals_held();
	~signals_held();
	signals_held(const signals_held &) = delete;
	signals_held &operator=(const signals_held &) = delete;

private:
	sigset_t saved_;
	bool held_;
};

#endif
