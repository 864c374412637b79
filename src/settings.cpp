// settings.cpp: option parsing into the run settings, and the usage text.
#include "settings.h"

#include "os.h"

#include <fcntl.h>
#include <regex.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

run_settings settings;

namespace {

// The layout date(1) prints in the POSIX locale; the program never sets
// its locale, so day and month names are the English ones.
constexpr char date_layout[] = "%a %b %e %H:%M:%S %Z %Y";
constexpr char date_before_zone[] = "%a %b %e %H:%M:%S";

constexpr char date_error[] =
    "Error parsing the date specified at: [ %s ] col %d  [ %s ] ]\n";

// How a date that parsed names its zone: strptime reads %Z but keeps
// nothing of it, so the word is found again where %Z took it. The local
// zone's own names say standard or daylight time; GMT, UTC and UT mean
// UTC on any host; any other word would be taken for local time, hours
// off without a word, and is refused as a date parser that knows zones
// refuses it.
enum class date_zone { local_standard, local_daylight, utc, unknown };

date_zone zone_of(const char *arg)
{
	struct tm scratch = {};
	const char *p = strptime(arg, date_before_zone, &scratch);
	if (p == nullptr)
		return date_zone::unknown;
	while (isspace(static_cast<unsigned char>(*p)))
		p++;
	size_t len = 0;
	while (p[len] != '\0' && !isspace(static_cast<unsigned char>(p[len])))
		len++;
	const std::string_view word(p, len);
	if (word == "GMT" || word == "UTC" || word == "UT")
		return date_zone::utc;
	tzset();
	if (word == tzname[0])
		return date_zone::local_standard;
	if (word == tzname[1])
		return date_zone::local_daylight;
	return date_zone::unknown;
}

int expire_offset_option(const char *arg)
{
	long secs = strtol(arg, nullptr, 10);
	if (secs == -1) {
		fprintf(stderr, "invalid expire offset value [ %s ]\n", arg);
		return -1;
	}
	settings.do_expire = 1;
	if (secs != 0)
		settings.expire_secs = secs;
	fprintf(stderr, "Offsetting timestamps by %lld seconds \n",
	    static_cast<long long>(settings.expire_secs));
	settings.expire_when = -1;
	return 0;
}

int expire_date_option(const char *arg)
{
	int64_t when;
	if (parse_expire_date(arg, &when) == -1)
		return -1;
	settings.do_expire = 1;
	settings.expire_when = when;
	fprintf(stderr, "time in seconds: %lld [ %s ]\n",
	    static_cast<long long>(when), arg);
	settings.expire_secs = 0;
	return 0;
}

}  // namespace

// -q: open and enter the queue at once, so a later option that fails
// leaves the process in it, and a second -q is named from the first.
int enter_queue_option(const char *dir)
{
	switch (enter_queue(dir)) {
	case queue_entry::entered:
		return 0;
	case queue_entry::not_opened:
		perror("open()");
		return -1;
	case queue_entry::not_entered:
		perror("fchdir()");
		return -1;
	}
	return -1;
}

int enter_default_queue()
{
	switch (enter_queue(default_queue)) {
	case queue_entry::entered:
		return 0;
	case queue_entry::not_opened:
		fprintf(stderr,
		    "no queue directory specified and %s doesn't exist\n",
		    default_queue);
		return -1;
	case queue_entry::not_entered:
		perror("fchdir()");
		return -1;
	}
	return -1;
}

int parse_split(const char *arg)
{
	unsigned long value = strtoul(arg, nullptr, 10);
	// Only the low 32 bits count. A split of 0 would make every split
	// path a division by zero.
	int32_t split = static_cast<int32_t>(static_cast<uint32_t>(value));
	if (value == ULONG_MAX || split == 0) {
		fputs("invalid split value\n", stderr);
		return -1;
	}
	settings.split = split;
	return 0;
}

queue_entry enter_queue(const char *dir)
{
	// O_NONBLOCK: a FIFO or device given by mistake must not hang the
	// open; it is refused by the fchdir like any other non-directory.
	int fd = open(dir, O_RDONLY | O_NONBLOCK);
	if (fd == -1)
		return queue_entry::not_opened;
	settings.queue_fd = fd;
	if (fchdir(fd) == -1)
		return queue_entry::not_entered;
	settings.queue_dir = dir;
	return queue_entry::entered;
}

int parse_expire_date(const char *arg, int64_t *when)
{
	// Zeroed first: fields the layout does not fill must not come from
	// whatever the stack held.
	struct tm tm = {};
	const char *rest = strptime(arg, date_layout, &tm);
	if (rest == nullptr) {
		// Rejected outright: no stopping point, so show the whole text.
		fprintf(stderr, date_error, arg, 0, arg);
		return -1;
	}
	const date_zone zone = zone_of(arg);
	if (zone == date_zone::unknown) {
		fprintf(stderr, date_error, arg, 0, arg);
		return -1;
	}
	time_t t;
	if (zone == date_zone::utc) {
		t = timegm(&tm);
	} else {
		tm.tm_isdst = zone == date_zone::local_daylight ? 1 : 0;
		t = mktime(&tm);
	}
	if (t < 0) {
		fprintf(stderr, date_error, rest, static_cast<int>(rest - arg),
		    arg);
		return -1;
	}
	*when = t;
	return 0;
}

int parse_options(int argc, char *argv[])
{
	// "+": stop at the first word that is not an option, as POSIX getopt
	// does; glibc would otherwise reorder the arguments.
	int c;
	while ((c = getopt(argc, argv, "+ehin:p:q:drs:vy:?X:x:")) != -1) {
		switch (c) {
		case 'e':
			// Extended syntax always comes case-insensitive.
			settings.regex_flags |= REG_EXTENDED | REG_ICASE;
			break;
		case 'i':
			settings.regex_flags |= REG_ICASE;
			break;
		case 'n': {
			unsigned long bytes = strtoul(optarg, nullptr, 10);
			if (bytes == ULONG_MAX) {
				fputs("invalid number of bytes\n", stderr);
				return 1;
			}
			// 2^63 and above turn negative: the whole file.
			settings.max_bytes = static_cast<int64_t>(bytes);
			break;
		}
		case 'p':
			settings.pattern = optarg;
			break;
		case 'q':
			if (enter_queue_option(optarg) == -1)
				return 1;
			break;
		case 'd':
			settings.do_delete = 1;
			break;
		case 'r':
			settings.do_yank = 1;
			break;
		case 's':
			if (parse_split(optarg) == -1)
				return 1;
			break;
		case 'v':
			settings.verbose++;
			break;
		case 'y':
			settings.yank_dir = optarg;
			break;
		case 'X':
			if (expire_offset_option(optarg) == -1)
				return 1;
			break;
		case 'x':
			if (expire_date_option(optarg) == -1)
				return 1;
			break;
		default:	// -h, -?, and getopt's own complaints
			write_usage();
			return 1;
		}
	}
	// The flags are tested for exactly 1: that is what the options set.
	settings.action = settings.do_yank == 1 ? run_action::yank
	    : settings.do_delete == 1		? run_action::remove
	    : settings.do_expire == 1		? run_action::expire
						: run_action::none;
	// A word after the options ends them, and everything after it is
	// ignored. When that word was meant as a pattern (-d jackpot, a -p
	// forgotten), an action would take every message: refuse.
	if (settings.action != run_action::none && optind < argc) {
		fprintf(stderr, "unexpected argument: %s\n", argv[optind]);
		write_usage();
		return 1;
	}
	return 0;
}

void write_usage()
{
	fprintf(stderr, "%s [options]\n", os_program_name());
	fputs("  -e\t\tuse extended POSIX regular expressions\n"
	      "  -h, -?\tthis help message\n"
	      "  -i\t\tsearch case insensitively [default: case sensitive]\n"
	      "  -n <bytes>\tlimit our search to the first <bytes> bytes of "
	      "each file\n"
	      "  -p <pattern>\tspecify the pattern to search for\n"
	      "  -q <queuedir>\tspecify the base qmail queue dir "
	      "[default: /var/qmail/queue]\n"
	      "  -d\t\tactually remove files not yank them, no -p will "
	      "delete all the messages!\n"
	      "  -r\t\tactually remove files, without this we'll only print "
	      "them\n"
	      "  -s <split>\tspecify your conf-split value if non-standard "
	      "[default: 23]\n"
	      "  -v\t\tincrease verbosity (can be used more than once)\n"
	      "  -y <yankdir>\tdirectory to put files yanked from the queue "
	      "[default: <queuedir>/yanked]\n"
	      "  -X <secs> \tmodify timestamp on matching files, to make "
	      "qmail expire mail\n"
	      "\t\t <secs> is the number of seconds we want to move the file "
	      "into the past.\n",
	    stderr);
	fprintf(stderr,
	    "\t\t specifying a value of 0 causes this to default to (%lld)\n",
	    static_cast<long long>(settings.expire_secs));
	fputs("  -x <timespec>\tmodify timestamp on matching files, to make "
	      "qmail expire mail\n"
	      "\t\t <timespec> is a date/time string in the format of output "
	      "of the \"date\" program.\n"
	      "\t\t see manpage for strptime(2) for details of this format\n",
	    stderr);
}

void usage()
{
	write_usage();
	exit(1);
}
