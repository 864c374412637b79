// fuzz_date.cpp: the -x date reader against a model of the layout date(1)
// prints ("Mon Jan  1 00:00:00 UTC 2024"): what it accepts, which zone
// names pick standard or daylight time, and what the error message shows
// as the rest and its column.
#include "fuzz_support.h"
#include "settings.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

const char *const weekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul",
	"Aug", "Sep", "Oct", "Nov", "Dec"};

// The zones the target switches between, with their names and offsets
// from UTC in seconds (local + offset = UTC).
struct zone {
	const char *tz;
	const char *std_name, *dst_name;
	long std_off, dst_off;
} const zones[] = {
	{"UTC0", "UTC", "UTC", 0, 0},
	{"EST5EDT,M3.2.0,M11.1.0", "EST", "EDT", 5 * 3600, 4 * 3600},
	{"CET-1CEST,M3.5.0,M10.5.0/3", "CET", "CEST", -3600, -7200},
};

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t days_from_civil(int64_t y, int64_t m, int64_t d)
{
	y -= m <= 2;
	const int64_t era = (y >= 0 ? y : y - 399) / 400;
	const int64_t yoe = y - era * 400;
	const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
	const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
	return era * 146097 + doe - 719468;
}

// A date in the strict canonical layout, read without the C library.
struct strict_date {
	int64_t utc_as_if;	// the fields as if they were UTC
	std::string zone;
	size_t end;		// where the date ends in the text
};

bool digit(char c)
{
	return c >= '0' && c <= '9';
}

bool read_two(const std::string &s, size_t &at, int max, int &v)
{
	if (at + 2 > s.size() || !digit(s[at]) || !digit(s[at + 1]))
		return false;
	v = (s[at] - '0') * 10 + (s[at + 1] - '0');
	at += 2;
	return v <= max;
}

bool strict_parse(const std::string &s, strict_date &out)
{
	size_t at = 0;
	auto name = [&](const char *const *list, int count) {
		for (int i = 0; i < count; i++)
			if (s.compare(at, 3, list[i]) == 0) {
				at += 3;
				return i;
			}
		return -1;
	};
	auto space = [&] { return at < s.size() && s[at] == ' ' && ++at; };
	if (name(weekdays, 7) < 0 || !space())
		return false;
	int mon = name(months, 12);
	if (mon < 0 || !space())
		return false;
	if (at < s.size() && s[at] == ' ')
		at++;
	int day = 0, len = 0;
	while (len < 2 && at < s.size() && digit(s[at]))
		day = day * 10 + (s[at++] - '0'), len++;
	if (len == 0 || day < 1 || day > 31 || !space())
		return false;
	int h, m, sec;
	if (!read_two(s, at, 23, h) || s[at++] != ':' ||
	    !read_two(s, at, 59, m) || s[at++] != ':' ||
	    !read_two(s, at, 59, sec) || !space())
		return false;
	size_t zone_at = at;
	while (at < s.size() && ((s[at] >= 'A' && s[at] <= 'Z') ||
				    (s[at] >= 'a' && s[at] <= 'z')))
		at++;
	if (at == zone_at || at - zone_at > 10 || !space())
		return false;
	out.zone = s.substr(zone_at, at - zone_at - 1);
	int64_t year = 0;
	for (int i = 0; i < 4; i++, at++) {
		if (at >= s.size() || !digit(s[at]))
			return false;
		year = year * 10 + (s[at] - '0');
	}
	out.utc_as_if = days_from_civil(year, mon + 1, 1) * 86400 +
	    (day - 1) * 86400 + h * 3600 + m * 60 + sec;
	out.end = at;
	return true;
}

// The date message for a rest starting at column col.
std::string date_error(const std::string &arg, size_t col)
{
	return "Error parsing the date specified at: [ " + arg.substr(col) +
	    " ] col " + std::to_string(col) + "  [ " + arg + " ] ]\n";
}

// A canonical date built from the input, sometimes damaged or extended,
// so that most inputs reach the deep end of the layout.
std::string build(FuzzedDataProvider &in)
{
	char buf[128];
	int year = in.ConsumeBool() ? in.ConsumeIntegralInRange(1960, 2040)
				    : in.ConsumeIntegralInRange(0, 9999);
	const char *zone_names[] = {"UTC", "GMT", "EST", "EDT", "CET", "CEST",
		"XYZ", "utc", "UT"};
	snprintf(buf, sizeof buf, "%s %s %2d %02d:%02d:%02d %s %04d",
	    weekdays[in.ConsumeIntegralInRange(0, 6)],
	    months[in.ConsumeIntegralInRange(0, 11)],
	    in.ConsumeIntegralInRange(1, 31), in.ConsumeIntegralInRange(0, 23),
	    in.ConsumeIntegralInRange(0, 59), in.ConsumeIntegralInRange(0, 59),
	    zone_names[in.ConsumeIntegralInRange(0, 8)], year);
	std::string s = buf;
	if (in.ConsumeBool() && !s.empty()) {
		size_t at = in.ConsumeIntegralInRange<size_t>(0, s.size() - 1);
		s[at] = static_cast<char>(in.ConsumeIntegral<uint8_t>());
	}
	return s + in.ConsumeRandomLengthString(16);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	FuzzedDataProvider in(data, size);
	const zone &z = zones[in.ConsumeIntegralInRange(0, 2)];
	setenv("TZ", z.tz, 1);
	tzset();
	std::string arg = in.ConsumeBool() ? build(in)
					   : in.ConsumeRandomLengthString(128);
	arg = arg.c_str();	// what a command line can carry

	int64_t when = -12345;
	int rc = 0;
	std::string err = fuzz::captured_stderr(
	    [&] { rc = parse_expire_date(arg.c_str(), &when); });

	if (rc == 0) {
		fuzz::check(err.empty(), "accepted [" + arg + "] but said " + err);
		fuzz::check(when >= 0, "accepted a negative time for " + arg);
	} else {
		fuzz::check(rc == -1, "result " + std::to_string(rc));
		fuzz::check(when == -12345, "refused but stored a time");
		// Whatever went wrong, the message shows a rest of the text
		// and where it starts.
		bool shaped = false;
		for (size_t col = 0; col <= arg.size() && !shaped; col++)
			shaped = err == date_error(arg, col);
		fuzz::check(shaped, "date message for [" + arg + "]: " + err);
	}

	strict_date d;
	if (!strict_parse(arg, d))
		return 0;
	// The universal names mean UTC, the local zone's own names its
	// standard or daylight offset; any other name is refused outright.
	const bool universal = d.zone == "GMT" || d.zone == "UTC" ||
	    d.zone == "UT";
	if (!universal && d.zone != z.std_name && d.zone != z.dst_name) {
		fuzz::check(rc == -1 && err == date_error(arg, 0),
		    "[" + arg + "] in " + z.tz + ": an unknown zone word, want it "
		    "refused at col 0, got " + err);
		return 0;
	}
	const int64_t want = universal ? d.utc_as_if
	    : d.zone == z.std_name ? d.utc_as_if + z.std_off
				   : d.utc_as_if + z.dst_off;
	if (want < 0) {
		fuzz::check(rc == -1, "accepted a date before 1970: " + arg);
		fuzz::check(err == date_error(arg, d.end),
		    "for [" + arg + "] want rest at col " +
			std::to_string(d.end) + ", got " + err);
		return 0;
	}
	fuzz::check(rc == 0, "refused the date [" + arg + "]: " + err);
	fuzz::check(when == want, "[" + arg + "] in " + z.tz + " read as " +
		std::to_string(when) + ", want " + std::to_string(want));
	return 0;
}
