// read_ahead_test.cpp: the window of files read ahead of the listing, in
// process: how much it holds, and which verdicts it looks at again at
// their turn, so that only the file at a path when its turn comes is
// ever acted on.
#include "read_ahead.h"
#include "support.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// A directory of the walk with the given entry names, open as the walk
// opens it.
std::shared_ptr<walk_dir> walked(const std::string &path,
    const std::vector<std::string> &names)
{
	auto dir = std::make_shared<walk_dir>();
	dir->fd = unique_fd(open(path.c_str(), O_RDONLY | O_DIRECTORY));
	EXPECT_TRUE(dir->fd) << path;
	for (const std::string &n : names)
		dir->names.insert(dir->names.end(), n.c_str(), n.c_str() + n.size() + 1);
	return dir;
}

// The step of the k-th name of dir.
walk_step step_of(const std::shared_ptr<walk_dir> &dir, size_t k)
{
	walk_step s;
	s.dir = dir;
	const char *name = dir->names.data();
	for (size_t i = 0; i < k; i++)
		name += strlen(name) + 1;
	s.name = name;
	return s;
}

class ReadAhead : public test::InProcess {
protected:
	void SetUp() override
	{
		test::InProcess::SetUp();
		ASSERT_EQ(compile_pattern("jackpot", pattern_), 0);
	}

	// Waits until the readers have judged n steps from the oldest on.
	static bool wait_judged(const read_ahead &window, size_t n)
	{
		for (int i = 0; i < 1000 && window.judged_ahead() < n; i++)
			std::this_thread::sleep_for(std::chrono::milliseconds(10));
		return window.judged_ahead() >= n;
	}

	search_pattern pattern_;
};

// The window is bounded in steps and in the runs of one directory it
// keeps open; the oldest step gone, it takes one more.
TEST_F(ReadAhead, WindowHoldsItsStepsAndDirectoriesAndNoMore)
{
	const struct {
		bool one_dir;
		size_t holds;
	} cases[] = {
		{true, read_ahead::window_steps},
		{false, read_ahead::window_dirs},
	};
	for (const auto &c : cases) {
		const size_t n = read_ahead::window_steps + 1;
		std::vector<std::string> names;
		for (size_t i = 0; i < n; i++)
			names.push_back(std::to_string(100 + i));
		std::vector<std::shared_ptr<walk_dir>> dirs;
		read_ahead window(pattern_, false);
		ASSERT_EQ(window.start(0), 0);
		size_t pushed = 0;
		while (window.room() && pushed < n) {
			if (c.one_dir && dirs.empty())
				dirs.push_back(walked(tmp_.path(), names));
			else if (!c.one_dir)
				dirs.push_back(walked(tmp_.path(), {names[pushed]}));
			window.push(step_of(dirs.back(), c.one_dir ? pushed : 0));
			pushed++;
		}
		EXPECT_EQ(pushed, c.holds) << (c.one_dir ? "one dir" : "a dir each");
		window.publish();
		window.oldest();
		window.retire();
		EXPECT_TRUE(window.room());
	}
}

// A verdict read ahead is looked at again at its turn when the run acts
// on it, or when an action of the run came between its reading and its
// turn (a yank of a flat file takes the message's hashed file ahead of
// the walk). Then a file gone is not listed, and another file at the path
// is judged anew; a verdict no action depends on stands as it was read.
TEST_F(ReadAhead, AVerdictIsLookedAtAgainWhenAnActionDependsOnIt)
{
	enum class then { removed, replaced_by_ham, replaced_by_spam };
	const struct {
		const char *what;
		const char *read;	// the text when it is read ahead
		then change;
		bool acting, acted_on;
		bool gone;
		int matched;
	} cases[] = {
		{"match, removed", "jackpot", then::removed, true, false, true, 0},
		{"match, replaced", "jackpot", then::replaced_by_ham, true, false,
		    false, 0},
		{"match, replaced alike", "jackpot", then::replaced_by_spam, true,
		    false, false, 1},
		{"listing only", "jackpot", then::removed, false, false, false, 1},
		{"no match, taken ahead", "ham", then::removed, true, true, true, 0},
		{"no match, replaced after an action", "ham",
		    then::replaced_by_spam, true, true, false, 1},
		{"no match, untouched by actions", "ham", then::replaced_by_spam,
		    true, false, false, 0},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		const std::string dir = tmp_.path() + "/" + c.what;
		test::make_dirs(dir);
		test::write_file(dir + "/100", "jackpot");
		test::write_file(dir + "/101", c.read);
		auto walk = walked(dir, {"100", "101"});
		read_ahead window(pattern_, c.acting);
		ASSERT_EQ(window.start(2), 0);
		window.push(step_of(walk, 0));
		window.push(step_of(walk, 1));
		window.publish();
		ASSERT_TRUE(wait_judged(window, 2));

		// Meanwhile: qmail, or this run's action on 100.
		if (c.change == then::removed) {
			ASSERT_EQ(unlink((dir + "/101").c_str()), 0);
		} else {
			test::write_file(dir + "/new", c.change == then::replaced_by_spam
			    ? "another jackpot" : "minutes");
			ASSERT_EQ(rename((dir + "/new").c_str(), (dir + "/101").c_str()), 0);
		}
		window.oldest();
		if (c.acted_on)
			window.acted_on("101");
		window.retire();
		const judged_step &j = window.oldest();
		EXPECT_EQ(j.gone, c.gone);
		EXPECT_EQ(j.matched, c.matched);
		window.retire();
	}
}

}  // namespace
