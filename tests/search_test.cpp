// The listing and the content test, end to end: which verdict each file
// gets, and what an unreadable file or a pattern that does not compile
// makes the run say.
#include "search.h"
#include "settings.h"
#include "support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

using test::QueueRun;
using test::Result;

// Root reads every directory; these run the tool as nobody.
class Unprivileged : public QueueRun {
protected:
	void SetUp() override
	{
		QueueRun::SetUp();
		if (geteuid() != 0)
			GTEST_SKIP() << "needs root to run the tool as nobody";
		// Let nobody reach the queue: mkdtemp made the parent 0700.
		ASSERT_EQ(chmod(tmp_.path().c_str(), 0755), 0);
		opts_.unprivileged = true;
	}
	void tree_readable()
	{
		ASSERT_EQ(test::run_program("/bin/chmod",
			      {"-R", "a+rX", queue_}).status, 0);
	}

	test::RunOptions opts_;
};

TEST_F(Unprivileged, UnreadableDirectoryIsReportedAndTheWalkGoesOnToFail)
{
	put("mess/5/28", "x");
	put("mess/8/100", "x");
	tree_readable();
	ASSERT_EQ(chmod(qpath("mess/5").c_str(), 0), 0);
	Result r = run({"-q", queue_}, opts_);
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "100: yes\n");
	EXPECT_EQ(r.err, std::string("fts_read() mess/5: ") +
		strerror(EACCES) + "\n1 file(s) match\n");
}

TEST_F(Unprivileged, UnreadableFileIsListedNoWithoutAMessage)
{
	put("mess/8/100", "x");
	put("mess/9/101", "x");
	tree_readable();
	ASSERT_EQ(chmod(qpath("mess/8/100").c_str(), 0), 0);
	Result r = run({"-q", queue_, "-p", "x"}, opts_);
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(test::sorted_lines(r.out),
	    (std::vector<std::string>{"100: no", "101: yes"}));
	EXPECT_EQ(r.err, "1 file(s) match\n");
}

// --- what the content test sees ------------------------------------------

// One message under mess with the given content, searched with args.
struct Case {
	std::string content;
	std::vector<std::string> args;
	bool match;
};

class Content : public QueueRun {
protected:
	void expect_verdicts(const std::vector<Case> &cases)
	{
		for (const auto &c : cases) {
			put("mess/8/100", c.content);
			std::vector<std::string> args = {"-q", queue_};
			args.insert(args.end(), c.args.begin(), c.args.end());
			Result r = run(args);
			std::string where = testing::PrintToString(c.args) +
			    " on " + testing::PrintToString(c.content);
			EXPECT_EQ(r.status, 0) << where;
			EXPECT_EQ(r.out, c.match ? "100: yes\n" : "100: no\n")
			    << where;
			EXPECT_EQ(r.err, c.match ? "1 file(s) match\n"
						 : "0 file(s) match\n")
			    << where;
		}
	}
};

TEST_F(Content, TheWholeFileIsOneTextEndedByItsFirstNul)
{
	using namespace std::string_literals;
	expect_verdicts({
	    {"", {}, true},			// empty file, default pattern
	    {"", {"-p", ""}, true},		// empty pattern stays empty
	    {"ab\0cd"s, {"-p", "ab"}, true},
	    {"ab\0cd"s, {"-p", "cd"}, false},	// past the NUL byte
	    {"\0Subject: x"s, {"-p", "Subject"}, false},
	    {"one\ntwo\n", {"-p", "^two"}, false},	// ^ only at the start
	    {"one\ntwo\n", {"-p", "^one"}, true},
	    {"one\ntwo\n", {"-p", "one$"}, false},	// $ only at the end
	    {"one\ntwo", {"-p", "two$"}, true},
	    {"one\ntwo\n", {"-p", "one.two"}, true},	// dot takes a newline
	    {"Subject: a\n\nbody: offer\n", {"-p", "Subject.*offer"}, true},
	    {"x\nSubject: hi\n", {"-p", "\nSubject: hi"}, true},
	});
}

TEST_F(Content, CaseAndSyntaxFlags)
{
	expect_verdicts({
	    {"Subject: OFFER", {"-p", "offer"}, false},
	    {"Subject: OFFER", {"-p", "offer", "-i"}, true},
	    // -e is extended syntax and always case-insensitive.
	    {"Subject: OFFER", {"-p", "offer", "-e"}, true},
	    {"aaa", {"-p", "a+"}, false},		// basic: + is literal
	    {"a+", {"-p", "a+"}, true},
	    {"aaa", {"-p", "^a+$", "-e"}, true},
	    {"cat", {"-p", "dog|cat", "-e"}, true},
	    {"cat", {"-p", "dog\\|cat"}, true},	// GNU basic alternation
	    {"abab", {"-p", "\\(ab\\)\\1"}, true},	// back-reference
	});
}

TEST_F(Content, ByteLimitKeepsTheSearchToTheStart)
{
	expect_verdicts({
	    {"0123456789", {"-p", "789", "-n", "10"}, true},
	    {"0123456789", {"-p", "789", "-n", "9"}, false},
	    {"0123456789", {"-p", "9$", "-n", "9"}, false},
	    {"0123456789", {"-p", "8$", "-n", "9"}, true},	// end moves too
	    {"0123456789", {"-p", "789", "-n", "100"}, true},
	    {"0123456789", {"-p", "789", "-n", "0"}, true},
	    {"0123456789", {"-p", "789", "-n", "abc"}, true},
	    {"0123456789",
		{"-p", "789", "-n", "9223372036854775808"}, true},
	});
}

TEST_F(Content, PatternThatDoesNotCompileIsReportedOncePerLoadedFile)
{
	put("mess/8/100", "a");
	put("mess/9/101", "b");
	put("mess/10/102", "c");
	Result r = run({"-q", queue_, "-p", "[a"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(test::sorted_lines(r.out),
	    (std::vector<std::string>{"100: no", "101: no", "102: no"}));
	// The library's text, cut to 19 characters.
	EXPECT_EQ(r.err, "regcomp(): Unmatched [, [^, [:\n"
			 "regcomp(): Unmatched [, [^, [:\n"
			 "regcomp(): Unmatched [, [^, [:\n"
			 "0 file(s) match\n");
}

TEST_F(Content, DialectDecidesWhatCompiles)
{
	put("mess/8/100", "a{1");
	Result r = run({"-q", queue_, "-p", "a{1"});
	EXPECT_EQ(r.out, "100: yes\n");		// basic: braces are literal
	r = run({"-q", queue_, "-p", "a{1", "-e"});
	EXPECT_EQ(r.out, "100: no\n");
	EXPECT_EQ(r.err, "regcomp(): Unmatched \\{\n0 file(s) match\n");
}

// A single read returns at most about 2 GiB: a larger message must still
// be read whole. The file is sparse, so this costs time, not disk.
}  // namespace
