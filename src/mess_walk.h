// mess_walk.h: the walk of the queue's "mess" directory. It yields every
// regular file at any depth, and each thing that keeps the walk from
// seeing some, in the order of a physical file-tree walk: a directory's
// entries in the order the directory holds them, a subdirectory's own
// entries where the subdirectory comes up, links never followed.
//
// A directory's entries are read whole when the walk enters it. Their
// kinds come from the directory itself; an entry's inode is looked at
// only where the file system does not say, and an entry gone by then is
// passed over, as a file qmail has removed meanwhile. The walk never changes the
// working directory: a file is named by its bare name relative to a
// descriptor of its directory, which stays open while anyone holds the
// directory, so files may be opened on any thread, in any order, whatever
// the working directory is meanwhile.
#ifndef SPOOLSIFT_MESS_WALK_H
#define SPOOLSIFT_MESS_WALK_H

#include "os.h"
#include "unique_fd.h"

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// A directory the walk entered, shared by the files found in it.
struct walk_dir {
	unique_fd fd{-1};
	std::string path;		// from the root: "mess/8"; "" when the
					// root itself is a file in it
	size_t below = 0;		// where the part below the root starts
	std::vector<char> names;	// the entries' names, each NUL-ended

	// The directory below the root: "8" for mess/8, "" for mess itself.
	std::string_view below_root() const
	{
		return std::string_view(path).substr(below);
	}
};

// One thing the walk found: a regular file, or what kept it from looking
// at an entry (error != 0), to be reported as "fts_read() path: reason".
struct walk_step {
	std::shared_ptr<const walk_dir> dir;	// a file's directory
	const char *name = nullptr;		// a file's bare name, in dir
	std::string path;			// an error's path from the root
	int error = 0;				// an error's errno
};

class mess_walk {
public:
	// Starts at root, relative to the working directory. 0, or -1 with
	// errno set when the walk cannot start at all.
	int start(const char *root);

	// The next file or error: true, or false when the walk is over.
	// Memory running out ends the walk early, as it ends a file-tree
	// walker's.
	bool next(walk_step &step);

private:
	struct level {
		std::shared_ptr<walk_dir> dir;
		std::vector<dir_entry> entries;	// names in dir->names
		size_t at = 0;
		dev_t dev = 0;
		ino_t ino = 0;
	};

	bool step_on(walk_step &step);
	void enter(int parent, const char *name, std::string path,
	    walk_step *failure);

	std::string root_;
	std::vector<level> levels_;
	std::vector<walk_step> pending_;	// found, not yet handed out
};

#endif
