// Option parsing in-process: the values each option leaves in the run
// settings. The messages and exit statuses are checked end to end in
// driver_test.cpp.
#include "settings.h"
#include "support.h"

#include <regex.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <ctime>

namespace {

using test::InProcess;

using Options = InProcess;

TEST_F(Options, DefaultsBeforeAnyOption)
{
	ASSERT_EQ(parse({"--"}), 0);
	EXPECT_EQ(settings.queue_dir, nullptr);
	EXPECT_EQ(settings.queue_fd, -1);
	EXPECT_EQ(settings.pattern, nullptr);
	EXPECT_EQ(settings.regex_flags, 0u);
	EXPECT_EQ(settings.max_bytes, 0);
	EXPECT_EQ(settings.split, 23);
	EXPECT_STREQ(settings.yank_dir, "yanked");
	EXPECT_EQ(settings.verbose, 0);
	EXPECT_EQ(settings.do_yank, 0);
	EXPECT_EQ(settings.do_delete, 0);
	EXPECT_EQ(settings.do_expire, 0);
	EXPECT_EQ(settings.expire_secs, 604800);
	EXPECT_EQ(settings.expire_when, 0);
}

TEST_F(Options, ExtendedAlwaysComesCaseInsensitive)
{
	ASSERT_EQ(parse({"-e"}), 0);
	EXPECT_EQ(settings.regex_flags,
	    static_cast<unsigned>(REG_EXTENDED | REG_ICASE));
}

TEST_F(Options, CaseInsensitiveAlone)
{
	ASSERT_EQ(parse({"-i", "-i"}), 0);
	EXPECT_EQ(settings.regex_flags, static_cast<unsigned>(REG_ICASE));
}

TEST_F(Options, FlagsVerbosityAndStrings)
{
	ASSERT_EQ(parse({"-v", "-d", "-r", "-v", "-y", "/hold", "-p", "a",
		      "-p", "b"}),
	    0);
	EXPECT_EQ(settings.verbose, 2);
	EXPECT_EQ(settings.do_delete, 1);
	EXPECT_EQ(settings.do_yank, 1);
	EXPECT_STREQ(settings.yank_dir, "/hold");
	EXPECT_STREQ(settings.pattern, "b");	// the last one wins
}

TEST_F(Options, ByteLimitReadsUnsigned)
{
	ASSERT_EQ(parse({"-n", "4096"}), 0);
	EXPECT_EQ(settings.max_bytes, 4096);
	ASSERT_EQ(parse({"-n", "abc"}), 0);
	EXPECT_EQ(settings.max_bytes, 0);
	// 2^63 and above read as negative: the whole file is searched.
	ASSERT_EQ(parse({"-n", "9223372036854775808"}), 0);
	EXPECT_LT(settings.max_bytes, 0);
	ASSERT_EQ(parse({"-n", "18446744073709551614"}), 0);
	EXPECT_EQ(settings.max_bytes, -2);
}

TEST_F(Options, ByteLimitRefusesWhatReadsAsAllOnes)
{
	testing::internal::CaptureStderr();
	for (const char *bad : {"-1", "18446744073709551615",
		 "99999999999999999999999"})
		EXPECT_EQ(parse({"-n", bad}), 1) << bad;
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
	    "invalid number of bytes\ninvalid number of bytes\n"
	    "invalid number of bytes\n");
	EXPECT_EQ(settings.max_bytes, 0);
}

TEST_F(Options, SplitKeepsTheLow32BitsAsSigned)
{
	ASSERT_EQ(parse({"-s", "7"}), 0);
	EXPECT_EQ(settings.split, 7);
	ASSERT_EQ(parse({"-s", "4294967295"}), 0);
	EXPECT_EQ(settings.split, -1);
	ASSERT_EQ(parse({"-s", "4294967319"}), 0);	// 2^32 + 23
	EXPECT_EQ(settings.split, 23);
}

TEST_F(Options, SplitRefusesZeroInEveryForm)
{
	testing::internal::CaptureStderr();
	for (const char *bad : {"0", "abc", "4294967296", "-0",
		 "18446744073709551615"})
		EXPECT_EQ(parse({"-s", bad}), 1) << bad;
	std::string err = testing::internal::GetCapturedStderr();
	std::string want;
	for (int i = 0; i < 5; i++)
		want += "invalid split value\n";
	EXPECT_EQ(err, want);
	EXPECT_EQ(settings.split, 23);
}

TEST_F(Options, OffsetZeroKeepsTheDefault)
{
	testing::internal::CaptureStderr();
	ASSERT_EQ(parse({"-X", "0"}), 0);
	EXPECT_EQ(settings.expire_secs, 604800);
	ASSERT_EQ(parse({"-X", "abc"}), 0);
	EXPECT_EQ(settings.expire_secs, 604800);
	testing::internal::GetCapturedStderr();
	EXPECT_EQ(settings.do_expire, 1);
	EXPECT_EQ(settings.expire_when, -1);
}

TEST_F(Options, NegativeOffsetOtherThanMinusOneIsAccepted)
{
	testing::internal::CaptureStderr();
	ASSERT_EQ(parse({"-X", "-3600"}), 0);
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
	    "Offsetting timestamps by -3600 seconds \n");
	EXPECT_EQ(settings.expire_secs, -3600);
}

// The echo names the shift the run will use, whole: a value past 32 bits
// once echoed as its low half (4294967296 as 0, 4294967295 as -1) while
// the run moved times by the whole of it.
TEST_F(Options, OffsetOutOfRangeIsClampedAndEchoedWhole)
{
	const struct {
		const char *arg;
		int64_t secs;
	} cases[] = {
		{"99999999999999999999", LONG_MAX},
		{"5000000000", 5000000000},
		{"4294967296", 4294967296},
		{"4294967295", 4294967295},
		{"-4294967296", -4294967296},
		{"2147483647", 2147483647},
	};
	for (const auto &c : cases) {
		testing::internal::CaptureStderr();
		ASSERT_EQ(parse({"-X", c.arg}), 0);
		EXPECT_EQ(settings.expire_secs, c.secs);
		EXPECT_EQ(testing::internal::GetCapturedStderr(),
		    "Offsetting timestamps by " + std::to_string(c.secs) +
			" seconds \n") << c.arg;
	}
}

TEST_F(Options, LastOfDateAndOffsetDecidesTheMode)
{
	setenv("TZ", "UTC0", 1);
	tzset();
	testing::internal::CaptureStderr();
	ASSERT_EQ(parse({"-X", "60", "-x", "Mon Jan  1 00:00:00 UTC 2024"}), 0);
	EXPECT_EQ(settings.expire_when, 1704067200);
	EXPECT_EQ(settings.expire_secs, 0);
	// -X 0 after -x keeps the zero -x left behind, in shift mode.
	ASSERT_EQ(parse({"-x", "Mon Jan  1 00:00:00 UTC 2024", "-X", "0"}), 0);
	EXPECT_EQ(settings.expire_secs, 0);
	EXPECT_EQ(settings.expire_when, -1);
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
	    "Offsetting timestamps by 60 seconds \n"
	    "time in seconds: 1704067200 [ Mon Jan  1 00:00:00 UTC 2024 ]\n"
	    "time in seconds: 1704067200 [ Mon Jan  1 00:00:00 UTC 2024 ]\n"
	    "Offsetting timestamps by 0 seconds \n");
	unsetenv("TZ");
	tzset();
}

TEST_F(Options, QueueOptionEntersTheDirectoryAtOnce)
{
	const std::string q = tmp_.path() + "/q";
	test::make_dirs(q);
	// The later refusal does not undo the change of directory.
	testing::internal::CaptureStderr();
	EXPECT_EQ(parse({"-q", q, "-s", "0"}), 1);
	testing::internal::GetCapturedStderr();
	EXPECT_NE(settings.queue_fd, -1);
	EXPECT_EQ(std::string(settings.queue_dir), q);
	char cwd[4096];
	ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
	EXPECT_EQ(std::string(cwd), q);
}

TEST_F(Options, ScanStopsAtTheFirstWord)
{
	ASSERT_EQ(parse({"-v", "foo", "-r", "-d"}), 0);
	EXPECT_EQ(settings.verbose, 1);
	EXPECT_EQ(settings.do_yank, 0);
	EXPECT_EQ(settings.do_delete, 0);
}

// -x dates, in a zone with daylight saving time given by rule so no
// zone database is needed: CET (UTC+1) and CEST (UTC+2) in summer.
class ExpireDate : public InProcess {
protected:
	void SetUp() override
	{
		InProcess::SetUp();
		setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
		tzset();
	}
	void TearDown() override
	{
		unsetenv("TZ");
		tzset();
		InProcess::TearDown();
	}

	int64_t parsed(const char *text)
	{
		int64_t when = 0;
		EXPECT_EQ(parse_expire_date(text, &when), 0) << text;
		return when;
	}
};

TEST_F(ExpireDate, ZoneNamesChooseStandardDaylightOrUniversalTime)
{
	const struct {
		const char *text;
		int64_t when;
	} cases[] = {
		// 2024-07-01 12:00 CEST is 10:00 UTC.
		{"Mon Jul  1 12:00:00 CEST 2024", 1719828000},
		// Named as standard time in summer: taken as UTC+1.
		{"Mon Jul  1 12:00:00 CET 2024", 1719831600},
		// Winter, standard time: 2024-01-01 12:00 CET is 11:00 UTC.
		{"Mon Jan  1 12:00:00 CET 2024", 1704106800},
		// The universal names mean UTC on a host of any zone.
		{"Mon Jul  1 12:00:00 UTC 2024", 1719835200},
		{"Mon Jul  1 12:00:00 GMT 2024", 1719835200},
		{"Mon Jan  1 12:00:00 UT 2024", 1704110400},
	};
	for (const auto &c : cases)
		EXPECT_EQ(parsed(c.text), c.when) << c.text;
}

// A zone the host does not know was taken for local time, hours off
// without a word: it is refused, as a date that does not parse.
TEST_F(ExpireDate, OtherZoneWordsAreRefused)
{
	for (const char *text : {"Mon Jul  1 12:00:00 XYZ 2024",
		 "Mon Jul  1 12:00:00 EST 2024", "Mon Jul  1 12:00:00 +0100 2024",
		 "Mon Jul  1 12:00:00 utc 2024"}) {
		int64_t when = 42;
		testing::internal::CaptureStderr();
		EXPECT_EQ(parse_expire_date(text, &when), -1);
		EXPECT_EQ(testing::internal::GetCapturedStderr(),
		    "Error parsing the date specified at: [ " + std::string(text) +
			" ] col 0  [ " + text + " ] ]\n");
		EXPECT_EQ(when, 42);
	}
}

TEST_F(ExpireDate, TextAfterTheDateIsIgnored)
{
	EXPECT_EQ(parsed("Mon Jan  1 12:00:00 CET 2024 and more"), 1704106800);
}

TEST_F(ExpireDate, RejectedTextShowsItselfAtColumnZero)
{
	int64_t when = 42;
	testing::internal::CaptureStderr();
	EXPECT_EQ(parse_expire_date("yesterday", &when), -1);
	EXPECT_EQ(parse_expire_date("Mon Jan  1 12:00:00 CET", &when), -1);
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
	    "Error parsing the date specified at: [ yesterday ] col 0  "
	    "[ yesterday ] ]\n"
	    "Error parsing the date specified at: [ Mon Jan  1 12:00:00 CET ] "
	    "col 0  [ Mon Jan  1 12:00:00 CET ] ]\n");
	EXPECT_EQ(when, 42);
}

TEST_F(ExpireDate, TimeBeforeTheEpochShowsWhereParsingStopped)
{
	int64_t when = 42;
	testing::internal::CaptureStderr();
	EXPECT_EQ(parse_expire_date("Fri Jan  1 12:00:00 CET 1960 x", &when),
	    -1);
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
	    "Error parsing the date specified at: [  x ] col 28  "
	    "[ Fri Jan  1 12:00:00 CET 1960 x ] ]\n");
	EXPECT_EQ(when, 42);
}

}  // namespace
