// fuzz_paths.cpp: message numbers and the split, flat and yank paths,
// against a model of their rules: plain decimal names of 1 up to the
// largest unsigned long, the remainder by the size of the split, the
// formats, and the size of buffer the rules allow each path.
#include "fuzz_support.h"
#include "queue_layout.h"
#include "queue_ops.h"
#include "settings.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cinttypes>
#include <cstring>
#include <optional>
#include <string>

namespace {

size_t digits(uint64_t v)
{
	size_t n = 1;
	while (v >= 10)
		v /= 10, n++;
	return n;
}

std::string show(const std::optional<std::string> &p)
{
	return p ? "\"" + *p + "\"" : "none";
}

// The number a name stands for, by the rules: the text after the last
// "/", when it is digits only with no leading zero and its value fits an
// unsigned long; anything else refused, with the message.
unsigned long model_number(const char *part)
{
	if (*part < '1' || *part > '9')
		return 0;
	unsigned long v = 0;
	for (const char *p = part; *p != '\0'; p++) {
		if (*p < '0' || *p > '9')
			return 0;
		unsigned digit = *p - '0';
		if (v > (ULONG_MAX - digit) / 10)
			return 0;	// does not fit
		v = v * 10 + digit;
	}
	return v;
}

void check_message_number(const std::string &name)
{
	unsigned long got = 0;
	std::string err = fuzz::captured_stderr(
	    [&] { got = message_number(name.c_str()); });
	const char *all = name.c_str();
	const char *slash = strrchr(all, '/');
	const char *part = slash != nullptr ? slash + 1 : all;
	unsigned long want = model_number(part);
	if (want == 0) {
		fuzz::check(got == 0, "message_number accepted " + name);
		fuzz::check(err == std::string(part) +
			" doesn't look like an inode number\n",
		    "message_number said " + err);
	} else {
		fuzz::check(got == want, "message_number(" + name + ") = " +
			std::to_string(got) + ", want " + std::to_string(want));
		fuzz::check(err.empty(), "message_number said " + err);
	}
}

void check_paths(const char *d, uint64_t n64, int32_t split,
    const std::string &yank_dir)
{
	auto n = static_cast<unsigned long>(n64);
	std::optional<std::string> old_p, flat_p, new_p;
	// The builders say nothing, whatever they are given.
	std::string err = fuzz::captured_stderr([&] {
		old_p = mk_oldpath(d, n, split);
		flat_p = mk_flatpath(d, n);
		new_p = mk_newpath(yank_dir.c_str(), d, n);
	});
	fuzz::check(err.empty(), "a path builder said " + err);

	const bool usable = d != nullptr && n >= 1;
	const std::string what = std::string("d=") + (d ? d : "(none)") +
	    " n=" + std::to_string(n) + " split=" + std::to_string(split);
	if (!usable) {
		fuzz::check(!old_p && !flat_p && !new_p,
		    "out of range but built: " + what + " " + show(old_p) +
			show(flat_p) + show(new_p));
		return;
	}
	// The remainder of a positive number is never negative, whatever
	// the sign of the split.
	uint64_t divisor = split < 0 ? -static_cast<int64_t>(split) : split;
	const size_t dl = strlen(d);
	if (split == 0) {
		fuzz::check(!old_p, "split 0 built " + show(old_p));
	} else {
		uint64_t bucket = n % divisor;
		std::string want = std::string(d) + "/" +
		    std::to_string(bucket) + "/" + std::to_string(n);
		fuzz::check(old_p == want, what + ": split path " +
			show(old_p) + ", want " + want);
		// The size the rules give the buffer: lengths, digits, 4.
		size_t room = dl + digits(bucket) + digits(n) + 4;
		fuzz::check(old_p->size() + 1 <= room, "split path outgrows " +
			std::to_string(room));
	}
	std::string flat = std::string(d) + "/" + std::to_string(n);
	fuzz::check(flat_p == flat, what + ": flat path " + show(flat_p));
	fuzz::check(flat_p->size() + 1 <= dl + digits(n) + 4, "flat outgrows");
	std::string yank = yank_dir + "/" + std::to_string(n) + "." + d;
	fuzz::check(new_p == yank, what + ": yank path " + show(new_p));
	fuzz::check(new_p->size() + 1 <= yank_dir.size() + dl + digits(n) + 4,
	    "yank path outgrows");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	FuzzedDataProvider in(data, size);
	check_message_number(in.ConsumeRandomLengthString(64));

	std::string dir;
	const char *d = nullptr;
	switch (in.ConsumeIntegralInRange(0, 2)) {
	case 0:
		d = queue_subdirs[in.ConsumeIntegralInRange<size_t>(0, 6)];
		break;
	case 1:
		dir = in.ConsumeRandomLengthString(300);
		d = dir.c_str();
		break;
	default:	// no subdirectory at all
		break;
	}
	uint64_t n;
	switch (in.ConsumeIntegralInRange(0, 2)) {
	case 0:		// near the edges of the range
		n = 2147483647ULL + in.ConsumeIntegralInRange<int64_t>(-3, 3);
		break;
	case 1:
		n = in.ConsumeIntegralInRange<uint64_t>(0, 4000000000ULL);
		break;
	default:
		n = in.ConsumeIntegral<uint64_t>();
		break;
	}
	int32_t split = in.ConsumeBool() ? in.ConsumeIntegralInRange(-30, 30)
					 : in.ConsumeIntegral<int32_t>();
	std::string yank_dir = in.ConsumeRandomLengthString(5000);
	yank_dir = yank_dir.c_str();	// as an argument carries it
	check_paths(d, n, split, yank_dir);

	return 0;
}
