// A live mail host: qmail-queue still writing a message while a yank or
// delete runs, and qmail-send running (or starting) during one.
#include "support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;
using test::Result;

// Queues one message the way qmail-queue does: the body into a new file
// named by its own inode number under mess, then the envelope into intd,
// and last todo, a link to intd. Only the todo link makes the message
// queued; until then the sender has not been told it was accepted.
class QueueingMessage {
public:
	explicit QueueingMessage(const std::string &queue) : queue_(queue)
	{
		const std::string tmp = queue_ + "/pid/queueing";
		fd_ = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
		struct stat st;
		EXPECT_EQ(fstat(fd_, &st), 0);
		number_ = std::to_string(st.st_ino);
		mess_ = "mess/" + std::to_string(st.st_ino % 23) + "/" + number_;
		EXPECT_EQ(rename(tmp.c_str(), path(mess_).c_str()), 0);
	}
	~QueueingMessage()
	{
		if (fd_ != -1)
			close(fd_);
	}

	void write_body(const std::string &part)
	{
		body_ += part;
		EXPECT_EQ(write(fd_, part.data(), part.size()),
		    static_cast<ssize_t>(part.size()));
	}
	void close_body()
	{
		close(fd_);
		fd_ = -1;
	}
	void write_envelope()
	{
		test::write_file(path("intd/" + number_),
		    std::string("u0\0p1\0Fsender@example.org\0Tuser@example.org\0",
			44));
	}
	void link_todo()
	{
		EXPECT_EQ(link(path("intd/" + number_).c_str(),
		    path("todo/" + number_).c_str()), 0);
	}

	// Whether the message is whole in the queue: its body as written,
	// its envelope, its todo entry.
	bool whole() const
	{
		return test::read_file(path(mess_)) == body_ &&
		    test::exists(path("intd/" + number_)) &&
		    test::exists(path("todo/" + number_));
	}
	const std::string &number() const { return number_; }

private:
	std::string path(const std::string &rel) const
	{
		return queue_ + "/" + rel;
	}

	std::string queue_;
	int fd_ = -1;
	std::string number_, mess_, body_;
};

class LiveHost : public test::QueueRun {
protected:
	void SetUp() override
	{
		QueueRun::SetUp();
		test::make_dirs(qpath("yanked"));
	}

	// A whole, queued spam message beside the one being queued.
	void put_neighbour()
	{
		put("mess/8/100", "Subject: jackpot\n");
		put("info/8/100", "Fspam@example.biz\n");
		put("remote/8/100", "Tfar@example.net\n");
	}

	// spoolsift with args, stopped (SIGSTOP) before its first rename or
	// unlink: the middle of a run. What it writes goes to files that
	// finish reads.
	pid_t start_stopped(const std::vector<std::string> &args) const
	{
		const std::string out = tmp_.path() + "/stopped.out";
		const std::string err = tmp_.path() + "/stopped.err";
		pid_t pid = fork();
		if (pid == 0) {
			int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
			int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
			dup2(o, 1);
			dup2(e, 2);
			close(o);
			close(e);
			setenv("LD_PRELOAD", FAULT_INJECT_LIB, 1);
			setenv("SPOOLSIFT_FAULT", "stop", 1);
			setenv("SPOOLSIFT_FAULT_AT", "1", 1);
			setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
			std::vector<char *> argv{const_cast<char *>("spoolsift")};
			for (const std::string &a : args)
				argv.push_back(const_cast<char *>(a.c_str()));
			argv.push_back(nullptr);
			execv(test::spoolsift_bin.c_str(), argv.data());
			_exit(127);
		}
		int st = 0;
		EXPECT_EQ(waitpid(pid, &st, WUNTRACED), pid);
		EXPECT_TRUE(WIFSTOPPED(st));
		return pid;
	}

	// Lets a stopped run go on to its end: its status and what it wrote.
	// One still running after 10 seconds hangs: it is killed (status
	// 128 + SIGKILL).
	Result finish(pid_t pid) const
	{
		kill(pid, SIGCONT);
		Result r;
		int st = 0;
		for (int tries = 0; waitpid(pid, &st, WNOHANG) == 0; tries++) {
			if (tries == 1000) {
				kill(pid, SIGKILL);
				waitpid(pid, &st, 0);
				break;
			}
			usleep(10000);
		}
		r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
		r.out = test::read_file(tmp_.path() + "/stopped.out").value_or("");
		r.err = test::read_file(tmp_.path() + "/stopped.err").value_or("");
		return r;
	}
};

// qmail-queue held at each of its steps while -r or -d runs: the message
// it is queuing is left alone (and said to be), and finishes whole; the
// whole message beside it is taken.
TEST_F(LiveHost, MessageStillBeingQueuedIsLeftAloneAtEveryStep)
{
	enum step { in_body, body_written, in_envelope };
	for (const char *act : {"-r", "-d"}) {
		for (step held : {in_body, body_written, in_envelope}) {
			std::filesystem::remove_all(queue_);
			SetUp();
			put_neighbour();
			QueueingMessage m(queue_);
			m.write_body("Subject: jackpot\n\nfirst half, ");
			if (held != in_body) {
				m.write_body("second half\n");
				m.close_body();
			}
			if (held == in_envelope)
				m.write_envelope();

			Result r = run({act, "-p", "jackpot", "-q", queue_});
			const std::string who = std::string(act == std::string("-r")
			    ? "remove_file(" : "delete_file(") + m.number() + ")";
			EXPECT_EQ(r.status, 0) << r.err;
			EXPECT_NE(r.err.find(who + ": not queued yet (no todo or "
				      "info file), left alone\n"), std::string::npos)
			    << act << held << r.err;
			EXPECT_FALSE(has("mess/8/100")) << act << held;
			EXPECT_FALSE(has("info/8/100")) << act << held;

			// qmail-queue finishes and accepts the message.
			if (held == in_body) {
				m.write_body("second half\n");
				m.close_body();
			}
			if (held != in_envelope)
				m.write_envelope();
			m.link_todo();
			EXPECT_TRUE(m.whole()) << act << " step " << held;
		}
	}
}

// A yank cut off after the todo and info files of a message moved (the
// message then has neither) is finished by the rerun; a delete cut off
// there leaves mess alone, as qmail itself does after a crash.
TEST_F(LiveHost, RerunFinishesAYankCutOffAfterTodoAndInfo)
{
	put("mess/8/100", "jackpot");
	put("yanked/100.todo", "");
	put("yanked/100.info", "F");
	Result r = run({"-r", "-q", queue_});
	EXPECT_EQ(r.err, "moved mess/8/100 to yanked/100.mess\n"
			 "1 message(s) yanked, 0 left alone, 0 failed\n"
			 "1 file(s) match\n");
	// Other files under the number (a restore that kept one) are not a
	// cut-off yank: a message qmail-queue writes under a reused number
	// stays where it is.
	put("mess/9/101", "jackpot");
	put("yanked/101.remote", "Told@example.net");
	r = run({"-r", "-q", queue_});
	EXPECT_EQ(r.err, "remove_file(101): not queued yet (no todo or info "
			 "file), left alone\n"
			 "0 message(s) yanked, 1 left alone, 0 failed\n"
			 "1 file(s) match\n");
	EXPECT_TRUE(has("mess/9/101"));
	ASSERT_EQ(unlink(qpath("mess/9/101").c_str()), 0);

	put("mess/16/200", "jackpot");
	r = run({"-d", "-q", queue_});
	EXPECT_EQ(r.err, "delete_file(200): not queued yet (no todo or info "
			 "file), left alone\n"
			 "0 message(s) deleted, 1 left alone, 0 failed\n"
			 "1 file(s) match\n");
	EXPECT_TRUE(has("mess/16/200"));
}

// Two spam messages, both queued. The readers judge files ahead of the
// listing; meanwhile qmail may finish a message and queue a new one under
// its number (ext4 hands a freed inode to the next new file), at the same
// path. Only the message at the path when its verdict goes out may be
// acted on, and on its own content.
class ReusedNumber : public LiveHost {
protected:
	// Queues the two messages and returns them in the order the run
	// lists them. The first is large, so that while it is read the
	// readers get to the second, ahead of the first one's action.
	std::vector<std::string> put_two()
	{
		std::filesystem::remove_all(queue_);
		SetUp();
		for (const char *n : {"100", "30"}) {
			put(mess(n), "Subject: jackpot\n");
			put(hashed("info", n), "Fspam@example.biz\n");
		}
		std::vector<std::string> order;
		for (const std::string &line :
		    test::lines_of(run({"-p", "jackpot", "-q", queue_}).out))
			order.push_back(line.substr(0, line.find(':')));
		EXPECT_EQ(order.size(), 2u);
		order.resize(2);
		put(mess(order[0]), std::string(16 << 20, 'x') + "jackpot\n");
		return order;
	}

	// Starts args stopped at the first action, once the readers have read
	// mess of message n (its access time moves off a past one): -1 when
	// in a few tries they never got there first.
	pid_t start_after_reading(const std::vector<std::string> &args,
	    const std::string &n)
	{
		const std::string path = qpath(mess(n));
		for (int tries = 0; tries < 20; tries++) {
			const timespec past[2] = {{1000000000, 0}, {0, UTIME_OMIT}};
			EXPECT_EQ(utimensat(AT_FDCWD, path.c_str(), past, 0), 0);
			pid_t pid = start_stopped(args);
			struct stat st;
			EXPECT_EQ(stat(path.c_str(), &st), 0);
			if (st.st_atim.tv_sec != past[0].tv_sec)
				return pid;
			finish(pid);
			put_two();
		}
		return -1;
	}

	// qmail-send finishes message n (info, then mess), and qmail-queue
	// queues a new message with body under the number: as a new file,
	// or as the freed inode handed out again looks to stat, the same
	// inode with a new change time.
	void requeue(const std::string &n, const std::string &body,
	    bool same_inode)
	{
		EXPECT_EQ(unlink(qpath(hashed("info", n)).c_str()), 0);
		if (same_inode) {
			// Written again until its change time shows it, on a file
			// system whose clock ticks coarsely.
			struct stat before, after;
			EXPECT_EQ(stat(qpath(mess(n)).c_str(), &before), 0);
			do {
				test::write_file(qpath(mess(n)), body);
				EXPECT_EQ(stat(qpath(mess(n)).c_str(), &after), 0);
			} while (after.st_ctim.tv_sec == before.st_ctim.tv_sec &&
			    after.st_ctim.tv_nsec == before.st_ctim.tv_nsec &&
			    usleep(1000) == 0);
		} else {
			EXPECT_EQ(unlink(qpath(mess(n)).c_str()), 0);
			put("pid/new", body);
			EXPECT_EQ(rename(qpath("pid/new").c_str(),
			    qpath(mess(n)).c_str()), 0);
		}
		put("intd/" + n, "u0\0p1\0Fnew@example.org\0Tuser@example.org\0"s);
		EXPECT_EQ(link(qpath("intd/" + n).c_str(),
		    qpath("todo/" + n).c_str()), 0);
	}

	static std::string hashed(const std::string &dir, const std::string &n)
	{
		return dir + "/" + std::to_string(std::stoul(n) % 23) + "/" + n;
	}
	static std::string mess(const std::string &n) { return hashed("mess", n); }
};

TEST_F(ReusedNumber, OnlyTheMessageThereAtItsTurnIsActedOnByItsOwnContent)
{
	struct scenario {
		const char *act;
		bool same_inode;
		const char *body;	// of the new message: the same size
		bool matches;
	} const scenarios[] = {
		{"-d", false, "Subject: weather\n", false},
		{"-d", true, "Subject: weather\n", false},
		{"-r", false, "Subject: weather\n", false},
		{"-r", true, "Subject: weather\n", false},
		{"-d", true, "Subject: jackpot\n", true},
		{"-r", false, "Subject: jackpot\n", true},
	};
	for (const scenario &c : scenarios) {
		SCOPED_TRACE(std::string(c.act) + (c.same_inode ? " same inode"
		    : " new file") + (c.matches ? " matching" : " not matching"));
		std::filesystem::remove_all(qpath("yanked"));
		const std::vector<std::string> order = put_two();
		const std::string &first = order[0], &n = order[1];
		pid_t pid = start_after_reading({c.act, "-p", "jackpot", "-q",
		    queue_}, n);
		if (pid == -1)
			GTEST_SKIP() << "the readers never read ahead of the first "
					"action (access times not kept?)";
		requeue(n, c.body, c.same_inode);
		Result r = finish(pid);

		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_EQ(r.out, first + ": yes\n" + n + (c.matches ? ": yes\n"
		    : ": no\n"));
		EXPECT_TRUE(r.err.ends_with(c.matches ? "2 file(s) match\n"
		    : "1 file(s) match\n")) << r.err;
		EXPECT_FALSE(has(mess(first)));
		EXPECT_EQ(has(mess(n)), !c.matches);
		EXPECT_EQ(has("todo/" + n), !c.matches);
		EXPECT_EQ(has("intd/" + n), !c.matches);
		if (!c.matches) {
			EXPECT_EQ(test::read_file(qpath(mess(n))), c.body);
		} else if (c.act[1] == 'r') {
			EXPECT_EQ(test::read_file(qpath("yanked/" + n + ".mess")),
			    c.body);
		}
	}
}

// A FIFO put in place of a message file after the walk saw a regular
// file there: opening it must not wait for a writer (the run would hang
// holding qmail-send's lock), and it is not a message to act on, even
// for a pattern its empty text would match. Whether a reader meets it
// first or the look before the action does, it cannot be read, as a
// directory cannot, and is listed "no" and left where it is.
TEST_F(ReusedNumber, FifoInPlaceOfAMessageFileNeitherHangsTheRunNorIsTaken)
{
	const std::vector<std::string> order = put_two();
	const std::string &first = order[0], &n = order[1];
	pid_t pid = start_stopped({"-d", "-q", queue_});
	ASSERT_EQ(unlink(qpath(mess(n)).c_str()), 0);
	ASSERT_EQ(mkfifo(qpath(mess(n)).c_str(), 0600), 0);
	Result r = finish(pid);

	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, first + ": yes\n" + n + ": no\n");
	EXPECT_TRUE(r.err.ends_with("spoolsift: read() too short\n"
				    "1 message(s) deleted, 0 left alone, 0 failed\n"
				    "1 file(s) match\n")) << r.err;
	EXPECT_FALSE(has(mess(first)));
	struct stat st;
	EXPECT_EQ(lstat(qpath(mess(n)).c_str(), &st), 0);
	EXPECT_TRUE(S_ISFIFO(st.st_mode));
	EXPECT_TRUE(has(hashed("info", n)));
}

// qmail-send holds lock/sendmutex for its whole life: flock on Linux
// builds, lockf (an fcntl lock) on others.
class SendLock : public LiveHost {
protected:
	void SetUp() override
	{
		LiveHost::SetUp();
		put("lock/sendmutex", "");
		put_neighbour();
		put("mess/9/101", "Subject: jackpot\n");
		put("info/9/101", "Fspam@example.biz\n");
	}

	int open_lock() const
	{
		int fd = open(qpath("lock/sendmutex").c_str(), O_RDWR | O_CLOEXEC);
		EXPECT_NE(fd, -1);
		return fd;
	}

	// Holds the lock in a child process, the one way or the other, until
	// the returned process is killed.
	pid_t hold(bool with_flock) const
	{
		int ready[2];
		EXPECT_EQ(pipe(ready), 0);
		pid_t pid = fork();
		if (pid == 0) {
			int fd = open_lock();
			struct flock fl = {};
			fl.l_type = F_WRLCK;
			fl.l_whence = SEEK_SET;
			int rc = with_flock ? flock(fd, LOCK_EX | LOCK_NB)
					    : fcntl(fd, F_SETLK, &fl);
			(void)!write(ready[1], rc == 0 ? "y" : "n", 1);
			pause();
			_exit(0);
		}
		char c = 0;
		EXPECT_EQ(read(ready[0], &c, 1), 1);
		EXPECT_EQ(c, 'y');
		close(ready[0]);
		close(ready[1]);
		return pid;
	}

	static void release(pid_t pid)
	{
		kill(pid, SIGKILL);
		waitpid(pid, nullptr, 0);
	}
};

const char running[] = "FATAL: qmail-send is running (it holds "
		       "lock/sendmutex); stop it before -r or -d (-x and -X are "
		       "safe while it runs).\n";

// Taking files from under a running qmail-send has it deliver from its
// stale list: twice, once a new message gets the number. A warning
// scrolled away under the reports; the run is refused before it changes
// anything. Listing and expire go on and say nothing about it.
TEST_F(SendLock, YankOrDeleteIsRefusedWhileQmailSendRuns)
{
	test::make_dirs(qpath("yanked"));
	for (bool with_flock : {true, false}) {
		pid_t sender = hold(with_flock);
		const std::string before = test::tree_listing(queue_);
		for (const char *act : {"-r", "-d"}) {
			Result r = run({act, "-p", "jackpot", "-q", queue_});
			EXPECT_EQ(r.status, 1) << act;
			EXPECT_EQ(r.out, "") << act;
			EXPECT_EQ(r.err, running) << act;
			EXPECT_EQ(test::tree_listing(queue_), before) << act;
		}
		for (const std::vector<std::string> &args : {
			 std::vector<std::string>{"-p", "jackpot"},
			 {"-X", "60", "-p", "jackpot"}}) {
			std::vector<std::string> full = args;
			full.push_back("-q");
			full.push_back(queue_);
			Result r = run(full);
			EXPECT_EQ(r.status, 0) << r.err;
			EXPECT_EQ(r.err.find("qmail-send"), std::string::npos);
			EXPECT_TRUE(r.err.ends_with("2 file(s) match\n")) << r.err;
		}
		release(sender);
	}
	// No lock file: nothing known, nothing said, and the run acts.
	ASSERT_EQ(unlink(qpath("lock/sendmutex").c_str()), 0);
	Result r = run({"-d", "-p", "jackpot", "-q", queue_});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err.find("qmail-send"), std::string::npos);
	EXPECT_FALSE(has("mess/8/100"));
}

// Two runs that change one queue at once interleave their moves: one
// yanks the envelope while the other deletes the text. A second run is
// refused before it changes anything while the first is under way; a
// listing needs no lock and goes on.
TEST_F(SendLock, ASecondRunThatActsIsRefusedWhileTheFirstChangesTheQueue)
{
	test::make_dirs(qpath("yanked"));
	pid_t first = start_stopped({"-d", "-p", "jackpot", "-q", queue_});
	const std::string during = test::tree_listing(queue_);
	for (const std::vector<std::string> &act : {std::vector<std::string>{
		 "-r"}, {"-d"}, {"-X", "60"},
		 {"-x", "Mon Jan  1 00:00:00 UTC 2024"}}) {
		std::vector<std::string> args = act;
		for (const char *a : {"-p", "jackpot", "-q"})
			args.push_back(a);
		args.push_back(queue_);
		test::RunOptions utc;
		utc.env = {"TZ=UTC0"};
		Result r = run(args, utc);
		EXPECT_EQ(r.status, 1) << act[0];
		EXPECT_EQ(r.out, "") << act[0];
		EXPECT_TRUE(r.err.ends_with("FATAL: another spoolsift run is "
		    "changing this queue; wait for it to end.\n")) << r.err;
		EXPECT_EQ(test::tree_listing(queue_), during) << act[0];
	}
	Result listing = run({"-p", "jackpot", "-q", queue_});
	EXPECT_EQ(listing.status, 0);
	EXPECT_TRUE(listing.err.ends_with("2 file(s) match\n")) << listing.err;
	EXPECT_EQ(finish(first).status, 0);
	EXPECT_FALSE(has("mess/8/100"));
	EXPECT_FALSE(has("mess/9/101"));
	// Over, it holds nothing: the next run acts.
	put("mess/8/100", "Subject: jackpot\n");
	put("info/8/100", "F");
	Result next = run({"-r", "-p", "jackpot", "-q", queue_});
	EXPECT_EQ(next.status, 0) << next.err;
	EXPECT_FALSE(has("mess/8/100"));
}

// Without a running qmail-send the run takes the lock and keeps it to
// its end: a qmail-send started meanwhile cannot take it, and so stops
// with its own "already running" alert rather than read a queue that is
// being changed.
TEST_F(SendLock, RunHoldsTheLockUntilItEnds)
{
	pid_t pid = start_stopped({"-d", "-p", "jackpot", "-q", queue_});
	int fd = open_lock();
	errno = 0;
	EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), -1);
	EXPECT_EQ(errno, EWOULDBLOCK);
	EXPECT_EQ(finish(pid).status, 0);
	EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
	close(fd);
	EXPECT_FALSE(has("mess/8/100"));
}

// Without its lock file nothing tells whether qmail-send runs, and it
// may write a file of the message after the run has looked at it and
// before the moves reach that subdirectory (here: remote and bounce,
// while the run stands at its first move): each subdirectory is looked
// at again, so the message is still taken whole.
TEST_F(SendLock, WithoutItsLockFileFilesWrittenMeanwhileAreTaken)
{
	ASSERT_EQ(unlink(qpath("lock/sendmutex").c_str()), 0);
	for (const char *act : {"-r", "-d"}) {
		SCOPED_TRACE(act);
		std::filesystem::remove_all(qpath("yanked"));
		test::make_dirs(qpath("yanked"));
		put("mess/8/100", "Subject: jackpot\n");
		put("info/8/100", "F");
		put("local/8/100", "D");
		pid_t pid = start_stopped({act, "-p", "jackpot", "-q", queue_});
		put("remote/8/100", "Tfar@example.net");
		put("bounce/100", "bounced");
		EXPECT_EQ(finish(pid).status, 0);
		for (const char *f : {"local/8/100", "remote/8/100", "bounce/100",
			 "info/8/100", "mess/8/100"})
			EXPECT_FALSE(has(f)) << f;
		if (act[1] == 'r') {
			EXPECT_EQ(test::read_file(qpath("yanked/100.bounce")),
			    "bounced");
		}
	}
}

}  // namespace
