# GoogleTest: the system package natively; built from its sources when
# cross-compiling, since the packaged libraries are for the build machine.
if(CMAKE_CROSSCOMPILING)
  set(ZK_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${ZK_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  if(NOT TARGET GTest::gtest_main)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
  # Read by ctest before it starts any test:
  # - death tests fork only: with no binfmt handler for the target, the
  #   re-executing "threadsafe" style cannot start the program again and a
  #   death test would pass without running its statement;
  # - ZK_TARGET_EMULATOR is the command that starts a target program, for a
  #   test that starts one itself (a target program cannot exec another
  #   target program directly; build-machine tools it can). Environment for
  #   the started program only, LD_PRELOAD above all, goes in QEMU_SET_ENV
  #   (VAR=value,...), since the emulator itself is a dynamic program too.
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " zk_target_emulator)
  file(WRITE ${CMAKE_BINARY_DIR}/ZkCrossTestEnv.cmake
       "set(ENV{GTEST_DEATH_TEST_STYLE} fast)\n"
       "set(ENV{ZK_TARGET_EMULATOR} \"${zk_target_emulator}\")\n")
  set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY
    TEST_INCLUDE_FILES ${CMAKE_BINARY_DIR}/ZkCrossTestEnv.cmake)
else()
  find_package(GTest REQUIRED)
endif()

# True when the test allocator (a malloc defined by the test program) can be
# used: it cannot live beside the sanitizer's own allocator.
if(ZK_SANITIZE)
  set(ZK_HAVE_TEST_ALLOCATOR OFF)
else()
  set(ZK_HAVE_TEST_ALLOCATOR ON)
endif()

# zk_add_valgrind_test(TARGET) registers TARGET_valgrind: the test program
# TARGET again, under valgrind's memcheck, failing on any error or leak
# (native, unsanitized builds only). somalloc=nouserintercepts lets the test
# allocator's malloc stay in place (valgrind still sees every block through
# the C library's __libc_malloc).
find_program(ZK_VALGRIND valgrind)
function(zk_add_valgrind_test target)
  if(NOT ZK_VALGRIND OR ZK_SANITIZE OR CMAKE_CROSSCOMPILING)
    return()
  endif()
  get_target_property(private_tmp ${target} ZK_PRIVATE_TMP)
  if(private_tmp)
    set(private_tmp ${ZK_PRIVATE_TMP})
  else()
    set(private_tmp "")
  endif()
  add_test(NAME ${target}_valgrind
    COMMAND ${private_tmp} ${ZK_VALGRIND} -q --error-exitcode=99 --leak-check=full
            --errors-for-leak-kinds=definite,indirect
            --soname-synonyms=somalloc=nouserintercepts
            $<TARGET_FILE:${target}>)
  set_tests_properties(${target}_valgrind PROPERTIES TIMEOUT 600 LABELS valgrind
    SKIP_RETURN_CODE 77)
  get_test_property(${target} RESOURCE_LOCK locks)
  if(locks)
    set_tests_properties(${target}_valgrind PROPERTIES RESOURCE_LOCK "${locks}")
  endif()
  get_test_property(${target} ENVIRONMENT environment)
  if(environment)
    set_tests_properties(${target}_valgrind PROPERTIES ENVIRONMENT "${environment}")
  endif()
endfunction()

# zk_add_gtest(NAME SOURCES ... [LIBS ...] [LOCKS ...] [ENV ...] [VALGRIND]
#              [THREADS])
# VALGRIND: also run the program under memcheck (zk_add_valgrind_test).
# THREADS: the program starts threads (itself or in a program it runs); it
# carries the CTest label `threads`, which the ThreadSanitizer stage runs.
# One executable, registered as one CTest test: per-test start-up under
# emulation would otherwise add up. LOCKS names shared resources so that
# CTest never runs two tests that use one of them at the same time; except
# trace_log (the program switches the fixed trace log on), which is no lock:
# such a program runs with a private /tmp (scripts/private-tmp.sh), so it
# disturbs nothing else on the machine, and is skipped where none can be made.
set(ZK_PRIVATE_TMP ${PROJECT_SOURCE_DIR}/scripts/private-tmp.sh)
function(zk_add_gtest name)
  cmake_parse_arguments(T "VALGRIND;THREADS" "" "SOURCES;LIBS;LOCKS;ENV" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  if("trace_log" IN_LIST T_LOCKS)
    list(REMOVE_ITEM T_LOCKS trace_log)
    set_target_properties(${name} PROPERTIES ZK_PRIVATE_TMP ON)
    add_test(NAME ${name} COMMAND ${ZK_PRIVATE_TMP} ${CMAKE_CROSSCOMPILING_EMULATOR}
                                  $<TARGET_FILE:${name}>)
    set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77)
  else()
    add_test(NAME ${name} COMMAND ${name})
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT 300)
  if(T_LOCKS)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${T_LOCKS}")
  endif()
  if(T_ENV)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${T_ENV}")
  endif()
  if(T_THREADS)
    set_tests_properties(${name} PROPERTIES LABELS threads)
  endif()
  if(T_VALGRIND)
    zk_add_valgrind_test(${name})
  endif()
endfunction()
