# GoogleTest from Debian's source package, compiled here so that the host and
# the 32-bit product build each build it with their own flags.
set(NIMBO_GTEST_DIR /usr/src/googletest/googletest)
find_package(Threads REQUIRED)
add_library(gtest STATIC ${CMAKE_CURRENT_LIST_DIR}/gtest-all-nostream.cc)
target_include_directories(gtest SYSTEM PUBLIC ${NIMBO_GTEST_DIR}/include
                           PRIVATE ${NIMBO_GTEST_DIR})
target_link_libraries(gtest PUBLIC Threads::Threads)
add_library(gtest_main STATIC ${NIMBO_GTEST_DIR}/src/gtest_main.cc)
target_link_libraries(gtest_main PUBLIC gtest)
add_library(GTest::gtest ALIAS gtest)
add_library(GTest::gtest_main ALIAS gtest_main)
