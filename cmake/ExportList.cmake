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
    string(REPLACE ";" "\n" listing "${names}")
    file(CONFIGURE OUTPUT ${script}.names CONTENT "${listing}\n")
endfunction()
