# plotanix-render: the offline renderer. For small files the process's
# start-up is a large part of its time, so the link keeps it short:
# libraries are linked only as needed (the window and desktop libraries of
# the output library are not), cairo is loaded only for a copy (SVG, PDF,
# enlarged PNG) from a module beside the program or in its library folder,
# and outside sanitizer builds the C++ runtime is linked in rather than
# loaded and relocated at every start.
include(GNUInstallDirs)
find_package(Threads REQUIRED)
pkg_check_modules(RENDER_CAIRO REQUIRED IMPORTED_TARGET cairo cairo-ft cairo-svg cairo-pdf cairo-png)

set(PLOTANIX_COPIES_MODULE plotanix-render-copies.so)
file(RELATIVE_PATH PLOTANIX_COPIES_FROM_PROGRAM ${CMAKE_INSTALL_FULL_BINDIR}
  ${CMAKE_INSTALL_FULL_LIBDIR}/plotanix)

add_executable(plotanix-render render_main.cpp render_batch.cpp render_renderer.cpp
  render_copies.cpp)
target_link_libraries(plotanix-render PRIVATE plotanix_core plotanix_output Threads::Threads
  ${CMAKE_DL_LIBS})
target_compile_definitions(plotanix-render PRIVATE PLOTANIX_VERSION="${PROJECT_VERSION}"
  PLOTANIX_COPIES_MODULE="${PLOTANIX_COPIES_MODULE}"
  PLOTANIX_COPIES_FROM_PROGRAM="${PLOTANIX_COPIES_FROM_PROGRAM}")
target_link_options(plotanix-render PRIVATE LINKER:--as-needed)
if(NOT PLOTANIX_SANITIZE)
  target_link_options(plotanix-render PRIVATE -static-libstdc++ -static-libgcc)
endif()

# The label font's libraries (FreeType, fontconfig and what they use) and
# the PNG encoder's may be linked in where their static archives exist: most
# files draw no label, and loading and relocating shared libraries at every
# start costs more than drawing a small file (about a sixth of a small
# file's time). Off by default: a Debian package must use the system's
# shared copies (lintian: embedded-library), so that their security fixes
# reach the program. Sanitizer builds always keep the shared libraries.
option(PLOTANIX_RENDER_STATIC_LIBS "Link plotanix-render's libraries in where archives exist" OFF)
set(render_archives)
foreach(name fontconfig freetype png16 z brotlidec brotlicommon expat)
  find_library(PLOTANIX_ARCHIVE_${name} NAMES lib${name}.a)
  list(APPEND render_archives ${PLOTANIX_ARCHIVE_${name}})
endforeach()
if(PLOTANIX_RENDER_STATIC_LIBS AND NOT PLOTANIX_SANITIZE AND NOT render_archives MATCHES "NOTFOUND")
  # After the libraries that use them, so that their members are taken;
  # the shared copies later on the line are then not needed.
  target_link_libraries(plotanix-render PRIVATE plotanix_page plotanix_output ${render_archives} m)
endif()

add_library(plotanix-render-copies MODULE render_copies_module.cpp
  ${PROJECT_SOURCE_DIR}/src/output/vector_copy.cpp ${PROJECT_SOURCE_DIR}/src/output/atomic_file.cpp)
target_include_directories(plotanix-render-copies PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(plotanix-render-copies PRIVATE PkgConfig::RENDER_CAIRO
  PkgConfig::FONTCONFIG PkgConfig::FREETYPE)
if(NOT PLOTANIX_SANITIZE) # the sanitizers' runtime comes with the program
  target_link_options(plotanix-render-copies PRIVATE LINKER:--no-undefined)
endif()
set_target_properties(plotanix-render-copies PROPERTIES PREFIX "" SUFFIX ".so"
  OUTPUT_NAME plotanix-render-copies LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
  CXX_VISIBILITY_PRESET hidden)
add_dependencies(plotanix-render plotanix-render-copies)
install(TARGETS plotanix-render-copies LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/plotanix)
