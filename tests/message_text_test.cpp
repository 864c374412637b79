// message_text_test.cpp: a message file's text as the content test sees
// it, read in-process: whole or its first bytes, in one step or two,
// from its own directory, in bounded memory, and judged by match_file.
#include "content_match.h"
#include "message_text.h"
#include "os.h"
#include "settings.h"
#include "support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

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
	EXPECT_EQ(complaints, std::string(os_program_name()) +
	    ": read() too short\n");
	EXPECT_FALSE(t.complete());
	EXPECT_EQ(t.bytes(), nullptr);

	// What cannot be read at all (a directory opens, then its read
	// fails) is a short first read.
	complaints.clear();
	EXPECT_FALSE(t.read_first(AT_FDCWD, tmp_.path().c_str(), SIZE_MAX,
	    complaints));
	EXPECT_EQ(complaints, std::string(os_program_name()) +
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
// Whether a text had to wait for the disk, which tells the readers how
// many of them to keep busy: not for a file held in memory, nor for an
// empty one; yes once its pages were dropped, where the system can tell;
// unknown where it cannot. The text itself is the same either way.
TEST_F(Loading, ATextSaysWhetherItWaitedForTheDisk)
{
	const std::string p = tmp_.path() + "/m";
	const std::string body(40000, 'q');
	const struct {
		const char *name;
		std::string text;
		bool dropped;
		disk_wait waited;
	} cases[] = {
		{"empty", "", false, disk_wait::no},
		{"in memory", body, false,
		    SPOOLSIFT_CACHED_READ ? disk_wait::no : disk_wait::unknown},
		{"dropped", body, true,
		    SPOOLSIFT_CACHED_READ ? disk_wait::yes : disk_wait::unknown},
	};
	for (const auto &c : cases) {
		test::write_file(p, c.text);
		const int fd = open(p.c_str(), O_RDONLY | O_CLOEXEC);
		ASSERT_NE(fd, -1);
		ASSERT_EQ(fdatasync(fd), 0);
		if (c.dropped) {
			ASSERT_EQ(posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED), 0);
		}
		close(fd);
		message_text t;
		std::string complaints;
		ASSERT_TRUE(t.read_first(AT_FDCWD, p.c_str(), SIZE_MAX,
		    complaints)) << c.name;
		EXPECT_EQ(std::string(t.bytes(), t.length()), c.text) << c.name;
		if (c.dropped && t.waited() == disk_wait::no)
			GTEST_SKIP() << "the test directory's file system keeps "
					"its files in memory (tmpfs)";
		EXPECT_EQ(t.waited(), c.waited) << c.name;
		t.release();
		EXPECT_EQ(t.waited(), disk_wait::unknown) << c.name;
	}
}

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
