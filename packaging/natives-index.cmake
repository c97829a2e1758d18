# cmake -DOUT_DIR=... -DVERSION=... -DLIBS="a.so;b.so;..." -DREADELF=... -P natives-index.cmake
#
# Copies the native libraries into OUT_DIR and writes OUT_DIR/libraries.list,
# which the jar's loader reads: a version line, then one line per library in
# load order, "file size needed...", the needed ones being those of the list
# that the library's dynamic section names. A library that needs one listed
# after it fails the build: the loader loads in the list's order.
#
# The version is VERSION plus the start of a hash of all the libraries, so a
# rebuilt library gets a folder of its own when the jar extracts them.
cmake_minimum_required(VERSION 3.20)
file(REMOVE_RECURSE ${OUT_DIR})
file(MAKE_DIRECTORY ${OUT_DIR})
set(names "")
foreach(lib ${LIBS})
  get_filename_component(name ${lib} NAME)
  list(APPEND names ${name})
endforeach()

set(lines "")
set(hashes "")
set(seen "")
foreach(lib ${LIBS})
  get_filename_component(name ${lib} NAME)
  file(COPY ${lib} DESTINATION ${OUT_DIR})
  file(SIZE ${lib} size)
  file(SHA256 ${lib} hash)
  string(APPEND hashes ${hash})
  execute_process(COMMAND ${READELF} -d ${lib} OUTPUT_VARIABLE dynamic RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${READELF} -d ${lib} failed")
  endif()
  string(REGEX MATCHALL "\\(NEEDED\\)[^[]*\\[[^]]+\\]" needed_entries "${dynamic}")
  set(needs "")
  foreach(entry ${needed_entries})
    string(REGEX REPLACE ".*\\[([^]]+)\\]" "\\1" needed "${entry}")
    if(needed IN_LIST names)
      if(NOT needed IN_LIST seen)
        message(FATAL_ERROR "${name} needs ${needed}, which comes after it in the load order")
      endif()
      string(APPEND needs " ${needed}")
    endif()
  endforeach()
  string(APPEND lines "${name} ${size}${needs}\n")
  list(APPEND seen ${name})
endforeach()

string(SHA256 build_hash "${hashes}")
string(SUBSTRING ${build_hash} 0 16 build_hash)
file(WRITE ${OUT_DIR}/libraries.list
  "# The native libraries of this jar for linux-x86_64, in load order: file size needed...\n"
  "version ${VERSION}-${build_hash}\n"
  "${lines}")
