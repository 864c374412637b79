// yank_review.cpp: the numbers in a yank directory and the review line
// of each message there.
#include "yank_review.h"

#include "os.h"
#include "queue_layout.h"
#include "unique_fd.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <optional>
#include <string_view>

namespace {

// The parts of a message below are indexed like queue_subdirs.
constexpr size_t sub_count = subdir_count;

// Spam can be any size, and a review of thousands of messages must stay
// quick: no file is read past this, the text only to its header's end.
constexpr size_t read_limit = 64 * 1024;
constexpr size_t address_cap = 60, subject_cap = 80;	// shown characters
constexpr unsigned long shown_recipients = 3;

enum class state { absent, regular, not_file, unreadable };

struct part {
	state is = state::absent;
	struct stat meta{};	// when it is a regular file
	std::string bytes;	// what was read of it
};

// A regular file, whether or not it could be read.
bool there(const part &p)
{
	return p.is == state::regular || p.is == state::unreadable;
}

bool header_ends_in(std::string_view s)
{
	return s.starts_with("\n") || s.starts_with("\r\n") ||
	    s.find("\n\n") != s.npos || s.find("\n\r\n") != s.npos;
}

// Reads the start of the file at fd into out, at most read_limit bytes,
// and for a text only until its header part is in. false: a read failed.
bool read_start(int fd, bool text, std::string &out)
{
	char buf[8192];
	while (out.size() < read_limit) {
		ssize_t got = read(fd, buf,
		    std::min(sizeof buf, read_limit - out.size()));
		if (got == -1 && errno == EINTR)
			continue;
		if (got == -1)
			return false;
		if (got == 0)
			break;
		out.append(buf, static_cast<size_t>(got));
		if (text && header_ends_in(out))
			break;
	}
	return true;
}

// Looks at n's file from subdirectory s in dir and, when it is a regular
// file, reads its start (bounce's content is not shown). -1 (errno set)
// when dir itself cannot be searched: fstatat needs nothing of the file,
// so any other failure is the directory's.
int look(int dir, unsigned long n, size_t s, part &p)
{
	std::string name = std::to_string(n) + "." + queue_subdirs[s];
	if (fstatat(dir, name.c_str(), &p.meta, AT_SYMLINK_NOFOLLOW) == -1)
		return errno == ENOENT ? 0 : -1;
	p.is = S_ISREG(p.meta.st_mode) ? state::regular : state::not_file;
	if (p.is != state::regular || s == bounce_at)
		return 0;
	// Never through a link; O_NONBLOCK, so that a FIFO put here since the
	// look above cannot hang the review; no access time (os.h), so that
	// even access times stay as the yank left them, where the owner or
	// root reads and the system has the flag.
	int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
	unique_fd fd(openat(dir, name.c_str(), flags | os_no_atime));
	if (!fd && errno == EPERM)
		fd = unique_fd(openat(dir, name.c_str(), flags));
	if (!fd)
		p.is = errno == ENOENT ? state::absent :
		    errno == ELOOP ? state::not_file : state::unreadable;
	else if (struct stat st; fstat(fd.get(), &st) == -1)
		p.is = state::unreadable;
	else if (!S_ISREG(st.st_mode))
		p.is = state::not_file;		// replaced since the look
	else {
		p.meta = st;
		if (!read_start(fd.get(), s == mess_at, p.bytes))
			p.is = state::unreadable;
	}
	return 0;
}

// raw as it may reach a terminal, at most cap characters and "..." after
// a cut. An address shows every space as \x20; in a text (the subject) a
// run of spaces and tabs is one space, and a double quote reads \".
std::string shown(std::string_view raw, size_t cap, bool text)
{
	std::string out;
	for (unsigned char c : raw) {
		char piece[5] = {static_cast<char>(c), '\0'};
		if (text && (c == ' ' || c == '\t')) {
			if (out.empty() || out.back() == ' ')
				continue;
			piece[0] = ' ';
		} else if (c == '\\' || (text && c == '"'))
			snprintf(piece, sizeof piece, "\\%c", c);
		else if (c <= ' ' || c >= 0x7f)
			snprintf(piece, sizeof piece, "\\x%02x", c);
		if (out.size() + strlen(piece) > cap)
			return out + "...";
		out += piece;
	}
	if (!out.empty() && out.back() == ' ')
		out.pop_back();
	return out;
}

// The records of an envelope or recipients file, each ended by a NUL; a
// last one without its NUL (cut by the read, or never finished) is left
// out, as qmail-send leaves it.
std::vector<std::string_view> records(std::string_view bytes)
{
	std::vector<std::string_view> out;
	for (size_t end; (end = bytes.find('\0')) != bytes.npos;
	     bytes.remove_prefix(end + 1))
		out.push_back(bytes.substr(0, end));
	return out;
}

// The modification time t as qmail-qread shows it.
std::string date_of(time_t t)
{
	static const char *const months[] = {"Jan", "Feb", "Mar", "Apr",
		"May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
	struct tm tm;
	if (gmtime_r(&t, &tm) == nullptr)
		return "?";
	char buf[80];
	snprintf(buf, sizeof buf, "%d %s %d %02d:%02d:%02d GMT", tm.tm_mday,
	    months[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
	    tm.tm_sec);
	return buf;
}

std::string sender_of(const part &p)
{
	if (p.is == state::unreadable)
		return "unreadable";
	for (std::string_view r : records(p.bytes))
		if (r.starts_with("F"))
			return "<" + shown(r.substr(1), address_cap, false) + ">";
	return "?";
}

// The items of list joined by ", ": "" for none.
std::string joined(const std::vector<std::string> &list)
{
	std::string out;
	for (const std::string &item : list)
		out += (out.empty() ? "" : ", ") + item;
	return out;
}

std::string recipients_of(const std::array<part, sub_count> &parts)
{
	std::string label = "to: ", list;
	std::vector<std::string> said, unreadable;
	unsigned long listed = 0, done = 0;
	bool cut = false;
	auto take = [&](size_t s, const char *where) {
		const part &p = parts[s];
		if (p.is == state::unreadable)
			unreadable.push_back(queue_subdirs[s] + std::string(" unreadable"));
		if (p.is != state::regular)
			return;
		for (std::string_view r : records(p.bytes))
			if (r.starts_with("D") && (s == local_at || s == remote_at))
				done++;
			else if (r.starts_with("T") && listed++ < shown_recipients)
				list += (listed > 1 ? ", " : "") + std::string(where) +
				    shown(r.substr(1), address_cap, false);
		cut |= static_cast<size_t>(p.meta.st_size) > p.bytes.size();
	};
	// A todo file stands for the whole envelope: qmail-send sorts it into
	// info, local and remote afresh, dropping any it finds there.
	if (there(parts[todo_at])) {
		label = "to (still in todo): ";
		take(todo_at, "");
	} else if (there(parts[info_at]) || there(parts[local_at]) ||
	    there(parts[remote_at])) {
		take(local_at, "local ");
		take(remote_at, "remote ");
	} else if (there(parts[intd_at])) {
		label = "to (still in intd): ";
		take(intd_at, "");
	} else
		return "to: -";
	if (listed > shown_recipients)
		list += " +" + std::to_string(listed - shown_recipients) + " more";
	if (!list.empty())
		said.push_back(list);
	if (done > 0)
		said.push_back(std::to_string(done) + " done");
	if (cut)
		said.push_back("rest past 64 KiB not counted");
	said.insert(said.end(), unreadable.begin(), unreadable.end());
	return label + (said.empty() ? "none waiting" : joined(said));
}

// The Subject header of a text, unfolded: its value and the lines that
// continue it (those starting with a space or a tab), joined.
std::string subject_of(const part &p)
{
	if (p.is == state::unreadable)
		return "unreadable";
	if (p.is != state::regular)
		return "-";
	std::string_view text = p.bytes;
	std::string value;
	bool found = false;
	while (!text.empty()) {
		size_t end = std::min(text.find('\n'), text.size());
		std::string_view line = text.substr(0, end);
		text.remove_prefix(std::min(end + 1, text.size()));
		if (line.ends_with("\r"))
			line.remove_suffix(1);
		if (line.empty())
			break;		// the end of the header part
		bool continued = line[0] == ' ' || line[0] == '\t';
		if (found && !continued)
			break;
		if (found)
			(value += ' ') += line;
		else if (line.size() >= 8 &&
		    strncasecmp(line.data(), "subject:", 8) == 0) {
			found = true;
			value = line.substr(8);
		}
	}
	if (!found)
		return header_ends_in(p.bytes) || p.bytes.size() < read_limit ?
		    "no subject" : "no subject in first 64 KiB";
	return "\"" + shown(value, subject_cap, true) + "\"";
}

std::string state_of(const std::array<part, sub_count> &parts)
{
	std::vector<std::string> missing, unreadable, odd;
	if (!there(parts[mess_at]))
		missing.push_back("mess");
	if (!there(parts[info_at]) && !there(parts[todo_at]))
		missing.push_back("envelope");
	for (size_t s = 0; s < sub_count; s++)
		if (parts[s].is == state::unreadable)
			unreadable.push_back(queue_subdirs[s]);
		else if (parts[s].is == state::not_file)
			odd.push_back(queue_subdirs[s]);
	std::string out = missing.empty() ? "whole" : "missing: " + joined(missing);
	if (!unreadable.empty())
		out += "; unreadable: " + joined(unreadable);
	if (!odd.empty())
		out += "; not a file: " + joined(odd);
	return out;
}

// "N.sub" with N a message number and sub one of ours.
bool yank_name(std::string_view name, unsigned long &n)
{
	size_t dot = name.find('.');
	if (dot == name.npos)
		return false;
	std::optional<unsigned long> got =
	    parse_message_number(name.substr(0, dot));
	if (!got || std::find(std::begin(queue_subdirs), std::end(queue_subdirs) - 1,
			name.substr(dot + 1)) == std::end(queue_subdirs) - 1)
		return false;
	n = *got;
	return true;
}

}  // namespace

int yanked_numbers(int dir, std::vector<unsigned long> &out)
try {
	// A descriptor of our own: closedir closes it, and the caller's offset
	// in dir stays as it was.
	int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd == -1)
		return -1;
	std::unique_ptr<DIR, int (*)(DIR *)> d(fdopendir(fd), closedir);
	if (d == nullptr) {
		int error = errno;
		close(fd);
		errno = error;
		return -1;
	}
	std::vector<unsigned long> numbers;
	unsigned long n;
	for (;;) {
		errno = 0;
		const dirent *e = readdir(d.get());
		if (e == nullptr && errno != 0) {
			int error = errno;
			d.reset();	// closedir may set errno
			errno = error;
			return -1;
		}
		if (e == nullptr)
			break;
		if (yank_name(e->d_name, n))
			numbers.push_back(n);
	}
	std::sort(numbers.begin(), numbers.end());
	numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
	out.swap(numbers);
	return 0;
} catch (const std::bad_alloc &) {
	errno = ENOMEM;
	return -1;
}

int review_line(int dir, unsigned long n, std::string &line)
try {
	if (n == 0) {
		errno = EINVAL;
		return -1;
	}
	std::array<part, sub_count> parts;
	for (size_t s = 0; s < sub_count; s++)
		if (look(dir, n, s, parts[s]) == -1)
			return -1;
	// The envelope the date and the sender come from.
	const part *env = nullptr;
	for (size_t s : {info_at, todo_at, intd_at})
		if (env == nullptr && there(parts[s]))
			env = &parts[s];
	std::string out = std::to_string(n);
	out += "  " + (env ? date_of(env->meta.st_mtime) : "-");
	out += "  " + (there(parts[mess_at]) ?
	    std::to_string(parts[mess_at].meta.st_size) : "-");
	out += "  " + (env ? sender_of(*env) : "-");
	out += "  " + recipients_of(parts);
	out += "  " + subject_of(parts[mess_at]);
	out += "  " + state_of(parts);
	line.swap(out);
	return 0;
} catch (const std::bad_alloc &) {
	errno = ENOMEM;
	return -1;
}
