// pfloor.cpp: the fastest any program could open and read every message
// file of a queue, with no matching and no listing: the walk of "mess"
// with readdir, then K threads that take the files one after the other
// from a shared counter and open, fstat, read whole and close each. What
// spoolsift takes beyond this is its own cost, not the machine's.
//
// usage: pfloor [-j threads] queuedir
//
// It writes the number of files read, and nothing else, to standard
// error. With the page cache dropped, more threads keep more reads in
// flight for the disk; warm, two threads use two processors.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

struct file {
	int dir;		// an open directory, kept for the whole run
	std::string name;
};

std::vector<file> files;
std::vector<int> dirs;

// Lists the regular files under the directory open at fd, depth first,
// in the order the directories hold them.
void walk(int fd)
{
	dirs.push_back(fd);
	int copy = dup(fd);
	DIR *d = copy == -1 ? nullptr : fdopendir(copy);
	if (d == nullptr) {
		perror("fdopendir()");
		return;
	}
	std::vector<std::string> subdirs;
	while (struct dirent *e = readdir(d)) {
		const char *n = e->d_name;
		if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0')))
			continue;
		unsigned char type = e->d_type;
		if (type == DT_UNKNOWN) {
			struct stat st;
			if (fstatat(fd, n, &st, AT_SYMLINK_NOFOLLOW) == -1)
				continue;
			type = S_ISDIR(st.st_mode) ? DT_DIR
			    : S_ISREG(st.st_mode)  ? DT_REG : DT_UNKNOWN;
		}
		if (type == DT_REG)
			files.push_back({fd, n});
		else if (type == DT_DIR)
			subdirs.push_back(n);
	}
	closedir(d);
	for (const std::string &s : subdirs) {
		int sub = openat(fd, s.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
		if (sub != -1)
			walk(sub);
	}
}

std::atomic<size_t> next{0};
std::atomic<size_t> read_ok{0};

void reader()
{
	std::vector<char> buf;
	for (;;) {
		const size_t i = next.fetch_add(1);
		if (i >= files.size())
			return;
		int fd = openat(files[i].dir, files[i].name.c_str(),
		    O_RDONLY | O_NOFOLLOW);
		if (fd == -1)
			continue;
		struct stat st;
		if (fstat(fd, &st) == 0) {
			const size_t want = static_cast<size_t>(st.st_size);
			if (buf.size() < want + 1)
				buf.resize(want + 1);
			size_t got = 0;
			while (got < want) {
				ssize_t n = read(fd, buf.data() + got, want - got);
				if (n > 0)
					got += static_cast<size_t>(n);
				else if (n == -1 && errno == EINTR)
					continue;
				else
					break;
			}
			if (got == want)
				read_ok.fetch_add(1);
		}
		close(fd);
	}
}

}  // namespace

int main(int argc, char *argv[])
{
	const char usage_text[] = "usage: pfloor [-j threads] queuedir\n";
	long threads = 2;
	int opt;
	while ((opt = getopt(argc, argv, "j:")) != -1) {
		char *end = nullptr;
		threads = opt == 'j' ? strtol(optarg, &end, 10) : 0;
		if (opt != 'j' || *end != '\0' || threads < 1 || threads > 1024) {
			fputs(usage_text, stderr);
			return 1;
		}
	}
	if (argc - optind != 1) {
		fputs(usage_text, stderr);
		return 1;
	}
	const std::string mess = std::string(argv[optind]) + "/mess";
	int root = open(mess.c_str(), O_RDONLY | O_DIRECTORY);
	if (root == -1) {
		perror("open(mess)");
		return 1;
	}
	walk(root);
	std::vector<std::thread> pool;
	for (long t = 0; t < threads; t++)
		pool.emplace_back(reader);
	for (std::thread &t : pool)
		t.join();
	fprintf(stderr, "%zu file(s)\n", read_ok.load());
	for (int fd : dirs)
		close(fd);
	return 0;
}
