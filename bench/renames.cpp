// renames.cpp: the renames of a yank and nothing else. Reads the "moved
// FROM to TO" lines a yank wrote on standard error and makes each of
// those renames again, paths taken from the working directory (the
// queue), never replacing a file. Run beside a listing of the same queue,
// it shows what the cheapest possible yank would cost on this machine:
// the listing's work plus the renames' own.
//
// usage: renames LINES-FILE    (exit 1 when a rename fails)
#include <fcntl.h>
#include <stdio.h>

#include <fstream>
#include <string>
#include <utility>
#include <vector>

int main(int argc, char *argv[])
{
	if (argc != 2) {
		fputs("usage: renames LINES-FILE\n", stderr);
		return 2;
	}
	// Every pair is read before the first rename: only the renames
	// overlap the listing.
	std::vector<std::pair<std::string, std::string>> moves;
	std::ifstream in(argv[1]);
	const std::string moved = "moved ", to = " to ";
	for (std::string line; std::getline(in, line);) {
		size_t cut = line.find(to);
		if (line.starts_with(moved) && cut != std::string::npos)
			moves.emplace_back(line.substr(moved.size(),
			    cut - moved.size()), line.substr(cut + to.size()));
	}
	if (!in.eof()) {
		perror(argv[1]);
		return 2;
	}
	int failed = 0;
	for (const auto &[from, dest] : moves) {
		if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, dest.c_str(),
		    RENAME_NOREPLACE) == -1) {
			perror(from.c_str());
			failed = 1;
		}
	}
	return failed;
}
