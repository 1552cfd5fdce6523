# Common settings for the project's targets.

# Include roots: host/ for the host libraries and platform layer, the source root for the library.
set(KRZ_INCLUDE_DIRS ${PROJECT_SOURCE_DIR}/host ${PROJECT_SOURCE_DIR})

# krz_shared_library(NAME SOURCES... [LIBS ...]): a shared library with the project's include roots.
function(krz_shared_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} SHARED ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC
    "$<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/host>"
    "$<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>"
    "$<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>")
  if(ARG_LIBS)
    target_link_libraries(${name} ${ARG_LIBS})
  endif()
endfunction()

# krz_gtest(NAME SOURCES... LIBS... [LABELS ...]): a GoogleTest program whose tests CTest lists.
function(krz_gtest name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  if(WIN32)
    # One CTest test per program, run under Wine (the toolchain's emulator): listing the cases
    # would start Wine once more for every program at build time.
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main
                          Threads::Threads)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES LABELS "wine;${ARG_LABELS}" TIMEOUT ${ARG_TIMEOUT}
      ENVIRONMENT "${KRZ_WINE_ENVIRONMENT}")
    return()
  endif()
  find_package(GTest REQUIRED)
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main
                        Threads::Threads)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  include(GoogleTest)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT ${ARG_TIMEOUT})
  # The discovery script flattens property lists, so a second label would become a property name:
  # label the discovered tests afterwards, from their list (<name>_TESTS).
  set(labels_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake)
  file(WRITE ${labels_file} "if(DEFINED ${name}_TESTS)\n"
    "  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"${ARG_LABELS}\")\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${labels_file})
endfunction()

# Registers the cases of a program built by krz_gtest once more, as PREFIX.<case>, run with
# ENVIRONMENT: the same scenarios under another setting (the description module as the module
# list, for one). FILTER (a GoogleTest filter) picks the cases that apply. Linux only, as the
# discovered cases are.
function(krz_gtest_again name)
  cmake_parse_arguments(ARG "" "PREFIX;TIMEOUT;FILTER" "ENVIRONMENT;LABELS" ${ARGN})
  if(NOT ARG_FILTER)
    set(ARG_FILTER "*")
  endif()
  if(WIN32)
    return()
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  include(GoogleTest)
  set(list_name ${name}_${ARG_PREFIX}_TESTS)
  string(MAKE_C_IDENTIFIER ${list_name} list_name)
  gtest_discover_tests(${name} TEST_PREFIX "${ARG_PREFIX}." TEST_LIST ${list_name}
    TEST_FILTER "${ARG_FILTER}" DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT ${ARG_TIMEOUT} ENVIRONMENT "${ARG_ENVIRONMENT}")
  set(labels_file ${CMAKE_CURRENT_BINARY_DIR}/${list_name}_labels.cmake)
  file(WRITE ${labels_file} "if(DEFINED ${list_name})\n"
    "  set_tests_properties(\${${list_name}} PROPERTIES LABELS \"${ARG_LABELS}\")\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${labels_file})
endfunction()
