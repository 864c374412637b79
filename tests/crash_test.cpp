// A yank or delete that is killed (SIGKILL: the OOM killer, a power cut)
// or meets a failing call at any one of its steps. Whatever the step, no
// file is lost or duplicated, each message stays findable, and running
// the same command again finishes the job. The steps are made to fail by
// a preloaded library (fault_inject.cpp).
#include "support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace {

using test::Result;
using test::tree;

// Three matching messages in the states qmail leaves them in (queued
// with todo; preprocessed, with a bounce under way; preprocessed), and
// one that does not match.
const std::vector<std::pair<std::string, std::string>> queue_files = {
	{"mess/8/100", "Subject: jackpot\n"},
	{"local/8/100", "Tuser@example.org\n"},
	{"remote/8/100", "Tfar@example.net\n"},
	{"info/8/100", "Fspam@example.biz\n"},
	{"bounce/100", "failure\n"},
	{"mess/9/101", "Subject: jackpot again\n"},
	{"intd/101", "Fspam@example.biz\n"},
	{"todo/101", "Fspam@example.biz\n"},
	{"mess/10/102", "Subject: jackpot once more\n"},
	{"info/10/102", "Fspam@example.biz\n"},
	{"remote/10/102", "Tfar@example.net\n"},
	{"mess/11/103", "Subject: hello\n"},
	{"info/11/103", "Ffriend@example.org\n"},
	{"todo/103", "Ffriend@example.org\n"},
};
const std::set<std::string> spam = {"100", "101", "102"};

enum class action { yank, unlink };

class Crash : public test::QueueRun {
protected:
	void SetUp() override
	{
		QueueRun::SetUp();
		for (const auto &[path, text] : queue_files)
			put(path, text);
		test::make_dirs(qpath("yanked"));
		before_ = test::settled_snapshot(queue_);
	}

	// Puts the queue back as SetUp made it.
	void reset()
	{
		std::filesystem::remove_all(queue_);
		SetUp();
	}

	Result act(action a, const std::string &fault = "",
	    const std::string &at = "") const
	{
		test::RunOptions opts;
		if (!fault.empty())
			opts.env = {"LD_PRELOAD=" FAULT_INJECT_LIB,
			    "SPOOLSIFT_FAULT=" + fault, "SPOOLSIFT_FAULT_AT=" + at,
			    // The sanitizer runtime wants to be loaded first.
			    "ASAN_OPTIONS=verify_asan_link_order=0"};
		return run({a == action::yank ? "-r" : "-d", "-p", "jackpot",
		    "-q", queue_}, opts);
	}

	// How many renames and unlinks a whole run of a makes, from the
	// queue as SetUp makes it.
	size_t calls_of(action a)
	{
		reset();
		const std::string count = tmp_.path() + "/calls";
		test::RunOptions opts;
		opts.env = {"LD_PRELOAD=" FAULT_INJECT_LIB,
		    "SPOOLSIFT_FAULT_COUNT=" + count,
		    "ASAN_OPTIONS=verify_asan_link_order=0"};
		Result r = run({a == action::yank ? "-r" : "-d", "-p", "jackpot",
		    "-q", queue_}, opts);
		EXPECT_EQ(r.status, 0) << r.err;
		return std::stoul(test::read_file(count).value_or("0"));
	}

	// The message a queue path belongs to, and its subdirectory.
	static std::pair<std::string, std::string> owner(const std::string &p)
	{
		return {p.substr(p.rfind('/') + 1), p.substr(0, p.find('/'))};
	}

	// The queue after a whole run: every file of every matching message
	// taken, all else as it was.
	tree finished(action a) const
	{
		tree want;
		for (const auto &[p, e] : before_) {
			auto [name, sub] = owner(p);
			if (S_ISDIR(e.mode) || spam.count(name) == 0)
				want.emplace(p, e);
			else if (a == action::yank)
				want.emplace("yanked/" + name + "." + sub, e);
		}
		return want;
	}

	// After a rerun that follows a cut-off run: the whole job done, except
	// that a delete cut off after a message's todo and info files leaves
	// that message's mess file alone, the state qmail leaves after a
	// crash while it removes a message (and cleans up itself), which the
	// rerun leaves alone and names.
	void expect_finished(action a, const Result &rerun,
	    const std::string &when) const
	{
		tree want = finished(a);
		const tree now = test::tree_snapshot(queue_);
		for (const auto &[p, e] : before_) {
			auto [name, sub] = owner(p);
			if (a != action::unlink || sub != "mess" ||
			    spam.count(name) == 0 || now.count(p) == 0)
				continue;
			want.emplace(p, e);
			EXPECT_NE(rerun.err.find("delete_file(" + name + "): not "
				      "queued yet (no todo or info file), left "
				      "alone\n"), std::string::npos)
			    << when << rerun.err;
		}
		EXPECT_TRUE(test::same_tree(want, now, any)) << when;
	}

	// No file is in two places, the other messages are as they were,
	// and a matching message whose mess file is taken has no file left
	// in the queue: mess goes last, so the walk still finds every
	// message that is not wholly taken. The one exception, after a
	// kill, is the move a layer that moves by link and unlink was killed
	// in the middle of: one file under both names, never two files,
	// which the rerun finishes. A failed call leaves no such file: the
	// layer takes back its link.
	void expect_findable(const std::string &when, bool killed) const
	{
		const tree now = test::tree_snapshot(queue_);
		std::set<std::string> mess_taken;
		for (const auto &[p, e] : before_) {
			auto [name, sub] = owner(p);
			if (!S_ISDIR(e.mode) && sub == "mess" && now.count(p) == 0)
				mess_taken.insert(name);
		}
		int halfway = 0;
		for (const auto &[p, e] : before_) {
			if (S_ISDIR(e.mode))
				continue;
			auto [name, sub] = owner(p);
			const bool here = now.count(p) != 0;
			const auto yanked = now.find("yanked/" + name + "." + sub);
			if (here && yanked != now.end()) {
				const test::entry_state &q = now.at(p);
				EXPECT_TRUE(test::binary_moves_by_link && killed &&
				    q.dev == yanked->second.dev &&
				    q.ino == yanked->second.ino && ++halfway == 1)
				    << when << p << " is in two places";
			}
			if (spam.count(name) == 0) {
				EXPECT_TRUE(here) << when << p << " was touched";
			} else if (mess_taken.count(name) != 0) {
				EXPECT_FALSE(here) << when << p << " left behind "
						   << "without its mess file";
			}
		}
	}

	static bool any(const std::string &) { return true; }

	tree before_;
};

// Yank and delete visit mess last: killed after any step, the message is
// still found by its mess file, and the rerun takes the rest (a delete
// cut off after todo and info leaves mess alone, as qmail would).
TEST_F(Crash, KilledAtEveryStepTheRerunFinishesTheJob)
{
	for (action a : {action::yank, action::unlink}) {
		reset();
		Result whole = act(a);
		ASSERT_EQ(whole.status, 0) << whole.err;
		ASSERT_TRUE(test::same_tree(finished(a),
		    test::tree_snapshot(queue_), any));
		size_t k = 1;
		for (;; k++) {
			reset();
			const std::string when = "killed after step " +
			    std::to_string(k) + ": ";
			Result killed = act(a, "kill", std::to_string(k));
			if (killed.status == 0)
				break;	// fewer steps than k: done
			ASSERT_EQ(killed.status, 128 + SIGKILL) << when << killed.err;
			expect_findable(when, true);
			Result again = act(a);
			EXPECT_EQ(again.status, 0) << when << again.err;
			expect_finished(a, again, when);
		}
		EXPECT_GT(k, 9u) << "only " << k - 1 << " steps were tried";
	}
}

// qmail-send removes a mess without todo or info once its access time
// is 36 hours old, at its next start among other times: a yank cut off
// after its first move (its last call) must leave the message's mess
// fresh. On a
// noatime mount, reading it for the match does not refresh it, and a
// message queued days ago would lose its text at once.
TEST_F(Crash, ACutOffYankLeavesItsMessFreshOnANoatimeMount)
{
	const time_t start = time(nullptr);
	const struct timespec days_ago[2] = {{start - 3 * 86400, 0},
	    {start - 4 * 86400, 0}};
	for (const char *mess : {"mess/8/100", "mess/9/101", "mess/10/102"})
		ASSERT_EQ(utimensat(AT_FDCWD, qpath(mess).c_str(), days_ago, 0), 0);
	Result killed = test::run_with_private_mounts(
	    "mount --bind '" + queue_ + "' '" + queue_ + "'\n"
	    "mount -o remount,bind,noatime '" + queue_ + "'\n"
	    "export LD_PRELOAD='" FAULT_INJECT_LIB "' SPOOLSIFT_FAULT=kill "
	    "SPOOLSIFT_FAULT_AT=" + std::to_string(test::calls_per_move) +
	    " ASAN_OPTIONS=verify_asan_link_order=0",
	    {"-r", "-p", "jackpot", "-q", queue_});
	ASSERT_EQ(killed.status, 128 + SIGKILL) << killed.err;
	int cut = 0;
	for (const char *n : {"100", "101", "102"}) {
		const std::string mess = "mess/" + std::to_string(std::stoi(n) % 23) +
		    "/" + n;
		struct stat st;
		ASSERT_EQ(stat(qpath(mess).c_str(), &st), 0) << mess;
		if (!has("yanked/" + std::string(n) + ".info") &&
		    !has("yanked/" + std::string(n) + ".todo"))
			continue;
		cut++;
		EXPECT_GE(st.st_atime, start) << mess;
		EXPECT_EQ(st.st_mtime, start - 4 * 86400) << mess;
	}
	EXPECT_EQ(cut, 1);
}

// A message qmail-send was preprocessing when it stopped: its todo, and
// the info and local it had begun to write. qmail-send redoes such a
// message from todo; an info without todo it would deliver as it
// stands, to part of the recipients, and then remove. So a yank cut off
// after its first move (its last call) must have taken info, and left
// todo.
TEST_F(Crash, ACutOffYankLeavesTheTodoAMessageIsRedoneFrom)
{
	for (const char *p : {"mess/12/104", "intd/104", "todo/104",
		 "info/12/104", "local/12/104"})
		put(p, "preprocessing");
	test::RunOptions kill_first;
	kill_first.env = {"LD_PRELOAD=" FAULT_INJECT_LIB, "SPOOLSIFT_FAULT=kill",
	    "SPOOLSIFT_FAULT_AT=" + std::to_string(test::calls_per_move),
	    "ASAN_OPTIONS=verify_asan_link_order=0"};
	Result killed = run({"-r", "-p", "preprocessing", "-q", queue_},
	    kill_first);
	ASSERT_EQ(killed.status, 128 + SIGKILL) << killed.err;
	EXPECT_TRUE(has("todo/104"));
	EXPECT_FALSE(has("info/12/104"));
	EXPECT_TRUE(has("mess/12/104"));
}

// The access time a yank gives the text keeps what a cut-off yank leaves
// in the queue from qmail-send's 36-hour cleanup. When it cannot be set,
// nothing of the message moves, and the run says so; it once went on
// without a word.
TEST_F(Crash, AccessTimeThatCannotBeSetStopsTheYankBeforeAnyMove)
{
	const std::string before = test::tree_listing(queue_);
	Result r = act(action::yank, "utimensat");
	EXPECT_EQ(r.status, 1);
	const std::string eperm = std::string("utimensat(): ") + strerror(EPERM);
	for (const char *mess : {"mess/8/100", "mess/9/101", "mess/10/102"}) {
		const std::string n = owner(mess).first;
		EXPECT_NE(r.err.find(eperm + "\nremove_file(" + n + "): " + mess +
		    " not moved; the message stays in the queue\n"),
		    std::string::npos) << r.err;
	}
	EXPECT_TRUE(r.err.ends_with("0 message(s) yanked, 0 left alone, "
	    "3 failed\n3 file(s) match\n")) << r.err;
	EXPECT_EQ(test::tree_listing(queue_), before);
}

// A move or unlink that fails stops that message: a yank moves back what
// it moved and the message stays whole in the queue; a delete keeps the
// rest, mess among it. The other messages are taken, and a rerun takes
// the one that stopped. The calls are counted whether or not a file is
// there, and a failure where there is no file is a missing file, which
// changes nothing.
TEST_F(Crash, FailedStepAtEveryPointStopsOnlyItsMessage)
{
	const std::string eio = strerror(EIO);
	for (action a : {action::yank, action::unlink}) {
		const char *call = a == action::yank ? "rename(): " : "unlink(): ";
		const char *stopped = a == action::yank
		    ? " not moved; the message stays in the queue\n"
		    : " not removed; the rest of the message stays\n";
		size_t failures = 0;
		const size_t calls = calls_of(a);
		for (size_t k = 1; k <= calls; k++) {
			reset();
			const std::string when = "call " + std::to_string(k) +
			    " failed: ";
			Result r = act(a, "eio", std::to_string(k));
			const size_t at = r.err.find(call + eio + "\n");
			// A message that stopped is a failure of the run.
			EXPECT_EQ(r.status, at != std::string::npos ? 1 : 0)
			    << when << r.err;
			EXPECT_NE(r.err.find(at != std::string::npos ? ", 1 failed\n"
			    : ", 0 failed\n"), std::string::npos) << when << r.err;
			if (at != std::string::npos) {
				failures++;
				// The message that stopped, from the line after.
				const size_t said = r.err.find(stopped, at);
				ASSERT_NE(said, std::string::npos) << when << r.err;
				const size_t open = r.err.rfind('(', said);
				const std::string name = r.err.substr(open + 1,
				    r.err.find(')', open) - open - 1);
				ASSERT_EQ(spam.count(name), 1u) << when << r.err;
				const tree now = test::tree_snapshot(queue_);
				for (const auto &[p, e] : before_) {
					auto [owned_by, sub] = owner(p);
					if (S_ISDIR(e.mode) || owned_by != name)
						continue;
					if (a == action::yank || sub == "mess") {
						EXPECT_EQ(now.count(p), 1u)
						    << when << p << " not in the queue";
					}
				}
				expect_findable(when, false);
				r = act(a);
				EXPECT_EQ(r.status, 0) << when << r.err;
			}
			expect_finished(a, r, when);
		}
		// Every file of the three messages failed once at each call
		// of its move.
		EXPECT_EQ(failures, a == action::yank ? 11u * test::calls_per_move
						      : 11u);
	}
}

// When a move back fails too, the line says which file is left in the
// yank directory, and the last line that the message is not whole in the
// queue; mess is still there, so a rerun finishes.
TEST_F(Crash, AMoveBackThatFailsIsNamed)
{
	for (const char *p : {"mess/9/101", "intd/101", "todo/101",
		 "mess/10/102", "info/10/102", "remote/10/102"})
		ASSERT_EQ(unlink(qpath(p).c_str()), 0);
	before_ = test::settled_snapshot(queue_);
	// Message 100: info (move 1), local (2), remote (3), bounce (4,
	// from its flat path, where the look before the moves found it),
	// then mess fails at its first call, and the first move back, of
	// bounce, fails too, at the call right after.
	const int mess_fails = 4 * test::calls_per_move + 1;
	Result r = act(action::yank, "eio", std::to_string(mess_fails) + "," +
	    std::to_string(mess_fails + 1));
	const std::string eio = std::string("rename(): ") + strerror(EIO) + "\n";
	EXPECT_EQ(r.err,
	    "moved info/8/100 to yanked/100.info\n"
	    "moved local/8/100 to yanked/100.local\n"
	    "moved remote/8/100 to yanked/100.remote\n"
	    "moved bounce/100 to yanked/100.bounce\n" + eio + eio +
	    "remove_file(100): could not move yanked/100.bounce back to "
	    "bounce/100\n"
	    "moved yanked/100.remote to remote/8/100\n"
	    "moved yanked/100.local to local/8/100\n"
	    "moved yanked/100.info to info/8/100\n"
	    "remove_file(100): mess/8/100 not moved; the message is split "
	    "between the queue and yanked, as the lines above say\n"
	    "0 message(s) yanked, 0 left alone, 1 failed\n"
	    "1 file(s) match\n");
	EXPECT_TRUE(has("mess/8/100"));
	EXPECT_TRUE(has("yanked/100.bounce"));
	Result again = act(action::yank);
	EXPECT_EQ(again.status, 0);
	EXPECT_TRUE(test::same_tree(finished(action::yank),
	    test::tree_snapshot(queue_), any));
}

}  // namespace
