// The walk of mess against the C library's file-tree walker, whose order
// and reports the listing has always had: the same files in the same
// order, each read through its directory, and the same reports, on trees
// of every shape, as root and as nobody.
#include "mess_walk.h"
#include "support.h"

#include <fcntl.h>
#include <fts.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

// Present only in a build with --coverage: writes the counters, which a
// child ending with _exit would otherwise lose.
extern "C" void __gcov_dump() __attribute__((weak));

namespace {

using test::Result;

// Every test file holds its own path from the queue ("mess/8/100"), so
// that a file read through the wrong directory shows.
std::string checked(int dir, const char *name, const std::string &path)
{
	int fd = openat(dir, name, O_RDONLY | O_NOFOLLOW);
	if (fd == -1)
		return std::string(" unreadable: ") + strerror(errno);
	char buf[4096];
	ssize_t n = read(fd, buf, sizeof buf);
	close(fd);
	return n >= 0 && std::string(buf, static_cast<size_t>(n)) == path
	    ? "" : " holds something else";
}

// The walker's steps from the queue directory, one line each: "file
// PATH" with the check of its content, or "error PATH: TEXT".
std::string fts_steps()
{
	char root[] = "mess";
	char *roots[] = {root, nullptr};
	FTS *fts = fts_open(roots, FTS_PHYSICAL, nullptr);
	if (fts == nullptr)
		return "fts_open failed\n";
	std::string out;
	while (FTSENT *e = fts_read(fts)) {
		if (e->fts_info == FTS_DNR || e->fts_info == FTS_ERR ||
		    e->fts_info == FTS_NS)
			out += std::string("error ") + e->fts_path + ": " +
			    strerror(e->fts_errno) + "\n";
		else if (e->fts_info == FTS_F)
			out += std::string("file ") + e->fts_path +
			    checked(AT_FDCWD, e->fts_accpath, e->fts_path) + "\n";
	}
	fts_close(fts);
	return out;
}

std::string mess_walk_steps()
{
	mess_walk walk;
	if (walk.start("mess") == -1)
		return "cannot start\n";
	std::string out;
	walk_step s;
	while (walk.next(s)) {
		if (s.error != 0) {
			out += "error " + s.path + ": " + strerror(s.error) + "\n";
			continue;
		}
		const std::string path = s.dir->path.empty()
		    ? std::string(s.name) : s.dir->path + "/" + s.name;
		out += "file " + path + checked(s.dir->fd.get(), s.name, path) +
		    "\n";
	}
	return out;
}

class WalkAgainstFts : public test::QueueRun {
protected:
	// Both walks of the queue, in a child, as nobody when asked: the
	// walker's steps, then mess_walk's. The child also says if
	// mess_walk moved its working directory.
	std::pair<std::string, std::string> walks(bool nobody)
	{
		if (nobody) {
			if (geteuid() != 0)
				return {"", "needs root to walk as nobody"};
			EXPECT_EQ(chmod(tmp_.path().c_str(), 0755), 0);
		}
		int out[2];
		EXPECT_EQ(pipe(out), 0);
		pid_t pid = fork();
		if (pid == 0) {
			close(out[0]);
			if (chdir(queue_.c_str()) == -1 ||
			    (nobody && (setgroups(0, nullptr) == -1 ||
				setgid(65534) == -1 ||
				setuid(65534) == -1)))
				_exit(2);
			std::string text = mess_walk_steps();
			struct stat here, queue;
			if (stat(".", &here) == -1 ||
			    stat(queue_.c_str(), &queue) == -1 ||
			    here.st_ino != queue.st_ino)
				text += "moved the working directory\n";
			text = fts_steps() + '\0' + text;
			for (size_t at = 0; at < text.size();) {
				ssize_t n = write(out[1], text.data() + at,
				    text.size() - at);
				if (n <= 0)
					_exit(3);
				at += static_cast<size_t>(n);
			}
			if (__gcov_dump != nullptr && !nobody)
				__gcov_dump();
			_exit(0);
		}
		close(out[1]);
		std::string got;
		char buf[65536];
		ssize_t n;
		while ((n = read(out[0], buf, sizeof buf)) > 0)
			got.append(buf, static_cast<size_t>(n));
		close(out[0]);
		int st = 0;
		waitpid(pid, &st, 0);
		EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
		size_t nul = got.find('\0');
		if (nul == std::string::npos)
			return {got, "no answer"};
		return {got.substr(0, nul), got.substr(nul + 1)};
	}

public:
	// A file whose content is its own path.
	void file(const std::string &rel) { put(rel, rel); }
};

// A tree shape, whether to walk it as nobody, and how many files and
// errors the walker reports on it.
struct shape {
	const char *what;
	bool nobody;
	size_t files, errors;
	std::function<void(WalkAgainstFts &, const std::string &)> make;
};

TEST_F(WalkAgainstFts, SameFilesSameOrderSameReports)
{
	auto chmod_ok = [](const std::string &p, mode_t m) {
		ASSERT_EQ(chmod(p.c_str(), m), 0) << p;
	};
	const std::vector<shape> shapes = {
	    {"every kind of entry at every depth", false, 10, 0,
		[](WalkAgainstFts &t, const std::string &q) {
			for (const char *f : {"mess/8/100", "mess/0/46",
				 "mess/12345", "mess/.hidden", "mess/8/.x",
				 "mess/3/deeper/still/7", "mess/3/9",
				 "mess/3/deeper/8", "mess/..dots"})
				t.file(f);
			test::make_dirs(q + "/mess/4/empty");
			ASSERT_EQ(symlink("100", (q + "/mess/8/200").c_str()), 0);
			ASSERT_EQ(symlink("../3", (q + "/mess/8/201").c_str()), 0);
			ASSERT_EQ(symlink("nowhere", (q + "/mess/8/202").c_str()), 0);
			ASSERT_EQ(mkfifo((q + "/mess/8/203").c_str(), 0644), 0);
			ASSERT_EQ(link((q + "/mess/8/100").c_str(),
				      (q + "/mess/9/100").c_str()), 0);
			int s = socket(AF_UNIX, SOCK_STREAM, 0);
			sockaddr_un a{};
			a.sun_family = AF_UNIX;
			const std::string sp = q + "/mess/8/204";
			ASSERT_LT(sp.size(), sizeof a.sun_path);
			strcpy(a.sun_path, sp.c_str());
			ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&a),
				      sizeof a), 0);
			close(s);
		}},
	    {"a directory read in many pieces", false, 3003, 0,
		[](WalkAgainstFts &t, const std::string &) {
			for (int i = 0; i < 3000; i++) {
				t.file("mess/7/" + std::to_string(1000000000 + i));
				if (i % 1000 == 500)
					t.file("mess/7/sub" + std::to_string(i) +
					    "/" + std::to_string(i));
			}
		}},
	    {"directories nobody may read or search", true, 1, 2,
		[chmod_ok](WalkAgainstFts &t, const std::string &q) {
			t.file("mess/5/28");		// not readable
			t.file("mess/6/29");		// not searchable
			t.file("mess/6/sub/30");
			ASSERT_EQ(symlink("29", (q + "/mess/6/31").c_str()), 0);
			t.file("mess/7/32");		// not listable
			test::make_dirs(q + "/mess/9/empty");
			t.file("mess/8/100");
			ASSERT_EQ(test::run_program("/bin/chmod",
				      {"-R", "a+rX", q}).status, 0);
			chmod_ok(q + "/mess/5", 0);
			chmod_ok(q + "/mess/6", 0444);
			chmod_ok(q + "/mess/7", 0111);
			chmod_ok(q + "/mess/9/empty", 0444);
			chmod_ok(q + "/mess/8/100", 0);
		}},
	    {"a root nobody may search", true, 0, 0,
		[chmod_ok](WalkAgainstFts &t, const std::string &q) {
			t.file("mess/8/100");
			ASSERT_EQ(test::run_program("/bin/chmod",
				      {"-R", "a+rX", q}).status, 0);
			chmod_ok(q + "/mess", 0444);
		}},
	    {"a root nobody may read", true, 0, 1,
		[chmod_ok](WalkAgainstFts &t, const std::string &q) {
			t.file("mess/8/100");
			ASSERT_EQ(test::run_program("/bin/chmod",
				      {"-R", "a+rX", q}).status, 0);
			chmod_ok(q + "/mess", 0111);
		}},
	    {"no root", false, 0, 1,
		[](WalkAgainstFts &, const std::string &q) {
			ASSERT_EQ(rename((q + "/mess").c_str(),
				      (q + "/old").c_str()), 0);
		}},
	    {"a root that is a link to a directory", false, 0, 0,
		[](WalkAgainstFts &t, const std::string &q) {
			t.file("mess/8/100");
			ASSERT_EQ(rename((q + "/mess").c_str(),
				      (q + "/old").c_str()), 0);
			ASSERT_EQ(symlink("old", (q + "/mess").c_str()), 0);
		}},
	    {"a root that is a file", false, 1, 0,
		[](WalkAgainstFts &t, const std::string &q) {
			test::run_program("/bin/rm", {"-r", q + "/mess"});
			t.file("mess");
		}},
	    {"a root that is a pipe", false, 0, 0,
		[](WalkAgainstFts &, const std::string &q) {
			test::run_program("/bin/rm", {"-r", q + "/mess"});
			ASSERT_EQ(mkfifo((q + "/mess").c_str(), 0644), 0);
		}},
	};
	for (const shape &s : shapes) {
		SCOPED_TRACE(s.what);
		TearDown();
		test::run_program("/bin/rm", {"-rf", queue_});
		SetUp();
		s.make(*this, queue_);
		auto [fts, ours] = walks(s.nobody);
		if (ours == "needs root to walk as nobody")
			continue;
		EXPECT_EQ(ours, fts);
		size_t files = 0, errors = 0;
		for (const std::string &line : test::lines_of(fts)) {
			files += line.starts_with("file ");
			errors += line.starts_with("error ");
		}
		EXPECT_EQ(files, s.files);
		EXPECT_EQ(errors, s.errors);
	}
}

// A file system that keeps no kinds in its directories (ext2 without
// its filetype feature): each entry's kind comes from its inode, and the
// listing is the same as anywhere else.
TEST_F(WalkAgainstFts, KindsComeFromTheInodeWhereDirectoriesKeepNone)
{
	const std::string image = tmp_.path() + "/ext2.img";
	const std::string mount = "truncate -s 8M '" + image + "'\n"
	    "mke2fs -q -F -t ext2 -O ^filetype '" + image + "'\n"
	    "mount -o loop '" + image + "' '" + qpath("mess") + "'\n"
	    "cd '" + qpath("mess") + "'\n";
	Result probe = test::run_with_private_mounts(mount, {"-h"});
	if (probe.status != 1 || !probe.err.starts_with("spoolsift [options]"))
		GTEST_SKIP() << "no ext2 image on a loop device here: "
			     << probe.err;
	const std::string tree = mount +
	    "mkdir -p 8 3/deeper\n"
	    "printf x > 8/100; printf x > 8/.hidden; printf x > 3/deeper/7\n"
	    "ln -s 100 8/200; ln -s ../3 8/201; mkfifo 8/202\n"
	    "ln 8/100 46\n";
	Result r = test::run_with_private_mounts(tree, {"-q", queue_});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(test::sorted_lines(r.out), (std::vector<std::string>{
	    ".hidden: yes", "100: yes", "46: yes", "7: yes"}));
	EXPECT_EQ(r.err, "4 file(s) match\n");
}

// --- the listing of the walk, end to end -----------------------------------

using test::QueueRun;

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

// qmail removes a delivered message's file while the walk is in its
// directory: the walk passes over it, whether it has the kinds from the
// directory (the file is handed out, and its reader finds it gone) or
// must look at each entry itself (the file is not there to look at).
// Never an error, which would fail the run.
TEST_F(Walk, AFileGoneSinceItsDirectoryWasReadIsNoError)
{
	put("mess/8/100", "a");
	put("mess/8/101", "b");
	mess_walk walk;
	ASSERT_EQ(walk.start(qpath("mess").c_str()), 0);
	walk_step first;
	ASSERT_TRUE(walk.next(first));
	ASSERT_EQ(first.error, 0);
	const std::string other = std::string(first.name) == "100" ? "101" : "100";
	ASSERT_EQ(unlink(qpath("mess/8/" + other).c_str()), 0);
	walk_step s;
	while (walk.next(s)) {
		EXPECT_EQ(s.error, 0) << s.path << ": " << strerror(s.error);
		EXPECT_EQ(s.name, other);
	}
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

// A file or a FIFO in place of mess holds no queue either: the search
// did not happen, whatever is listed. A file there is listed by its
// name and, being no message number, never acted on.
TEST_F(Walk, MessThatIsNoDirectoryFailsTheRun)
{
	const struct {
		bool fifo;
		std::vector<std::string> args;
		std::string out, err;
	} cases[] = {
		{false, {}, "mess: yes\n", "1 file(s) match\n"},
		{false, {"-d"}, "mess: yes\n", "mess doesn't look like an inode "
		    "number\n0 message(s) deleted, 1 left alone, 0 failed\n"
		    "1 file(s) match\n"},
		{true, {}, "", "0 file(s) match\n"},
	};
	ASSERT_EQ(rename(qpath("mess").c_str(), qpath("mess.old").c_str()), 0);
	for (const auto &c : cases) {
		std::filesystem::remove(qpath("mess"));
		if (c.fifo)
			ASSERT_EQ(mkfifo(qpath("mess").c_str(), 0600), 0);
		else
			put("mess", "x");
		std::vector<std::string> args = {"-q", queue_};
		args.insert(args.end(), c.args.begin(), c.args.end());
		Result r = run(args);
		EXPECT_EQ(r.status, 1) << c.err;
		EXPECT_EQ(r.out, c.out);
		EXPECT_EQ(r.err, c.err);
		EXPECT_TRUE(has("mess"));
	}
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

}  // namespace
