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
