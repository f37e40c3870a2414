# Builds the .deb from the build tree and checks what it holds: the installed product under /usr,
# units that name /usr/bin/driver-host, and manual pages that groff reads without a warning.
#   cmake -DCPACK=... -DBUILD_DIR=... -DOUT_DIR=... -P check_package.cmake
file(REMOVE_RECURSE ${OUT_DIR})
execute_process(COMMAND ${CPACK} -G DEB --config ${BUILD_DIR}/CPackConfig.cmake -B ${OUT_DIR}
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cpack -G DEB failed:\n${output}")
endif()
file(GLOB packages ${OUT_DIR}/*.deb)
list(LENGTH packages count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected one .deb in ${OUT_DIR}, found: ${packages}")
endif()

execute_process(COMMAND dpkg-deb -x ${packages} ${OUT_DIR}/root RESULT_VARIABLE result)
execute_process(COMMAND dpkg-deb -e ${packages} ${OUT_DIR}/control)
set(root ${OUT_DIR}/root/usr)
foreach(file bin/driver-host bin/sensorctl lib/thermal-driver/libplatform.so lib/thermal-driver/thermal_driver.so
             share/thermal-driver/trace_formats/sensor.txt share/man/man1/sensorctl.1 share/man/man8/driver-host.8
             lib/systemd/system/thermal-driver.service lib/systemd/system/thermal-driver.socket
             lib/systemd/user/thermal-driver.service lib/systemd/user/thermal-driver.socket
             lib/sysusers.d/thermal-driver.conf)
  if(NOT EXISTS ${root}/${file})
    list(APPEND missing ${file})
  endif()
endforeach()
if(NOT EXISTS ${OUT_DIR}/control/postinst)
  list(APPEND missing DEBIAN/postinst)
endif()
if(missing)
  message(FATAL_ERROR "the .deb lacks: ${missing}")
endif()

foreach(scope system user)
  file(READ ${root}/lib/systemd/${scope}/thermal-driver.service unit)
  if(NOT unit MATCHES "\nExecStart=/usr/bin/driver-host")
    message(FATAL_ERROR "the ${scope} unit does not start /usr/bin/driver-host:\n${unit}")
  endif()
endforeach()

find_program(GROFF groff)
if(GROFF)
  foreach(page man1/sensorctl.1 man8/driver-host.8)
    execute_process(COMMAND ${GROFF} -man -ww -z ${root}/share/man/${page} ERROR_VARIABLE warnings)
    if(warnings)
      message(FATAL_ERROR "groff warns about ${page}:\n${warnings}")
    endif()
  endforeach()
endif()
message(STATUS "${packages}: complete")
