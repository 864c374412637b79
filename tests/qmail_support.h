// qmail_support.h: a real qmail for the scenarios that need one. The
// build installs it once per build tree (tests/qmail/build); each test
// gets a fresh copy of that installed home, mounted in its place in a
// private mount namespace, and runs qmail's own programs on it:
// qmail-send, qmail-inject, qmail-queue, qmail-qread, qmail-qstat.
//
// Every local address defers (its .qmail says |exit 111), and so does
// every remote one at [127.0.0.2] (nothing listens there): messages stay
// queued, and nothing needs DNS.
#ifndef SPOOLSIFT_TESTS_QMAIL_SUPPORT_H
#define SPOOLSIFT_TESTS_QMAIL_SUPPORT_H

#include "support.h"

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace test {

// One delivery attempt, as qmail-send logs it.
struct delivery {
	unsigned long message = 0;
	std::string channel;	// "local" or "remote"
	std::string recipient;
	std::string result;	// "success", "failure", "deferral"; "" while it runs
	std::string report;	// as logged: spaces are underscores
};

// A place in qmail-send's log: the scenarios read what came after it.
using log_mark = size_t;

class RealQmail : public ::testing::Test {
protected:
	// Skips the test, with the reason, when there is no usable qmail:
	// not root, no private mount namespace, or the build skipped.
	void SetUp() override;
	// Stops qmail-send and leaves the namespace; the copy goes.
	void TearDown() override;

	static const std::string local_rcpt;	// defers
	static const std::string remote_rcpt;	// defers
	static const std::string sender;	// local: its bounces defer too

	// qmail-inject's queuing of text to rcpts from sender; the message's
	// number, or 0 (and a test failure) when that failed.
	unsigned long inject(const std::vector<std::string> &rcpts,
	    const std::string &text);

	::testing::AssertionResult start_send();	// once it runs
	::testing::AssertionResult stop_send();		// once it has ended
	void alarm_send();	// SIGALRM: retry every message now
	bool send_running();

	log_mark mark() const;		// the end of the log now
	std::string log(log_mark from = 0) const;
	// The "warning:" and "alert:" lines since from.
	std::vector<std::string> warnings(log_mark from = 0) const;
	// The attempts qmail-send logged since from, which must be a mark
	// taken while one qmail-send runs (their ids count from 1 per run).
	std::vector<delivery> deliveries(log_mark from) const;
	std::set<unsigned long> bounced(log_mark from) const;	// "bounce msg N"

	// Polls until done() holds; fails, saying what, after a limit far
	// beyond what a loaded machine needs.
	::testing::AssertionResult wait_until(const std::function<bool()> &done,
	    const std::string &what) const;
	// Waits until each of messages has had every recipient it was
	// injected with tried since from, and no attempt is under way; fails
	// at once when qmail-send warns.
	::testing::AssertionResult wait_tried(
	    const std::set<unsigned long> &messages, log_mark from) const;

	// qmail-qread's listing: each message's block of lines (its line
	// of date, size and sender, then one per recipient), by number.
	std::map<unsigned long, std::string> qread() const;
	std::string qstat() const;	// qmail-qstat's output
	// The numbers of the messages in the queue (mess files).
	std::set<unsigned long> queued() const;
	// The message file of n, or none.
	std::optional<std::string> message_text(unsigned long n) const;

	// spoolsift, and spoolsift-restore, on this queue.
	Result spoolsift(const std::vector<std::string> &args,
	    const RunOptions &opts = {}) const;
	Result spoolsift_restore(const std::vector<std::string> &args,
	    const RunOptions &opts = {}) const;

	std::string qmail_program(const std::string &name) const;

	// Moves the queue onto a file system of its own (an ext4 image on a
	// loop device, in this test's namespace), before qmail-send starts:
	// there nothing but this test's qmail makes files, so an inode that
	// is freed goes to the next file qmail-queue makes, as a quiet
	// host's would. A failure says why (no loop device here).
	::testing::AssertionResult queue_on_own_file_system();

	std::string home_;	// where the programs find it: the copy
	std::string queue_;	// home_/queue
	std::string work_;	// this test's own directory, beside the copy
	// The recipients each injected message was given.
	std::map<unsigned long, std::vector<std::string>> recipients_;

private:
	std::unique_ptr<TempDir> tmp_;
	std::unique_ptr<Child> send_;
	int log_fd_ = -1;
	int outer_namespace_ = -1;	// to go back to
	bool mounted_ = false;
};

}  // namespace test

#endif
