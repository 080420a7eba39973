# Checks that the driver's folders form layers that only point down: a file
# includes headers of its own folder or of a lower layer, never of a higher or
# a sibling one. Run: cmake -DSOURCE_DIR=<src> -P check_layers.cmake
#
#   entry      QelMain and the function-code table
#   instance   ColdStart, WarmStart, EndQel, the port requests
#   listener   the listener thread
#   commands   the command table, parse, reads, writes, decoding
#   serial     the BCU's byte-handshake line: ports, handshakes, frames
#     | tunnel   the KNXnet/IP tunnel, a link beside it
#     | routing  KNXnet/IP routing on a multicast group, a link beside them
#     | ft12     the FT1.2 line to a BCU2 or a cEMI interface, a link beside them
#   secure     KNX IP Secure: its frames, CCM, key derivations, the keyring
#   link       the link seam: LinkMethods, the line lock, the listener's wake
#              and stop, PollUntil, line priority
#   port_map   what a short port name stands for
#   host       the host library's functions and the log catalogue
#   abi        records shared with the host          | platform  the OS seam
set(QEL_LAYERS abi=0 platform=0 host=1 port_map=2 link=3 secure=3 serial=4 tunnel=4 routing=4 ft12=4 commands=5 listener=6 instance=7 entry=8)

function(layer_rank folder out)
  foreach(entry IN LISTS QEL_LAYERS)
    string(REPLACE "=" ";" pair "${entry}")
    list(GET pair 0 name)
    list(GET pair 1 rank)
    if(name STREQUAL folder)
      set(${out} ${rank} PARENT_SCOPE)
      return()
    endif()
  endforeach()
  set(${out} "" PARENT_SCOPE)
endfunction()

get_filename_component(SOURCE_DIR "${SOURCE_DIR}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
file(GLOB_RECURSE files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*.h ${SOURCE_DIR}/*.cpp)
if(NOT files)
  message(FATAL_ERROR "no sources under ${SOURCE_DIR}")
endif()
set(violations 0)
foreach(file IN LISTS files)
  string(REGEX MATCH "^[^/]+" own "${file}")
  layer_rank(${own} ownRank)
  if(ownRank STREQUAL "")
    message(SEND_ERROR "${file}: folder '${own}' is no layer")
    math(EXPR violations "${violations} + 1")
    continue()
  endif()
  file(STRINGS ${SOURCE_DIR}/${file} includes REGEX "^#include \"[a-z_]+/")
  foreach(line IN LISTS includes)
    string(REGEX MATCH "\"([a-z_]+)/" _ "${line}")
    set(target ${CMAKE_MATCH_1})
    if(target STREQUAL own)
      continue()
    endif()
    layer_rank(${target} targetRank)
    if(targetRank STREQUAL "" OR NOT targetRank LESS ownRank)
      message(SEND_ERROR "${file}: ${line} points up or sideways (${own} -> ${target})")
      math(EXPR violations "${violations} + 1")
    endif()
  endforeach()
endforeach()
if(violations GREATER 0)
  message(FATAL_ERROR "${violations} include(s) against the layers")
endif()
message(STATUS "layers: every include points down")
