// readme_test.cpp: the README's common tasks, run as written on a
// generated queue mounted at the default queue path, so that neither the
// README nor the tool can change without the other.
#include "support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using test::Result;

namespace {

const std::string source_dir = SPOOLSIFT_SOURCE_DIR;

std::string trimmed(const std::string &line)
{
	size_t first = line.find_first_not_of(" \t");
	size_t last = line.find_last_not_of(" \t");
	return first == std::string::npos ? "" :
	    line.substr(first, last - first + 1);
}

// The message number the restore block sets with "n=".
std::string restored_number(const std::string &block)
{
	std::istringstream lines(block);
	for (std::string line; std::getline(lines, line);) {
		if (line.rfind("n=", 0) != 0)
			continue;
		size_t end = line.find_first_not_of("0123456789", 2);
		return line.substr(2, end == std::string::npos ? end : end - 2);
	}
	return "";
}

std::string base_name(const std::string &path)
{
	return path.substr(path.rfind('/') + 1);
}

const char *const message_dirs[] = {"mess", "local", "remote", "info",
    "intd", "todo", "bounce"};

bool in_message_dir(const std::string &path)
{
	return std::any_of(std::begin(message_dirs), std::end(message_dirs),
	    [&](const char *d) { return path.rfind(std::string(d) + "/", 0) == 0; });
}

// A bounce as qmail-send queues it: MAILER-DAEMON writes to the sender
// of the failed message, with a copy of that message below.
std::string bounce_to(const std::string &rcpt)
{
	return "Received: (qmail 4242 invoked for bounce); 9 Dec 2026 "
	       "06:00:00 -0000\nDate: 9 Dec 2026 06:00:00 -0000\n"
	       "From: MAILER-DAEMON@mail.example.com\nTo: " + rcpt +
	    "\nSubject: failure notice\n\nHi. This is the qmail-send "
	    "program at mail.example.com.\nI'm afraid I wasn't able to "
	    "deliver your message to the following addresses.\n\n"
	    "<nobody@example.org>:\nSorry, no mailbox here by that name. "
	    "(#5.1.1)\n\n--- Below this line is a copy of the message.\n\n"
	    "Return-Path: <" + rcpt + ">\nFrom: " + rcpt +
	    "\nTo: nobody@example.org\nSubject: hello\n\nhello\n";
}

class CommonTasks : public ::testing::Test {
protected:
	void SetUp() override
	{
		if (!test::can_unshare_mount())
			GTEST_SKIP() << "needs a private mount namespace (root) "
			    "to mount a test queue at the default path";
		tasks_ = test::readme_common_tasks(source_dir + "/README.md");
		queue_ = tmp_.path() + "/queue";
		Result made = test::run_program(test::mkqueue_bin,
		    {"-n", "200", queue_});
		ASSERT_EQ(made.status, 0) << made.err;
		// svc stands in for daemontools and notes what it was told.
		const std::string bin = tmp_.path() + "/bin";
		test::make_dirs(bin);
		ASSERT_EQ(symlink(test::spoolsift_bin.c_str(),
		    (bin + "/spoolsift").c_str()), 0);
		test::write_file(bin + "/svc",
		    "#!/bin/sh\necho \"$*\" >> " + tmp_.path() + "/svc.log\n");
		ASSERT_EQ(chmod((bin + "/svc").c_str(), 0755), 0);
		path_ = bin;

		for (const auto &[path, e] : test::tree_snapshot(queue_))
			if (path.rfind("mess/", 0) == 0 && S_ISREG(e.mode) &&
			    test::read_file(queue_ + "/" + path)->find(
				"\nSubject: Your jackpot") != std::string::npos)
				spam_.insert(base_name(path));
		ASSERT_EQ(spam_.size(), 10u);
	}

	// Runs the README's block for title as root's shell would, with the
	// test queue mounted at /var/qmail/queue.
	Result task(const std::string &title)
	{
		auto it = tasks_.find(title);
		if (it == tasks_.end()) {
			ADD_FAILURE() << "README has no common task \"" << title
			    << "\" with an sh block";
			return {};
		}
		return test::run_at_default_queue(it->second, queue_, path_);
	}

	std::string svc_log() const
	{
		return test::read_file(tmp_.path() + "/svc.log").value_or("");
	}

	void put(const std::string &rel, const std::string &content)
	{
		ASSERT_FALSE(test::exists(queue_ + "/" + rel)) << rel;
		test::make_dirs(fs::path(queue_ + "/" + rel).parent_path());
		test::write_file(queue_ + "/" + rel, content);
	}

	test::TempDir tmp_;
	std::string queue_, path_;
	std::map<std::string, std::string> tasks_;
	std::set<std::string> spam_;	// message numbers
};

}  // namespace

TEST_F(CommonTasks, FindSpamBySubjectPrintsExactlyTheSpamNumbers)
{
	const std::string before = test::tree_listing(queue_);
	Result r = task("Find spam by subject");
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(test::sorted_lines(r.out),
	    std::vector<std::string>(spam_.begin(), spam_.end()));
	EXPECT_EQ(r.err, "10 file(s) match\n");
	EXPECT_EQ(test::tree_listing(queue_), before);
}

TEST_F(CommonTasks, YankItMovesEveryFileOfTheSpamAndNothingElse)
{
	const auto before = test::tree_snapshot(queue_);
	Result r = task("Yank it");
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(svc_log(), "-d /service/qmail-send\n-u /service/qmail-send\n");
	const auto after = test::tree_snapshot(queue_);

	size_t moved = 0;
	for (const auto &[path, e] : before) {
		if (!S_ISREG(e.mode))
			continue;
		const std::string n = base_name(path);
		if (in_message_dir(path) && spam_.count(n) != 0) {
			const std::string d = path.substr(0, path.find('/'));
			auto yanked = after.find("yanked/" + n + "." + d);
			EXPECT_EQ(after.count(path), 0u) << path << " left";
			ASSERT_NE(yanked, after.end()) << path << " lost";
			EXPECT_EQ(yanked->second.digest, e.digest) << path;
			EXPECT_EQ(yanked->second.mtime.tv_sec, e.mtime.tv_sec);
			moved++;
			continue;
		}
		auto kept = after.find(path);
		ASSERT_NE(kept, after.end()) << path << " went missing";
		EXPECT_EQ(kept->second.digest, e.digest) << path;
	}
	EXPECT_GE(moved, 2 * spam_.size());
	size_t reported = 0;
	for (size_t at = 0; (at = r.err.find("\nmoved ", at)) !=
	     std::string::npos; at++)
		reported++;
	EXPECT_EQ(reported + (r.err.rfind("moved ", 0) == 0), moved) << r.err;
	EXPECT_NE(r.err.find("10 file(s) match\n"), std::string::npos);
}

TEST_F(CommonTasks, CheckWhatWasYankedShowsEachSubject)
{
	std::vector<std::string> want;
	for (const std::string &n : spam_) {
		std::string text;
		for (const auto &[path, e] : test::tree_snapshot(queue_ + "/mess"))
			if (base_name(path) == n)
				text = *test::read_file(queue_ + "/mess/" + path);
		size_t at = text.find("\nSubject:") + 1;
		want.push_back(n + ".mess:" +
		    text.substr(at, text.find('\n', at) - at));
	}
	std::sort(want.begin(), want.end());
	ASSERT_EQ(task("Yank it").status, 0);

	Result r = task("Check what was yanked");
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(test::sorted_lines(r.out), want);
}

TEST_F(CommonTasks, RestoreOneMessagePutsItBackAsItWas)
{
	const std::string n = restored_number(tasks_["Restore one message"]);
	ASSERT_FALSE(n.empty()) << tasks_["Restore one message"];
	ASSERT_EQ(spam_.count(n), 1u) << n << " is no spam of the sample";
	const auto before = test::tree_snapshot(queue_);
	ASSERT_EQ(task("Yank it").status, 0);
	const auto yanked = test::tree_snapshot(queue_);

	Result r = task("Restore one message");
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.err, "");
	const auto after = test::tree_snapshot(queue_);
	size_t back = 0;
	for (const auto &[path, e] : before) {
		if (!S_ISREG(e.mode) || base_name(path) != n)
			continue;
		auto now = after.find(path);
		ASSERT_NE(now, after.end()) << path << " not restored";
		EXPECT_EQ(now->second.digest, e.digest) << path;
		EXPECT_EQ(now->second.mtime.tv_sec, e.mtime.tv_sec) << path;
		EXPECT_EQ(now->second.mode, e.mode) << path;
		back++;
	}
	EXPECT_GE(back, 2u);
	// The other yanked messages stay where they are.
	for (const auto &[path, e] : yanked) {
		if (path.rfind("yanked/", 0) != 0 || !S_ISREG(e.mode))
			continue;
		bool mine = base_name(path).rfind(n + ".", 0) == 0;
		EXPECT_EQ(after.count(path), mine ? 0u : 1u) << path;
	}
	EXPECT_EQ(svc_log(), "-d /service/qmail-send\n-u /service/qmail-send\n"
	    "-d /service/qmail-send\n-u /service/qmail-send\n");
}

TEST_F(CommonTasks, RestoreKeepsAFileWhosePlaceIsTaken)
{
	const std::string n = restored_number(tasks_["Restore one message"]);
	ASSERT_FALSE(n.empty());
	ASSERT_EQ(task("Yank it").status, 0);
	// qmail has since queued a new message under the same number.
	const std::string mess_place =
	    "mess/" + std::to_string(std::stoul(n) % 23) + "/" + n;
	test::write_file(queue_ + "/" + mess_place, "a newer message\n");
	const auto yanked = test::tree_snapshot(queue_);

	Result r = task("Restore one message");
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.err, mess_place + " exists, yanked/" + n + ".mess kept\n");
	const auto after = test::tree_snapshot(queue_);
	EXPECT_EQ(after.at(mess_place).digest, yanked.at(mess_place).digest);
	EXPECT_EQ(after.at("yanked/" + n + ".mess").digest,
	    yanked.at("yanked/" + n + ".mess").digest);
	// The message's other files went back all the same.
	for (const auto &[path, e] : yanked) {
		if (path.rfind("yanked/" + n + ".", 0) == 0 &&
		    path != "yanked/" + n + ".mess") {
			EXPECT_EQ(after.count(path), 0u) << path;
		}
	}
}

TEST_F(CommonTasks, ExpireASendersBouncesBackDatesOnlyTheirInfoFiles)
{
	// Bounces to the sender, one still in todo with no info file yet;
	// then a bounce to someone else, one to a longer address that ends
	// the same, and the sender's own mail.
	put("mess/5/51", bounce_to("alice@example.net"));
	put("info/5/51", std::string("F\0", 2));
	put("remote/5/51", std::string("Talice@example.net\0", 19));
	put("mess/5/74", bounce_to("alice@example.net"));
	put("info/5/74", std::string("F\0", 2));
	put("local/5/74", std::string("Talice@example.net\0", 19));
	put("mess/8/54", bounce_to("alice@example.net"));
	put("todo/54", "");
	put("mess/6/52", bounce_to("bob@example.org"));
	put("info/6/52", std::string("F\0", 2));
	put("mess/9/55", bounce_to("malice@example.net"));
	put("info/9/55", std::string("F\0", 2));
	put("mess/7/53", "Received: (qmail 7 invoked by uid 1000); 9 Dec "
	    "2026 06:00:00 -0000\nFrom: Alice <alice@example.net>\n"
	    "To: alice@example.net\nSubject: failure notice\n\nfyi\n");
	put("info/7/53", std::string("Falice@example.net\0", 19));
	const auto before = test::tree_snapshot(queue_);
	const std::set<std::string> expired = {"info/5/51", "info/5/74"};
	auto listing_without_expired = [&] {
		std::string text;
		for (const std::string &line : test::sorted_lines(
			 test::tree_listing(queue_)))
			if (expired.count(line.substr(1, line.find(' ') - 1)) == 0)
				text += line + "\n";
		return text;
	};
	const std::string others = listing_without_expired();

	Result r = task("Expire a sender's bounces");
	EXPECT_EQ(r.status, 0) << r.err;
	std::vector<std::string> yes;
	for (const std::string &line : test::sorted_lines(r.out))
		if (line.size() > 5 && line.substr(line.size() - 5) == ": yes")
			yes.push_back(line.substr(0, line.size() - 5));
	EXPECT_EQ(yes, (std::vector<std::string>{"51", "54", "74"}));
	EXPECT_NE(r.err.find("Set timestamp on info/5/51 \n"),
	    std::string::npos) << r.err;
	EXPECT_NE(r.err.find("\n3 file(s) match\n"), std::string::npos);

	const auto after = test::tree_snapshot(queue_);
	const int64_t week = run_settings{}.expire_secs;
	for (const std::string &info : expired) {
		EXPECT_EQ(after.at(info).mtime.tv_sec,
		    before.at(info).ctime.tv_sec - week) << info;
		EXPECT_EQ(after.at(info).atime.tv_sec,
		    before.at(info).mtime.tv_sec - week) << info;
		EXPECT_EQ(after.at(info).digest, before.at(info).digest);
	}
	EXPECT_EQ(listing_without_expired(), others);
	EXPECT_EQ(svc_log(), "-a /service/qmail-send\n");
}

TEST(ReadmeAndManual, ShowTheSameRestoreLoopAndBounceCommand)
{
	std::map<std::string, std::string> tasks =
	    test::readme_common_tasks(source_dir + "/README.md");
	std::set<std::string> page_lines;
	std::istringstream page(
	    test::read_file(source_dir + "/man/spoolsift.8").value_or(""));
	for (std::string line; std::getline(page, line);) {
		for (size_t at; (at = line.find("\\e")) != std::string::npos;)
			line.replace(at, 2, "\\");
		page_lines.insert(trimmed(line));
	}
	for (const char *title : {"Restore one message",
		 "Expire a sender's bounces"}) {
		ASSERT_EQ(tasks.count(title), 1u) << title;
		std::istringstream block(tasks[title]);
		for (std::string line; std::getline(block, line);) {
			if (line.rfind("svc ", 0) != 0) {
				EXPECT_EQ(page_lines.count(trimmed(line)), 1u)
				    << "the manual page lacks: " << line;
			}
		}
	}
}
