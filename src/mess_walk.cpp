// mess_walk.cpp: the walk of "mess", entry kinds from the directories
// themselves, and the reports a physical file-tree walk gives.
#include "mess_walk.h"

#include "os.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <new>

namespace {

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
			    os_dir_handle | O_DIRECTORY | O_CLOEXEC));
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
		const dir_entry e = l.entries[l.at++];
		const char *name = l.dir->names.data() + e.name;
		const int dir_fd = l.dir->fd.get();
		entry_kind kind = e.kind;
		if (kind == entry_kind::unknown) {
			// The file system (or the system) does not keep kinds
			// in directories.
			// An entry gone since the directory was read is a file
			// qmail has removed, passed over as when the directory
			// gives the kind and the reader finds the file gone.
			struct stat st;
			if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) == -1) {
				if (errno == ENOENT)
					continue;
				step = failed(l.dir->path + "/" + name, errno);
				return true;
			}
			kind = S_ISREG(st.st_mode) ? entry_kind::regular
			    : S_ISDIR(st.st_mode) ? entry_kind::directory
						  : entry_kind::other;
		}
		if (kind == entry_kind::regular) {
			step = walk_step();
			step.dir = l.dir;
			step.name = name;
			return true;
		}
		if (kind == entry_kind::directory) {
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
// directory the walk is in. What keeps it from being read, or from being
// read to its end, goes to *failure. A directory that may be read but not
// searched is passed over without a word, as a walker that changes into
// each directory passes it over; so is one the walk is already inside (a
// mount of one of its own ancestors).
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
	if (!unique_fd(openat(fd.get(), ".",
	    os_dir_handle | O_DIRECTORY | O_CLOEXEC)))
		return;
	level l;
	l.dev = st.st_dev;
	l.ino = st.st_ino;
	l.dir = std::make_shared<walk_dir>();
	l.dir->fd = std::move(fd);
	l.dir->below = path.size() > root_.size() ? root_.size() + 1
						  : path.size();
	l.dir->path = path;
	// A read that fails ends the list where it is: the entries read
	// before it are walked, and the failure is reported in the
	// directory's place, as a directory that cannot be read at all is,
	// since the files after it go unsearched.
	if (os_read_dir(l.dir->fd.get(), l.dir->names, l.entries) == -1)
		*failure = failed(std::move(path), errno);
	levels_.push_back(std::move(l));
}
