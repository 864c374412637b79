// expire.cpp: the info file of one message back-dated.
#include "expire.h"

#include "queue_layout.h"
#include "queue_ops.h"
#include "run_state.h"
#include "settings.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

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
	bool have_status = fstatat(settings.queue_fd, path->c_str(), &st,
	    AT_SYMLINK_NOFOLLOW) == 0;
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
	if (utimensat(settings.queue_fd, path->c_str(), times,
	    AT_SYMLINK_NOFOLLOW) == -1) {
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
