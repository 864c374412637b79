# Writes OUTPUT with the version and the revision of SOURCE_DIR as
# reported by git, or a fixed text outside a git checkout. The file is
# only rewritten when the text changed, so an unchanged tree does not
# relink.
execute_process(
  COMMAND git describe --always --dirty --tags
  WORKING_DIRECTORY ${SOURCE_DIR}
  OUTPUT_VARIABLE rev
  OUTPUT_STRIP_TRAILING_WHITESPACE
  ERROR_QUIET
  RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR rev STREQUAL "")
  set(rev "unknown-revision")
endif()
set(text "#define SPOOLSIFT_REVISION \"${VERSION} (${rev})\"\n")
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} old)
endif()
if(NOT "${old}" STREQUAL "${text}")
  file(WRITE ${OUTPUT} "${text}")
endif()
