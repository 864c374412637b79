// literal_scan_impls.h: the loops behind find_literal, by name, for the
// tests and the benchmarks, which run each one this CPU has. find_literal
// itself runs the fastest; the tool never calls what is declared here,
// and nothing outside the program can change its choice.
#ifndef SPOOLSIFT_LITERAL_SCAN_IMPLS_H
#define SPOOLSIFT_LITERAL_SCAN_IMPLS_H

#include "literal_scan.h"

#include <cstddef>
#include <vector>

enum class scan_impl { bytes, sse2, avx2 };

// Every loop this build has, the plain one first, and its name.
std::vector<scan_impl> scan_impls();
const char *scan_impl_name(scan_impl impl);

// 1 when this CPU can run the loop, 0 when it cannot.
int scan_impl_runs(scan_impl impl);

// The fastest loop this CPU runs: find_literal's own choice.
scan_impl scan_impl_best();

// find_literal with the given loop; -1 when this CPU cannot run it.
int find_literal_with(scan_impl impl, const literal_finder &finder,
    const char *text, size_t length);

// Makes find_literal run the given loop from now on, so that a test can
// run the whole content test with each: 0, or -1 (nothing changed) when
// this CPU cannot run it. use_scan_impl(scan_impl_best()) restores the
// tool's own choice.
int use_scan_impl(scan_impl impl);

#endif
