# Checks that every source under ROOT includes only what its layer may:
#   cmake -DROOT=<src folder> -P CheckLayers.cmake
# Each folder may include its own headers and those of the folders below it,
# and none of the toolkits its layer must stay free of. update/gtk/, the
# updater's screen, is a layer of its own above update/. Every breach is
# printed; any breach fails.
cmake_minimum_required(VERSION 3.25)
if(NOT ROOT)
  message(FATAL_ERROR "Usage: cmake -DROOT=<folder> -P CheckLayers.cmake")
endif()

# Folder: the project folders it may include.
set(allowed_base base)
set(allowed_rules base rules)
set(allowed_place base rules place)
set(allowed_window base rules window)
set(allowed_update base rules place update)
set(allowed_update/gtk base rules place window update update/gtk)
set(allowed_app base rules place window update update/gtk app)
set(allowed_demo base rules place window update update/gtk app demo)

# Folder: the outside headers it must not include (include path prefixes).
set(toolkits "gtk/;gtkmm/;gtkmm\\.h;gdk/;gdkmm/;glibmm/;giomm/;webkit/;libsoup/;archive\\.h;archive_entry\\.h")
set(forbidden_base ${toolkits})
set(forbidden_rules ${toolkits})
set(forbidden_place ${toolkits})
set(forbidden_window "libsoup/;archive\\.h;archive_entry\\.h")
set(forbidden_update "gtk/;gtkmm/;gtkmm\\.h;gdk/;gdkmm/;webkit/")
set(forbidden_update/gtk "webkit/;libsoup/;archive\\.h;archive_entry\\.h")

set(project_folders base rules place window update update/gtk app demo)
set(breaches "")
file(GLOB_RECURSE sources RELATIVE ${ROOT} ${ROOT}/*.cpp ${ROOT}/*.hpp ${ROOT}/*.c ${ROOT}/*.h ${ROOT}/*.in)
# The layer of a path inside the source tree: its first folder, or update/gtk.
macro(layer_of path out)
  if("${path}" MATCHES "^update/gtk/")
    set(${out} update/gtk)
  else()
    string(REGEX MATCH "^[^/]+" ${out} "${path}")
  endif()
endmacro()

foreach(source IN LISTS sources)
  layer_of("${source}" folder)
  if(NOT DEFINED allowed_${folder})
    list(APPEND breaches "${source}: the folder ${folder} has no place among the layers")
    continue()
  endif()
  file(STRINGS ${ROOT}/${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<]")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[\"<]([^\">]*)[\">].*" "\\1" header "${line}")
    layer_of("${header}" top)
    if(top IN_LIST project_folders AND NOT top IN_LIST allowed_${folder})
      list(APPEND breaches "${source} includes ${header}: ${folder}/ may not include ${top}/")
    endif()
    foreach(prefix IN LISTS forbidden_${folder})
      if(header MATCHES "^${prefix}")
        list(APPEND breaches "${source} includes ${header}: ${folder}/ must stay free of it")
      endif()
    endforeach()
  endforeach()
endforeach()

if(breaches)
  list(JOIN breaches "\n  " text)
  message(FATAL_ERROR "Includes that break the layers:\n  ${text}")
endif()
