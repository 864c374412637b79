// restore_test.cpp: spoolsift-restore end to end: messages yanked by
// spoolsift -r come back whole, in an order qmail-send can meet at any
// instant; what cannot come back whole stays where it is, with a line
// that says why; a run killed at any move is finished by the same
// command.
#include "support.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace {

using test::Result;
using namespace std::string_literals;

class Restore : public test::QueueRun {
protected:
	void SetUp() override
	{
		QueueRun::SetUp();
		test::make_dirs(qpath("yanked"));
	}

	// A fresh queue with two messages yanked, one with a bounce file and
	// one still in todo: their numbers, and the queue before the yank.
	struct yanked_pair {
		std::string a, b;
		std::map<std::string, test::entry_state> queued;
	};
	yanked_pair two_yanked()
	{
		std::filesystem::remove_all(queue_);
		SetUp();
		yanked_pair p;
		p.a = queue_message("Subject: a\n", "bounce");
		p.b = queue_message("Subject: b\n", "todo");
		p.queued = test::tree_snapshot(queue_);
		yank(".*");
		return p;
	}

	// Queues a message as qmail-queue does: its text's inode number is
	// its number. envelope: "todo" (still to be preprocessed), or the
	// info file with a remote recipient file and, with "bounce", one.
	std::string queue_message(const std::string &text,
	    const std::string &envelope = "info")
	{
		const std::string tmp = qpath("pid/new");
		test::write_file(tmp, text);
		struct stat st;
		EXPECT_EQ(stat(tmp.c_str(), &st), 0);
		const std::string n = std::to_string(st.st_ino);
		const std::string b = std::to_string(st.st_ino % 23);
		EXPECT_EQ(rename(tmp.c_str(), qpath("mess/" + b + "/" + n).c_str()),
		    0);
		if (envelope == "todo") {
			put("todo/" + n, "u0\0p1\0Fa@example.org\0Tb@example.net\0"s);
			return n;
		}
		put("info/" + b + "/" + n, "Fa@example.org\0"s);
		put("remote/" + b + "/" + n, "Tb@example.net\0"s);
		if (envelope == "bounce")
			put("bounce/" + n, "failure");
		return n;
	}

	static std::string bucket(const std::string &n)
	{
		return std::to_string(std::stoul(n) % 23);
	}

	Result yank(const std::string &pattern)
	{
		Result r = run({"-r", "-p", pattern, "-q", queue_});
		EXPECT_EQ(r.status, 0) << r.err;
		return r;
	}

	Result restore(std::vector<std::string> args,
	    const test::RunOptions &opts = {}) const
	{
		args.insert(args.begin(), {"-q", queue_});
		return test::run_program(test::restore_bin, args, opts);
	}
};

// Yanked messages come back whole, each file to its place, the text first
// and the envelope last; the others stay in the yank directory. By
// number, from standard input, or all that are there.
TEST_F(Restore, PutsBackWholeMessagesAndOnlyThose)
{
	enum class ask { numbers, input, all };
	for (ask how : {ask::numbers, ask::input, ask::all}) {
		std::filesystem::remove_all(queue_);
		SetUp();
		const std::string a = queue_message("Subject: invoice\n", "bounce");
		const std::string b = queue_message("Subject: minutes\n", "todo");
		const std::string c = queue_message("Subject: jackpot\n");
		const std::string before = test::tree_listing(queue_ + "/mess");
		yank(".*");
		Result r;
		if (how == ask::numbers) {
			r = restore({a, b});
		} else if (how == ask::input) {
			test::RunOptions in;
			in.input = a + "\n\n" + b + "\n";
			r = restore({"-"}, in);
		} else {
			r = restore({"-a"});
		}
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(r.out, "");
		const std::string ba = bucket(a), bb = bucket(b);
		const std::string want_a = "moved yanked/" + a + ".mess to mess/" +
		    ba + "/" + a + "\nmoved yanked/" + a + ".remote to remote/" +
		    ba + "/" + a + "\nmoved yanked/" + a + ".bounce to bounce/" + a +
		    "\nmoved yanked/" + a + ".info to info/" + ba + "/" + a + "\n";
		const std::string want_b = "moved yanked/" + b + ".mess to mess/" +
		    bb + "/" + b + "\nmoved yanked/" + b + ".todo to todo/" + b +
		    "\n";
		if (how == ask::all) {
			EXPECT_NE(r.err.find(want_a), std::string::npos) << r.err;
			EXPECT_NE(r.err.find(want_b), std::string::npos) << r.err;
			EXPECT_TRUE(r.err.ends_with("3 message(s) restored, 0 left "
			    "alone, 0 failed\n")) << r.err;
			continue;
		}
		EXPECT_EQ(r.err, want_a + want_b +
		    "2 message(s) restored, 0 left alone, 0 failed\n");
		EXPECT_EQ(test::read_file(qpath("info/" + ba + "/" + a)),
		    "Fa@example.org\0"s);
		EXPECT_TRUE(has("todo/" + b));
		EXPECT_TRUE(has("yanked/" + c + ".mess"));
		EXPECT_TRUE(has("yanked/" + c + ".info"));
		EXPECT_FALSE(has("mess/" + bucket(c) + "/" + c));
		// The texts are the very files qmail wrote.
		std::string now = test::tree_listing(queue_ + "/mess");
		EXPECT_NE(now.find("/" + ba + "/" + a + " "), std::string::npos);
		EXPECT_NE(before.find("/" + ba + "/" + a + " "), std::string::npos);
	}
}

// What cannot come back whole stays where it is: one line says why, the
// tally counts it, and the status says not all came back.
TEST_F(Restore, WhatCannotComeBackWholeStaysAndSaysWhy)
{
	enum class harm { never_yanked, copied_text, no_envelope, no_text,
		place_taken, number_given_again };
	for (harm h : {harm::never_yanked, harm::copied_text, harm::no_envelope,
		 harm::no_text, harm::place_taken, harm::number_given_again}) {
		SCOPED_TRACE(static_cast<int>(h));
		std::filesystem::remove_all(queue_);
		SetUp();
		std::string n = queue_message("Subject: jackpot\n");
		yank("jackpot");
		const std::string text = qpath("yanked/" + n + ".mess");
		std::string said;
		switch (h) {
		case harm::never_yanked:
			n = "4242";
			said = "nothing of it in yanked";
			break;
		case harm::copied_text: {
			// Made while the text is there: another inode.
			test::write_file(text + ".copy",
			    test::read_file(text).value_or(""));
			ASSERT_EQ(rename((text + ".copy").c_str(), text.c_str()), 0);
			struct stat st;
			ASSERT_EQ(stat(text.c_str(), &st), 0);
			said = "yanked/" + n + ".mess is not the message's own text "
			    "(inode " + std::to_string(st.st_ino) + ")";
			break;
		}
		case harm::no_envelope:
			ASSERT_EQ(unlink(qpath("yanked/" + n + ".info").c_str()), 0);
			said = "no yanked/" + n + ".info or yanked/" + n + ".todo";
			break;
		case harm::no_text:
			ASSERT_EQ(rename(text.c_str(), qpath("held").c_str()), 0);
			said = "no yanked/" + n + ".mess";
			break;
		case harm::place_taken:
			put("remote/" + bucket(n) + "/" + n, "another's");
			said = "remote/" + bucket(n) + "/" + n + " is taken";
			break;
		case harm::number_given_again: {
			// The yanked text removed, its envelope left; qmail gives
			// the freed number to a new message, whose text is written
			// after that envelope moved. Made in that order without
			// waiting for the file system to hand the inode out again:
			// the new text's number is its own inode, and the old
			// envelope takes that name.
			ASSERT_EQ(unlink(text.c_str()), 0);
			const std::string old = n;
			for (const char *sub : {"info", "remote"})
				ASSERT_EQ(rename(qpath("yanked/" + old + "." + sub).c_str(),
				    qpath("yanked/held." + std::string(sub)).c_str()), 0);
			n = queue_message("Subject: minutes\n", "todo");
			for (const char *sub : {"info", "remote"})
				ASSERT_EQ(rename(qpath("yanked/held." + std::string(sub)).c_str(),
				    qpath("yanked/" + n + "." + sub).c_str()), 0);
			const std::string mess = "mess/" + bucket(n) + "/" + n;
			const struct timespec later[2] = {{0, UTIME_OMIT},
			    {time(nullptr) + 60, 0}};
			ASSERT_EQ(utimensat(AT_FDCWD, qpath(mess).c_str(), later, 0), 0);
			said = "no yanked/" + n + ".mess, and " + mess +
			    " is another message's";
			break;
		}
		}
		const std::string before = test::tree_listing(queue_);
		Result r = restore({n});
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.err, "restore_file(" + n + "): " + said +
		    "; nothing restored\n"
		    "0 message(s) restored, 1 left alone, 0 failed\n");
		EXPECT_EQ(test::tree_listing(queue_), before);
	}
	Result r = restore({"12abc"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "12abc doesn't look like an inode number\n"
			 "0 message(s) restored, 1 left alone, 0 failed\n");
}

// A -s other than the queue's would put the files where qmail never
// looks: in another hash directory (a smaller split), or at a flat path
// where the hash directory is missing (a larger one). The run is refused
// before anything moves, even with -t.
TEST_F(Restore, ASplitOtherThanTheQueuesIsRefused)
{
	const std::string n = queue_message("Subject: jackpot\n");
	yank("jackpot");
	const std::string before = test::tree_listing(queue_);
	for (const char *split : {"7", "24", "29"}) {
		for (const char *try_only : {"", "-t"}) {
			SCOPED_TRACE(std::string("-s ") + split + " " + try_only);
			std::vector<std::string> args = {"-s", split, n};
			if (*try_only)
				args.insert(args.begin(), try_only);
			Result r = restore(args);
			EXPECT_EQ(r.status, 1);
			EXPECT_EQ(r.err, "FATAL: this queue's mess is not hashed " +
			    std::string(split) + " ways; give its conf-split with "
			    "-s.\n");
			EXPECT_EQ(test::tree_listing(queue_), before);
		}
	}
}

// A queue that cannot be written: the first change, the text's access
// time, fails, and nothing moves.
TEST_F(Restore, AnUnwritableQueueMovesNothing)
{
	const std::string n = queue_message("Subject: jackpot\n");
	yank("jackpot");
	const std::string before = test::tree_listing(queue_);
	Result r = test::run_with_private_mounts("mount --bind '" + queue_ +
	    "' '" + queue_ + "' && mount -o remount,bind,ro '" + queue_ + "'",
	    {"-q", queue_, n}, test::restore_bin);
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, std::string("utimensat(): ") + strerror(EROFS) +
	    "\nrestore_file(" + n + "): yanked/" + n + ".mess not moved; the "
	    "message stays in yanked\n0 message(s) restored, 0 left alone, "
	    "1 failed\n");
	EXPECT_EQ(test::tree_listing(queue_), before);
}

// A move that fails midway moves back what had moved, newest first,
// each with its line, and the message is whole in the yank directory
// again: the same files, none left in the queue. Where a move back fails
// too, the lines say which file stays in the queue, and the last one
// does not claim the message is back in the yank directory.
TEST_F(Restore, AFailedMoveMovesBackWhatHadMoved)
{
	const int third = 2 * test::calls_per_move + 1;	// the bounce's move
	for (bool back_too : {false, true}) {
		SCOPED_TRACE(back_too ? "a move back fails too" : "moved back");
		std::filesystem::remove_all(queue_);
		SetUp();
		const std::string n = queue_message("Subject: jackpot\n", "bounce");
		yank("jackpot");
		const std::string b = bucket(n);
		const std::string mess = "mess/" + b + "/" + n;
		const std::string remote = "remote/" + b + "/" + n;
		auto files = [this] {
			std::map<std::string, ino_t> out;
			for (const auto &[p, e] : test::tree_snapshot(queue_))
				if (S_ISREG(e.mode) && !p.starts_with("lock/"))
					out[p] = e.ino;
			return out;
		};
		auto want = files();
		test::RunOptions fail;
		fail.env = {"LD_PRELOAD=" FAULT_INJECT_LIB, "SPOOLSIFT_FAULT=eio",
		    "SPOOLSIFT_FAULT_AT=" + std::to_string(third) +
			(back_too ? "," + std::to_string(third + 1) : ""),
		    "ASAN_OPTIONS=verify_asan_link_order=0"};
		Result r = restore({n}, fail);
		const std::string eio = "rename(): "s + strerror(EIO) + "\n";
		std::string said = "moved yanked/" + n + ".mess to " + mess +
		    "\nmoved yanked/" + n + ".remote to " + remote + "\n" + eio;
		if (back_too) {
			said += eio + "restore_file(" + n + "): could not move " +
			    remote + " back to yanked/" + n + ".remote\n";
			want[remote] = want["yanked/" + n + ".remote"];
			want.erase("yanked/" + n + ".remote");
		} else {
			said += "moved " + remote + " to yanked/" + n + ".remote\n";
		}
		said += "moved " + mess + " to yanked/" + n + ".mess\nrestore_file(" +
		    n + "): yanked/" + n + ".bounce not moved; the message " +
		    (back_too ? "is split between the queue and yanked, as the "
				"lines above say\n" : "stays in yanked\n") +
		    "0 message(s) restored, 0 left alone, 1 failed\n";
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.err, said);
		EXPECT_EQ(files(), want);
	}
}

// -t says what would go where and changes nothing; -l lists the yank
// directory, a line a message, and changes nothing either.
TEST_F(Restore, TryAndListChangeNothing)
{
	const std::string n = queue_message("Subject: jackpot\n");
	yank("jackpot");
	const std::string b = bucket(n);
	const std::string before = test::tree_listing(queue_);
	Result r = restore({"-t", n});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, "would move yanked/" + n + ".mess to mess/" + b + "/" +
	    n + "\nwould move yanked/" + n + ".remote to remote/" + b + "/" + n +
	    "\nwould move yanked/" + n + ".info to info/" + b + "/" + n +
	    "\n1 message(s) would be restored, 0 left alone, 0 failed\n");
	r = restore({"-l"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_TRUE(r.out.starts_with(n + "  ")) << r.out;
	EXPECT_TRUE(r.out.ends_with("\"jackpot\"  whole\n")) << r.out;
	EXPECT_EQ(test::tree_listing(queue_), before);
}

// Like a yank, a restore is refused before it changes anything while
// another run changes the queue or qmail-send runs.
TEST_F(Restore, RefusedWhileAnotherRunOrQmailSendHoldsItsLock)
{
	const std::string n = queue_message("Subject: jackpot\n");
	yank("jackpot");
	const std::string before = test::tree_listing(queue_);
	const struct {
		std::string locked;
		std::string said;
	} cases[] = {
		{queue_, "FATAL: another spoolsift run is changing this queue; "
			 "wait for it to end.\n"},
		{qpath("lock/sendmutex"), "FATAL: qmail-send is running (it holds "
			 "lock/sendmutex); stop it before restoring.\n"},
	};
	for (const auto &c : cases) {
		int fd = open(c.locked.c_str(), O_RDONLY);
		ASSERT_NE(fd, -1);
		ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
		Result r = restore({n});
		close(fd);
		EXPECT_EQ(r.status, 1);
		EXPECT_EQ(r.err, c.said);
		EXPECT_EQ(test::tree_listing(queue_), before);
	}
}

// Killed right after any one of its calls (SIGKILL, a power cut), a
// restore leaves every file in one place, and the same command run again
// brings every message back whole. Where a move is a link and an unlink,
// a kill between the two leaves that one file under both names (never
// two files), which the rerun finishes.
TEST_F(Restore, KilledAfterAnyMoveTheSameCommandFinishes)
{
	size_t k = 1;
	for (;; k++) {
		SCOPED_TRACE("killed after call " + std::to_string(k));
		const auto [a, b, queued] = two_yanked();
		test::RunOptions kill;
		kill.env = {"LD_PRELOAD=" FAULT_INJECT_LIB, "SPOOLSIFT_FAULT=kill",
		    "SPOOLSIFT_FAULT_AT=" + std::to_string(k),
		    "ASAN_OPTIONS=verify_asan_link_order=0"};
		Result killed = restore({a, b}, kill);
		if (killed.status == 0)
			break;		// fewer moves than k
		ASSERT_EQ(killed.status, 128 + SIGKILL) << killed.err;
		const auto cut = test::tree_snapshot(queue_);
		int halfway = 0;
		for (const auto &[p, e] : queued) {
			if (S_ISDIR(e.mode) || p.starts_with("lock/"))
				continue;
			const std::string name = p.substr(p.rfind('/') + 1);
			const std::string sub = p.substr(0, p.find('/'));
			const auto here = cut.find(p);
			const auto yanked = cut.find("yanked/" + name + "." + sub);
			if (here != cut.end() && yanked != cut.end()) {
				EXPECT_TRUE(test::binary_moves_by_link &&
				    here->second.dev == yanked->second.dev &&
				    here->second.ino == yanked->second.ino &&
				    ++halfway == 1) << p << " in two places";
				continue;
			}
			EXPECT_TRUE(here != cut.end() || yanked != cut.end())
			    << p << " lost";
		}
		Result again = restore({a, b});
		EXPECT_EQ(again.status, 0) << again.err;
		const auto now = test::tree_snapshot(queue_);
		for (const auto &[p, e] : queued) {
			if (!S_ISDIR(e.mode)) {
				EXPECT_EQ(now.count(p), 1u) << p << " not back";
			}
		}
	}
	EXPECT_GT(k, 6u * test::calls_per_move)
	    << "only " << k - 1 << " calls were tried";
}

// ^C or a kill during a restore waits until the message being moved is
// whole in the queue: the run, stopped in the middle of a message's
// moves and sent the signal there, ends by it only once that message's
// last file is back, leaving the next message whole in the yank
// directory.
TEST_F(Restore, AStopSignalWaitsForTheMessageToBeWhole)
{
	for (int sig : {SIGINT, SIGTERM}) {
		SCOPED_TRACE(strsignal(sig));
		const auto [a, b, queued] = two_yanked();
		const std::string err = qpath("../restore.err");
		pid_t pid = fork();
		ASSERT_NE(pid, -1);
		if (pid == 0) {
			int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
			dup2(e, 2);
			close(e);
			setenv("LD_PRELOAD", FAULT_INJECT_LIB, 1);
			setenv("SPOOLSIFT_FAULT", "stop", 1);	// before a's 2nd move
			setenv("SPOOLSIFT_FAULT_AT",
			    std::to_string(test::calls_per_move + 1).c_str(), 1);
			setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
			execl(test::restore_bin.c_str(), "spoolsift-restore", "-q",
			    queue_.c_str(), a.c_str(), b.c_str(), static_cast<char *>(nullptr));
			_exit(127);
		}
		int st = 0;
		ASSERT_EQ(waitpid(pid, &st, WUNTRACED), pid);
		ASSERT_TRUE(WIFSTOPPED(st));
		kill(pid, sig);
		kill(pid, SIGCONT);
		ASSERT_EQ(waitpid(pid, &st, 0), pid);
		EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == sig)
		    << test::read_file(err).value_or("");
		const std::string said = test::read_file(err).value_or("");
		EXPECT_TRUE(said.ends_with("moved yanked/" + a + ".info to info/" +
		    bucket(a) + "/" + a + "\n")) << said;
		const auto now = test::tree_snapshot(queue_);
		for (const auto &[p, e] : queued) {
			if (S_ISDIR(e.mode) || p.starts_with("lock/"))
				continue;
			const std::string name = p.substr(p.rfind('/') + 1);
			const std::string sub = p.substr(0, p.find('/'));
			EXPECT_EQ(now.count(name == a ? p : "yanked/" + name + "." +
			    sub), 1u) << p;
		}
	}
}

}  // namespace
