// install_test.cpp: what an administrator gets from cmake --install and
// from the Debian package: the tool in sbin, its manual in section 8,
// nothing else, and a binary that runs, names its version and carries
// the hardening of a Release build.
#include "support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using test::Result;
using test::RunOptions;

namespace {

const std::string build_dir = SPOOLSIFT_BUILD_DIR;
const std::string source_dir = SPOOLSIFT_SOURCE_DIR;
const std::string cmake_bin = SPOOLSIFT_CMAKE;
const std::string cpack_bin = SPOOLSIFT_CPACK;
const std::string version = SPOOLSIFT_VERSION;

// Every regular file under root, relative to it.
std::vector<std::string> files_under(const std::string &root)
{
	std::vector<std::string> files;
	for (const auto &[path, e] : test::tree_snapshot(root))
		if (S_ISREG(e.mode))
			files.push_back(path);
	return files;
}

// The installed tree under prefix (a DESTDIR or a package root joined
// with the install prefix) holds a working tool and the manual page.
void expect_working_install(const std::string &prefix)
{
	const std::string bin = prefix + "/sbin/spoolsift";
	const std::string page = prefix + "/share/man/man8/spoolsift.8";
	struct stat st;
	ASSERT_EQ(stat(bin.c_str(), &st), 0) << bin;
	EXPECT_TRUE(S_ISREG(st.st_mode));
	EXPECT_EQ(st.st_mode & 0777, 0755u) << std::oct << st.st_mode;
	EXPECT_EQ(test::read_file(page), test::read_file(source_dir +
	    "/man/spoolsift.8")) << page;

	// The installed binary behaves as the built one on the same queue.
	test::TempDir tmp;
	const std::string queue = tmp.path() + "/queue";
	Result made = test::run_program(test::mkqueue_bin,
	    {"-n", "40", "-p", "25", queue});
	ASSERT_EQ(made.status, 0) << made.err;
	const std::vector<std::string> args = {"-q", queue, "-p", "jackpot"};
	Result built = test::run_program(test::spoolsift_bin, args);
	Result installed = test::run_program(bin, args);
	EXPECT_EQ(installed.status, 0);
	EXPECT_EQ(installed.out, built.out);
	EXPECT_EQ(installed.err, "10 file(s) match\n");

	Result help = test::run_program(bin, {"-h"});
	EXPECT_EQ(help.status, 1);
	EXPECT_EQ(help.err.rfind("spoolsift [options]\n", 0), 0u) << help.err;

	// The restore beside it, with its own page.
	const std::string restore = prefix + "/sbin/spoolsift-restore";
	EXPECT_EQ(test::read_file(prefix + "/share/man/man8/spoolsift-restore.8"),
	    test::read_file(source_dir + "/man/spoolsift-restore.8"));
	test::make_dirs(queue + "/yanked");
	Result listed = test::run_program(restore, {"-q", queue, "-l"});
	EXPECT_EQ(listed.status, 0) << listed.err;
	EXPECT_EQ(listed.out, "");

	std::optional<std::string> image = test::read_file(bin);
	ASSERT_TRUE(image.has_value());
	EXPECT_NE(image->find("$Id: spoolsift " + version + " ("),
	    std::string::npos) << "the ID string lacks version " << version;
}

}  // namespace

TEST(Install, PutsTheToolInSbinAndTheManualInSection8)
{
	test::TempDir dest;
	RunOptions opts;
	opts.env = {"DESTDIR=" + dest.path()};
	Result r = test::run_program(cmake_bin,
	    {"--install", build_dir, "--prefix", "/usr/local"}, opts);
	ASSERT_EQ(r.status, 0) << r.out << r.err;

	// The two programs and their pages: no test programs, no sample-queue
	// generator.
	std::vector<std::string> want = {"usr/local/sbin/spoolsift",
	    "usr/local/sbin/spoolsift-restore",
	    "usr/local/share/man/man8/spoolsift-restore.8",
	    "usr/local/share/man/man8/spoolsift.8"};
	EXPECT_EQ(files_under(dest.path()), want);
	expect_working_install(dest.path() + "/usr/local");
}

TEST(Install, ReleaseBinaryIsHardened)
{
	if (!SPOOLSIFT_HARDENED)
		GTEST_SKIP() << "not a hardened Release build";
	const std::string readelf = test::find_program("readelf");
	if (readelf.empty())
		GTEST_SKIP() << "readelf (binutils) is not installed";
	const std::string &bin = test::spoolsift_bin;

	Result header = test::run_program(readelf, {"-hW", bin});
	EXPECT_NE(header.out.find("DYN"), std::string::npos)
	    << "not position-independent:\n" << header.out;

	Result dynamic = test::run_program(readelf, {"-dW", bin});
	EXPECT_TRUE(dynamic.out.find("BIND_NOW") != std::string::npos ||
	    dynamic.out.find("Flags: NOW") != std::string::npos)
	    << "no BIND_NOW, so only partial RELRO:\n" << dynamic.out;

	Result segments = test::run_program(readelf, {"-lW", bin});
	EXPECT_NE(segments.out.find("GNU_RELRO"), std::string::npos)
	    << segments.out;

	Result symbols = test::run_program(readelf, {"--dyn-syms", "-W", bin});
	EXPECT_NE(symbols.out.find("__stack_chk_fail"), std::string::npos)
	    << "no stack protector";
	size_t checked_calls = 0;
	for (size_t at = 0; (at = symbols.out.find("_chk", at)) !=
	     std::string::npos; at++)
		checked_calls += at < 6 ||
		    symbols.out.compare(at - 6, 6, "_stack") != 0;
	EXPECT_GT(checked_calls, 0u) << "no fortified calls";
}

TEST(DebianPackage, InstallsWithDpkgIntoAThrowawayRoot)
{
	const std::string dpkg = test::find_program("dpkg");
	const std::string dpkg_deb = test::find_program("dpkg-deb");
	if (dpkg.empty() || dpkg_deb.empty())
		GTEST_SKIP() << "dpkg is not installed";
	if (geteuid() != 0)
		GTEST_SKIP() << "dpkg --root needs root";
	test::TempDir tmp;
	const std::string out = tmp.path() + "/out";
	Result r = test::run_program(cpack_bin, {"-G", "DEB", "--config",
	    build_dir + "/CPackConfig.cmake", "-B", out});
	ASSERT_EQ(r.status, 0) << r.out << r.err;
	const std::string deb = out + "/spoolsift_" + version + "_" +
	    test::run_program(dpkg, {"--print-architecture"}).out;
	const std::string deb_file = deb.substr(0, deb.size() - 1) + ".deb";
	ASSERT_TRUE(test::exists(deb_file)) << deb_file;

	Result fields = test::run_program(dpkg_deb, {"-f", deb_file});
	EXPECT_NE(fields.out.find("Package: spoolsift\n"), std::string::npos);
	EXPECT_NE(fields.out.find("Version: " + version + "\n"),
	    std::string::npos) << fields.out;
	EXPECT_NE(fields.out.find("Section: admin\n"), std::string::npos);

	// A root of its own with an empty package database: the host's
	// packages are never touched. Its libraries are the host's, so the
	// dependencies are waived there.
	const std::string root = tmp.path() + "/root";
	test::make_dirs(root + "/var/lib/dpkg/info");
	test::make_dirs(root + "/var/lib/dpkg/updates");
	test::write_file(root + "/var/lib/dpkg/status", "");
	Result installed = test::run_program(dpkg, {"--root=" + root,
	    "--log=/dev/null", "--force-depends", "-i", deb_file});
	ASSERT_EQ(installed.status, 0) << installed.out << installed.err;
	Result status = test::run_program(dpkg, {"--root=" + root,
	    "--status", "spoolsift"});
	EXPECT_NE(status.out.find("Status: install ok installed"),
	    std::string::npos) << status.out;
	expect_working_install(root + "/usr");
}
