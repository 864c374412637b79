// os.h: the system calls that differ between systems, each behind one
// small function. Everything else in src/ asks the system only for POSIX
// calls, and for fts and flock, which the BSDs and Linux share; it names
// no call, flag or header of one system's own.
//
// Two implementations, chosen when the build is configured: os_linux.cpp,
// Linux's own calls, and os_posix.cpp, plain POSIX with the extensions a
// system turns out to have (the BSDs; Linux too, in the portable build).
// Where they differ in what they can do, the contract below says so.
#ifndef SPOOLSIFT_OS_H
#define SPOOLSIFT_OS_H

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <vector>

// open(2) flags. A directory handle names a directory for *at() calls
// and fstat only, and is never read: O_PATH on Linux, O_SEARCH where the
// system has it, else O_RDONLY (which also needs read permission, which
// root has anyway). The no-access-time flag keeps a read from moving the
// file's access time (O_NOATIME, only for the file's owner or root, else
// the open fails with EPERM); 0 where the system has none.
extern const int os_dir_handle;
extern const int os_no_atime;

// A rename of from to to, both relative to the directory open at dir,
// that never replaces what is at to: it fails with EEXIST instead, and
// with the errno of rename(2) otherwise (ENOENT for a missing from or a
// missing directory of to, EXDEV across file systems). Linux makes it one
// atomic call. Where a system has no such call, a regular file (or a
// link, FIFO...) is moved in two steps, a link at to and then the unlink
// of from, so a process killed between the two leaves one file under
// both names; what cannot be linked (a directory) is renamed once
// nothing is found at to. os_posix.cpp says why neither loses mail.
int os_rename_no_replace(int dir, const char *from, const char *to);

// When the file at path (relative to dir, never through a link) came to
// be, where the system and the file system keep that; none otherwise,
// also when the file cannot be looked at.
std::optional<struct timespec> os_birth_time(int dir, const char *path);

// The kind of a directory entry, as the directory itself says it;
// unknown where the file system or the system does not say, and the
// caller must look at the entry itself (fstatat) to know.
enum class entry_kind : unsigned char { unknown, regular, directory, other };

struct dir_entry {
	uint32_t name;		// where its name starts in the names buffer
	entry_kind kind;
};

// Reads the entries of the directory open at dir, all but "." and "..",
// in the order the directory gives them, from where reading dir stands
// (its start, when just opened): each name, NUL ended, goes to the end of
// names, and its place and kind to entries.
// 0; or -1 with errno set when a read fails, the entries before it kept.
// dir stays open and the caller's, whatever happens. Memory running out
// throws std::bad_alloc from names or entries, as their own growth does.
int os_read_dir(int dir, std::vector<char> &names,
    std::vector<dir_entry> &entries);

// Reads up to n bytes at fd's offset as read(2) does, but only what the
// system already holds in memory: -1 with EAGAIN when the first byte
// would have to come from the disk, or fewer bytes than asked where the
// rest would. Where the system (or the file's file system) cannot tell,
// -1 with another errno (ENOSYS where the system has no such read at
// all, EOPNOTSUPP or EINVAL where the file system or the kernel cannot
// say), and nothing is read: the caller then reads as usual.
ssize_t os_read_cached(int fd, void *buf, size_t n);

// How many processors this process may run on, at least 1: those online,
// and where the system says so, no more than the process is allowed.
size_t os_processors();

// What strerror(error) says, safe to call on any thread where the system
// has a thread-safe form. The text is in buf (NUL ended, cut to size), or
// a string of the C library's own.
const char *os_error_text(int error, char *buf, size_t size);

// main hands its argv[0] over (nullptr when argc is 0) before anything is
// said. The program's name is its last part; before main has handed it
// over, the name the C library keeps where it keeps one, else "".
void os_set_program_name(const char *argv0);
const char *os_program_name();

#endif
