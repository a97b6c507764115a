# KestrelAPI.dll: every export __stdcall under its plain name, an import library that
# __stdcall callers can link, a version resource. Included from the top-level CMakeLists.txt
# for Windows targets.

# The .def file, made from the public header at configure time, is the only list of exports:
# the objects carry no dllexport attributes (KESTREL_STATIC), so nothing else is exported.
set(KESTREL_DEF ${CMAKE_CURRENT_BINARY_DIR}/KestrelAPI.def)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(decorate ON)
else()
    set(decorate OFF)
endif()
kestrel_write_def(${CMAKE_CURRENT_SOURCE_DIR}/include/KestrelAPI.h ${KESTREL_DEF} KestrelAPI.dll
                  ${decorate})
target_compile_definitions(kestrel_core PUBLIC KESTREL_STATIC)

configure_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/KestrelAPI.rc.in
               ${CMAKE_CURRENT_BINARY_DIR}/KestrelAPI.rc @ONLY)
target_sources(kestrelapi PRIVATE ${KESTREL_DEF} ${CMAKE_CURRENT_BINARY_DIR}/KestrelAPI.rc)
set_target_properties(kestrelapi PROPERTIES
    OUTPUT_NAME KestrelAPI
    PREFIX ""
    IMPORT_PREFIX "lib"
    IMPORT_SUFFIX ".dll.a")
# --kill-at drops the @N from the exported names. The import library the linker writes along
# with it has lost the @N as well, so a caller that declares the functions __stdcall (and so
# refers to _Name@N) could not link against it: dlltool writes the import library again from
# the .def file, with decorated symbols that import the plain names.
target_link_options(kestrelapi PRIVATE -Wl,--kill-at -Wl,--no-undefined)
add_custom_command(TARGET kestrelapi POST_BUILD
    COMMAND ${KESTREL_DLLTOOL} -d ${KESTREL_DEF} -D KestrelAPI.dll -k
            -l $<TARGET_LINKER_FILE:kestrelapi>
    COMMENT "Writing the import library of KestrelAPI.dll"
    VERBATIM)
