# Writes OUT, naming VERSION and the commit of SOURCE_DIR (with "-dirty" for changes not
# committed); COMMIT stands in where there is no git checkout. Rewritten only on change.
set(commit "${COMMIT}")
find_program(GIT git)
if(GIT AND EXISTS ${SOURCE_DIR}/.git)
  execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} rev-parse --short=12 HEAD
                  OUTPUT_VARIABLE head RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(rc EQUAL 0 AND head)
    set(commit ${head})
    execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} status --porcelain --untracked-files=no
                    OUTPUT_VARIABLE changes RESULT_VARIABLE rc ERROR_QUIET)
    if(rc EQUAL 0 AND changes)
      string(APPEND commit "-dirty")
    endif()
  endif()
endif()
if(NOT commit)
  set(commit unknown)
endif()
set(text "// Generated at build time by packaging/version.cmake.
namespace qd {
extern const char* const kQuarneldVersion = \"${VERSION}\";
extern const char* const kQuarneldCommit = \"${commit}\";
}  // namespace qd
")
if(EXISTS ${OUT})
  file(READ ${OUT} old)
endif()
if(NOT old STREQUAL text)
  file(WRITE ${OUT} "${text}")
endif()
