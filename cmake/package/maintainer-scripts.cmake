# Run by cpack after staging the Debian package's files and before packing
# them (CPACK_PRE_BUILD_SCRIPTS): the maintainer scripts, ours with
# debhelper's part for the service where they say #DEBHELPER#, written by
# debhelper itself as for a Debian source package. dh_installsystemd reads
# the staged units and picks its snippets (--no-enable: the admin enables
# the service; restarted after an upgrade, stopped on removal, its links
# cleaned on purge), dh_installdeb puts them into the scripts.
find_program(DH_INSTALLSYSTEMD dh_installsystemd)
find_program(DH_INSTALLDEB dh_installdeb)
if(NOT DH_INSTALLSYSTEMD OR NOT DH_INSTALLDEB)
  message(FATAL_ERROR "The Debian package's maintainer scripts need debhelper "
    "(Debian package debhelper): dh_installsystemd, dh_installdeb")
endif()

set(package ${CPACK_PACKAGE_NAME})
set(dir ${CPACK_DORQIN_MAINTAINER_DIR})
file(REMOVE_RECURSE ${dir})
file(MAKE_DIRECTORY ${dir}/debian/${package}/lib/systemd/system)
file(WRITE ${dir}/debian/control "Source: ${package}
Build-Depends: debhelper-compat (= 13)

Package: ${package}
Architecture: any
Description: ${CPACK_PACKAGE_DESCRIPTION_SUMMARY}
")
# The units the package holds, where debhelper looks for them.
file(GLOB_RECURSE units ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/lib/systemd/system/*)
if(NOT units)
  message(FATAL_ERROR "no systemd unit staged under ${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
file(COPY ${units} DESTINATION ${dir}/debian/${package}/lib/systemd/system)
foreach(script postinst postrm)
  configure_file(${CPACK_DORQIN_SCRIPT_TEMPLATES}/${script} ${dir}/debian/${package}.${script} COPYONLY)
endforeach()
foreach(command "${DH_INSTALLSYSTEMD};--no-enable" "${DH_INSTALLDEB}")
  execute_process(COMMAND ${command} -p${package} WORKING_DIRECTORY ${dir}
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${command} failed: ${status}")
  endif()
endforeach()
foreach(script postinst prerm postrm)
  file(COPY ${dir}/debian/${package}/DEBIAN/${script} DESTINATION ${dir})
endforeach()
