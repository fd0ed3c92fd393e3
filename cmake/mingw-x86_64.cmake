# Cross build for 64-bit Windows with mingw-w64 (Debian: g++-mingw-w64-x86-64-posix). A test vehicle only:
# it runs the Windows code under 64-bit Wine on machines whose kernel executes no 32-bit programs. The host
# gets the 32-bit DLL (mingw-i686.cmake).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
