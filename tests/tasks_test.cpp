// tasks_test.cpp: the common tasks of doc/tasks.md, run as written on a
// generated queue mounted at the default queue path, so that neither the
// page nor the tool can change without the other.
#include "support.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
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
const std::string tasks_page = source_dir + "/doc/tasks.md";

std::string trimmed(const std::string &line)
{
	size_t first = line.find_first_not_of(" \t");
	size_t last = line.find_last_not_of(" \t");
	return first == std::string::npos ? "" :
	    line.substr(first, last - first + 1);
}

// The message number the restore block sets with "n=".
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

// The NUL-ended records of an envelope file, each with its type letter.
std::vector<std::string> records(const std::string &data)
{
	std::vector<std::string> out;
	for (size_t at = 0, end; at < data.size(); at = end + 1) {
		end = data.find('\0', at);
		if (end == std::string::npos)
			end = data.size();
		out.push_back(data.substr(at, end - at));
	}
	return out;
}

std::string nul_ended(const std::vector<std::string> &recs)
{
	std::string data;
	for (const std::string &r : recs)
		data += r + std::string(1, '\0');
	return data;
}

// The lines of standard output that say "yes", without it.
std::vector<std::string> yes_lines(const std::string &out)
{
	std::vector<std::string> yes;
	for (const std::string &line : test::sorted_lines(out))
		if (line.size() > 5 && line.substr(line.size() - 5) == ": yes")
			yes.push_back(line.substr(0, line.size() - 5));
	return yes;
}

class CommonTasks : public ::testing::Test {
protected:
	void SetUp() override
	{
		if (!test::can_unshare_mount())
			GTEST_SKIP() << "needs a private mount namespace (root) "
			    "to mount a test queue at the default path";
		tasks_ = test::common_tasks(tasks_page);
		queue_ = tmp_.path() + "/queue";
		Result made = test::run_program(test::mkqueue_bin,
		    {"-n", "200", queue_});
		ASSERT_EQ(made.status, 0) << made.err;
		// svc and svstat stand in for daemontools: svc notes what it
		// was told, svstat says the service is down.
		const std::string bin = tmp_.path() + "/bin";
		test::make_dirs(bin);
		ASSERT_EQ(symlink(test::spoolsift_bin.c_str(),
		    (bin + "/spoolsift").c_str()), 0);
		ASSERT_EQ(symlink(test::restore_bin.c_str(),
		    (bin + "/spoolsift-restore").c_str()), 0);
		test::write_file(bin + "/svc",
		    "#!/bin/sh\necho \"$*\" >> " + tmp_.path() + "/svc.log\n");
		test::write_file(bin + "/svstat",
		    "#!/bin/sh\necho \"$1: down 3 seconds, normally up\"\n");
		ASSERT_EQ(chmod((bin + "/svc").c_str(), 0755), 0);
		ASSERT_EQ(chmod((bin + "/svstat").c_str(), 0755), 0);
		path_ = bin;

		for (const auto &[path, e] : test::tree_snapshot(queue_))
			if (path.rfind("mess/", 0) == 0 && S_ISREG(e.mode) &&
			    test::read_file(queue_ + "/" + path)->find(
				"\nSubject: Your jackpot") != std::string::npos)
				spam_.insert(base_name(path));
		ASSERT_EQ(spam_.size(), 10u);
	}

	// Runs the page's block for title as root's shell would, with the
	// test queue mounted at /var/qmail/queue.
	Result task(const std::string &title)
	{
		auto it = tasks_.find(title);
		if (it == tasks_.end()) {
			ADD_FAILURE() << "doc/tasks.md has no task \"" << title
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

	std::string read(const std::string &rel) const
	{
		return test::read_file(queue_ + "/" + rel).value_or("");
	}

	static std::string hashed(const char *dir, const std::string &n)
	{
		return std::string(dir) + "/" + std::to_string(std::stoul(n) %
		    23) + "/" + n;
	}

	// The envelope records of message n as qmail keeps them: all in
	// todo until qmail-send has seen it, then the sender in info and
	// the recipients in local and remote.
	std::vector<std::string> envelope(const std::string &n) const
	{
		if (test::exists(queue_ + "/todo/" + n))
			return records(read("todo/" + n));
		std::vector<std::string> recs;
		for (const char *d : {"info", "local", "remote"})
			if (test::exists(queue_ + "/" + hashed(d, n)))
				for (const std::string &r : records(read(hashed(d, n))))
					recs.push_back(r);
		return recs;
	}

	// After an expire task: each info file in expired is a week older,
	// counted from its status-change time; every other entry is as it
	// was in before.
	void expect_expired(const test::tree &before,
	    const std::set<std::string> &expired, const std::string &err)
	{
		const auto after = test::tree_snapshot(queue_);
		const int64_t week = run_settings{}.expire_secs;
		for (const std::string &info : expired) {
			EXPECT_EQ(after.at(info).mtime.tv_sec,
			    before.at(info).ctime.tv_sec - week) << info;
			EXPECT_EQ(after.at(info).atime.tv_sec,
			    before.at(info).mtime.tv_sec - week) << info;
			EXPECT_EQ(after.at(info).digest, before.at(info).digest);
			EXPECT_NE(err.find("Set timestamp on " + info + " \n"),
			    std::string::npos) << info;
		}
		for (const auto &[path, e] : before) {
			if (expired.count(path) != 0 || !S_ISREG(e.mode))
				continue;
			auto now = after.find(path);
			ASSERT_NE(now, after.end()) << path;
			EXPECT_EQ(now->second.digest, e.digest) << path;
			EXPECT_EQ(now->second.mtime.tv_sec, e.mtime.tv_sec) << path;
			EXPECT_EQ(now->second.mode, e.mode) << path;
		}
		EXPECT_EQ(after.size(), before.size());
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

// The extended Subject pattern the page gives for folded headers finds
// the word on a continuation line too, and still only in the Subject.
TEST_F(CommonTasks, FoldedSubjectPatternFindsTheWordOnAContinuationLine)
{
	std::string command;
	std::istringstream page(test::read_file(tasks_page).value_or(""));
	for (std::string line; std::getline(page, line);)
		if (line.find("-p \"$(printf '\\nSubject:([^") != std::string::npos)
			command = trimmed(line);
	ASSERT_FALSE(command.empty())
	    << "doc/tasks.md gives no folded-Subject pattern";
	put("mess/8/100", "Received: x\nSubject: Your weekly\n\tJackpot is in\n"
	    "\nbody\n");
	put("mess/9/101", "Received: x\nSubject: minutes\nX-Note: jackpot\n\n");
	Result r = test::run_at_default_queue(command, queue_, path_);
	EXPECT_EQ(r.status, 0) << r.err;
	std::set<std::string> want = spam_;
	want.insert("100");
	const std::vector<std::string> got = yes_lines(r.out);
	EXPECT_EQ(std::set<std::string>(got.begin(), got.end()), want);
}

TEST_F(CommonTasks, YankItMovesEveryFileOfTheSpamAndNothingElse)
{
	const auto before = test::tree_snapshot(queue_);
	Result r = task("Yank it");
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(svc_log(), "-d /service/qmail-send\n-u /service/qmail-send\n");
	// Both channels go to the terminal and the record, in order.
	EXPECT_EQ(r.err, "");
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
	for (size_t at = 0; (at = r.out.find("\nmoved ", at)) !=
	     std::string::npos; at++)
		reported++;
	EXPECT_EQ(reported, moved) << r.out;
	EXPECT_TRUE(r.out.ends_with("10 message(s) yanked, 0 left alone, "
	    "0 failed\n10 file(s) match\n")) << r.out;
}

// The commands of the README's safe workflow, run in order as one
// script. While qmail-send still holds its lock (svc -d asks it to stop;
// it finishes its deliveries first) the yank is refused and changes
// nothing, as the README says; once it is down the same commands yank
// the spam.
TEST_F(CommonTasks, ReadmeWorkflowIsRefusedUntilQmailSendIsDownThenYanks)
{
	std::string script;
	bool in_section = false;
	std::istringstream readme(test::read_file(source_dir + "/README.md")
	    .value_or(""));
	for (std::string line; std::getline(readme, line);) {
		if (line.rfind("## ", 0) == 0)
			in_section = line == "## The safe workflow";
		else if (in_section && line.rfind("The rules", 0) == 0)
			break;
		else if (in_section && line.rfind("       ", 0) == 0)
			script += line.substr(7) + "\n";
	}
	ASSERT_NE(script.find("spoolsift -r "), std::string::npos) << script;
	const std::string running = "FATAL: qmail-send is running (it holds "
	    "lock/sendmutex); stop it before -r or -d (-x and -X are safe "
	    "while it runs).\n";

	const std::string messages = test::tree_listing(queue_ + "/mess");
	int sender = open((queue_ + "/lock/sendmutex").c_str(),
	    O_RDONLY | O_CLOEXEC);
	ASSERT_NE(sender, -1);
	ASSERT_EQ(flock(sender, LOCK_EX | LOCK_NB), 0);
	Result r = test::run_at_default_queue(script, queue_, path_);
	close(sender);
	EXPECT_EQ(r.status, 0) << r.err;	// tee's
	EXPECT_EQ(r.out.substr(r.out.size() - running.size()), running);
	EXPECT_EQ(yes_lines(r.out), std::vector<std::string>(spam_.begin(),
	    spam_.end()));
	EXPECT_EQ(r.err, "10 file(s) match\n");
	EXPECT_EQ(test::tree_listing(queue_ + "/mess"), messages);
	EXPECT_EQ(test::tree_listing(queue_ + "/yanked"), "");

	r = test::run_at_default_queue(script, queue_, path_);
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_TRUE(r.out.ends_with("10 message(s) yanked, 0 left alone, "
	    "0 failed\n10 file(s) match\n")) << r.out;
	for (const std::string &n : spam_) {
		EXPECT_TRUE(test::exists(queue_ + "/yanked/" + n + ".mess")) << n;
		EXPECT_FALSE(test::exists(queue_ + "/" + hashed("mess", n))) << n;
	}
	EXPECT_EQ(svc_log(), "-d /service/qmail-send\n-u /service/qmail-send\n"
	    "-d /service/qmail-send\n-u /service/qmail-send\n");
}

// The review recipe on a queue named as qmail-queue names it (each
// message after its text's inode): the listing has one line per yanked
// message, the false positive comes back as it was, and the rest is
// gone. When the false positive cannot come back (here, qmail has a file
// at its place), nothing is removed: the yank directory stays whole for
// another look.
TEST_F(CommonTasks, ReviewAYankPutsBackTheFalsePositivesAndRemovesTheRest)
{
	for (bool refused : {false, true}) {
		SCOPED_TRACE(refused ? "restore refused" : "restored");
		test::run_program("/bin/rm", {"-rf", queue_,
		    tmp_.path() + "/svc.log"});
		Result made = test::run_program(test::mkqueue_bin,
		    {"-i", "-n", "200", queue_});
		ASSERT_EQ(made.status, 0) << made.err;
		spam_.clear();
		for (const auto &[path, e] : test::tree_snapshot(queue_))
			if (path.rfind("mess/", 0) == 0 && S_ISREG(e.mode) &&
			    read(path).find("\nSubject: Your jackpot") !=
				std::string::npos)
				spam_.insert(base_name(path));
		ASSERT_EQ(spam_.size(), 10u);
		const std::string kept = *spam_.begin();
		const auto before = test::tree_snapshot(queue_);
		ASSERT_EQ(task("Yank it").status, 0);
		const std::string taken = "mess/" +
		    std::to_string(std::stoul(kept) % 23) + "/" + kept;
		if (refused)
			test::write_file(queue_ + "/" + taken, "another's");
		const auto yanked = test::tree_snapshot(queue_);

		std::string block = tasks_["Review a yank and put back the "
		    "false positives"];
		const size_t at = block.find("spoolsift-restore 1483724874");
		ASSERT_NE(at, std::string::npos) << block;
		block.replace(at + 18, 10, kept);
		// As pasted at a prompt: a command that fails does not stop
		// the ones after it.
		Result r = test::run_at_default_queue("set +e\n" + block, queue_,
		    path_);
		EXPECT_EQ(r.status, 0) << r.err;
		std::vector<std::string> listed;
		for (const std::string &line : test::lines_of(r.out)) {
			EXPECT_TRUE(line.ends_with("  whole")) << line;
			listed.push_back(line.substr(0, line.find(' ')));
		}
		EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()),
		    spam_);
		EXPECT_EQ(listed.size(), spam_.size());
		EXPECT_EQ(svc_log(), "-d /service/qmail-send\n-u "
		    "/service/qmail-send\n-d /service/qmail-send\n-u "
		    "/service/qmail-send\n");
		const auto after = test::tree_snapshot(queue_);
		if (refused) {
			EXPECT_TRUE(r.err.ends_with("restore_file(" + kept + "): " +
			    taken + " is taken; nothing restored\n0 message(s) "
			    "restored, 1 left alone, 0 failed\n")) << r.err;
			for (const auto &[path, e] : yanked) {
				if (path.rfind("yanked/", 0) == 0) {
					EXPECT_EQ(after.count(path), 1u)
					    << path << " removed";
				}
			}
			continue;
		}
		EXPECT_TRUE(r.err.ends_with("1 message(s) restored, 0 left "
		    "alone, 0 failed\n")) << r.err;
		for (const auto &[path, e] : before) {
			if (!S_ISREG(e.mode) || spam_.count(base_name(path)) == 0)
				continue;
			auto now = after.find(path);
			if (base_name(path) != kept) {
				EXPECT_EQ(now, after.end()) << path << " came back";
				continue;
			}
			ASSERT_NE(now, after.end()) << path << " not restored";
			EXPECT_EQ(now->second.digest, e.digest) << path;
			EXPECT_EQ(now->second.mtime.tv_sec, e.mtime.tv_sec) << path;
		}
		for (const auto &[path, e] : after)
			EXPECT_FALSE(path.rfind("yanked/", 0) == 0 &&
			    !S_ISDIR(e.mode)) << path << " left in the yank "
			    "directory";
	}
}

// The sample queue holds failure notices for one address, some of them
// still in todo: the task back-dates those qmail-send has seen, and no
// bounce to anyone else, nor the address's own mail.
TEST_F(CommonTasks, ExpireASendersBouncesBackDatesOnlyTheirInfoFiles)
{
	// Told apart by the envelope: no sender, the address the one
	// recipient (after the uid and pid in todo).
	const std::vector<std::string> to_her = {"F", "Talice@example.net"};
	std::set<std::string> notices, expired;
	for (const auto &[path, e] : test::tree_snapshot(queue_ + "/mess")) {
		const std::string n = base_name(path);
		std::vector<std::string> env = envelope(n);
		if (!env.empty() && env[0][0] == 'u')
			env.erase(env.begin(), env.begin() + 2);
		if (!S_ISREG(e.mode) || env != to_her)
			continue;
		notices.insert(n);
		if (test::exists(queue_ + "/" + hashed("info", n)))
			expired.insert(hashed("info", n));
	}
	ASSERT_GE(expired.size(), 1u) << "no notice to back-date";
	ASSERT_GT(notices.size(), expired.size()) << "none still in todo";
	// Bounces to someone else and to a longer address that ends the
	// same, and the address's own mail with the same subject.
	put("mess/6/52", bounce_to("bob@example.org"));
	put("info/6/52", std::string("F\0", 2));
	put("remote/6/52", std::string("Tbob@example.org\0", 17));
	put("mess/9/55", bounce_to("malice@example.net"));
	put("info/9/55", std::string("F\0", 2));
	put("mess/7/53", "Received: (qmail 7 invoked by uid 1000); 9 Dec "
	    "2026 06:00:00 -0000\nFrom: Alice <alice@example.net>\n"
	    "To: alice@example.net\nSubject: failure notice\n\nfyi\n");
	put("info/7/53", std::string("Falice@example.net\0", 19));
	const auto before = test::tree_snapshot(queue_);

	Result r = task("Expire a sender's bounces");
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(yes_lines(r.out), std::vector<std::string>(notices.begin(),
	    notices.end()));
	EXPECT_NE(r.err.find("\n" + std::to_string(notices.size()) +
	    " file(s) match\n"), std::string::npos) << r.err;
	expect_expired(before, expired, r.err);
	EXPECT_EQ(svc_log(), "-a /service/qmail-send\n");
}

// Expiring the spam back-dates every spam message qmail-send has seen,
// and leaves those still in todo for a later run.
TEST_F(CommonTasks, GiveThemUpWithoutStoppingQmailBackDatesTheSpam)
{
	std::set<std::string> expired;
	for (const std::string &n : spam_)
		if (test::exists(queue_ + "/" + hashed("info", n)))
			expired.insert(hashed("info", n));
	ASSERT_GE(expired.size(), 1u);
	ASSERT_LT(expired.size(), spam_.size()) << "no spam in todo";
	// The page names one of those passed over.
	EXPECT_TRUE(test::exists(queue_ + "/todo/1483724874"));
	const auto before = test::tree_snapshot(queue_);

	Result r = task("Give them up without stopping qmail");
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(yes_lines(r.out), std::vector<std::string>(spam_.begin(),
	    spam_.end()));
	EXPECT_NE(r.err.find("\n10 file(s) match\n"), std::string::npos);
	expect_expired(before, expired, r.err);
	EXPECT_EQ(svc_log(), "-a /service/qmail-send\n");
}

// The header form counts the spammer's messages and not a complaint that
// quotes the address in its body, which "From: .*address" also counts.
TEST_F(CommonTasks, CountMessagesFromOneSenderCountsOnlyTheSenders)
{
	put("mess/3/49", "Received: (qmail 7 invoked by uid 1000); 9 Dec "
	    "2026 06:00:00 -0000\nFrom: Bob <bob@example.com>\n"
	    "To: abuse@example.net\nSubject: more of it\n\n"
	    "Please block winner@lucky-spins.example.biz:\n"
	    "> From: Lucky Spins <winner@lucky-spins.example.biz>\n");
	put("info/3/49", std::string("Fbob@example.com\0", 17));
	const std::string before = test::tree_listing(queue_);

	Result r = task("Count messages from one sender");
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "10 file(s) match\n");
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(test::tree_listing(queue_), before);
}

// One block per match: its number, the envelope sender and each
// recipient, delivered ones marked; a message still being queued shows
// its number alone.
TEST_F(CommonTasks, SeeWhoSentThemShowsEachEnvelope)
{
	// One delivered recipient, and spam still arriving (mess and intd).
	std::string done;
	for (const std::string &n : spam_)
		if (test::exists(queue_ + "/" + hashed("remote", n)))
			done = n;
	ASSERT_FALSE(done.empty());
	std::vector<std::string> recs = records(read(hashed("remote", done)));
	recs[0][0] = 'D';
	test::write_file(queue_ + "/" + hashed("remote", done),
	    nul_ended(recs));
	put("mess/6/75", "From: Lucky Spins <winner@lucky-spins.example.biz>"
	    "\nSubject: Your jackpot is waiting\n\nspin\n");
	put("intd/75", nul_ended({"u1003", "p4242", "Fspin@example.info",
	    "Tbob@example.com"}));

	std::set<std::string> want = {"#75\n"};
	for (const std::string &n : spam_) {
		std::string block = "#" + n + "\n";
		for (const std::string &rec : envelope(n)) {
			if (rec[0] == 'F')
				block += "  from <" + rec.substr(1) + ">\n";
			else if (rec[0] == 'T')
				block += "  to " + rec.substr(1) + "\n";
			else if (rec[0] == 'D')
				block += "  done " + rec.substr(1) + "\n";
		}
		want.insert(block);
	}
	const std::string before = test::tree_listing(queue_);

	Result r = task("See who sent them and to whom");
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.err, "11 file(s) match\n");
	std::vector<std::string> blocks;
	std::istringstream lines(r.out);
	for (std::string line; std::getline(lines, line);) {
		if (line.rfind("#", 0) == 0)
			blocks.emplace_back();
		ASSERT_FALSE(blocks.empty()) << r.out;
		blocks.back() += line + "\n";
	}
	EXPECT_EQ(std::set<std::string>(blocks.begin(), blocks.end()), want);
	EXPECT_EQ(blocks.size(), want.size());
	EXPECT_NE(r.out.find("\n  done "), std::string::npos);
	EXPECT_EQ(test::tree_listing(queue_), before);
}

TEST(TasksPageAndManual, ShowTheSameTaskCommands)
{
	std::map<std::string, std::string> tasks = test::common_tasks(tasks_page);
	std::set<std::string> page_lines;
	std::istringstream page(
	    test::read_file(source_dir + "/man/spoolsift.8").value_or(""));
	for (std::string line; std::getline(page, line);) {
		for (size_t at; (at = line.find("\\e")) != std::string::npos;)
			line.replace(at, 2, "\\");
		page_lines.insert(trimmed(line));
	}
	for (const char *title : {"See who sent them and to whom",
		 "Review a yank and put back the false positives",
		 "Give them up without stopping qmail",
		 "Expire a sender's bounces"}) {
		ASSERT_EQ(tasks.count(title), 1u) << title;
		std::istringstream block(tasks[title]);
		for (std::string line; std::getline(block, line);) {
			// daemontools' own commands stand beside the loop
			// in the manual's text, not in its block.
			if (line.rfind("svc ", 0) != 0 &&
			    line.rfind("until svstat ", 0) != 0) {
				EXPECT_EQ(page_lines.count(trimmed(line)), 1u)
				    << "the manual page lacks: " << line;
			}
		}
	}
}
