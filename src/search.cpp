// search.cpp: the walk of "mess", loading message files and testing
// their content.
#include "search.h"

#include "matcher.h"
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

void dispatch_match(const FTSENT *entry)
{
	// The walker is in the file's directory and expects to be there
	// when it reads on; the operations name files from the queue
	// directory. Keep this one to come back to.
	unique_fd kept(open(".", O_RDONLY | O_DIRECTORY));
	if (!kept)
		return;
	enum { none, yank, remove, expire } operation = none;
	if (settings.do_yank == 1)
		operation = yank;
	else if (settings.do_delete == 1)
		operation = remove;
	else if (settings.do_expire == 1)
		operation = expire;
	if (operation == none)
		return;
	// The reports go to standard error: let the verdict line they
	// belong to go out first, also when both channels share a pipe.
	fflush(stdout);
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

int match_file(const char *path, const char *pattern)
{
	if (path == nullptr || pattern == nullptr)
		return -1;
	file_text text = load_file(path);
	if (!text)
		return -1;
	int flags = static_cast<int>(settings.regex_flags);
	if (compiled_flags != flags || compiled_text != pattern) {
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

file_text load_file(const char *path)
{
	file_text text;
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
	bytes.get()[want] = '\0';
	// One read returns at most about 2 GiB, and a signal may cut it
	// short: read on until the whole length is in.
	size_t got = 0;
	while (got < want) {
		ssize_t n = read(fd.get(), bytes.get() + got, want - got);
		if (n > 0)
			got += static_cast<size_t>(n);
		else if (n == -1 && errno == EINTR)
			continue;
		else
			break;	// the file ended early, or the read failed
	}
	if (got != want) {
		fprintf(stderr, "%s: read() too short\n",
		    program_invocation_short_name);
		return text;
	}
	text.bytes = std::move(bytes);
	text.length = want;
	return text;
}
