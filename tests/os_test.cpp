// The system layer (src/os.h), as either implementation must give it:
// the build's own (Linux), or the POSIX one (SPOOLSIFT_PORTABLE, or a
// system without Linux's calls). Each case is a file, a directory, a
// link, a taken name or a vanished file in a fresh directory.
#include "os.h"
#include "queue_ops.h"
#include "support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace {

using test::TempDir;

class Os : public ::testing::Test {
protected:
	void SetUp() override
	{
		dir_ = open(tmp_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
		ASSERT_NE(dir_, -1) << strerror(errno);
	}
	void TearDown() override { close(dir_); }

	std::string at(const std::string &name) const
	{
		return tmp_.path() + "/" + name;
	}

	// What is at name: "" for nothing, else its kind and content.
	std::string what(const std::string &name) const
	{
		struct stat st;
		if (lstat(at(name).c_str(), &st) == -1)
			return "";
		if (S_ISDIR(st.st_mode))
			return "dir";
		if (S_ISFIFO(st.st_mode))
			return "fifo";
		if (S_ISLNK(st.st_mode)) {
			char to[256] = {};
			return "link to " + std::string(to, readlink(
			    at(name).c_str(), to, sizeof to - 1));
		}
		return "file " + test::read_file(at(name)).value_or("?");
	}

	ino_t inode(const std::string &name) const
	{
		struct stat st;
		return lstat(at(name).c_str(), &st) == 0 ? st.st_ino : 0;
	}

	// The things a case starts from.
	void make(const std::string &kind, const std::string &name) const
	{
		if (kind == "file") {
			test::write_file(at(name), name);
		} else if (kind == "dir") {
			test::make_dirs(at(name + "/inside"));
		} else if (kind == "link") {
			ASSERT_EQ(symlink("nowhere", at(name).c_str()), 0);
		} else if (kind == "fifo") {
			ASSERT_EQ(mkfifo(at(name).c_str(), 0600), 0);
		}
	}

	TempDir tmp_;
	int dir_ = -1;
};

// Each kind moves, whatever the layer does for it (one call, or link and
// unlink, or a rename once nothing is at the target); nothing is ever
// replaced, not even an empty directory; a vanished source is ENOENT
// whatever is at the target.
TEST_F(Os, RenameNeverReplaces)
{
	const struct {
		const char *from;	// what is at "a"; "" nothing
		const char *to;		// what is at "b" first
		int error;		// 0: moved
	} cases[] = {
		{"file", "", 0},
		{"dir", "", 0},
		{"link", "", 0},
		{"fifo", "", 0},
		{"file", "file", EEXIST},
		{"file", "dir", EEXIST},
		{"dir", "file", EEXIST},
		{"dir", "dir", EEXIST},
		{"link", "link", EEXIST},
		{"", "", ENOENT},
		{"", "file", ENOENT},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(std::string(c.from) + " onto " + c.to);
		std::filesystem::remove_all(at("a"));
		std::filesystem::remove_all(at("b"));
		std::filesystem::remove_all(at("b2"));
		make(c.from, "a");
		make(c.to, "b");
		if (std::string(c.to) == "dir")
			std::filesystem::remove_all(at("b/inside"));	// empty
		const std::string a = what("a"), b = what("b");
		const ino_t moved = inode("a");
		errno = 0;
		const int rc = os_rename_no_replace(dir_, "a", "b");
		if (c.error == 0) {
			EXPECT_EQ(rc, 0) << strerror(errno);
			EXPECT_EQ(what("a"), "");
			EXPECT_EQ(what("b"), a);
			EXPECT_EQ(inode("b"), moved);
		} else {
			EXPECT_EQ(rc, -1);
			EXPECT_EQ(errno, c.error) << strerror(errno);
			EXPECT_EQ(what("a"), a);
			EXPECT_EQ(what("b"), b);
		}
	}
}

// One file under both names, as a move by link and unlink leaves when it
// is killed between the two: the layer refuses it like any taken name,
// and rename_no_replace finishes the move. Two files alike stay two.
TEST_F(Os, OneFileUnderBothNamesIsAMoveToFinish)
{
	make("file", "a");
	ASSERT_EQ(link(at("a").c_str(), at("b").c_str()), 0);
	errno = 0;
	EXPECT_EQ(os_rename_no_replace(dir_, "a", "b"), -1);
	EXPECT_EQ(errno, EEXIST);
	EXPECT_EQ(rename_no_replace(dir_, "a", "b"), 0) << strerror(errno);
	EXPECT_EQ(what("a"), "");
	EXPECT_EQ(what("b"), "file a");

	make("file", "a");
	test::write_file(at("b"), "a");		// the same text, another file
	errno = 0;
	EXPECT_EQ(rename_no_replace(dir_, "a", "b"), -1);
	EXPECT_EQ(errno, EEXIST);
	EXPECT_EQ(what("a"), "file a");
}

// Another file system: EXDEV, and nothing left at either name.
TEST_F(Os, RenameAcrossFileSystemsFails)
{
	TempDir other("/dev/shm");
	struct stat here, there;
	ASSERT_EQ(stat(tmp_.path().c_str(), &here), 0);
	ASSERT_EQ(stat(other.path().c_str(), &there), 0);
	if (here.st_dev == there.st_dev)
		GTEST_SKIP() << "/dev/shm is on the test directory's file system";
	make("file", "a");
	const std::string to = other.path() + "/b";
	errno = 0;
	EXPECT_EQ(os_rename_no_replace(dir_, "a", to.c_str()), -1);
	EXPECT_EQ(errno, EXDEV);
	EXPECT_EQ(what("a"), "file a");
	EXPECT_FALSE(test::exists(to));
}

// Every entry once, "." and ".." left out, in the order readdir gives,
// also past what one read of the directory returns; kinds where the
// layer has them from the directory; the descriptor stays the caller's.
TEST_F(Os, ReadDirGivesEveryEntryWithItsKind)
{
	const struct {
		const char *name;
		const char *kind;
		entry_kind expected;
	} things[] = {
		{"file", "file", entry_kind::regular},
		{"dir", "dir", entry_kind::directory},
		{"link", "link", entry_kind::other},
		{"fifo", "fifo", entry_kind::other},
	};
	for (const auto &t : things)
		make(t.kind, t.name);
	// Long names, many of them: several reads' worth.
	for (int i = 0; i < 1500; i++)
		test::write_file(at(std::string(120, 'n') + std::to_string(i)), "");

	std::vector<char> names{'x', '\0'};	// added after what is there
	std::vector<dir_entry> entries;
	ASSERT_EQ(os_read_dir(dir_, names, entries), 0) << strerror(errno);
	std::vector<std::string> got;
	for (const dir_entry &e : entries)
		got.push_back(names.data() + e.name);

	std::vector<std::string> readdir_order;
	DIR *d = opendir(tmp_.path().c_str());
	ASSERT_NE(d, nullptr);
	while (const dirent *e = readdir(d))
		if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
			readdir_order.push_back(e->d_name);
	closedir(d);
	EXPECT_EQ(got, readdir_order);
	EXPECT_EQ(got.size(), 1504u);

	for (const auto &t : things) {
		auto it = std::find(got.begin(), got.end(), t.name);
		ASSERT_NE(it, got.end()) << t.name;
		const entry_kind kind = entries[it - got.begin()].kind;
		EXPECT_EQ(kind, SPOOLSIFT_ENTRY_KINDS ? t.expected
						      : entry_kind::unknown)
		    << t.name;
	}
	struct stat st;
	EXPECT_EQ(fstatat(dir_, "file", &st, 0), 0) << "descriptor closed";

	// Not a directory: ENOTDIR, nothing added, the descriptor still open.
	const int file = open(at("file").c_str(), O_RDONLY | O_CLOEXEC);
	ASSERT_NE(file, -1);
	names.clear();
	entries.clear();
	errno = 0;
	EXPECT_EQ(os_read_dir(file, names, entries), -1);
	EXPECT_EQ(errno, ENOTDIR);
	EXPECT_TRUE(entries.empty());
	EXPECT_NE(fcntl(file, F_GETFD), -1);
	close(file);
}

// A birth time where the build can have one, between the moments before
// and after the file was made; none for a vanished file, and none at all
// where the build has no way to ask.
TEST_F(Os, BirthTimeOnlyWhereTheBuildHasOne)
{
	struct timespec before;
	ASSERT_EQ(clock_gettime(CLOCK_REALTIME, &before), 0);
	for (const char *kind : {"file", "dir", "link"})
		make(kind, kind);
	struct timespec after;
	ASSERT_EQ(clock_gettime(CLOCK_REALTIME, &after), 0);
	int present = 0;
	for (const char *kind : {"file", "dir", "link"}) {
		const std::optional<struct timespec> born = os_birth_time(dir_, kind);
		if (!born)
			continue;
		present++;
		// File systems stamp from a coarse clock: a tick of slack.
		EXPECT_GE(born->tv_sec, before.tv_sec - 1) << kind;
		EXPECT_LE(born->tv_sec, after.tv_sec) << kind;
	}
	if (!SPOOLSIFT_BIRTH_TIME) {
		EXPECT_EQ(present, 0);
	}
	EXPECT_FALSE(os_birth_time(dir_, "vanished"));
}

TEST(OsProcess, ProcessorsErrorTextAndProgramName)
{
	const long online = sysconf(_SC_NPROCESSORS_ONLN);
	EXPECT_GE(os_processors(), 1u);
	if (online > 0) {
		EXPECT_LE(os_processors(), static_cast<size_t>(online));
	}

	for (int error : {EIO, ENOENT, EEXIST, EXDEV, 0, 99999}) {
		char buf[128];
		EXPECT_STREQ(os_error_text(error, buf, sizeof buf), strerror(error))
		    << error;
	}

	const std::string saved = os_program_name();
	const struct {
		const char *argv0;
		const char *name;
	} names[] = {
		{"/usr/local/sbin/spoolsift", "spoolsift"},
		{"spoolsift-restore", "spoolsift-restore"},
		{"./bin/", ""},
		{nullptr, ""},
	};
	for (const auto &n : names) {
		os_set_program_name(n.argv0);
		EXPECT_STREQ(os_program_name(), n.name)
		    << (n.argv0 != nullptr ? n.argv0 : "(none)");
	}
	os_set_program_name(saved.c_str());
	EXPECT_EQ(os_program_name(), saved);
}

}  // namespace
