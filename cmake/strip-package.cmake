# Run by CPack on the staged Debian package (CPACK_PRE_BUILD_SCRIPTS): strips
# the programs as Debian's dh_strip does, the .comment and .note sections
# included. The unstripped programs stay in the build folder (tools/).
set(bindir ${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/bin)
file(GLOB programs ${bindir}/*)
if(NOT programs)
  message(FATAL_ERROR "no programs to strip in ${bindir}")
endif()
foreach(program ${programs})
  execute_process(
    COMMAND ${CPACK_CNF_STRIP} --remove-section=.comment --remove-section=.note ${program}
    COMMAND_ERROR_IS_FATAL ANY)
endforeach()
