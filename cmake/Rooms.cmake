# The rooms of the tree and the one rule between them: a file includes only
# headers of its own room or of a room below it, and a library links only
# libraries of rooms below its own. Rooms named on one level are peers that
# never use each other. The order itself is UPDATE_ROOMS in the top-level
# CMakeLists.txt, the only place it is written.
#
# Included by the build: update_room_level() and update_check_room_links().
# Run as a script (the CTest Layout.IncludesPointDown):
#   cmake -DROOMS="app;flash fetch oem env;..." -DROOT=<tree> -P cmake/Rooms.cmake
# prints every include of a room above or beside the file's own and fails.
cmake_policy(VERSION 3.25)

# Level of a room in ROOMS (0 = top), or -1 when the name is no room.
function(update_room_level rooms room out)
  set(level 0)
  foreach(line IN LISTS rooms)
    string(REPLACE " " ";" names "${line}")
    if(room IN_LIST names)
      set(${out} ${level} PARENT_SCOPE)
      return()
    endif()
    math(EXPR level "${level} + 1")
  endforeach()
  set(${out} -1 PARENT_SCOPE)
endfunction()

# Fails the configuration when a room's library links a library of a room
# at or above its own (libraries are named update_<room>).
function(update_check_room_links rooms)
  foreach(line IN LISTS rooms)
    string(REPLACE " " ";" names "${line}")
    foreach(room IN LISTS names)
      update_room_level("${rooms}" ${room} mine)
      get_target_property(libs update_${room} LINK_LIBRARIES)
      foreach(lib IN LISTS libs)
        if(lib MATCHES "^update_([a-z]+)$" AND NOT lib STREQUAL "update_${room}")
          update_room_level("${rooms}" ${CMAKE_MATCH_1} theirs)
          if(theirs GREATER -1 AND NOT theirs GREATER mine)
            message(FATAL_ERROR "update_${room} links ${lib}: a room links only rooms below its own")
          endif()
        endif()
      endforeach()
    endforeach()
  endforeach()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  if(NOT DEFINED ROOMS OR NOT DEFINED ROOT)
    message(FATAL_ERROR "usage: cmake -DROOMS=<rooms> -DROOT=<tree> -P Rooms.cmake")
  endif()
  set(faults 0)
  foreach(line IN LISTS ROOMS)
    string(REPLACE " " ";" names "${line}")
    foreach(room IN LISTS names)
      update_room_level("${ROOMS}" ${room} mine)
      file(GLOB_RECURSE files RELATIVE ${ROOT} ${ROOT}/${room}/*.h ${ROOT}/${room}/*.cpp ${ROOT}/${room}/*.c)
      foreach(file IN LISTS files)
        file(STRINGS ${ROOT}/${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[a-z_]+/")
        foreach(inc IN LISTS includes)
          string(REGEX REPLACE "^[^\"]*\"([a-z_]+)/.*$" "\\1" theirs_name "${inc}")
          if(theirs_name STREQUAL room)
            continue()
          endif()
          update_room_level("${ROOMS}" ${theirs_name} theirs)
          if(theirs GREATER -1 AND NOT theirs GREATER mine)
            string(STRIP "${inc}" inc)
            message("${file}: ${inc}: ${theirs_name} is not below ${room}")
            math(EXPR faults "${faults} + 1")
          endif()
        endforeach()
      endforeach()
    endforeach()
  endforeach()
  if(faults GREATER 0)
    message(FATAL_ERROR "${faults} include(s) against the room order (top to bottom: ${ROOMS})")
  endif()
  message("every include points down the room order (${ROOMS})")
endif()
