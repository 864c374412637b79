// Message numbers, the three path forms, and the operations and the
// per-match dispatch where a run of the binary cannot reach them: called
// in-process, with the working directory and settings put back after.
#include "expire.h"
#include "queue_layout.h"
#include "queue_ops.h"
#include "search.h"
#include "take.h"
#include "settings.h"
#include "support.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using test::capture_stderr;

// --- message numbers --------------------------------------------------------

// A message number is the name as qmail writes it: plain decimal, and
// nothing else. A stray "12.orig" or "+7" must never stand for message 12
// or 7, and numbers past 2^31 (inode numbers on large file systems) are
// as good as any.
TEST(MessageNumber, OnlyPlainDecimalNamesAreNumbers)
{
	struct {
		const char *name;
		unsigned long n;
	} accepted[] = {
		{"100", 100},
		{"mess/8/100", 100},		// only the part after the last /
		{"1", 1},
		{"2147483648", 2147483648},
		{"4294967301", 4294967301},	// 2^32 + 5 does not wrap
		{"18446744073709551615", ULONG_MAX},
	};
	for (const auto &c : accepted) {
		unsigned long n = 1;
		std::string err = capture_stderr([&] { n = message_number(c.name); });
		EXPECT_EQ(n, c.n) << c.name;
		EXPECT_EQ(err, "") << c.name;
	}
	struct {
		const char *name;
		const char *shown;
	} refused[] = {
		{"core", "core"},
		{"mess/8/core", "core"},	// the name part is shown
		{"100.tmp", "100.tmp"},
		{"12.orig", "12.orig"},
		{"+7", "+7"},
		{" 42", " 42"},
		{"12 34", "12 34"},
		{"12\n", "12\n"},
		{"-2", "-2"},
		{"0", "0"},
		{"00", "00"},
		{"0100", "0100"},		// qmail never writes a leading 0
		{"", ""},
		{"18446744073709551616", "18446744073709551616"},
		{"dir/", ""},
	};
	for (const auto &c : refused) {
		unsigned long n = 1;
		std::string err = capture_stderr([&] { n = message_number(c.name); });
		EXPECT_EQ(n, 0u) << c.name;
		EXPECT_EQ(err, std::string(c.shown) +
			" doesn't look like an inode number\n")
		    << c.name;
	}
}

// --- path forms -------------------------------------------------------------

// The builders read no settings and say nothing: everything they use
// comes in as arguments, and the caller reports what they refuse.
TEST(Paths, BuildTheThreeFormsOfAMessage)
{
	EXPECT_EQ(mk_oldpath("mess", 100, 23), "mess/8/100");
	EXPECT_EQ(mk_flatpath("todo", 100), "todo/100");
	EXPECT_EQ(mk_newpath("yanked", "mess", 100), "yanked/100.mess");
	EXPECT_EQ(mk_oldpath("info", 2147483647, 23), "info/5/2147483647");
	EXPECT_EQ(mk_oldpath("info", 1, 23), "info/1/1");
	EXPECT_EQ(mk_newpath("/srv/held", "bounce", 7), "/srv/held/7.bounce");
	EXPECT_EQ(mk_newpath("held/", "intd", 7), "held//7.intd");
}

// The hashed directory is n mod |split|: for every n below 2^31 the
// remainder of qmail's own signed division, and on past it.
TEST(Paths, SplitPathHashesBySizeOfTheSplit)
{
	struct {
		unsigned long n;
		int32_t split;
		const char *path;
	} cases[] = {
		{100, 1, "mess/0/100"},
		{100, -1, "mess/0/100"},
		{100, -7, "mess/2/100"},
		{100, INT32_MIN, "mess/100/100"},
		{2147483647, 23, "mess/5/2147483647"},
		{2147483648, 23, "mess/6/2147483648"},
		{2147483648, -23, "mess/6/2147483648"},
		{4294967301, 23, "mess/17/4294967301"},
		{ULONG_MAX, 23, "mess/5/18446744073709551615"},
		{ULONG_MAX, INT32_MIN, "mess/2147483647/18446744073709551615"},
	};
	for (const auto &c : cases)
		EXPECT_EQ(mk_oldpath("mess", c.n, c.split), c.path) << c.n;
}

TEST(Paths, NothingToNameIsRefusedSilently)
{
	// Each builder's none, with the errno it left.
	auto einval = [](const std::optional<std::string> &p) {
		return !p && errno == EINVAL;
	};
	std::string err = capture_stderr([&] {
		EXPECT_TRUE(einval(mk_oldpath("mess", 0, 23)));
		EXPECT_TRUE(einval(mk_oldpath(nullptr, 100, 23)));
		EXPECT_TRUE(einval(mk_oldpath("mess", 100, 0)));  // no division
		EXPECT_TRUE(einval(mk_flatpath("mess", 0)));
		EXPECT_TRUE(einval(mk_flatpath(nullptr, 100)));
		EXPECT_TRUE(einval(mk_newpath("yanked", "mess", 0)));
		EXPECT_TRUE(einval(mk_newpath("yanked", nullptr, 100)));
		EXPECT_TRUE(einval(mk_newpath(nullptr, "mess", 100)));
	});
	EXPECT_EQ(err, "");
}

// --- operations called directly ---------------------------------------------

// A small queue, open as the run opens it and made the working
// directory, as the driver leaves it.
class Operations : public test::InProcess {
protected:
	void SetUp() override
	{
		test::InProcess::SetUp();
		queue_ = tmp_.path() + "/queue";
		for (const char *d : {"mess/8", "info/8", "local/8", "remote/8",
			 "intd", "todo", "bounce", "yanked"})
			test::make_dirs(queue_ + "/" + d);
		settings.queue_fd = open(queue_.c_str(), O_RDONLY | O_DIRECTORY);
		ASSERT_NE(settings.queue_fd, -1);
		ASSERT_EQ(chdir(queue_.c_str()), 0);
	}

	std::string queue_;
};

TEST_F(Operations, MissingNameIsReported)
{
	std::string err = capture_stderr([] {
		EXPECT_EQ(remove_file(nullptr), -1);
		EXPECT_EQ(delete_file(nullptr), -1);
		EXPECT_EQ(expire_file(nullptr), -1);
	});
	EXPECT_EQ(err, "remove_file(): no filename\n"
		       "delete_file(): no filename\n"
		       "expire_file(): no filename\n");
}

TEST_F(Operations, ResultsCountTheFilesHandled)
{
	for (const char *p : {"mess/8/100", "info/8/100", "todo/100"})
		test::write_file(p, "x");
	capture_stderr([] { EXPECT_EQ(expire_file("100"), 1); });
	capture_stderr([] { EXPECT_EQ(remove_file("100"), 3); });
	capture_stderr([] { EXPECT_EQ(remove_file("100"), -1); });	// gone
	capture_stderr([] { EXPECT_EQ(expire_file("100"), -1); });
	test::write_file("mess/8/100", "x");
	test::write_file("bounce/100", "x");
	test::write_file("todo/100", "x");
	capture_stderr([] { EXPECT_EQ(delete_file("100.tmp"), -1); });
	capture_stderr([] { EXPECT_EQ(delete_file("100"), 3); });
	capture_stderr([] { EXPECT_EQ(delete_file("core"), -1); });
}

// The start-up check passed, then the yank directory went away (moved
// aside by an archiving job, say): the first rename fails with ENOENT
// while its source is there. That is a failed move, not a missing file:
// the message stays whole in the queue, and the run says so.
TEST_F(Operations, YankDirectoryGoneAfterStartUp)
{
	test::write_file("mess/8/100", "m");
	test::write_file("info/8/100", "i");
	test::write_file("remote/8/100", "r");
	test::write_file("todo/100", "t");
	ASSERT_EQ(rmdir("yanked"), 0);
	const std::string before = test::tree_listing(queue_);
	const std::string failed = std::string("rename(): ") + strerror(ENOENT) +
	    "\nremove_file(100): info/8/100 not moved; the message stays in "
	    "the queue\n";

	std::string quiet = capture_stderr([] { EXPECT_EQ(remove_file("100"), -1); });
	EXPECT_EQ(quiet, failed);

	settings.verbose = 2;
	std::string loud = capture_stderr([] { EXPECT_EQ(remove_file("100"), -1); });
	EXPECT_EQ(loud, failed);
	EXPECT_EQ(test::tree_listing(queue_), before);
}

TEST_F(Operations, MoveNeverReplacesItsTarget)
{
	test::write_file("a", "new");
	test::write_file("b", "old");
	errno = 0;
	EXPECT_EQ(rename_no_replace(settings.queue_fd, "a", "b"), -1);
	EXPECT_EQ(errno, EEXIST);
	EXPECT_EQ(test::read_file("a"), "new");
	EXPECT_EQ(test::read_file("b"), "old");
	EXPECT_EQ(rename_no_replace(settings.queue_fd, "a", "c"), 0);
	EXPECT_EQ(test::read_file("c"), "new");
	EXPECT_FALSE(test::exists("a"));
}

TEST_F(Operations, ExpireShiftThatWouldOverflowSetsNothing)
{
	test::write_file("info/8/100", "F\n");
	struct stat before;
	ASSERT_EQ(stat("info/8/100", &before), 0);
	settings.expire_when = -1;
	for (int64_t secs : {INT64_MIN, INT64_MIN + 1000}) {
		settings.expire_secs = secs;
		std::string err;
		err = capture_stderr([] { EXPECT_EQ(expire_file("100"), 0); });
		EXPECT_EQ(err, "expire_file(info/8/100): time out of range\n");
	}
	struct stat after;
	ASSERT_EQ(stat("info/8/100", &after), 0);
	EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
	EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

TEST_F(Operations, ExpireWithUnreadableInfoStatusSetsNothing)
{
	// info/8 is a plain file: the stat fails with ENOTDIR, not ENOENT.
	ASSERT_EQ(rmdir("info/8"), 0);
	test::write_file("info/8", "");
	settings.expire_when = -1;
	settings.verbose = 0;
	std::string err = capture_stderr([] { EXPECT_EQ(expire_file("100"), -1); });
	EXPECT_EQ(err, std::string("stat(): ") + strerror(ENOTDIR) + "\n");
}

// --- the dispatch -----------------------------------------------------------

// The walker's view: the matching file is mess/8/100. The working
// directory is left where the test puts it.
class Dispatch : public Operations {
protected:
	void SetUp() override
	{
		Operations::SetUp();
		test::write_file("mess/8/100", "m");
		test::write_file("info/8/100", "i");
		test::write_file("todo/100", "t");
	}

	static void dispatch() { EXPECT_EQ(dispatch_match("100", "8"), 0); }
};

TEST_F(Dispatch, EachActionAndNone)
{
	const std::string before = test::tree_listing(queue_);
	settings.action = run_action::none;
	EXPECT_EQ(capture_stderr([] { dispatch(); }), "");
	EXPECT_EQ(test::tree_listing(queue_), before);

	settings.action = run_action::yank;
	EXPECT_EQ(capture_stderr([] { dispatch(); }),
	    "moved info/8/100 to yanked/100.info\n"
	    "moved todo/100 to yanked/100.todo\n"
	    "moved mess/8/100 to yanked/100.mess\n");

	test::write_file("mess/8/100", "m");
	test::write_file("todo/100", "t");
	settings.action = run_action::remove;
	EXPECT_EQ(capture_stderr([] { dispatch(); }),
	    "remove todo/100\nremove mess/8/100\n");

	test::write_file("info/8/100", "i");
	settings.action = run_action::expire;
	settings.expire_when = 1704067200;
	EXPECT_EQ(capture_stderr([] { dispatch(); }),
	    "Set timestamp on info/8/100 \n");
	EXPECT_TRUE(test::exists(queue_ + "/info/8/100"));
}

// The operations name the message's files from the queue's descriptor:
// the working directory plays no part, and they open no descriptor. A
// match once was passed over without a word when "." could not be opened
// to come back to (here: no descriptor is left to open).
TEST_F(Dispatch, ActsOnTheQueueWhateverTheWorkingDirectory)
{
	const std::string elsewhere = tmp_.path() + "/elsewhere";
	test::make_dirs(elsewhere + "/todo");
	test::write_file(elsewhere + "/todo/100", "not the queue's");
	ASSERT_EQ(chdir(elsewhere.c_str()), 0);
	settings.action = run_action::remove;
	EXPECT_EQ(capture_stderr([] { dispatch(); }),
	    "remove todo/100\nremove info/8/100\nremove mess/8/100\n");
	EXPECT_FALSE(test::exists(queue_ + "/mess/8/100"));
	EXPECT_TRUE(test::exists(elsewhere + "/todo/100"));
	char here[4096];
	EXPECT_EQ(getcwd(here, sizeof here), elsewhere);

	for (const char *p : {"mess/8/100", "info/8/100"})
		test::write_file(queue_ + "/" + p, "x");
	std::string err = capture_stderr([] {
		struct rlimit saved;
		ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
		const int next = dup(0);
		ASSERT_NE(next, -1);
		close(next);
		struct rlimit none = saved;
		none.rlim_cur = static_cast<rlim_t>(next);
		ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
		errno = 0;
		EXPECT_EQ(open(".", O_RDONLY), -1);
		EXPECT_EQ(errno, EMFILE);
		dispatch();
		setrlimit(RLIMIT_NOFILE, &saved);
	});
	EXPECT_EQ(err, "remove info/8/100\nremove mess/8/100\n");
	EXPECT_FALSE(test::exists(queue_ + "/mess/8/100"));
}

}  // namespace
