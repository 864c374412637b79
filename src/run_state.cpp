// run_state.cpp: the run's record of what it holds and what happened.
#include "run_state.h"

#include <cstdio>

run_state run;

void tally(outcome how)
{
	switch (how) {
	case outcome::acted:
		run.acted++;
		break;
	case outcome::left_alone:
		run.left_alone++;
		break;
	case outcome::failed:
		run.failed++;
		break;
	}
}

void write_tally(const char *done)
{
	fprintf(stderr, "%d message(s) %s, %d left alone, %d failed\n",
	    run.acted, done, run.left_alone, run.failed);
}

int run_status()
{
	return run.search_incomplete || run.failed > 0 ? 1 : 0;
}
