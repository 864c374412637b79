// The system layer (src/os.h), as either implementation must give it:
// Linux's, or the POSIX one (SPOOLSIFT_PORTABLE, or a system without
// Linux's calls). The cases: a file, a directory, a link, a taken name,
// a vanished file, in a fresh directory.
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
#include <string>
#include <vector>

namespace {

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

	// Which file is at name: its kind and inode, "" for none.
	std::string which(const std::string &name) const
	{
		struct stat st;
		if (lstat(at(name).c_str(), &st) == -1)
			return "";
		return std::to_string(st.st_mode & S_IFMT) + " " +
		    std::to_string(st.st_ino);
	}

	void make(const std::string &kind, const std::string &name) const
	{
		if (kind == "file") {
			test::write_file(at(name), name);
		} else if (kind == "dir") {
			test::make_dirs(at(name));
		} else if (kind == "link") {
			ASSERT_EQ(symlink("nowhere", at(name).c_str()), 0);
		} else if (kind == "fifo") {
			ASSERT_EQ(mkfifo(at(name).c_str(), 0600), 0);
		}
	}

	test::TempDir tmp_;
	int dir_ = -1;
};

// Each kind moves, however the layer does it (one call; a link and an
// unlink; a rename once nothing is at the target). Nothing is replaced,
// not even an empty directory, and a vanished source is ENOENT whatever
// is at the target.
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
		for (const char *name : {"a", "b"})
			std::filesystem::remove_all(at(name));
		make(c.from, "a");
		make(c.to, "b");
		const std::string a = which("a"), b = which("b");
		errno = 0;
		const int rc = os_rename_no_replace(dir_, "a", "b");
		EXPECT_EQ(rc, c.error == 0 ? 0 : -1) << strerror(errno);
		if (c.error != 0) {
			EXPECT_EQ(errno, c.error) << strerror(errno);
		}
		EXPECT_EQ(which("a"), c.error == 0 ? "" : a);
		EXPECT_EQ(which("b"), c.error == 0 ? a : b);
	}
}

// One file under both names, as a move by link and unlink leaves when it
// is killed between the two: the layer refuses it like any taken name,
// and rename_no_replace finishes the move. Two files alike stay two.
TEST_F(Os, OneFileUnderBothNamesIsAMoveToFinish)
{
	make("file", "a");
	ASSERT_EQ(link(at("a").c_str(), at("b").c_str()), 0);
	const std::string file = which("a");
	errno = 0;
	EXPECT_EQ(os_rename_no_replace(dir_, "a", "b"), -1);
	EXPECT_EQ(errno, EEXIST);
	EXPECT_EQ(rename_no_replace(dir_, "a", "b"), 0) << strerror(errno);
	EXPECT_EQ(which("a"), "");
	EXPECT_EQ(which("b"), file);

	make("file", "a");
	test::write_file(at("b"), "a");
	errno = 0;
	EXPECT_EQ(rename_no_replace(dir_, "a", "b"), -1);
	EXPECT_EQ(errno, EEXIST);
	EXPECT_NE(which("a"), "");
}

// Another file system: EXDEV, as rename says, and nothing moved.
TEST_F(Os, RenameAcrossFileSystemsFails)
{
	test::TempDir other("/dev/shm");
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
	EXPECT_NE(which("a"), "");
	EXPECT_FALSE(test::exists(to));
}

// Every entry once, "." and ".." left out, in the order readdir gives,
// also past what one read of the directory returns; kinds where the
// layer has them from the directory; the descriptor stays the caller's.
TEST_F(Os, ReadDirGivesEveryEntryWithItsKind)
{
	const struct {
		const char *name;
		entry_kind kind;
	} things[] = {
		{"file", entry_kind::regular},
		{"dir", entry_kind::directory},
		{"link", entry_kind::other},
		{"fifo", entry_kind::other},
	};
	for (const auto &t : things)
		make(t.name, t.name);
	for (int i = 0; i < 1500; i++)	// long names: several reads' worth
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
		const auto it = std::find(got.begin(), got.end(), t.name);
		ASSERT_NE(it, got.end()) << t.name;
		EXPECT_EQ(entries[it - got.begin()].kind, SPOOLSIFT_ENTRY_KINDS
		    ? t.kind : entry_kind::unknown) << t.name;
	}
	struct stat st;
	EXPECT_EQ(fstatat(dir_, "file", &st, 0), 0) << "descriptor closed";
}

// A birth time where the build can have one, between the moments before
// and after the file was made; none for a vanished file, and none at all
// where the build has no way to ask.
TEST_F(Os, BirthTimeOnlyWhereTheBuildHasOne)
{
	struct timespec before, after;
	ASSERT_EQ(clock_gettime(CLOCK_REALTIME, &before), 0);
	for (const char *kind : {"file", "dir", "link"})
		make(kind, kind);
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
	EXPECT_TRUE(SPOOLSIFT_BIRTH_TIME || present == 0);
	EXPECT_FALSE(os_birth_time(dir_, "vanished"));
}

// A read of only what is in memory gives a file held there whole, and
// says EAGAIN, rather than waiting, for one whose pages were dropped; a
// layer that cannot tell says so and reads nothing.
TEST_F(Os, ReadCachedGivesWhatIsInMemoryAndNeverWaits)
{
	const std::string text(64 * 1024, 'x');
	test::write_file(at("file"), text);
	const int fd = open(at("file").c_str(), O_RDONLY | O_CLOEXEC);
	ASSERT_NE(fd, -1) << strerror(errno);
	std::string buf(text.size() + 1, '\0');
	ASSERT_EQ(read(fd, buf.data(), buf.size()),
	    static_cast<ssize_t>(text.size()));
	ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
	const ssize_t warm = os_read_cached(fd, buf.data(), buf.size());
	if (!SPOOLSIFT_CACHED_READ) {
		EXPECT_EQ(warm, -1);
		EXPECT_EQ(errno, ENOSYS);
		EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0);
		close(fd);
		return;
	}
	ASSERT_EQ(warm, static_cast<ssize_t>(text.size())) << strerror(errno);
	EXPECT_EQ(buf.substr(0, text.size()), text);
	// Its pages written out and dropped: a disk-backed file system must
	// read them again, and the cached read says it would wait.
	ASSERT_EQ(fdatasync(fd), 0);
	ASSERT_EQ(posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED), 0);
	ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
	errno = 0;
	const ssize_t cold = os_read_cached(fd, buf.data(), buf.size());
	const int error = errno;
	close(fd);
	if (cold == static_cast<ssize_t>(text.size()))
		GTEST_SKIP() << "the test directory's file system keeps its "
				"files in memory (tmpfs): nothing to wait for";
	EXPECT_TRUE(cold == -1 ? error == EAGAIN : cold >= 0 &&
	    cold < static_cast<ssize_t>(text.size())) << cold << " " << strerror(error);
}

TEST(OsProcess, ProcessorsErrorTextAndProgramName)
{
	const long online = sysconf(_SC_NPROCESSORS_ONLN);
	EXPECT_GE(os_processors(), 1u);
	EXPECT_LE(os_processors(), static_cast<size_t>(std::max(online, 1L)));

	for (int error : {EIO, ENOENT, EEXIST, EXDEV, 0, 99999}) {
		char buf[128];
		EXPECT_STREQ(os_error_text(error, buf, sizeof buf), strerror(error));
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
		EXPECT_STREQ(os_program_name(), n.name);
	}
	os_set_program_name(saved.c_str());
}

}  // namespace
