// manual_test.cpp: the manual page formats without a single warning, and
// it names every option the usage text offers and the defaults the tool
// really uses.
#include "support.h"

#include <set>
#include <sstream>
#include <string>
#include <vector>

using test::Result;

namespace {

const std::string page_path =
    std::string(SPOOLSIFT_SOURCE_DIR) + "/man/spoolsift.8";

std::string page()
{
	std::optional<std::string> text = test::read_file(page_path);
	EXPECT_TRUE(text.has_value()) << page_path;
	return text.value_or("");
}

// The option letters of the usage text, from the column before the tab:
// "  -h, -?\t..." gives h and ?, "  -n <bytes>\t..." gives n.
std::set<char> usage_options()
{
	Result r = test::run_program(test::spoolsift_bin, {"-h"});
	EXPECT_EQ(r.status, 1);
	std::set<char> letters;
	std::istringstream lines(r.err);
	for (std::string line; std::getline(lines, line);) {
		if (line.rfind("  -", 0) != 0)
			continue;
		std::string column = line.substr(0, line.find('\t'));
		for (size_t i = 0; i + 1 < column.size(); i++)
			if (column[i] == '-' && (i == 0 || column[i - 1] == ' ' ||
			    column[i - 1] == ',') && column[i + 1] != ' ')
				letters.insert(column[i + 1]);
	}
	return letters;
}

// The lines of one section, from ".Sh name" up to the next ".Sh".
std::vector<std::string> section(const std::string &text,
    const std::string &name)
{
	std::vector<std::string> lines;
	std::istringstream in(text);
	bool inside = false;
	for (std::string line; std::getline(in, line);) {
		if (line.rfind(".Sh ", 0) == 0)
			inside = line == ".Sh " + name;
		else if (inside)
			lines.push_back(line);
	}
	return lines;
}

// The letters of every flag cluster a macro line names with Fl: ".Op Fl
// deirv" gives d, e, i, r, v; ".Fl h" gives h; "Fl \&?" gives ?.
std::set<char> flags_in(const std::string &line)
{
	std::set<char> letters;
	std::istringstream words(line);
	std::string word, previous;
	while (words >> word) {
		if (previous == "Fl" || previous == ".Fl") {
			if (word.rfind("\\&", 0) == 0)
				word.erase(0, 2);
			letters.insert(word.begin(), word.end());
		}
		previous = word;
	}
	return letters;
}

std::string letters_text(const std::set<char> &letters)
{
	return std::string(letters.begin(), letters.end());
}

}  // namespace

TEST(ManualPage, BothPagesFormatWithoutAWarning)
{
	const std::string mandoc = test::find_program("mandoc");
	const std::string groff = test::find_program("groff");
	ASSERT_FALSE(mandoc.empty() && groff.empty())
	    << "no formatter to check the page with: install mandoc";
	for (const std::string &path : {page_path, std::string(
		 SPOOLSIFT_SOURCE_DIR) + "/man/spoolsift-restore.8"}) {
		// Style notes are left out: they include references to
		// manuals this host happens not to have, such as qmail's own.
		if (!mandoc.empty()) {
			Result r = test::run_program(mandoc,
			    {"-Tlint", "-W", "warning", path});
			EXPECT_EQ(r.status, 0) << path;
			EXPECT_EQ(r.out + r.err, "");
		}
		if (!groff.empty()) {
			Result r = test::run_program(groff,
			    {"-mandoc", "-Tutf8", "-ww", "-z", path});
			EXPECT_EQ(r.status, 0) << path;
			EXPECT_EQ(r.out + r.err, "");
		}
	}
}

TEST(ManualPage, SynopsisNamesEveryOptionOfTheUsage)
{
	std::set<char> usage = usage_options();
	ASSERT_EQ(usage.size(), 14u) << letters_text(usage);
	std::set<char> synopsis;
	for (const std::string &line : section(page(), "SYNOPSIS"))
		for (char c : flags_in(line))
			synopsis.insert(c);
	EXPECT_EQ(letters_text(synopsis), letters_text(usage));
}

TEST(ManualPage, DescribesEveryOptionOfTheUsage)
{
	std::set<char> described;
	for (const std::string &line : section(page(), "DESCRIPTION"))
		if (line.rfind(".It Fl ", 0) == 0)
			for (char c : flags_in(line))
				described.insert(c);
	EXPECT_EQ(letters_text(described), letters_text(usage_options()));
}

TEST(ManualPage, StatesTheDefaultsTheToolUses)
{
	const run_settings defaults;
	const std::string text = page();
	for (const std::string &said : {
		 ".Pa " + std::string(default_queue),
		 "The default is " + std::to_string(defaults.split) + ";",
		 "is " + std::to_string(defaults.expire_secs) + " seconds",
		 ".Pa " + std::string(defaults.yank_dir) + " ;",
		 ".Ql " + std::string(default_pattern) + " ,",
	     })
		EXPECT_NE(text.find(said), std::string::npos) << said;
}
