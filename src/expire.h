// expire.h: back-dating the info file of a matching message, so that
// qmail-send finds it queued too long and gives it up (bouncing it to
// its sender) at its next delivery attempt. The one change qmail
// tolerates while qmail-send runs: it reads the info file's times afresh
// at each attempt. The path is relative to the queue directory, open at
// settings.queue_fd.
#ifndef SPOOLSIFT_EXPIRE_H
#define SPOOLSIFT_EXPIRE_H

int expire_file(const char *name);	// 1 changed, 0 not, -1 stopped

#endif
