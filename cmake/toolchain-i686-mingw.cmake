# The 32-bit Windows build: the deliverable.
set(DV_MINGW_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
