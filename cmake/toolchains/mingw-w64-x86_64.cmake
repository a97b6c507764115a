# 64-bit Windows: the same sources, quick to test under Wine.
set(KESTREL_MINGW_ARCH x86_64)
# Debian's "wine" starts its 32-bit loader first when wine32 is installed, which costs the
# better part of a minute on machines that emulate 32-bit code; the 64-bit loader starts at once.
if(EXISTS /usr/lib/wine/wine64)
    set(KESTREL_WINE_LOADER /usr/lib/wine/wine64)
else()
    set(KESTREL_WINE_LOADER wine)
endif()
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
