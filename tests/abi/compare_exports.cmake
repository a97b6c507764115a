# Compares the names a library exports with the header's list of exports (file NAMES, one
# name a line) and fails with both lists when they differ.
function(kestrel_compare_exports exported)
    list(SORT exported)
    file(STRINGS ${NAMES} declared)
    list(SORT declared)
    if(NOT exported STREQUAL declared)
        message(FATAL_ERROR
            "exports differ from the header\n exported: ${exported}\n declared: ${declared}")
    endif()
    list(LENGTH declared count)
    message(STATUS "${count} exports match the header")
endfunction()

# Checks that every export the header (file HEADER) introduces as "The same function as X()"
# is X itself: one entry point under two names. `addresses` lists name=address for each
# exported name.
function(kestrel_check_aliases addresses)
    file(READ ${HEADER} text)
    string(REGEX MATCHALL
        "The same function as [A-Za-z0-9_]+\\(\\)\\.[ \t\r\n]*\\*/[ \t\r\n]*KESTREL_EXPORT[^(]*KESTREL_CALL[ \t\r\n]+[A-Za-z0-9_]+"
        pairs "${text}")
    if(NOT pairs)
        message(FATAL_ERROR "the header names no second export names")
    endif()
    foreach(pair IN LISTS pairs)
        string(REGEX REPLACE "The same function as ([A-Za-z0-9_]+).*" "\\1" target "${pair}")
        string(REGEX REPLACE ".*KESTREL_CALL[ \t\r\n]+([A-Za-z0-9_]+)$" "\\1" alias "${pair}")
        set(found "")
        foreach(name IN ITEMS ${target} ${alias})
            set(entry ${addresses})
            list(FILTER entry INCLUDE REGEX "^${name}=")
            if(NOT entry)
                message(FATAL_ERROR "${name} is not exported")
            endif()
            string(REGEX REPLACE "^[^=]*=" "" address "${entry}")
            list(APPEND found ${address})
        endforeach()
        list(GET found 0 first)
        list(GET found 1 second)
        if(NOT first STREQUAL second)
            message(FATAL_ERROR "${alias} (${second}) is not the same function as ${target} (${first})")
        endif()
    endforeach()
    list(LENGTH pairs count)
    message(STATUS "${count} second export names are their function's own entry point")
endfunction()
