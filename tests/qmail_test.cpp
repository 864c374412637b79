// qmail_test.cpp: spoolsift against a real qmail. Each scenario queues
// mail with qmail's own programs, acts on it with spoolsift, and lets
// qmail judge the result: what qmail-send logs and tries, and what
// qmail-qread and qmail-qstat list.
#include "qmail_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

using test::delivery;
using test::log_mark;
using test::Result;

namespace {

// -r and -d on a live mail host: they leave alone a message that
// qmail-queue is still writing, are refused while qmail-send runs, and
// hold qmail-send's lock for the run. The scenarios that need this skip until
// it is there; then this turns them on.
constexpr bool live_host_behaviour = true;

const std::string source_dir = SPOOLSIFT_SOURCE_DIR;
const std::string too_long =
    "I'm not going to try again; this message has been in the queue too long.";
const std::string running_refusal = "FATAL: qmail-send is running (it holds "
    "lock/sendmutex); stop it before -r or -d (-x and -X are safe while it "
    "runs).\n";

std::string mail(const std::string &subject, const std::string &body)
{
	return "From: Sender <sender@qmail.test>\nTo: someone\nSubject: " +
	    subject + "\n\n" + body + "\n";
}

template <class Map>
std::set<unsigned long> numbers_of(const Map &m)
{
	std::set<unsigned long> numbers;
	for (const auto &[n, v] : m)
		numbers.insert(n);
	return numbers;
}

// Writes all of data to a pipe whose reader may be gone: then the write
// fails, and no SIGPIPE ends the test.
bool write_all(int fd, const std::string &data)
{
	struct sigaction ignore = {}, saved;
	ignore.sa_handler = SIG_IGN;
	sigaction(SIGPIPE, &ignore, &saved);
	size_t done = 0;
	while (done < data.size()) {
		ssize_t n = write(fd, data.data() + done, data.size() - done);
		if (n == -1 && errno == EINTR)
			continue;
		if (n <= 0)
			break;
		done += static_cast<size_t>(n);
	}
	sigaction(SIGPIPE, &saved, nullptr);
	return done == data.size();
}

// A pipe whose ends are closed on every way out of a test.
struct test_pipe {
	int read = -1, write = -1;
	explicit test_pipe(int flags = 0)
	{
		int ends[2];
		EXPECT_EQ(pipe2(ends, O_CLOEXEC | flags), 0) << strerror(errno);
		read = ends[0];
		write = ends[1];
	}
	~test_pipe()
	{
		close_read();
		close_write();
	}
	test_pipe(const test_pipe &) = delete;
	test_pipe &operator=(const test_pipe &) = delete;
	void close_read()
	{
		if (read != -1)
			close(read);
		read = -1;
	}
	void close_write()
	{
		if (write != -1)
			close(write);
		write = -1;
	}
};

class QmailQueue : public test::RealQmail {
protected:
	// Three spam and three other messages, to a local recipient, a
	// remote one, or both.
	struct mixed {
		std::set<unsigned long> spam, ham;
		std::set<unsigned long> all() const
		{
			std::set<unsigned long> both = spam;
			both.insert(ham.begin(), ham.end());
			return both;
		}
	};

	mixed inject_mixed()
	{
		const std::vector<std::vector<std::string>> rcpts = {
			{local_rcpt}, {remote_rcpt}, {local_rcpt, remote_rcpt}};
		mixed m;
		for (int i = 0; i < 3; i++) {
			std::string k = std::to_string(i);
			m.spam.insert(inject(rcpts[i], mail("Your jackpot " + k,
			    "Claim your prize " + k + " now.")));
			m.ham.insert(inject(rcpts[i], mail("Minutes " + k,
			    "The minutes of meeting " + k + ".")));
		}
		m.spam.erase(0);
		m.ham.erase(0);
		EXPECT_EQ(m.spam.size(), 3u);
		EXPECT_EQ(m.ham.size(), 3u);
		return m;
	}

	// Queues the mixed messages, has qmail-send try each once, and
	// stops it, as an administrator does before -r or -d.
	mixed queue_mixed_and_stop()
	{
		const log_mark run = mark();
		EXPECT_TRUE(start_send());
		mixed m = inject_mixed();
		EXPECT_TRUE(wait_tried(m.all(), run));
		EXPECT_TRUE(stop_send());
		EXPECT_EQ(numbers_of(qread()), m.all());
		return m;
	}

	// Starts qmail-send, makes it retry every message, and checks that
	// it tries each of want, and nothing else, without a warning.
	void retry_all(const std::set<unsigned long> &want)
	{
		const log_mark run = mark();
		ASSERT_TRUE(start_send());
		alarm_send();
		ASSERT_TRUE(wait_tried(want, run));
		EXPECT_EQ(warnings(run), std::vector<std::string>{});
		std::set<unsigned long> tried;
		for (const delivery &d : deliveries(run)) {
			tried.insert(d.message);
			EXPECT_EQ(d.result, "deferral") << d.message << " " << d.report;
		}
		EXPECT_EQ(tried, want);
	}

	// The files of the queue whose number is one of numbers: in the
	// queue's own subdirectories, or (in) the yank directory.
	std::vector<std::string> files_of(const std::set<unsigned long> &numbers,
	    bool yanked = false)
	{
		std::vector<std::string> found;
		for (const auto &[path, e] : test::tree_snapshot(queue_)) {
			if (!S_ISREG(e.mode) || path.starts_with("yanked/") != yanked)
				continue;
			std::string name = path.substr(path.rfind('/') + 1);
			if (numbers.count(strtoul(name.c_str(), nullptr, 10)) != 0)
				found.push_back(path);
		}
		return found;
	}

	std::string qstat_of(size_t messages)
	{
		return "messages in queue: " + std::to_string(messages) +
		    "\nmessages in queue but not yet preprocessed: 0\n";
	}

	// The tasks page's review recipe, putting back the messages of
	// numbers. svc only notes what it is told: the test stops and starts
	// qmail-send itself.
	Result restore(const std::set<unsigned long> &numbers)
	{
		std::string block = test::common_tasks(source_dir +
		    "/doc/tasks.md")["Review a yank and put back the false "
		    "positives"];
		const std::string example = "spoolsift-restore 1483724874";
		size_t at = block.find(example);
		if (at == std::string::npos) {
			ADD_FAILURE() << "the review recipe restores nothing:\n"
			    << block;
			return {};
		}
		std::string asked = "spoolsift-restore";
		for (unsigned long n : numbers)
			asked += " " + std::to_string(n);
		block.replace(at, example.size(), asked);
		const std::string bin = work_ + "/bin";
		test::make_dirs(bin);
		test::write_file(bin + "/svc", "#!/bin/sh\necho \"$*\" >> " +
		    work_ + "/svc.log\n");
		chmod((bin + "/svc").c_str(), 0755);
		EXPECT_EQ(symlink(test::restore_bin.c_str(),
		    (bin + "/spoolsift-restore").c_str()), 0);
		return test::run_at_default_queue(block, queue_, bin);
	}
};

}  // namespace

TEST_F(QmailQueue, YankedMessagesAreNeverTriedAndComeBackWithTheRestoreTask)
{
	const mixed m = queue_mixed_and_stop();
	const std::map<unsigned long, std::string> listed = qread();
	const std::vector<std::string> spam_files = files_of(m.spam);
	test::make_dirs(queue_ + "/yanked");
	Result r = spoolsift({"-r", "-p", "jackpot"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_NE(r.err.find("\n3 file(s) match\n"), std::string::npos) << r.err;
	EXPECT_EQ(numbers_of(qread()), m.ham);
	EXPECT_EQ(qstat(), qstat_of(3));
	EXPECT_EQ(files_of(m.spam), std::vector<std::string>{});
	EXPECT_EQ(files_of(m.spam, true).size(), spam_files.size());

	retry_all(m.ham);
	ASSERT_TRUE(stop_send());

	Result back = restore(m.spam);
	EXPECT_EQ(back.status, 0) << back.err;
	EXPECT_TRUE(back.err.ends_with("3 message(s) restored, 0 left alone, "
	    "0 failed\n")) << back.err;
	EXPECT_EQ(qread(), listed);
	EXPECT_EQ(qstat(), qstat_of(6));
	EXPECT_EQ(files_of(m.spam), spam_files);
	EXPECT_EQ(files_of(m.spam, true), std::vector<std::string>{});
	retry_all(m.all());
}

// The review workflow on a real queue: yank broadly, put the false
// positives back with spoolsift-restore, start qmail-send. The restored
// messages are tried once each, the others never, qmail-send warns of
// nothing, and qmail-qread and qmail-qstat see the restored messages as
// they were.
TEST_F(QmailQueue, RestoredMessagesAreTriedOnceAndTheRestNever)
{
	const mixed m = queue_mixed_and_stop();
	const std::map<unsigned long, std::string> listed = qread();
	test::make_dirs(queue_ + "/yanked");
	ASSERT_EQ(spoolsift({"-r", "-p", ".*"}).status, 0);
	EXPECT_EQ(numbers_of(qread()), std::set<unsigned long>{});

	// The ham comes back; the spam stays yanked.
	std::string numbers;
	for (unsigned long n : m.ham)
		numbers += std::to_string(n) + "\n";
	test::RunOptions in;
	in.input = numbers;
	Result r = spoolsift_restore({"-"}, in);
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_TRUE(r.err.ends_with("3 message(s) restored, 0 left alone, "
	    "0 failed\n")) << r.err;
	std::map<unsigned long, std::string> ham_listed;
	for (unsigned long n : m.ham)
		ham_listed[n] = listed.at(n);
	EXPECT_EQ(qread(), ham_listed);
	EXPECT_EQ(qstat(), qstat_of(3));
	EXPECT_EQ(files_of(m.ham, true), std::vector<std::string>{});

	const log_mark run = mark();
	retry_all(m.ham);
	std::map<std::pair<unsigned long, std::string>, int> tries;
	for (const delivery &d : deliveries(run))
		tries[{d.message, d.recipient}]++;
	for (const auto &[who, count] : tries)
		EXPECT_EQ(count, 1) << who.first << " to " << who.second;
	ASSERT_TRUE(stop_send());
	EXPECT_EQ(numbers_of(qread()), m.ham);
}

// A yanked text copied away, or removed while its envelope stays,
// frees its inode, and qmail-queue gives the number to the next message
// it queues. A copy put back is not the message's own text; an envelope
// left alone in the yank directory did not come with the new message's
// text. Either way the restore refuses, and both messages stay whole,
// the new one in the queue, the old one's files in the yank directory.
class ReusedNumber : public QmailQueue,
		     public ::testing::WithParamInterface<bool> {};

TEST_P(ReusedNumber, ARestoreOfANumberQmailGaveAgainIsRefused)
{
	const bool copied = GetParam();
	if (::testing::AssertionResult own = queue_on_own_file_system(); !own)
		GTEST_SKIP() << "no file system of the queue's own here: "
			     << own.message();
	const mixed m = queue_mixed_and_stop();
	test::make_dirs(queue_ + "/yanked");
	ASSERT_EQ(spoolsift({"-r", "-p", "jackpot"}).status, 0);
	const unsigned long s = *m.spam.begin();
	const std::string n = std::to_string(s);
	const std::string text = queue_ + "/yanked/" + n + ".mess";
	if (copied)
		test::write_file(text + ".copy",
		    test::read_file(text).value_or(""));
	ASSERT_EQ(unlink(text.c_str()), 0);
	if (copied) {
		ASSERT_EQ(rename((text + ".copy").c_str(), text.c_str()), 0);
	}
	const std::string head = "restore_file(" + n + "): ";
	const std::string refused = copied ? head + "yanked/" + n +
	    ".mess is not the message's own text" : head + "no yanked/" + n +
	    ".mess; nothing restored\n";
	Result r = spoolsift_restore({n});
	EXPECT_EQ(r.status, 1);
	EXPECT_NE(r.err.find(refused), std::string::npos) << r.err;

	// On the queue's own ext4 the freed inode goes to the first new file
	// once the files qmail-send freed before it are taken again: a few
	// messages on, each of which is tried with the rest.
	std::set<unsigned long> want = m.ham;
	bool reused = false;
	for (int i = 0; i < 30 && !reused; i++) {
		const unsigned long got = inject({local_rcpt},
		    mail("Minutes again", "Meeting " + std::to_string(i)));
		want.insert(got);
		reused = got == s;
	}
	ASSERT_TRUE(reused) << "no new message got the freed number " << n;
	const std::vector<std::string> yanked = files_of({s}, true);
	const std::vector<std::string> queued = files_of({s});
	r = spoolsift_restore({n});
	EXPECT_EQ(r.status, 1);
	EXPECT_NE(r.err.find(copied ? refused : head + "no yanked/" + n +
	    ".mess, and mess/" + std::to_string(s % 23) + "/" + n +
	    " is another message's; nothing restored\n"), std::string::npos)
	    << r.err;
	r = spoolsift_restore({"-t", "-a"});
	EXPECT_EQ(r.err.find("would move yanked/" + n + "."), std::string::npos)
	    << r.err;
	EXPECT_EQ(files_of({s}, true), yanked);
	EXPECT_EQ(files_of({s}), queued);
	EXPECT_NE(message_text(s).value_or("").find("Minutes again"),
	    std::string::npos);
	retry_all(want);
}

INSTANTIATE_TEST_SUITE_P(QmailQueue, ReusedNumber, ::testing::Bool(),
    [](const auto &info) { return info.param ? "TextCopied" : "TextRemoved"; });

TEST_F(QmailQueue, DeletedMessagesAreNeverTried)
{
	const mixed m = queue_mixed_and_stop();
	Result r = spoolsift({"-d", "-p", "jackpot"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_NE(r.err.find("\n3 file(s) match\n"), std::string::npos) << r.err;
	EXPECT_EQ(numbers_of(qread()), m.ham);
	EXPECT_EQ(qstat(), qstat_of(3));
	EXPECT_EQ(files_of(m.spam), std::vector<std::string>{});
	retry_all(m.ham);
}

// A yank killed between two files of a message (SIGKILL, the OOM killer,
// a power cut), and qmail-send started before anyone runs the yank again,
// as after a reboot. What is left in the queue must not look like a
// message delivered to everyone, which qmail-send would finish by
// removing it, mess and all; the rerun then takes the rest. The message
// with a local and a remote recipient, killed after each call from the
// end of its first move (info) to the end of its third: where a move is
// a link and an unlink, also between the two, which leaves that file
// under both names.
class KilledYank : public QmailQueue,
		   public ::testing::WithParamInterface<int> {};

TEST_P(KilledYank, QmailSendStartedBeforeTheRerunLosesNothing)
{
	const mixed m = queue_mixed_and_stop();
	test::make_dirs(queue_ + "/yanked");
	unsigned long n = 0;
	for (unsigned long s : m.spam)
		if (message_text(s).value_or("").find("jackpot 2") !=
		    std::string::npos)
			n = s;
	ASSERT_NE(n, 0u);
	const std::vector<std::string> files = files_of({n});
	ASSERT_EQ(files.size(), 4u);	// info, local, remote and mess

	test::RunOptions kill_after;
	kill_after.env = {"LD_PRELOAD=" FAULT_INJECT_LIB, "SPOOLSIFT_FAULT=kill",
	    "SPOOLSIFT_FAULT_AT=" + std::to_string(GetParam()),
	    "ASAN_OPTIONS=verify_asan_link_order=0"};
	Result killed = spoolsift({"-r", "-p", "jackpot 2"}, kill_after);
	ASSERT_EQ(killed.status, 128 + SIGKILL) << killed.err;

	const log_mark run = mark();
	ASSERT_TRUE(start_send());
	alarm_send();
	ASSERT_TRUE(wait_tried(m.ham, run));
	ASSERT_TRUE(stop_send());
	EXPECT_EQ(log(run).find("end msg " + std::to_string(n)),
	    std::string::npos) << log(run);
	EXPECT_EQ(queued().count(n), 1u) << "its mess is gone";

	Result again = spoolsift({"-r", "-p", "jackpot 2"});
	EXPECT_EQ(again.status, 0) << again.err;
	EXPECT_EQ(files_of({n}), std::vector<std::string>{});
	EXPECT_EQ(files_of({n}, true).size(), files.size());
	std::set<unsigned long> rest = m.all();
	rest.erase(n);
	EXPECT_EQ(numbers_of(qread()), rest);
}

INSTANTIATE_TEST_SUITE_P(AfterCall, KilledYank,
    ::testing::Range(test::calls_per_move, 3 * test::calls_per_move + 1));

// The two ways to expire, each far past qmail's default queue lifetime
// of seven days.
class Expire : public QmailQueue,
	       public ::testing::WithParamInterface<std::string> {
protected:
	std::vector<std::string> expire_args()
	{
		if (GetParam() == "-X")
			return {"-X", "700000"};
		test::RunOptions c_locale;
		c_locale.env = {"LC_ALL=C"};
		Result date = test::run_program("/bin/date", {"-d", "30 days ago"},
		    c_locale);
		EXPECT_EQ(date.status, 0) << date.err;
		return {"-x", date.out.substr(0, date.out.find('\n'))};
	}
};

TEST_P(Expire, ExactlyTheMatchingMessagesBounceAsQueuedTooLong)
{
	const log_mark run = mark();
	ASSERT_TRUE(start_send());
	const mixed m = inject_mixed();
	ASSERT_TRUE(wait_tried(m.all(), run));

	// Safe while qmail-send runs, and said to be.
	std::vector<std::string> args = expire_args();
	args.insert(args.end(), {"-p", "jackpot"});
	Result r = spoolsift(args);
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_NE(r.err.find("\n3 file(s) match\n"), std::string::npos) << r.err;
	EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;
	for (unsigned long n : m.spam)
		EXPECT_NE(r.err.find("Set timestamp on info/" +
		    std::to_string(n % 23) + "/" + std::to_string(n) + " \n"),
		    std::string::npos) << r.err;

	const log_mark retry = mark();
	alarm_send();
	ASSERT_TRUE(wait_tried(m.all(), retry));
	// A bounce is queued before its message goes ("end msg"); then the
	// queue holds the other messages and the bounces.
	ASSERT_TRUE(wait_until([&] {
		for (unsigned long n : m.spam)
			if (log(retry).find("\nend msg " + std::to_string(n) + "\n") ==
			    std::string::npos)
				return false;
		return qstat() == qstat_of(6);
	}, "the expired messages to be replaced by their bounces"));
	EXPECT_EQ(bounced(retry), m.spam);
	std::string why = too_long;
	std::replace(why.begin(), why.end(), ' ', '_');
	for (const delivery &d : deliveries(retry)) {
		if (d.recipient == sender)	// a bounce, whatever its number
			EXPECT_TRUE(d.result.empty() || d.result == "deferral")
			    << d.message << " " << d.result;
		else if (m.spam.count(d.message) != 0)
			EXPECT_TRUE(d.result == "failure" &&
			    d.report.ends_with(why + "/")) << d.message << " "
			    << d.result << ": " << d.report;
		else
			EXPECT_EQ(d.result, "deferral") << d.message;
	}
	// The other messages stay as they were; each expired one is now a
	// bounce to its sender that says why, with the message below. The
	// queue may give a bounce the number of an expired message.
	std::multiset<std::string> subjects;
	size_t bounces = 0;
	for (const auto &[n, listing] : qread()) {
		std::string text = message_text(n).value_or("");
		size_t at = text.find("\nSubject: ");
		subjects.insert(text.substr(at + 10, text.find('\n', at + 1) - at - 10));
		if (text.find(too_long) == std::string::npos)
			continue;
		bounces++;
		EXPECT_NE(listing.find("<>"), std::string::npos) << listing;
		EXPECT_NE(listing.find("\tlocal\t" + sender + "\n"),
		    std::string::npos) << listing;
		EXPECT_NE(text.find("\nSubject: Your jackpot"), std::string::npos);
	}
	EXPECT_EQ(bounces, 3u);
	EXPECT_EQ(subjects.count("failure notice"), 3u);
	for (const char *k : {"0", "1", "2"})
		EXPECT_EQ(subjects.count(std::string("Minutes ") + k), 1u);
	EXPECT_EQ(warnings(run), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(QmailQueue, Expire,
    ::testing::Values(std::string("-X"), std::string("-x")),
    [](const auto &info) { return info.param == "-X" ? "BySeconds" : "ByDate"; });

namespace {

// Scenarios of -r and -d racing qmail itself: they need the live-host
// behaviour.
class LiveHost : public QmailQueue {
protected:
	void SetUp() override
	{
		if (!live_host_behaviour)
			GTEST_SKIP() << "needs -r and -d to leave alone a message "
			    "qmail-queue is still writing, to be refused "
			    "while qmail-send runs and to hold its lock: switched on "
			    "when the issue \"A live mail host\" lands";
		QmailQueue::SetUp();
	}
};

// Where qmail-queue waits while spoolsift runs.
const std::string mid_body = "mid-body", before_envelope = "before-envelope";

class HeldQmailQueue : public LiveHost,
		       public ::testing::WithParamInterface<
			   std::tuple<std::string, std::string>> {};

}  // namespace

TEST_P(HeldQmailQueue, AMessageItAcceptsIsWholeAndQueued)
{
	const auto [where, action] = GetParam();
	test::make_dirs(queue_ + "/yanked");
	// qmail-queue reads the message on descriptor 0, then the envelope
	// on descriptor 1; each waits in its pipe until the test goes on.
	test_pipe body, envelope;
	test::Child queue(qmail_program("qmail-queue"), {},
	    {{0, body.read}, {1, envelope.read}});
	body.close_read();
	envelope.close_read();
	std::string text = mail("held jackpot", "");
	for (int i = 0; i < 2000; i++)
		text += "line " + std::to_string(i) + " of a long message\n";
	const size_t half = text.size() / 2;
	ASSERT_TRUE(write_all(body.write, text.substr(0, half)));

	// mess/n appears with the first part; the rest is still to come.
	unsigned long n = 0;
	ASSERT_TRUE(wait_until([&] {
		for (unsigned long m : queued())
			if (message_text(m).value_or("").find("Subject: held")
			    != std::string::npos)
				n = m;
		return n != 0;
	}, "qmail-queue to write the first part"));
	if (where == before_envelope) {
		ASSERT_TRUE(write_all(body.write, text.substr(half)));
		body.close_write();
		ASSERT_TRUE(wait_until([&] {
			return test::exists(queue_ + "/intd/" + std::to_string(n));
		}, "qmail-queue to wait for the envelope"));
	}

	Result r = spoolsift({action, "-p", "held jackpot"});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.out, std::to_string(n) + ": yes\n");
	EXPECT_NE(r.err.find("(" + std::to_string(n) + "): not queued yet (no "
	    "todo or info file), left alone\n"), std::string::npos) << r.err;

	if (where == mid_body) {
		EXPECT_TRUE(write_all(body.write, text.substr(half)));
		body.close_write();
	}
	EXPECT_TRUE(write_all(envelope.write, "F" + sender + std::string(1, '\0') +
	    "T" + local_rcpt + std::string(2, '\0')));
	envelope.close_write();
	std::optional<int> accepted = queue.wait(180);
	ASSERT_TRUE(accepted);
	ASSERT_EQ(*accepted, 0) << "qmail-queue refused the message";
	recipients_[n] = {local_rcpt};

	// Whole in the queue: qmail-send takes it up and tries it.
	EXPECT_TRUE(message_text(n).value_or("").ends_with(text))
	    << "mess of " << n;
	EXPECT_TRUE(test::tree_snapshot(queue_ + "/yanked").empty());
	const log_mark run = mark();
	ASSERT_TRUE(start_send());
	ASSERT_TRUE(wait_tried({n}, run));
	EXPECT_EQ(warnings(run), std::vector<std::string>{});
	EXPECT_EQ(numbers_of(qread()), std::set<unsigned long>{n});
	EXPECT_EQ(qstat(), qstat_of(1));
}

INSTANTIATE_TEST_SUITE_P(QmailQueue, HeldQmailQueue,
    ::testing::Combine(::testing::Values(mid_body, before_envelope),
	::testing::Values(std::string("-r"), std::string("-d"))),
    [](const auto &info) {
	    return std::string(std::get<0>(info.param) == mid_body ?
			"MidBody" : "BeforeEnvelope") +
		(std::get<1>(info.param) == "-r" ? "Yank" : "Delete");
    });

namespace {

class SendRunning : public LiveHost,
		    public ::testing::WithParamInterface<std::string> {};

}  // namespace

// Under a running qmail-send, a yank or delete would have it deliver from
// its stale list (twice, once a new message gets the number): refused,
// nothing changed, and qmail-send's log stays clean.
TEST_P(SendRunning, YankAndDeleteAreRefused)
{
	const log_mark run = mark();
	ASSERT_TRUE(start_send());
	unsigned long n = inject({local_rcpt}, mail("jackpot", "win"));
	ASSERT_TRUE(wait_tried({n}, run));
	test::make_dirs(queue_ + "/yanked");
	Result r = spoolsift({GetParam(), "-p", "jackpot"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, running_refusal);
	EXPECT_EQ(queued(), std::set<unsigned long>{n});
	ASSERT_TRUE(stop_send());
	EXPECT_EQ(warnings(run), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(QmailQueue, SendRunning,
    ::testing::Values(std::string("-r"), std::string("-d")),
    [](const auto &info) { return info.param == "-r" ? "Yank" : "Delete"; });

namespace {

// Whether a lock is held on path, as /proc/locks lists them: looking
// takes no lock, so it cannot disturb the holder.
bool locked(const std::string &path)
{
	struct stat st;
	if (stat(path.c_str(), &st) == -1)
		return false;
	char id[64];
	snprintf(id, sizeof id, " %02x:%02x:%lu ", major(st.st_dev),
	    minor(st.st_dev), static_cast<unsigned long>(st.st_ino));
	return test::read_file("/proc/locks").value_or("").find(id) !=
	    std::string::npos;
}

}  // namespace

TEST_F(LiveHost, NeitherQmailSendNorASecondRunCanStartDuringADeleteRun)
{
	const log_mark first = mark();
	ASSERT_TRUE(start_send());
	unsigned long n = inject({local_rcpt}, mail("jackpot", "win"));
	ASSERT_TRUE(wait_tried({n}, first));
	ASSERT_TRUE(stop_send());

	// The run stops at its first report, on a full pipe, until the
	// test reads it: it is under way for as long as the test needs.
	test_pipe err(O_NONBLOCK);
	const std::string filler(4096, '.');
	while (write(err.write, filler.data(), filler.size()) > 0)
		;
	ASSERT_EQ(fcntl(err.write, F_SETFL, 0), 0);
	int out = open("/dev/null", O_WRONLY | O_CLOEXEC);
	test::Child run(test::spoolsift_bin, {"-q", queue_, "-d", "-p", "jackpot"},
	    {{1, out}, {2, err.write}});
	close(out);
	err.close_write();
	ASSERT_TRUE(wait_until([&] {
		return locked(queue_ + "/lock/sendmutex") || !run.running();
	}, "the -d run to lock lock/sendmutex"));
	ASSERT_TRUE(run.running()) << "the -d run ended without its report";

	const log_mark blocked = mark();
	EXPECT_FALSE(start_send());
	EXPECT_NE(log(blocked).find(
	    "alert: cannot start: qmail-send is already running\n"),
	    std::string::npos) << log(blocked);

	// A second run meanwhile, a yank, is refused: the queue is being
	// changed.
	test::make_dirs(queue_ + "/yanked");
	Result second = spoolsift({"-r", "-p", "jackpot"});
	EXPECT_EQ(second.status, 1);
	EXPECT_EQ(second.err, "FATAL: another spoolsift run is changing this "
	    "queue; wait for it to end.\n");
	EXPECT_EQ(queued(), std::set<unsigned long>{n});

	ASSERT_EQ(fcntl(err.read, F_SETFL, 0), 0);
	std::string said;
	char buf[4096];
	for (ssize_t got; (got = read(err.read, buf, sizeof buf)) > 0;)
		said.append(buf, static_cast<size_t>(got));
	EXPECT_EQ(run.wait(180), std::optional<int>(0));
	EXPECT_NE(said.find("1 file(s) match\n"), std::string::npos) << said;
	EXPECT_EQ(queued(), std::set<unsigned long>{});

	const log_mark after = mark();
	ASSERT_TRUE(start_send());
	EXPECT_EQ(warnings(after), std::vector<std::string>{});
}
