// queue_locks.h: the two locks a run that changes the queue takes before
// it changes anything, and keeps until the process ends.
//
// The run lock keeps two runs from changing one queue at once: each
// takes its message's files in an order that is safe alone, and two
// interleaved are not (one yanks the envelope while the other deletes
// the text). It is an exclusive flock on the queue directory itself,
// which qmail never locks.
//
// qmail-send's own lock, lock/sendmutex, tells whether qmail-send runs:
// it holds it for its whole life. Taking a message's files from under a
// running qmail-send has it deliver from its stale list (twice, when a
// new message gets the number), so yank and delete refuse to; taking
// the lock when it is free keeps a qmail-send started meanwhile from
// reading a queue that is being changed.
#ifndef SPOOLSIFT_QUEUE_LOCKS_H
#define SPOOLSIFT_QUEUE_LOCKS_H

// Takes the run lock on the queue directory open at queue_fd. 0, or -1
// with the refusal written when another run holds it.
int take_run_lock(int queue_fd);

// For the queue directory open at queue_fd: 0 when qmail-send is not
// running, and then its lock is held for the rest of the run where it
// could be taken (run.send_lock_held); -1 with the refusal written when
// it runs ("... stop it before " stop_before "."). A missing or
// unreadable lock file says nothing either way.
int hold_send_lock(int queue_fd, const char *stop_before);

#endif
