# 64-bit Windows: the same sources, quick to test under wine64.
set(KESTREL_MINGW_ARCH x86_64)
set(KESTREL_WINE_LOADER wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
