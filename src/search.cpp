// search.cpp: the walk of "mess", the content test of each message file,
// and the per-match dispatch to the operations.
#include "search.h"

#include "mess_walk.h"
#include "queue_ops.h"
#include "read_ahead.h"
#include "run_state.h"
#include "settings.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Larger files are read in two steps: the first part may settle the
// verdict (a match near the top, a NUL byte), and the rest is not read.
constexpr size_t first_part = 16 * 1024;

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

int compile_pattern(const char *text, search_pattern &out)
{
	int rc = out.compiled.compile(text,
	    static_cast<int>(settings.regex_flags));
	// A 20-byte buffer: the complaint is cut to 19 characters.
	out.error = rc == 0 ? std::string() : out.compiled.error(20);
	return rc;
}

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
	int count = 0;
	int stop = 0;
	{
		read_ahead window(pattern, settings.do_yank == 1 ||
		    settings.do_delete == 1 || settings.do_expire == 1);
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
			if (window.empty())
				break;
			judged_step &j = window.front();
			stop = list_step(j, count);
			// Acting on a flat file takes the message's hashed
			// file first, which the readers may have read ahead.
			if (j.matched == 1 && (settings.do_yank == 1 ||
			    settings.do_delete == 1) &&
			    j.step.dir->below_root().empty())
				window.acted_on(j.step.name);
			window.pop();
		}
	}	// the readers are done before the process may end
	if (stop != 0)
		exit(1);
	return count;
}

int match_file(int dir, const char *name, const search_pattern &pattern,
    message_text &text, std::string &complaints, part_odds *odds)
{
	// A pattern that does not compile is reported for every file whose
	// text loads, as the text is loaded before the pattern is judged.
	const bool compiled = pattern.error.empty();
	const bool two_steps = compiled && (odds == nullptr || odds->pay());
	if (!text.read_first(dir, name, two_steps ? first_part : SIZE_MAX,
	    complaints))
		return 0;
	if (!compiled) {
		complaints += "regcomp(): " + pattern.error + "\n";
		return 0;
	}
	if (!text.complete()) {
		int verdict = pattern.compiled.verdict_from_part(text.bytes(),
		    text.length());
		if (odds != nullptr) {
			odds->tried++;
			odds->settled += verdict != -1;
		}
		if (verdict != -1)
			return verdict;
		if (!text.read_rest(complaints))
			return 0;
	}
	// The whole file is one NUL-terminated text: ^ and $ hold only at
	// its ends, the dot matches a newline, and a NUL byte ends it.
	return pattern.compiled.matches(text.bytes(), text.length()) == 1;
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
	enum class action { none, yank, unlink, expire };
	action chosen = action::none;
	if (settings.do_yank == 1)
		chosen = action::yank;
	else if (settings.do_delete == 1)
		chosen = action::unlink;
	else if (settings.do_expire == 1)
		chosen = action::expire;
	if (chosen == action::none)
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
	// The operations name files from the queue directory. The walk
	// needs no working directory of its own, but the caller gets back
	// the one it had.
	unique_fd kept(open(".", O_RDONLY | O_DIRECTORY));
	if (!kept)
		return 0;
	if (fchdir(settings.queue_fd) == -1) {
		perror("fchdir(queue_fd)");
		if (chosen == action::yank)
			return 1;
		// Run from here, the relative queue paths could name other
		// files: the message cannot be acted on.
		tally(outcome::failed);
	} else if (check_split_dir(name, dir) == -1) {
		// Not where the operations would look: left alone.
		tally(outcome::left_alone);
	} else if (chosen == action::yank) {
		remove_file(name);
	} else if (chosen == action::unlink) {
		delete_file(name);
	} else {
		expire_file(name);
	}
	if (fchdir(kept.get()) == -1)
		perror("fchdir()");
	return 0;
}
