# Checks the SDK's layering: a file in sdk/FOLDER may include headers of its own folder and of
# the folders below it, never one above, and no file is longer than 600 lines.
# Run as: cmake -DSDK_DIR=<path of sdk> -P check_layers.cmake   (exit code 1 on a violation)
cmake_minimum_required(VERSION 3.25)
set(layers platform state record media control sources core)
if(NOT SDK_DIR)
  message(FATAL_ERROR "SDK_DIR is not set")
endif()

# Upward includes that exist today and are being removed; none may be added.
set(known_upward
  "record/unit_recorder.cc -> core"
  "media/av_display.cc -> core"
  "media/av_display.cc -> sources"
  "media/ddraw_render.cc -> core"
  "media/overlay.cc -> core"
  "media/av_sound.cc -> core"
  "sources/av_source.cc -> core"
  "sources/av_source_udp.cc -> core"
  "sources/av_source_file.cc -> core")

# Files over the limit that are being split; none may be added.
set(known_long "platform/socket.cc")

set(violations 0)
list(LENGTH layers count)
math(EXPR last "${count} - 1")
foreach(rank RANGE ${last})
  list(GET layers ${rank} folder)
  file(GLOB files ${SDK_DIR}/${folder}/*.h ${SDK_DIR}/${folder}/*.cc ${SDK_DIR}/${folder}/*.c)
  foreach(file IN LISTS files)
    file(RELATIVE_PATH name ${SDK_DIR} ${file})
    file(READ ${file} text)
    string(REGEX MATCHALL "\n" newlines "${text}")
    list(LENGTH newlines length)
    if(length GREATER 600 AND NOT name IN_LIST known_long)
      message("sdk/${name}: ${length} lines (at most 600)")
      math(EXPR violations "${violations} + 1")
    endif()
    file(STRINGS ${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"sdk/")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^[^\"]*\"sdk/([^/\"]+)/.*$" "\\1" target "${line}")
      list(FIND layers ${target} target_rank)
      if(target_rank GREATER rank)
        if(NOT "${name} -> ${target}" IN_LIST known_upward)
          message("sdk/${name} includes a header of sdk/${target}, a layer above sdk/${folder}: ${line}")
          math(EXPR violations "${violations} + 1")
        endif()
      endif()
    endforeach()
  endforeach()
endforeach()
if(violations GREATER 0)
  message(FATAL_ERROR "${violations} layering violation(s) in sdk/")
endif()
