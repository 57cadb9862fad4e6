# plotanix-render: the offline renderer. For small files the process's
# start-up is a large part of its time, so the link keeps it short:
# libraries are linked only as needed (the window and desktop libraries of
# the output library are not), and outside sanitizer builds the C++ runtime
# is linked in rather than loaded and relocated at every start.
find_package(Threads REQUIRED)
add_executable(plotanix-render render_main.cpp render_batch.cpp render_renderer.cpp render_copies.cpp)
target_link_libraries(plotanix-render PRIVATE plotanix_core plotanix_output Threads::Threads)
target_compile_definitions(plotanix-render PRIVATE PLOTANIX_VERSION="${PROJECT_VERSION}")
target_link_options(plotanix-render PRIVATE LINKER:--as-needed)
if(NOT PLOTANIX_SANITIZE)
  target_link_options(plotanix-render PRIVATE -static-libstdc++ -static-libgcc)
endif()
