# Builds each of TARGETS, expecting it to fail because the matching entry of HEADERS is out of
# its reach.
foreach(target header IN ZIP_LISTS TARGETS HEADERS)
    execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target ${target}
                    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(result EQUAL 0)
        message(FATAL_ERROR "${target} compiled: \"${header}\" is reachable from below")
    endif()
    string(FIND "${output}" "${header}: No such file or directory" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "${target} failed for another reason than \"${header}\":\n${output}")
    endif()
    message(STATUS "${target}: \"${header}\" out of reach, as it should be")
endforeach()
