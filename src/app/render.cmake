# plotanix-render: the offline renderer. For small files the process's
# start-up is most of its time, so the link keeps it short: libraries are
# linked only as needed (the window and desktop libraries of the output
# library are not), and outside sanitizer builds the C++ runtime is linked
# in rather than loaded and relocated at every start.
add_executable(plotanix-render render_main.cpp)
target_link_libraries(plotanix-render PRIVATE plotanix_core plotanix_output)
target_link_options(plotanix-render PRIVATE LINKER:--as-needed)
if(NOT PLOTANIX_SANITIZE)
  target_link_options(plotanix-render PRIVATE -static-libstdc++ -static-libgcc)
endif()
