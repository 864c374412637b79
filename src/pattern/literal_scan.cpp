// literal_scan.cpp: the literal search behind the content test's quick
// "no". Blocks of the text are compared with the literal's two rarest
// bytes at every offset at once; only where both agree is the whole
// literal compared. A NUL byte in a block ends the search there.
//
// The blocks are as wide as the CPU allows, chosen once at start-up; a
// CPU without vector instructions takes the plain loop.
#include "literal_scan.h"
#include "literal_scan_impls.h"

#include <algorithm>
#include <atomic>
#include <cmath>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

// How often a byte turns up in mail, roughly, per thousand bytes: prose,
// headers and base64 attachments. Only the order matters.
double byte_weight(unsigned char c)
{
	static const char common[] = "etaoinshrdlcumwfgypbvkjxqz";
	if (c == ' ')
		return 150;
	if (c == '\n' || c == '\r')
		return 25;
	if (c >= 'a' && c <= 'z') {
		for (int i = 0; common[i] != '\0'; i++)
			if (common[i] == c)
				return 100.0 / (i + 1) + 1;
	}
	if (c >= 'A' && c <= 'Z')
		return 15;	// base64 makes capitals common
	if (c >= '0' && c <= '9')
		return 15;
	if (c == '.' || c == ',' || c == '-' || c == '=' || c == '/' ||
	    c == '+' || c == ':')
		return 10;
	if (c < 0x80)
		return 2;
	return 0.5;
}

double position_weight(const required_literal &lit, size_t i)
{
	auto c = static_cast<unsigned char>(lit.bytes[i]);
	if (lit.fold[i] == 0)
		return byte_weight(c);
	return byte_weight(c) + byte_weight(static_cast<unsigned char>(c - 0x20));
}

bool same_at(const unsigned char *s, const required_literal &lit)
{
	for (size_t i = 0; i < lit.bytes.size(); i++)
		if (static_cast<unsigned char>(s[i] | lit.fold[i]) !=
		    static_cast<unsigned char>(lit.bytes[i]))
			return false;
	return true;
}

// From position p on, one byte at a time.
int scan_bytes(const literal_finder &f, const unsigned char *t, size_t n,
    size_t p)
{
	size_t len = f.literal.bytes.size();
	for (; p + len <= n; p++) {
		if (t[p] == 0)
			return 0;
		if (same_at(t + p, f.literal))
			return 1;
	}
	return 0;
}

#if defined(__x86_64__)
// The candidates in a block's mask, up to a NUL byte in the block.
// 1 found, 0 the text ended here, -1 go on.
int check_block(const literal_finder &f, const unsigned char *t, size_t n,
    size_t p, unsigned mask, unsigned nul_mask)
{
	size_t len = f.literal.bytes.size();
	if (nul_mask != 0)
		mask &= (1u << __builtin_ctz(nul_mask)) - 1;
	while (mask != 0) {
		size_t s = p + static_cast<size_t>(__builtin_ctz(mask));
		if (s + len <= n && same_at(t + s, f.literal))
			return 1;
		mask &= mask - 1;
	}
	return nul_mask != 0 ? 0 : -1;
}

// One 32-byte block at p: where both rare bytes agree, and where the
// text has a NUL byte.
struct avx2_block {
	__m256i both, nul;
};

template <bool Fold>
__attribute__((target("avx2"), always_inline)) inline avx2_block
avx2_at(const unsigned char *t, size_t p, size_t first, size_t second,
    __m256i b1, __m256i m1, __m256i b2, __m256i m2)
{
	__m256i a = _mm256_loadu_si256(
	    reinterpret_cast<const __m256i *>(t + p + first));
	__m256i b = _mm256_loadu_si256(
	    reinterpret_cast<const __m256i *>(t + p + second));
	if (Fold) {
		a = _mm256_or_si256(a, m1);
		b = _mm256_or_si256(b, m2);
	}
	return {_mm256_and_si256(_mm256_cmpeq_epi8(a, b1),
		    _mm256_cmpeq_epi8(b, b2)),
	    _mm256_cmpeq_epi8(_mm256_loadu_si256(
		reinterpret_cast<const __m256i *>(t + p)),
		_mm256_setzero_si256())};
}

// Two blocks a step: one test for both says whether either holds a
// candidate or a NUL byte, which are rare; only then is each looked at.
// Without case folding the OR with the fold masks is left out.
template <bool Fold>
__attribute__((target("avx2")))
int scan_avx2_with(const literal_finder &f, const unsigned char *t, size_t n)
{
	const auto &lit = f.literal;
	const __m256i b1 = _mm256_set1_epi8(lit.bytes[f.first]);
	const __m256i m1 = _mm256_set1_epi8(lit.fold[f.first]);
	const __m256i b2 = _mm256_set1_epi8(lit.bytes[f.second]);
	const __m256i m2 = _mm256_set1_epi8(lit.fold[f.second]);
	const size_t first = f.first, second = f.second;
	const size_t reach = std::max(first, second) + 32;
	size_t p = 0;
	for (; p + reach + 32 <= n; p += 64) {
		const avx2_block x = avx2_at<Fold>(t, p, first, second, b1, m1,
		    b2, m2);
		const avx2_block y = avx2_at<Fold>(t, p + 32, first, second,
		    b1, m1, b2, m2);
		const __m256i any = _mm256_or_si256(
		    _mm256_or_si256(x.both, x.nul),
		    _mm256_or_si256(y.both, y.nul));
		if (_mm256_testz_si256(any, any))
			continue;
		const auto mask_x = static_cast<unsigned>(
		    _mm256_movemask_epi8(x.both));
		const auto nul_x = static_cast<unsigned>(
		    _mm256_movemask_epi8(x.nul));
		const auto mask_y = static_cast<unsigned>(
		    _mm256_movemask_epi8(y.both));
		const auto nul_y = static_cast<unsigned>(
		    _mm256_movemask_epi8(y.nul));
		if ((mask_x | nul_x) != 0) {
			int r = check_block(f, t, n, p, mask_x, nul_x);
			if (r >= 0)
				return r;
		}
		if ((mask_y | nul_y) != 0) {
			int r = check_block(f, t, n, p + 32, mask_y, nul_y);
			if (r >= 0)
				return r;
		}
	}
	for (; p + reach <= n; p += 32) {
		const avx2_block x = avx2_at<Fold>(t, p, first, second, b1, m1,
		    b2, m2);
		const auto mask = static_cast<unsigned>(
		    _mm256_movemask_epi8(x.both));
		const auto nul = static_cast<unsigned>(
		    _mm256_movemask_epi8(x.nul));
		if ((mask | nul) == 0)
			continue;
		int r = check_block(f, t, n, p, mask, nul);
		if (r >= 0)
			return r;
	}
	return scan_bytes(f, t, n, p);
}

__attribute__((target("avx2")))
int scan_avx2(const literal_finder &f, const unsigned char *t, size_t n)
{
	const bool fold = f.literal.fold[f.first] != 0 ||
	    f.literal.fold[f.second] != 0;
	return fold ? scan_avx2_with<true>(f, t, n)
		    : scan_avx2_with<false>(f, t, n);
}

int scan_sse2(const literal_finder &f, const unsigned char *t, size_t n)
{
	const auto &lit = f.literal;
	const __m128i b1 = _mm_set1_epi8(lit.bytes[f.first]);
	const __m128i m1 = _mm_set1_epi8(lit.fold[f.first]);
	const __m128i b2 = _mm_set1_epi8(lit.bytes[f.second]);
	const __m128i m2 = _mm_set1_epi8(lit.fold[f.second]);
	const __m128i zero = _mm_setzero_si128();
	size_t reach = std::max(f.first, f.second) + 16;
	size_t p = 0;
	for (; p + reach <= n; p += 16) {
		const auto *at = reinterpret_cast<const __m128i *>(t + p);
		const auto *at1 =
		    reinterpret_cast<const __m128i *>(t + p + f.first);
		const auto *at2 =
		    reinterpret_cast<const __m128i *>(t + p + f.second);
		__m128i a = _mm_or_si128(_mm_loadu_si128(at1), m1);
		__m128i b = _mm_or_si128(_mm_loadu_si128(at2), m2);
		__m128i both = _mm_and_si128(_mm_cmpeq_epi8(a, b1),
		    _mm_cmpeq_epi8(b, b2));
		auto mask = static_cast<unsigned>(_mm_movemask_epi8(both));
		auto nul = static_cast<unsigned>(_mm_movemask_epi8(
		    _mm_cmpeq_epi8(_mm_loadu_si128(at), zero)));
		if ((mask | nul) == 0)
			continue;
		int r = check_block(f, t, n, p, mask, nul);
		if (r >= 0)
			return r;
	}
	return scan_bytes(f, t, n, p);
}

#endif

int scan_with(scan_impl impl, const literal_finder &f, const unsigned char *t,
    size_t n)
{
	switch (impl) {
#if defined(__x86_64__)
	case scan_impl::sse2:
		return scan_sse2(f, t, n);
	case scan_impl::avx2:
		return scan_avx2(f, t, n);
#endif
	default:
		return scan_bytes(f, t, n, 0);
	}
}

// The loop find_literal runs. Only the tests change it, before they
// scan; atomic because the tool may scan on several threads.
std::atomic<scan_impl> chosen{scan_impl_best()};

}	// namespace

literal_finder make_finder(const required_literal &literal)
{
	literal_finder f;
	f.literal = literal;
	size_t len = literal.bytes.size();
	f.rarity = 0;
	for (size_t i = 0; i < len; i++)
		f.rarity += std::log(position_weight(literal, i) / 1000);
	// The rarest position, then the rarest other one.
	for (size_t i = 1; i < len; i++)
		if (position_weight(literal, i) <
		    position_weight(literal, f.first))
			f.first = i;
	f.second = f.first;
	for (size_t i = 0; i < len; i++)
		if (i != f.first && (f.second == f.first ||
		    position_weight(literal, i) <
		    position_weight(literal, f.second)))
			f.second = i;
	return f;
}

int find_literal(const literal_finder &finder, const char *text,
    size_t length)
{
	if (finder.literal.bytes.empty())
		return 1;
	return scan_with(chosen.load(std::memory_order_relaxed), finder,
	    reinterpret_cast<const unsigned char *>(text), length);
}

std::vector<scan_impl> scan_impls()
{
#if defined(__x86_64__)
	return {scan_impl::bytes, scan_impl::sse2, scan_impl::avx2};
#else
	return {scan_impl::bytes};
#endif
}

const char *scan_impl_name(scan_impl impl)
{
	switch (impl) {
	case scan_impl::sse2:
		return "sse2";
	case scan_impl::avx2:
		return "avx2";
	default:
		return "bytes";
	}
}

int scan_impl_runs(scan_impl impl)
{
	switch (impl) {
	case scan_impl::bytes:
		return 1;
#if defined(__x86_64__)
	case scan_impl::sse2:
		return 1;	// every x86-64 CPU has it
	case scan_impl::avx2:
		// Called while static objects are made: the CPU's features
		// may not have been read yet.
		__builtin_cpu_init();
		return __builtin_cpu_supports("avx2") ? 1 : 0;
#endif
	default:
		return 0;
	}
}

scan_impl scan_impl_best()
{
	scan_impl best = scan_impl::bytes;
	for (scan_impl impl : scan_impls())
		if (scan_impl_runs(impl))
			best = impl;
	return best;
}

int find_literal_with(scan_impl impl, const literal_finder &finder,
    const char *text, size_t length)
{
	if (scan_impl_runs(impl) == 0)
		return -1;
	if (finder.literal.bytes.empty())
		return 1;
	return scan_with(impl, finder,
	    reinterpret_cast<const unsigned char *>(text), length);
}

int use_scan_impl(scan_impl impl)
{
	if (scan_impl_runs(impl) == 0)
		return -1;
	chosen.store(impl, std::memory_order_relaxed);
	return 0;
}
