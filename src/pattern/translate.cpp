// translate.cpp: the pattern read once into a syntax tree, which gives
// both the RE2 expression and the literals every match holds.
#include "translate.h"

#include "posix_reader.h"
#include "re2_writer.h"
#include "syntax.h"

int translate_pattern(const char *pattern, int cflags, translation &out)
{
	out = translation{};
	syntax::node tree;
	if (read_posix(pattern, cflags, tree) != 0)
		return -1;
	out.literals = required_literals(tree);
	out.translated =
	    write_re2(tree, out.linear, out.prefix_match_holds) == 0;
	return 0;
}
