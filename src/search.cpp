// search.cpp: the walk of "mess", the content test of each message file,
// and the per-match dispatch to the operations.
#include "search.h"

#include "message_text.h"
#include "queue_ops.h"
#include "settings.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <fts.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

// Larger files are read in two steps: the first part may settle the
// verdict (a match near the top, a NUL byte), and the rest is not read.
constexpr size_t first_part = 16 * 1024;

// The directory below the walk's root in which the walker found entry:
// "8" for mess/8/100, "" for mess/100 itself.
std::string_view dir_below_root(const FTSENT *entry)
{
	std::string_view path(entry->fts_path, entry->fts_pathlen);
	size_t root_end = path.find('/');
	size_t name_start = path.rfind('/');
	if (root_end == std::string_view::npos || root_end == name_start)
		return {};
	return path.substr(root_end + 1, name_start - root_end - 1);
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
	char *roots[] = {const_cast<char *>(subdirs[0]), nullptr};
	// Physical walk: links are listed as links, never followed. The
	// walker changes into each directory, so an entry's access path is
	// its bare name.
	std::unique_ptr<FTS, int (*)(FTS *)> fts(
	    fts_open(roots, FTS_PHYSICAL, nullptr), fts_close);
	if (fts == nullptr) {
		perror("fts_open");
		return -1;
	}
	part_odds odds;
	int count = 0;
	while (FTSENT *entry = fts_read(fts.get())) {
		switch (entry->fts_info) {
		case FTS_DNR:
		case FTS_ERR:
		case FTS_NS:
			fprintf(stderr, "fts_read() %s: %s\n", entry->fts_path,
			    strerror(entry->fts_errno));
			break;
		case FTS_F:
			printf("%s: ", entry->fts_accpath);
			if (match_file(entry->fts_accpath, pattern, &odds) == 1) {
				puts("yes");
				count++;
				dispatch_match(entry->fts_name,
				    dir_below_root(entry));
			} else {
				puts("no");
			}
			break;
		default:	// directories, links, special files
			break;
		}
	}
	return count;
}

int match_file(const char *path, const search_pattern &pattern,
    part_odds *odds)
{
	// A pattern that does not compile is reported for every file whose
	// text loads, as the text is loaded before the pattern is judged.
	const bool compiled = pattern.error.empty();
	const bool two_steps = compiled && (odds == nullptr || odds->pay());
	message_text text;
	if (!text.read_first(path, two_steps ? first_part : SIZE_MAX))
		return 0;
	if (!compiled) {
		fprintf(stderr, "regcomp(): %s\n", pattern.error.c_str());
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
		if (!text.read_rest())
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

void dispatch_match(const char *name, std::string_view dir)
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
		return;
	// The listing is the administrator's record of what was acted on:
	// it goes out before the action, and the reports on standard error
	// follow the verdict line they belong to, also when both channels
	// share a pipe or a file. If it cannot be written, act on nothing.
	if (int failure = flush_listing()) {
		fprintf(stderr, "spoolsift: cannot write the listing: %s; "
		    "stopping before acting on %s\n", strerror(failure), name);
		exit(1);
	}
	if (check_split_dir(name, dir) == -1)
		return;
	// The walker is in the file's directory and expects to be there
	// when it reads on; the operations name files from the queue
	// directory. Keep this one to come back to.
	unique_fd kept(open(".", O_RDONLY | O_DIRECTORY));
	if (!kept)
		return;
	if (fchdir(settings.queue_fd) == -1) {
		perror("fchdir(queue_fd)");
		if (chosen == action::yank)
			exit(1);
		// Run from here, the relative queue paths could name other
		// files: leave this message alone.
	} else if (chosen == action::yank) {
		remove_file(name);
	} else if (chosen == action::unlink) {
		delete_file(name);
	} else {
		expire_file(name);
	}
	if (fchdir(kept.get()) == -1)
		perror("fchdir()");	// the walk goes on from wherever we are
}
