// read_ahead.cpp: the window of the walk's steps and the threads that
// read and judge its files.
#include "read_ahead.h"

#include "os.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <new>
#include <system_error>

namespace {

// Texts read at once above what each reader keeps for small ones.
constexpr size_t shared_bytes = 32 * 1024 * 1024;
// Two readers for each processor: from the page cache they take turns
// at no cost worth measuring, and when the files must come from the disk
// one waits for it while the other works (a cold 20,000-message queue:
// 2.2 s with one reader per processor on two, 1.5 s with two, against
// 2.6 to 3.0 s for a single reader). Many more crowd the calling thread,
// which writes the listing, off the processors of a warm run.
constexpr size_t readers_per_cpu = 2;
constexpr size_t max_readers = 8;
// The caller waits for this many steps at a time, and refills the
// window by at least as many: one wake-up for a batch, not per file.
constexpr size_t batch = 64;
// A file waited on the disk when its first part was not all in memory
// (the system layer's read of only what is cached says so); where the
// system cannot tell, when its reading and test took this long: from the
// page cache a message of the usual sizes takes tens of microseconds,
// though a reader that lost its processor to another thread meanwhile
// takes longer, so the clock is only the fallback. When at least a
// quarter of a batch waited, while the caller waits for the readers, the
// reads are bound by the disk, not the processors, and more of them in
// flight finish sooner: the readers grow by grow_step, up to
// most_readers (a cold 20,000-message queue on two processors: 0.97 s
// with 4 readers, 0.79 s with 32, against 0.63 s for the fastest any
// program reads it). Warm, they stay as few as the processors use.
constexpr auto slow_read = std::chrono::microseconds(100);
constexpr size_t grow_step = 8;
// Each reader keeps a buffer for texts up to this size from file to
// file, grown only as its texts need; a larger text is paid from the
// shared budget. (Readers that allocate and free a buffer per text
// contend for the process's memory map: a cold run with 32 readers that
// kept 64 KiB took 0.95 s where keeping 1 MiB took 0.78 s.)
constexpr size_t kept_bytes = 1024 * 1024;

}  // namespace

size_t reader_count()
{
	return std::min(readers_per_cpu * os_processors(), max_readers);
}

read_ahead::read_ahead(const search_pattern &pattern, bool acting)
    : pattern_(pattern), acting_(acting), budget_(shared_bytes)
{
}

read_ahead::~read_ahead()
{
	{
		std::lock_guard<std::mutex> hold(lock_);
		stopping_ = true;
	}
	work_.notify_all();
	for (std::thread &t : threads_)
		t.join();
}

int read_ahead::start(size_t readers)
{
	try {
		slots_.resize(window_steps);
		caller_ = std::make_unique<text_reader>(&budget_, kept_bytes);
		readers_.reserve(most_readers);
		threads_.reserve(most_readers);
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		return -1;
	}
	add_readers(std::min(readers, most_readers), kept_bytes);
	return 0;
}

// Starts up to n more reader threads. Threads start with every signal
// blocked, and keep them so. Fewer threads, or none, where they cannot be
// had: the caller reads what no reader takes.
int read_ahead::add_readers(size_t n, size_t keep)
{
	sigset_t all, saved;
	sigfillset(&all);
	pthread_sigmask(SIG_BLOCK, &all, &saved);
	size_t added = 0;
	try {
		for (; added < n; added++) {
			readers_.push_back(std::make_unique<text_reader>(&budget_,
			    keep));
			threads_.emplace_back(&read_ahead::read_on, this,
			    std::ref(*readers_.back()));
		}
	} catch (const std::system_error &) {
		readers_.pop_back();
	} catch (const std::bad_alloc &) {
		if (readers_.size() > threads_.size())
			readers_.pop_back();
	}
	pthread_sigmask(SIG_SETMASK, &saved, nullptr);
	return static_cast<int>(added);
}

// Called when the caller is about to wait for the readers: when enough
// of their recent files took long, they wait on the disk, and more of
// them keep more reads in flight. From the page cache they never do, and
// the readers stay as many as the processors use.
void read_ahead::grow_if_waiting()
{
	if (threads_.empty() || threads_.size() >= most_readers ||
	    judged_.load(std::memory_order_relaxed) < batch)
		return;
	const unsigned judged = judged_.exchange(0, std::memory_order_relaxed);
	const unsigned slow = slow_.exchange(0, std::memory_order_relaxed);
	if (slow * 4 >= judged)
		add_readers(std::min(grow_step, most_readers - threads_.size()),
		    kept_bytes);
}

bool read_ahead::wants() const
{
	return tail_ - head_ + batch <= slots_.size() || drained();
}

bool read_ahead::room() const
{
	return tail_ - head_ < slots_.size() &&
	    (dir_runs_ < window_dirs || drained());
}

void read_ahead::push(walk_step &&step)
{
	slot &s = slots_[tail_ % slots_.size()];
	s.judged.step = std::move(step);
	const walk_dir *dir = s.judged.step.dir.get();
	s.new_dir = dir != nullptr && dir != last_dir_;
	if (s.new_dir) {
		dir_runs_++;
		last_dir_ = dir;
	}
	// The walk's errors only wait for their turn.
	s.done = s.judged.step.error != 0;
	tail_++;
}

void read_ahead::publish()
{
	bool wake;
	{
		std::lock_guard<std::mutex> hold(lock_);
		wake = idle_ > 0 && published_ != tail_;
		published_ = tail_;
	}
	if (wake)
		work_.notify_all();
}

judged_step &read_ahead::oldest()
{
	const uint64_t seq = head_;
	slot &s = slots_[seq % slots_.size()];
	std::unique_lock<std::mutex> hold(lock_);
	if (!s.done && claimed_ == seq) {
		// No reader has it: read it here rather than wait.
		claimed_++;
		hold.unlock();
		judge(s, *caller_);
		hold.lock();
		s.done = true;
	}
	if (!s.done) {
		hold.unlock();
		grow_if_waiting();
		hold.lock();
	}
	while (!s.done) {
		// Wait for a batch: readers finish nearly in order, so when the
		// last of it is done, most before it are.
		uint64_t last = seq + std::min<uint64_t>(batch, published_ - seq) - 1;
		if (slots_[last % slots_.size()].done)
			last = seq;
		const slot &awaited = slots_[last % slots_.size()];
		awaited_ = last;
		ready_.wait(hold, [&awaited] { return awaited.done; });
		awaited_ = UINT64_MAX;
	}
	if (s.stale || (acting_ && s.judged.matched == 1)) {
		hold.unlock();
		look_again(s);
	}
	return s.judged;
}

void read_ahead::retire()
{
	slot &s = slots_[head_ % slots_.size()];
	s.judged.step = walk_step();
	s.judged.complaints.clear();
	s.judged.matched = 0;
	s.judged.gone = false;
	s.stale = false;
	s.read_from.reset();
	head_++;
	// A run of one directory's files ends where the next begins.
	if (head_ == tail_) {
		dir_runs_ = 0;
		last_dir_ = nullptr;
	} else if (slots_[head_ % slots_.size()].new_dir) {
		dir_runs_--;
	}
}

size_t read_ahead::judged_ahead() const
{
	std::lock_guard<std::mutex> hold(lock_);
	size_t n = 0;
	while (head_ + n < tail_ && slots_[(head_ + n) % slots_.size()].done)
		n++;
	return n;
}

void read_ahead::acted_on(const char *name)
{
	for (uint64_t seq = head_ + 1; seq < tail_; seq++) {
		slot &s = slots_[seq % slots_.size()];
		if (s.judged.step.error == 0 &&
		    strcmp(s.judged.step.name, name) == 0)
			s.stale = true;
	}
}

// The file a verdict is about may not be the one at its path by its
// turn. A yank or delete moves or removes the files of one message, and
// the only one of them the walk may still meet is the message's file in
// its hash directory, when the walk met the message's flat file first:
// the operations take the hashed file first. The walk enters that
// directory only after the flat file, so a walk reading as it goes never
// lists a file taken away there. And while the run goes on, qmail may
// finish a message and queue a new one under the number it freed, at the
// same path, often with the same inode. A file that is still there, and
// the very file that was read, keeps its verdict; another one is read
// again.
void read_ahead::look_again(slot &s)
{
	s.stale = false;
	judged_step &j = s.judged;
	struct stat st;
	if (fstatat(j.step.dir->fd.get(), j.step.name, &st,
	    AT_SYMLINK_NOFOLLOW) == -1) {
		if (errno == ENOENT) {
			j.gone = true;
			j.matched = 0;
			return;
		}
	} else if (s.read_from && *s.read_from == identity_of(st)) {
		return;
	}
	j.complaints.clear();
	judge(s, *caller_);
}

void read_ahead::read_on(text_reader &r)
{
	std::unique_lock<std::mutex> hold(lock_);
	for (;;) {
		while (!stopping_ && claimed_ == published_) {
			idle_++;
			work_.wait(hold);
			idle_--;
		}
		if (stopping_)
			return;
		const uint64_t seq = claimed_++;
		slot &s = slots_[seq % slots_.size()];
		if (s.done)
			continue;
		hold.unlock();
		judge(s, r);
		hold.lock();
		s.done = true;
		if (seq == awaited_)
			ready_.notify_one();
	}
}

// Reads and tests one file. Nothing escapes: a reader that runs out of
// memory says so for the file, which is listed "no".
void read_ahead::judge(slot &s, text_reader &r)
{
	judged_step &j = s.judged;
	const auto began = std::chrono::steady_clock::now();
	try {
		j.matched = match_file(j.step.dir->fd.get(), j.step.name,
		    pattern_, r.text, j.complaints, &r.odds);
		s.read_from = r.text.read_from();
	} catch (const std::bad_alloc &) {
		j.matched = 0;
		s.read_from.reset();
		try {
			complain(j.complaints, "malloc()", ENOMEM);
		} catch (const std::bad_alloc &) {
		}
	}
	const disk_wait waited = r.text.waited();
	r.text.release();
	if (waited == disk_wait::yes || (waited == disk_wait::unknown &&
	    std::chrono::steady_clock::now() - began >= slow_read))
		slow_.fetch_add(1, std::memory_order_relaxed);
	judged_.fetch_add(1, std::memory_order_relaxed);
}
