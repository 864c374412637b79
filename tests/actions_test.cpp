// Yank, delete and expire end to end: a small queue, a run of the tool,
// both channels and the resulting tree.
#include "os.h"
#include "support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>

namespace {

using test::QueueRun;
using test::Result;

// The word the tally uses for what an action option does.
std::string done(const std::string &option)
{
	return option == "-r" ? "yanked" : option == "-d" ? "deleted" : "expired";
}

using Yank = QueueRun;

TEST_F(Yank, MovesEveryFileOfAMatchingMessage)
{
	put("mess/8/100", "Subject: buy now\n");
	put("info/8/100", "Fsender@example.org\n");
	put("todo/100", "");
	test::make_dirs(qpath("yanked"));

	Result r = run({"-r", "-p", "buy now", "-q", queue_});

	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "100: yes\n");
	EXPECT_EQ(r.err, "moved info/8/100 to yanked/100.info\n"
			 "moved todo/100 to yanked/100.todo\n"
			 "moved mess/8/100 to yanked/100.mess\n"
			 "1 message(s) yanked, 0 left alone, 0 failed\n"
			 "1 file(s) match\n");
	EXPECT_EQ(test::read_file(qpath("yanked/100.mess")), "Subject: buy now\n");
	EXPECT_EQ(test::read_file(qpath("yanked/100.info")),
	    "Fsender@example.org\n");
	EXPECT_TRUE(has("yanked/100.todo"));
	EXPECT_FALSE(has("mess/8/100"));
	EXPECT_FALSE(has("info/8/100"));
	EXPECT_FALSE(has("todo/100"));
}

TEST_F(Yank, ReportsFollowTheirVerdictLineInASharedPipe)
{
	put("mess/8/100", "buy");
	put("info/8/100", "F");
	put("mess/16/200", "buy");
	put("info/16/200", "F");
	test::make_dirs(qpath("yanked"));
	Result r = test::run_program("/bin/sh",
	    {"-c", test::spoolsift_bin + " -r -q " + queue_ + " 2>&1"});
	EXPECT_EQ(test::sorted_lines(r.out),
	    test::sorted_lines("100: yes\n"
			       "2 message(s) yanked, 0 left alone, 0 failed\n"
			       "moved info/8/100 to yanked/100.info\n"
			       "moved mess/8/100 to yanked/100.mess\n"
			       "200: yes\n"
			       "moved info/16/200 to yanked/200.info\n"
			       "moved mess/16/200 to yanked/200.mess\n"
			       "2 file(s) match\n"));
	for (const char *n : {"100", "200"}) {
		const std::string verdict = std::string(n) + ": yes\n";
		size_t at = r.out.find(verdict);
		ASSERT_NE(at, std::string::npos) << r.out;
		EXPECT_EQ(r.out.compare(at + verdict.size(), 6, "moved "), 0)
		    << r.out;
	}
}

TEST_F(Yank, FindsFlatFilesBesideHashedOnes)
{
	// Hashed where qmail hashes, flat where a queue built without
	// hashing for them keeps its files.
	for (const char *p : {"mess/8/100", "local/8/100", "remote/8/100",
		 "info/8/100", "intd/100", "todo/100", "bounce/100"})
		put(p, p);
	test::make_dirs(qpath("yanked"));
	Result r = run({"-r", "-q", queue_});
	EXPECT_EQ(r.err, "moved info/8/100 to yanked/100.info\n"
			 "moved todo/100 to yanked/100.todo\n"
			 "moved intd/100 to yanked/100.intd\n"
			 "moved local/8/100 to yanked/100.local\n"
			 "moved remote/8/100 to yanked/100.remote\n"
			 "moved bounce/100 to yanked/100.bounce\n"
			 "moved mess/8/100 to yanked/100.mess\n"
			 "1 message(s) yanked, 0 left alone, 0 failed\n"
			 "1 file(s) match\n");
	for (const char *d : {"mess", "local", "remote", "info"})
		EXPECT_EQ(test::read_file(qpath("yanked/100." + std::string(d))),
		    std::string(d) + "/8/100");
	for (const char *d : {"intd", "todo", "bounce"})
		EXPECT_EQ(test::read_file(qpath("yanked/100." + std::string(d))),
		    std::string(d) + "/100");
}

TEST_F(Yank, MissingFilesAreNamedOnlyAtVerbosityTwo)
{
	put("mess/8/100", "x");
	put("info/8/100", "F");
	test::make_dirs(qpath("yanked"));
	put("yanked/.keep", "");	// so each run starts from the same tree
	const std::string moved = "moved info/8/100 to yanked/100.info\n"
				  "moved mess/8/100 to yanked/100.mess\n"
				  "1 message(s) yanked, 0 left alone, 0 failed\n"
				  "1 file(s) match\n";
	Result quiet = run({"-r", "-q", queue_});
	EXPECT_EQ(quiet.err, moved);

	ASSERT_EQ(rename(qpath("yanked/100.mess").c_str(),
		      qpath("mess/8/100").c_str()), 0);
	ASSERT_EQ(rename(qpath("yanked/100.info").c_str(),
		      qpath("info/8/100").c_str()), 0);
	Result once = run({"-v", "-r", "-q", queue_});
	EXPECT_EQ(once.err, moved);

	ASSERT_EQ(rename(qpath("yanked/100.mess").c_str(),
		      qpath("mess/8/100").c_str()), 0);
	ASSERT_EQ(rename(qpath("yanked/100.info").c_str(),
		      qpath("info/8/100").c_str()), 0);
	Result twice = run({"-v", "-v", "-r", "-q", queue_});
	auto missing = [](const char *d) {
		return std::string("remove_file(") + d + "/8/100): not a file\n"
		    "remove_file(" + d + "/100): no stat info\n";
	};
	std::string expected = "moved info/8/100 to yanked/100.info\n";
	for (const char *d : {"todo", "intd", "local", "remote", "bounce"})
		expected += missing(d);
	expected += "moved mess/8/100 to yanked/100.mess\n";
	EXPECT_EQ(twice.err, expected + "1 message(s) yanked, 0 left alone, 0 failed\n"
			 "1 file(s) match\n");

	// Without qmail-send's lock file the run cannot keep it from
	// starting, and looks at each subdirectory again as it goes: the
	// same lines.
	ASSERT_EQ(unlink(qpath("lock/sendmutex").c_str()), 0);
	ASSERT_EQ(rename(qpath("yanked/100.mess").c_str(),
		      qpath("mess/8/100").c_str()), 0);
	ASSERT_EQ(rename(qpath("yanked/100.info").c_str(),
		      qpath("info/8/100").c_str()), 0);
	twice = run({"-v", "-v", "-r", "-q", queue_});
	EXPECT_EQ(twice.err, expected + "1 message(s) yanked, 0 left alone, 0 failed\n"
			 "1 file(s) match\n");
}

TEST_F(Yank, SplitFileWinsOverAFlatOne)
{
	put("mess/8/100", "x");
	put("todo/8/100", "hashed");
	put("todo/100", "flat");
	test::make_dirs(qpath("yanked"));
	Result r = run({"-r", "-q", queue_});
	EXPECT_NE(r.err.find("moved todo/8/100 to yanked/100.todo\n"),
	    std::string::npos) << r.err;
	EXPECT_EQ(test::read_file(qpath("yanked/100.todo")), "hashed");
	EXPECT_EQ(test::read_file(qpath("todo/100")), "flat");
}

// A file directly in mess of a hashed queue (a copy put back by hand in
// the wrong place, say) while another file of that number stands at the
// split path: acting on it would take the other one, which was never
// listed for it. It is left alone, for each action.
TEST_F(Yank, AFileDirectlyInMessWithAnotherAtItsSplitPathIsLeftAlone)
{
	put("mess/8/100", "Subject: minutes");
	put("info/8/100", "F");
	put("remote/8/100", "T");
	put("mess/100", "Subject: jackpot");
	test::make_dirs(qpath("yanked"));
	const std::string before = test::tree_listing(queue_);
	for (std::vector<std::string> act : {std::vector<std::string>{"-r"},
		 {"-d"}, {"-X", "60"}}) {
		SCOPED_TRACE(act[0]);
		act.insert(act.end(), {"-p", "jackpot", "-q", queue_});
		Result r = run(act);
		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(test::sorted_lines(r.out),
		    (std::vector<std::string>{"100: no", "100: yes"}));
		EXPECT_NE(r.err.find("100: found directly in mess, but "
				     "mess/8/100 is another file; left alone\n"),
		    std::string::npos) << r.err;
		EXPECT_EQ(test::tree_listing(queue_), before);
	}
}

TEST_F(Yank, WhateverStandsAtTheSplitPathIsMoved)
{
	put("mess/8/100", "x");
	put("todo/100", "");
	put("local/8/100/inner", "a directory in the way");
	test::make_dirs(qpath("yanked"));
	Result r = run({"-r", "-q", queue_});
	EXPECT_NE(r.err.find("moved local/8/100 to yanked/100.local\n"),
	    std::string::npos) << r.err;
	EXPECT_EQ(test::read_file(qpath("yanked/100.local/inner")),
	    "a directory in the way");
}

TEST_F(Yank, FlatLinksAreMovedAsLinks)
{
	const std::string outside = tmp_.path() + "/outside";
	test::write_file(outside, "not queue content");
	put("mess/8/100", "x");
	ASSERT_EQ(symlink(outside.c_str(), qpath("todo/100").c_str()), 0);
	ASSERT_EQ(symlink("nowhere", qpath("bounce/100").c_str()), 0);
	test::make_dirs(qpath("yanked"));
	Result r = run({"-v", "-v", "-r", "-q", queue_});
	EXPECT_NE(r.err.find("moved todo/100 to yanked/100.todo\n"),
	    std::string::npos) << r.err;
	EXPECT_NE(r.err.find("remove_file(bounce/100): no stat info\n"),
	    std::string::npos) << r.err;
	struct stat st;
	ASSERT_EQ(lstat(qpath("yanked/100.todo").c_str(), &st), 0);
	EXPECT_TRUE(S_ISLNK(st.st_mode));
	EXPECT_EQ(test::read_file(outside), "not queue content");
	EXPECT_TRUE(has("bounce/100"));
}

// A stray file that merely starts with a message's number is listed as
// what it is, and never stands for that message: "12.orig: yes" must not
// take message 12, which the listing called "no".
TEST_F(Yank, NamesThatAreNoPlainNumberTouchNothing)
{
	put("mess/12/12", "ham");
	put("info/12/12", "F");
	put("todo/12", "");
	for (const char *name : {"12.orig", "+12", "12 34", "012", "12\n"})
		put(std::string("mess/12/") + name, "spam");
	test::make_dirs(qpath("yanked"));
	const test::tree before = test::settled_snapshot(queue_);
	for (std::vector<std::string> action :
	    {std::vector<std::string>{"-r"}, {"-d"}, {"-X", "60"}}) {
		for (const char *arg : {"-p", "spam", "-q"})
			action.push_back(arg);
		action.push_back(queue_);
		Result r = run(action);
		EXPECT_EQ(r.status, 0) << action[0];
		EXPECT_NE(r.out.find("12.orig: yes\n"), std::string::npos);
		EXPECT_NE(r.out.find("12: no\n"), std::string::npos);
		EXPECT_NE(r.err.find("12.orig doesn't look like an inode "
				     "number\n"), std::string::npos) << r.err;
		EXPECT_NE(r.err.find("012 doesn't look like an inode "
				     "number\n"), std::string::npos) << r.err;
		EXPECT_TRUE(r.err.ends_with("5 file(s) match\n")) << r.err;
		EXPECT_TRUE(test::same_tree(before,
		    test::tree_snapshot(queue_),
		    [](const std::string &) { return true; }))
		    << action[0];
	}
}

// Below the split a message's split path runs through its own flat
// file: "todo/12/12" through "todo/12". That path is missing, not an
// error, and the flat file is found.
TEST_F(Yank, FlatFilesOfANumberBelowTheSplitAreFound)
{
	put("mess/12/12", "x");
	put("info/12/12", "F");
	put("todo/12", "");
	put("bounce/12", "b");
	test::make_dirs(qpath("yanked"));
	Result r = run({"-r", "-q", queue_});
	EXPECT_EQ(r.err, "moved info/12/12 to yanked/12.info\n"
			 "moved todo/12 to yanked/12.todo\n"
			 "moved bounce/12 to yanked/12.bounce\n"
			 "moved mess/12/12 to yanked/12.mess\n"
			 "1 message(s) yanked, 0 left alone, 0 failed\n"
			 "1 file(s) match\n");
	EXPECT_FALSE(has("todo/12"));
	EXPECT_EQ(test::read_file(qpath("yanked/12.bounce")), "b");

	put("mess/12/12", "x");
	put("todo/12", "");
	r = run({"-d", "-q", queue_});
	EXPECT_EQ(r.err, "remove todo/12\nremove mess/12/12\n"
			 "1 message(s) deleted, 0 left alone, 0 failed\n"
			 "1 file(s) match\n");
	EXPECT_FALSE(has("todo/12"));
}

// In a flat subdirectory, message 12's own file todo/12 stands where a
// hashed todo would have the directory of every number n with
// n % 23 == 12: their split paths run through a file (ENOTDIR). That
// says only that the subdirectory is flat there; their flat files are
// theirs, and message 12 is not touched.
TEST_F(Yank, AFlatFileInTheWayOfAHashDirectoryHidesNoOtherMessage)
{
	struct {
		const char *option;
		std::string err;
	} cases[] = {
		{"-r", "moved info/12/35 to yanked/35.info\n"
		       "moved todo/35 to yanked/35.todo\n"
		       "moved remote/12/35 to yanked/35.remote\n"
		       "moved bounce/35 to yanked/35.bounce\n"
		       "moved mess/12/35 to yanked/35.mess\n"
		       "1 message(s) yanked, 0 left alone, 0 failed\n"
		       "1 file(s) match\n"},
		{"-d", "remove remote/12/35\nremove bounce/35\nremove todo/35\n"
		       "remove info/12/35\nremove mess/12/35\n"
		       "1 message(s) deleted, 0 left alone, 0 failed\n"
		       "1 file(s) match\n"},
	};
	// With qmail-send's lock file the run trusts its first look at the
	// message; without one it looks again as it goes.
	for (bool lock_file : {true, false})
	for (const auto &c : cases) {
		SCOPED_TRACE(std::string(c.option) + (lock_file ? "" : " unlocked"));
		if (!lock_file)
			std::filesystem::remove(qpath("lock/sendmutex"));
		for (const char *f : {"mess/12/12", "info/12/12", "todo/12",
			 "bounce/12"})
			put(f, "message 12");
		for (const char *f : {"mess/12/35", "info/12/35", "remote/12/35",
			 "todo/35", "bounce/35"})
			put(f, "spam");
		std::filesystem::remove_all(qpath("yanked"));
		test::make_dirs(qpath("yanked"));

		Result r = run({c.option, "-p", "spam", "-q", queue_});
		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(r.err, c.err);
		for (const char *f : {"mess/12/35", "info/12/35", "remote/12/35",
			 "todo/35", "bounce/35"})
			EXPECT_FALSE(has(f)) << f;
		EXPECT_EQ(test::read_file(qpath("todo/12")), "message 12");
		EXPECT_EQ(test::read_file(qpath("bounce/12")), "message 12");
		EXPECT_TRUE(has("mess/12/12") && has("info/12/12"));
	}
}

TEST_F(Yank, SplitOfOneAndAnAbsoluteYankDirectory)
{
	put("mess/0/100", "x");
	put("info/0/100", "F");
	const std::string held = tmp_.path() + "/held";
	test::make_dirs(held);
	Result r = run({"-s", "1", "-y", held, "-r", "-q", queue_});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, "moved info/0/100 to " + held + "/100.info\n"
			 "moved mess/0/100 to " + held + "/100.mess\n"
			 "1 message(s) yanked, 0 left alone, 0 failed\n"
			 "1 file(s) match\n");
	EXPECT_TRUE(test::exists(held + "/100.info"));
}

// qmail reuses message numbers: an earlier yanked message with the same
// number must survive, and the new one stays whole in the queue.
TEST_F(Yank, TakenYankNameLeavesTheMessageWholeInTheQueue)
{
	put("mess/8/100", "new spam");
	put("info/8/100", "Fnew@example.org");
	put("todo/100", "");
	put("yanked/100.info", "Fearlier@example.org");
	put("mess/16/200", "more spam");
	put("info/16/200", "F");
	const std::string before_100 = test::tree_listing(qpath("mess/8"));

	Result r = run({"-r", "-p", "spam", "-q", queue_});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(test::sorted_lines(r.out),
	    (std::vector<std::string>{"100: yes", "200: yes"}));
	EXPECT_NE(r.err.find("remove_file(100): yanked/100.info already exists\n"),
	    std::string::npos) << r.err;
	EXPECT_EQ(r.err.find("moved mess/8/100"), std::string::npos) << r.err;
	EXPECT_TRUE(r.err.ends_with("2 file(s) match\n")) << r.err;
	EXPECT_EQ(test::read_file(qpath("yanked/100.info")),
	    "Fearlier@example.org");
	EXPECT_EQ(test::read_file(qpath("mess/8/100")), "new spam");
	EXPECT_EQ(test::read_file(qpath("info/8/100")), "Fnew@example.org");
	EXPECT_TRUE(has("todo/100"));
	EXPECT_FALSE(has("yanked/100.mess"));
	// The walk went on to the next message.
	EXPECT_FALSE(has("mess/16/200"));
	EXPECT_TRUE(has("yanked/200.mess"));
}

// A todo or info in the yank directory lets a yank finish a message it
// was cut off from, though the message is no longer queued. One left
// there by an earlier message of the same number (qmail reuses them)
// must not let a yank take a new message that qmail-queue is still
// writing: it was moved there before that message's mess was written.
TEST_F(Yank, AnEarlierMessagesTodoOrInfoLetsNoUnqueuedMessageGo)
{
	for (const char *left : {"yanked/100.todo", "yanked/100.info"}) {
		SCOPED_TRACE(left);
		for (const char *gone : {"yanked", "mess/8/100", "intd/100"})
			std::filesystem::remove_all(qpath(gone));
		put(left, "an earlier message 100's");
		// Made a clock tick or more later, and written later still.
		usleep(50000);
		put("mess/8/100", "Subject: jackpot, still being written");
		put("intd/100", "");
		struct timespec later[2] = {{0, UTIME_OMIT}, {}};
		ASSERT_EQ(clock_gettime(CLOCK_REALTIME, &later[1]), 0);
		later[1].tv_sec += 60;
		ASSERT_EQ(utimensat(AT_FDCWD, qpath("mess/8/100").c_str(), later,
		    0), 0);
		const std::string before = test::tree_listing(queue_);

		Result r = run({"-r", "-q", queue_});
		EXPECT_EQ(r.err, "remove_file(100): not queued yet (no todo or "
				 "info file), left alone\n"
				 "0 message(s) yanked, 1 left alone, 0 failed\n"
				 "1 file(s) match\n");
		EXPECT_EQ(test::tree_listing(queue_), before);
	}
}

// A message queued while the clock was ahead, then yanked and cut off
// after its info moved, once the clock was set back: the info was moved
// "before" the mess was last written, but was made after it, and the
// rerun still finishes the yank. Where the tool cannot know when a file
// was made (the file system or the system keeps no birth times), the
// change time alone cannot tell this info from one an earlier message of
// the number left, and the message is left alone, nothing moved.
TEST_F(Yank, ACutOffYankIsFinishedAfterTheClockWasSetBack)
{
	put("mess/8/100", "Subject: jackpot");
	put("info/8/100", "F");
	put("remote/8/100", "T");
	put("yanked/.keep", "");
	const bool born = test::binary_has_birth_time && os_birth_time(AT_FDCWD,
	    qpath("mess/8/100").c_str()).has_value();
	ASSERT_EQ(rename(qpath("info/8/100").c_str(),
		      qpath("yanked/100.info").c_str()), 0);
	struct timespec ahead[2] = {{0, UTIME_OMIT}, {}};
	ASSERT_EQ(clock_gettime(CLOCK_REALTIME, &ahead[1]), 0);
	ahead[1].tv_sec += 3600;
	ASSERT_EQ(utimensat(AT_FDCWD, qpath("mess/8/100").c_str(), ahead, 0), 0);

	Result r = run({"-r", "-q", queue_});
	if (!born) {
		EXPECT_EQ(r.err, "remove_file(100): not queued yet (no todo or "
				 "info file), left alone\n"
				 "0 message(s) yanked, 1 left alone, 0 failed\n"
				 "1 file(s) match\n");
		EXPECT_TRUE(has("mess/8/100"));
		EXPECT_TRUE(has("remote/8/100"));
		return;
	}
	EXPECT_EQ(r.err, "moved remote/8/100 to yanked/100.remote\n"
			 "moved mess/8/100 to yanked/100.mess\n"
			 "1 message(s) yanked, 0 left alone, 0 failed\n"
			 "1 file(s) match\n");
	EXPECT_FALSE(has("mess/8/100"));
}

TEST_F(Yank, OnlyTheMessagesOwnFilesNeedFreeNames)
{
	put("mess/8/100", "x");
	put("todo/100", "");
	put("yanked/100.remote", "earlier");	// 100 has no remote file
	Result r = run({"-r", "-q", queue_});
	EXPECT_EQ(r.err, "moved todo/100 to yanked/100.todo\n"
			 "moved mess/8/100 to yanked/100.mess\n"
			 "1 message(s) yanked, 0 left alone, 0 failed\n"
			 "1 file(s) match\n");
	EXPECT_EQ(test::read_file(qpath("yanked/100.remote")), "earlier");
}

// A yank directory inside mess would be walked too: the run would list
// and act on what it has just yanked. It is refused before the walk,
// however it is named. (Another file system: see the private-mount
// scenarios.)
TEST_F(Yank, YankDirectoryInsideMessIsRefused)
{
	put("mess/8/100", "x");
	put("todo/100", "");
	test::make_dirs(qpath("mess/zz/deeper"));
	ASSERT_EQ(symlink("mess/zz", qpath("link-into-mess").c_str()), 0);
	const std::string before = test::tree_listing(queue_);
	for (const std::string &dir : {std::string("mess"),
		 std::string("mess/zz"), std::string("mess/zz/deeper"),
		 std::string("link-into-mess"), queue_ + "/mess/8/.."}) {
		Result r = run({"-y", dir, "-r", "-q", queue_});
		const std::string shown = dir[0] == '/' ? dir : queue_ + "/" + dir;
		EXPECT_EQ(r.status, 1) << dir;
		EXPECT_EQ(r.out, "") << dir;
		EXPECT_EQ(r.err, "FATAL: yank_dir [" + shown + "] is inside the "
		    "queue's mess directory.\n") << dir;
	}
	EXPECT_EQ(test::tree_listing(queue_), before);
	// Beside mess is fine.
	test::make_dirs(qpath("messy"));
	EXPECT_EQ(run({"-y", "messy", "-r", "-q", queue_}).status, 0);
	EXPECT_TRUE(has("messy/100.mess"));
}

// Inside any other message subdirectory, yanked files would be taken
// for queue files: qmail-qstat counts todo's entries as messages not yet
// processed, and qmail-send reads what lies in todo and info. In pid,
// qmail-clean would unlink them once they had not been read for 36 hours.
TEST_F(Yank, YankDirectoryInsideAnyOtherQueueSubdirectoryIsRefused)
{
	put("mess/8/100", "x");
	put("todo/100", "");
	const struct {
		std::string dir;
		const char *sub;
	} cases[] = {
		{"todo", "todo"}, {"intd/held", "intd"}, {"info/8", "info"},
		{"local/x/y", "local"}, {"remote", "remote"},
		{"bounce/yanked", "bounce"}, {queue_ + "/info/../todo/z", "todo"},
		{"pid", "pid"},
	};
	for (const auto &c : cases)
		test::make_dirs(c.dir[0] == '/' ? c.dir : qpath(c.dir));
	const std::string before = test::tree_listing(queue_);
	for (const auto &c : cases) {
		Result r = run({"-y", c.dir, "-r", "-q", queue_});
		const std::string shown = c.dir[0] == '/' ? c.dir
		    : queue_ + "/" + c.dir;
		EXPECT_EQ(r.status, 1) << c.dir;
		EXPECT_EQ(r.out, "") << c.dir;
		EXPECT_EQ(r.err, "FATAL: yank_dir [" + shown + "] is inside the "
		    "queue's " + c.sub + " directory.\n") << c.dir;
	}
	EXPECT_EQ(test::tree_listing(queue_), before);
}

// The tally says what became of every match, one line before the count:
// acted on, left alone with a line that says why, or failed; and the
// status is 1 exactly when one failed.
TEST_F(Yank, TallyAndStatusSayWhatBecameOfEachMatch)
{
	struct {
		std::vector<std::string> action;
		std::string tally;
		int status;
	} cases[] = {
		{{"-r"}, "2 message(s) yanked, 2 left alone, 0 failed\n", 0},
		{{"-d"}, "1 message(s) deleted, 2 left alone, 1 failed\n", 1},
		{{"-X", "60"}, "2 message(s) expired, 2 left alone, 0 failed\n", 0},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.action[0]);
		std::filesystem::remove_all(queue_);
		SetUp();
		test::make_dirs(qpath("yanked"));
		put("mess/8/100", "spam");	// whole: acted on
		put("info/8/100", "F");
		put("mess/9/101", "spam");	// still being queued
		put("intd/101", "");
		put("mess/11/102", "spam");	// where split 23 does not put it
		put("info/10/102", "F");
		put("mess/11/103", "spam");	// a directory no unlink takes
		put("info/11/103", "F");
		test::make_dirs(qpath("remote/11/103/x"));
		std::vector<std::string> args = c.action;
		for (const char *a : {"-p", "spam", "-q"})
			args.push_back(a);
		args.push_back(queue_);
		Result r = run(args);
		EXPECT_EQ(r.status, c.status) << r.err;
		EXPECT_TRUE(r.err.ends_with(c.tally + "4 file(s) match\n")) << r.err;
	}
	// Messages that have no info file yet cannot be expired: a run that
	// expired none says so.
	std::filesystem::remove_all(queue_);
	SetUp();
	for (const char *n : {"100", "123"}) {
		put("mess/8/" + std::string(n), "spam");
		put("todo/" + std::string(n), "");
	}
	Result r = run({"-X", "0", "-p", "spam", "-q", queue_});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, "Offsetting timestamps by 604800 seconds \n"
			 "0 message(s) expired, 2 left alone, 0 failed\n"
			 "2 file(s) match\n");
}

// Inode numbers, and so message numbers, reach past 2^31 on large file
// systems: such messages are yanked, deleted and expired like any other.
TEST_F(Yank, NumbersPastTwoToThe31AreActedOn)
{
	struct {
		const char *number;
		const char *bucket;	// number mod 23
	} cases[] = {
		{"2147483648", "6"},
		{"4294967301", "17"},
		{"18446744073709551615", "5"},
	};
	test::make_dirs(qpath("yanked"));
	for (const auto &c : cases) {
		const std::string n = c.number, b = c.bucket;
		put("mess/" + b + "/" + n, "x");
		put("info/" + b + "/" + n, "F");
		put("todo/" + n, "");
		Result r = run({"-r", "-q", queue_});
		EXPECT_EQ(r.err, "moved info/" + b + "/" + n + " to yanked/" + n +
		    ".info\nmoved todo/" + n + " to yanked/" + n + ".todo\n"
		    "moved mess/" + b + "/" + n + " to yanked/" + n + ".mess\n"
		    "1 message(s) yanked, 0 left alone, 0 failed\n"
		    "1 file(s) match\n");

		ASSERT_EQ(rename(qpath("yanked/" + n + ".mess").c_str(),
			      qpath("mess/" + b + "/" + n).c_str()), 0);
		put("info/" + b + "/" + n, "F");
		r = run({"-x", "Mon Jan  1 00:00:00 UTC 2024", "-q", queue_});
		EXPECT_NE(r.err.find("Set timestamp on info/" + b + "/" + n),
		    std::string::npos) << r.err;
		r = run({"-d", "-q", queue_});
		EXPECT_EQ(r.err, "remove info/" + b + "/" + n + "\n"
		    "remove mess/" + b + "/" + n + "\n"
		    "1 message(s) deleted, 0 left alone, 0 failed\n"
		    "1 file(s) match\n");
	}
}

TEST_F(Yank, NameWithoutANumberIsRefused)
{
	put("mess/8/core", "x");
	test::make_dirs(qpath("yanked"));
	Result r = run({"-r", "-q", queue_});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "core: yes\n");
	EXPECT_EQ(r.err, "core doesn't look like an inode number\n"
			 "0 message(s) yanked, 1 left alone, 0 failed\n"
			 "1 file(s) match\n");
	EXPECT_TRUE(has("mess/8/core"));
}

// --- the split ----------------------------------------------------------------

// A message file found where the split does not put it: a -s that does
// not fit the queue, a file in the wrong hash directory, or deeper. The
// operations would look for its files at other paths and take only some
// of them: nothing of the message is touched, and the line says why.
using Split = QueueRun;

TEST_F(Split, ThatDoesNotPutTheFileWhereItWasFoundTouchesNothing)
{
	struct {
		std::vector<std::string> split;
		std::string mess;	// where the message file is
		std::string said;
	} cases[] = {
		{{"-s", "29"}, "mess/8/100",
		    "100: found in mess/8, but split 29 puts it in mess/13; check -s\n"},
		{{}, "mess/9/100",
		    "100: found in mess/9, but split 23 puts it in mess/8; check -s\n"},
		{{}, "mess/8/x/100",
		    "100: found in mess/8/x, but split 23 puts it in mess/8; check -s\n"},
		{{"-s", "4294967295"}, "mess/8/100",
		    "100: found in mess/8, but split -1 puts it in mess/0; check -s\n"},
	};
	test::make_dirs(qpath("yanked"));
	for (const auto &c : cases) {
		std::filesystem::remove_all(qpath("mess"));
		put(c.mess, "jackpot");
		put("info/8/100", "F");
		put("info/13/100", "F");
		put("todo/100", "");
		const std::string before = test::tree_listing(queue_);
		for (const std::vector<std::string> &act : {
			 std::vector<std::string>{"-r"}, {"-d"}, {"-X", "60"}}) {
			std::vector<std::string> args = c.split;
			args.insert(args.end(), act.begin(), act.end());
			for (const char *a : {"-p", "jackpot", "-q"})
				args.push_back(a);
			args.push_back(queue_);
			Result r = run(args);
			EXPECT_EQ(r.status, 0) << c.mess;
			EXPECT_EQ(r.out, "100: yes\n") << c.mess;
			EXPECT_TRUE(r.err.ends_with(c.said + "0 message(s) " +
			    done(act[0]) + ", 1 left alone, 0 failed\n"
			    "1 file(s) match\n")) << r.err;
			EXPECT_EQ(test::tree_listing(queue_), before) << c.mess;
		}
	}
	// Directly in mess is the flat layout: acted on whatever the split.
	std::filesystem::remove_all(qpath("mess"));
	put("mess/100", "jackpot");
	Result r = run({"-s", "29", "-d", "-q", queue_});
	EXPECT_EQ(r.err, "remove todo/100\nremove info/13/100\n"
			 "remove mess/100\n"
			 "1 message(s) deleted, 0 left alone, 0 failed\n"
			 "1 file(s) match\n");
}

// --- delete -----------------------------------------------------------------

using Delete = QueueRun;

TEST_F(Delete, UnlinksEveryFileOfAMatchingMessageOnly)
{
	for (const char *p : {"mess/8/100", "remote/8/100", "info/8/100",
		 "bounce/100"})
		put(p, "spam");
	put("mess/16/200", "ham");
	put("info/16/200", "F");
	Result r = run({"-d", "-p", "spam", "-q", queue_});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(test::sorted_lines(r.out),
	    (std::vector<std::string>{"100: yes", "200: no"}));
	EXPECT_EQ(r.err, "remove remote/8/100\n"
			 "remove bounce/100\n"
			 "remove info/8/100\n"
			 "remove mess/8/100\n"
			 "1 message(s) deleted, 0 left alone, 0 failed\n"
			 "1 file(s) match\n");
	for (const char *p : {"mess/8/100", "remote/8/100", "info/8/100",
		 "bounce/100"})
		EXPECT_FALSE(has(p)) << p;
	EXPECT_TRUE(has("mess/16/200"));
	EXPECT_TRUE(has("info/16/200"));
}

// A message whose file stands both flat in mess and in its hash
// directory. Where the walk meets the flat one first, acting on it takes
// the hashed one away before the walk enters that directory: the hashed
// one is not listed, however far ahead the files were read. Where the
// walk meets the hashed one first, both are listed.
TEST_F(Delete, AFileTakenAwayAheadOfTheWalkIsNotListed)
{
	for (int n = 100; n < 160; n++) {
		const std::string num = std::to_string(n);
		const std::string hash = std::to_string(n % 23);
		put("mess/" + num, "flat spam");
		put("mess/" + hash + "/" + num, "hashed spam");
		put("info/" + hash + "/" + num, "F");
	}
	// The walk's order, flat files "yes": what a walk reading one file
	// at a time lists when it deletes.
	Result order = run({"-p", "flat", "-q", queue_});
	std::string expected;
	std::map<std::string, bool> flat_first;
	std::istringstream lines(order.out);
	for (std::string line; std::getline(lines, line);) {
		const std::string num = line.substr(0, line.find(':'));
		auto [first, inserted] =
		    flat_first.emplace(num, line.ends_with("yes"));
		if (inserted || !first->second)
			expected += num + ": yes\n";
	}
	ASSERT_EQ(flat_first.size(), 60u) << order.out;
	int flats_first = 0;
	for (const auto &[num, flat] : flat_first)
		flats_first += flat;
	ASSERT_GT(flats_first, 0) << "no case of a flat file walked first";
	ASSERT_LT(flats_first, 60) << "no case of a hashed file walked first";

	// Each flat name a second link to its hashed file: the same message,
	// so acting on the flat one takes the hashed one with it. (A flat
	// file that is another file is left alone.) The names keep their
	// places in the directory.
	for (int n = 100; n < 160; n++) {
		const std::string flat = qpath("mess/" + std::to_string(n));
		ASSERT_EQ(unlink(flat.c_str()), 0);
		ASSERT_EQ(link(qpath("mess/" + std::to_string(n % 23) + "/" +
		    std::to_string(n)).c_str(), flat.c_str()), 0);
	}
	Result r = run({"-d", "-p", "spam", "-q", queue_});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, expected);
	EXPECT_EQ(r.err.find("No such file"), std::string::npos) << r.err;
}

// A file that cannot be unlinked stops the message there: what comes
// after it, mess last, stays, so the message is still found and listed.
TEST_F(Delete, AFileThatCannotBeUnlinkedStopsTheMessage)
{
	put("mess/8/100", "x");
	put("remote/8/100", "r");
	test::make_dirs(qpath("bounce/8/100"));	// a directory in the way
	put("todo/100", "");
	Result r = run({"-d", "-q", queue_});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, std::string("remove remote/8/100\nunlink(): ") +
	    strerror(EISDIR) + "\ndelete_file(100): bounce/8/100 not removed; "
	    "the rest of the message stays\n"
	    "0 message(s) deleted, 0 left alone, 1 failed\n1 file(s) match\n");
	EXPECT_TRUE(has("todo/100"));
	EXPECT_TRUE(has("mess/8/100"));
}

TEST_F(Delete, WithoutAPatternEveryMessageGoes)
{
	put("mess/8/100", "a");
	put("todo/100", "");
	put("mess/16/200", "");
	put("info/16/200", "F");
	Result r = run({"-d", "-q", queue_});
	EXPECT_TRUE(r.err.ends_with("2 file(s) match\n")) << r.err;
	EXPECT_FALSE(has("mess/8/100"));
	EXPECT_FALSE(has("mess/16/200"));
	EXPECT_FALSE(has("info/16/200"));
}

// --- precedence -------------------------------------------------------------

using Precedence = QueueRun;

TEST_F(Precedence, YankWinsOverDelete)
{
	put("mess/8/100", "x");
	put("info/8/100", "F");
	test::make_dirs(qpath("yanked"));
	Result r = run({"-r", "-d", "-q", queue_});
	EXPECT_EQ(r.err, "moved info/8/100 to yanked/100.info\n"
			 "moved mess/8/100 to yanked/100.mess\n"
			 "1 message(s) yanked, 0 left alone, 0 failed\n"
			 "1 file(s) match\n");
	EXPECT_TRUE(has("yanked/100.mess"));
}

TEST_F(Precedence, DeleteWinsOverExpire)
{
	put("mess/8/100", "x");
	put("info/8/100", "F");
	Result r = run({"-d", "-X", "100", "-q", queue_});
	EXPECT_EQ(r.err, "Offsetting timestamps by 100 seconds \n"
			 "remove info/8/100\n"
			 "remove mess/8/100\n"
			 "1 message(s) deleted, 0 left alone, 0 failed\n"
			 "1 file(s) match\n");
}

// --- expire -----------------------------------------------------------------

class Expire : public QueueRun {
protected:
	void SetUp() override
	{
		QueueRun::SetUp();
		put("mess/8/100", "x");
		put("info/8/100", "Fsender@example.org");
		put("todo/100", "");
		// Old, distinct times, so a shift shows which time it used.
		set_times("info/8/100", 1600000000, 1700000000);
	}

	void set_times(const std::string &rel, time_t atime, time_t mtime)
	{
		const struct timespec ts[2] = {{atime, 0}, {mtime, 0}};
		ASSERT_EQ(utimensat(AT_FDCWD, qpath(rel).c_str(), ts, 0), 0);
	}

	struct stat info() const
	{
		struct stat st = {};
		EXPECT_EQ(stat(qpath("info/8/100").c_str(), &st), 0);
		return st;
	}

	Result run_utc(const std::vector<std::string> &args) const
	{
		test::RunOptions opts;
		opts.env = {"TZ=UTC0"};
		std::vector<std::string> full = {"-q", queue_};
		full.insert(full.end(), args.begin(), args.end());
		return run(full, opts);
	}
};

TEST_F(Expire, DateSetsBothTimesExactly)
{
	Result r = run_utc({"-x", "Mon Jan  1 00:00:00 UTC 2024"});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err,
	    "time in seconds: 1704067200 [ Mon Jan  1 00:00:00 UTC 2024 ]\n"
	    "Set timestamp on info/8/100 \n"
	    "1 message(s) expired, 0 left alone, 0 failed\n"
	    "1 file(s) match\n");
	struct stat st = info();
	EXPECT_EQ(st.st_atim.tv_sec, 1704067200);
	EXPECT_EQ(st.st_mtim.tv_sec, 1704067200);
	EXPECT_EQ(st.st_atim.tv_nsec, 0);
	EXPECT_EQ(st.st_mtim.tv_nsec, 0);
}

TEST_F(Expire, FutureDateSetsFutureTimes)
{
	run_utc({"-x", "Sun Jan  1 00:00:00 UTC 2040"});
	EXPECT_EQ(info().st_mtim.tv_sec, 2208988800);
}

TEST_F(Expire, OffsetShiftsFromModificationAndChangeTimes)
{
	const struct stat before = info();
	Result r = run_utc({"-X", "86400"});
	EXPECT_EQ(r.err, "Offsetting timestamps by 86400 seconds \n"
			 "Set timestamp on info/8/100 \n"
			 "1 message(s) expired, 0 left alone, 0 failed\n"
			 "1 file(s) match\n");
	struct stat st = info();
	EXPECT_EQ(st.st_atim.tv_sec, before.st_mtim.tv_sec - 86400);
	EXPECT_EQ(st.st_mtim.tv_sec, before.st_ctim.tv_sec - 86400);
	EXPECT_EQ(st.st_mtim.tv_nsec, 0);

	// Setting the times made the change time now: a second run shifts
	// from there again, not a further day back.
	const struct stat between = info();
	run_utc({"-X", "86400"});
	EXPECT_EQ(info().st_mtim.tv_sec, between.st_ctim.tv_sec - 86400);
}

TEST_F(Expire, ZeroOffsetMeansSevenDays)
{
	const struct stat before = info();
	run_utc({"-X", "0"});
	EXPECT_EQ(info().st_mtim.tv_sec, before.st_ctim.tv_sec - 604800);
}

TEST_F(Expire, DateAtTheEpochShiftsByNothing)
{
	const struct stat before = info();
	Result r = run_utc({"-x", "Thu Jan  1 00:00:00 UTC 1970"});
	EXPECT_EQ(r.status, 0) << r.err;
	struct stat st = info();
	EXPECT_EQ(st.st_atim.tv_sec, 1700000000);	// the old mtime
	EXPECT_EQ(st.st_mtim.tv_sec, before.st_ctim.tv_sec);
}

TEST_F(Expire, OnlyTheInfoFileIsTouched)
{
	const std::string mess = test::tree_listing(qpath("mess"));
	const std::string todo = test::tree_listing(qpath("todo"));
	run_utc({"-X", "3600"});
	EXPECT_EQ(test::tree_listing(qpath("mess")), mess);
	EXPECT_EQ(test::tree_listing(qpath("todo")), todo);
	EXPECT_EQ(test::read_file(qpath("info/8/100")), "Fsender@example.org");
}

TEST_F(Expire, FlatInfoCannotBeExpired)
{
	ASSERT_EQ(rename(qpath("info/8/100").c_str(), qpath("info/100").c_str()),
	    0);
	const std::string before = test::tree_listing(queue_);
	Result r = run_utc({"-X", "3600"});
	EXPECT_EQ(r.err, "Offsetting timestamps by 3600 seconds \n"
			 "0 message(s) expired, 1 left alone, 0 failed\n"
			 "1 file(s) match\n");
	r = run_utc({"-v", "-v", "-X", "3600"});
	EXPECT_EQ(r.err, "Offsetting timestamps by 3600 seconds \n"
			 "expire_file(info/8/100): not a file (stat) \n"
			 "0 message(s) expired, 1 left alone, 0 failed\n"
			 "1 file(s) match\n");
	r = run_utc({"-v", "-v", "-x", "Mon Jan  1 00:00:00 UTC 2024"});
	EXPECT_NE(r.err.find("expire_file(info/8/100): not a file\n"),
	    std::string::npos) << r.err;
	EXPECT_EQ(test::tree_listing(queue_), before);
}

TEST_F(Expire, DirectoryAtTheInfoPathGetsTheTimes)
{
	ASSERT_EQ(unlink(qpath("info/8/100").c_str()), 0);
	test::make_dirs(qpath("info/8/100"));
	Result r = run_utc({"-x", "Mon Jan  1 00:00:00 UTC 2024"});
	EXPECT_NE(r.err.find("Set timestamp on info/8/100 \n"), std::string::npos);
	EXPECT_EQ(info().st_mtim.tv_sec, 1704067200);
}

TEST_F(Expire, ShiftPastTheRangeOfTimesSetsNothing)
{
	const struct stat before = info();
	Result r = run_utc({"-X", "-9223372036854775808"});
	EXPECT_EQ(r.status, 1);
	EXPECT_NE(r.err.find("expire_file(info/8/100): time out of range\n"),
	    std::string::npos) << r.err;
	EXPECT_EQ(info().st_mtim.tv_sec, before.st_mtim.tv_sec);
}


}  // namespace
