// restore.h: a yanked message put back into the queue, whole or not at
// all: the undo of a yank. Paths are relative to the queue directory,
// open at settings.queue_fd; the yank directory is settings.yank_dir.
//
// A restore, step by step
//
// 1. The files of the message in the yank directory ("N.mess", "N.info"
//    and so on), and the place each goes back to: the split path where
//    the queue hashes that subdirectory (its hash directory for N is
//    there), the flat path where it does not.
//
// 2. Its admission, with the signals that end a run held until the
//    restore is over. In this order:
//    a. The text must be the message's own: N.mess in the yank
//       directory whose inode number is N, on the queue's file system.
//       qmail names a message by its text's inode; a copy (from a backup,
//       say) is another file, and meanwhile qmail-queue may have given
//       N to a new message. A restore cut off earlier has put the text
//       back already: then the text at its place in the queue must be
//       inode N, with the envelope still in the yank directory, and the
//       restore is finished. That envelope must have come with that
//       text (envelope_of_text): once a yanked text is removed, qmail
//       may give N to a new message, whose text is inode N too.
//    b. An envelope must be in the yank directory, N.info or N.todo: a
//       text without one is no message qmail can deliver.
//    c. Every place must be free, split and flat: a file of number N
//       there is another message's, which must not be mixed with this
//       one.
//    d. The text's access time is made new: qmail-send removes a text
//       without todo or info once that is 36 hours old, and a restore
//       cut off before its envelope moves leaves just that.
//    A message refused at a to c is left alone, nothing moved, with a
//    line that says why; one whose access time cannot be set is a
//    failure, nothing moved.
//
// 3. The moves, never replacing: the text, intd, the recipient files
//    and bounce, then the envelope, info before todo, so that qmail-send
//    sees the message only once it is whole. A move that fails moves
//    back what had moved, newest first, and says so; the message is then
//    whole in the yank directory again (or, where a move back fails too,
//    the line names the file left in the queue).
#ifndef SPOOLSIFT_RESTORE_H
#define SPOOLSIFT_RESTORE_H

// Whether the queue's mess is hashed settings.split ways (mess/0 to
// mess/split-1, and no mess/split), as the places of step 1 assume: with
// another -s, files would go where qmail never looks for them. 0, or -1
// with the FATAL line written.
int check_split();

// Restores message n, or with try_only only says what it would move
// where. The files moved (or that would be), or -1 when nothing was:
// the message is left alone or failed, as the tally counts it.
int restore_file(unsigned long n, bool try_only);

// Whether the yank directory holds a restore of n to finish or start:
// its text, or its envelope with the text back at its place in the queue
// (a restore cut off).
bool restorable(unsigned long n);

#endif
