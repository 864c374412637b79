# The Debian packages that hold the shared libraries the binary links,
# for a package's Depends where dpkg-shlibdeps (dpkg-dev) is missing:
# each library is followed to its real file, and dpkg names its owner.
# A library given by bare name is looked up by the compiler.
function(spoolsift_package_depends out)
  find_program(DPKG dpkg)
  set(packages)
  foreach(lib ${ARGN})
    if(NOT IS_ABSOLUTE "${lib}")
      execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${lib}
        OUTPUT_VARIABLE lib OUTPUT_STRIP_TRAILING_WHITESPACE)
    endif()
    file(REAL_PATH "${lib}" real)
    # dpkg knows a file by the path it installed, which a merged /usr
    # may spell otherwise: ask by its last two components.
    get_filename_component(file "${real}" NAME)
    get_filename_component(dir "${real}" DIRECTORY)
    get_filename_component(dir "${dir}" NAME)
    set(owner "")
    if(DPKG)
      execute_process(COMMAND ${DPKG} -S "*/${dir}/${file}"
        OUTPUT_VARIABLE owner ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
    endif()
    string(REGEX MATCH "^[^:,]+" owner "${owner}")
    if(owner STREQUAL "")
      message(WARNING "no package is known to hold ${real}: the Debian "
                      "package will not depend on it")
    else()
      list(APPEND packages ${owner})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES packages)
  list(JOIN packages ", " depends)
  set(${out} "${depends}" PARENT_SCOPE)
endfunction()
