// support.cpp: child processes, temporary trees and tree listings for
// the tests.
#include "support.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace test {

namespace {

// FNV-1a over the whole content: enough to see any change to a file.
// Read in pieces, so that a message of gigabytes costs no more memory
// than a small one.
std::string file_digest(const std::string &path)
{
	unsigned long long h = 1469598103934665603ULL;
	int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
	if (fd == -1) {
		ADD_FAILURE() << "cannot read " << path << ": " << strerror(errno);
		return "";
	}
	// One buffer for every file: a queue has thousands of small ones.
	static std::vector<unsigned char> buf(1 << 16);
	ssize_t n;
	while ((n = read(fd, buf.data(), buf.size())) > 0)
		for (ssize_t i = 0; i < n; i++) {
			h ^= buf[i];
			h *= 1099511628211ULL;
		}
	close(fd);
	char text[17];
	snprintf(text, sizeof text, "%016llx", h);
	return text;
}

void drain(int out_fd, int err_fd, Result &r)
{
	struct pollfd p[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
	std::string *sink[2] = {&r.out, &r.err};
	int open_fds = 2;
	char buf[65536];
	while (open_fds > 0) {
		if (poll(p, 2, -1) == -1) {
			if (errno == EINTR)
				continue;
			ADD_FAILURE() << "poll: " << strerror(errno);
			return;
		}
		for (int i = 0; i < 2; i++) {
			if (p[i].fd == -1 || p[i].revents == 0)
				continue;
			ssize_t n = read(p[i].fd, buf, sizeof buf);
			if (n > 0) {
				sink[i]->append(buf, static_cast<size_t>(n));
			} else if (n == 0 || errno != EINTR) {
				close(p[i].fd);
				p[i].fd = -1;
				open_fds--;
			}
		}
	}
}

}  // namespace

Result run_program(const std::string &program,
    const std::vector<std::string> &args, const RunOptions &opts)
{
	Result r;
	int out[2], err[2];
	if (pipe2(out, O_CLOEXEC) == -1 || pipe2(err, O_CLOEXEC) == -1) {
		ADD_FAILURE() << "pipe: " << strerror(errno);
		return r;
	}
	std::vector<std::string> env_store;
	for (char **e = environ; *e != nullptr; e++)
		env_store.emplace_back(*e);
	for (const auto &e : opts.env)
		env_store.push_back(e);
	std::vector<char *> envp;
	for (auto &e : env_store)
		envp.push_back(e.data());
	envp.push_back(nullptr);

	std::vector<std::string> argv_store;
	argv_store.push_back(opts.argv0.empty() ? program : opts.argv0);
	argv_store.insert(argv_store.end(), args.begin(), args.end());
	std::vector<char *> argv;
	for (auto &a : argv_store)
		argv.push_back(a.data());
	argv.push_back(nullptr);

	// Standard input from a file, so that the child can never block a
	// writer that is busy reading its output.
	std::unique_ptr<FILE, int (*)(FILE *)> input(nullptr, fclose);
	if (opts.input) {
		input.reset(tmpfile());
		if (input == nullptr ||
		    fwrite(opts.input->data(), 1, opts.input->size(),
			input.get()) != opts.input->size() ||
		    fflush(input.get()) != 0) {
			ADD_FAILURE() << "cannot write the input: " << strerror(errno);
			return r;
		}
		rewind(input.get());
	}

	fflush(nullptr);
	pid_t pid = fork();
	if (pid == -1) {
		ADD_FAILURE() << "fork: " << strerror(errno);
		return r;
	}
	if (pid == 0) {
		if (input != nullptr)
			dup2(fileno(input.get()), 0);
		dup2(out[1], 1);
		dup2(err[1], 2);
		if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) == -1)
			_exit(126);
		if (opts.unprivileged &&
		    (setgroups(0, nullptr) == -1 || setgid(65534) == -1 ||
			setuid(65534) == -1))
			_exit(126);
		execve(program.c_str(), argv.data(), envp.data());
		_exit(127);
	}
	close(out[1]);
	close(err[1]);
	drain(out[0], err[0], r);
	int st = 0;
	struct rusage usage = {};
	while (wait4(pid, &st, 0, &usage) == -1 && errno == EINTR)
		;
	r.max_rss_kb = usage.ru_maxrss;
	r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
	return r;
}

TempDir::TempDir()
{
	std::string tmpl = (fs::temp_directory_path() / "spoolsift-XXXXXX");
	if (mkdtemp(tmpl.data()) == nullptr)
		ADD_FAILURE() << "mkdtemp: " << strerror(errno);
	path_ = tmpl;
}

TempDir::TempDir(const std::string &parent)
{
	std::string tmpl = parent + "/spoolsift-XXXXXX";
	if (mkdtemp(tmpl.data()) == nullptr)
		ADD_FAILURE() << "mkdtemp in " << parent << ": " << strerror(errno);
	path_ = tmpl;
}

TempDir::~TempDir()
{
	std::error_code ec;
	// Tests may leave directories without permissions behind.
	for (auto it = fs::recursive_directory_iterator(path_,
		 fs::directory_options::skip_permission_denied, ec);
	     !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
		if (it->is_directory(ec) && !it->is_symlink(ec))
			chmod(it->path().c_str(), 0700);
	fs::remove_all(path_, ec);
}

Child::Child(const std::string &program, const std::vector<std::string> &args,
    const std::map<int, int> &fds,
    const std::optional<std::vector<std::string>> &env)
{
	std::vector<std::string> env_store;
	if (env) {
		env_store = *env;
	} else {
		for (char **e = environ; *e != nullptr; e++)
			env_store.emplace_back(*e);
	}
	std::vector<char *> envp;
	for (auto &e : env_store)
		envp.push_back(e.data());
	envp.push_back(nullptr);
	std::vector<std::string> argv_store = {program};
	argv_store.insert(argv_store.end(), args.begin(), args.end());
	std::vector<char *> argv;
	for (auto &a : argv_store)
		argv.push_back(a.data());
	argv.push_back(nullptr);

	fflush(nullptr);
	pid_ = fork();
	if (pid_ == -1) {
		ADD_FAILURE() << "fork: " << strerror(errno);
		return;
	}
	if (pid_ != 0)
		return;
	// Out of the way first, so that one target cannot be another's
	// source.
	std::map<int, int> moved;
	for (const auto &[to, from] : fds)
		if ((moved[to] = fcntl(from, F_DUPFD_CLOEXEC, 100)) == -1)
			_exit(126);
	for (const auto &[to, from] : moved)
		if (dup2(from, to) == -1)
			_exit(126);
	execve(program.c_str(), argv.data(), envp.data());
	_exit(127);
}

Child::~Child()
{
	if (running()) {
		kill(pid_, SIGKILL);
		wait(60);
	}
}

bool Child::running()
{
	return pid_ > 0 && !wait(0);
}

std::optional<int> Child::wait(int limit_seconds)
{
	if (pid_ <= 0 || status_)
		return status_;
	for (int tries = 0;; tries++) {
		int st = 0;
		pid_t got = waitpid(pid_, &st, WNOHANG);
		if (got == pid_) {
			status_ = WIFEXITED(st) ? WEXITSTATUS(st) :
			    128 + WTERMSIG(st);
			return status_;
		}
		if (got == -1 && errno != EINTR) {
			ADD_FAILURE() << "waitpid: " << strerror(errno);
			return std::nullopt;
		}
		if (tries >= limit_seconds * 100)
			return std::nullopt;
		usleep(10000);
	}
}

void Child::signal(int sig)
{
	// Never once reaped: the number may be another process's by now.
	if (pid_ > 0 && !status_)
		kill(pid_, sig);
}

void write_file(const std::string &path, const std::string &content)
{
	std::ofstream f(path, std::ios::binary | std::ios::trunc);
	f.write(content.data(), static_cast<std::streamsize>(content.size()));
	if (!f)
		ADD_FAILURE() << "cannot write " << path;
}

std::optional<std::string> read_file(const std::string &path)
{
	std::ifstream f(path, std::ios::binary);
	if (!f)
		return std::nullopt;
	std::ostringstream s;
	s << f.rdbuf();
	return s.str();
}

void make_dirs(const std::string &path)
{
	std::error_code ec;
	fs::create_directories(path, ec);
	if (ec)
		ADD_FAILURE() << "cannot create " << path << ": " << ec.message();
}

bool exists(const std::string &path)
{
	struct stat st;
	return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> lines_of(const std::string &text)
{
	std::vector<std::string> lines;
	std::istringstream s(text);
	for (std::string line; std::getline(s, line);)
		lines.push_back(line);
	return lines;
}

std::vector<std::string> sorted_lines(const std::string &text)
{
	std::vector<std::string> lines = lines_of(text);
	std::sort(lines.begin(), lines.end());
	return lines;
}

std::map<std::string, entry_state> tree_snapshot(const std::string &root)
{
	std::map<std::string, entry_state> tree;
	std::error_code ec;
	for (auto it = fs::recursive_directory_iterator(root, ec);
	     !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
		const std::string p = it->path().string();
		struct stat st;
		if (lstat(p.c_str(), &st) == -1)
			continue;
		entry_state e;
		e.dev = st.st_dev;
		e.ino = st.st_ino;
		e.mode = st.st_mode;
		e.size = st.st_size;
		e.atime = st.st_atim;
		e.mtime = st.st_mtim;
		e.ctime = st.st_ctim;
		if (S_ISREG(st.st_mode))
			e.digest = file_digest(p);
		else if (S_ISLNK(st.st_mode))
			e.digest = "-> " + fs::read_symlink(it->path(), ec).string();
		tree.emplace(p.substr(root.size() + 1), std::move(e));
	}
	if (ec)
		ADD_FAILURE() << "cannot list " << root << ": " << ec.message();
	return tree;
}

tree settled_snapshot(const std::string &root)
{
	tree t = tree_snapshot(root);
	for (auto &[path, e] : t) {
		struct stat st;
		if (lstat((root + "/" + path).c_str(), &st) == 0)
			e.atime = st.st_atim;
		else
			ADD_FAILURE() << path << ": " << strerror(errno);
	}
	return t;
}

namespace {

std::string show(const timespec &t)
{
	return std::to_string(t.tv_sec) + "." + std::to_string(t.tv_nsec);
}

bool same_time(const timespec &a, const timespec &b)
{
	return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

::testing::AssertionResult same_tree(const tree &want, const tree &got,
    const std::function<bool(const std::string &)> &read_by_run)
{
	std::vector<std::string> diffs;
	for (const auto &[path, w] : want) {
		auto it = got.find(path);
		if (it == got.end()) {
			diffs.push_back(path + ": missing");
			continue;
		}
		const entry_state &g = it->second;
		std::string how;
		if (g.mode != w.mode)
			how += " mode";
		if (!S_ISDIR(w.mode)) {
			if (g.size != w.size)
				how += " size";
			if (g.digest != w.digest)
				how += " content";
			if (!same_time(g.mtime, w.mtime))
				how += " mtime " + show(g.mtime) + " want " +
				    show(w.mtime);
			if (!(read_by_run && read_by_run(path)) &&
			    !same_time(g.atime, w.atime))
				how += " atime " + show(g.atime) + " want " +
				    show(w.atime);
		}
		if (!how.empty())
			diffs.push_back(path + ":" + how);
	}
	for (const auto &[path, g] : got)
		if (want.count(path) == 0)
			diffs.push_back(path + ": unexpected");
	if (diffs.empty())
		return ::testing::AssertionSuccess();
	const size_t shown = 20;
	auto failure = ::testing::AssertionFailure();
	failure << diffs.size() << " of " << want.size() << " entries differ:";
	for (size_t i = 0; i < diffs.size() && i < shown; i++)
		failure << "\n  " << diffs[i];
	if (diffs.size() > shown)
		failure << "\n  ...";
	return failure;
}

std::string tree_listing(const std::string &root)
{
	std::string out;
	for (const auto &[path, e] : tree_snapshot(root)) {
		std::ostringstream row;
		row << "/" << path << ' ' << std::oct << e.mode << std::dec << ' '
		    << e.size << ' ' << e.mtime.tv_sec << '.' << e.mtime.tv_nsec;
		if (!e.digest.empty())
			row << ' ' << e.digest;
		out += row.str() + "\n";
	}
	return out;
}

std::string capture_stderr(const std::function<void()> &body)
{
	fflush(stderr);
	FILE *sink = tmpfile();
	int saved = dup(STDERR_FILENO);
	if (sink == nullptr || saved == -1) {
		ADD_FAILURE() << "cannot capture stderr: " << strerror(errno);
		body();
		return "";
	}
	dup2(fileno(sink), STDERR_FILENO);
	body();
	fflush(stderr);
	dup2(saved, STDERR_FILENO);
	close(saved);
	std::string text;
	rewind(sink);
	char buf[4096];
	size_t n;
	while ((n = fread(buf, 1, sizeof buf, sink)) > 0)
		text.append(buf, n);
	fclose(sink);
	return text;
}

bool can_unshare_mount()
{
	Result r = run_program("/usr/bin/unshare",
	    {"--mount", "--propagation", "private", "/bin/true"});
	return r.status == 0;
}

Result run_in_mount_namespace(const std::string &setup,
    const std::vector<std::string> &args)
{
	return run_with_private_mounts(
	    "mount -t tmpfs tmpfs /var\n" + setup, args);
}

Result run_with_private_mounts(const std::string &setup,
    const std::vector<std::string> &args, const std::string &program)
{
	std::vector<std::string> argv = {"--mount", "--propagation", "private",
	    "/bin/sh", "-ec", setup + "\nexec \"$@\"", "sh", program};
	argv.insert(argv.end(), args.begin(), args.end());
	RunOptions opts;
	opts.argv0 = "unshare";
	return run_program("/usr/bin/unshare", argv, opts);
}

Result run_shell_in_mount_namespace(const std::string &script)
{
	RunOptions opts;
	opts.argv0 = "unshare";
	return run_program("/usr/bin/unshare",
	    {"--mount", "--propagation", "private", "/bin/sh", "-ec",
		"mount -t tmpfs tmpfs /var\n" + script},
	    opts);
}

std::map<std::string, std::string> common_tasks(const std::string &page)
{
	std::map<std::string, std::string> tasks;
	std::istringstream in(read_file(page).value_or(""));
	bool in_block = false;
	std::string title;
	for (std::string line; std::getline(in, line);) {
		if (in_block) {
			if (line == "```")
				in_block = false;
			else
				tasks[title] += line + "\n";
		} else if (size_t level = line.find_first_not_of('#');
		    level > 0 && level != std::string::npos &&
		    line[level] == ' ') {
			// A heading of any other level ends the task before it.
			title = level == 3 ? line.substr(4) : "";
		} else if (line == "```sh" && !title.empty()) {
			in_block = true;
		}
	}
	return tasks;
}

Result run_at_default_queue(const std::string &script,
    const std::string &queue, const std::string &bin)
{
	// Over a fresh tmpfs on /var: the host's /var/qmail is never seen,
	// let alone touched.
	return run_shell_in_mount_namespace(
	    "mkdir -p /var/qmail/queue /var/tmp\n"
	    "mount --bind '" + queue + "' /var/qmail/queue\n"
	    "PATH='" + bin + "':$PATH; export PATH\ncd /\n" + script);
}

std::string find_program(const std::string &name)
{
	const char *path = getenv("PATH");
	std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
	for (std::string dir; std::getline(dirs, dir, ':');) {
		std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
		if (access(candidate.c_str(), X_OK) == 0)
			return candidate;
	}
	return "";
}

void QueueRun::SetUp()
{
	queue_ = tmp_.path() + "/queue";
	for (const char *d : {"mess", "info", "local", "remote"})
		for (int i = 0; i < 23; i++)
			make_dirs(queue_ + "/" + d + "/" + std::to_string(i));
	for (const char *d : {"intd", "todo", "bounce", "lock", "pid"})
		make_dirs(queue_ + "/" + d);
	// As in every installed queue: a yank or delete then holds qmail-send's
	// lock, as it does on a host whose qmail-send is stopped.
	write_file(queue_ + "/lock/sendmutex", "");
}

void QueueRun::put(const std::string &rel, const std::string &content)
{
	const std::string p = qpath(rel);
	make_dirs(fs::path(p).parent_path().string());
	write_file(p, content);
}

bool QueueRun::has(const std::string &rel) const
{
	return exists(qpath(rel));
}

std::string QueueRun::qpath(const std::string &rel) const
{
	return queue_ + "/" + rel;
}

Result QueueRun::run(const std::vector<std::string> &args,
    const RunOptions &opts) const
{
	return run_program(spoolsift_bin, args, opts);
}

void InProcess::SetUp()
{
	saved_ = settings;
	cwd_fd_ = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	ASSERT_NE(cwd_fd_, -1) << strerror(errno);
}

void InProcess::TearDown()
{
	if (settings.queue_fd != saved_.queue_fd && settings.queue_fd != -1)
		close(settings.queue_fd);
	settings = saved_;
	EXPECT_EQ(fchdir(cwd_fd_), 0) << strerror(errno);
	close(cwd_fd_);
}

int InProcess::parse(const std::vector<std::string> &args)
{
	auto &words = *argvs_.emplace_back(
	    std::make_unique<std::vector<std::string>>(args));
	words.insert(words.begin(), "spoolsift");
	std::vector<char *> argv;
	for (auto &a : words)
		argv.push_back(a.data());
	argv.push_back(nullptr);
	optind = 0;	// glibc: start a fresh scan
	return parse_options(static_cast<int>(words.size()), argv.data());
}

}  // namespace test
