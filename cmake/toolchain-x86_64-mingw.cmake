# The 64-bit Windows build: a test configuration of the same sources.
set(DV_MINGW_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
