# Read by cpack while it makes the package: the Depends line from dpkg-shlibdeps over the two
# programs only (the browser module's libraries are recommended, not required).
include(${CPACK_VESPREY_DEPENDS_FILE})
set(work ${CPACK_TOPLEVEL_DIRECTORY}/shlibdeps)
file(MAKE_DIRECTORY ${work}/debian)
file(WRITE ${work}/debian/control "Source: vesprey\n\nPackage: vesprey\nArchitecture: any\n")
set(arguments)
foreach(file IN LISTS VESPREY_SHLIBDEPS_FILES)
    list(APPEND arguments -e${file})
endforeach()
execute_process(COMMAND dpkg-shlibdeps -O ${arguments} WORKING_DIRECTORY ${work}
                OUTPUT_VARIABLE found RESULT_VARIABLE result ERROR_VARIABLE problems)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "dpkg-shlibdeps failed: ${problems}")
endif()
string(REGEX REPLACE "^shlibs:Depends=" "" depends "${found}")
string(STRIP "${depends}" depends)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${depends}")
