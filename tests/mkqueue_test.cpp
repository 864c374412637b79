// mkqueue_test.cpp: the sample-queue generator writes a queue qmail
// would recognise, with the promised mix of states, sizes and spam, the
// same one every time for the same options, and never writes into a
// directory that already holds something.
#include "support.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using test::Result;

const long long default_base_time = 1796083200;	// 2026-12-01T00:00:00Z
const long long max_age = 6 * 86400;

Result mkqueue(const std::vector<std::string> &args)
{
	return test::run_program(test::mkqueue_bin, args);
}

// Every entry under root by relative path, with what lstat said. Taken
// before anything is read, so access times are still as written.
std::map<std::string, struct stat> stat_tree(const std::string &root)
{
	std::map<std::string, struct stat> tree;
	std::error_code ec;
	const fs::recursive_directory_iterator end;
	for (auto it = fs::recursive_directory_iterator(root, ec);
	     !ec && it != end; it.increment(ec)) {
		struct stat st;
		const std::string p = it->path().string();
		if (lstat(p.c_str(), &st) == -1) {
			ADD_FAILURE() << p << ": " << strerror(errno);
			continue;
		}
		tree[p.substr(root.size() + 1)] = st;
	}
	if (ec)
		ADD_FAILURE() << "cannot list " << root << ": " << ec.message();
	return tree;
}

bool is_number(const std::string &s)
{
	return !s.empty() && s.size() <= 10 && s[0] != '0' &&
	    std::all_of(s.begin(), s.end(),
		[](char c) { return c >= '0' && c <= '9'; });
}

bool contains(const std::string &hay, const std::string &needle)
{
	return hay.find(needle) != std::string::npos;
}

// Needle is lower case.
bool contains_nocase(const std::string &hay, const std::string &needle)
{
	auto fold = [](char h, char n) {
		return (h >= 'A' && h <= 'Z' ? h - 'A' + 'a' : h) == n;
	};
	return std::search(hay.begin(), hay.end(), needle.begin(),
	    needle.end(), fold) != hay.end();
}

// Splits NUL-ended records; false if the data does not end in NUL or
// holds an empty record (every record starts with its type letter).
bool nul_records(const std::string &data, std::vector<std::string> *recs)
{
	recs->clear();
	if (data.empty() || data.back() != '\0')
		return false;
	size_t at = 0;
	while (at < data.size()) {
		size_t end = data.find('\0', at);
		if (end == at)
			return false;
		recs->push_back(data.substr(at, end - at));
		at = end + 1;
	}
	return true;
}

bool is_recipient(const std::string &rec)
{
	return rec.size() > 1 && rec[0] == 'T' && contains(rec, "@");
}

// Decodes base64 text, skipping newlines; stops at padding.
std::string decode_base64(const std::string &text)
{
	static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
	    "abcdefghijklmnopqrstuvwxyz0123456789+/";
	int value[256];
	std::fill(std::begin(value), std::end(value), -1);
	for (size_t i = 0; i < alphabet.size(); i++)
		value[static_cast<unsigned char>(alphabet[i])] =
		    static_cast<int>(i);
	std::string out;
	out.reserve(text.size() * 3 / 4);
	uint32_t bits = 0;
	int nbits = 0;
	for (char c : text) {
		if (c == '\n')
			continue;
		int v = value[static_cast<unsigned char>(c)];
		if (v < 0)
			break;
		bits = (bits << 6) | static_cast<uint32_t>(v);
		nbits += 6;
		if (nbits >= 8) {
			nbits -= 8;
			out += static_cast<char>((bits >> nbits) & 0xff);
		}
	}
	return out;
}

// The base64 text of every attachment in a message file.
std::vector<std::string> attachments(const std::string &data)
{
	std::vector<std::string> out;
	const std::string mark = "Content-Transfer-Encoding: base64\n";
	for (size_t at = data.find(mark); at != std::string::npos;
	     at = data.find(mark, at + 1)) {
		size_t body = data.find("\n\n", at);
		size_t end = data.find("\n\n", body + 2);
		if (body == std::string::npos || end == std::string::npos)
			break;
		out.push_back(data.substr(body + 2, end + 1 - body - 2));
	}
	return out;
}

// qmail-queue's first line of a message that qmail-send queued.
bool is_failure_notice(const std::string &data)
{
	size_t pid_end = data.find(" invoked for bounce); ");
	return data.rfind("Received: (qmail ", 0) == 0 &&
	    pid_end != std::string::npos &&
	    is_number(data.substr(17, pid_end - 17));
}

// A queue of 1000 messages split 7 ways, written once for the whole
// suite: the checks below only read it.
class GeneratedQueue : public ::testing::Test {
protected:
	static constexpr int count = 1000;
	static constexpr int split = 7;
	static constexpr long long base = 1800000000;

	struct Message {
		uint32_t num = 0;
		std::string hash;	// "<num % split>"
	};

	static void SetUpTestSuite()
	{
		tmp_ = std::make_unique<test::TempDir>();
		queue_ = tmp_->path() + "/queue";
		result_ = mkqueue({"-n", std::to_string(count), "-s",
		    std::to_string(split), "-S", "42", "-p", "10", "-t",
		    std::to_string(base), queue_});
		tree_ = stat_tree(queue_);
		for (const auto &[rel, st] : tree_) {
			if (rel.rfind("mess/", 0) != 0 || !S_ISREG(st.st_mode))
				continue;
			const fs::path path(rel);
			std::string name = path.filename().string();
			Message m;
			if (is_number(name))
				m.num = static_cast<uint32_t>(std::stoul(name));
			m.hash = path.parent_path().filename().string();
			messages_[name] = m;
		}
	}

	static void TearDownTestSuite()
	{
		tmp_.reset();
	}

	static std::string content(const std::string &rel)
	{
		auto data = test::read_file(queue_ + "/" + rel);
		EXPECT_TRUE(data.has_value()) << rel;
		return data.value_or("");
	}

	static bool has(const std::string &rel)
	{
		return tree_.count(rel) > 0;
	}

	// Regular files under top (a queue subdirectory), by relative path.
	static std::vector<std::string> files_in(const std::string &top)
	{
		std::vector<std::string> out;
		for (const auto &[rel, st] : tree_)
			if (rel.rfind(top + "/", 0) == 0 && S_ISREG(st.st_mode))
				out.push_back(rel);
		return out;
	}

	static std::string mess_path(const std::string &num)
	{
		return "mess/" + messages_.at(num).hash + "/" + num;
	}

	static std::unique_ptr<test::TempDir> tmp_;
	static std::string queue_;
	static Result result_;
	static std::map<std::string, struct stat> tree_;
	static std::map<std::string, Message> messages_;	// by file name
};

std::unique_ptr<test::TempDir> GeneratedQueue::tmp_;
std::string GeneratedQueue::queue_;
Result GeneratedQueue::result_;
std::map<std::string, struct stat> GeneratedQueue::tree_;
std::map<std::string, GeneratedQueue::Message> GeneratedQueue::messages_;

TEST_F(GeneratedQueue, ReportsCountAndSpamOnStdout)
{
	EXPECT_EQ(result_.status, 0) << result_.err;
	EXPECT_EQ(result_.out,
	    "wrote 1000 messages (100 spam) to " + queue_ + "\n");
	EXPECT_EQ(result_.err, "");
}

TEST_F(GeneratedQueue, HasEveryDirectoryOfAQueue)
{
	std::set<std::string> top;
	for (const auto &[rel, st] : tree_)
		if (!contains(rel, "/"))
			top.insert(rel);
	EXPECT_EQ(top, (std::set<std::string>{"bounce", "info", "intd",
	    "local", "lock", "mess", "pid", "remote", "todo"}));

	for (const char *d : {"mess", "info", "local", "remote"}) {
		for (int i = 0; i < split; i++) {
			std::string sub = std::string(d) + "/" +
			    std::to_string(i);
			ASSERT_TRUE(has(sub)) << sub;
			EXPECT_TRUE(S_ISDIR(tree_.at(sub).st_mode)) << sub;
		}
		EXPECT_FALSE(has(std::string(d) + "/" + std::to_string(split)));
	}
	for (const auto &[rel, st] : tree_)
		if (S_ISDIR(st.st_mode)) {
			EXPECT_EQ(st.st_mode & 07777, 0750u) << rel;
		}

	ASSERT_TRUE(has("lock/sendmutex") && has("lock/tcpto") &&
	    has("lock/trigger"));
	EXPECT_TRUE(S_ISREG(tree_.at("lock/sendmutex").st_mode));
	EXPECT_EQ(tree_.at("lock/sendmutex").st_size, 0);
	EXPECT_TRUE(S_ISREG(tree_.at("lock/tcpto").st_mode));
	EXPECT_EQ(tree_.at("lock/tcpto").st_size, 0);
	EXPECT_TRUE(S_ISFIFO(tree_.at("lock/trigger").st_mode));
	EXPECT_TRUE(files_in("pid").empty());
}

TEST_F(GeneratedQueue, MessageNumbersAreDistinctAndHashed)
{
	EXPECT_EQ(files_in("mess").size(), static_cast<size_t>(count));
	EXPECT_EQ(messages_.size(), static_cast<size_t>(count));
	std::set<uint32_t> nums;
	for (const auto &[name, m] : messages_) {
		ASSERT_TRUE(is_number(name)) << name;
		EXPECT_GT(m.num, 0u);
		EXPECT_LT(m.num, 0x80000000u);
		EXPECT_EQ(m.hash, std::to_string(m.num % split)) << name;
		nums.insert(m.num);
	}
	EXPECT_EQ(nums.size(), messages_.size());
}

TEST_F(GeneratedQueue, EveryOtherFileBelongsToAMessage)
{
	for (const char *d : {"info", "local", "remote"})
		for (const auto &rel : files_in(d)) {
			std::string name = fs::path(rel).filename().string();
			ASSERT_TRUE(messages_.count(name)) << rel;
			EXPECT_EQ(rel, std::string(d) + "/" +
			    messages_.at(name).hash + "/" + name);
		}
	for (const char *d : {"intd", "todo", "bounce"})
		for (const auto &rel : files_in(d)) {
			std::string name = fs::path(rel).filename().string();
			EXPECT_TRUE(messages_.count(name)) << rel;
			EXPECT_EQ(rel, std::string(d) + "/" + name);
		}
}

TEST_F(GeneratedQueue, MessagesAreInOneStateEach)
{
	int preprocessed = 0, todo = 0, intd = 0, bounce = 0;
	int local_only = 0, remote_only = 0, both = 0;
	for (const auto &[name, m] : messages_) {
		std::string h = m.hash + "/" + name;
		bool info = has("info/" + h), local = has("local/" + h);
		bool remote = has("remote/" + h), b = has("bounce/" + name);
		bool t = has("todo/" + name), i = has("intd/" + name);
		EXPECT_EQ(info + t + i, 1) << name;
		if (info) {
			preprocessed++;
			EXPECT_TRUE(local || remote) << name;
			local_only += local && !remote;
			remote_only += remote && !local;
			both += local && remote;
			bounce += b;
		} else {
			EXPECT_FALSE(local || remote || b) << name;
			todo += t;
			intd += i;
		}
	}
	EXPECT_GE(preprocessed, count * 85 / 100);
	EXPECT_GE(todo, count * 2 / 100);
	EXPECT_LE(todo, count * 9 / 100);
	EXPECT_GE(intd, 1);
	EXPECT_LE(intd, count * 3 / 100);
	EXPECT_GE(bounce, count * 2 / 100);
	EXPECT_LE(bounce, count * 6 / 100);
	EXPECT_GT(remote_only, local_only);
	EXPECT_GT(local_only, both);
	EXPECT_GT(both, 0);
}

TEST_F(GeneratedQueue, EnvelopeFilesHaveQmailFormat)
{
	std::vector<std::string> recs;
	for (const auto &rel : files_in("info")) {
		std::string data = content(rel);
		ASSERT_FALSE(data.empty()) << rel;
		EXPECT_EQ(data.front(), 'F') << rel;
		EXPECT_EQ(data.back(), '\0') << rel;
		EXPECT_EQ(data.find('\0'), data.size() - 1) << rel;
	}
	for (const char *d : {"local", "remote"})
		for (const auto &rel : files_in(d)) {
			ASSERT_TRUE(nul_records(content(rel), &recs)) << rel;
			for (const auto &r : recs)
				EXPECT_TRUE(is_recipient(r)) << rel;
		}
	// As qmail-queue writes them: uid, pid, sender (empty for a
	// bounce, so "F" alone), then the recipients.
	for (const char *d : {"intd", "todo"})
		for (const auto &rel : files_in(d)) {
			ASSERT_TRUE(nul_records(content(rel), &recs)) << rel;
			ASSERT_GE(recs.size(), 4u) << rel;
			EXPECT_EQ(recs[0][0], 'u') << rel;
			EXPECT_TRUE(is_number(recs[0].substr(1))) << rel;
			EXPECT_EQ(recs[1][0], 'p') << rel;
			EXPECT_TRUE(is_number(recs[1].substr(1))) << rel;
			EXPECT_EQ(recs[2][0], 'F') << rel;
			for (size_t i = 3; i < recs.size(); i++)
				EXPECT_TRUE(is_recipient(recs[i])) << rel;
		}
}

TEST_F(GeneratedQueue, FilesHaveTheModesOfTheirDirectory)
{
	const std::map<std::string, mode_t> modes = {{"mess", 0644},
	    {"todo", 0644}, {"info", 0600}, {"local", 0600}, {"remote", 0600},
	    {"intd", 0600}, {"bounce", 0600}};
	int checked = 0;
	for (const auto &[top, mode] : modes)
		for (const auto &rel : files_in(top)) {
			EXPECT_EQ(tree_.at(rel).st_mode & 07777, mode) << rel;
			checked++;
		}
	EXPECT_GT(checked, count);
}

TEST_F(GeneratedQueue, FilesOfAMessageShareOneTimeWithinSixDays)
{
	std::set<long long> times;
	for (const auto &[name, m] : messages_) {
		const struct stat &st = tree_.at(mess_path(name));
		long long t = st.st_mtim.tv_sec;
		EXPECT_LE(t, base) << name;
		EXPECT_GE(t, base - max_age) << name;
		EXPECT_EQ(st.st_mtim.tv_nsec, 0) << name;
		EXPECT_EQ(st.st_atim.tv_sec, t) << name;
		times.insert(t);
		std::string h = m.hash + "/" + name;
		for (const std::string &rel : {"info/" + h, "local/" + h,
			 "remote/" + h, "todo/" + name, "intd/" + name,
			 "bounce/" + name})
			if (has(rel)) {
				const struct stat &other = tree_.at(rel);
				EXPECT_EQ(other.st_mtim.tv_sec, t) << rel;
				EXPECT_EQ(other.st_atim.tv_sec, t) << rel;
			}
	}
	// Ages are drawn, not one fixed offset.
	EXPECT_GT(times.size(), static_cast<size_t>(count / 2));
	for (const auto &[rel, st] : tree_)
		if (!S_ISREG(st.st_mode) || rel.rfind("lock/", 0) == 0) {
			EXPECT_EQ(st.st_mtim.tv_sec, base) << rel;
		}
}

TEST_F(GeneratedQueue, OnlySpamCarriesTheSpamMarkers)
{
	int spam = 0;
	for (const auto &[name, m] : messages_) {
		std::string data = content(mess_path(name));
		if (!contains_nocase(data, "jackpot")) {
			EXPECT_FALSE(contains_nocase(data, "lucky-spins"))
			    << name;
			continue;
		}
		spam++;
		EXPECT_TRUE(contains(data, "\nSubject: Your jackpot is waiting "
		    "- claim your free spins\n")) << name;
		EXPECT_TRUE(contains(data, "\nFrom: Lucky Spins "
		    "<winner@lucky-spins.example.biz>\n")) << name;
		EXPECT_TRUE(contains(data,
		    "http://lucky-spins.example.biz/claim?id=" + name + "\n"))
		    << name;
	}
	EXPECT_EQ(spam, count / 10);
	for (const auto &[rel, st] : tree_) {
		if (!S_ISREG(st.st_mode) || rel.rfind("mess/", 0) == 0)
			continue;
		std::string data = content(rel);
		EXPECT_FALSE(contains_nocase(data, "jackpot")) << rel;
		EXPECT_FALSE(contains_nocase(data, "lucky-spins")) << rel;
	}
}

// Random attachment data could spell a marker by chance, in its text or
// in the bytes it decodes to; both markers hold a k, and the generator
// keeps that letter out of attachments altogether.
TEST_F(GeneratedQueue, AttachmentsNeverHoldTheLetterOfTheMarkers)
{
	size_t decoded = 0;
	for (const auto &[name, m] : messages_)
		for (const auto &text : attachments(content(mess_path(name)))) {
			std::string bytes = decode_base64(text);
			decoded += bytes.size();
			EXPECT_EQ(text.find_first_of("kK"), std::string::npos)
			    << name;
			EXPECT_EQ(bytes.find_first_of("kK"), std::string::npos)
			    << name;
		}
	// Enough data that a k would turn up many times over by chance.
	EXPECT_GT(decoded, 1000000u);
}

TEST_F(GeneratedQueue, MessagesLookLikeMail)
{
	const char *const fields[] = {"\nDate: ", "\nFrom: ", "\nTo: ",
	    "\nSubject: ", "\nMessage-ID: <", "\nMIME-Version: 1.0\n",
	    "\nContent-Type: "};
	for (const auto &[name, m] : messages_) {
		std::string data = content(mess_path(name));
		if (is_failure_notice(data))
			continue;	// qmail-send's own header, checked below
		size_t end = data.find("\n\n");
		ASSERT_NE(end, std::string::npos) << name;
		std::string header = data.substr(0, end + 1);
		EXPECT_EQ(header.rfind("Received: ", 0), 0u) << name;
		int received = 0;
		for (size_t at = 0; (at = header.find("Received: ", at)) !=
		     std::string::npos; at++)
			received++;
		EXPECT_GE(received, 2) << name;
		EXPECT_LE(received, 3) << name;
		for (const char *f : fields)
			EXPECT_TRUE(contains("\n" + header, f)) << name << f;
		if (!contains(header, "multipart/mixed"))
			continue;
		size_t b64 = data.find("Content-Transfer-Encoding: base64\n");
		ASSERT_NE(b64, std::string::npos) << name;
		size_t body = data.find("\n\n", b64) + 2;
		size_t stop = data.find("\n\n", body);
		ASSERT_NE(stop, std::string::npos) << name;
		for (size_t at = body; at < stop;) {
			size_t eol = data.find('\n', at);
			EXPECT_LE(eol - at, 76u) << name;
			at = eol + 1;
		}
	}
}

// The backscatter of a flood that forged one sender: failure notices to
// that address, as qmail-send writes and queues them, some not yet
// preprocessed. The bounce task of doc/tasks.md must find them.
TEST_F(GeneratedQueue, FailureNoticesGoToOneAddressAsQmailSendQueuesThem)
{
	const std::string nul(1, '\0');
	int notices = 0, waiting = 0;
	for (const auto &[name, m] : messages_) {
		std::string data = content(mess_path(name));
		if (!is_failure_notice(data))
			continue;
		notices++;
		const std::string pid = data.substr(17,
		    data.find(' ', 17) - 17);
		size_t date = data.find("); ") + 3;
		const std::string when = data.substr(date,
		    data.find('\n') - date);
		EXPECT_EQ(data.substr(0, data.find("\n\n") + 2),
		    "Received: (qmail " + pid + " invoked for bounce); " + when +
		    "\nDate: " + when + "\nFrom: MAILER-DAEMON@mail.example.com"
		    "\nTo: alice@example.net\nSubject: failure notice\n\n")
		    << name;
		EXPECT_TRUE(contains(data, "\nHi. This is the qmail-send program "
		    "at mail.example.com.\n")) << name;
		// A whole message follows, with the sender qmail-send saw.
		size_t copy = data.find("\n--- Below this line is a copy of "
		    "the message.\n\nReturn-Path: <alice@example.net>\n");
		ASSERT_NE(copy, std::string::npos) << name;
		EXPECT_TRUE(contains(data.substr(copy), "\nReceived: (qmail "))
		    << name;
		EXPECT_TRUE(contains(data.substr(copy), "\nMessage-ID: <"))
		    << name;

		std::string h = m.hash + "/" + name;
		if (has("todo/" + name)) {
			waiting++;
			EXPECT_EQ(content("todo/" + name), "u1005" + nul + "p" +
			    pid + nul + "F" + nul + "Talice@example.net" + nul)
			    << name;
		} else {
			EXPECT_EQ(content("info/" + h), "F" + nul) << name;
			EXPECT_EQ(content("remote/" + h),
			    "Talice@example.net" + nul) << name;
		}
		for (const std::string &rel : {"local/" + h, "intd/" + name,
			 "bounce/" + name})
			EXPECT_FALSE(has(rel)) << rel;
	}
	// 1.5% of the count, one in three still in todo.
	EXPECT_EQ(notices, count * 15 / 1000);
	EXPECT_EQ(waiting, notices / 3);
}

TEST_F(GeneratedQueue, SizesMixSmallTextWithAttachments)
{
	long long total = 0;
	int small = 0, medium = 0, large = 0;
	for (const auto &[name, m] : messages_) {
		std::string data = content(mess_path(name));
		total += static_cast<long long>(data.size());
		bool attachment = contains(data, "\nContent-Transfer-Encoding: "
		    "base64\n");
		if (!attachment) {
			EXPECT_LT(data.size(), 10000u) << name;
			small++;
		} else if (data.size() <= 101000) {
			EXPECT_GE(data.size(), 10000u) << name;
			medium++;
		} else {
			EXPECT_LE(data.size(), 302000u) << name;
			large++;
		}
	}
	double mean = static_cast<double>(total) / count;
	EXPECT_GT(mean, 33000) << "mean size " << mean;
	EXPECT_LT(mean, 47000) << "mean size " << mean;
	EXPECT_GT(small, count * 50 / 100);
	EXPECT_LT(small, count * 70 / 100);
	EXPECT_GT(medium, count * 20 / 100);
	EXPECT_LT(medium, count * 40 / 100);
	EXPECT_GT(large, count * 5 / 100);
	EXPECT_LT(large, count * 15 / 100);
}

TEST(MkqueueRepeat, SameSeedGivesTheSameTree)
{
	test::TempDir tmp;
	std::string a = tmp.path() + "/a", b = tmp.path() + "/b";
	ASSERT_EQ(mkqueue({"-n", "40", "-S", "9", a}).status, 0);
	ASSERT_EQ(mkqueue({"-n", "40", "-S", "9", b}).status, 0);
	std::string listing = test::tree_listing(a);
	EXPECT_NE(listing.find("/mess/"), std::string::npos);
	EXPECT_EQ(listing, test::tree_listing(b));
}

// -i: each message is named after its text's inode, as qmail-queue
// names it, with every file of the message under that number; the
// contents are those the same options write without it.
TEST(MkqueueRepeat, InodeNamesKeepTheContentsAndNameEachMessageByItsText)
{
	test::TempDir tmp;
	std::string a = tmp.path() + "/a", b = tmp.path() + "/b";
	ASSERT_EQ(mkqueue({"-n", "40", "-S", "9", a}).status, 0);
	ASSERT_EQ(mkqueue({"-i", "-n", "40", "-S", "9", b}).status, 0);
	std::multiset<std::string> texts_a, texts_b;
	for (const auto &[path, e] : test::tree_snapshot(a))
		if (path.rfind("mess/", 0) == 0 && S_ISREG(e.mode))
			texts_a.insert(e.digest);
	std::set<std::string> numbers;
	for (const auto &[path, e] : test::tree_snapshot(b)) {
		if (path.rfind("mess/", 0) != 0 || !S_ISREG(e.mode))
			continue;
		texts_b.insert(e.digest);
		struct stat st;
		ASSERT_EQ(stat((b + "/" + path).c_str(), &st), 0);
		const std::string n = path.substr(path.rfind('/') + 1);
		EXPECT_EQ(n, std::to_string(st.st_ino)) << path;
		EXPECT_EQ(path, "mess/" + std::to_string(st.st_ino % 23) + "/" + n);
		numbers.insert(n);
	}
	EXPECT_EQ(texts_a, texts_b);
	for (const auto &[path, e] : test::tree_snapshot(b)) {
		const std::string name = path.substr(path.rfind('/') + 1);
		if (S_ISREG(e.mode) && path.rfind("lock/", 0) != 0) {
			EXPECT_EQ(numbers.count(name), 1u) << path;
		}
	}
}

TEST(MkqueueRepeat, DefaultSeedIsOne)
{
	test::TempDir tmp;
	std::string a = tmp.path() + "/a", b = tmp.path() + "/b";
	ASSERT_EQ(mkqueue({"-n", "20", a}).status, 0);
	ASSERT_EQ(mkqueue({"-n", "20", "-S", "1", b}).status, 0);
	EXPECT_EQ(test::tree_listing(a), test::tree_listing(b));
}

TEST(MkqueueRepeat, AnotherSeedGivesOtherMessages)
{
	test::TempDir tmp;
	std::string a = tmp.path() + "/a", b = tmp.path() + "/b";
	ASSERT_EQ(mkqueue({"-n", "20", "-S", "9", a}).status, 0);
	ASSERT_EQ(mkqueue({"-n", "20", "-S", "10", b}).status, 0);
	std::set<std::string> in_a, in_b;
	for (const auto &[rel, st] : stat_tree(a))
		if (rel.rfind("mess/", 0) == 0 && S_ISREG(st.st_mode))
			in_a.insert(rel);
	for (const auto &[rel, st] : stat_tree(b))
		if (rel.rfind("mess/", 0) == 0 && S_ISREG(st.st_mode))
			in_b.insert(rel);
	EXPECT_EQ(in_a.size(), 20u);
	EXPECT_EQ(in_b.size(), 20u);
	std::vector<std::string> common;
	std::set_intersection(in_a.begin(), in_a.end(), in_b.begin(),
	    in_b.end(), std::back_inserter(common));
	EXPECT_EQ(common, std::vector<std::string>{});
}

TEST(MkqueueDefaults, BaseTimeAndSplitDefaultToAFixedQueue)
{
	test::TempDir tmp;
	std::string q = tmp.path() + "/q";
	Result r = mkqueue({"-n", "20", q});
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "wrote 20 messages (1 spam) to " + q + "\n");
	auto tree = stat_tree(q);
	EXPECT_TRUE(tree.count("mess/22"));
	EXPECT_FALSE(tree.count("mess/23"));
	for (const auto &[rel, st] : tree) {
		EXPECT_LE(st.st_mtim.tv_sec, default_base_time) << rel;
		EXPECT_GE(st.st_mtim.tv_sec, default_base_time - max_age)
		    << rel;
		if (S_ISDIR(st.st_mode)) {
			EXPECT_EQ(st.st_mtim.tv_sec, default_base_time) << rel;
		}
	}
}

TEST(MkqueueDefaults, ZeroMessagesGivesAnEmptyQueue)
{
	test::TempDir tmp;
	std::string q = tmp.path() + "/q";
	Result r = mkqueue({"-n", "0", "-s", "3", q});
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "wrote 0 messages (0 spam) to " + q + "\n");
	auto tree = stat_tree(q);
	EXPECT_TRUE(tree.count("remote/2"));
	for (const auto &[rel, st] : tree)
		if (S_ISREG(st.st_mode)) {
			EXPECT_EQ(rel.rfind("lock/", 0), 0u) << rel;
		}
}

TEST(MkqueueDefaults, SpamShareRunsFromNoneToAll)
{
	test::TempDir tmp;
	std::string none = tmp.path() + "/none", all = tmp.path() + "/all";
	Result r = mkqueue({"-n", "30", "-p", "0", none});
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "wrote 30 messages (0 spam) to " + none + "\n");
	r = mkqueue({"-n", "30", "-p", "100", all});
	ASSERT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, "wrote 30 messages (30 spam) to " + all + "\n");

	int ham = 0, spam = 0;
	for (const auto &[rel, st] : stat_tree(none))
		if (rel.rfind("mess/", 0) == 0 && S_ISREG(st.st_mode)) {
			auto data = test::read_file(none + "/" + rel);
			EXPECT_FALSE(contains_nocase(data.value_or("jackpot"),
			    "jackpot")) << rel;
			ham++;
		}
	for (const auto &[rel, st] : stat_tree(all))
		if (rel.rfind("mess/", 0) == 0 && S_ISREG(st.st_mode)) {
			auto data = test::read_file(all + "/" + rel);
			EXPECT_TRUE(contains(data.value_or(""), "jackpot"))
			    << rel;
			spam++;
		}
	EXPECT_EQ(ham, 30);
	EXPECT_EQ(spam, 30);
}

// -m small: the same queue of messages, each a short text of about 2 KB
// (for the benchmark of a million); -m mail is the default mix.
TEST(MkqueueMix, SmallWritesShortTextMessagesAndMailIsTheDefault)
{
	test::TempDir tmp;
	const std::string small = tmp.path() + "/small";
	const std::string mail = tmp.path() + "/mail";
	const std::string plain = tmp.path() + "/plain";
	ASSERT_EQ(mkqueue({"-n", "400", "-m", "small", small}).status, 0);
	ASSERT_EQ(mkqueue({"-n", "40", "-m", "mail", mail}).status, 0);
	ASSERT_EQ(mkqueue({"-n", "40", plain}).status, 0);
	EXPECT_EQ(test::tree_listing(mail), test::tree_listing(plain));

	size_t files = 0, spam = 0, total = 0;
	for (const auto &[rel, st] : stat_tree(small)) {
		if (rel.rfind("mess/", 0) != 0 || !S_ISREG(st.st_mode))
			continue;
		const std::string data = test::read_file(small + "/" + rel)
		    .value_or("");
		EXPECT_GE(data.size(), 1200u) << rel;
		EXPECT_LE(data.size(), 3500u) << rel;
		EXPECT_FALSE(contains(data, "base64")) << rel;
		EXPECT_TRUE(contains(data, "\nSubject: ")) << rel;
		spam += contains(data, "jackpot");
		total += data.size();
		files++;
	}
	EXPECT_EQ(files, 400u);
	EXPECT_EQ(spam, 20u);
	EXPECT_GT(total / files, 1800u);
	EXPECT_LT(total / files, 2300u);
}

TEST(MkqueueTarget, WritesIntoAnExistingEmptyDirectory)
{
	test::TempDir tmp;
	std::string q = tmp.path() + "/q";
	test::make_dirs(q);
	Result r = mkqueue({"-n", "5", q});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_TRUE(test::exists(q + "/lock/trigger"));
}

TEST(MkqueueTarget, RefusesADirectoryThatHoldsAnything)
{
	test::TempDir tmp;
	std::string q = tmp.path() + "/q";
	test::make_dirs(q + "/mess/0");
	test::write_file(q + "/mess/0/23", "Subject: keep me\n");
	std::string before = test::tree_listing(q);

	Result r = mkqueue({"-n", "5", q});

	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "mkqueue: " + q +
	    " is not empty; not writing a queue into it\n");
	EXPECT_EQ(test::tree_listing(q), before);
}

TEST(MkqueueTarget, RefusesADirectoryWithoutParent)
{
	test::TempDir tmp;
	std::string q = tmp.path() + "/missing/q";

	Result r = mkqueue({"-n", "5", q});

	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "mkqueue: mkdir() " + q + ": " + strerror(ENOENT) +
	    "\n");
	EXPECT_FALSE(test::exists(tmp.path() + "/missing"));
}

TEST(MkqueueOptions, RefusesBadValuesWithUsage)
{
	const std::string usage = "usage: mkqueue [-i] [-n count] [-s split] "
	    "[-S seed] [-p spam-percent] [-t base-time] [-m mail|small] dir\n";
	struct Case {
		std::vector<std::string> args;
		std::string message;	// line before the usage line
	};
	const Case cases[] = {
	    {{"-n", "abc"}, "count must be a number from 0 to 10000000: abc"},
	    {{"-n", "-5"}, "count must be a number from 0 to 10000000: -5"},
	    {{"-n", "12x"}, "count must be a number from 0 to 10000000: 12x"},
	    {{"-n", ""}, "count must be a number from 0 to 10000000: "},
	    {{"-s", "0"}, "split must be a number from 1 to 65535: 0"},
	    {{"-p", "101"}, "spam percent must be a number from 0 to 100: 101"},
	    {{"-S", "seven"}, "seed must be a number from 0 to "
		"18446744073709551615: seven"},
	    {{"-S", "18446744073709551616"}, "seed must be a number from 0 "
		"to 18446744073709551615: 18446744073709551616"},
	    {{"-t", "1e9"}, "base time must be a number from 518400 to "
		"253402300799: 1e9"},
	    {{"-m", "tiny"}, "mix must be mail or small: tiny"},
	    {{"-x"}, "unknown option -x"},
	};
	test::TempDir tmp;
	std::string q = tmp.path() + "/q";
	for (const auto &c : cases) {
		std::vector<std::string> args = c.args;
		args.push_back(q);
		Result r = mkqueue(args);
		EXPECT_EQ(r.status, 1) << c.message;
		EXPECT_EQ(r.out, "") << c.message;
		EXPECT_EQ(r.err, "mkqueue: " + c.message + "\n" + usage);
		EXPECT_FALSE(test::exists(q)) << c.message;
	}

	Result r = mkqueue({"-n", "5"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, usage);
	r = mkqueue({"-n", "5", q, q + "2"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, usage);
	EXPECT_FALSE(test::exists(q));
	r = mkqueue({"-n"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "mkqueue: option -n needs a value\n" + usage);
}

}  // namespace
