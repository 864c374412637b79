// The run driver and the command line end to end: usage, refusals,
// start-up failures, the default queue, the yank-directory check, the
// channels and the exit status.
#include "support.h"

#include <sys/stat.h>

#include <filesystem>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

using test::QueueRun;
using test::Result;

// The default queue path. Tests only ever touch it inside a private mount
// namespace, with a fresh tmpfs mounted on /var (run_in_mount_namespace).
const std::string default_queue_path = "/var/qmail/queue";  // mount namespace only

std::string usage_text(const std::string &name, int64_t offset = 604800)
{
	return name + " [options]\n"
	    "  -e\t\tuse extended POSIX regular expressions\n"
	    "  -h, -?\tthis help message\n"
	    "  -i\t\tsearch case insensitively [default: case sensitive]\n"
	    "  -n <bytes>\tlimit our search to the first <bytes> bytes of each file\n"
	    "  -p <pattern>\tspecify the pattern to search for\n"
	    "  -q <queuedir>\tspecify the base qmail queue dir [default: " +
	    default_queue_path + "]\n"
	    "  -d\t\tactually remove files not yank them, no -p will delete all the messages!\n"
	    "  -r\t\tactually remove files, without this we'll only print them\n"
	    "  -s <split>\tspecify your conf-split value if non-standard [default: 23]\n"
	    "  -v\t\tincrease verbosity (can be used more than once)\n"
	    "  -y <yankdir>\tdirectory to put files yanked from the queue [default: <queuedir>/yanked]\n"
	    "  -X <secs> \tmodify timestamp on matching files, to make qmail expire mail\n"
	    "\t\t <secs> is the number of seconds we want to move the file into the past.\n"
	    "\t\t specifying a value of 0 causes this to default to (" +
	    std::to_string(offset) + ")\n"
	    "  -x <timespec>\tmodify timestamp on matching files, to make qmail expire mail\n"
	    "\t\t <timespec> is a date/time string in the format of output of the \"date\" program.\n"
	    "\t\t see manpage for strptime(2) for details of this format\n";
}

bool ends_with(const std::string &s, const std::string &tail)
{
	return s.size() >= tail.size() &&
	    s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// --- usage ---------------------------------------------------------------

using Usage = QueueRun;

TEST_F(Usage, NoArgumentsPrintsUsageAndFails)
{
	Result r = run({});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, usage_text("spoolsift"));
}

TEST_F(Usage, NamesTheProgramAsInvoked)
{
	test::RunOptions opts;
	opts.argv0 = "/usr/local/sbin/qsift";
	Result r = run({"-h"}, opts);
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, usage_text("qsift"));
}

TEST_F(Usage, HelpOptionsFailWithoutComplaint)
{
	for (const char *opt : {"-h", "-?"}) {
		Result r = run({"-q", queue_, opt, "-p", "x"});
		EXPECT_EQ(r.status, 1) << opt;
		EXPECT_EQ(r.out, "") << opt;
		EXPECT_EQ(r.err, usage_text("spoolsift")) << opt;
	}
}

TEST_F(Usage, ShowsTheOffsetAnEarlierOptionSet)
{
	Result r = run({"-X", "100", "-h"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "Offsetting timestamps by 100 seconds \n" +
		usage_text("spoolsift", 100));
}

TEST_F(Usage, UnknownOptionAndMissingArgumentGetTheLibraryComplaintFirst)
{
	for (const auto &args : std::vector<std::vector<std::string>>{
		 {"-z"}, {"-q", queue_, "-p"}, {"-n"}}) {
		Result r = run(args);
		EXPECT_EQ(r.status, 1) << args[0];
		EXPECT_EQ(r.out, "");
		EXPECT_TRUE(ends_with(r.err, usage_text("spoolsift"))) << r.err;
		EXPECT_GT(r.err.size(), usage_text("spoolsift").size())
		    << "no complaint before the usage text";
	}
}

// --- refused option values -----------------------------------------------

struct Refusal {
	std::vector<std::string> args;
	std::string err;
};

using Refusals = QueueRun;

TEST_F(Refusals, EachRefusedValueSaysWhyAndFails)
{
	const std::vector<Refusal> cases = {
	    {{"-n", "-1"}, "invalid number of bytes\n"},
	    {{"-n", "18446744073709551615"}, "invalid number of bytes\n"},
	    {{"-n", "123456789012345678901234"}, "invalid number of bytes\n"},
	    {{"-s", "18446744073709551615"}, "invalid split value\n"},
	    {{"-s", "0"}, "invalid split value\n"},
	    {{"-s", "abc"}, "invalid split value\n"},
	    {{"-s", "4294967296"}, "invalid split value\n"},
	    {{"-X", "-1"}, "invalid expire offset value [ -1 ]\n"},
	    {{"-X", "-01xyz"}, "invalid expire offset value [ -01xyz ]\n"},
	    {{"-x", "tomorrow"},
		"Error parsing the date specified at: [ tomorrow ] col 0  "
		"[ tomorrow ] ]\n"},
	    // A zone word that is neither local nor universal time.
	    {{"-x", "Mon Jul  1 12:00:00 XYZ 2024"},
		"Error parsing the date specified at: [ Mon Jul  1 12:00:00 XYZ "
		"2024 ] col 0  [ Mon Jul  1 12:00:00 XYZ 2024 ] ]\n"},
	};
	for (const auto &c : cases) {
		std::vector<std::string> args = {"-q", queue_};
		args.insert(args.end(), c.args.begin(), c.args.end());
		args.insert(args.end(), {"-p", "x"});
		Result r = run(args);
		EXPECT_EQ(r.status, 1) << c.args[0] << " " << c.args[1];
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err, c.err);
	}
}

TEST_F(Refusals, DateBeforeTheEpochShowsTheRestAndItsColumn)
{
	test::RunOptions opts;
	opts.env = {"TZ=UTC0"};
	Result r = run({"-x", "Thu Jan  1 00:00:00 UTC 1969"}, opts);
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "Error parsing the date specified at: [  ] col 28  "
			 "[ Thu Jan  1 00:00:00 UTC 1969 ] ]\n");
}

TEST_F(Refusals, QueueThatCannotBeOpenedOrEntered)
{
	Result r = run({"-q", tmp_.path() + "/nowhere"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, std::string("open(): ") + strerror(ENOENT) + "\n");

	put("plainfile", "");
	r = run({"-q", qpath("plainfile")});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, std::string("fchdir(): ") + strerror(ENOTDIR) + "\n");
	EXPECT_EQ(r.out, "");
}

// A FIFO (or a device) given for the queue by mistake is refused like
// any other non-directory, at once: the open must not wait for a writer.
TEST_F(Refusals, FifoGivenAsTheQueueIsRefusedWithoutHanging)
{
	const std::string fifo = tmp_.path() + "/fifo";
	ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
	Result r = test::run_program("/usr/bin/timeout",
	    {"10", test::spoolsift_bin, "-q", fifo});
	EXPECT_EQ(r.status, 1) << "124 means the open hung";
	EXPECT_EQ(r.err, std::string("fchdir(): ") + strerror(ENOTDIR) + "\n");
	EXPECT_EQ(r.out, "");
}

// A pattern that matches every text takes the whole queue: an empty -p
// from an unset variable, a stray '|', a lone anchor. With an action it
// is refused before anything changes; '.*', or no -p at all, still says
// "every message", and a listing is never refused.
TEST_F(Refusals, PatternThatMatchesEveryMessageIsRefusedForAnAction)
{
	put("mess/8/100", "Subject: prize\n");
	put("info/8/100", "F");
	put("mess/9/101", "");
	put("info/9/101", "F");
	test::make_dirs(qpath("yanked"));
	const std::string before = test::tree_listing(queue_);
	// Each refused pattern with another of the four actions; a listing
	// of it goes on.
	const std::vector<std::vector<std::string>> actions = {{"-r"}, {"-d"},
	    {"-X", "60"}, {"-x", "Mon Jan  1 00:00:00 UTC 2024"}};
	const std::vector<std::vector<std::string>> refused = {{"-p", ""},
	    {"-e", "-p", "prize|"}, {"-p", "^"}, {"-p", "$"},
	    {"-e", "-p", "x*"}, {"-e", "-p", "(.|\n)*"}, {"-i", "-p", "\\(\\)"}};
	test::RunOptions utc;
	utc.env = {"TZ=UTC0"};
	for (size_t k = 0; k < refused.size(); k++) {
		const std::vector<std::string> &p = refused[k];
		std::vector<std::string> args = {"-q", queue_};
		const std::vector<std::string> &act = actions[k % actions.size()];
		args.insert(args.end(), act.begin(), act.end());
		args.insert(args.end(), p.begin(), p.end());
		Result r = run(args, utc);
		EXPECT_EQ(r.status, 1) << p.back();
		EXPECT_EQ(r.out, "") << p.back();
		EXPECT_TRUE(r.err.ends_with("pattern [ " + p.back() + " ] matches "
		    "every message; to act on every message, give -p '.*'\n"))
		    << r.err;
		EXPECT_EQ(test::tree_listing(queue_), before) << p.back();
		args = {"-q", queue_};
		args.insert(args.end(), p.begin(), p.end());
		r = run(args);
		EXPECT_EQ(r.status, 0) << p.back();
		EXPECT_EQ(r.err, "2 file(s) match\n") << p.back();
	}
	// ".*" and no -p say "every message"; "^$" (empty files only) and
	// any pattern that some text does not match are not refused.
	const struct {
		std::vector<std::string> pattern;
		std::string tally;
	} accepted[] = {
		{{"-p", ".*"}, "2 message(s) expired"},
		{{}, "2 message(s) expired"},
		{{"-p", "^$"}, "1 message(s) expired"},
		{{"-p", "prize"}, "1 message(s) expired"},
		{{"-e", "-p", "."}, "1 message(s) expired"},
	};
	for (const auto &c : accepted) {
		std::vector<std::string> args = {"-q", queue_, "-X", "60"};
		args.insert(args.end(), c.pattern.begin(), c.pattern.end());
		Result r = run(args);
		EXPECT_EQ(r.status, 0) << r.err;
		EXPECT_NE(r.err.find(c.tally + ", 0 left alone, 0 failed\n"),
		    std::string::npos) << r.err;
	}
}

// --- echoes of the expire options -----------------------------------------

using Echoes = QueueRun;

TEST_F(Echoes, OffsetLinesShowTheResultingShift)
{
	Result r = run({"-X", "0", "-q", queue_});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, "Offsetting timestamps by 604800 seconds \n"
			 "0 message(s) expired, 0 left alone, 0 failed\n"
			 "0 file(s) match\n");
	r = run({"-X", "abc", "-X", "-3600", "-q", queue_});
	EXPECT_EQ(r.err, "Offsetting timestamps by 604800 seconds \n"
			 "Offsetting timestamps by -3600 seconds \n"
			 "0 message(s) expired, 0 left alone, 0 failed\n"
			 "0 file(s) match\n");
}

TEST_F(Echoes, DateLineShowsSecondsAndTheText)
{
	test::RunOptions opts;
	opts.env = {"TZ=UTC0"};
	Result r = run({"-q", queue_, "-x", "Mon Jan  1 00:00:00 UTC 2024",
			   "-X", "0"},
	    opts);
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err,
	    "time in seconds: 1704067200 [ Mon Jan  1 00:00:00 UTC 2024 ]\n"
	    "Offsetting timestamps by 0 seconds \n"
	    "0 message(s) expired, 0 left alone, 0 failed\n"
	    "0 file(s) match\n");
}

// Past January 2038 the time no longer fits 32 bits: the echo shows the
// time the run sets, not its low half (once a negative number).
TEST_F(Echoes, DateLineAndUsageShowTheWholeValue)
{
	test::RunOptions opts;
	opts.env = {"TZ=UTC0"};
	// 2040-01-01 is 2208988800 seconds, past 2^31.
	Result r = run({"-q", queue_, "-x", "Sun Jan  1 00:00:00 UTC 2040"},
	    opts);
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, "time in seconds: 2208988800 "
			 "[ Sun Jan  1 00:00:00 UTC 2040 ]\n"
			 "0 message(s) expired, 0 left alone, 0 failed\n"
			 "0 file(s) match\n");
	r = run({"-X", "4294967296", "-h"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "Offsetting timestamps by 4294967296 seconds \n" +
		usage_text("spoolsift", 4294967296));
}

// --- the run ----------------------------------------------------------------

using Driver = QueueRun;

TEST_F(Driver, VerdictsOnStandardOutputSummaryOnStandardError)
{
	put("mess/8/100", "Subject: buy now\n");
	put("mess/9/101", "Subject: hello\n");
	Result r = run({"-q", queue_, "-p", "buy"});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(test::sorted_lines(r.out),
	    (std::vector<std::string>{"100: yes", "101: no"}));
	EXPECT_EQ(r.err, "1 file(s) match\n");
}

TEST_F(Driver, TheFirstPlainWordEndsTheOptions)
{
	put("mess/8/100", "x");
	// -r after the word is never seen: no yank directory is needed.
	Result r = run({"-q", queue_, "foo", "-r"});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "100: yes\n");
	EXPECT_EQ(r.err, "1 file(s) match\n");
	r = run({"-q", queue_, "--", "-r"});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, "1 file(s) match\n");
}

// A word after the options ends them and everything after it. With an
// action asked for, that word was almost surely meant as the pattern
// (-d jackpot, a -p forgotten), and the action would take every message:
// the run is refused before anything is changed.
TEST_F(Driver, WordLeftAfterTheOptionsOfAnActionIsRefused)
{
	put("mess/8/100", "jackpot");
	put("info/8/100", "F");
	put("mess/9/101", "ham");
	put("info/9/101", "F");
	test::make_dirs(qpath("yanked"));
	const std::string before = test::tree_listing(queue_);
	struct {
		std::vector<std::string> args;
		std::string word;
	} cases[] = {
		{{"-d", "jackpot"}, "jackpot"},
		{{"-r", "--", "jackpot"}, "jackpot"},
		{{"-X", "60", "x", "y"}, "x"},
		{{"-x", "Mon Jan  1 00:00:00 UTC 2024", "jackpot"}, "jackpot"},
		{{"-d", "--", "-p", "jackpot"}, "-p"},
	};
	for (const auto &c : cases) {
		std::vector<std::string> args = {"-q", queue_};
		args.insert(args.end(), c.args.begin(), c.args.end());
		Result r = run(args);
		EXPECT_EQ(r.status, 1) << c.word;
		EXPECT_EQ(r.out, "") << c.word;
		EXPECT_NE(r.err.find("unexpected argument: " + c.word +
			      "\nspoolsift [options]\n"), std::string::npos)
		    << r.err;
		EXPECT_TRUE(ends_with(r.err, "for details of this format\n"))
		    << r.err;
	}
	EXPECT_EQ(test::tree_listing(queue_), before);
}

// The listing is the administrator's record of what was acted on: when
// it cannot be written, nothing more is acted on, and a listing that was
// lost is never a success.
TEST_F(Driver, ListingThatCannotBeWrittenIsNeverASuccess)
{
	put("mess/8/100", "jackpot");
	put("info/8/100", "F");
	put("mess/9/101", "ham");
	test::make_dirs(qpath("yanked"));
	const std::string before = test::tree_listing(queue_);
	const std::string bin = test::spoolsift_bin + " -q " + queue_;
	struct {
		std::string redirect;
		int error;
	} cases[] = {{">/dev/full", ENOSPC}, {">&-", EBADF}};
	for (const auto &c : cases) {
		for (const char *act : {"-r", "-d", "-X 60"}) {
			Result r = test::run_program("/bin/sh", {"-c", "exec " +
			    bin + " " + act + " -p jackpot " + c.redirect});
			EXPECT_EQ(r.status, 1) << c.redirect << act;
			EXPECT_TRUE(ends_with(r.err,
			    std::string("spoolsift: cannot write the listing: ") +
				strerror(c.error) +
				"; stopping before acting on 100\n"))
			    << r.err;
			EXPECT_EQ(test::tree_listing(queue_), before) << act;
		}
		Result r = test::run_program("/bin/sh",
		    {"-c", "exec " + bin + " -p jackpot " + c.redirect});
		EXPECT_EQ(r.status, 1) << c.redirect;
		EXPECT_EQ(r.err, std::string("1 file(s) match\n"
			      "spoolsift: write error on standard output: ") +
			strerror(c.error) + "\n");
	}
}

// With both channels in one file, the count is the last line, after
// every verdict.
TEST_F(Driver, CountIsLastWhenBothChannelsShareAFile)
{
	for (int i = 0; i < 200; i++)
		put("mess/" + std::to_string((1000 + i) % 23) + "/" +
		    std::to_string(1000 + i), "x");
	const std::string log = tmp_.path() + "/log";
	Result r = test::run_program("/bin/sh", {"-c", "exec " +
	    test::spoolsift_bin + " -q " + queue_ + " >" + log + " 2>&1"});
	EXPECT_EQ(r.status, 0);
	const std::string text = test::read_file(log).value_or("");
	EXPECT_TRUE(ends_with(text, ": yes\n200 file(s) match\n")) << text;
}

TEST_F(Driver, SecondQueueOptionWins)
{
	const std::string other = tmp_.path() + "/other";
	test::make_dirs(other + "/mess/0");
	test::write_file(other + "/mess/0/46", "x");
	put("mess/8/100", "x");
	Result r = run({"-q", queue_, "-q", other});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "46: yes\n");
}

TEST_F(Driver, RelativeQueueIsNamedFromTheWorkingDirectory)
{
	put("mess/8/100", "x");
	test::RunOptions opts;
	opts.cwd = tmp_.path();
	Result r = run({"-q", "queue"}, opts);
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "100: yes\n");
}

TEST_F(Driver, ListingAloneChangesNothing)
{
	put("mess/8/100", "Subject: buy now\n");
	put("info/8/100", std::string("Fspam@example.org\0", 18));
	put("remote/8/100", std::string("Tuser@example.net\0", 18));
	put("todo/100", "");
	test::make_dirs(qpath("yanked"));
	const std::string before = test::tree_listing(queue_);
	// Listing, and action options whose pattern matches nothing.
	for (const auto &args : std::vector<std::vector<std::string>>{
		 {"-p", "buy"}, {"-v", "-v"}, {"-p", "sell", "-r"},
		 {"-p", "sell", "-d"}, {"-p", "sell", "-X", "60"}}) {
		std::vector<std::string> full = {"-q", queue_};
		full.insert(full.end(), args.begin(), args.end());
		Result r = run(full);
		EXPECT_EQ(r.status, 0) << args[1];
		EXPECT_TRUE(ends_with(r.err, "file(s) match\n")) << r.err;
	}
	EXPECT_EQ(test::tree_listing(queue_), before);
}

TEST_F(Driver, BinaryCarriesItsRevision)
{
	std::optional<std::string> bin = test::read_file(test::spoolsift_bin);
	ASSERT_TRUE(bin.has_value());
	size_t at = bin->find("$Id: spoolsift ");
	ASSERT_NE(at, std::string::npos);
	size_t end = bin->find(" $", at);
	ASSERT_NE(end, std::string::npos);
	EXPECT_GT(end, at + strlen("$Id: spoolsift ")) << "empty revision";
}

// --- the yank directory check under -r ----------------------------------------

using YankDirCheck = QueueRun;

TEST_F(YankDirCheck, MissingDirectoryIsFatal)
{
	put("mess/8/100", "x");
	Result r = run({"-q", queue_, "-r"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "FATAL: yank_dir [" + queue_ +
		"/yanked] does not exist, you must create it first.\n");
	EXPECT_FALSE(has("yanked")) << "the tool never creates it";
}

TEST_F(YankDirCheck, FileInItsPlaceIsFatal)
{
	put("hold", "");
	Result r = run({"-q", queue_, "-r", "-y", "hold"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err,
	    "FATAL: yank_dir [" + queue_ + "/hold] is not a directory.\n");
}

TEST_F(YankDirCheck, UnreadableStatusIsFatal)
{
	put("hold", "");
	Result r = run({"-q", queue_, "-r", "-y", "hold/inner"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err,
	    std::string("stat(yank_dir): ") + strerror(ENOTDIR) + "\n");
}

TEST_F(YankDirCheck, ExistingDirectoryLetsTheSearchRun)
{
	put("mess/8/100", "x");
	test::make_dirs(qpath("yanked"));
	Result r = run({"-q", queue_, "-r"});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "100: yes\n");
}

TEST_F(YankDirCheck, OnlyYankIsChecked)
{
	for (const char *opt : {"-d", "-X"}) {
		std::vector<std::string> args = {"-q", queue_, opt};
		if (std::string(opt) == "-X")
			args.push_back("60");
		Result r = run(args);
		EXPECT_EQ(r.status, 0) << opt;
	}
}

// The moves go to yank_dir as seen from the queue: with a relative queue
// the check looks there too, not beside the working directory.
TEST_F(YankDirCheck, RelativeQueueChecksTheDirectoryInTheQueue)
{
	test::make_dirs(tmp_.path() + "/yanked");	// the wrong one
	test::RunOptions opts;
	opts.cwd = tmp_.path();
	Result r = run({"-q", "queue", "-r"}, opts);
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "FATAL: yank_dir [queue/yanked] does not exist, you "
			 "must create it first.\n");

	test::make_dirs(qpath("yanked"));
	r = run({"-q", "queue", "-r"}, opts);
	EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(YankDirCheck, AbsoluteYankDirIsShownAsGiven)
{
	const std::string hold = tmp_.path() + "/hold";
	Result r = run({"-q", queue_, "-r", "-y", hold});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "FATAL: yank_dir [" + hold +
		"] does not exist, you must create it first.\n");
	test::make_dirs(hold);
	r = run({"-q", queue_, "-r", "-y", hold});
	EXPECT_EQ(r.status, 0) << r.err;
}

// --- the default queue, in a private mount namespace --------------------------

class DefaultQueue : public QueueRun {
protected:
	void SetUp() override
	{
		QueueRun::SetUp();
		if (!test::can_unshare_mount())
			GTEST_SKIP() << "no private mount namespace here "
					"(needs root and unshare)";
	}

	// Mounts this test's queue over the default path in the namespace.
	std::string bind_queue() const
	{
		return "mkdir -p " + default_queue_path + "\nmount --bind '" +
		    queue_ + "' " + default_queue_path;
	}
};

TEST_F(DefaultQueue, MissingDefaultQueueIsFatal)
{
	Result r = test::run_in_mount_namespace(":", {"-v"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "no queue directory specified and " +
		default_queue_path + " doesn't exist\n");
}

TEST_F(DefaultQueue, DefaultQueueThatIsNoDirectoryCannotBeEntered)
{
	// A plain file at the default path, in the namespace's own /var.
	Result r = test::run_in_mount_namespace(
	    "mkdir -p $(dirname " + default_queue_path + ") && : > " +
		default_queue_path,
	    {"-v"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, std::string("fchdir(): ") + strerror(ENOTDIR) + "\n");
}

TEST_F(DefaultQueue, OneVerboseOptionListsEverythingAsMatching)
{
	put("mess/8/100", "anything");
	put("mess/9/101", "");
	Result r = test::run_in_mount_namespace(bind_queue(), {"-v"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(test::sorted_lines(r.out),
	    (std::vector<std::string>{"100: yes", "101: yes"}));
	EXPECT_EQ(r.err, "2 file(s) match\n");
}

TEST_F(DefaultQueue, YankChecksTheDefaultYankDirectory)
{
	Result r = test::run_in_mount_namespace(bind_queue(), {"-r"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "FATAL: yank_dir [" + default_queue_path +
		"/yanked] does not exist, you must create it first.\n");
}

TEST_F(DefaultQueue, LoneDoubleDashSearchesWithEveryDefault)
{
	put("mess/8/100", "x");
	Result r = test::run_in_mount_namespace(bind_queue(), {"--"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "100: yes\n");
	EXPECT_EQ(r.err, "1 file(s) match\n");
}

}  // namespace
