# The system layer, src/os.h, added to a target: src/os_linux.cpp where
# Linux's own calls all build and SPOOLSIFT_PORTABLE is off, else
# src/os_posix.cpp, each of whose fallbacks is chosen here by what the
# system turns out to have (SPOOLSIFT_HAVE_* on that one file).
#
# SPOOLSIFT_PORTABLE compiles os_posix.cpp with POSIX alone declared
# (_GNU_SOURCE undefined, _XOPEN_SOURCE=700), and makes the checks in
# that same light: on Linux, that is the build of a system with none of
# Linux's extensions, and a Linux call added to the file fails to build.
#
# Sets, in the caller's scope, for the tests: SPOOLSIFT_BIRTH_TIME
# (whether a birth time can be had at all), SPOOLSIFT_ENTRY_KINDS
# (whether directories' entries come with their kinds) and
# SPOOLSIFT_MOVE_BY_LINK (whether a move is a link and an unlink) and
# SPOOLSIFT_CACHED_READ (whether a read can tell it would wait for the
# disk).
include(CheckCXXSourceCompiles)
include(CheckCXXSymbolExists)
include(CheckStructHasMember)

function(spoolsift_system_layer target)
  set(linux_calls [=[
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
int main()
{
	struct statx stx;
	struct iovec into = {0, 0};
	cpu_set_t cpus;
	char buf[64], entries[1024];
	const char *text = strerror_r(1, buf, sizeof buf);
	return renameat2(AT_FDCWD, "a", AT_FDCWD, "b", RENAME_NOREPLACE) +
	    statx(AT_FDCWD, "a", AT_SYMLINK_NOFOLLOW, STATX_BTIME, &stx) +
	    (int)getdents64(0, entries, sizeof entries) + DT_UNKNOWN +
	    sched_getaffinity(0, sizeof cpus, &cpus) + CPU_COUNT(&cpus) +
	    (O_PATH | O_NOATIME) + text[0] + program_invocation_short_name[0] +
	    (int)preadv2(0, &into, 1, -1, RWF_NOWAIT);
}
]=])
  if(NOT SPOOLSIFT_PORTABLE)
    check_cxx_source_compiles("${linux_calls}" SPOOLSIFT_HAVE_LINUX_CALLS)
    if(SPOOLSIFT_HAVE_LINUX_CALLS)
      target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src/os_linux.cpp)
      message(STATUS "System layer: Linux (src/os_linux.cpp)")
      set(SPOOLSIFT_BIRTH_TIME ON PARENT_SCOPE)
      set(SPOOLSIFT_ENTRY_KINDS ON PARENT_SCOPE)
      set(SPOOLSIFT_MOVE_BY_LINK OFF PARENT_SCOPE)
      set(SPOOLSIFT_CACHED_READ ON PARENT_SCOPE)
      return()
    endif()
  endif()

  set(source ${PROJECT_SOURCE_DIR}/src/os_posix.cpp)
  target_sources(${target} PRIVATE ${source})
  # The checks' results are kept per light, so that turning the option
  # over in one build tree checks again.
  set(light "")
  if(SPOOLSIFT_PORTABLE)
    set(posix_only -U_GNU_SOURCE -D_XOPEN_SOURCE=700)
    set_source_files_properties(${source} PROPERTIES
      COMPILE_OPTIONS "${posix_only}")
    list(JOIN posix_only " " CMAKE_REQUIRED_FLAGS)
    set(light _POSIX_ONLY)
  endif()
  set(CMAKE_REQUIRED_QUIET ON)

  check_cxx_symbol_exists(renameatx_np stdio.h
    SPOOLSIFT_HAVE_RENAMEATX_NP${light})
  check_struct_has_member("struct stat" st_birthtim sys/stat.h
    SPOOLSIFT_HAVE_ST_BIRTHTIM${light} LANGUAGE CXX)
  check_struct_has_member("struct dirent" d_type dirent.h
    SPOOLSIFT_HAVE_DIRENT_D_TYPE${light} LANGUAGE CXX)
  check_cxx_symbol_exists(DT_UNKNOWN dirent.h SPOOLSIFT_HAVE_DT_UNKNOWN${light})
  check_cxx_symbol_exists(_SC_NPROCESSORS_ONLN unistd.h
    SPOOLSIFT_HAVE_NPROCESSORS_ONLN${light})
  check_cxx_source_compiles([=[
#include <string.h>
int main()
{
	char buf[64];
	int failed = strerror_r(1, buf, sizeof buf);
	return failed;
}
]=] SPOOLSIFT_HAVE_XSI_STRERROR_R${light})
  check_cxx_symbol_exists(O_SEARCH fcntl.h SPOOLSIFT_HAVE_O_SEARCH${light})
  check_cxx_symbol_exists(O_NOATIME fcntl.h SPOOLSIFT_HAVE_O_NOATIME${light})

  set(found "")
  foreach(have RENAMEATX_NP ST_BIRTHTIM NPROCESSORS_ONLN XSI_STRERROR_R
               O_SEARCH O_NOATIME)
    if(SPOOLSIFT_HAVE_${have}${light})
      list(APPEND found SPOOLSIFT_HAVE_${have})
    endif()
  endforeach()
  set(kinds OFF)
  if(SPOOLSIFT_HAVE_DIRENT_D_TYPE${light} AND SPOOLSIFT_HAVE_DT_UNKNOWN${light})
    list(APPEND found SPOOLSIFT_HAVE_D_TYPE)
    set(kinds ON)
  endif()
  set(SPOOLSIFT_ENTRY_KINDS ${kinds} PARENT_SCOPE)
  set_property(SOURCE ${source} APPEND PROPERTY COMPILE_DEFINITIONS ${found})
  list(JOIN found " " said)
  message(STATUS "System layer: POSIX (src/os_posix.cpp), with: ${said}")

  if(SPOOLSIFT_HAVE_ST_BIRTHTIM${light})
    set(SPOOLSIFT_BIRTH_TIME ON PARENT_SCOPE)
  else()
    set(SPOOLSIFT_BIRTH_TIME OFF PARENT_SCOPE)
  endif()
  set(SPOOLSIFT_CACHED_READ OFF PARENT_SCOPE)
  if(SPOOLSIFT_HAVE_RENAMEATX_NP${light})
    set(SPOOLSIFT_MOVE_BY_LINK OFF PARENT_SCOPE)
  else()
    set(SPOOLSIFT_MOVE_BY_LINK ON PARENT_SCOPE)
  endif()
endfunction()
