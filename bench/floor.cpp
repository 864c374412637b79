// floor.cpp: the cost of a search with no matching in it. The same walk
// of the queue's "mess" directory as spoolsift (fts, physical, the walker
// changing into each directory), each regular file opened and read whole
// into a buffer of its size plus one, just as spoolsift loads it, and the
// same listing: one "name: no" line per file and the closing count. What
// spoolsift takes beyond this program's time is the cost of its matching.
//
// usage: floor [-u walk|open|read] queuedir
//
// -u stops each file's work after a stage, to show where the floor's own
// time goes: walk lists the files and opens none, open opens, fstats and
// closes each, read (the default) also allocates and reads it whole.
#include <fcntl.h>
#include <fts.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

enum class stage { walk, open, read };

// Run setting, written only while the options are parsed.
stage up_to = stage::read;

struct free_delete {
	void operator()(void *p) const { free(p); }
};

// 0 when the whole file was read into a fresh buffer, -1 otherwise. The
// buffer is released at once: only the cost of loading counts here.
int load_whole(const char *path)
{
	int fd = open(path, O_RDONLY | O_NOFOLLOW);
	if (fd == -1)
		return -1;	// gone or unreadable: listed "no" all the same
	struct stat st;
	if (fstat(fd, &st) == -1) {
		perror("fstat()");	// before close() can change errno
		close(fd);
		return -1;
	}
	if (up_to == stage::open) {
		close(fd);
		return 0;
	}
	auto want = static_cast<size_t>(st.st_size);
	std::unique_ptr<char, free_delete> bytes(
	    static_cast<char *>(malloc(want + 1)));
	if (bytes == nullptr) {
		perror("malloc()");
		close(fd);
		return -1;
	}
	bytes.get()[want] = '\0';
	size_t got = 0;
	while (got < want) {
		ssize_t n = read(fd, bytes.get() + got, want - got);
		if (n > 0)
			got += static_cast<size_t>(n);
		else if (n == -1 && errno == EINTR)
			continue;
		else
			break;
	}
	close(fd);
	if (got != want) {
		fprintf(stderr, "%s: read() too short\n", path);
		return -1;
	}
	return 0;
}

// The number of regular files listed, or -1 if the walk cannot start.
int walk_mess()
{
	char mess[] = "mess";
	char *roots[] = {mess, nullptr};
	std::unique_ptr<FTS, int (*)(FTS *)> fts(
	    fts_open(roots, FTS_PHYSICAL, nullptr), fts_close);
	if (fts == nullptr) {
		perror("fts_open");
		return -1;
	}
	int files = 0;
	while (FTSENT *entry = fts_read(fts.get())) {
		switch (entry->fts_info) {
		case FTS_DNR:
		case FTS_ERR:
		case FTS_NS:
			fprintf(stderr, "fts_read() %s: %s\n", entry->fts_path,
			    strerror(entry->fts_errno));
			break;
		case FTS_F:
			// fts changed into the file's directory: the access
			// path is the bare name.
			printf("%s: ", entry->fts_accpath);
			if (up_to != stage::walk)
				load_whole(entry->fts_accpath);
			puts("no");
			files++;
			break;
		default:
			break;
		}
	}
	return files;
}

}  // namespace

int main(int argc, char *argv[])
{
	const char usage_text[] = "usage: floor [-u walk|open|read] queuedir\n";
	int opt;
	while ((opt = getopt(argc, argv, "u:")) != -1) {
		if (opt == 'u' && strcmp(optarg, "walk") == 0) {
			up_to = stage::walk;
		} else if (opt == 'u' && strcmp(optarg, "open") == 0) {
			up_to = stage::open;
		} else if (opt == 'u' && strcmp(optarg, "read") == 0) {
			up_to = stage::read;
		} else {
			fputs(usage_text, stderr);
			return 1;
		}
	}
	if (argc - optind != 1) {
		fputs(usage_text, stderr);
		return 1;
	}
	if (chdir(argv[optind]) == -1) {
		perror("chdir()");
		return 1;
	}
	if (walk_mess() < 0)
		return 1;
	// The closing line spoolsift writes when nothing matches.
	fputs("0 file(s) match\n", stderr);
	return 0;
}
