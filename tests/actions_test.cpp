// Yank, delete and expire end to end: a small queue, a run of the tool,
// both channels and the resulting tree.
#include "support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

using test::QueueRun;
using test::Result;

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
	EXPECT_EQ(r.err, "moved mess/8/100 to yanked/100.mess\n"
			 "moved info/8/100 to yanked/100.info\n"
			 "moved todo/100 to yanked/100.todo\n"
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
	put("mess/16/200", "buy");
	test::make_dirs(qpath("yanked"));
	Result r = test::run_program("/bin/sh",
	    {"-c", test::spoolsift_bin + " -r -q " + queue_ + " 2>&1"});
	EXPECT_EQ(test::sorted_lines(r.out),
	    test::sorted_lines("100: yes\n"
			       "moved mess/8/100 to yanked/100.mess\n"
			       "200: yes\n"
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
	EXPECT_EQ(r.err, "moved mess/8/100 to yanked/100.mess\n"
			 "moved local/8/100 to yanked/100.local\n"
			 "moved remote/8/100 to yanked/100.remote\n"
			 "moved info/8/100 to yanked/100.info\n"
			 "moved intd/100 to yanked/100.intd\n"
			 "moved todo/100 to yanked/100.todo\n"
			 "moved bounce/100 to yanked/100.bounce\n"
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
	const std::string moved = "moved mess/8/100 to yanked/100.mess\n"
				  "moved info/8/100 to yanked/100.info\n"
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
	std::string expected = "moved mess/8/100 to yanked/100.mess\n";
	for (const char *d : {"local", "remote"})
		expected += std::string("remove_file(") + d +
		    "/8/100): not a file\nremove_file(" + d +
		    "/100): no stat info\n";
	expected += "moved info/8/100 to yanked/100.info\n";
	for (const char *d : {"intd", "todo", "bounce"})
		expected += std::string("remove_file(") + d +
		    "/8/100): not a file\nremove_file(" + d +
		    "/100): no stat info\n";
	EXPECT_EQ(twice.err, expected + "1 file(s) match\n");
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

TEST_F(Yank, WhateverStandsAtTheSplitPathIsMoved)
{
	put("mess/8/100", "x");
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

TEST_F(Yank, NameWithTrailingTextActsOnItsNumber)
{
	put("mess/8/100.tmp", "x");
	put("info/8/100", "F");
	put("todo/100", "");
	test::make_dirs(qpath("yanked"));
	Result r = run({"-r", "-q", queue_});
	EXPECT_EQ(r.out, "100.tmp: yes\n");
	EXPECT_EQ(r.err, "moved info/8/100 to yanked/100.info\n"
			 "moved todo/100 to yanked/100.todo\n"
			 "1 file(s) match\n");
	EXPECT_TRUE(has("mess/8/100.tmp"));
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
	EXPECT_EQ(r.err, "moved mess/12/12 to yanked/12.mess\n"
			 "moved info/12/12 to yanked/12.info\n"
			 "moved todo/12 to yanked/12.todo\n"
			 "moved bounce/12 to yanked/12.bounce\n"
			 "1 file(s) match\n");
	EXPECT_FALSE(has("todo/12"));
	EXPECT_EQ(test::read_file(qpath("yanked/12.bounce")), "b");

	put("mess/12/12", "x");
	put("todo/12", "");
	r = run({"-d", "-q", queue_});
	EXPECT_EQ(r.err, "remove mess/12/12\nremove todo/12\n1 file(s) match\n");
	EXPECT_FALSE(has("todo/12"));
}

TEST_F(Yank, SplitOfOneAndAnAbsoluteYankDirectory)
{
	put("mess/0/100", "x");
	put("info/0/100", "F");
	const std::string held = tmp_.path() + "/held";
	test::make_dirs(held);
	Result r = run({"-s", "1", "-y", held, "-r", "-q", queue_});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, "moved mess/0/100 to " + held + "/100.mess\n"
			 "moved info/0/100 to " + held + "/100.info\n"
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

TEST_F(Yank, OnlyTheMessagesOwnFilesNeedFreeNames)
{
	put("mess/8/100", "x");
	put("yanked/100.remote", "earlier");	// 100 has no remote file
	Result r = run({"-r", "-q", queue_});
	EXPECT_EQ(r.err, "moved mess/8/100 to yanked/100.mess\n"
			 "1 file(s) match\n");
	EXPECT_EQ(test::read_file(qpath("yanked/100.remote")), "earlier");
}

TEST_F(Yank, AcrossFileSystemsEveryFileStays)
{
	if (access("/dev/shm", W_OK) != 0)
		GTEST_SKIP() << "no /dev/shm to stand for another file system";
	struct stat shm, tmp;
	ASSERT_EQ(stat("/dev/shm", &shm), 0);
	ASSERT_EQ(stat(queue_.c_str(), &tmp), 0);
	if (shm.st_dev == tmp.st_dev)
		GTEST_SKIP() << "/dev/shm is on the queue's file system";
	char held[] = "/dev/shm/spoolsift-held.XXXXXX";
	ASSERT_NE(mkdtemp(held), nullptr);
	put("mess/8/100", "x");
	put("todo/100", "t");
	const std::string before = test::tree_listing(queue_);
	Result r = run({"-y", held, "-r", "-q", queue_});
	const std::string exdev = std::string("rename(): ") + strerror(EXDEV) + "\n";
	EXPECT_EQ(r.err, exdev + exdev + "1 file(s) match\n");
	EXPECT_EQ(test::tree_listing(queue_), before);
	rmdir(held);
}

TEST_F(Yank, NumberTooLargeForAPathMovesNothing)
{
	put("mess/0/2147483648", "x");
	test::make_dirs(qpath("yanked"));
	Result r = run({"-r", "-q", queue_});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, "mk_newpath(): invalid queue\n"
			 "remove_file(): unable to create new name\n"
			 "1 file(s) match\n");
	EXPECT_TRUE(has("mess/0/2147483648"));
}

TEST_F(Yank, NameWithoutANumberIsRefused)
{
	put("mess/8/core", "x");
	test::make_dirs(qpath("yanked"));
	Result r = run({"-r", "-q", queue_});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "core: yes\n");
	EXPECT_EQ(r.err, "core doesn't look like an inode number\n"
			 "1 file(s) match\n");
	EXPECT_TRUE(has("mess/8/core"));
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
	EXPECT_EQ(r.err, "remove mess/8/100\n"
			 "remove remote/8/100\n"
			 "remove info/8/100\n"
			 "remove bounce/100\n"
			 "1 file(s) match\n");
	for (const char *p : {"mess/8/100", "remote/8/100", "info/8/100",
		 "bounce/100"})
		EXPECT_FALSE(has(p)) << p;
	EXPECT_TRUE(has("mess/16/200"));
	EXPECT_TRUE(has("info/16/200"));
}

TEST_F(Delete, DirectoryAtTheSplitPathIsReported)
{
	put("mess/8/100", "x");
	test::make_dirs(qpath("local/8/100"));
	put("todo/8", "");	// a file where a hashed directory would be
	put("todo/100", "");
	Result r = run({"-v", "-v", "-d", "-q", queue_});
	EXPECT_NE(r.err.find(std::string("remove mess/8/100\nunlink(): ") +
		      strerror(EISDIR) + "\ndelete_file"),
	    std::string::npos) << r.err;
	// ENOTDIR is not a missing file: no flat fallback for todo.
	EXPECT_NE(r.err.find(std::string("unlink(): ") + strerror(ENOTDIR)),
	    std::string::npos) << r.err;
	EXPECT_TRUE(has("local/8/100"));
	EXPECT_TRUE(has("todo/100"));
}

TEST_F(Delete, NumberTooLargeForAPathDeletesNothing)
{
	put("mess/0/2147483648", "x");
	Result r = run({"-d", "-q", queue_});
	EXPECT_EQ(r.err, "delete_file(): unable to create old name\n"
			 "1 file(s) match\n");
	EXPECT_TRUE(has("mess/0/2147483648"));
}

TEST_F(Delete, WithoutAPatternEveryMessageGoes)
{
	put("mess/8/100", "a");
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
	test::make_dirs(qpath("yanked"));
	Result r = run({"-r", "-d", "-q", queue_});
	EXPECT_EQ(r.err, "moved mess/8/100 to yanked/100.mess\n"
			 "1 file(s) match\n");
	EXPECT_TRUE(has("yanked/100.mess"));
}

TEST_F(Precedence, DeleteWinsOverExpire)
{
	put("mess/8/100", "x");
	put("info/8/100", "F");
	Result r = run({"-d", "-X", "100", "-q", queue_});
	EXPECT_EQ(r.err, "Offsetting timestamps by 100 seconds \n"
			 "remove mess/8/100\n"
			 "remove info/8/100\n"
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
			 "1 file(s) match\n");
	r = run_utc({"-v", "-v", "-X", "3600"});
	EXPECT_EQ(r.err, "Offsetting timestamps by 3600 seconds \n"
			 "expire_file(info/8/100): not a file (stat) \n"
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
	EXPECT_EQ(r.status, 0);
	EXPECT_NE(r.err.find("expire_file(info/8/100): time out of range\n"),
	    std::string::npos) << r.err;
	EXPECT_EQ(info().st_mtim.tv_sec, before.st_mtim.tv_sec);
}

TEST_F(Expire, NumberTooLargeForAPath)
{
	put("mess/0/2147483648", "x");
	Result r = run_utc({"-p", "^x$", "-X", "60"});
	EXPECT_NE(r.err.find("expire_file(): unable to create old name\n"),
	    std::string::npos) << r.err;
}

}  // namespace
