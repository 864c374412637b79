// spoolsift_restore.cpp: the undo of a yank, from the command line to
// the exit status: puts yanked messages back into the queue (restore.h),
// says what would go where, or lists what the yank directory holds
// (yank_review.h).
#include "os.h"
#include "queue_layout.h"
#include "queue_locks.h"
#include "restore.h"
#include "revision.h"
#include "run_state.h"
#include "settings.h"
#include "unique_fd.h"
#include "yank_dir.h"
#include "yank_review.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <vector>

[[gnu::used]] static const char rcsid[] =
    "$Id: spoolsift-restore " SPOOLSIFT_REVISION " $";

namespace {

enum class mode { restore, try_only, list };

// What the command line asks, beside the shared run settings.
struct restore_request {
	mode how = mode::restore;
	bool all = false;			// -a
	std::vector<const char *> words;	// numbers, or "-"
};

void write_restore_usage()
{
	fprintf(stderr, "%s [options] number... | -\n", os_program_name());
	fputs("  -a\t\trestore every message whose text is in the yank "
	      "directory\n"
	      "  -l\t\tlist the messages in the yank directory, a line each; "
	      "change nothing\n"
	      "  -t\t\tsay what would be restored and where each file would "
	      "go; change nothing\n"
	      "  -q <queuedir>\tspecify the base qmail queue dir "
	      "[default: /var/qmail/queue]\n"
	      "  -s <split>\tspecify your conf-split value if non-standard "
	      "[default: 23]\n"
	      "  -y <yankdir>\tdirectory yanked files are in "
	      "[default: <queuedir>/yanked]\n"
	      "  -v\t\tincrease verbosity (can be used more than once)\n"
	      "  -h, -?\tthis help message\n"
	      "  number\ta message number to restore; - reads numbers from "
	      "standard input, one a line\n",
	    stderr);
}

// 0: go on. 1: the run ends with status 1, its message written.
int parse_restore_options(int argc, char *argv[], restore_request &req)
{
	int c;
	while ((c = getopt(argc, argv, "+alq:s:tvy:h?")) != -1) {
		switch (c) {
		case 'a':
			req.all = true;
			break;
		case 'l':
			req.how = mode::list;
			break;
		case 't':
			req.how = mode::try_only;
			break;
		case 'q':
			if (enter_queue_option(optarg) == -1)
				return 1;
			break;
		case 's':
			if (parse_split(optarg) == -1)
				return 1;
			break;
		case 'v':
			settings.verbose++;
			break;
		case 'y':
			settings.yank_dir = optarg;
			break;
		default:	// -h, -?, and getopt's own complaints
			write_restore_usage();
			return 1;
		}
	}
	for (int i = optind; i < argc; i++)
		req.words.push_back(argv[i]);
	if (req.how != mode::list && !req.all && req.words.empty()) {
		write_restore_usage();
		return 1;
	}
	return 0;
}

// The yank directory, open for reading its entries; -1 with the reason
// written.
int open_yank_dir()
{
	int fd = openat(settings.queue_fd, settings.yank_dir,
	    O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd == -1)
		perror("open(yank_dir)");
	return fd;
}

// -l: one review line per message in the yank directory.
int list_yanked()
{
	unique_fd dir(open_yank_dir());
	std::vector<unsigned long> numbers;
	if (!dir || yanked_numbers(dir.get(), numbers) == -1) {
		if (dir)
			perror("readdir(yank_dir)");
		return 1;
	}
	std::string line;
	for (unsigned long n : numbers) {
		if (review_line(dir.get(), n, line) == -1) {
			perror("review");
			return 1;
		}
		printf("%s\n", line.c_str());
	}
	return fflush(stdout) == 0 && !ferror(stdout) ? 0 : 1;
}

// Adds the messages asked for to numbers: the words (each a number, or
// "-" for the numbers on standard input, one a line), and with -a every
// message the yank directory holds a restore of. A word that is no
// number is said so and left alone.
int numbers_asked(const restore_request &req, std::vector<unsigned long> &numbers)
try {
	auto take = [&numbers](const std::string &word) {
		std::optional<unsigned long> n = parse_message_number(word);
		if (!n) {
			fprintf(stderr, "%s doesn't look like an inode number\n",
			    word.c_str());
			tally(outcome::left_alone);
			return;
		}
		numbers.push_back(*n);
	};
	for (const char *word : req.words) {
		if (strcmp(word, "-") != 0) {
			take(word);
			continue;
		}
		char *line = nullptr;
		size_t size = 0;
		for (ssize_t got; (got = getline(&line, &size, stdin)) != -1;) {
			std::string w(line, static_cast<size_t>(got));
			while (!w.empty() && (w.back() == '\n' || w.back() == '\r' ||
			    w.back() == ' ' || w.back() == '\t'))
				w.pop_back();
			if (!w.empty())
				take(w);
		}
		free(line);
	}
	if (req.all) {
		unique_fd dir(open_yank_dir());
		std::vector<unsigned long> held;
		if (!dir || yanked_numbers(dir.get(), held) == -1)
			return -1;
		for (unsigned long n : held)
			if (restorable(n))
				numbers.push_back(n);
	}
	return 0;
} catch (const std::bad_alloc &) {
	errno = ENOMEM;
	perror("malloc()");
	return -1;
}

int restore_asked(const restore_request &req)
{
	const bool try_only = req.how == mode::try_only;
	if (check_yank_dir() == -1 || check_split() == -1)
		return 1;
	// A restore changes the queue as a yank does: one run at a time, and
	// not under a running qmail-send, which would not see a restored
	// message that has info until it restarts.
	if (!try_only && (take_run_lock(settings.queue_fd) == -1 ||
	    hold_send_lock(settings.queue_fd, "restoring") == -1))
		return 1;
	std::vector<unsigned long> numbers;
	if (numbers_asked(req, numbers) == -1)
		return 1;
	for (unsigned long n : numbers)
		restore_file(n, try_only);
	write_tally(try_only ? "would be restored" : "restored");
	return run.left_alone > 0 || run.failed > 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char *argv[])
{
	os_set_program_name(argc > 0 ? argv[0] : nullptr);
	restore_request req;
	if (argc < 2) {
		write_restore_usage();
		exit(1);
	}
	if (parse_restore_options(argc, argv, req) != 0)
		exit(1);
	if (settings.queue_fd == -1 && enter_default_queue() == -1)
		exit(1);
	exit(req.how == mode::list ? list_yanked() : restore_asked(req));
}
