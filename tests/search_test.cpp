// The walk of "mess" and the content test: which files are listed, with
// which verdict, and what the walker and the matcher report.
#include "message_text.h"
#include "search.h"
#include "settings.h"
#include "support.h"

#include <fcntl.h>
#include <fts.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using test::QueueRun;
using test::Result;

using Walk = QueueRun;

TEST_F(Walk, ListsEveryRegularFileAtAnyDepthByItsBareName)
{
	put("mess/8/100", "a");
	put("mess/0/46", "b");
	put("mess/12345", "c");			// flat
	put("mess/3/deeper/still/7", "d");	// below the hashed level
	Result r = run({"-q", queue_});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(test::sorted_lines(r.out),
	    (std::vector<std::string>{
		"100: yes", "12345: yes", "46: yes", "7: yes"}));
	EXPECT_EQ(r.err, "4 file(s) match\n");
}

TEST_F(Walk, OnlyMessIsSearched)
{
	put("mess/8/100", "plain");
	put("info/8/100", "Fbuy@example.org");
	put("todo/100", "buy");
	Result r = run({"-q", queue_, "-p", "buy"});
	EXPECT_EQ(r.out, "100: no\n");
	EXPECT_EQ(r.err, "0 file(s) match\n");
}

TEST_F(Walk, LinksAndSpecialFilesAreNeitherListedNorCounted)
{
	const std::string outside = tmp_.path() + "/outside";
	test::write_file(outside, "secret");
	put("mess/8/100", "x");
	ASSERT_EQ(symlink(outside.c_str(), qpath("mess/8/200").c_str()), 0);
	ASSERT_EQ(symlink("nowhere", qpath("mess/8/201").c_str()), 0);
	ASSERT_EQ(mkfifo(qpath("mess/8/202").c_str(), 0600), 0);
	Result r = run({"-q", queue_});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "100: yes\n");
	EXPECT_EQ(r.err, "1 file(s) match\n");
}

// A link in place of mess is no queue to search: nothing is listed, and
// the status says the search did not happen.
TEST_F(Walk, MessThatIsALinkIsNotFollowed)
{
	const std::string elsewhere = tmp_.path() + "/elsewhere";
	test::make_dirs(elsewhere + "/8");
	test::write_file(elsewhere + "/8/100", "x");
	ASSERT_EQ(rename(qpath("mess").c_str(), qpath("mess.old").c_str()), 0);
	ASSERT_EQ(symlink(elsewhere.c_str(), qpath("mess").c_str()), 0);
	Result r = run({"-q", queue_});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "0 file(s) match\n");
}

// A wrong -q: "0 file(s) match" alone would read like a clean queue.
TEST_F(Walk, MissingMessIsReportedAndTheRunFails)
{
	ASSERT_EQ(rename(qpath("mess").c_str(), qpath("mess.old").c_str()), 0);
	Result r = run({"-q", queue_});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, std::string("fts_read() mess: ") + strerror(ENOENT) +
		"\n0 file(s) match\n");
}

// The files in the order the C library's walker gives them from the
// queue directory, with their content: the order the listing keeps.
std::vector<std::pair<std::string, std::string>> walker_order(
    const std::string &queue)
{
	std::vector<std::pair<std::string, std::string>> files;
	char root[] = "mess";
	char *roots[] = {root, nullptr};
	int back = open(".", O_RDONLY | O_DIRECTORY);
	EXPECT_EQ(chdir(queue.c_str()), 0);
	FTS *fts = fts_open(roots, FTS_PHYSICAL, nullptr);
	while (FTSENT *e = fts != nullptr ? fts_read(fts) : nullptr)
		if (e->fts_info == FTS_F)
			files.emplace_back(e->fts_name,
			    test::read_file(queue + "/" + e->fts_path)
				.value_or(""));
	if (fts != nullptr)
		fts_close(fts);
	EXPECT_EQ(fchdir(back), 0);
	close(back);
	return files;
}

// Many files read ahead on several threads: the verdicts still come in
// the walker's order, each right, and with both channels in one pipe
// every yank's reports come right after its own verdict line, before
// the next one.
TEST_F(Walk, ListingKeepsTheWalkOrderAndEachActionFollowsItsVerdict)
{
	test::run_program("/bin/rm", {"-rf", queue_});
	ASSERT_EQ(test::run_program(test::mkqueue_bin,
		      {"-n", "2500", "-p", "20", "-S", "3", queue_}).status, 0);
	test::make_dirs(qpath("yanked"));
	const auto files = walker_order(queue_);
	ASSERT_EQ(files.size(), 2500u);
	Result r = test::run_program("/bin/sh", {"-c",
	    test::spoolsift_bin + " -r -p jackpot -q " + queue_ + " 2>&1"});
	ASSERT_EQ(r.status, 0) << r.err;

	const std::vector<std::string> lines = test::lines_of(r.out);
	size_t line = 0, yes = 0;
	for (const auto &[name, text] : files) {
		const bool match = text.find("jackpot") != std::string::npos;
		ASSERT_LT(line, lines.size());
		ASSERT_EQ(lines[line++], name + (match ? ": yes" : ": no"));
		if (!match)
			continue;
		yes++;
		// Then what the yank of this message says, and nothing else.
		size_t reports = 0;
		for (; line < lines.size() && lines[line].find(": ") ==
		     std::string::npos; line++, reports++)
			EXPECT_TRUE(lines[line].find("/" + name + " to yanked/" +
			    name + ".") != std::string::npos) << lines[line];
		EXPECT_TRUE(reports > 0 || (line < lines.size() &&
		    lines[line].starts_with("remove_file(" + name + ")")))
		    << name;
		while (line < lines.size() &&
		    lines[line].starts_with("remove_file(" + name + ")"))
			line++;
	}
	ASSERT_EQ(line + 2, lines.size());
	EXPECT_TRUE(lines[line].ends_with(" left alone, 0 failed")) << lines[line];
	EXPECT_EQ(lines[line + 1], std::to_string(yes) + " file(s) match");
	EXPECT_EQ(yes, 500u);
}

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
// --- message texts and match_file in-process -------------------------------

using Loading = test::InProcess;

// The whole text of path (from the working directory), or none; what went
// wrong goes to complaints.
std::optional<std::string> load(const std::string &path,
    std::string &complaints)
{
	message_text t;
	if (!t.read_first(AT_FDCWD, path.c_str(), SIZE_MAX, complaints))
		return std::nullopt;
	EXPECT_TRUE(t.complete());
	EXPECT_EQ(t.bytes()[t.length()], '\0');
	return std::string(t.bytes(), t.length());
}

std::optional<std::string> load(const std::string &path)
{
	std::string complaints;
	auto text = load(path, complaints);
	EXPECT_EQ(complaints, "");
	return text;
}

TEST_F(Loading, WholeFileOrItsFirstBytesNulTerminated)
{
	const std::string p = tmp_.path() + "/m";
	test::write_file(p, "0123456789");
	EXPECT_EQ(load(p), "0123456789");
	settings.max_bytes = 4;
	EXPECT_EQ(load(p), "0123");
	settings.max_bytes = 10;	// exactly the size
	EXPECT_EQ(load(p), "0123456789");
	settings.max_bytes = 11;	// more than the size
	EXPECT_EQ(load(p), "0123456789");
	settings.max_bytes = -5;	// negative: the whole file
	EXPECT_EQ(load(p), "0123456789");
}

// The two steps: a first part, NUL-terminated, then the rest on demand;
// a file that shrank meanwhile is a short read, and leaves no text.
TEST_F(Loading, FirstPartThenTheRest)
{
	const std::string p = tmp_.path() + "/m";
	test::write_file(p, "0123456789");
	message_text t;
	std::string complaints;
	ASSERT_TRUE(t.read_first(AT_FDCWD, p.c_str(), 4, complaints));
	EXPECT_FALSE(t.complete());
	EXPECT_EQ(std::string(t.bytes(), t.length() + 1),
	    std::string("0123\0", 5));
	ASSERT_TRUE(t.read_rest(complaints));
	EXPECT_TRUE(t.complete());
	EXPECT_EQ(std::string(t.bytes(), t.length() + 1),
	    std::string("0123456789\0", 11));
	EXPECT_EQ(complaints, "");

	ASSERT_TRUE(t.read_first(AT_FDCWD, p.c_str(), 4, complaints));
	ASSERT_EQ(truncate(p.c_str(), 6), 0);
	EXPECT_FALSE(t.read_rest(complaints));
	EXPECT_FALSE(t.read_rest(complaints));	// nothing left to read on
	EXPECT_EQ(complaints, std::string(program_invocation_short_name) +
	    ": read() too short\n");
	EXPECT_FALSE(t.complete());
	EXPECT_EQ(t.bytes(), nullptr);

	// What cannot be read at all (a directory opens, then its read
	// fails) is a short first read.
	complaints.clear();
	EXPECT_FALSE(t.read_first(AT_FDCWD, tmp_.path().c_str(), SIZE_MAX,
	    complaints));
	EXPECT_EQ(complaints, std::string(program_invocation_short_name) +
	    ": read() too short\n");
}

// A reader keeps its buffer from text to text: a longer text after a
// shorter one, a shorter after a longer, and one past what is kept,
// each comes out whole and NUL-terminated, never with bytes of another.
TEST_F(Loading, OneReaderReadsTextAfterTextOfAnySize)
{
	const std::string dir = tmp_.path();
	message_text t(nullptr, 64 * 1024);
	for (size_t size : {10, 70000, 5, 65535, 65536, 300000, 3, 0}) {
		std::string text(size, 'a');
		for (size_t i = 0; i < size; i++)
			text[i] = static_cast<char>('a' + (i * 7 + size) % 26);
		test::write_file(dir + "/m", text);
		std::string complaints;
		ASSERT_TRUE(t.read_first(AT_FDCWD, (dir + "/m").c_str(),
		    SIZE_MAX, complaints)) << size;
		EXPECT_EQ(std::string(t.bytes(), t.length() + 1),
		    text + std::string(1, '\0')) << size;
		t.release();
	}
}

// A file is named relative to its directory's descriptor, whatever the
// working directory is meanwhile.
TEST_F(Loading, FilesAreReadFromTheirDirectoryNotTheWorkingOne)
{
	test::make_dirs(tmp_.path() + "/a");
	test::make_dirs(tmp_.path() + "/b");
	test::write_file(tmp_.path() + "/a/100", "from a");
	test::write_file(tmp_.path() + "/b/100", "from b");
	unique_fd a(open((tmp_.path() + "/a").c_str(), O_RDONLY | O_DIRECTORY));
	ASSERT_TRUE(a);
	ASSERT_EQ(chdir((tmp_.path() + "/b").c_str()), 0);
	message_text t;
	std::string complaints;
	ASSERT_TRUE(t.read_first(a.get(), "100", SIZE_MAX, complaints));
	EXPECT_EQ(std::string(t.bytes(), t.length()), "from a");
}

TEST_F(Loading, NothingToLoadIsSilent)
{
	const std::string dir = tmp_.path();
	ASSERT_EQ(symlink("/etc/passwd", (dir + "/link").c_str()), 0);
	search_pattern all;
	ASSERT_EQ(compile_pattern(".*", all), 0);
	message_text t;
	std::string complaints;
	EXPECT_FALSE(load(dir + "/missing", complaints));
	EXPECT_FALSE(load(dir + "/link", complaints));
	EXPECT_FALSE(t.read_first(AT_FDCWD, nullptr, SIZE_MAX, complaints));
	EXPECT_EQ(match_file(AT_FDCWD, nullptr, all, t, complaints), 0);
	EXPECT_EQ(match_file(AT_FDCWD, (dir + "/missing").c_str(), all, t,
	    complaints), 0);
	EXPECT_EQ(complaints, "");
}

// Files over 16 KiB may be settled by their first 16 KiB. The verdict must
// be the one the whole text gets, right at the edge of that part too.
TEST_F(Loading, LargeFilesKeepTheVerdictOfTheirWholeText)
{
	const std::string dir = tmp_.path();
	const size_t part = 16 * 1024, size = 200 * 1024;
	auto verdict = [&](const std::string &pattern, std::string text) {
		test::write_file(dir + "/big", text);
		search_pattern compiled;
		EXPECT_EQ(compile_pattern(pattern.c_str(), compiled), 0);
		// Without odds the file is always read in two steps.
		message_text t;
		std::string complaints;
		const bool yes = match_file(AT_FDCWD, (dir + "/big").c_str(),
		    compiled, t, complaints) == 1;
		EXPECT_EQ(complaints, "");
		return yes;
	};
	std::string filler(size, 'y');

	std::string nul_early = filler;
	nul_early[100] = '\0';
	nul_early.replace(150000, 5, "after");
	nul_early.replace(0, 4, "head");
	EXPECT_FALSE(verdict("after", nul_early));	// past the NUL
	EXPECT_TRUE(verdict("^head", nul_early));

	std::string top = filler;
	top.replace(10, 7, "jackpot");
	EXPECT_TRUE(verdict("jackpot", top));
	EXPECT_TRUE(verdict("y*jackpot", top));

	// Assertions about what follows are never taken from the part.
	std::string edge = filler;
	edge[part - 1] = 'x';		// the last byte of the first part
	EXPECT_FALSE(verdict("x\\b", edge));
	EXPECT_FALSE(verdict("x$", edge));
	EXPECT_FALSE(verdict("x\\'", edge));
	EXPECT_TRUE(verdict("x\\B", edge));
	std::string ends = filler;
	ends[part - 1] = 'x';
	ends.back() = 'x';
	EXPECT_TRUE(verdict("yx$", ends));

	// The whole file is still read when the part does not settle it.
	std::string late = filler;
	late.replace(size - 7, 7, "jackpot");
	EXPECT_TRUE(verdict("jackpot", late));
	settings.max_bytes = static_cast<int64_t>(size - 1);
	EXPECT_FALSE(verdict("jackpot", late));
}

// A pattern that does not compile matches nothing, and says so for
// every file whose text loads, from the complaint kept at compile time.
TEST_F(Loading, PatternThatDoesNotCompileSaysSoPerLoadedFile)
{
	const std::string p = tmp_.path() + "/m";
	test::write_file(p, "x");
	search_pattern bad;
	ASSERT_NE(compile_pattern("[[:foo:]]", bad), 0);
	EXPECT_EQ(bad.error, "Invalid character c");	// cut to 19
	message_text t;
	std::string err;
	EXPECT_EQ(match_file(AT_FDCWD, p.c_str(), bad, t, err), 0);
	EXPECT_EQ(match_file(AT_FDCWD, (tmp_.path() + "/missing").c_str(), bad,
	    t, err), 0);
	EXPECT_EQ(match_file(AT_FDCWD, p.c_str(), bad, t, err), 0);
	EXPECT_EQ(err, "regcomp(): " + bad.error + "\n" + "regcomp(): " +
	    bad.error + "\n");
	search_pattern good;
	ASSERT_EQ(compile_pattern("x", good), 0);
	EXPECT_EQ(match_file(AT_FDCWD, p.c_str(), good, t, err), 1);
}

}  // namespace
