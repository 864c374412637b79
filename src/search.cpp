// search.cpp: the walk of "mess", loading message files and testing
// their content.
#include "search.h"

#include "pattern/matcher.h"
#include "queue_ops.h"
#include "settings.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <fts.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

int search_queue(const char *const subdirs[], const char *pattern)
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
			if (match_file(entry->fts_accpath, pattern) == 0) {
				puts("yes");
				count++;
				dispatch_match(entry);
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

int flush_listing()
{
	errno = 0;
	if (fflush(stdout) == 0 && !ferror(stdout))
		return 0;
	// The error flag may be left from an earlier write that failed.
	return errno != 0 ? errno : EIO;
}

namespace {

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

void dispatch_match(const FTSENT *entry)
{
	enum { none, yank, remove, expire } operation = none;
	if (settings.do_yank == 1)
		operation = yank;
	else if (settings.do_delete == 1)
		operation = remove;
	else if (settings.do_expire == 1)
		operation = expire;
	if (operation == none)
		return;
	// The listing is the administrator's record of what was acted on:
	// it goes out before the action, and the reports on standard error
	// follow the verdict line they belong to, also when both channels
	// share a pipe or a file. If it cannot be written, act on nothing.
	if (int failure = flush_listing()) {
		fprintf(stderr, "spoolsift: cannot write the listing: %s; "
		    "stopping before acting on %s\n", strerror(failure),
		    entry->fts_name);
		exit(1);
	}
	if (check_split_dir(entry->fts_name, dir_below_root(entry)) == -1)
		return;
	// The walker is in the file's directory and expects to be there
	// when it reads on; the operations name files from the queue
	// directory. Keep this one to come back to.
	unique_fd kept(open(".", O_RDONLY | O_DIRECTORY));
	if (!kept)
		return;
	if (fchdir(settings.queue_fd) == -1) {
		perror("fchdir(queue_fd)");
		if (operation == yank)
			exit(1);
		// Run from here, the relative queue paths could name other
		// files: leave this message alone.
	} else if (operation == yank) {
		remove_file(entry->fts_name);
	} else if (operation == remove) {
		delete_file(entry->fts_name);
	} else {
		expire_file(entry->fts_name);
	}
	if (fchdir(kept.get()) == -1)
		perror("fchdir()");	// the walk goes on from wherever we are
}

// The pattern of this run, compiled when the first file is tested. A
// pattern that does not compile is tried again for each file, so that
// each one reports it, as it always has.
static content_pattern run_pattern;
static std::string compiled_text;
static int compiled_flags = -1;

// Larger files are read in two steps: the first part may settle the
// verdict (a match near the top, a NUL byte), and the rest is not read.
// The second step costs a read call, so two steps are kept only while
// the first part settles at least one file in four.
static constexpr size_t first_part = 16 * 1024;
static unsigned long parts_tried, parts_settled;

static int verdict_from_part(const char *part, size_t length)
{
	int verdict = run_pattern.verdict_from_part(part, length);
	parts_tried++;
	if (verdict != -1)
		parts_settled++;
	return verdict;
}

static bool parts_pay()
{
	return parts_tried < 256 || parts_settled * 4 >= parts_tried;
}

int match_file(const char *path, const char *pattern)
{
	if (path == nullptr || pattern == nullptr)
		return -1;
	int flags = static_cast<int>(settings.regex_flags);
	bool compiled = compiled_flags == flags && compiled_text == pattern;
	int early = -1;
	file_text text = load_file(path,
	    compiled && parts_pay() ? verdict_from_part : nullptr, &early);
	if (early != -1)
		return early == 1 ? 0 : -1;
	if (!text)
		return -1;
	if (!compiled) {
		int rc = run_pattern.compile(pattern, flags);
		if (rc != 0) {
			compiled_flags = -1;
			// A 20-byte buffer: the error text is cut to 19
			// characters.
			fprintf(stderr, "regcomp(): %s\n",
			    run_pattern.error(20).c_str());
			return -1;
		}
		compiled_text = pattern;
		compiled_flags = flags;
	}
	// The whole file is one NUL-terminated text: ^ and $ hold only at
	// its ends, the dot matches a newline, and a NUL byte ends it.
	return run_pattern.matches(text.bytes.get(), text.length) == 1 ? 0 : -1;
}

// Reads bytes [from, to) of the file into buf. A read returns at most
// about 2 GiB, and a signal may cut it short: read on until all is in.
// false when the file ended early or the read failed.
static bool read_range(int fd, char *buf, size_t from, size_t to)
{
	while (from < to) {
		ssize_t n = read(fd, buf + from, to - from);
		if (n > 0)
			from += static_cast<size_t>(n);
		else if (n == -1 && errno == EINTR)
			continue;
		else
			return false;
	}
	return true;
}

file_text load_file(const char *path, int (*decide)(const char *, size_t),
    int *verdict)
{
	file_text text;
	if (verdict != nullptr)
		*verdict = -1;
	if (path == nullptr)
		return text;
	// A file gone since the walk saw it, or one we may not read, is
	// simply not loaded: the caller lists it "no".
	unique_fd fd(open(path, O_RDONLY | O_NOFOLLOW));
	if (!fd)
		return text;
	struct stat st;
	if (fstat(fd.get(), &st) == -1) {
		perror("fstat()");
		return text;
	}
	int64_t length = st.st_size;
	if (settings.max_bytes > 0 && st.st_size >= settings.max_bytes)
		length = settings.max_bytes;
	auto want = static_cast<size_t>(length);
	std::unique_ptr<char, free_delete> bytes(
	    static_cast<char *>(malloc(want + 1)));
	if (bytes == nullptr) {
		perror("malloc()");
		return text;
	}
	char *buf = bytes.get();
	size_t got = 0;
	if (decide != nullptr && verdict != nullptr && want > first_part) {
		if (!read_range(fd.get(), buf, 0, first_part)) {
			fprintf(stderr, "%s: read() too short\n",
			    program_invocation_short_name);
			return text;
		}
		buf[first_part] = '\0';	// the next read writes over it
		*verdict = decide(buf, first_part);
		if (*verdict != -1)
			return text;
		got = first_part;
	}
	if (!read_range(fd.get(), buf, got, want)) {
		fprintf(stderr, "%s: read() too short\n",
		    program_invocation_short_name);
		return text;
	}
	buf[want] = '\0';
	text.bytes = std::move(bytes);
	text.length = want;
	return text;
}
