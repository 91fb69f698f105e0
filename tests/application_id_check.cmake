# Configures the project with a custom application id in a scratch folder and
# checks that the application folder's entry, icon and uninstall script, and
# the installed entry and metainfo, carry that id: the launcher looks for
# <id>.desktop and <id>.svg.
#   cmake -DSOURCE=<tree> -P application_id_check.cmake
# The scratch folder goes in the temporary folder: the build folder need not be
# writable by whoever runs the unit tests.
set(id org.example.Game)
set(temporary "$ENV{TMPDIR}")
if(NOT temporary)
  set(temporary /tmp)
endif()
string(RANDOM LENGTH 12 suffix)
set(SCRATCH "${temporary}/vorlia-application-id-${suffix}")
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${SCRATCH} -G Ninja -DVORLIA_APPLICATION_ID=${id}
                RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
if(NOT status EQUAL 0)
  file(REMOVE_RECURSE ${SCRATCH})
  message(FATAL_ERROR "configuring with the id ${id} failed")
endif()
foreach(file Vorlia.app/${id}.desktop Vorlia.app/${id}.svg demo/Vorlia.app/${id}.desktop
             packaging/installed/${id}.desktop packaging/installed/${id}.metainfo.xml)
  if(NOT EXISTS ${SCRATCH}/${file})
    message(FATAL_ERROR "no ${file}")
  endif()
endforeach()
file(READ ${SCRATCH}/Vorlia.app/${id}.desktop entry)
file(READ ${SCRATCH}/Vorlia.app/uninstall.sh script)
file(READ ${SCRATCH}/packaging/installed/${id}.metainfo.xml metainfo)
if(NOT entry MATCHES "\nIcon=${id}\n" OR NOT script MATCHES "\nid=${id}\n" OR NOT metainfo MATCHES "<id>${id}</id>")
  message(FATAL_ERROR "the entry's Icon=, the uninstall script's id or the metainfo's id is not ${id}")
endif()
file(GLOB other ${SCRATCH}/Vorlia.app/io.vorlia.* ${SCRATCH}/packaging/installed/io.vorlia.*)
if(other)
  message(FATAL_ERROR "files named after the default id: ${other}")
endif()
file(REMOVE_RECURSE ${SCRATCH})
message("the id ${id} names every file")
