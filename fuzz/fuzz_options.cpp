// fuzz_options.cpp: the option parser, run in-process on random argument
// vectors, against a model of the grammar ("+ehin:p:q:drs:vy:?X:x:" read
// by POSIX rules): the result, every word on standard error, the settings
// it leaves, the working directory and the queue descriptor.
//
// The target works in a private directory holding a directory, a file, a
// FIFO and links, and skips vectors with absolute paths or "..": -q may
// open only what is in there.
#include "fuzz_support.h"
#include "settings.h"

#include <dirent.h>
#include <fcntl.h>
#include <regex.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <vector>

namespace {

int sandbox_fd = -1;
std::string sandbox;

void remove_sandbox()
{
	for (const char *name : {"dir/sub", "dir"})
		rmdir((sandbox + "/" + name).c_str());
	for (const char *name : {"file", "fifo", "link", "dangling"})
		unlink((sandbox + "/" + name).c_str());
	rmdir(sandbox.c_str());
}

std::set<int> open_fds()
{
	std::set<int> fds;
	DIR *d = opendir("/proc/self/fd");
	if (d == nullptr)
		fuzz::fail("cannot list /proc/self/fd");
	while (dirent *e = readdir(d))
		if (e->d_name[0] != '.')
			fds.insert(atoi(e->d_name));
	fds.erase(dirfd(d));
	closedir(d);
	return fds;
}

std::string usage_text(int64_t expire_secs)
{
	return std::string(program_invocation_short_name) + " [options]\n"
	    "  -e\t\tuse extended POSIX regular expressions\n"
	    "  -h, -?\tthis help message\n"
	    "  -i\t\tsearch case insensitively [default: case sensitive]\n"
	    "  -n <bytes>\tlimit our search to the first <bytes> bytes of each file\n"
	    "  -p <pattern>\tspecify the pattern to search for\n"
	    "  -q <queuedir>\tspecify the base qmail queue dir [default: /var/qmail/queue]\n"
	    "  -d\t\tactually remove files not yank them, no -p will delete all the messages!\n"
	    "  -r\t\tactually remove files, without this we'll only print them\n"
	    "  -s <split>\tspecify your conf-split value if non-standard [default: 23]\n"
	    "  -v\t\tincrease verbosity (can be used more than once)\n"
	    "  -y <yankdir>\tdirectory to put files yanked from the queue [default: <queuedir>/yanked]\n"
	    "  -X <secs> \tmodify timestamp on matching files, to make qmail expire mail\n"
	    "\t\t <secs> is the number of seconds we want to move the file into the past.\n"
	    "\t\t specifying a value of 0 causes this to default to (" +
	    std::to_string(expire_secs) + ")\n"
	    "  -x <timespec>\tmodify timestamp on matching files, to make qmail expire mail\n"
	    "\t\t <timespec> is a date/time string in the format of output of the \"date\" program.\n"
	    "\t\t see manpage for strptime(2) for details of this format\n";
}

// What parsing should leave behind.
struct outcome {
	int result = 0;
	std::string err;
	run_settings s;
	int cwd = -1;		// the directory that should be current
	int queue = -1;		// the directory queue_fd should name, or
	bool queue_file = false;	// a non-directory it opened
	struct stat queue_st {};
};

// The grammar, by its rules. Dates are read by the date reader itself,
// which has its own target.
outcome model(const std::vector<char *> &argv)
{
	outcome o;
	o.cwd = dup(sandbox_fd);
	const int argc = static_cast<int>(argv.size()) - 1;
	auto refuse = [&](const std::string &text) {
		o.err += text;
		o.result = 1;
	};
	int rest = argc;	// the first word after the options
	for (int i = 1; i < argc && o.result == 0; i++) {
		const char *w = argv[i];
		if (w[0] != '-' || w[1] == '\0' || strcmp(w, "--") == 0) {
			rest = strcmp(w, "--") == 0 ? i + 1 : i;
			break;
		}
		for (size_t j = 1; w[j] != '\0' && o.result == 0; j++) {
			const char c = w[j];
			const char *spec = c == ':' ? nullptr
						    : strchr("ehin:p:q:drs:vy:?X:x:", c);
			if (spec == nullptr) {
				refuse(std::string("spoolsift: invalid option -- '") +
				    c + "'\n" + usage_text(o.s.expire_secs));
				break;
			}
			const char *arg = nullptr;
			if (spec[1] == ':') {
				if (w[j + 1] != '\0') {
					arg = w + j + 1;
				} else if (i + 1 < argc) {
					arg = argv[++i];
				} else {
					refuse(std::string("spoolsift: option requires "
							   "an argument -- '") +
					    c + "'\n" + usage_text(o.s.expire_secs));
					break;
				}
			}
			switch (c) {
			case 'e':
				o.s.regex_flags |= REG_EXTENDED | REG_ICASE;
				break;
			case 'i':
				o.s.regex_flags |= REG_ICASE;
				break;
			case 'n': {
				unsigned long v = fuzz::model_strtoul(arg);
				if (v == ULONG_MAX)
					refuse("invalid number of bytes\n");
				else
					o.s.max_bytes = static_cast<int64_t>(v);
				break;
			}
			case 'p':
				o.s.pattern = arg;
				break;
			case 'q': {
				struct stat st;
				if (fstatat(o.cwd, arg, &st, 0) == -1) {
					refuse(std::string("open(): ") +
					    strerror(errno) + "\n");
				} else if (!S_ISDIR(st.st_mode)) {
					o.queue_file = true;
					o.queue_st = st;
					refuse(std::string("fchdir(): ") +
					    strerror(ENOTDIR) + "\n");
				} else {
					int next = openat(o.cwd, arg,
					    O_RDONLY | O_DIRECTORY);
					if (next == -1)
						fuzz::fail("model cannot open a directory");
					close(o.cwd);
					o.cwd = next;
					o.queue = next;
					o.queue_file = false;
					o.s.queue_dir = arg;
				}
				break;
			}
			case 'd':
				o.s.do_delete = 1;
				break;
			case 'r':
				o.s.do_yank = 1;
				break;
			case 's': {
				unsigned long v = fuzz::model_strtoul(arg);
				auto split = static_cast<int32_t>(static_cast<uint32_t>(v));
				if (v == ULONG_MAX || split == 0)
					refuse("invalid split value\n");
				else
					o.s.split = split;
				break;
			}
			case 'v':
				o.s.verbose++;
				break;
			case 'y':
				o.s.yank_dir = arg;
				break;
			case 'X': {
				long secs = fuzz::model_strtol(arg);
				if (secs == -1) {
					refuse(std::string("invalid expire offset value [ ") +
					    arg + " ]\n");
					break;
				}
				o.s.do_expire = 1;
				if (secs != 0)
					o.s.expire_secs = secs;
				o.err += "Offsetting timestamps by " +
				    std::to_string(o.s.expire_secs) +
				    " seconds \n";
				o.s.expire_when = -1;
				break;
			}
			case 'x': {
				int64_t when = 0;
				int rc = 0;
				std::string said = fuzz::captured_stderr(
				    [&] { rc = parse_expire_date(arg, &when); });
				if (rc == -1) {
					refuse(said);
					break;
				}
				o.s.do_expire = 1;
				o.s.expire_when = when;
				o.err += "time in seconds: " +
				    std::to_string(when) + " [ " +
				    arg + " ]\n";
				o.s.expire_secs = 0;
				break;
			}
			default:	// -h, -?
				refuse(usage_text(o.s.expire_secs));
				break;
			}
			if (arg != nullptr)
				break;	// the argument used up the word
		}
	}
	// Options read to the end decide the one action.
	if (o.result == 0)
		o.s.action = o.s.do_yank == 1 ? run_action::yank
		    : o.s.do_delete == 1 ? run_action::remove
		    : o.s.do_expire == 1 ? run_action::expire
					 : run_action::none;
	// An acting run refuses any word left after the options.
	const bool acting = o.s.do_yank == 1 || o.s.do_delete == 1 ||
	    o.s.do_expire == 1;
	if (o.result == 0 && acting && rest < argc)
		refuse(std::string("unexpected argument: ") + argv[rest] + "\n" +
		    usage_text(o.s.expire_secs));
	return o;
}

bool same_dir(int a, int b)
{
	struct stat sa, sb;
	return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 &&
	    sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

const char *const dictionary[] = {
	"-e", "-i", "-n", "-p", "-q", "-d", "-r", "-s", "-v", "-y", "-X", "-x",
	"-h", "-?", "--", "-", "-vvr", "-ei", "-q", "-qdir", "-qfile",
	"-qfifo", "-qlink", "-qdangling", "dir", "dir/sub", "file", "fifo",
	"link", "dangling", "sub", "0", "-1", "1", "abc", "23", "4294967295",
	"4294967296", "18446744073709551615", "18446744073709551614",
	"9223372036854775808", "-9223372036854775808", "604800",
	"Mon Jan  1 00:00:00 UTC 2024", "Thu Jan  1 00:00:00 UTC 1969", "",
	"-:", "-+", "--long",
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	char tmpl[] = "/tmp/spoolsift-fuzz-options.XXXXXX";
	if (mkdtemp(tmpl) == nullptr || chdir(tmpl) == -1)
		fuzz::fail("cannot make the private directory");
	sandbox = tmpl;
	atexit(remove_sandbox);
	if (mkdir("dir", 0755) == -1 || mkdir("dir/sub", 0755) == -1 ||
	    close(open("file", O_CREAT | O_WRONLY, 0644)) == -1 ||
	    mkfifo("fifo", 0644) == -1 || symlink("dir", "link") == -1 ||
	    symlink("nowhere", "dangling") == -1)
		fuzz::fail("cannot fill the private directory");
	sandbox_fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	// The capture keeps two descriptors of its own: open them now, so
	// they are not taken for ones the parser left open.
	fuzz::captured_stderr([] {});
	setenv("TZ", "UTC0", 1);
	tzset();
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	FuzzedDataProvider in(data, size);
	std::vector<std::string> words = {"spoolsift"};
	const size_t count = in.ConsumeIntegralInRange<size_t>(0, 8);
	for (size_t i = 0; i < count; i++) {
		std::string w = in.ConsumeBool()
		    ? dictionary[in.ConsumeIntegralInRange<size_t>(
			  0, std::size(dictionary) - 1)]
		    : in.ConsumeRandomLengthString(40);
		w = w.c_str();
		// Only the private directory: no way out of it.
		if (w.find('/') == 0 || w.find("..") != std::string::npos)
			return 0;
		words.push_back(w);
	}
	std::vector<char *> argv;
	for (auto &w : words)
		argv.push_back(w.data());
	argv.push_back(nullptr);

	const std::set<int> fds_before = open_fds();
	outcome want = model(argv);
	const std::set<int> fds_model = open_fds();

	if (fchdir(sandbox_fd) == -1)
		fuzz::fail("cannot enter the private directory");
	const run_settings saved = settings;
	optind = 0;	// a fresh scan
	int result = -1;
	std::string err = fuzz::captured_stderr([&] {
		result = parse_options(static_cast<int>(argv.size()) - 1,
		    argv.data());
	});

	std::string where;
	for (auto &w : words)
		where += "[" + w + "] ";
	fuzz::check(result == want.result, where + "result " +
		std::to_string(result));
	fuzz::check(err == want.err, where + "said:\n" + err + "want:\n" + want.err);
	const run_settings &s = settings;
	fuzz::check(s.regex_flags == want.s.regex_flags, where + "regex_flags");
	fuzz::check(s.max_bytes == want.s.max_bytes, where + "max_bytes");
	fuzz::check(s.pattern == want.s.pattern, where + "pattern");
	fuzz::check(s.split == want.s.split, where + "split");
	fuzz::check(strcmp(s.yank_dir, want.s.yank_dir) == 0, where + "yank_dir");
	fuzz::check(s.verbose == want.s.verbose, where + "verbose");
	fuzz::check(s.do_yank == want.s.do_yank, where + "do_yank");
	fuzz::check(s.do_delete == want.s.do_delete, where + "do_delete");
	fuzz::check(s.do_expire == want.s.do_expire, where + "do_expire");
	fuzz::check(s.action == want.s.action, where + "action");
	fuzz::check(s.expire_secs == want.s.expire_secs, where + "expire_secs");
	fuzz::check(s.expire_when == want.s.expire_when, where + "expire_when");
	fuzz::check(s.queue_dir == want.s.queue_dir, where + "queue_dir");
	int here = open(".", O_RDONLY | O_DIRECTORY);
	fuzz::check(same_dir(here, want.cwd), where + "working directory");
	close(here);
	if (want.queue_file) {
		struct stat st;
		fuzz::check(s.queue_fd != -1 && fstat(s.queue_fd, &st) == 0 &&
			st.st_ino == want.queue_st.st_ino,
		    where + "queue_fd after a failed fchdir");
	} else if (want.queue != -1) {
		fuzz::check(s.queue_fd != -1 && same_dir(s.queue_fd, want.queue),
		    where + "queue_fd");
	} else {
		fuzz::check(s.queue_fd == -1, where + "queue_fd set");
	}

	// Every descriptor the parser opened stays open (one per -q), and
	// nothing else: close them for the next input.
	for (int fd : open_fds())
		if (fds_model.count(fd) == 0)
			close(fd);
	for (int fd : fds_model)
		if (fds_before.count(fd) == 0)
			close(fd);
	settings = saved;
	fchdir(sandbox_fd);
	return 0;
}
