// matcher_bench.cpp: the content test alone, content_pattern::matches on
// texts held in memory, with no walk and no file reads. Each pattern is
// compiled once, outside the timed loop; the figure of interest is bytes
// per second, and the "matched" counter shows the verdict that was timed.
//
// Texts, each at 4 KiB, 100 KiB and 10 MiB:
//   mail        a mail-like message (headers, prose, a base64 attachment)
//               without the marker;
//   mail_end    the same with a spam line (marker word and host) near its
//               end, so a search that stops at its match still reads it
//               nearly all;
//   hostile     a few headers and then "Subject: hello" lines to the end,
//               without the marker word;
//   hostile_pre the same with the marker word in a header before the
//               first "Subject: " line.
//
// scan/LOOP/...: the same calls, with find_literal made to run each loop
// this CPU has, on the texts without the marker, which the literal scan
// reads whole: what each loop is worth.
#include "pattern/literal_scan_impls.h"
#include "pattern/matcher.h"

#include <benchmark/benchmark.h>
#include <regex.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <new>
#include <string>
#include <utility>

namespace {

struct bench_pattern {
	const char *name;	// as the benchmark names it
	const char *text;
	int cflags;
	bool scan_loops;	// timed with each loop of the literal scan
};

const bench_pattern patterns[] = {
    {"word", "jackpot", 0, true},
    {"subject_dotstar_word", "Subject: .*jackpot", 0, false},
    {"dotstar", ".*", 0, false},
    {"icase_upper_word", "JACKPOT", REG_ICASE, false},
    {"escaped_dots_host", "lucky-spins\\.example\\.biz", 0, true},
};

enum class text_kind { mail, mail_end, hostile, hostile_pre };

struct bench_text {
	const char *name;
	text_kind kind;
};

const bench_text texts[] = {
    {"mail", text_kind::mail},
    {"mail_end", text_kind::mail_end},
    {"hostile", text_kind::hostile},
    {"hostile_pre", text_kind::hostile_pre},
};

struct bench_size {
	const char *name;
	size_t bytes;
};

const bench_size sizes[] = {
    {"4K", 4 * 1024},
    {"100K", 100 * 1024},
    {"10M", 10 * 1024 * 1024},
};

// A fixed sequence, so every run times the same texts.
struct lcg {
	uint64_t state = 88172645463325252ULL;
	uint32_t next()
	{
		state = state * 6364136223846793005ULL + 1442695040888963407ULL;
		return static_cast<uint32_t>(state >> 33);
	}
	size_t below(size_t n) { return next() % n; }
};

// Free of the marker word and host in any letter case.
const char *const words[] = {"the", "of", "and", "to", "in", "is", "that",
    "for", "it", "as", "was", "with", "be", "by", "on", "not", "this",
    "are", "or", "from", "at", "which", "but", "have", "an", "they", "you",
    "meeting", "report", "project", "customer", "order", "invoice",
    "delivery", "schedule", "office", "team", "budget", "review", "draft",
    "contract", "account", "server", "network", "update", "please",
    "thanks", "regards", "week", "month", "tomorrow", "question", "answer",
    "request", "document", "attached", "version", "price", "payment",
    "shipment", "address", "number", "plan", "result", "problem", "support",
    "service", "product", "sales", "figures", "quarter", "agenda", "minutes"};

// Base64 digits without k and K, which both markers hold.
const char base64_digits[] =
    "ABCDEFGHIJLMNOPQRSTUVWXYZabcdefghijlmnopqrstuvwxyz0123456789+/";

const char mail_headers[] =
    "Received: (qmail 4711 invoked from network); 1 Dec 2026 09:14:07 -0000\n"
    "Received: from mx1.example.net (192.0.2.17)\n"
    "  by mail.example.com with SMTP; 1 Dec 2026 09:14:07 -0000\n"
    "From: Carol Meyer <carol.meyer@example.net>\n"
    "To: Dave Olsen <dave.olsen@example.com>\n"
    "Subject: Quarterly report\n"
    "Date: Tue, 01 Dec 2026 10:14:05 +0100\n"
    "Message-ID: <20261201091405.4711@mx1.example.net>\n"
    "MIME-Version: 1.0\n"
    "Content-Type: multipart/mixed; boundary=\"b1_4711\"\n"
    "\n"
    "--b1_4711\n"
    "Content-Type: text/plain; charset=us-ascii\n"
    "\n";

const char attachment_headers[] =
    "\n--b1_4711\n"
    "Content-Type: application/pdf; name=\"report.pdf\"\n"
    "Content-Transfer-Encoding: base64\n"
    "\n";

const char spam_line[] = "Claim your jackpot now at "
    "http://lucky-spins.example.biz/claim?id=4711\n";

const char hostile_headers[] =
    "Received: from mx1.example.net by mail.example.com\n"
    "From: sender@example.net\n"
    "To: user@example.com\n";
const char hostile_marker[] = "X-Campaign: jackpot\n";
const char hostile_line[] = "Subject: hello\n";

// Prose for the first fifth of the room (at least 2 KiB), base64 lines
// for the rest, cut to exactly size bytes and ended by a newline.
void build_mail(std::string *text, size_t size, bool marker)
{
	lcg rng;
	*text = mail_headers;
	size_t prose_end = size / 5 > 2048 ? size / 5 : 2048;
	size_t column = 0;
	while (text->size() < prose_end && text->size() < size) {
		const char *word = words[rng.below(std::size(words))];
		if (column > 64) {
			*text += '\n';
			column = 0;
		} else if (column > 0) {
			*text += ' ';
			column++;
		}
		*text += word;
		column += std::char_traits<char>::length(word);
	}
	*text += '\n';
	if (text->size() < size) {
		*text += attachment_headers;
		while (text->size() < size) {
			for (int i = 0; i < 76; i++)
				*text += base64_digits[rng.below(
				    sizeof base64_digits - 1)];
			*text += '\n';
		}
	}
	text->resize(size);
	text->back() = '\n';
	if (marker) {
		// Near the end, on a line of its own.
		size_t at = size - std::char_traits<char>::length(spam_line) - 200;
		at = text->rfind('\n', at) + 1;
		text->replace(at, std::char_traits<char>::length(spam_line),
		    spam_line);
	}
}

void build_hostile(std::string *text, size_t size, bool marker)
{
	*text = hostile_headers;
	if (marker)
		*text += hostile_marker;
	while (text->size() + sizeof hostile_line - 1 <= size)
		*text += hostile_line;
}

// The texts, built on first use and kept for the whole run: the timed
// loops only read them. nullptr when there is no memory for one.
const std::string *text_for(text_kind kind, size_t size)
{
	static std::map<std::pair<int, size_t>, std::string> built;
	try {
		auto key = std::make_pair(static_cast<int>(kind), size);
		auto found = built.find(key);
		if (found != built.end())
			return &found->second;
		std::string text;
		switch (kind) {
		case text_kind::mail:
			build_mail(&text, size, false);
			break;
		case text_kind::mail_end:
			build_mail(&text, size, true);
			break;
		case text_kind::hostile:
			build_hostile(&text, size, false);
			break;
		case text_kind::hostile_pre:
			build_hostile(&text, size, true);
			break;
		}
		return &built.emplace(key, std::move(text)).first->second;
	} catch (const std::bad_alloc &) {
		return nullptr;
	}
}

void bm_matches(benchmark::State &state, const bench_pattern *pattern,
    text_kind kind, size_t size, scan_impl loop)
{
	if (use_scan_impl(loop) != 0) {
		state.SkipWithError("this CPU cannot run the loop");
		return;
	}
	const std::string *text = text_for(kind, size);
	if (text == nullptr) {
		state.SkipWithError("no memory for the text");
		return;
	}
	content_pattern compiled;
	if (compiled.compile(pattern->text, pattern->cflags) != 0) {
		state.SkipWithError("the pattern does not compile");
		return;
	}
	// The verdict comes from the timed calls themselves: an extra call
	// outside the loop would double the time of a slow text.
	int verdict = 0;
	for (auto _ : state) {
		verdict = compiled.matches(text->data(), text->size());
		benchmark::DoNotOptimize(verdict);
	}
	if (verdict < 0) {
		state.SkipWithError("matches() returned -1");
		return;
	}
	state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
	    static_cast<int64_t>(text->size()));
	state.counters["matched"] = verdict;
}

void add(const std::string &name, const bench_pattern &pattern,
    text_kind kind, size_t size, scan_impl loop)
{
	benchmark::RegisterBenchmark(name.c_str(), bm_matches, &pattern, kind,
	    size, loop)->Unit(benchmark::kMicrosecond);
}

int register_all()
{
	for (const bench_pattern &pattern : patterns)
		for (const bench_text &text : texts)
			for (const bench_size &size : sizes)
				add(std::string("matches/") + pattern.name +
				    "/" + text.name + "/" + size.name, pattern,
				    text.kind, size.bytes, scan_impl_best());
	for (scan_impl loop : scan_impls()) {
		if (scan_impl_runs(loop) == 0)
			continue;
		for (const bench_pattern &pattern : patterns) {
			if (!pattern.scan_loops)
				continue;
			for (const bench_text &text : texts) {
				if (text.kind != text_kind::mail &&
				    text.kind != text_kind::hostile)
					continue;
				for (const bench_size &size : sizes)
					add(std::string("scan/") +
					    scan_impl_name(loop) + "/" +
					    pattern.name + "/" + text.name +
					    "/" + size.name, pattern,
					    text.kind, size.bytes, loop);
			}
		}
	}
	return 0;
}

}  // namespace

int main(int argc, char *argv[])
{
	try {
		register_all();
		benchmark::Initialize(&argc, argv);
		if (benchmark::ReportUnrecognizedArguments(argc, argv))
			return 1;
		benchmark::RunSpecifiedBenchmarks();
		benchmark::Shutdown();
	} catch (const std::exception &e) {
		fprintf(stderr, "matcher_bench: %s\n", e.what());
		return 1;
	}
	return 0;
}
