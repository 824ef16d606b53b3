# The 32-bit Windows programs: vendors' drivers often are, and Wine runs them
# by its 32-bit part.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(mingw_prefix i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
