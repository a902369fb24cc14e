# The waiter of detached programs is a program of its own, carried inside the library; it has no sanitizers,
# since it runs from memory and checks nothing of ours.
set(exit_waiter_main ${CMAKE_CURRENT_SOURCE_DIR}/posix/exit_waiter_main_posix.cpp)
list(REMOVE_ITEM platform_sources ${exit_waiter_main})
add_executable(exit_waiter ${exit_waiter_main})
target_compile_options(exit_waiter PRIVATE -fno-sanitize=all)
target_link_options(exit_waiter PRIVATE -fno-sanitize=all -s)
set(exit_waiter_image ${CMAKE_CURRENT_BINARY_DIR}/exit_waiter_image.cpp)
list(APPEND platform_sources ${exit_waiter_image})
add_custom_command(
  OUTPUT ${exit_waiter_image}
  COMMAND ${CMAKE_COMMAND} -DINPUT=$<TARGET_FILE:exit_waiter> -DOUTPUT=${exit_waiter_image} -DNAME=exit_waiter_image
          -P ${CMAKE_CURRENT_SOURCE_DIR}/posix/embed_program.cmake
  DEPENDS exit_waiter ${CMAKE_CURRENT_SOURCE_DIR}/posix/embed_program.cmake
  COMMENT "Embedding the exit waiter")
