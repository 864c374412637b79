// faults_test.cpp: the tool on a live, hostile or broken queue. Each
// scenario snapshots the whole queue and a sentinel tree beside it (path,
// kind, content digest, times), runs the tool into the fault, and checks
// that every file is where it was, where a reported move put it, or
// reported removed, and that nothing beside the queue changed.
#include "support.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using test::lines_of;
using test::Result;
using test::tree;

using test::subdirs;

// "moved FROM to TO" report lines, by source path.
std::map<std::string, std::string> moves_in(const std::string &err)
{
	std::map<std::string, std::string> moves;
	for (const std::string &line : lines_of(err)) {
		if (!line.starts_with("moved "))
			continue;
		size_t to = line.find(" to ");
		if (to != std::string::npos)
			moves[line.substr(6, to - 6)] = line.substr(to + 4);
	}
	return moves;
}

// How many lines of text end with tail.
size_t lines_ending(const std::string &text, const std::string &tail)
{
	size_t n = 0;
	for (const std::string &line : lines_of(text))
		n += line.ends_with(tail) ? 1 : 0;
	return n;
}

// "remove PATH" report lines.
std::set<std::string> removals_in(const std::string &err)
{
	std::set<std::string> removed;
	for (const std::string &line : lines_of(err))
		if (line.starts_with("remove "))
			removed.insert(line.substr(7));
	return removed;
}

bool read_by_search(const std::string &path)
{
	return path.starts_with("queue/mess/") ||
	    (path.starts_with("queue/yanked/") && path.ends_with(".mess"));
}

// A queue and, beside it, a sentinel tree that no run may change: files
// (one carrying the spam word), a directory and a link.
class Faults : public test::QueueRun {
protected:
	void SetUp() override
	{
		QueueRun::SetUp();
		sentinel_ = tmp_.path() + "/sentinel";
		test::make_dirs(sentinel_ + "/dir");
		test::write_file(sentinel_ + "/bait", "Subject: jackpot\n");
		test::write_file(sentinel_ + "/dir/info", "Foutside@example.org\n");
		test::write_file(sentinel_ + "/plain", "nothing to see\n");
		ASSERT_EQ(symlink("bait", (sentinel_ + "/link").c_str()), 0);
	}

	// mkqueue into the (empty) queue directory.
	void generate(int count, int spam_percent)
	{
		std::error_code ec;
		std::filesystem::remove_all(queue_, ec);
		Result r = test::run_program(test::mkqueue_bin,
		    {"-n", std::to_string(count), "-S", "2", "-p",
			std::to_string(spam_percent), queue_});
		ASSERT_EQ(r.status, 0) << r.err;
	}

	// Everything under the test's directory: queue and sentinel.
	tree everything() const { return test::settled_snapshot(tmp_.path()); }
	tree now() const { return test::tree_snapshot(tmp_.path()); }

	// The tree before, with the reported moves and removals applied to
	// the queue part: what a run should leave when nothing else acts.
	static tree apply(const tree &before, const std::string &err,
	    const std::function<bool(const std::string &)> &skip = nullptr)
	{
		tree want = before;
		for (const auto &[from, to] : moves_in(err)) {
			if (skip && skip("queue/" + from))
				continue;
			auto node = want.extract("queue/" + from);
			EXPECT_FALSE(node.empty()) << "moved what was not there: " << from;
			if (node.empty())
				continue;
			node.key() = "queue/" + to;
			want.insert(std::move(node));
		}
		for (const std::string &p : removals_in(err)) {
			if (skip && skip("queue/" + p))
				continue;
			EXPECT_EQ(want.erase("queue/" + p), 1u)
			    << "removed what was not there: " << p;
		}
		return want;
	}

	std::string sentinel_;
};

// --- a queue that changes under the scan ------------------------------------

// Numbers no generated message has: the churn's own messages.
const unsigned long churn_base = 2000000000;
const std::string churn_spam = "Subject: churn jackpot\n";
const std::string churn_ham = "Subject: churn\n";

// Creates, renames and deletes message files of its own under mess and
// the other subdirectories, as fast as it can, until killed. Counts its
// steps in *steps.
[[noreturn]] void churn(const std::string &queue,
    const std::set<std::string> &taken, std::atomic<long> *steps)
{
	if (chdir(queue.c_str()) == -1)
		_exit(1);
	auto put = [](const std::string &p, const std::string &text) {
		int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
		if (fd != -1) {
			(void)!write(fd, text.data(), text.size());
			close(fd);
		}
	};
	for (unsigned long k = 0;; k++) {
		const unsigned long n = churn_base + k;
		if (taken.count(std::to_string(n)) != 0 ||
		    taken.count(std::to_string(n - 3)) != 0 ||
		    taken.count(std::to_string(n - 6)) != 0)
			continue;	// a generated message's number
		const std::string num = std::to_string(n);
		const std::string bucket = std::to_string(n % 23);
		const std::string &text = k % 2 ? churn_spam : churn_ham;
		put("mess/" + bucket + "/" + num, text);
		put("info/" + bucket + "/" + num, "Fchurn@example.org\n");
		put("todo/" + num, "");
		if (k >= 3) {
			// An older message moves to another bucket, and its
			// info file and todo entry go; older still, it goes.
			const unsigned long o = n - 3;
			const std::string on = std::to_string(o);
			const std::string ob = std::to_string(o % 23);
			rename(("mess/" + ob + "/" + on).c_str(),
			    ("mess/" + std::to_string((o + 1) % 23) + "/" + on)
				.c_str());
			unlink(("info/" + ob + "/" + on).c_str());
			unlink(("todo/" + on).c_str());
		}
		if (k >= 6) {
			const unsigned long o = n - 6;
			unlink(("mess/" + std::to_string((o + 1) % 23) + "/" +
			    std::to_string(o)).c_str());
		}
		steps->fetch_add(1);
	}
}

class LiveQueue : public Faults {
protected:
	// Runs the tool with args while the churn goes on; returns the run
	// and how many churn steps happened while it ran.
	Result run_during_churn(const std::vector<std::string> &args,
	    const tree &before, long &steps)
	{
		generated_ = names_in(before);
		auto *counter = static_cast<std::atomic<long> *>(mmap(nullptr,
		    sizeof(std::atomic<long>), PROT_READ | PROT_WRITE,
		    MAP_SHARED | MAP_ANONYMOUS, -1, 0));
		EXPECT_NE(counter, MAP_FAILED);
		new (counter) std::atomic<long>(0);
		pid_t pid = fork();
		if (pid == 0)
			churn(queue_, generated_, counter);
		while (counter->load() < 10)	// under way before the run
			std::this_thread::yield();
		const long first = counter->load();
		Result r = run(args);
		steps = counter->load() - first;
		kill(pid, SIGKILL);
		waitpid(pid, nullptr, 0);
		munmap(counter, sizeof(std::atomic<long>));
		return r;
	}

	// The message names in a tree's queue.
	static std::set<std::string> names_in(const tree &t)
	{
		std::set<std::string> names;
		for (const auto &[p, e] : t)
			if (p.starts_with("queue/") && !S_ISDIR(e.mode))
				names.insert(p.substr(p.rfind('/') + 1));
		return names;
	}

	// Every line is a verdict's report, a file the walker lost to the
	// churn, a churned message the walk met after it moved to another
	// bucket, a message qmail has not finished queuing (both left
	// alone), or the summary.
	static void expect_only_expected_lines(const std::string &err)
	{
		for (const std::string &line : lines_of(err))
			EXPECT_TRUE(line.starts_with("moved ") ||
			    line.starts_with("remove ") ||
			    line.starts_with("fts_read() mess/") ||
			    line.ends_with(" left alone, 0 failed") ||
			    (line.starts_with("20000") &&
				line.ends_with("; check -s")) ||
			    line.ends_with("not queued yet (no todo or info "
					   "file), left alone") ||
			    line.ends_with(" file(s) match"))
			    << line;
	}

	// The generated messages, apart from the churn: the reported moves
	// and removals and nothing else happened to them.
	void expect_generated_accounted(const tree &before, const std::string &err)
	{
		const tree got = now();
		tree want_stable, got_stable;
		// The churn's files: any message name the queue did not have,
		// also as a yank name ("2000000001.mess").
		auto churned = [this](const std::string &path) {
			if (!path.starts_with("queue/"))
				return false;
			std::string name = path.substr(path.rfind('/') + 1);
			if (path.starts_with("queue/yanked/"))
				name = name.substr(0, name.find('.'));
			return generated_.count(name) == 0 &&
			    std::strtoul(name.c_str(), nullptr, 10) >= churn_base;
		};
		for (const auto &[p, e] : apply(before, err, churned))
			if (!churned(p))
				want_stable.emplace(p, e);
		for (const auto &[p, e] : got)
			if (!churned(p))
				got_stable.emplace(p, e);
		EXPECT_TRUE(test::same_tree(want_stable, got_stable, read_by_search));
		// Churn files taken are whole: their content as written.
		for (const auto &[p, e] : got)
			if (churned(p) && p.starts_with("queue/yanked/") &&
			    p.ends_with(".mess")) {
				auto text = test::read_file(tmp_.path() + "/" + p);
				EXPECT_TRUE(text == churn_spam) << p;
			}
	}

	std::set<std::string> generated_;

	// Spam that was in the queue before the run: every such message
	// file is listed as matching.
	std::set<std::string> generated_spam(const tree &before) const
	{
		std::set<std::string> spam;
		for (const auto &[p, e] : before)
			if (p.starts_with("queue/mess/") && S_ISREG(e.mode)) {
				auto text = test::read_file(tmp_.path() + "/" + p);
				if (text && text->find("jackpot") != std::string::npos)
					spam.insert(p.substr(p.rfind('/') + 1));
			}
		return spam;
	}
};

TEST_F(LiveQueue, YankTakesWhatMatchesAndLosesNothingWhileTheQueueChanges)
{
	generate(1500, 10);
	test::make_dirs(qpath("yanked"));
	const tree before = everything();
	long steps = 0;
	Result r = run_during_churn({"-r", "-p", "jackpot", "-q", queue_}, before,
	    steps);
	std::cout << "[ churn    ] " << steps << " steps during the yank\n";
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_GT(steps, 0);
	expect_only_expected_lines(r.err);
	for (const std::string &name : generated_spam(before))
		EXPECT_NE(r.out.find(name + ": yes\n"), std::string::npos) << name;
	// Every move landed, with the content and times it had.
	for (const auto &[from, to] : moves_in(r.err))
		EXPECT_TRUE(test::exists(qpath(to))) << to;
	expect_generated_accounted(before, r.err);
}

TEST_F(LiveQueue, DeleteRemovesWhatMatchesAndNothingElseWhileTheQueueChanges)
{
	generate(1500, 10);
	const tree before = everything();
	long steps = 0;
	Result r = run_during_churn({"-d", "-p", "jackpot", "-q", queue_}, before,
	    steps);
	std::cout << "[ churn    ] " << steps << " steps during the delete\n";
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_GT(steps, 0);
	expect_only_expected_lines(r.err);
	for (const std::string &name : generated_spam(before))
		EXPECT_NE(r.out.find(name + ": yes\n"), std::string::npos) << name;
	expect_generated_accounted(before, r.err);
}

// --- an unreadable subdirectory of mess --------------------------------------

TEST_F(Faults, UnreadableHashedDirectoryIsReportedAndTheDeleteGoesOn)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "needs root to run the tool as nobody";
	put("mess/5/5", "jackpot");		// hashed in mess/5
	put("info/5/5", "F");
	put("mess/8/100", "jackpot");
	put("info/8/100", "F");
	put("todo/100", "");
	put("mess/9/101", "ham");
	put("info/9/101", "F");
	ASSERT_EQ(chmod(tmp_.path().c_str(), 0755), 0);
	ASSERT_EQ(test::run_program("/bin/chown",
		      {"-R", "65534:65534", queue_}).status, 0);
	const tree before = everything();
	// Put back as it was made: tests/coverage runs under umask 000.
	struct stat bucket;
	ASSERT_EQ(stat(qpath("mess/5").c_str(), &bucket), 0);
	ASSERT_EQ(chmod(qpath("mess/5").c_str(), 0), 0);

	test::RunOptions nobody;
	nobody.unprivileged = true;
	Result r = run({"-d", "-p", "jackpot", "-q", queue_}, nobody);
	// A bucket not searched: whatever was deleted, not every match.
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(test::sorted_lines(r.out),
	    (std::vector<std::string>{"100: yes", "101: no"}));
	const std::string denied =
	    std::string("fts_read() mess/5: ") + strerror(EACCES) + "\n";
	EXPECT_NE(r.err.find(denied), std::string::npos) << r.err;
	EXPECT_EQ(removals_in(r.err), (std::set<std::string>{
	    "mess/8/100", "info/8/100", "todo/100"}));
	EXPECT_EQ(r.err.size(), denied.size() +
	    std::string("remove todo/100\nremove info/8/100\n"
			"remove mess/8/100\n"
			"1 message(s) deleted, 0 left alone, 0 failed\n"
			"1 file(s) match\n").size()) << r.err;
	ASSERT_EQ(chmod(qpath("mess/5").c_str(), bucket.st_mode & 07777), 0);
	EXPECT_TRUE(test::same_tree(apply(before, r.err), now(), read_by_search));
}

// A directory whose entries cannot be read (an I/O error on a damaged
// disk): its files are not searched, and the run says so in its place,
// with status 1, rather than ending as if the queue held nothing more.
// The other directories are searched as ever.
TEST_F(Faults, ADirectoryWhoseEntriesCannotBeReadIsReportedAndFailsTheRun)
{
	put("mess/5/5", "jackpot");
	put("info/5/5", "F");
	put("mess/8/100", "jackpot");
	put("info/8/100", "F");
	test::RunOptions unreadable;
	unreadable.env = {"LD_PRELOAD=" FAULT_INJECT_LIB,
	    "SPOOLSIFT_FAULT=readdir", "SPOOLSIFT_FAULT_DIR=" + qpath("mess/5"),
	    "ASAN_OPTIONS=verify_asan_link_order=0"};
	Result r = run({"-p", "jackpot", "-q", queue_}, unreadable);
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "100: yes\n");
	EXPECT_EQ(test::sorted_lines(r.err), (std::vector<std::string>{
	    "1 file(s) match", "fts_read() mess/5: " + std::string(strerror(EIO))}));
}

// --- a yank directory on another file system ---------------------------------

class PrivateMounts : public Faults {
protected:
	void SetUp() override
	{
		Faults::SetUp();
		if (!test::can_unshare_mount())
			GTEST_SKIP() << "no private mount namespace (unshare --mount)";
		// Two spam messages, hashed and flat files, and one ham.
		for (const char *p : {"mess/8/100", "info/8/100", "remote/8/100",
			 "todo/100", "mess/9/101", "local/9/101", "info/9/101",
			 "bounce/101"})
			put(p, std::string(p) + " jackpot\n");
		put("mess/10/102", "ham\n");
		put("info/10/102", "F\n");
		test::make_dirs(qpath("yanked"));
	}

	// What a run says, sorted by line, when each spam message stops at
	// its first file with EROFS: the failed call, what the operation
	// says of the file it could not take, and the count.
	static std::vector<std::string> each_message_stops(
	    const std::string &call, const std::string &op,
	    const std::string &first_100, const std::string &first_101,
	    const std::string &rest, const std::string &tally)
	{
		const std::string failed = call + ": " + strerror(EROFS) + "\n";
		return test::sorted_lines(failed + failed +
		    op + "(100): " + first_100 + " " + rest + "\n" +
		    op + "(101): " + first_101 + " " + rest + "\n" +
		    tally + "\n2 file(s) match\n");
	}
};

// A yank directory on another file system cannot take a message by
// rename: the run refuses it before the walk, and nothing changes.
TEST_F(PrivateMounts, YankAcrossFileSystemsIsRefusedAtStartUp)
{
	const tree before = everything();
	Result r = test::run_with_private_mounts(
	    "mount -t tmpfs tmpfs '" + qpath("yanked") + "'",
	    {"-r", "-p", "jackpot", "-q", queue_});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "FATAL: yank_dir [" + qpath("yanked") +
		"] is on another file system than the queue.\n");
	EXPECT_TRUE(test::same_tree(before, now(), read_by_search));
}

// --- a read-only queue ------------------------------------------------------

TEST_F(PrivateMounts, ReadOnlyQueueReportsEveryFailureAndChangesNothing)
{
	const std::string ro = "mount --bind '" + queue_ + "' '" + queue_ +
	    "' && mount -o remount,bind,ro '" + queue_ + "'";
	const tree before = everything();
	Result r = test::run_with_private_mounts(ro,
	    {"-d", "-p", "jackpot", "-q", queue_});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(test::sorted_lines(r.err), each_message_stops("unlink()",
	    "delete_file", "remote/8/100", "local/9/101",
	    "not removed; the rest of the message stays",
	    "0 message(s) deleted, 0 left alone, 2 failed"));

	r = test::run_with_private_mounts(ro, {"-r", "-p", "jackpot", "-q", queue_});
	EXPECT_EQ(r.status, 1);
	// The first change a yank makes is the text's access time.
	EXPECT_EQ(test::sorted_lines(r.err), each_message_stops("utimensat()",
	    "remove_file", "mess/8/100", "mess/9/101",
	    "not moved; the message stays in the queue",
	    "0 message(s) yanked, 0 left alone, 2 failed"));

	// Expire touches only the info file: one failure per message.
	const std::string failed =
	    std::string("utimes(): ") + strerror(EROFS) + "\n";
	r = test::run_with_private_mounts(ro,
	    {"-X", "3600", "-p", "jackpot", "-q", queue_});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "Offsetting timestamps by 3600 seconds \n" + failed +
		failed + "0 message(s) expired, 0 left alone, 2 failed\n"
			 "2 file(s) match\n");
	r = test::run_with_private_mounts("export TZ=UTC0\n" + ro,
	    {"-x", "Mon Jan  1 00:00:00 UTC 2024", "-p", "jackpot", "-q", queue_});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "time in seconds: 1704067200 [ Mon Jan  1 00:00:00 "
			 "UTC 2024 ]\n" + failed + failed + "0 message(s) expired, 0 left alone, 2 failed\n"
			 "2 file(s) match\n");
	EXPECT_TRUE(test::same_tree(before, now()));
}

// --- a message over 2 GiB ---------------------------------------------------

// Read whole, a message of more than 2 GiB takes more than one read call
// and is in memory; with -n only its start is. Its first 20 KiB hold no
// NUL byte, so the first part of a two-step read settles nothing.
TEST_F(Faults, MessageOverTwoGigabytesAndTheByteLimitThatBoundsMemory)
{
	// Sparse: a header, a hole of zeros, and a word at the very end.
	const std::string p = qpath("mess/8/100");
	put("mess/8/100", "Subject: jackpot\n" + std::string(20 * 1024, 'y') +
	    "\n");
	const off_t size = (off_t{1} << 31) + 8192;
	ASSERT_EQ(truncate(p.c_str(), size - 4), 0);
	{
		int fd = open(p.c_str(), O_WRONLY | O_APPEND);
		ASSERT_NE(fd, -1);
		ASSERT_EQ(write(fd, "tail", 4), 4);
		close(fd);
	}
	// What the search may change, without reading 2 GiB to see it.
	struct stat before;
	ASSERT_EQ(stat(p.c_str(), &before), 0);

	Result whole = run({"-p", "nowhere", "-q", queue_});
	EXPECT_EQ(whole.status, 0);
	EXPECT_EQ(whole.out, "100: no\n");
	EXPECT_EQ(whole.err, "0 file(s) match\n");

	Result head = run({"-n", "4096", "-p", "^Subject: jackpot", "-q", queue_});
	EXPECT_EQ(head.out, "100: yes\n");
	EXPECT_EQ(head.err, "1 file(s) match\n");
	// The text ends at the first NUL byte: the word at the end is
	// never part of it, with or without the limit.
	Result tail = run({"-p", "tail", "-q", queue_});
	EXPECT_EQ(tail.out, "100: no\n");

	std::cout << "[ peak RSS ] " << whole.max_rss_kb
		  << " KiB for a whole message of " << size << " bytes, "
		  << head.max_rss_kb << " KiB with -n 4096\n";
	RecordProperty("peak_rss_kib_whole", std::to_string(whole.max_rss_kb));
	RecordProperty("peak_rss_kib_n4096", std::to_string(head.max_rss_kb));
	EXPECT_GT(whole.max_rss_kb, size / 1024);
	EXPECT_LT(head.max_rss_kb * 8, whole.max_rss_kb);
	struct stat after;
	ASSERT_EQ(stat(p.c_str(), &after), 0);
	EXPECT_EQ(after.st_ino, before.st_ino);
	EXPECT_EQ(after.st_size, before.st_size);
	EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
	EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
	EXPECT_EQ(after.st_ctim.tv_nsec, before.st_ctim.tv_nsec);
}

// --- hostile names under mess -----------------------------------------------

class HostileNames : public Faults {
protected:
	void SetUp() override
	{
		Faults::SetUp();
		for (const std::string &n : names())
			put("mess/8/" + n, "jackpot");
		// The messages that names such as "100.tmp" and " 12" must
		// never be taken for.
		put("info/8/100", "F100");
		put("todo/100", "");
		put("todo/12", "");
		test::make_dirs(qpath("yanked"));
	}

	static std::vector<std::string> names()
	{
		return {"line\nbreak", "with space", std::string("ctl\x01\x1b\x7f"),
		    std::string(255, 'x'), std::string(255, '9'), "-1", "-x", "0",
		    "00", "...", "4294967296", "2147483648", "100.tmp", " 12"};
	}

	// Each name's verdict line is in out, and nothing else is.
	static void expect_listed(const std::string &out)
	{
		size_t total = 0;
		for (const std::string &n : names()) {
			EXPECT_NE(out.find(n + ": yes\n"), std::string::npos) << n;
			total += n.size() + 6;
		}
		EXPECT_EQ(out.size(), total) << out;
	}

	// What an operation says for every name that is no message number,
	// and for the two numbers that split 23 does not put in mess/8. No
	// name here stands for message 100 or 12.
	static std::vector<std::string> refusals()
	{
		std::vector<std::string> said;
		for (const std::string &n : {std::string("line\nbreak"),
			 std::string("with space"), std::string("ctl\x01\x1b\x7f"),
			 std::string(255, 'x'), std::string(255, '9'),
			 std::string("-1"), std::string("-x"), std::string("0"),
			 std::string("00"), std::string("..."),
			 std::string("100.tmp"), std::string(" 12")})
			said.push_back(n + " doesn't look like an inode number\n");
		said.push_back("4294967296: found in mess/8, but split 23 puts "
			       "it in mess/12; check -s\n");
		said.push_back("2147483648: found in mess/8, but split 23 puts "
			       "it in mess/6; check -s\n");
		return said;
	}

	// The tally of a run that left alone the refused names and took
	// every other message.
	static std::string tally(size_t left_alone, const char *done)
	{
		return std::to_string(names().size() - left_alone) + " message(s) " +
		    done + ", " + std::to_string(left_alone) +
		    " left alone, 0 failed\n";
	}

	static void expect_said(const std::string &err,
	    const std::vector<std::string> &parts)
	{
		size_t total = 0;
		for (const std::string &part : parts) {
			EXPECT_NE(err.find(part), std::string::npos) << part;
			total += part.size();
		}
		EXPECT_EQ(err.size(), total) << err;
	}
};

TEST_F(HostileNames, YankListsEveryNameAndTakesNoMessageForOne)
{
	const tree before = everything();
	Result r = run({"-r", "-q", queue_});
	EXPECT_EQ(r.status, 0);
	expect_listed(r.out);
	std::vector<std::string> said = refusals();
	said.push_back(tally(said.size(), "yanked") + std::to_string(names().size()) +
	    " file(s) match\n");
	expect_said(r.err, said);
	EXPECT_TRUE(test::same_tree(apply(before, r.err), now(), read_by_search));
}

TEST_F(HostileNames, DeleteListsEveryNameAndTakesNoMessageForOne)
{
	const tree before = everything();
	Result r = run({"-d", "-q", queue_});
	EXPECT_EQ(r.status, 0);
	expect_listed(r.out);
	std::vector<std::string> said = refusals();
	said.push_back(tally(said.size(), "deleted") + std::to_string(names().size()) +
	    " file(s) match\n");
	expect_said(r.err, said);
	EXPECT_TRUE(test::same_tree(apply(before, r.err), now(), read_by_search));
}

// --- symbolic links ---------------------------------------------------------

// Watches the sentinel tree for any open or read, from the time it is
// made to the time it is asked.
class OpenWatch {
public:
	explicit OpenWatch(const std::vector<std::string> &paths)
	    : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
	{
		for (const std::string &p : paths)
			if (inotify_add_watch(fd_, p.c_str(),
				IN_OPEN | IN_ACCESS | IN_ATTRIB | IN_MODIFY) == -1)
				ADD_FAILURE() << "inotify " << p << ": " << strerror(errno);
	}
	~OpenWatch() { close(fd_); }
	OpenWatch(const OpenWatch &) = delete;
	OpenWatch &operator=(const OpenWatch &) = delete;

	size_t events() const
	{
		alignas(inotify_event) char buf[4096];
		size_t n = 0;
		ssize_t got;
		while ((got = read(fd_, buf, sizeof buf)) > 0)
			for (char *p = buf; p < buf + got;
			     p += sizeof(inotify_event) +
				 reinterpret_cast<inotify_event *>(p)->len)
				n++;
		return n;
	}

private:
	int fd_;
};

class Links : public Faults {
protected:
	void SetUp() override
	{
		Faults::SetUp();
		// A link under mess to spam outside the queue.
		link(sentinel_ + "/bait", "mess/8/100");
		// A real spam message whose other files are links: at the
		// split path, at a flat path, and a dangling one.
		put("mess/9/101", "jackpot");
		link(sentinel_ + "/dir/info", "info/9/101");
		link(sentinel_ + "/plain", "todo/101");
		link(sentinel_ + "/gone", "bounce/101");
		test::make_dirs(qpath("yanked"));
	}

	void link(const std::string &target, const std::string &rel)
	{
		ASSERT_EQ(symlink(target.c_str(), qpath(rel).c_str()), 0) << rel;
	}

	std::vector<std::string> watched() const
	{
		return {sentinel_, sentinel_ + "/dir", sentinel_ + "/bait",
		    sentinel_ + "/plain", sentinel_ + "/dir/info"};
	}
};

TEST_F(Links, YankMovesLinksAsLinksAndNeverOpensWhatTheyName)
{
	const tree before = everything();
	OpenWatch watch(watched());
	Result r = run({"-v", "-v", "-r", "-p", "jackpot", "-q", queue_});
	EXPECT_EQ(watch.events(), 0u);
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "101: yes\n");	// the link under mess is no message
	const std::map<std::string, std::string> moved = {
	    {"mess/9/101", "yanked/101.mess"}, {"info/9/101", "yanked/101.info"},
	    {"todo/101", "yanked/101.todo"}};
	EXPECT_EQ(moves_in(r.err), moved);
	EXPECT_NE(r.err.find("remove_file(bounce/101): no stat info\n"),
	    std::string::npos) << r.err;
	EXPECT_TRUE(test::same_tree(apply(before, r.err), now(), read_by_search));
}

TEST_F(Links, DeleteUnlinksLinksAndNeverWhatTheyName)
{
	const tree before = everything();
	OpenWatch watch(watched());
	Result r = run({"-d", "-p", "jackpot", "-q", queue_});
	EXPECT_EQ(watch.events(), 0u);
	EXPECT_EQ(r.out, "101: yes\n");
	EXPECT_EQ(removals_in(r.err), (std::set<std::string>{
	    "mess/9/101", "info/9/101", "todo/101"}));
	EXPECT_TRUE(test::same_tree(apply(before, r.err), now(), read_by_search));
}

// A link at the info path names some other file: expire sets no time
// through it, in either mode, and says so at -v -v.
TEST_F(Links, ExpireNeverSetsTimesThroughALinkAtTheInfoPath)
{
	const tree before = everything();
	OpenWatch watch(watched());
	Result r = run({"-X", "3600", "-p", "jackpot", "-q", queue_});
	EXPECT_EQ(r.err, "Offsetting timestamps by 3600 seconds \n"
			 "0 message(s) expired, 1 left alone, 0 failed\n"
			 "1 file(s) match\n");
	test::RunOptions utc;
	utc.env = {"TZ=UTC0"};
	r = run({"-v", "-v", "-x", "Mon Jan  1 00:00:00 UTC 2024", "-p",
		    "jackpot", "-q", queue_}, utc);
	EXPECT_EQ(r.err, "time in seconds: 1704067200 [ Mon Jan  1 00:00:00 UTC "
			 "2024 ]\nexpire_file(info/9/101): not a file\n"
			 "0 message(s) expired, 1 left alone, 0 failed\n"
			 "1 file(s) match\n");
	EXPECT_EQ(watch.events(), 0u);
	EXPECT_TRUE(test::same_tree(before, now(), read_by_search));
}

// --- signals during a yank --------------------------------------------------

class Interrupted : public Faults {
protected:
	// Starts a yank of every message, stops it with sig once files are
	// moving, and returns its exit status.
	int yank_until(int sig)
	{
		const std::string yanked = qpath("yanked");
		auto entries = [&yanked] {
			DIR *d = opendir(yanked.c_str());
			size_t n = 0;
			while (d != nullptr && readdir(d) != nullptr)
				n++;
			if (d != nullptr)
				closedir(d);
			return n;
		};
		const size_t start = entries();
		pid_t pid = fork();
		if (pid == 0) {
			int out = open("/dev/null", O_WRONLY);
			dup2(out, 1);
			dup2(out, 2);
			execl(test::spoolsift_bin.c_str(), "spoolsift", "-r", "-q",
			    queue_.c_str(), static_cast<char *>(nullptr));
			_exit(127);
		}
		for (;;) {
			if (entries() > start + 20)
				break;
			int st;
			if (waitpid(pid, &st, WNOHANG) == pid)
				return -1;	// done before it could be stopped
			std::this_thread::sleep_for(std::chrono::microseconds(200));
		}
		kill(pid, sig);
		int st = 0;
		waitpid(pid, &st, 0);
		return WIFSIGNALED(st) ? WTERMSIG(st) : -WEXITSTATUS(st);
	}

	// Each generated message is whole in the queue or whole in the yank
	// directory, every file as it was.
	void expect_whole_messages(const tree &before, size_t &taken, size_t &left)
	{
		const tree after = now();
		std::map<std::string, std::pair<int, int>> where;	// name: queue, yanked
		tree want;
		for (const auto &[p, e] : before) {
			if (!p.starts_with("queue/") || S_ISDIR(e.mode) ||
			    p.starts_with("queue/lock/") || p.starts_with("queue/pid/")) {
				want.emplace(p, e);
				continue;
			}
			const std::string name = p.substr(p.rfind('/') + 1);
			const std::string sub = p.substr(6, p.find('/', 6) - 6);
			const std::string yank = "queue/yanked/" + name + "." + sub;
			if (after.count(p)) {
				where[name].first++;
				want.emplace(p, e);
			} else {
				where[name].second++;
				want.emplace(yank, e);
			}
		}
		taken = left = 0;
		for (const auto &[name, w] : where) {
			EXPECT_TRUE(w.first == 0 || w.second == 0)
			    << name << ": " << w.first << " files in the queue, "
			    << w.second << " yanked";
			(w.first ? left : taken)++;
		}
		// Moving a file changes its status-change time, so the
		// snapshots themselves move the access times of yanked files.
		EXPECT_TRUE(test::same_tree(want, after, [](const std::string &p) {
			return p.starts_with("queue/yanked/") || read_by_search(p);
		}));
	}
};

// How many messages of a tree's queue have neither a todo nor an info
// file.
size_t unqueued(const tree &t)
{
	std::set<std::string> all, queued;
	for (const auto &[p, e] : t) {
		if (!p.starts_with("queue/") || S_ISDIR(e.mode) ||
		    p.starts_with("queue/lock/") || p.starts_with("queue/pid/"))
			continue;
		const std::string name = p.substr(p.rfind('/') + 1);
		all.insert(name);
		if (p.starts_with("queue/todo/") || p.starts_with("queue/info/"))
			queued.insert(name);
	}
	return all.size() - queued.size();
}

TEST_F(Interrupted, InterruptOrTerminateLeavesEveryMessageWhole)
{
	generate(3000, 10);
	test::make_dirs(qpath("yanked"));
	const tree before = everything();
	for (int sig : {SIGINT, SIGTERM}) {
		const int stopped = yank_until(sig);
		if (stopped == -1)
			GTEST_SKIP() << "the yank ended before it could be stopped";
		EXPECT_EQ(stopped, sig);
		size_t taken = 0, left = 0;
		expect_whole_messages(before, taken, left);
		std::cout << "[ stopped  ] by " << strsignal(sig) << " with "
			  << taken << " messages yanked, " << left << " whole in "
			  << "the queue\n";
		EXPECT_GT(taken, 0u);
		EXPECT_GT(left, 0u);
	}
	// A second run takes the rest, apart from the messages qmail has not
	// finished queuing, which every run leaves alone.
	Result r = run({"-r", "-q", queue_});
	EXPECT_EQ(r.status, 0);
	size_t taken = 0, left = 0;
	expect_whole_messages(before, taken, left);
	EXPECT_EQ(left, lines_ending(r.err, "left alone"));
	EXPECT_EQ(left, unqueued(before));
}

// --- leaks ------------------------------------------------------------------

TEST_F(Faults, FullYankLeaksNothingButTheQueueAndItsLock)
{
	generate(300, 20);
	test::make_dirs(qpath("yanked"));
	Result r;
	if (test::binary_sanitizer() == "address") {
		// LeakSanitizer checks at exit, and fails the run on a leak.
		test::RunOptions lsan;
		lsan.env = {"ASAN_OPTIONS=detect_leaks=1"};
		r = run({"-r", "-q", queue_}, lsan);
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(r.err.find("LeakSanitizer"), std::string::npos) << r.err;
	} else {
		if (test::binary_sanitizer() == "thread")
			GTEST_SKIP() << "valgrind cannot run a ThreadSanitizer build";
		if (access("/usr/bin/valgrind", X_OK) != 0)
			GTEST_SKIP() << "valgrind is not installed";
		const std::string log = tmp_.path() + "/valgrind.log";
		r = test::run_program("/usr/bin/valgrind",
		    {"--log-file=" + log, "--leak-check=full",
			"--suppressions=" SPOOLSIFT_SOURCE_DIR
			"/tests/data/valgrind-re2.supp",
			"--show-leak-kinds=all", "--errors-for-leak-kinds=all",
			"--error-exitcode=99", "--track-fds=yes", test::spoolsift_bin,
			"-r", "-q", queue_});
		const std::string report = test::read_file(log).value_or("");
		EXPECT_EQ(r.status, 0) << report;
		EXPECT_NE(r.err.find(" file(s) match\n"), std::string::npos);
		// Every block freed, apart from RE2's process-wide empty objects,
		// which the suppressions file names.
		bool all_freed = report.find("All heap blocks were freed -- no "
					     "leaks are possible") != std::string::npos;
		if (!all_freed) {
			for (const char *kind : {"definitely lost: 0 bytes",
				 "indirectly lost: 0 bytes", "possibly lost: 0 bytes",
				 "still reachable: 0 bytes"})
				EXPECT_NE(report.find(kind), std::string::npos) << report;
		}
		EXPECT_NE(report.find("ERROR SUMMARY: 0 errors"), std::string::npos)
		    << report;
		// Of the descriptors the run opened itself, only the queue and the
		// qmail-send lock it holds stay open (the others were handed down by
		// the test and valgrind).
		std::vector<std::string> own;
		const std::string mark = "Open file descriptor ";
		for (size_t at = report.find(mark); at != std::string::npos;) {
			size_t next = report.find(mark, at + 1);
			std::string block = report.substr(at, next - at);
			if (block.find("<inherited from parent>") == std::string::npos)
				own.push_back(block.substr(0, block.find('\n')));
			at = next;
		}
		ASSERT_EQ(own.size(), 2u) << report;
		std::sort(own.begin(), own.end());
		EXPECT_TRUE(own[0].ends_with(": " + queue_)) << own[0];
		EXPECT_TRUE(own[1].ends_with(": lock/sendmutex")) << own[1];
	}
	// A report for every file moved; the messages qmail has not
	// finished queuing are left alone, each with its line.
	const size_t left_alone = lines_ending(r.err,
	    "not queued yet (no todo or info file), left alone");
	EXPECT_GT(left_alone, 0u);
	EXPECT_EQ(moves_in(r.err).size() + left_alone, static_cast<size_t>(
	    std::count(r.err.begin(), r.err.end(), '\n')) - 2);
}

}  // namespace
