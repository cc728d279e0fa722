# velm_recorder: the stand-in co-op launcher of the end-to-end runs (see recorder.cpp). It uses
# nothing of the launcher, so a package can ship it as its coop.exe.
add_executable(velm_recorder "${CMAKE_CURRENT_LIST_DIR}/recorder.cpp")
target_link_libraries(velm_recorder PRIVATE velm_warnings)
if(WIN32)
  target_link_libraries(velm_recorder PRIVATE shell32)
  target_link_options(velm_recorder PRIVATE -static -static-libgcc -static-libstdc++)
endif()
