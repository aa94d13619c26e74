# The Windows executable: the patch sources against <windows.h>, a GUI program that starts at
# WinMain, with its manifest and version block, linked so that it needs no DLL but the system's.

set(KELVANE_VERSION_QUAD "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
set(KELVANE_VERSION_COMMAS "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86")
  set(KELVANE_MANIFEST_ARCH x86)
else()
  set(KELVANE_MANIFEST_ARCH amd64)
endif()
set(KELVANE_MANIFEST_PATH "${CMAKE_CURRENT_BINARY_DIR}/kelvane-patch.manifest")
configure_file(src/platform/windows/kelvane-patch.manifest.in "${KELVANE_MANIFEST_PATH}" @ONLY)
configure_file(src/platform/windows/kelvane-patch.rc.in
               "${CMAKE_CURRENT_BINARY_DIR}/kelvane-patch.rc" @ONLY)

# The objects themselves, not the archive: WinMain is wanted only by the C runtime's start-up code,
# which the linker reaches after it has passed the archive by.
# The start-up's DLL search restriction is linked the same way, as an object the linker must keep.
# The lean runtime replaces the parts of libstdc++ that would bring exceptions in (see there).
set(KELVANE_WINDOWS_SOURCES $<TARGET_OBJECTS:patch_core> src/platform/windows/dll_search.cpp
    src/platform/windows/lean_runtime.cpp "${CMAKE_CURRENT_BINARY_DIR}/kelvane-patch.rc")
add_executable(kelvane-patch WIN32 ${KELVANE_WINDOWS_SOURCES})
project_warnings(kelvane-patch)
set_property(SOURCE "${CMAKE_CURRENT_BINARY_DIR}/kelvane-patch.rc" APPEND PROPERTY
             OBJECT_DEPENDS "${KELVANE_MANIFEST_PATH}")

# Static: the program runs elevated, often from a Downloads folder, so it must not load a
# libstdc++ or libgcc DLL that might lie beside it. Reproducible: no link timestamp, no build
# paths, no symbols.
# Small: no exceptions, each function and datum in a section of its own for the linker to drop
# unless reached, and std::string instantiated here rather than taken from the library (which
# _GLIBCXX_ASSERTIONS does, checking preconditions as it goes). The presets build MinSizeRel.
function(windows_program_options target)
  target_compile_options(${target} PRIVATE
    "-ffile-prefix-map=${CMAKE_SOURCE_DIR}=." "-ffile-prefix-map=${CMAKE_BINARY_DIR}=."
    -fno-exceptions -ffunction-sections -fdata-sections)
  target_compile_definitions(${target} PRIVATE _GLIBCXX_ASSERTIONS)
endfunction()
windows_program_options(patch_core)
windows_program_options(kelvane-patch)
set(KELVANE_WINDOWS_LINK_OPTIONS -static -s -Wl,--no-insert-timestamp -Wl,--gc-sections)
target_link_options(kelvane-patch PRIVATE ${KELVANE_WINDOWS_LINK_OPTIONS})

include(CTest)
if(BUILD_TESTING)
  # For the scenario that plants a DLL beside the program: named like one the system loads on
  # demand, it marks the current folder when loaded.
  add_library(planted_dll SHARED tests/planted_dll.cpp)
  set_target_properties(planted_dll PROPERTIES OUTPUT_NAME uxtheme PREFIX "")
  target_link_options(planted_dll PRIVATE -static -s)
  project_warnings(planted_dll)

  # The program again, with one allocation made to fail, for the out-of-memory sweep under Wine.
  add_executable(kelvane-patch-oom WIN32 ${KELVANE_WINDOWS_SOURCES} tests/failing_malloc.cpp)
  windows_program_options(kelvane-patch-oom)
  target_link_options(kelvane-patch-oom PRIVATE ${KELVANE_WINDOWS_LINK_OPTIONS} -Wl,--wrap=malloc)
  project_warnings(kelvane-patch-oom)

  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  add_test(NAME windows.size
           COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tests/check_windows_exe.py size
                   --max 32768 $<TARGET_FILE:kelvane-patch>)
  add_test(NAME windows.imports
           COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tests/check_windows_exe.py imports
                   --objdump ${CMAKE_OBJDUMP} $<TARGET_FILE:kelvane-patch>)
  add_test(NAME windows.resources
           COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tests/check_windows_exe.py resources
                   --version ${PROJECT_VERSION} --arch ${KELVANE_MANIFEST_ARCH}
                   $<TARGET_FILE:kelvane-patch>)
  if(KELVANE_MANIFEST_ARCH STREQUAL "x86")
    # The package players download, built twice by scripts/release.sh, and signed once.
    add_test(NAME windows.release
             COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tests/check_release.py
                     $<TARGET_FILE:kelvane-patch>)
    set_tests_properties(windows.release PROPERTIES SKIP_RETURN_CODE 77)
  endif()
  add_test(NAME windows.reproducible
           COMMAND ${CMAKE_SOURCE_DIR}/tests/check_reproducible.sh ${CMAKE_TOOLCHAIN_FILE}
                   $<TARGET_FILE:kelvane-patch>)
endif()
