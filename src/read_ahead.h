// read_ahead.h: the files of the walk read and judged ahead of the
// listing, on reader threads (two for each processor the process may run
// on), while the listing itself and every action stay on the calling
// thread and in the walk's order.
//
// A window holds the walk's next steps, in order: files, which readers
// take in that order and judge, and the walk's errors, which only wait
// for their turn. The calling thread puts steps in at the back and takes
// them, judged, from the front. The window is bounded in steps and in
// the directories it keeps open, and the texts being read at once share
// a byte budget: what the scan holds in memory does not grow with the
// queue or with its largest message beyond that message itself.
//
// Readers name files through their directory's descriptor and never use
// the working directory, which the actions change. They take no signal:
// the signals that end a run reach the calling thread, which holds them
// while it acts on a message.
#ifndef SPOOLSIFT_READ_AHEAD_H
#define SPOOLSIFT_READ_AHEAD_H

#include "mess_walk.h"
#include "message_text.h"
#include "content_match.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// A step of the walk and, for a file, what the content test said: the
// verdict, and the complaints to write between its name and its verdict.
struct judged_step {
	walk_step step;
	int matched = 0;
	std::string complaints;
	// The file was gone when it was looked at again at its turn (see
	// read_ahead::oldest): an action of this run, or qmail, took it away
	// after it was read, and it is not listed.
	bool gone = false;
};

class read_ahead {
public:
	// Steps the window holds: enough to keep the readers busy while the
	// caller acts on a run of matches.
	static constexpr size_t window_steps = 1024;
	// Runs of one directory's files in the window; each may keep its
	// directory open.
	static constexpr size_t window_dirs = 64;
	// Readers the window adds, up to this many in all, while files keep
	// the readers waiting on the disk (see grow_if_waiting).
	static constexpr size_t most_readers = 32;

	// acting: the run acts on every match, which oldest() then looks at
	// again before handing it out.
	read_ahead(const search_pattern &pattern, bool acting);
	~read_ahead();		// readers finish the file in hand, and end
	read_ahead(const read_ahead &) = delete;
	read_ahead &operator=(const read_ahead &) = delete;

	// Makes the window and starts up to readers threads; with none, or
	// where threads cannot be had, the calling thread reads each file
	// when its turn comes. 0, or -1 when there is no memory for the
	// window. When the readers wait on the disk more than on the
	// processors, more are added, up to most_readers.
	int start(size_t readers);

	// Whether the window is low enough to be filled again, and whether
	// it takes another step.
	bool wants() const;
	bool room() const;
	void push(walk_step &&step);
	// Lets the readers at the steps pushed so far.
	void publish();

	bool drained() const { return head_ == tail_; }
	// The oldest step, judged. A file read ahead may have been replaced
	// since: qmail finishes a message and queues a new one at its path,
	// under the freed number. So a match the run will act on, and a file
	// read before an action (acted_on), is looked at again here, on the
	// calling thread, as late as the listing can: gone, it is not listed;
	// another file than the one read, it is judged anew. Only the file at
	// the path at its turn is ever acted on, as in a walk that reads each
	// file when it gets there.
	judged_step &oldest();
	void retire();

	// An action on the message name has been run: files of that name
	// further on in the window, read before it, are looked at again at
	// their turn.
	void acted_on(const char *name);

	size_t readers() const { return threads_.size(); }
	// How many steps from the oldest on are judged, one after the other
	// (for the tests, which must know a file was read ahead).
	size_t judged_ahead() const;

private:
	struct slot {
		judged_step judged;
		bool done = false;	// under lock_
		bool new_dir = false;	// the first of a run of one directory's
		bool stale = false;	// the caller's: read before an action
		// The file the verdict is about, when its text loaded.
		std::optional<file_identity> read_from;
	};
	// What one thread needs to read texts: its buffer and its odds.
	struct text_reader {
		text_reader(text_budget *budget, size_t keep)
		    : text(budget, keep) {}
		message_text text;
		part_odds odds;
	};

	void read_on(text_reader &r);
	void judge(slot &s, text_reader &r);
	void look_again(slot &s);
	int add_readers(size_t n, size_t keep);
	void grow_if_waiting();

	const search_pattern &pattern_;
	const bool acting_;
	text_budget budget_;
	std::vector<slot> slots_;
	std::vector<std::unique_ptr<text_reader>> readers_;	// the threads'
	std::unique_ptr<text_reader> caller_;		// the calling thread's
	std::vector<std::thread> threads_;
	// Files judged, and those of them that took long enough to have
	// waited on the disk, since the window last looked.
	std::atomic<unsigned> judged_{0}, slow_{0};

	// The calling thread's own; readers see published_.
	uint64_t head_ = 0, tail_ = 0;
	size_t dir_runs_ = 0;
	const walk_dir *last_dir_ = nullptr;

	mutable std::mutex lock_;
	std::condition_variable work_, ready_;
	uint64_t published_ = 0, claimed_ = 0;	// under lock_
	uint64_t awaited_ = UINT64_MAX;		// the step the caller waits for
	size_t idle_ = 0;			// readers waiting for work
	bool stopping_ = false;
};

// How many threads to read with: two for each processor this process may
// run on, at most 8.
size_t reader_count();

#endif
