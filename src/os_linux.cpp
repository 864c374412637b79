// os_linux.cpp: the system layer on Linux, by Linux's own calls (see
// os.h).
#include "os.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

const int os_dir_handle = O_PATH;
const int os_no_atime = O_NOATIME;

namespace {

// One getdents64 call fills this much; a directory is read in as many
// calls as it needs.
constexpr size_t entries_buffer = 64 * 1024;

bool is_dot(const char *name)
{
	return name[0] == '.' &&
	    (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

entry_kind kind_of(unsigned char type)
{
	switch (type) {
	case DT_UNKNOWN:
		return entry_kind::unknown;
	case DT_REG:
		return entry_kind::regular;
	case DT_DIR:
		return entry_kind::directory;
	default:
		return entry_kind::other;
	}
}

const char *handed_name;

}  // namespace

int os_rename_no_replace(int dir, const char *from, const char *to)
{
	return renameat2(dir, from, dir, to, RENAME_NOREPLACE);
}

std::optional<struct timespec> os_birth_time(int dir, const char *path)
{
	struct statx stx;
	if (statx(dir, path, AT_SYMLINK_NOFOLLOW, STATX_BTIME, &stx) == -1 ||
	    (stx.stx_mask & STATX_BTIME) == 0)
		return std::nullopt;
	return timespec{stx.stx_btime.tv_sec, stx.stx_btime.tv_nsec};
}

// A read that fails ends the list where it is, as readdir does.
int os_read_dir(int dir, std::vector<char> &names,
    std::vector<dir_entry> &entries)
{
	const std::unique_ptr<char[]> buffer(new char[entries_buffer]);
	for (;;) {
		ssize_t n = getdents64(dir, buffer.get(), entries_buffer);
		if (n <= 0)
			return n == 0 ? 0 : -1;
		for (ssize_t at = 0; at < n;) {
			const auto *d = reinterpret_cast<const struct dirent64 *>(
			    buffer.get() + at);
			at += d->d_reclen;
			if (is_dot(d->d_name))
				continue;
			const size_t len = strlen(d->d_name);
			entries.push_back({static_cast<uint32_t>(names.size()),
			    kind_of(d->d_type)});
			names.insert(names.end(), d->d_name,
			    d->d_name + len + 1);
		}
	}
}

ssize_t os_read_cached(int fd, void *buf, size_t n)
{
	struct iovec into = {buf, n};
	return preadv2(fd, &into, 1, -1, RWF_NOWAIT);
}

size_t os_processors()
{
	long online = sysconf(_SC_NPROCESSORS_ONLN);
	size_t cpus = online > 0 ? static_cast<size_t>(online) : 1;
	cpu_set_t mine;
	if (sched_getaffinity(0, sizeof mine, &mine) == 0)
		cpus = std::min(cpus, static_cast<size_t>(CPU_COUNT(&mine)));
	return std::max<size_t>(cpus, 1);
}

const char *os_error_text(int error, char *buf, size_t size)
{
	return strerror_r(error, buf, size);	// GNU's form: text or buf
}

void os_set_program_name(const char *argv0)
{
	const char *slash = argv0 != nullptr ? strrchr(argv0, '/') : nullptr;
	handed_name = slash != nullptr ? slash + 1 : argv0 != nullptr ? argv0 : "";
}

const char *os_program_name()
{
	return handed_name != nullptr ? handed_name
				      : program_invocation_short_name;
}
