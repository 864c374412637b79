// queue_ops.cpp: message numbers with their complaint, the rename that
// never replaces, the held signals.
#include "queue_ops.h"

#include "os.h"
#include "queue_layout.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <tuple>

unsigned long message_number(const char *name)
{
	std::optional<unsigned long> n = parse_message_number(name);
	if (!n) {
		const char *slash = strrchr(name, '/');
		fprintf(stderr, "%s doesn't look like an inode number\n",
		    slash != nullptr ? slash + 1 : name);
		return 0;
	}
	return *n;
}

bool one_file(int dir, const char *a, const char *b)
{
	const int saved = errno;
	struct stat sa, sb;
	const bool one = fstatat(dir, a, &sa, AT_SYMLINK_NOFOLLOW) == 0 &&
	    fstatat(dir, b, &sb, AT_SYMLINK_NOFOLLOW) == 0 &&
	    sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
	errno = saved;
	return one;
}

namespace {

// Whether time a is no earlier than time b.
bool not_before(const struct timespec &a, const struct timespec &b)
{
	return std::tie(a.tv_sec, a.tv_nsec) >= std::tie(b.tv_sec, b.tv_nsec);
}

}  // namespace

bool envelope_of_text(int dir, const char *envelope, const char *mess)
{
	struct stat env, text;
	if (fstatat(dir, envelope, &env, AT_SYMLINK_NOFOLLOW) == -1 ||
	    fstatat(dir, mess, &text, AT_SYMLINK_NOFOLLOW) == -1)
		return false;
	if (not_before(env.st_ctim, text.st_mtim))
		return true;
	const std::optional<struct timespec> env_born =
	    os_birth_time(dir, envelope);
	const std::optional<struct timespec> text_born =
	    os_birth_time(dir, mess);
	return env_born && text_born && not_before(*env_born, *text_born);
}

void say_no_path(const char *words)
{
	if (errno == ENOMEM)
		perror("malloc()");
	else if (words != nullptr)
		fputs(words, stderr);
}

// A move that finds to naming the very file at from was cut off between
// the two steps a system without a no-replace rename takes (see
// os_rename_no_replace): removing from finishes it, and leaves what the
// whole move leaves. Any other file at to stays a refusal.
int rename_no_replace(int dir, const char *from, const char *to)
{
	if (os_rename_no_replace(dir, from, to) == 0)
		return 0;
	if (errno != EEXIST || !one_file(dir, from, to))
		return -1;
	return unlinkat(dir, from, 0);
}

signals_held::signals_held()
{
	sigset_t ending;
	sigemptyset(&ending);
	for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGTERM})
		sigaddset(&ending, sig);
	held_ = sigprocmask(SIG_BLOCK, &ending, &saved_) == 0;
}

signals_held::~signals_held()
{
	if (held_)
		sigprocmask(SIG_SETMASK, &saved_, nullptr);
}
