// queue_ops.cpp: message numbers with their complaint, the rename that
// never replaces, the held signals.
#include "queue_ops.h"

#include "os.h"
#include "queue_layout.h"

#include <fcntl.h>
#include <stdio.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

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

void say_no_path(const char *words)
{
	if (errno == ENOMEM)
		perror("malloc()");
	else if (words != nullptr)
		fputs(words, stderr);
}

int rename_no_replace(int dir, const char *from, const char *to)
{
	return os_rename_no_replace(dir, from, to);
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
