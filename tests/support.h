// support.h: what the tests share: temporary trees, running a built
// program in a child, and the queue fixture the end-to-end tests use.
#ifndef SPOOLSIFT_TESTS_SUPPORT_H
#define SPOOLSIFT_TESTS_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "settings.h"

#include <sys/stat.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace test {

// The binary a variable names, else the one this build made. tests/run-all
// runs the end-to-end tests of the plain build against the sanitizer
// builds' binaries this way (SPOOLSIFT_TEST_BIN, SPOOLSIFT_TEST_RESTORE_BIN)
// rather than build every test program three times.
inline std::string binary_under_test(const char *variable, const char *built)
{
	const char *named = getenv(variable);
	return named != nullptr && *named != '\0' ? named : built;
}

// Paths of the binaries under test.
inline const std::string spoolsift_bin =
    binary_under_test("SPOOLSIFT_TEST_BIN", SPOOLSIFT_BIN);
inline const std::string restore_bin =
    binary_under_test("SPOOLSIFT_TEST_RESTORE_BIN", RESTORE_BIN);
inline const std::string mkqueue_bin = MKQUEUE_BIN;

// The sanitizer the binary under test was built with, as tests/run-all
// says it (SPOOLSIFT_TEST_SANITIZER: "address" or "thread"), else the
// one this build uses; "" for none.
inline std::string binary_sanitizer()
{
	const char *named = getenv("SPOOLSIFT_TEST_SANITIZER");
	if (named != nullptr)
		return named;
#if defined(SPOOLSIFT_SANITIZED)
	return "address";
#elif defined(SPOOLSIFT_THREAD_SANITIZED)
	return "thread";
#else
	return "";
#endif
}

// The per-message subdirectories, in the order delete visits them: mess
// last, as qmail itself finishes a message.
inline const char *const subdirs[] = {
	"local", "remote", "bounce", "intd", "todo", "info", "mess",
};
// The order yank visits them: first the two files that make qmail-send
// act on a message, mess last.
inline const char *const yank_subdirs[] = {
	"info", "todo", "intd", "local", "remote", "bounce", "mess",
};

// What the system layer of the binary under test can do: this build's
// (SPOOLSIFT_BIRTH_TIME, SPOOLSIFT_MOVE_BY_LINK), unless tests/run-all
// says another build's (SPOOLSIFT_TEST_BIRTH_TIME and so on, from that
// build's system-layer.env).
inline bool layer_fact(const char *variable, bool built)
{
	const char *named = getenv(variable);
	return named != nullptr && *named != '\0' ? strcmp(named, "0") != 0
						   : built;
}
inline const bool binary_has_birth_time =
    layer_fact("SPOOLSIFT_TEST_BIRTH_TIME", SPOOLSIFT_BIRTH_TIME);
inline const bool binary_moves_by_link =
    layer_fact("SPOOLSIFT_TEST_MOVE_BY_LINK", SPOOLSIFT_MOVE_BY_LINK);

// The calls tests/fault_inject.cpp counts for the move of one file: one
// rename, or a link and an unlink where the system layer has no rename
// that never replaces.
inline const int calls_per_move = binary_moves_by_link ? 2 : 1;

struct Result {
	int status = -1;	// exit status, or 128 + signal number
	std::string out;
	std::string err;
	long max_rss_kb = 0;	// peak resident size of the child
};

struct RunOptions {
	std::string cwd;			// empty: the test's own
	std::vector<std::string> env;		// extra NAME=VALUE entries
	bool unprivileged = false;		// run as nobody (65534)
	std::string argv0;			// empty: the program path
	std::optional<std::string> input;	// standard input; none: the test's
};

// Runs program with args in a child and collects both channels.
Result run_program(const std::string &program,
    const std::vector<std::string> &args, const RunOptions &opts = {});

// A directory made under mkdtemp and removed with everything in it.
class TempDir {
public:
	TempDir();
	explicit TempDir(const std::string &parent);	// made in parent
	~TempDir();
	TempDir(const TempDir &) = delete;
	TempDir &operator=(const TempDir &) = delete;
	const std::string &path() const { return path_; }

private:
	std::string path_;
};

// A program left running in the background, for tests that act while it
// runs. Given descriptors of this process become its own (its number:
// ours); the others it inherits are closed on exec. A child still
// running when the object goes is killed and reaped.
class Child {
public:
	Child(const std::string &program, const std::vector<std::string> &args,
	    const std::map<int, int> &fds,
	    const std::optional<std::vector<std::string>> &env = std::nullopt);
	~Child();
	Child(const Child &) = delete;
	Child &operator=(const Child &) = delete;

	pid_t pid() const { return pid_; }
	bool running();			// reaps it when it has ended
	// Its status (as Result.status) once it ends, or none when it still
	// runs after limit seconds.
	std::optional<int> wait(int limit_seconds);
	void signal(int sig);		// while it has not been reaped

private:
	pid_t pid_ = -1;
	std::optional<int> status_;
};

// Whole-file helpers; they fail the current test on error.
void write_file(const std::string &path, const std::string &content);
std::optional<std::string> read_file(const std::string &path);
void make_dirs(const std::string &path);	// mkdir -p
bool exists(const std::string &path);		// lstat succeeds

// The lines of a text, in order.
std::vector<std::string> lines_of(const std::string &text);

// Lines of text as a sorted list, for output in directory order.
std::vector<std::string> sorted_lines(const std::string &text);

// One entry of a tree, for before-and-after comparisons.
struct entry_state {
	dev_t dev = 0;		// which file: two names of one file share
	ino_t ino = 0;		// these
	mode_t mode = 0;	// kind and permissions
	off_t size = 0;
	std::string digest;	// content digest; "-> target" for a link
	timespec atime{}, mtime{}, ctime{};
};

// Every entry under root, by its path relative to root ("mess/8/100").
std::map<std::string, entry_state> tree_snapshot(const std::string &root);

using tree = std::map<std::string, entry_state>;

// The tree under root before a run. Taking a snapshot reads every file,
// which may itself move access times (always under strictatime, once
// since the last change under relatime); so the access times are the
// ones that reading left, and only what the run does afterwards shows.
tree settled_snapshot(const std::string &root);

// Whether got is the tree want describes: the same paths, kinds, sizes,
// contents and times. Directory times change with their entries, and
// any change of a file moves its status-change time, so neither is
// compared; nor the access time of paths read_by_run names (files the
// search reads). On failure, names the first few entries that differ.
::testing::AssertionResult same_tree(const tree &want, const tree &got,
    const std::function<bool(const std::string &)> &read_by_run = nullptr);

// Every entry under root (relative path, kind, size, content digest,
// modification time), one line each and sorted: two listings compare
// equal when nothing in the tree changed.
std::string tree_listing(const std::string &root);

// What body wrote to standard error, for in-process calls.
std::string capture_stderr(const std::function<void()> &body);

// Whether this process may use a private mount namespace (unshare).
bool can_unshare_mount();

// Runs spoolsift inside a private mount namespace in which /var is a
// fresh tmpfs, after the shell commands in setup (run there too), so the
// default queue path can be made to hold a test queue by a bind mount,
// or to be missing, without touching the host's.
Result run_in_mount_namespace(const std::string &setup,
    const std::vector<std::string> &args);

// Runs script with /bin/sh -e inside a private mount namespace in which
// /var is a fresh tmpfs, for commands written against the default queue
// path: the script mounts a test queue there itself.
Result run_shell_in_mount_namespace(const std::string &script);

// The absolute path of a program found in PATH, or "" when there is none.
std::string find_program(const std::string &name);

// The sh blocks under each "### title" of a tasks page, one after the
// other (doc/tasks.md), by title.
std::map<std::string, std::string> common_tasks(const std::string &page);

// Runs script with /bin/sh -e from /, as root's shell would, inside a
// private mount namespace in which /var is a fresh tmpfs and queue is
// mounted at /var/qmail/queue, with bin first in PATH: the commands of
// the tasks page, on a test queue.
Result run_at_default_queue(const std::string &script,
    const std::string &queue, const std::string &bin);

// Runs spoolsift (or program) with args inside a private mount
// namespace, after the shell commands in setup (run there too, as root):
// mounts made there vanish with the run and are never seen outside.
Result run_with_private_mounts(const std::string &setup,
    const std::vector<std::string> &args,
    const std::string &program = spoolsift_bin);

// A fresh queue directory with the seven message subdirectories, the
// hashed ones split 23 ways, for one end-to-end scenario.
class QueueRun : public ::testing::Test {
protected:
	void SetUp() override;

	// Creates queue-relative path with content, and its directories.
	void put(const std::string &rel, const std::string &content);
	bool has(const std::string &rel) const;
	std::string qpath(const std::string &rel) const;

	// spoolsift with args; "-q queue" is the caller's to pass.
	Result run(const std::vector<std::string> &args,
	    const RunOptions &opts = {}) const;

	TempDir tmp_;
	std::string queue_;	// tmp_/queue
};

// For tests that call the modules in-process: the run settings, getopt's
// scan state and the working directory are put back after each test, and
// a queue descriptor the test opened is closed.
class InProcess : public ::testing::Test {
protected:
	void SetUp() override;
	void TearDown() override;

	// parse_options on a vector of words; the program name comes first.
	// The words live as long as the test, as argv does in a run.
	int parse(const std::vector<std::string> &args);

	TempDir tmp_;

private:
	std::vector<std::unique_ptr<std::vector<std::string>>> argvs_;
	run_settings saved_;
	int cwd_fd_ = -1;
};

}  // namespace test

#endif
