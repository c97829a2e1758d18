# cmake -DJAVADOC=... -DOUT_DIR=... -DSOURCES=file-with-source-list -DTITLE=... -P javadoc.cmake
#
# The API documentation of the jar. Every public type and member must carry a
# comment: javadoc's "no comment" warnings fail the build, as do its errors.
# Missing @param / @return / @throws tags are tolerated where the sentence
# already says it.
cmake_minimum_required(VERSION 3.20)
file(REMOVE_RECURSE ${OUT_DIR})
execute_process(
  COMMAND ${JAVADOC} -quiet -encoding UTF-8 -Xdoclint:all -Xmaxwarns 100000 -Xmaxerrs 1000
          -doctitle ${TITLE} -windowtitle ${TITLE} -d ${OUT_DIR} @${SOURCES}
  RESULT_VARIABLE rc
  OUTPUT_VARIABLE out
  ERROR_VARIABLE out)
string(REPLACE "\n" ";" lines "${out}")
set(report "")
set(undocumented 0)
set(keep_context FALSE)
foreach(line IN LISTS lines)
  if(line MATCHES "warning: no (@param|@return|@throws)")
    set(keep_context FALSE)
    continue()
  endif()
  if(line MATCHES "^[0-9]+ warnings?$")
    continue()
  endif()
  if(line MATCHES ": (warning|error): ")
    set(keep_context TRUE)
    if(line MATCHES "warning: no comment")
      math(EXPR undocumented "${undocumented} + 1")
    endif()
  endif()
  if(keep_context AND NOT line STREQUAL "")
    string(APPEND report "${line}\n")
  endif()
endforeach()
if(report)
  message("${report}")
endif()
if(NOT rc EQUAL 0 OR undocumented GREATER 0)
  message(FATAL_ERROR "javadoc: ${undocumented} public element(s) without a comment, exit code ${rc}")
endif()
