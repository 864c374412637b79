// nothing_lost_test.cpp: on a generated queue of a couple of thousand
// messages, the search names exactly the messages that hold the word;
// yank, delete and both kinds of expire change exactly the files of
// those messages, in the way each promises; and every other entry of the
// queue keeps its place, kind, size, content and times.
#include "support.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using test::Result;
using Tree = std::map<std::string, test::entry_state>;

const size_t message_count = 2000;
const size_t spam_percent = 5;
const std::string seed = "2";	// spam in every state, intd included
const unsigned long split = 23;		// mkqueue's default, and ours
const std::string word = "jackpot";	// only spam carries it

using test::subdirs;

enum class action { yank, remove, expire };

// How an expire run sets the times of an info file.
struct expiry {
	long long shift = 0;	// seconds back, from the file's own times
	long long when = 0;	// > 0: this very time instead
};

// One file of a message, where it was before the run.
struct message_file {
	std::string subdir;
	std::string path;	// relative to the queue
};

// What a run should do: the tree it leaves, and its report lines for
// each matching message, by message name.
struct prediction {
	Tree tree;
	std::map<std::string, std::vector<std::string>> lines;
	std::set<std::string> acted;	// the matches the action took
	std::string done;		// "yanked", "deleted", "expired"
};

std::string split_path(const std::string &d, const std::string &name)
{
	return d + "/" + std::to_string(std::stoul(name) % split) + "/" +
	    name;
}

// The files message name has in tree: in each subdirectory whatever is
// at the split path, or failing that a regular file at the flat path; in
// the order a delete, or with yank a yank, takes them.
std::vector<message_file> files_of(const Tree &tree, const std::string &name,
    bool yank = false)
{
	std::vector<message_file> files;
	for (const char *d : yank ? test::yank_subdirs : subdirs) {
		const std::string at_split = split_path(d, name);
		const std::string at_flat = std::string(d) + "/" + name;
		auto it = tree.find(at_split);
		if (it != tree.end())
			files.push_back({d, at_split});
		else if ((it = tree.find(at_flat)) != tree.end() &&
		    S_ISREG(it->second.mode))
			files.push_back({d, at_flat});
	}
	return files;
}

// The run of act over before, when the messages in hit match.
prediction predict(const Tree &before, const std::set<std::string> &hit,
    action act, expiry ex = {})
{
	prediction p{before, {}, {}, act == action::expire ? "expired" :
	    act == action::yank ? "yanked" : "deleted"};
	for (const std::string &name : hit) {
		std::vector<std::string> &lines = p.lines[name];
		if (act == action::expire) {
			// Only the hashed info file carries the queue time.
			const std::string info = split_path("info", name);
			auto it = p.tree.find(info);
			if (it == p.tree.end())
				continue;
			test::entry_state &e = it->second;
			if (ex.when > 0) {
				e.atime = {static_cast<time_t>(ex.when), 0};
				e.mtime = e.atime;
			} else {
				const test::entry_state &was = before.at(info);
				e.atime = {was.mtime.tv_sec - ex.shift, 0};
				e.mtime = {was.ctime.tv_sec - ex.shift, 0};
			}
			lines.push_back("Set timestamp on " + info + " ");
			p.acted.insert(name);
			continue;
		}
		// Yank and delete take only messages qmail has queued: with
		// a todo or an info file. The rest is still being written.
		const std::vector<message_file> files =
		    files_of(before, name, act == action::yank);
		bool queued = false;
		for (const message_file &f : files)
			queued = queued || f.subdir == "todo" || f.subdir == "info";
		if (!queued) {
			lines.push_back(std::string(act == action::remove ?
			    "delete_file(" : "remove_file(") + name +
			    "): not queued yet (no todo or info file), left alone");
			continue;
		}
		p.acted.insert(name);
		for (const message_file &f : files) {
			auto node = p.tree.extract(f.path);
			if (act == action::remove) {
				lines.push_back("remove " + f.path);
				continue;
			}
			node.key() = "yanked/" + name + "." + f.subdir;
			lines.push_back(
			    "moved " + f.path + " to " + node.key());
			p.tree.insert(std::move(node));
		}
	}
	return p;
}

// The names listed "yes", in the order listed.
std::vector<std::string> matched(const std::string &out)
{
	std::vector<std::string> names;
	std::istringstream s(out);
	const std::string yes = ": yes";
	for (std::string line; std::getline(s, line);)
		if (line.ends_with(yes))
			names.push_back(line.erase(line.size() - yes.size()));
	return names;
}

std::set<std::string> matched_set(const std::string &out)
{
	const std::vector<std::string> names = matched(out);
	return {names.begin(), names.end()};
}

// Standard error of a run: what the options said, then each match's
// lines as the search met the messages, then the tally and the count.
std::string expected_err(const prediction &p, const std::string &out,
    const std::string &preamble = "")
{
	std::string err = preamble;
	const std::vector<std::string> names = matched(out);
	size_t acted = 0;
	for (const std::string &name : names) {
		acted += p.acted.count(name);
		auto it = p.lines.find(name);
		if (it == p.lines.end())
			continue;
		for (const std::string &line : it->second)
			err += line + "\n";
	}
	return err + std::to_string(acted) + " message(s) " + p.done + ", " +
	    std::to_string(names.size() - acted) + " left alone, 0 failed\n" +
	    std::to_string(names.size()) + " file(s) match\n";
}

// The search reads the message files, which may move their access times:
// in the queue, and where a yank puts them.
bool read_by_search(const std::string &path)
{
	return path.starts_with("mess/") ||
	    (path.starts_with("yanked/") && path.ends_with(".mess"));
}

// Whether got is the tree want describes, apart from the access times
// of what the search reads.
::testing::AssertionResult same_queue(const Tree &want, const Tree &got)
{
	return test::same_tree(want, got, read_by_search);
}

// A freshly generated queue per test, and which of its messages carry
// the word, found by reading every message file here.
class NothingLost : public ::testing::Test {
protected:
	void SetUp() override
	{
		queue_ = tmp_.path() + "/queue";
		Result r = test::run_program(test::mkqueue_bin,
		    {"-n", std::to_string(message_count), "-S", seed, "-p",
			std::to_string(spam_percent), queue_});
		ASSERT_EQ(r.status, 0) << r.err;
		std::error_code ec;
		for (auto it = fs::recursive_directory_iterator(
			 queue_ + "/mess", ec);
		     !ec && it != fs::recursive_directory_iterator();
		     it.increment(ec)) {
			if (!it->is_regular_file(ec) || it->is_symlink(ec))
				continue;
			const std::string name = it->path().filename();
			messages_.insert(name);
			std::optional<std::string> data =
			    test::read_file(it->path());
			ASSERT_TRUE(data.has_value()) << it->path();
			if (data->find(word) != std::string::npos)
				spam_.insert(name);
		}
		ASSERT_FALSE(ec) << ec.message();
		ASSERT_EQ(messages_.size(), message_count);
		ASSERT_EQ(spam_.size(), message_count * spam_percent / 100);
	}

	Result run(std::vector<std::string> args,
	    const test::RunOptions &opts = {}) const
	{
		args.insert(args.begin(), {"-q", queue_});
		return test::run_program(test::spoolsift_bin, args, opts);
	}

	// The message files prediction p moves or removes, by subdirectory.
	static std::map<std::string, int> taken_by_subdir(const Tree &before,
	    const prediction &p)
	{
		std::map<std::string, int> count;
		for (const auto &[name, lines] : p.lines)
			for (const message_file &f : files_of(before, name))
				count[f.subdir]++;
		return count;
	}

	test::TempDir tmp_;
	std::string queue_;
	std::set<std::string> messages_;	// every mess file name
	std::set<std::string> spam_;		// those holding the word
};

TEST_F(NothingLost, SearchNamesExactlyTheMessagesHoldingTheWord)
{
	const Tree before = test::settled_snapshot(queue_);
	Result r = run({"-p", word});
	EXPECT_EQ(r.status, 0);

	std::vector<std::string> want;
	for (const std::string &name : messages_)
		want.push_back(name + (spam_.count(name) ? ": yes" : ": no"));
	std::sort(want.begin(), want.end());
	EXPECT_EQ(test::sorted_lines(r.out), want);
	EXPECT_EQ(matched_set(r.out), spam_);
	EXPECT_EQ(r.err, std::to_string(spam_.size()) + " file(s) match\n");
	EXPECT_TRUE(same_queue(before, test::tree_snapshot(queue_)));
}

// One queue through three yanks: the first takes every spam file, the
// second finds nothing left to take, and the third meets a message on a
// number already in the yank directory, as when qmail reuses a message
// number: that message stays whole in the queue and the earlier yanked
// files stay as they were.
TEST_F(NothingLost, YankTakesEverySpamFileOnceAndNeverReplacesAnEarlierOne)
{
	test::make_dirs(queue_ + "/yanked");
	const Tree before = test::settled_snapshot(queue_);
	const prediction want = predict(before, spam_, action::yank);
	// The spam messages are in every state: the flat subdirectories are
	// among those emptied, not only the hashed ones.
	ASSERT_EQ(taken_by_subdir(before, want).size(), std::size(subdirs));

	Result r = run({"-r", "-p", word});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(matched_set(r.out), spam_);
	EXPECT_EQ(r.err, expected_err(want, r.out));
	EXPECT_TRUE(same_queue(want.tree, test::tree_snapshot(queue_)));

	// Again: only spam that qmail has not finished queuing is left in
	// the queue, and it is left again.
	std::set<std::string> unqueued;
	for (const auto &[name, lines] : want.lines)
		if (lines.size() == 1 && lines[0].ends_with("left alone"))
			unqueued.insert(name);
	const Tree yanked = test::settled_snapshot(queue_);
	r = run({"-r", "-p", word});
	EXPECT_EQ(r.status, 0);
	const prediction left = predict(yanked, unqueued, action::yank);
	EXPECT_EQ(r.err, expected_err(left, r.out));
	EXPECT_EQ(test::sorted_lines(r.out).size(),
	    messages_.size() - spam_.size() + unqueued.size());
	EXPECT_EQ(matched_set(r.out), unqueued);
	EXPECT_TRUE(same_queue(yanked, test::tree_snapshot(queue_)));

	// A copy of one yanked message back in its places: the spam message
	// with the most files, so flat ones are among them.
	std::string back;
	size_t most = 0;
	for (const std::string &name : spam_) {
		const size_t n = files_of(before, name).size();
		if (n > most) {
			most = n;
			back = name;
		}
	}
	bool flat = false;
	for (const message_file &f : files_of(before, back)) {
		const std::optional<std::string> data = test::read_file(
		    queue_ + "/yanked/" + back + "." + f.subdir);
		ASSERT_TRUE(data.has_value()) << f.path;
		test::write_file(queue_ + "/" + f.path, *data);
		flat = flat || f.path == f.subdir + "/" + back;
	}
	ASSERT_TRUE(flat) << back << " has no file in a flat subdirectory";

	const Tree restored = test::settled_snapshot(queue_);
	r = run({"-r", "-p", word});
	EXPECT_EQ(r.status, 0);
	std::set<std::string> hit = unqueued;
	hit.insert(back);
	EXPECT_EQ(matched_set(r.out), hit);
	// The first of its files, in the order of the moves, is named.
	const std::string first = files_of(before, back, true).front().subdir;
	prediction taken = left;
	taken.lines[back] = {"remove_file(" + back + "): yanked/" + back + "." +
		first + " already exists"};
	taken.acted.erase(back);
	EXPECT_EQ(r.err, expected_err(taken, r.out));
	EXPECT_TRUE(same_queue(restored, test::tree_snapshot(queue_)));
}

TEST_F(NothingLost, DeleteRemovesEverySpamFileAndNothingElse)
{
	const Tree before = test::settled_snapshot(queue_);
	const prediction want = predict(before, spam_, action::remove);
	ASSERT_EQ(taken_by_subdir(before, want).size(), std::size(subdirs));

	Result r = run({"-d", "-p", word});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(matched_set(r.out), spam_);
	EXPECT_EQ(r.err, expected_err(want, r.out));
	EXPECT_TRUE(same_queue(want.tree, test::tree_snapshot(queue_)));
}

// Both kinds of expire on one queue, each from where the one before left
// it: first a shift back from each info file's own times, then a date.
TEST_F(NothingLost, ExpireChangesOnlyTheTimesOfSpamInfoFiles)
{
	Tree before = test::settled_snapshot(queue_);
	prediction want = predict(before, spam_, action::expire, {86400, 0});
	size_t with_info = 0;
	for (const auto &[name, lines] : want.lines)
		with_info += lines.size();
	// Some spam has no info file yet: those are passed over silently.
	ASSERT_GT(with_info, 0u);
	ASSERT_LT(with_info, spam_.size());

	Result r = run({"-X", "86400", "-p", word});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(matched_set(r.out), spam_);
	EXPECT_EQ(r.err, expected_err(want, r.out,
	    "Offsetting timestamps by 86400 seconds \n"));
	EXPECT_TRUE(same_queue(want.tree, test::tree_snapshot(queue_)));

	const std::string date = "Mon Jan  1 00:00:00 UTC 2024";
	before = test::settled_snapshot(queue_);
	want = predict(before, spam_, action::expire, {0, 1704067200});
	test::RunOptions opts;
	opts.env = {"TZ=UTC0"};
	r = run({"-x", date, "-p", word}, opts);
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(matched_set(r.out), spam_);
	EXPECT_EQ(r.err, expected_err(want, r.out,
	    "time in seconds: 1704067200 [ " + date + " ]\n"));
	EXPECT_TRUE(same_queue(want.tree, test::tree_snapshot(queue_)));
}

}  // namespace
