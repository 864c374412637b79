// mkqueue.cpp: writes a sample qmail queue with a realistic mix of
// message states, sizes and spam, and the failure notices a flood leaves
// for a forged sender, for the demo, the tests and the benchmarks. The
// output depends only on the options: the same options give the same
// tree, byte for byte and down to the file times, on any machine and
// with any C++ library.
//
// usage: mkqueue [-n count] [-s split] [-S seed] [-p spam-percent]
//                [-t base-time] [-m mail|small] dir
//
// -m small writes only short plain-text messages of about 2 KB, for
// queues of millions; the default mix, mail, is the realistic one.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <string>
#include <unordered_set>
#include <vector>

namespace {

const char usage_text[] = "usage: mkqueue [-i] [-n count] [-s split] "
    "[-S seed] [-p spam-percent] [-t base-time] [-m mail|small] dir\n";

const unsigned long long max_count = 10000000;
const unsigned long long max_split = 65535;
const long long max_age = 6 * 86400;
// Years stay four digits wide, and no file time goes below the epoch.
const unsigned long long min_base_time = max_age;
const unsigned long long max_base_time = 253402300799ULL;

// Run settings, written only while the options are parsed.
unsigned long long count = 1000;
unsigned long long split = 23;
unsigned long long seed = 1;
unsigned long long spam_percent = 5;
unsigned long long base_time = 1796083200;	// 2026-12-01T00:00:00Z
bool small_mix = false;				// -m small
bool inode_names = false;			// -i

// The markers a search for spam keys on. Ham must never contain them:
// the word lists below are free of them, and attachments are kept free
// of the letter k, which both markers hold.
constexpr char marker_word[] = "jackpot";
constexpr char marker_host[] = "lucky-spins";

constexpr bool holds(const char *s, char c)
{
	for (; *s != '\0'; s++)
		if (*s == c)
			return true;
	return false;
}
static_assert(holds(marker_word, 'k') && holds(marker_host, 'k'),
    "attachments avoid k to keep the markers out");

const char local_domain[] = "example.com";
const char local_host[] = "mail.example.com";

// The failure notices of a sample queue all go to one address, as the
// backscatter of a flood that forged it as sender does: its server
// refuses them, so they wait in the queue. The bounce task of
// doc/tasks.md looks for them.
const char bounced_sender[] = "alice@example.net";
const unsigned qmails_uid = 1005;	// qmail-send queues as qmails

const char *const first_names[] = {"Alice", "Bob", "Carol", "Dave", "Erin",
    "Frank", "Grace", "Heidi", "Ivan", "Judy", "Karl", "Laura", "Mike",
    "Nina", "Oscar", "Paula", "Quentin", "Rita", "Steve", "Tina", "Ursula",
    "Victor", "Wendy", "Xavier", "Yvonne", "Zoe"};
const char *const last_names[] = {"Adams", "Baker", "Clark", "Davis",
    "Evans", "Fischer", "Garcia", "Hughes", "Ito", "Jensen", "Kowalski",
    "Lopez", "Meyer", "Novak", "Olsen", "Parker", "Quinn", "Rossi",
    "Schmidt", "Tanaka", "Umar", "Vogel", "Weber", "Young", "Zimmer"};
const char *const role_users[] = {"postmaster", "sales", "support", "info",
    "billing", "office", "hr", "webmaster"};
const char *const remote_domains[] = {"example.net", "example.org",
    "mail.example.net", "corp.example.org", "example.edu",
    "shop.example.net", "lists.example.org", "partner.example.net"};
const char *const host_prefixes[] = {"mail", "smtp", "mx1", "mx2", "out",
    "relay"};

const char *const subjects[] = {"Meeting notes", "Quarterly report",
    "Invoice for November", "Project status update", "Lunch on Friday?",
    "Draft agreement", "Travel plans", "Updated schedule",
    "Question about the order", "Minutes of the board meeting",
    "New office hours", "Server maintenance window", "Budget review",
    "Photos from the weekend", "Contract renewal", "Shipping confirmation",
    "Your support request", "Weekly newsletter", "Call for papers",
    "Holiday rota", "Password policy change", "Price list 2027",
    "Delivery delayed", "Welcome to the team", "Feedback on the proposal"};

const char *const words[] = {"the", "of", "and", "to", "in", "is", "that",
    "for", "it", "as", "was", "with", "be", "by", "on", "not", "he", "this",
    "are", "or", "his", "from", "at", "which", "but", "have", "an", "had",
    "they", "you", "were", "their", "one", "all", "we", "can", "her", "has",
    "there", "been", "if", "more", "when", "will", "would", "who", "so",
    "no", "she", "other", "its", "may", "these", "about", "than", "into",
    "some", "could", "time", "them", "only", "new", "then", "also", "any",
    "our", "two", "like", "over", "such", "first", "after", "should",
    "meeting", "report", "project", "customer", "order", "invoice",
    "delivery", "schedule", "office", "team", "budget", "review", "draft",
    "contract", "account", "server", "network", "update", "please", "thanks",
    "regards", "week", "month", "year", "today", "tomorrow", "morning",
    "afternoon", "question", "answer", "change", "request", "document",
    "attached", "version", "price", "quote", "payment", "shipment",
    "address", "phone", "number", "list", "plan", "result", "problem",
    "issue", "solution", "support", "service", "product", "market", "sales",
    "figures", "quarter", "board", "agenda", "minutes", "note", "notes",
    "copy", "file", "folder", "printer", "backup", "mail", "message",
    "reply", "forward", "confirm", "cancel", "agree", "discuss", "prepare",
    "send", "receive", "check", "finish", "start", "open", "close", "late",
    "early", "soon", "already", "still", "again", "together", "before",
    "during", "between", "without", "because", "however", "therefore"};

struct Attachment {
	const char *stem;
	const char *ext;
	const char *type;
};
const Attachment attachments[] = {{"invoice", "pdf", "application/pdf"},
    {"report", "pdf", "application/pdf"}, {"photo", "jpg", "image/jpeg"},
    {"scan", "png", "image/png"}, {"archive", "zip", "application/zip"},
    {"figures", "xls", "application/vnd.ms-excel"},
    {"data", "bin", "application/octet-stream"}};

const char *const bounce_texts[] = {
    "Sorry, no mailbox here by that name. (#5.1.1)\n",
    "This message is looping: it already has my Delivered-To line. "
    "(#5.4.6)\n",
    "Connected to 192.0.2.25 but sender was rejected.\n"
    "Remote host said: 553 sorry, your envelope sender is in my "
    "badmailfrom list (#5.7.1)\n",
    "Sorry, I wasn't able to establish an SMTP connection. (#4.4.1)\n"
    "I'm not going to try again; this message has been in the queue "
    "too long.\n"};

const char *const month_names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char *const day_names[] = {"Thu", "Fri", "Sat", "Sun", "Mon", "Tue",
    "Wed"};	// 1970-01-01 was a Thursday
const int zones[] = {0, 60, 120, -300, -480, 540, 330};	// minutes east

// A message waits in one of these states.
enum class State {
	preprocessed,	// mess, info, local and/or remote (maybe bounce)
	todo,		// mess and todo: not yet seen by the send daemon
	injecting,	// mess and intd: still being queued
};

struct Message {
	uint32_t num = 0;	// inode number in a real queue
	bool spam = false;
	State state = State::preprocessed;
	bool bounce = false;
	bool network = true;	// arrived by SMTP, not from a local user
	long long time = 0;
	unsigned pid = 0;	// of the queueing process
	unsigned uid = 0;
	std::string sender;	// envelope sender, empty for a bounce
	std::string from;	// From: line value
	std::vector<std::string> local_rcpts;
	std::vector<std::string> remote_rcpts;
};

// xoshiro256** seeded through splitmix64: small, fast and the same
// everywhere, which the library distributions are not.
struct Rng {
	uint64_t s[4];
};

uint64_t splitmix64(uint64_t &x)
{
	uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
	z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
	z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
	return z ^ (z >> 31);
}

void rng_seed(Rng &rng, uint64_t value)
{
	for (uint64_t &s : rng.s)
		s = splitmix64(value);
}

uint64_t rotl(uint64_t x, int k)
{
	return (x << k) | (x >> (64 - k));
}

uint64_t rng_next(Rng &rng)
{
	uint64_t *s = rng.s;
	uint64_t result = rotl(s[1] * 5, 7) * 9;
	uint64_t t = s[1] << 17;
	s[2] ^= s[0];
	s[3] ^= s[1];
	s[1] ^= s[2];
	s[0] ^= s[3];
	s[2] ^= t;
	s[3] = rotl(s[3], 45);
	return result;
}

// Uniform in [0, n), n > 0. Values in the short last stretch of the
// 64-bit range are drawn again so no remainder is favoured.
uint64_t rng_below(Rng &rng, uint64_t n)
{
	uint64_t floor = (0 - n) % n;
	for (;;) {
		uint64_t r = rng_next(rng);
		if (r >= floor)
			return r % n;
	}
}

// Uniform in [lo, hi].
uint64_t rng_range(Rng &rng, uint64_t lo, uint64_t hi)
{
	return lo + rng_below(rng, hi - lo + 1);
}

template <typename T, size_t N>
const T &pick(Rng &rng, const T (&list)[N])
{
	return list[rng_below(rng, N)];
}

// Reports a failed call on path; errno is read before anything can
// change it.
int failed_call(const char *call, const char *path)
{
	int saved = errno;
	fprintf(stderr, "mkqueue: %s %s: %s\n", call, path, strerror(saved));
	return -1;
}

// Parses a plain decimal number in [lo, hi]. Only digits are allowed,
// so a sign, blanks or trailing junk are refused rather than skipped.
int parse_number(const char *s, unsigned long long lo, unsigned long long hi,
    unsigned long long *out)
{
	if (*s == '\0')
		return -1;
	for (const char *p = s; *p != '\0'; p++)
		if (*p < '0' || *p > '9')
			return -1;
	errno = 0;
	unsigned long long v = strtoull(s, nullptr, 10);
	if (errno == ERANGE || v < lo || v > hi)
		return -1;
	*out = v;
	return 0;
}

// Days since 1970-01-01 to a civil date, proleptic Gregorian.
void civil_from_days(long long z, int *y, int *m, int *d)
{
	z += 719468;
	long long era = (z >= 0 ? z : z - 146096) / 146097;
	long long doe = z - era * 146097;
	long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
	long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
	long long mp = (5 * doy + 2) / 153;
	*d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
	*m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
	*y = static_cast<int>(yoe + era * 400 + (*m <= 2));
}

// Appends t as "Tue, 1 Dec 2026 10:00:00 +0100" for a Date: line, or,
// without the weekday and in UTC, as qmail writes it in Received: lines:
// "1 Dec 2026 10:00:00 -0000". Done by hand so neither the locale nor
// the time zone of the host can change the output.
void append_date(std::string &out, long long t, int zone, bool weekday)
{
	long long local = t + zone * 60LL;
	long long days = local / 86400;
	long long secs = local % 86400;
	if (secs < 0) {
		secs += 86400;
		days--;
	}
	int y, m, d;
	civil_from_days(days, &y, &m, &d);
	char buf[64];
	int az = zone < 0 ? -zone : zone;
	if (weekday)
		snprintf(buf, sizeof buf, "%s, %d %s %d %02lld:%02lld:%02lld "
		    "%c%02d%02d", day_names[((days % 7) + 7) % 7], d,
		    month_names[m - 1], y, secs / 3600, secs / 60 % 60,
		    secs % 60, zone < 0 ? '-' : '+', az / 60, az % 60);
	else
		snprintf(buf, sizeof buf, "%d %s %d %02lld:%02lld:%02lld -0000",
		    d, month_names[m - 1], y, secs / 3600, secs / 60 % 60,
		    secs % 60);
	out += buf;
}

// Appends t in UTC as YYYYMMDDhhmmss, as qmail-inject starts a Message-ID.
void append_stamp(std::string &out, long long t)
{
	int y, m, d;
	civil_from_days(t / 86400, &y, &m, &d);
	long long secs = t % 86400;
	char buf[32];
	snprintf(buf, sizeof buf, "%04d%02d%02d%02lld%02lld%02lld", y, m, d,
	    secs / 3600, secs / 60 % 60, secs % 60);
	out += buf;
}

void append_number(std::string &out, unsigned long long v)
{
	char buf[24];
	snprintf(buf, sizeof buf, "%llu", v);
	out += buf;
}

void append_hex(std::string &out, uint64_t v)
{
	char buf[20];
	snprintf(buf, sizeof buf, "%016llx",
	    static_cast<unsigned long long>(v));
	out += buf;
}

void append_ip(Rng &rng, std::string &out)
{
	// Documentation ranges only, so the sample never names a real host.
	static const char *const nets[] = {"192.0.2.", "198.51.100.",
	    "203.0.113."};
	out += pick(rng, nets);
	append_number(out, rng_range(rng, 1, 254));
}

std::string lower(const char *s)
{
	std::string r(s);
	for (char &c : r)
		if (c >= 'A' && c <= 'Z')
			c = static_cast<char>(c - 'A' + 'a');
	return r;
}

// A person's address and display name at domain.
void person(Rng &rng, const char *domain, std::string *addr,
    std::string *display)
{
	const char *first = pick(rng, first_names);
	const char *last = pick(rng, last_names);
	switch (rng_below(rng, 4)) {
	case 0:
		*addr = lower(first);
		break;
	case 1:
		*addr = pick(rng, role_users);
		break;
	default:
		*addr = lower(first) + "." + lower(last);
		break;
	}
	*addr += std::string("@") + domain;
	*display = std::string(first) + " " + last;
}

std::string local_address(Rng &rng)
{
	std::string addr, display;
	person(rng, local_domain, &addr, &display);
	return addr;
}

std::string remote_address(Rng &rng)
{
	std::string addr, display;
	person(rng, pick(rng, remote_domains), &addr, &display);
	return addr;
}

// Decides everything about a message but its body.
void plan_message(Rng &rng, Message &msg)
{
	uint64_t r = rng_below(rng, 1000);
	if (r < 10)
		msg.state = State::injecting;
	else if (r < 60)
		msg.state = State::todo;
	else
		msg.state = State::preprocessed;
	// A bounce file stays while the bounce is being sent; only a
	// message with recipients already sorted out can have one.
	msg.bounce = msg.state == State::preprocessed &&
	    rng_below(rng, 100) < 4;

	// Mostly outgoing mail, some incoming, a few to both sides.
	r = rng_below(rng, 100);
	bool to_local = r >= 80;
	bool to_remote = r < 80 || r >= 95;
	int n = static_cast<int>(rng_range(rng, 1, 3));
	for (int i = 0; i < n; i++) {
		if (to_local && (!to_remote || i % 2 == 1))
			msg.local_rcpts.push_back(local_address(rng));
		else
			msg.remote_rcpts.push_back(remote_address(rng));
	}
	if (to_local && msg.local_rcpts.empty())
		msg.local_rcpts.push_back(local_address(rng));

	msg.time = static_cast<long long>(base_time) -
	    static_cast<long long>(rng_range(rng, 0, max_age));
	msg.pid = static_cast<unsigned>(rng_range(rng, 1000, 99999));
	// Incoming mail and spam came by SMTP; the rest from local users.
	msg.network = msg.spam || (to_local && !to_remote);
	msg.uid = msg.network ? 1003 : static_cast<unsigned>(
	    rng_range(rng, 1000, 1020));

	std::string addr, display;
	if (msg.spam) {
		// Spammers' envelope senders rarely match their From: line.
		msg.sender = "bounce-";
		append_hex(msg.sender, rng_next(rng));
		msg.sender += "@mailer.example.info";
		msg.from = "Lucky Spins <winner@lucky-spins.example.biz>";
	} else if (rng_below(rng, 100) < 2) {
		msg.sender = "";	// a bounce passing through
		msg.from = std::string("MAILER-DAEMON@") + local_host;
	} else {
		person(rng, msg.network ? pick(rng, remote_domains) :
		    local_domain, &addr, &display);
		msg.sender = addr;
		msg.from = display + " <" + addr + ">";
	}
}

// Appends a sentence from the word list, wrapping at 72 columns; col is
// the length of the line so far.
void append_sentence(Rng &rng, std::string &out, size_t &col)
{
	int n = static_cast<int>(rng_range(rng, 5, 15));
	for (int i = 0; i < n; i++) {
		const char *w = pick(rng, words);
		size_t len = strlen(w) + (i == n - 1);
		if (col > 0 && col + 1 + len > 72) {
			out += '\n';
			col = 0;
		} else if (col > 0) {
			out += ' ';
			col++;
		}
		size_t at = out.size();
		out += w;
		if (i == 0)	// the words are all lower case
			out[at] = static_cast<char>(out[at] - 'a' + 'A');
		if (i == n - 1)
			out += '.';
		col += len;
	}
}

// Appends plain text of about size bytes, in paragraphs.
void append_text(Rng &rng, std::string &out, size_t size)
{
	size_t stop = out.size() + size;
	while (out.size() < stop) {
		size_t col = 0;
		int sentences = static_cast<int>(rng_range(rng, 2, 6));
		for (int s = 0; s < sentences; s++)
			append_sentence(rng, out, col);
		out += "\n\n";
	}
}

constexpr char b64_alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
static_assert(b64_alphabet[10] == 'K' && b64_alphabet[36] == 'k');

// Random bytes three at a time; one 64-bit draw serves two groups.
struct GroupSource {
	Rng &rng;
	uint64_t pool = 0;
	int left = 0;
};

uint32_t next_group(GroupSource &src)
{
	if (src.left == 0) {
		src.pool = rng_next(src.rng);
		src.left = 2;
	}
	uint32_t v = static_cast<uint32_t>(src.pool & 0xffffff);
	src.pool >>= 24;
	src.left--;
	return v;
}

// Whether a byte of group v, or one of its base64 characters, is a k in
// either case. Written out flat: this runs for every group drawn.
bool has_k(uint32_t v)
{
	const uint64_t k_chars = 1ULL << 10 | 1ULL << 36;	// 'K', 'k'
	unsigned b0 = (v >> 16 & 0xff) | 0x20;
	unsigned b1 = (v >> 8 & 0xff) | 0x20;
	unsigned b2 = (v & 0xff) | 0x20;
	uint64_t c = k_chars >> (v >> 18 & 63) | k_chars >> (v >> 12 & 63) |
	    k_chars >> (v >> 6 & 63) | k_chars >> (v & 63);
	return (b0 == 'k') | (b1 == 'k') | (b2 == 'k') | (c & 1);
}

// Appends size random bytes in base64, 76 characters a line. A group
// holding a k is drawn again, so no marker can appear in the text nor
// in the bytes it decodes to; the bytes are a little less than uniform
// for it, which no reader of a sample queue can tell. This loop makes
// most of the bytes of a queue, so it writes through a pointer into
// space sized up front.
void append_base64(Rng &rng, std::string &out, size_t size)
{
	const size_t groups = (size + 2) / 3;
	const size_t start = out.size();
	out.resize(start + groups * 4 + (groups + 18) / 19);
	char *p = out.data() + start;
	GroupSource src{rng};
	for (size_t first = 0; first < groups; first += 19) {
		size_t last = first + 19 < groups ? first + 19 : groups;
		for (size_t g = first; g < last; g++) {
			size_t take = g + 1 < groups ? 3 : size - g * 3;
			// Bytes past the end encode as zero bits.
			uint32_t keep = take == 3 ? 0xffffff :
			    take == 2 ? 0xffff00 : 0xff0000;
			uint32_t v;
			do
				v = next_group(src) & keep;
			while (has_k(v));
			p[0] = b64_alphabet[v >> 18 & 63];
			p[1] = b64_alphabet[v >> 12 & 63];
			p[2] = take > 1 ? b64_alphabet[v >> 6 & 63] : '=';
			p[3] = take > 2 ? b64_alphabet[v & 63] : '=';
			p += 4;
		}
		*p++ = '\n';
	}
}

void append_spam_text(Rng &rng, std::string &out, const Message &msg,
    size_t size)
{
	size_t stop = out.size() + size;
	out += "Congratulations!\n\nYou have been selected for 200 free spins "
	    "and a guaranteed jackpot\nbonus. Your jackpot is waiting - claim "
	    "your free spins before they expire:\n\n"
	    "http://lucky-spins.example.biz/claim?id=";
	append_number(out, msg.num);
	out += "\n\n";
	if (out.size() < stop)
		append_text(rng, out, stop - out.size());
}

// Appends the header of msg, up to and including MIME-Version.
void append_header(Rng &rng, std::string &out, const Message &msg)
{
	long long t = msg.time;
	if (msg.network) {
		out += "Received: (qmail ";
		append_number(out, msg.pid);
		out += " invoked from network); ";
		append_date(out, t, 0, false);
		std::string domain = pick(rng, remote_domains);
		std::string host = std::string(pick(rng, host_prefixes)) + "." +
		    domain;
		out += "\nReceived: from " + host + " (HELO " + host + ") (";
		append_ip(rng, out);
		out += ")\n  by ";
		out += local_host;
		out += " with SMTP; ";
		append_date(out, t - 1, 0, false);
		out += '\n';
		if (rng_below(rng, 2) == 0) {
			out += "Received: from [10.";
			append_number(out, rng_range(rng, 0, 255));
			out += ".";
			append_number(out, rng_range(rng, 0, 255));
			out += ".";
			append_number(out, rng_range(rng, 1, 254));
			out += "] by " + host + " with ESMTPSA id ";
			append_hex(out, rng_next(rng));
			out += ";\n\t";
			append_date(out, t - 3, 0, true);
			out += '\n';
		}
	} else {
		out += "Received: (qmail ";
		append_number(out, msg.pid);
		out += " invoked by uid ";
		append_number(out, msg.uid);
		out += "); ";
		append_date(out, t, 0, false);
		out += "\nReceived: from ws";
		append_number(out, rng_range(rng, 1, 60));
		out += ".office.example.com (HELO ws) (";
		append_ip(rng, out);
		out += ")\n  by ";
		out += local_host;
		out += " with SMTP; ";
		append_date(out, t - 2, 0, false);
		out += '\n';
	}
	int zone = pick(rng, zones);
	long long sent = t - static_cast<long long>(rng_range(rng, 5, 600));
	out += "Date: ";
	append_date(out, sent, zone, true);
	out += "\nFrom: " + msg.from + "\nTo: ";
	bool first = true;
	for (const auto *list : {&msg.local_rcpts, &msg.remote_rcpts})
		for (const auto &r : *list) {
			out += first ? "" : ",\n    ";
			out += r;
			first = false;
		}
	out += "\nSubject: ";
	if (msg.spam)
		out += "Your jackpot is waiting - claim your free spins";
	else if (msg.sender.empty())
		out += "failure notice";
	else {
		if (rng_below(rng, 4) == 0)
			out += "Re: ";
		out += pick(rng, subjects);
	}
	out += "\nMessage-ID: <";
	append_stamp(out, sent);
	out += '.';
	append_number(out, msg.pid);
	out += ".qmail@";
	out += msg.network ? "mx.example.net" : local_host;
	out += ">\nMIME-Version: 1.0\n";
}

// Builds the whole message file: header and a body of a size drawn from
// the mix (60% 1-8 KB of text, 30% 10-100 KB and 10% 100-300 KB with a
// base64 attachment, sizes in thousands of bytes), or with -m small a
// text body of 1-1.7 KB.
void build_message(Rng &rng, std::string &out, const Message &msg)
{
	out.clear();
	append_header(rng, out, msg);
	uint64_t r = rng_below(rng, 100);
	size_t body;
	if (small_mix)
		body = rng_range(rng, 1000, 1700);
	else if (r < 60)
		body = rng_range(rng, 1000, 8000);
	else if (r < 90)
		body = rng_range(rng, 10000, 100000);
	else
		body = rng_range(rng, 100000, 300000);
	if (small_mix || r < 60) {
		out += "Content-Type: text/plain; charset=us-ascii\n"
		    "Content-Transfer-Encoding: 7bit\n\n";
		if (msg.spam)
			append_spam_text(rng, out, msg, body);
		else
			append_text(rng, out, body);
		return;
	}
	std::string boundary = "----=_Part_";
	append_hex(boundary, rng_next(rng));
	const Attachment &a = pick(rng, attachments);
	std::string name = a.stem;
	name += "-";
	append_number(name, rng_range(rng, 100, 9999));
	name += ".";
	name += a.ext;
	out += "Content-Type: multipart/mixed; boundary=\"" + boundary +
	    "\"\n\n";
	size_t start = out.size();
	out += "This is a multi-part message in MIME format.\n\n--" +
	    boundary + "\nContent-Type: text/plain; charset=us-ascii\n"
	    "Content-Transfer-Encoding: 7bit\n\n";
	size_t text = rng_range(rng, 300, 2000);
	if (msg.spam)
		append_spam_text(rng, out, msg, text);
	else
		append_text(rng, out, text);
	out += "--" + boundary + "\nContent-Type: " + a.type + "; name=\"" +
	    name + "\"\nContent-Transfer-Encoding: base64\n"
	    "Content-Disposition: attachment; filename=\"" + name + "\"\n\n";
	size_t closing = boundary.size() + 6;
	size_t used = out.size() - start + closing;
	// 57 bytes make a 76-character line plus its newline.
	size_t bytes = used < body ? (body - used) * 57 / 77 : 57;
	append_base64(rng, out, bytes);
	out += "\n--" + boundary + "--\n";
}

// Appends the envelope as qmail-queue writes it to intd: the uid and
// pid of the injector, the sender and the recipients, each NUL ended.
void build_envelope(std::string &out, const Message &msg)
{
	out.clear();
	out += 'u';
	append_number(out, msg.uid);
	out += '\0';
	out += 'p';
	append_number(out, msg.pid);
	out += '\0';
	out += 'F' + msg.sender;
	out += '\0';
	for (const auto *list : {&msg.local_rcpts, &msg.remote_rcpts})
		for (const auto &r : *list) {
			out += 'T' + r;
			out += '\0';
		}
}

void build_recipients(std::string &out, const std::vector<std::string> &list)
{
	out.clear();
	for (const auto &r : list) {
		out += 'T' + r;
		out += '\0';
	}
}

int write_all(int fd, const std::string &data, const char *path)
{
	const char *p = data.data();
	size_t left = data.size();
	while (left > 0) {
		ssize_t n = write(fd, p, left);
		if (n == -1) {
			if (errno == EINTR)
				continue;
			return failed_call("write()", path);
		}
		p += n;
		left -= static_cast<size_t>(n);
	}
	return 0;
}

// Creates path with exactly data, mode and the given times. O_EXCL:
// the directory was empty and numbers are distinct, so an existing
// file means something else is writing here.
int write_file(const char *path, const std::string &data, mode_t mode,
    const struct timespec times[2])
{
	int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW |
	    O_CLOEXEC, mode);
	if (fd == -1)
		return failed_call("open()", path);
	if (write_all(fd, data, path) == -1) {
		close(fd);
		return -1;
	}
	// Set last, as any later write would move the time again.
	if (futimens(fd, times) == -1) {
		failed_call("futimens()", path);
		close(fd);
		return -1;
	}
	if (close(fd) == -1)
		return failed_call("close()", path);
	return 0;
}

// What a message's files hold beyond its envelope, drawn in one go, in
// the order the generator has always drawn it.
struct Contents {
	std::string mess;
	std::string bounce;	// bounce/N, written when msg.bounce
};

void draw_contents(Rng &rng, const Message &msg, Contents &c)
{
	build_message(rng, c.mess, msg);
	c.bounce.clear();
	// Now and then empty, so readers of the queue meet that too.
	if (msg.state == State::preprocessed && msg.bounce &&
	    rng_below(rng, 5) != 0) {
		const auto &list = msg.remote_rcpts.empty() ?
		    msg.local_rcpts : msg.remote_rcpts;
		c.bounce += "<" + list[0] + ">:\n";
		c.bounce += pick(rng, bounce_texts);
		c.bounce += '\n';
	}
}

// Turns msg into the failure notice qmail-send queued for bounced_sender
// when msg, sent in that address's name, failed: the notice as
// qmail-send writes it, with a copy of the message below, and its
// envelope (no sender, that address the one recipient). Drawn from the
// notices' own generator, so every other message stays as it was.
void make_failure_notice(Rng &rng, Message &msg, Contents &c, bool waiting)
{
	const auto &failed = msg.remote_rcpts.empty() ? msg.local_rcpts :
	    msg.remote_rcpts;
	std::string copy;
	copy.swap(c.mess);
	c.bounce.clear();

	msg.state = waiting ? State::todo : State::preprocessed;
	msg.bounce = false;
	msg.network = false;
	msg.uid = qmails_uid;
	msg.pid = static_cast<unsigned>(rng_range(rng, 1000, 99999));
	msg.sender.clear();
	msg.from = std::string("MAILER-DAEMON@") + local_host;

	std::string &out = c.mess;
	out = "Received: (qmail ";
	append_number(out, msg.pid);
	out += " invoked for bounce); ";
	append_date(out, msg.time, 0, false);
	out += "\nDate: ";
	append_date(out, msg.time, 0, false);
	out += "\nFrom: " + msg.from + "\nTo: " + bounced_sender +
	    "\nSubject: failure notice\n\nHi. This is the qmail-send program "
	    "at " + local_host + ".\nI'm afraid I wasn't able to deliver "
	    "your message to the following addresses.\nThis is a permanent "
	    "error; I've given up. Sorry it didn't work out.\n\n<" +
	    failed[0] + ">:\n";
	out += pick(rng, bounce_texts);
	out += "\n--- Below this line is a copy of the message.\n\n"
	    "Return-Path: <";
	out += bounced_sender;
	out += ">\n";
	out += copy;

	msg.local_rcpts.clear();
	msg.remote_rcpts.assign(1, bounced_sender);
}

// With -i: the text is written under pid/ and named after its inode, as
// qmail-queue names it; the message takes that number.
int write_text_by_inode(Message &msg, const Contents &c,
    const struct timespec times[2])
{
	const char *tmp = "pid/mkqueue";
	if (write_file(tmp, c.mess, 0644, times) == -1)
		return -1;
	struct stat st;
	if (stat(tmp, &st) == -1)
		return failed_call("stat()", tmp);
	if (st.st_ino > UINT32_MAX) {
		fprintf(stderr, "mkqueue: inode %llu does not fit a message "
		    "number here\n", static_cast<unsigned long long>(st.st_ino));
		return -1;
	}
	msg.num = static_cast<uint32_t>(st.st_ino);
	char path[64];
	snprintf(path, sizeof path, "mess/%lu/%u",
	    static_cast<unsigned long>(msg.num % split), msg.num);
	if (rename(tmp, path) == -1)
		return failed_call("rename()", path);
	return 0;
}

// Everything is created relative to the queue, which is the working
// directory by now.
int write_message(Message &msg, const Contents &c, std::string &buf)
{
	const time_t t = static_cast<time_t>(msg.time);
	const struct timespec times[2] = {{t, 0}, {t, 0}};
	char path[64];
	if (inode_names) {
		if (write_text_by_inode(msg, c, times) == -1)
			return -1;
	} else {
		snprintf(path, sizeof path, "mess/%lu/%u",
		    static_cast<unsigned long>(msg.num % split), msg.num);
		if (write_file(path, c.mess, 0644, times) == -1)
			return -1;
	}
	unsigned long h = static_cast<unsigned long>(msg.num % split);

	if (msg.state != State::preprocessed) {
		build_envelope(buf, msg);
		snprintf(path, sizeof path, "%s/%u",
		    msg.state == State::todo ? "todo" : "intd", msg.num);
		return write_file(path, buf, msg.state == State::todo ? 0644 :
		    0600, times);
	}

	buf.assign(1, 'F');
	buf += msg.sender;
	buf += '\0';
	snprintf(path, sizeof path, "info/%lu/%u", h, msg.num);
	if (write_file(path, buf, 0600, times) == -1)
		return -1;
	if (!msg.local_rcpts.empty()) {
		build_recipients(buf, msg.local_rcpts);
		snprintf(path, sizeof path, "local/%lu/%u", h, msg.num);
		if (write_file(path, buf, 0600, times) == -1)
			return -1;
	}
	if (!msg.remote_rcpts.empty()) {
		build_recipients(buf, msg.remote_rcpts);
		snprintf(path, sizeof path, "remote/%lu/%u", h, msg.num);
		if (write_file(path, buf, 0600, times) == -1)
			return -1;
	}
	if (msg.bounce) {
		snprintf(path, sizeof path, "bounce/%u", msg.num);
		if (write_file(path, c.bounce, 0600, times) == -1)
			return -1;
	}
	return 0;
}

// 1 empty, 0 not, -1 failed.
int is_empty_dir(const char *dir)
{
	DIR *d = opendir(dir);
	if (d == nullptr)
		return failed_call("opendir()", dir);
	int empty = 1;
	for (;;) {
		errno = 0;
		struct dirent *e = readdir(d);
		if (e == nullptr) {
			if (errno != 0) {
				failed_call("readdir()", dir);
				empty = -1;
			}
			break;
		}
		if (strcmp(e->d_name, ".") != 0 &&
		    strcmp(e->d_name, "..") != 0) {
			empty = 0;
			break;
		}
	}
	if (closedir(d) == -1 && empty != -1)
		return failed_call("closedir()", dir);
	return empty;
}

// Makes dir the working directory, creating it if needed. A directory
// with anything in it is left alone: it may be a live queue.
int enter_new_queue(const char *dir)
{
	if (mkdir(dir, 0750) == -1) {
		if (errno != EEXIST)
			return failed_call("mkdir()", dir);
		int empty = is_empty_dir(dir);
		if (empty == -1)
			return -1;
		if (empty == 0) {
			fprintf(stderr, "mkqueue: %s is not empty; not writing "
			    "a queue into it\n", dir);
			return -1;
		}
	}
	if (chdir(dir) == -1)
		return failed_call("chdir()", dir);
	return 0;
}

const char *const hashed_dirs[] = {"mess", "info", "local", "remote"};
const char *const flat_dirs[] = {"intd", "todo", "bounce", "lock", "pid"};

// Every directory of the queue, the queue itself first.
std::vector<std::string> queue_dirs()
{
	std::vector<std::string> dirs{"."};
	for (const char *d : hashed_dirs) {
		dirs.push_back(d);
		for (unsigned long long i = 0; i < split; i++)
			dirs.push_back(std::string(d) + "/" +
			    std::to_string(i));
	}
	for (const char *d : flat_dirs)
		dirs.push_back(d);
	return dirs;
}

int make_layout(const std::vector<std::string> &dirs,
    const struct timespec times[2])
{
	for (size_t i = 1; i < dirs.size(); i++)
		if (mkdir(dirs[i].c_str(), 0750) == -1)
			return failed_call("mkdir()", dirs[i].c_str());
	// The send daemon's lock, the connection cache and the FIFO that
	// wakes it, with the modes qmail gives them.
	const std::string empty;
	if (write_file("lock/sendmutex", empty, 0600, times) == -1 ||
	    write_file("lock/tcpto", empty, 0644, times) == -1)
		return -1;
	if (mkfifo("lock/trigger", 0622) == -1)
		return failed_call("mkfifo()", "lock/trigger");
	if (utimensat(AT_FDCWD, "lock/trigger", times,
	    AT_SYMLINK_NOFOLLOW) == -1)
		return failed_call("utimensat()", "lock/trigger");
	return 0;
}

// Directory times go last: every file created moved them.
int stamp_dirs(const std::vector<std::string> &dirs,
    const struct timespec times[2])
{
	for (const auto &d : dirs)
		if (utimensat(AT_FDCWD, d.c_str(), times, AT_SYMLINK_NOFOLLOW)
		    == -1)
			return failed_call("utimensat()", d.c_str());
	return 0;
}

// Distinct numbers in [1, 2^31), in the order drawn.
std::vector<uint32_t> draw_numbers(Rng &rng, size_t n)
{
	std::vector<uint32_t> nums;
	std::unordered_set<uint32_t> seen;
	nums.reserve(n);
	seen.reserve(n);
	while (nums.size() < n) {
		uint32_t v = static_cast<uint32_t>(rng_range(rng, 1,
		    0x7fffffffULL));
		if (seen.insert(v).second)
			nums.push_back(v);
	}
	return nums;
}

int mkqueue_usage()
{
	fputs(usage_text, stderr);
	return 1;
}

int bad_value(const char *what, unsigned long long lo, unsigned long long hi,
    const char *value)
{
	fprintf(stderr, "mkqueue: %s must be a number from %llu to %llu: %s\n",
	    what, lo, hi, value);
	return mkqueue_usage();
}

int run(int argc, char **argv)
{
	opterr = 0;
	int c;
	while ((c = getopt(argc, argv, ":in:s:S:p:t:m:")) != -1) {
		switch (c) {
		case 'i':
			inode_names = true;
			break;
		case 'm':
			if (strcmp(optarg, "mail") != 0 &&
			    strcmp(optarg, "small") != 0) {
				fprintf(stderr, "mkqueue: mix must be mail or "
				    "small: %s\n", optarg);
				return mkqueue_usage();
			}
			small_mix = strcmp(optarg, "small") == 0;
			break;
		case 'n':
			if (parse_number(optarg, 0, max_count, &count) == -1)
				return bad_value("count", 0, max_count, optarg);
			break;
		case 's':
			if (parse_number(optarg, 1, max_split, &split) == -1)
				return bad_value("split", 1, max_split, optarg);
			break;
		case 'S':
			if (parse_number(optarg, 0, UINT64_MAX, &seed) == -1)
				return bad_value("seed", 0, UINT64_MAX, optarg);
			break;
		case 'p':
			if (parse_number(optarg, 0, 100, &spam_percent) == -1)
				return bad_value("spam percent", 0, 100,
				    optarg);
			break;
		case 't':
			if (parse_number(optarg, min_base_time, max_base_time,
			    &base_time) == -1)
				return bad_value("base time", min_base_time,
				    max_base_time, optarg);
			break;
		case ':':
			fprintf(stderr, "mkqueue: option -%c needs a value\n",
			    optopt);
			return mkqueue_usage();
		default:
			fprintf(stderr, "mkqueue: unknown option -%c\n",
			    optopt);
			return mkqueue_usage();
		}
	}
	if (argc - optind != 1)
		return mkqueue_usage();
	const char *dir = argv[optind];

	// Modes are part of the sample; the caller's umask must not
	// change them.
	umask(0);
	if (enter_new_queue(dir) == -1)
		return 1;
	const time_t base = static_cast<time_t>(base_time);
	const struct timespec base_times[2] = {{base, 0}, {base, 0}};
	const std::vector<std::string> dirs = queue_dirs();
	if (make_layout(dirs, base_times) == -1)
		return 1;

	Rng rng;
	rng_seed(rng, seed);
	std::vector<uint32_t> nums = draw_numbers(rng, count);
	// Exactly the requested share of spam, spread at random.
	unsigned long long spam_left = (count * spam_percent + 50) / 100;
	const unsigned long long spam_total = spam_left;
	// Failure notices, 1.5% of the count, take the place of ham spread
	// at random; one in three still waits in todo. The notices draw
	// from a generator of their own: the rest of the queue is what the
	// same options wrote before there were notices.
	Rng notice_rng;
	rng_seed(notice_rng, seed ^ 0x6e6f7469636573ULL);	// "notices"
	unsigned long long notices_left = (count * 3 + 100) / 200;
	if (notices_left > count - spam_total)
		notices_left = count - spam_total;
	unsigned long long notices = 0;
	std::string buf;
	Contents contents;
	for (size_t i = 0; i < nums.size(); i++) {
		Message msg;
		msg.num = nums[i];
		msg.spam = rng_below(rng, nums.size() - i) < spam_left;
		if (msg.spam)
			spam_left--;
		plan_message(rng, msg);
		draw_contents(rng, msg, contents);
		// The ham still to come, this message included.
		unsigned long long ham_left = nums.size() - i - spam_left;
		if (!msg.spam && rng_below(notice_rng, ham_left) < notices_left) {
			make_failure_notice(notice_rng, msg, contents,
			    notices % 3 == 0);
			notices_left--;
			notices++;
		}
		if (write_message(msg, contents, buf) == -1)
			return 1;
	}
	if (stamp_dirs(dirs, base_times) == -1)
		return 1;

	printf("wrote %llu messages (%llu spam) to %s\n", count, spam_total,
	    dir);
	if (fflush(stdout) == EOF) {
		perror("mkqueue: fflush()");
		return 1;
	}
	return 0;
}

}  // namespace

// Only running out of memory can throw here; say so instead of aborting.
int main(int argc, char **argv)
{
	try {
		return run(argc, argv);
	} catch (const std::exception &e) {
		fprintf(stderr, "mkqueue: %s\n", e.what());
		return 1;
	}
}
