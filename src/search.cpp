// search.cpp: the listing of "mess" in walk order, and the dispatch of
// each match to the run's action.
#include "search.h"

#include "expire.h"
#include "mess_walk.h"
#include "queue_layout.h"
#include "read_ahead.h"
#include "run_state.h"
#include "settings.h"
#include "take.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace {

// Writes one step of the walk, judged, where it comes in the listing,
// and acts on a match. 1 when the run must end now.
int list_step(const judged_step &j, int &count)
{
	const walk_step &s = j.step;
	if (j.gone)
		return 0;
	if (s.error != 0) {
		// Part of mess was not searched: the run did not do what it
		// was asked, whatever it found elsewhere.
		fprintf(stderr, "fts_read() %s: %s\n", s.path.c_str(),
		    strerror(s.error));
		run.search_incomplete = true;
		return 0;
	}
	printf("%s: ", s.name);
	// What went wrong with the file comes where a reader writing at
	// once would have put it: after its name, before its verdict.
	if (!j.complaints.empty())
		fputs(j.complaints.c_str(), stderr);
	if (j.matched != 1) {
		puts("no");
		return 0;
	}
	puts("yes");
	count++;
	return dispatch_match(s.name, s.dir->below_root());
}

}  // namespace

int search_queue(const char *const subdirs[], const search_pattern &pattern)
{
	// mess itself must be a directory to be searched: missing, it is
	// reported below; a link or a file in its place holds no queue.
	struct stat root;
	if (lstat(subdirs[0], &root) == -1 || !S_ISDIR(root.st_mode))
		run.search_incomplete = true;
	mess_walk walk;
	if (walk.start(subdirs[0]) == -1) {
		perror("fts_open");
		run.search_incomplete = true;
		return -1;
	}
	const bool acting = settings.action != run_action::none;
	const bool taking = settings.action == run_action::yank ||
	    settings.action == run_action::remove;
	int count = 0;
	int stop = 0;
	{
		read_ahead window(pattern, acting);
		if (window.start(reader_count()) == -1) {
			perror("malloc()");
			return -1;
		}
		bool walking = true;
		while (stop == 0) {
			if (walking && window.wants()) {
				walk_step step;
				while (window.room() && (walking = walk.next(step)))
					window.push(std::move(step));
				window.publish();
			}
			if (window.drained())
				break;
			judged_step &j = window.oldest();
			stop = list_step(j, count);
			// Taking a flat file's message takes its hashed file
			// first, which the readers may have read ahead.
			if (j.matched == 1 && taking &&
			    j.step.dir->below_root().empty())
				window.acted_on(j.step.name);
			window.retire();
		}
	}	// the readers are done before the process may end
	if (stop != 0)
		exit(1);
	return count;
}

int flush_listing()
{
	errno = 0;
	if (fflush(stdout) == 0 && !ferror(stdout))
		return 0;
	// The error flag may be left from an earlier write that failed.
	return errno != 0 ? errno : EIO;
}

int dispatch_match(const char *name, std::string_view dir)
{
	if (settings.action == run_action::none)
		return 0;
	// The listing is the administrator's record of what was acted on:
	// it goes out before the action, and the reports on standard error
	// follow the verdict line they belong to, also when both channels
	// share a pipe or a file. If it cannot be written, act on nothing.
	if (int failure = flush_listing()) {
		fprintf(stderr, "spoolsift: cannot write the listing: %s; "
		    "stopping before acting on %s\n", strerror(failure), name);
		return 1;
	}
	// The operations name the message's files from the queue directory
	// by its descriptor: the working directory is not changed for them,
	// nor needed back.
	if (check_split_dir(name, dir) == -1) {
		tally(outcome::left_alone);
		return 0;
	}
	switch (settings.action) {
	case run_action::yank:
		remove_file(name);
		break;
	case run_action::remove:
		delete_file(name);
		break;
	case run_action::expire:
		expire_file(name);
		break;
	case run_action::none:
		break;
	}
	return 0;
}

int check_split_dir(const char *name, std::string_view dir)
{
	std::optional<unsigned long> n = parse_message_number(name);
	if (!n || settings.split == 0)
		return 0;
	const unsigned long bucket = bucket_of(*n, settings.split);
	if (dir.empty()) {
		// Directly in mess is the flat layout, which the operations also
		// look for; but they look at the split path first, and take
		// whatever other file stands there: one this run never listed.
		std::optional<std::string> split = mk_oldpath("mess", *n,
		    settings.split);
		std::optional<std::string> flat = mk_flatpath("mess", *n);
		struct stat here, there;
		const int q = settings.queue_fd;
		if (!split || !flat ||
		    fstatat(q, split->c_str(), &there, AT_SYMLINK_NOFOLLOW) == -1 ||
		    fstatat(q, flat->c_str(), &here, AT_SYMLINK_NOFOLLOW) == -1 ||
		    (here.st_dev == there.st_dev && here.st_ino == there.st_ino))
			return 0;
		fprintf(stderr, "%s: found directly in mess, but %s is another "
		    "file; left alone\n", name, split->c_str());
		return -1;
	}
	if (dir == std::to_string(bucket))
		return 0;
	fprintf(stderr, "%s: found in mess/%.*s, but split %d puts it in "
	    "mess/%lu; check -s\n", name, static_cast<int>(dir.size()),
	    dir.data(), settings.split, bucket);
	return -1;
}
