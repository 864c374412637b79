// yank_dir.h: the start-up check of the yank directory, which yank
// moves files into and restore takes them back from.
#ifndef SPOOLSIFT_YANK_DIR_H
#define SPOOLSIFT_YANK_DIR_H

// With the queue as the working directory: 0 when settings.yank_dir is
// a directory on the queue's file system outside every message
// subdirectory and pid; -1 with the FATAL line written otherwise.
int check_yank_dir();

#endif
