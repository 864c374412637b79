// take.h: yank and delete: a matching message taken out of the queue
// whole, or not at all. Paths are relative to the queue directory, open
// at settings.queue_fd.
//
// A take, step by step
//
// 1. The paths of the message: its split, flat and (for a yank) yank
//    path in each of the seven subdirectories, all built before anything
//    is touched. Checks that the name is a message number and that every
//    path can be built. A failure here leaves the message untouched: a
//    name that is no number is left alone, no memory is a failure.
//
// 2. Its admission. With the signals that end a run held until the take
//    is over, one look at each subdirectory, todo before info, finds the
//    message's files. Then, in this order:
//    a. It must be queued, with a todo or an info file: a message with
//       neither may still be written by qmail-queue, whose sender is
//       told it was accepted once todo is linked. A yank also admits a
//       message whose own yank was cut off after its todo and info had
//       moved: the yank directory holds one of them, put there after
//       this text was written (see partly_yanked in
//       take_admission.cpp).
//    b. A yank never replaces: no yank path of a file the message has
//       may be taken (qmail reuses numbers; the earlier yanked message
//       stays as it is).
//    c. A yank makes the text's access time new: qmail-send removes a
//       text without todo or info once that is 36 hours old, and what a
//       yank cut off from here leaves in the queue must have them.
//    A message refused at a or b is left alone, whole, with a line that
//    says why; one whose access time cannot be set is a failure, and
//    nothing of it moves.
//
// 3. The moves, one file at a time in the operation's order (yank_order
//    or delete_order in queue_layout.h), mess last. What step 2 saw is
//    trusted only while this run holds qmail-send's lock and the message
//    is queued: then qmail-send cannot run, and qmail-queue only makes
//    new numbers, so nothing but this run changes the message's files.
//    Otherwise each subdirectory is looked at again as its move comes. A
//    file that cannot be taken for any reason but being missing stops
//    the message there, the failing call reported where it failed: a
//    yank moves back what it moved, newest first and never replacing
//    (a move back that fails is named, and leaves that file in the yank
//    directory and the rest, mess among it, in the queue); a delete
//    keeps the rest, mess always among it. Either way the same command
//    run again takes what is left, as it does after a SIGKILL between
//    two moves.
#ifndef SPOOLSIFT_TAKE_H
#define SPOOLSIFT_TAKE_H

int remove_file(const char *name);	// files moved, or -1
int delete_file(const char *name);	// files unlinked, or -1

#endif
