// The review of a yank directory: which numbers it holds, and each
// message's line, byte for byte, from files as qmail and a yank leave
// them (records ended by NUL bytes) and from hostile or odd ones.
#include "yank_review.h"

#include "os.h"
#include "support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

constexpr time_t queued = 1795832421;		// 28 Nov 2026 02:20:21 GMT
constexpr time_t early = 1772701447;		// 5 Mar 2026 09:04:07 GMT

enum class kind { file, symlink, fifo };

struct yanked_file {
	std::string name;	// "100.info"
	std::string content;	// a symlink's target
	kind is = kind::file;
	time_t mtime = queued;	// and access time
};

// 3000 waiting remote recipients, 22 bytes each: past what is read.
std::string many_recipients()
{
	std::string out;
	char rec[32];
	for (int i = 0; i < 3000; i++)
		out.append(rec, snprintf(rec, sizeof rec, "Tuser%04d@example.net", i) + 1);
	return out;
}

const std::string prize = "Subject: Win a prize\n\nbody\n";	// 27 bytes

const yanked_file files[] = {
	{"100.info", "Fspam@example.biz\0"s},
	{"100.local", "Tbob@example.org\0"s},
	{"100.remote", "Dcarol@example.net\0Tdave@example.com\0"s},
	{"100.mess", prize},
	{"101.todo", "u0\0p4711\0Fnews@example.com\0Tann@example.org\0Tben@example.net\0"s, kind::file, early},
	{"101.mess", "Subject: hello\n\n"},
	{"102.info", "F\0"s},
	{"102.remote", "Tspam@example.biz\0"s},
	{"102.mess", "From: MAILER-DAEMON\nSubject: failure notice\n\nHi.\n"},
	{"103.info", "Fa@example.biz\0"s},
	{"103.mess", "Subject: Your\n\tjackpot\n   is here\nX-Spam: no\n\nSubject: not this\n"},
	{"104.info", "Fevil\x1b]0;owned\x07 x@example.biz\0"s},
	{"104.local", "Tb\\ob@example.org\0"s},
	{"104.mess", "subject: \x1b[2J\"free\" \\o/ \xc3\xa9t\xc3\xa9\r\n\r\nbody"},
	{"105.info", "F" + std::string(200, 'b') + "@example.biz\0"s},
	{"105.mess", "Subject: " + std::string(10000, 'A') + "\n\n"},
	{"106.info", "Fa@example.biz\0"s},
	{"106.remote", "Tc@example.net\0"s},
	{"107.local", "Tbob@example.org\0"s},
	{"107.mess", prize},
	{"108.info", "Fa@example.biz\0"s},
	{"108.remote", "Tr1@x.example\0Dr2@x.example\0Tr3@x.example\0Tr4@x.example\0Dr5@x.example\0Tr6@x.example\0"s},
	{"108.local", "Tl1@example.org\0"s},
	{"108.mess", "From: a\n\nSubject: in the body\n"},
	// 109: nothing at all.
	{"111.info", "100.info", kind::symlink},
	{"111.mess", "", kind::fifo},
	{"111.todo", "u0\0p1\0Fa@example.biz\0Tb@example.org\0"s},
	{"112.info", "Fa@example.biz\0"s},
	{"112.remote", many_recipients()},
	{"113.mess", "X-Pad: " + std::string(70000, 'x') + "\n"},
	{"114.intd", "u0\0p9\0Fi@example.biz\0Tz@example.org\0"s},
	{"114.mess", "Subject: hi\n"},
	// Not "N.sub": never a number to review.
	{"notes.txt", "x"}, {"0100.mess", "x"}, {"12.mess.orig", "x"},
	{"13.", "x"}, {".mess", "x"}, {"14.messy", "x"}, {"15", "x"},
	{"+16.info", "x"}, {"18446744073709551616.mess", "x"},
};

const struct {
	unsigned long n;
	const char *line;
} lines[] = {
	{100, R"(100  28 Nov 2026 02:20:21 GMT  27  <spam@example.biz>  to: local bob@example.org, remote dave@example.com, 1 done  "Win a prize"  whole)"},
	{101, R"(101  5 Mar 2026 09:04:07 GMT  16  <news@example.com>  to (still in todo): ann@example.org, ben@example.net  "hello"  whole)"},
	{102, R"(102  28 Nov 2026 02:20:21 GMT  49  <>  to: remote spam@example.biz  "failure notice"  whole)"},
	{103, R"(103  28 Nov 2026 02:20:21 GMT  64  <a@example.biz>  to: none waiting  "Your jackpot is here"  whole)"},
	{104, R"(104  28 Nov 2026 02:20:21 GMT  37  <evil\x1b]0;owned\x07\x20x@example.biz>  to: local b\\ob@example.org  "\x1b[2J\"free\" \\o/ \xc3\xa9t\xc3\xa9"  whole)"},
	{106, R"(106  28 Nov 2026 02:20:21 GMT  -  <a@example.biz>  to: remote c@example.net  -  missing: mess)"},
	{107, R"(107  -  27  -  to: local bob@example.org  "Win a prize"  missing: envelope)"},
	{108, R"(108  28 Nov 2026 02:20:21 GMT  30  <a@example.biz>  to: local l1@example.org, remote r1@x.example, remote r3@x.example +2 more, 2 done  no subject  whole)"},
	{109, R"(109  -  -  -  to: -  -  missing: mess, envelope)"},
	{111, R"(111  28 Nov 2026 02:20:21 GMT  -  <a@example.biz>  to (still in todo): b@example.org  -  missing: mess; not a file: mess, info)"},
	{112, R"(112  28 Nov 2026 02:20:21 GMT  -  <a@example.biz>  to: remote user0000@example.net, remote user0001@example.net, remote user0002@example.net +2975 more, rest past 64 KiB not counted  -  missing: mess)"},
	{113, R"(113  -  70008  -  to: -  no subject in first 64 KiB  missing: envelope)"},
	{114, R"(114  28 Nov 2026 02:20:21 GMT  12  <i@example.biz>  to (still in intd): z@example.org  "hi"  missing: envelope)"},
};

class YankReview : public ::testing::Test {
protected:
	void SetUp() override
	{
		for (const yanked_file &f : files)
			put(f);
		dir_ = open(tmp_.path().c_str(), O_RDONLY | O_DIRECTORY);
		ASSERT_NE(dir_, -1) << strerror(errno);
	}
	void TearDown() override { close(dir_); }

	void put(const yanked_file &f)
	{
		std::string path = tmp_.path() + "/" + f.name;
		if (f.is == kind::file)
			test::write_file(path, f.content);
		else
			ASSERT_EQ(f.is == kind::fifo ? mkfifo(path.c_str(), 0644) :
			    symlink(f.content.c_str(), path.c_str()), 0) << path;
		timespec times[2] = {{f.mtime, 0}, {f.mtime, 0}};
		ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times,
			      AT_SYMLINK_NOFOLLOW), 0) << path;
	}

	test::TempDir tmp_;
	int dir_ = -1;
};

TEST_F(YankReview, ListsEachYankedNumberOnceInOrder)
{
	std::vector<unsigned long> got;
	ASSERT_EQ(yanked_numbers(dir_, got), 0) << strerror(errno);
	EXPECT_EQ(got, (std::vector<unsigned long>{100, 101, 102, 103, 104,
			   105, 106, 107, 108, 111, 112, 113, 114}));
}

TEST_F(YankReview, LinesShowEveryFieldSafely)
{
	for (const auto &c : lines) {
		std::string got;
		EXPECT_EQ(review_line(dir_, c.n, got), 0) << c.n;
		EXPECT_EQ(got, c.line) << c.n;
	}
	// A 10 KB subject and a 200-byte sender do not make a long line.
	std::string got;
	ASSERT_EQ(review_line(dir_, 105, got), 0);
	EXPECT_EQ(got, "105  28 Nov 2026 02:20:21 GMT  10011  <" +
	    std::string(60, 'b') + "...>  to: none waiting  \"" +
	    std::string(80, 'A') + "...\"  whole");
}

// The review reads; it leaves the modification and change times as the
// yank left them (a yank's admission goes by the change time of a
// yanked todo or info), and the access times too, which tell how long a
// text has lain unread, where the system has a flag for reads that leave
// them (os_no_atime). Without one, as on the BSDs, a read moves them as
// the mount's access-time rule says.
TEST_F(YankReview, ChangesNothing)
{
	std::vector<struct timespec> changed;
	for (const yanked_file &f : files) {
		struct stat st;
		ASSERT_EQ(lstat((tmp_.path() + "/" + f.name).c_str(), &st), 0);
		changed.push_back(st.st_ctim);
	}
	std::string got;
	for (const auto &c : lines)
		ASSERT_EQ(review_line(dir_, c.n, got), 0) << c.n;
	for (size_t i = 0; i < std::size(files); i++) {
		const yanked_file &f = files[i];
		struct stat st;
		ASSERT_EQ(lstat((tmp_.path() + "/" + f.name).c_str(), &st), 0);
		if (os_no_atime != 0) {
			EXPECT_EQ(st.st_atim.tv_sec, f.mtime) << f.name;
		}
		EXPECT_EQ(st.st_mtim.tv_sec, f.mtime) << f.name;
		EXPECT_EQ(st.st_ctim.tv_sec, changed[i].tv_sec) << f.name;
		EXPECT_EQ(st.st_ctim.tv_nsec, changed[i].tv_nsec) << f.name;
	}
}

// Run as nobody: a file it may not read is said to be unreadable, and
// one it may read but does not own (no O_NOATIME) is still read.
TEST_F(YankReview, UnreadableFilesAreSaidSo)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "needs root, to review as nobody";
	ASSERT_EQ(chmod(tmp_.path().c_str(), 0755), 0);
	ASSERT_EQ(chmod((tmp_.path() + "/100.info").c_str(), 0600), 0);
	ASSERT_EQ(chmod((tmp_.path() + "/100.local").c_str(), 0600), 0);
	ASSERT_EQ(chmod((tmp_.path() + "/100.mess").c_str(), 0644), 0);
	int out[2];
	ASSERT_EQ(pipe(out), 0);
	pid_t pid = fork();
	ASSERT_NE(pid, -1);
	if (pid == 0) {
		std::string line;
		if (setgid(65534) == -1 || setuid(65534) == -1 ||
		    review_line(dir_, 100, line) == -1)
			line = "failed: "s + strerror(errno);
		_exit(write(out[1], line.data(), line.size()) ==
		    static_cast<ssize_t>(line.size()) ? 0 : 1);
	}
	close(out[1]);
	std::string got;
	char buf[1024];
	for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;)
		got.append(buf, n);
	close(out[0]);
	int status;
	ASSERT_EQ(waitpid(pid, &status, 0), pid);
	EXPECT_EQ(status, 0);
	EXPECT_EQ(got, R"(100  28 Nov 2026 02:20:21 GMT  27  unreadable  to: remote dave@example.com, 1 done, local unreadable  "Win a prize"  whole; unreadable: local, info)");
}

TEST_F(YankReview, FailuresComeBackWithErrno)
{
	std::vector<unsigned long> numbers{7};
	std::string line = "kept";
	errno = 0;
	EXPECT_EQ(yanked_numbers(-1, numbers), -1);
	EXPECT_EQ(errno, EBADF);
	EXPECT_EQ(numbers, std::vector<unsigned long>{7});
	EXPECT_EQ(review_line(-1, 100, line), -1);
	EXPECT_EQ(errno, EBADF);
	EXPECT_EQ(review_line(dir_, 0, line), -1);
	EXPECT_EQ(errno, EINVAL);
	EXPECT_EQ(line, "kept");
}

}  // namespace
