// mess_walk.cpp: the walk of "mess", entry kinds from the directories
// themselves, and the reports a physical file-tree walk gives.
#include "mess_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace {

// One getdents64 call fills this much; a directory is read in as many
// calls as it needs.
constexpr size_t entries_buffer = 64 * 1024;

bool is_dot(const char *name)
{
	return name[0] == '.' &&
	    (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

walk_step failed(std::string path, int error)
{
	walk_step s;
	s.path = std::move(path);
	s.error = error;
	return s;
}

}  // namespace

int mess_walk::start(const char *root)
{
	levels_.clear();
	pending_.clear();
	try {
		root_ = root;
		struct stat st;
		if (lstat(root, &st) == -1) {
			pending_.push_back(failed(root_, errno));
			return 0;
		}
		if (S_ISDIR(st.st_mode)) {
			walk_step failure;
			enter(AT_FDCWD, root, root_, &failure);
			if (failure.error != 0)
				pending_.push_back(std::move(failure));
		} else if (S_ISREG(st.st_mode)) {
			// The root itself is the one file, in the working
			// directory of the start, which has no path from the
			// root and is kept open.
			auto dir = std::make_shared<walk_dir>();
			dir->fd = unique_fd(open(".",
			    O_PATH | O_DIRECTORY | O_CLOEXEC));
			if (!dir->fd)
				return -1;
			dir->names.assign(root_.begin(), root_.end());
			dir->names.push_back('\0');
			walk_step s;
			s.name = dir->names.data();
			s.dir = std::move(dir);
			pending_.push_back(std::move(s));
		}
		// A link or a special file as the root: nothing to list.
	} catch (const std::bad_alloc &) {
		levels_.clear();
		pending_.clear();
		errno = ENOMEM;
		return -1;
	}
	return 0;
}

bool mess_walk::next(walk_step &step)
{
	try {
		if (!pending_.empty()) {
			step = std::move(pending_.front());
			pending_.erase(pending_.begin());
			return true;
		}
		return step_on(step);
	} catch (const std::bad_alloc &) {
		levels_.clear();
		pending_.clear();
		return false;
	}
}

// Hands out the next file or error of the directories the walk is in,
// entering subdirectories as they come up and leaving directories whose
// entries are all handed out.
bool mess_walk::step_on(walk_step &step)
{
	while (!levels_.empty()) {
		level &l = levels_.back();
		if (l.at == l.entries.size()) {
			levels_.pop_back();
			continue;
		}
		const entry e = l.entries[l.at++];
		const char *name = l.dir->names.data() + e.name;
		const int dir_fd = l.dir->fd.get();
		unsigned char type = e.type;
		if (type == DT_UNKNOWN) {
			// The file system does not keep kinds in directories.
			struct stat st;
			if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) == -1) {
				step = failed(l.dir->path + "/" + name, errno);
				return true;
			}
			type = IFTODT(st.st_mode);
		}
		if (type == DT_REG) {
			step = walk_step();
			step.dir = l.dir;
			step.name = name;
			return true;
		}
		if (type == DT_DIR) {
			walk_step failure;
			// l is not used after this: entering may move it.
			enter(dir_fd, name, l.dir->path + "/" + name, &failure);
			if (failure.error != 0) {
				step = std::move(failure);
				return true;
			}
		}
		// Links, special files: passed over.
	}
	return false;
}

// Opens and reads directory name in parent, at path, and makes it the
// directory the walk is in. What keeps it from being read goes to
// *failure. A directory that may be read but not searched is passed over
// without a word, as a walker that changes into each directory passes it
// over; so is one the walk is already inside (a mount of one of its own
// ancestors).
void mess_walk::enter(int parent, const char *name, std::string path,
    walk_step *failure)
{
	unique_fd fd(openat(parent, name,
	    O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
	struct stat st;
	if (!fd || fstat(fd.get(), &st) == -1) {
		*failure = failed(std::move(path), errno);
		return;
	}
	for (const level &up : levels_)
		if (up.dev == st.st_dev && up.ino == st.st_ino)
			return;
	if (!unique_fd(openat(fd.get(), ".", O_PATH | O_DIRECTORY | O_CLOEXEC)))
		return;
	level l;
	l.dev = st.st_dev;
	l.ino = st.st_ino;
	l.dir = std::make_shared<walk_dir>();
	l.dir->fd = std::move(fd);
	l.dir->below = path.size() > root_.size() ? root_.size() + 1
						  : path.size();
	l.dir->path = std::move(path);
	read_entries(l);
	levels_.push_back(std::move(l));
}

// Reads all of l's entries, but "." and "..", in the directory's own
// order. A read that fails ends the list where it is, as readdir does.
int mess_walk::read_entries(level &l)
{
	buffer_.resize(entries_buffer);
	walk_dir &dir = *l.dir;
	for (;;) {
		ssize_t n = getdents64(dir.fd.get(), buffer_.data(),
		    buffer_.size());
		if (n <= 0)
			return n == 0 ? 0 : -1;
		for (ssize_t at = 0; at < n;) {
			const auto *d = reinterpret_cast<const struct dirent64 *>(
			    buffer_.data() + at);
			at += d->d_reclen;
			if (is_dot(d->d_name))
				continue;
			const size_t len = strlen(d->d_name);
			l.entries.push_back({static_cast<uint32_t>(
			    dir.names.size()), d->d_type});
			dir.names.insert(dir.names.end(), d->d_name,
			    d->d_name + len + 1);
		}
	}
}
