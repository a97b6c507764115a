# 32-bit Windows: the KestrelAPI.dll of the product.
set(KESTREL_MINGW_ARCH i686)
set(KESTREL_WINE_LOADER wine)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
