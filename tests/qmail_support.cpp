// qmail_support.cpp: the real-qmail fixture: a fresh copy of the
// installed home per test, qmail-send with its log, and readers of that
// log and of qmail's own queue listings.
#include "qmail_support.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

namespace fs = std::filesystem;

namespace test {

namespace {

// Where the build put qmail: the installed home in home/, its status.
const std::string qmail_dir = QMAIL_DIR;

// Far beyond what any step takes, even on a loaded machine.
constexpr auto patience = std::chrono::seconds(180);

unsigned long number_at(const std::string &text, size_t at)
{
	return strtoul(text.c_str() + at, nullptr, 10);
}

}  // namespace

const std::string RealQmail::local_rcpt = "defer@qmail.test";
const std::string RealQmail::remote_rcpt = "defer@[127.0.0.2]";
const std::string RealQmail::sender = "sender@qmail.test";

void RealQmail::SetUp()
{
	if (geteuid() != 0) {
		GTEST_SKIP() << "needs root: real qmail runs as its own users";
	}
	std::optional<std::string> status = read_file(qmail_dir + "/status");
	if (!status) {
		GTEST_SKIP() << "no qmail in " << qmail_dir << ": ctest builds "
		    "it first, in the test qmail_build (tests/qmail/build)";
	}
	if (*status != "ok\n") {
		GTEST_SKIP() << *status;
	}
	if (!can_unshare_mount()) {
		GTEST_SKIP() << "needs a private mount namespace, to give each "
		    "test its own copy of the qmail home";
	}

	home_ = qmail_dir + "/home";
	queue_ = home_ + "/queue";
	// Beside the installed home, on its file system: a copy elsewhere
	// might sit on a nosuid mount, where qmail-queue would not become
	// its user.
	make_dirs(qmail_dir + "/run");
	tmp_ = std::make_unique<TempDir>(qmail_dir + "/run");
	work_ = tmp_->path();
	const std::string copy = work_ + "/home";
	Result cp = run_program("/bin/cp", {"-a", home_, copy});
	ASSERT_EQ(cp.status, 0) << "copying " << home_ << ": " << cp.err;

	// The copy in place of the installed home, for this process and its
	// children only.
	outer_namespace_ = open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
	ASSERT_NE(outer_namespace_, -1) << strerror(errno);
	ASSERT_EQ(unshare(CLONE_NEWNS), 0) << "unshare: " << strerror(errno);
	ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0)
	    << "mount --make-rprivate /: " << strerror(errno);
	ASSERT_EQ(mount(copy.c_str(), home_.c_str(), nullptr, MS_BIND,
	    nullptr), 0) << "mount --bind: " << strerror(errno);
	mounted_ = true;
	struct stat in_place, own;
	ASSERT_EQ(stat(home_.c_str(), &in_place), 0);
	ASSERT_EQ(stat(copy.c_str(), &own), 0);
	ASSERT_TRUE(in_place.st_dev == own.st_dev && in_place.st_ino == own.st_ino)
	    << home_ << " is not this test's copy";

	log_fd_ = open((work_ + "/send.log").c_str(),
	    O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
	ASSERT_NE(log_fd_, -1) << strerror(errno);
}

void RealQmail::TearDown()
{
	if (send_running()) {
		EXPECT_TRUE(stop_send());
	}
	send_.reset();
	if (log_fd_ != -1)
		close(log_fd_);
	if (mounted_) {
		EXPECT_EQ(umount2(home_.c_str(), MNT_DETACH), 0) << strerror(errno);
	}
	if (outer_namespace_ != -1) {
		EXPECT_EQ(setns(outer_namespace_, CLONE_NEWNS), 0)
		    << strerror(errno);
		close(outer_namespace_);
	}
	tmp_.reset();
}

std::string RealQmail::qmail_program(const std::string &name) const
{
	return home_ + "/bin/" + name;
}

::testing::AssertionResult RealQmail::queue_on_own_file_system()
{
	// ext4 with its journal: without one it keeps a freed inode back for
	// a while, which qmail's own file systems do not.
	const std::string image = work_ + "/queue.img", fs = work_ + "/queue-fs";
	Result r = run_program("/bin/sh", {"-ec",
	    "truncate -s 64M \"$1\"\n"
	    "mkfs.ext4 -q -F \"$1\"\n"
	    "mkdir \"$2\"\n"
	    "mount -o loop \"$1\" \"$2\"\n"
	    "cp -a \"$3\" \"$2/queue\"\n"
	    "mount --bind \"$2/queue\" \"$3\"\n",
	    "sh", image, fs, queue_});
	if (r.status != 0)
		return ::testing::AssertionFailure() << r.err;
	struct stat queue, own;
	if (stat(queue_.c_str(), &queue) != 0 ||
	    stat((fs + "/queue").c_str(), &own) != 0 ||
	    queue.st_dev != own.st_dev || queue.st_ino != own.st_ino)
		return ::testing::AssertionFailure() << queue_ << " is not on "
		    << image;
	return ::testing::AssertionSuccess();
}

unsigned long RealQmail::inject(const std::vector<std::string> &rcpts,
    const std::string &text)
{
	const std::set<unsigned long> before = queued();
	std::vector<std::string> args = {"-f" + sender};
	args.insert(args.end(), rcpts.begin(), rcpts.end());
	RunOptions opts;
	opts.input = text;
	Result r = run_program(qmail_program("qmail-inject"), args, opts);
	if (r.status != 0) {
		ADD_FAILURE() << "qmail-inject: status " << r.status << ": " << r.err;
		return 0;
	}
	std::vector<unsigned long> added;
	for (unsigned long n : queued())
		if (before.count(n) == 0)
			added.push_back(n);
	if (added.size() != 1) {
		ADD_FAILURE() << "qmail-inject queued " << added.size()
		    << " messages, not one";
		return 0;
	}
	recipients_[added[0]] = rcpts;
	return added[0];
}

::testing::AssertionResult RealQmail::start_send()
{
	if (send_running())
		return ::testing::AssertionFailure() << "qmail-send runs already";
	const log_mark from = mark();
	int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
	// As its boot scripts start it: a bare environment with qmail's
	// programs first in PATH. qmail-send logs to the descriptor that
	// was qmail-start's standard output.
	send_ = std::make_unique<Child>(qmail_program("qmail-start"),
	    std::vector<std::string>{}, std::map<int, int>{{0, null},
		{1, log_fd_}, {2, log_fd_}},
	    std::vector<std::string>{"PATH=" + home_ + "/bin:/usr/bin:/bin"});
	close(null);
	// Its first status line comes after it has read the queue, and after
	// it has set its signal handlers: only then may it get SIGALRM.
	auto up = wait_until([&] {
		return log(from).find("status: ") != std::string::npos ||
		    !send_->running();
	}, "qmail-send to start");
	if (!up)
		return up;
	if (!send_->running())
		return ::testing::AssertionFailure() << "qmail-send stopped: "
		    << log(from);
	return ::testing::AssertionSuccess();
}

::testing::AssertionResult RealQmail::stop_send()
{
	if (!send_running())
		return ::testing::AssertionFailure() << "qmail-send does not run";
	send_->signal(SIGTERM);
	std::optional<int> status = send_->wait(
	    std::chrono::duration_cast<std::chrono::seconds>(patience).count());
	if (!status) {
		send_->signal(SIGKILL);
		return ::testing::AssertionFailure()
		    << "qmail-send did not stop on SIGTERM";
	}
	if (*status != 0)
		return ::testing::AssertionFailure() << "qmail-send ended with "
		    << *status << ": " << log();
	return ::testing::AssertionSuccess();
}

void RealQmail::alarm_send()
{
	ASSERT_TRUE(send_running());
	send_->signal(SIGALRM);
}

bool RealQmail::send_running()
{
	return send_ != nullptr && send_->running();
}

log_mark RealQmail::mark() const
{
	struct stat st;
	if (fstat(log_fd_, &st) == -1) {
		ADD_FAILURE() << "fstat: " << strerror(errno);
		return 0;
	}
	return static_cast<log_mark>(st.st_size);
}

std::string RealQmail::log(log_mark from) const
{
	std::string text = read_file(work_ + "/send.log").value_or("");
	return from < text.size() ? text.substr(from) : "";
}

std::vector<std::string> RealQmail::warnings(log_mark from) const
{
	std::vector<std::string> found;
	for (const std::string &line : lines_of(log(from)))
		if (line.starts_with("warning:") || line.starts_with("alert:"))
			found.push_back(line);
	return found;
}

std::vector<delivery> RealQmail::deliveries(log_mark from) const
{
	// starting delivery 3: msg 10977238 to local defer@qmail.test
	// delivery 3: deferral: Sorry,_..._(#4.4.1)/
	std::vector<delivery> found;
	std::map<unsigned long, size_t> by_id;
	for (const std::string &line : lines_of(log(from))) {
		if (line.starts_with("starting delivery ")) {
			unsigned long id = number_at(line, 18);
			size_t msg = line.find(": msg ");
			size_t to = line.find(" to ", msg);
			if (msg == std::string::npos || to == std::string::npos)
				continue;
			delivery d;
			d.message = number_at(line, msg + 6);
			size_t space = line.find(' ', to + 4);
			d.channel = line.substr(to + 4, space - (to + 4));
			d.recipient = line.substr(space + 1);
			by_id[id] = found.size();
			found.push_back(d);
		} else if (line.starts_with("delivery ")) {
			unsigned long id = number_at(line, 9);
			size_t colon = line.find(": ");
			auto it = by_id.find(id);
			if (colon == std::string::npos || it == by_id.end())
				continue;
			size_t end = line.find(':', colon + 2);
			delivery &d = found[it->second];
			d.result = line.substr(colon + 2, end - (colon + 2));
			if (end != std::string::npos && end + 2 <= line.size())
				d.report = line.substr(end + 2);
			by_id.erase(it);
		}
	}
	return found;
}

std::set<unsigned long> RealQmail::bounced(log_mark from) const
{
	std::set<unsigned long> found;
	for (const std::string &line : lines_of(log(from)))
		if (line.starts_with("bounce msg "))
			found.insert(number_at(line, 11));
	return found;
}

::testing::AssertionResult RealQmail::wait_until(
    const std::function<bool()> &done, const std::string &what) const
{
	const auto limit = std::chrono::steady_clock::now() + patience;
	while (!done()) {
		if (std::chrono::steady_clock::now() > limit)
			return ::testing::AssertionFailure() << "waited in vain for "
			    << what << "; qmail-send's log:\n" << log();
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
	}
	return ::testing::AssertionSuccess();
}

::testing::AssertionResult RealQmail::wait_tried(
    const std::set<unsigned long> &messages, log_mark from) const
{
	// A warning says something went wrong: no need to wait on.
	auto tried = wait_until([&] {
		if (!warnings(from).empty())
			return true;
		const std::vector<delivery> all = deliveries(from);
		for (const delivery &d : all)
			if (d.result.empty())
				return false;
		for (unsigned long n : messages) {
			auto rcpts = recipients_.find(n);
			if (rcpts == recipients_.end())
				return false;
			for (const std::string &rcpt : rcpts->second)
				if (std::none_of(all.begin(), all.end(),
					[&](const delivery &d) {
						return d.message == n &&
						    d.recipient == rcpt;
					}))
					return false;
		}
		return true;
	}, "every recipient of the messages to be tried");
	if (tried && !warnings(from).empty())
		return ::testing::AssertionFailure() << "qmail-send warned:\n"
		    << log(from);
	return tried;
}

std::map<unsigned long, std::string> RealQmail::qread() const
{
	Result r = run_program(qmail_program("qmail-qread"), {});
	EXPECT_EQ(r.status, 0) << r.err;
	EXPECT_EQ(r.err, "");
	// 9 Dec 2026 12:10:21 GMT  #10977238  221  <sender@qmail.test>
	// 	local	defer@qmail.test
	std::map<unsigned long, std::string> listing;
	unsigned long n = 0;
	for (const std::string &line : lines_of(r.out)) {
		size_t hash = line.find("  #");
		if (!line.starts_with("\t") && !line.starts_with("  done") &&
		    hash != std::string::npos)
			n = number_at(line, hash + 3);
		listing[n] += line + "\n";
	}
	return listing;
}

std::string RealQmail::qstat() const
{
	Result r = run_program(qmail_program("qmail-qstat"), {});
	EXPECT_EQ(r.status, 0) << r.err;
	return r.out;
}

std::set<unsigned long> RealQmail::queued() const
{
	std::set<unsigned long> numbers;
	std::error_code ec;
	for (const auto &e : fs::recursive_directory_iterator(queue_ + "/mess", ec))
		if (e.is_regular_file())
			numbers.insert(std::stoul(e.path().filename()));
	if (ec)
		ADD_FAILURE() << "cannot list " << queue_ << "/mess: " << ec.message();
	return numbers;
}

std::optional<std::string> RealQmail::message_text(unsigned long n) const
{
	return read_file(queue_ + "/mess/" + std::to_string(n % 23) + "/" +
	    std::to_string(n));
}

Result RealQmail::spoolsift(const std::vector<std::string> &args,
    const RunOptions &opts) const
{
	std::vector<std::string> all = {"-q", queue_};
	all.insert(all.end(), args.begin(), args.end());
	return run_program(spoolsift_bin, all, opts);
}

Result RealQmail::spoolsift_restore(const std::vector<std::string> &args,
    const RunOptions &opts) const
{
	std::vector<std::string> all = {"-q", queue_};
	all.insert(all.end(), args.begin(), args.end());
	return run_program(restore_bin, all, opts);
}

}  // namespace test
