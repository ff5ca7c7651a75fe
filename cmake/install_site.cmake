# Run by `cmake --install`: copies the sample site and the table-creation scripts into the
# installation, leaving alone every file that is already there, since an installation's site files
# are its own once it has them; and writes the systemd unit for the installation's folder.
# TW_SOURCE_DIR is set by the install rule that runs this script.
set(prefix "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")

foreach(folder webroot data)
  file(GLOB_RECURSE files RELATIVE "${TW_SOURCE_DIR}/${folder}" "${TW_SOURCE_DIR}/${folder}/*")
  foreach(file IN LISTS files)
    if(NOT EXISTS "${prefix}/${folder}/${file}")
      get_filename_component(destination "${prefix}/${folder}/${file}" DIRECTORY)
      file(INSTALL "${TW_SOURCE_DIR}/${folder}/${file}" DESTINATION "${destination}")
    endif()
  endforeach()
endforeach()

# The unit's ExecStart names the installed program.
file(READ "${TW_SOURCE_DIR}/server/TarnwickServer3.service" unit)
string(REPLACE "@INSTALL_DIR@" "${CMAKE_INSTALL_PREFIX}" unit "${unit}")
message(STATUS "Installing: ${prefix}/etc/TarnwickServer3.service")
file(WRITE "${prefix}/etc/TarnwickServer3.service" "${unit}")
