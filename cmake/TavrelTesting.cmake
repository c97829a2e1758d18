# Helpers shared by every test directory.

set(TAVREL_TESTDATA_DIR ${CMAKE_BINARY_DIR}/testdata)
set(TAVREL_TEST_ENV
  "TAVREL_TESTDATA=${TAVREL_TESTDATA_DIR}"
  "TAVREL_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
  "TAVREL_BINARY_DIR=${CMAKE_BINARY_DIR}")
if(TAVREL_ASAN_UBSAN)
  # The JVM and our forked peers trip over these otherwise. librtmp has no
  # frame pointers: only the slow unwinder sees through it, so that a leak
  # report names our code that called into librtmp.
  list(APPEND TAVREL_TEST_ENV
    "ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:handle_segv=0:allow_user_segv_handler=1:fast_unwind_on_malloc=0"
    "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1"
    "LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/testing/lsan.supp")
endif()
if(TAVREL_TSAN)
  list(APPEND TAVREL_TEST_ENV "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1")
endif()

# tavrel_add_gtest(name SOURCES ... LIBS ... [TIMEOUT s] [LABELS ...] [CLIPS])
# Every test links the shared test support (testing/support, tavrel_testing).
# CLIPS: the test reads the FFmpeg clips that the clip fixture makes.
# LABELS concurrency: the test runs our code on several threads at once;
# scripts/test-sanitizers runs exactly these under ThreadSanitizer.
function(tavrel_add_gtest name)
  cmake_parse_arguments(T "CLIPS;RUN_SERIAL" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} tavrel_testing GTest::gtest GTest::gtest_main Threads::Threads)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${TAVREL_TEST_ENV}")
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
  if(T_CLIPS)
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED clips)
  endif()
  if(T_RUN_SERIAL)
    set_tests_properties(${name} PROPERTIES RUN_SERIAL ON)
  endif()
endfunction()

# tavrel_check_exports(target expected-file): the library's dynamic symbol
# table, defined symbols only, must list exactly the names in the file.
function(tavrel_check_exports target expected)
  add_test(NAME ${target}_exports
    COMMAND ${CMAKE_SOURCE_DIR}/testing/check-exports $<TARGET_FILE:${target}> ${expected})
endfunction()

if(TAVREL_JAVA)
  set(TAVREL_JUNIT_JAR /usr/share/java/junit-platform-console-standalone.jar)
  if(NOT EXISTS ${TAVREL_JUNIT_JAR})
    message(FATAL_ERROR "JUnit 5 console launcher not found at ${TAVREL_JUNIT_JAR} (scripts/install-deps installs junit5)")
  endif()
  set(CMAKE_JAVA_COMPILE_FLAGS -Xlint:all -Xlint:-options -Werror -encoding UTF-8)

  set(TAVREL_JVM_ENV ${TAVREL_TEST_ENV})
  if(TAVREL_ASAN_UBSAN)
    # The JVM is not built with ASan: its runtime has to come first, and the
    # JVM's own SIGSEGV handling and leaks at exit are not ours to judge.
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
      OUTPUT_VARIABLE _asan_rt OUTPUT_STRIP_TRAILING_WHITESPACE)
    list(FILTER TAVREL_JVM_ENV EXCLUDE REGEX "^ASAN_OPTIONS=")
    list(APPEND TAVREL_JVM_ENV "LD_PRELOAD=${_asan_rt}"
      "ASAN_OPTIONS=detect_leaks=0:handle_segv=0:allow_user_segv_handler=1:abort_on_error=1")
  endif()
  if(TAVREL_TSAN)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libtsan.so
      OUTPUT_VARIABLE _tsan_rt OUTPUT_STRIP_TRAILING_WHITESPACE)
    list(APPEND TAVREL_JVM_ENV "LD_PRELOAD=${_tsan_rt}")
  endif()
endif()

# The shared JUnit support that every JUnit jar compiles: the log capture,
# the nginx extension and the challenge server, with the application's nginx
# launcher under it (the one class the tests share with the application,
# which ships it).
set(TAVREL_JUNIT_SUPPORT
  ${CMAKE_SOURCE_DIR}/testing/java/tessora/testing/LogCapture.java
  ${CMAKE_SOURCE_DIR}/testing/java/tessora/testing/RtmpServer.java
  ${CMAKE_SOURCE_DIR}/testing/java/tessora/testing/ChallengeServer.java
  ${CMAKE_SOURCE_DIR}/testing/java/tessora/testing/ThrottlingRelay.java)
set(TAVREL_LOCAL_NGINX_JAVA ${CMAKE_SOURCE_DIR}/apps/publish/src/main/java/tessora/apps/publish/LocalNginx.java)

# tavrel_add_junit(name SOURCES ... JARS ... DEPENDS ... [CLIPS] [TIMEOUT s])
# Compiles JUnit 5 tests with the shared support against JARS and runs them
# on the real JVM with the build's library folder as java.library.path.
function(tavrel_add_junit name)
  if(NOT TAVREL_JAVA)
    return()
  endif()
  cmake_parse_arguments(T "CLIPS" "TIMEOUT" "SOURCES;JARS;DEPENDS" ${ARGN})
  list(APPEND T_SOURCES ${TAVREL_JUNIT_SUPPORT})
  if(NOT publish_app IN_LIST T_JARS)
    # The application's tests find the launcher in its jar.
    list(APPEND T_SOURCES ${TAVREL_LOCAL_NGINX_JAVA})
  endif()
  list(REMOVE_DUPLICATES T_SOURCES)
  set(_jar_files "")
  foreach(j ${T_JARS})
    if(TARGET ${j})
      list(APPEND _jar_files $<TARGET_PROPERTY:${j},JAR_FILE>)
    else()
      list(APPEND _jar_files ${j})
    endif()
  endforeach()
  add_jar(${name} SOURCES ${T_SOURCES} INCLUDE_JARS ${T_JARS} ${TAVREL_JUNIT_JAR} OUTPUT_NAME ${name})
  if(T_DEPENDS)
    add_dependencies(${name} ${T_DEPENDS})
  endif()
  list(JOIN _jar_files ":" _cp)
  add_test(NAME ${name}
    COMMAND ${Java_JAVA_EXECUTABLE} -Xcheck:jni
      -Djava.library.path=${CMAKE_LIBRARY_OUTPUT_DIRECTORY}
      -jar ${TAVREL_JUNIT_JAR} --disable-banner --details=tree --fail-if-no-tests
      --class-path "$<TARGET_PROPERTY:${name},JAR_FILE>:${_cp}"
      --scan-class-path "$<TARGET_PROPERTY:${name},JAR_FILE>")
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${TAVREL_JVM_ENV}")
  if(T_CLIPS)
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED clips)
  endif()
endfunction()
