# Reads the exported function names from the public header (every declaration has the form
# "KESTREL_EXPORT <type> KESTREL_CALL <Name>(") and writes a linker version script that
# exports exactly those names, so template instantiations and other internal symbols stay
# hidden even where visibility attributes do not reach them.
function(kestrel_export_list header out_names)
    file(READ ${header} text)
    string(REGEX MATCHALL "KESTREL_CALL[ \t\r\n]+[A-Za-z_][A-Za-z0-9_]*[ \t\r\n]*\\(" decls "${text}")
    set(names "")
    foreach(decl IN LISTS decls)
        string(REGEX REPLACE "KESTREL_CALL[ \t\r\n]+([A-Za-z0-9_]+).*" "\\1" name "${decl}")
        list(APPEND names ${name})
    endforeach()
    list(SORT names)
    set(${out_names} ${names} PARENT_SCOPE)
endfunction()

function(kestrel_write_version_script header script)
    kestrel_export_list(${header} names)
    set(body "{\n  global:\n")
    foreach(name IN LISTS names)
        string(APPEND body "    ${name};\n")
    endforeach()
    string(APPEND body "  local:\n    *;\n};\n")
    file(CONFIGURE OUTPUT ${script} CONTENT "${body}")
endfunction()

# Writes a module-definition (.def) file for the Windows DLL from the public header. On 32-bit
# Windows every export is listed as Name@N, N being the bytes of its arguments on the stack
# (what the __stdcall name of the function carries); linked with --kill-at the DLL exports the
# plain names, and dlltool makes from the same file an import library whose decorated symbols
# let __stdcall callers link. 64-bit Windows decorates nothing.
function(kestrel_write_def header def_file library_name decorate)
    file(READ ${header} text)
    # Each declaration runs from its name to the ")" before the ';' that ends it (a ';' would
    # split the CMake list); parameters hold no ';'.
    string(REGEX MATCHALL "KESTREL_CALL[ \t\r\n]+[A-Za-z_][A-Za-z0-9_]*[ \t\r\n]*\\([^;]*\\)" decls
           "${text}")
    set(body "LIBRARY ${library_name}\nEXPORTS\n")
    foreach(decl IN LISTS decls)
        string(REGEX REPLACE "KESTREL_CALL[ \t\r\n]+([A-Za-z0-9_]+).*" "\\1" name "${decl}")
        if(NOT decorate)
            string(APPEND body "    ${name}\n")
            continue()
        endif()
        string(REGEX REPLACE "^[^(]*\\((.*)\\)$" "\\1" params "${decl}")
        if(params MATCHES "[()]")
            message(FATAL_ERROR "${name}: a parameter of function-pointer type needs a typedef")
        endif()
        string(STRIP "${params}" params)
        set(bytes 0)
        if(NOT params STREQUAL "" AND NOT params STREQUAL "void")
            string(REPLACE "," ";" param_list "${params}")
            foreach(param IN LISTS param_list)
                # Arguments take 4-byte stack slots; 64-bit scalars passed by value take two.
                if(param MATCHES "(u?int64_t|double|long long)[ \t\r\n]+[A-Za-z0-9_]+[ \t\r\n]*$")
                    math(EXPR bytes "${bytes} + 8")
                else()
                    math(EXPR bytes "${bytes} + 4")
                endif()
            endforeach()
        endif()
        string(APPEND body "    ${name}@${bytes}\n")
    endforeach()
    file(CONFIGURE OUTPUT ${def_file} CONTENT "${body}")
endfunction()
