# The shipped executables. Everything here serves three ends: load on a bare
# Windows XP (system DLLs only, PE versions no higher than XP's), stay small,
# and come out byte-identical from every clean build.
enable_language(RC)

# The toolchain files name the target; a native MinGW build defaults to XP.
if(NOT PATCH_OS_VERSION)
  set(PATCH_OS_VERSION 5.01)
endif()
if(NOT PATCH_EXE_NAME)
  set(PATCH_EXE_NAME quenlor-patch)
endif()

# Only the DLLs the program calls, and in the compiler's own order after them,
# where msvcrt comes before kernel32: XP x64's KERNEL32 may lack some runtime
# helpers (__C_specific_handler) that its msvcrt has.
set(CMAKE_CXX_STANDARD_LIBRARIES "")

string(REGEX REPLACE "^5\\.0?" "" PATCH_OS_MINOR ${PATCH_OS_VERSION})
set(PATCH_WINDOWS_FLAGS -Os -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
    -ffile-prefix-map=${PROJECT_SOURCE_DIR}=.)
set(PATCH_WINDOWS_LINK_FLAGS -s -static -mwindows -Wl,--no-insert-timestamp
    -Wl,--subsystem,windows:${PATCH_OS_VERSION}
    -Wl,--major-os-version,5 -Wl,--minor-os-version,${PATCH_OS_MINOR})

# The manifest (docs/design.md says why each part is as it is): common
# controls 6 for the system's visual style on XP, and a requestedExecutionLevel
# in the one trustInfo form every XP accepts. Its own identity names the
# processor, as XP expects of an application.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(PATCH_MANIFEST_ARCH amd64)
else()
  set(PATCH_MANIFEST_ARCH x86)
endif()
set(PATCH_MANIFEST ${CMAKE_CURRENT_BINARY_DIR}/manifest.xml)
configure_file(${PROJECT_SOURCE_DIR}/platform/manifest.xml.in ${PATCH_MANIFEST} @ONLY)

# A GUI executable built the way the product is, with its version resource,
# icon and manifest; the do-nothing baseline of the size check is built by it
# too, so that the two differ by the program alone.
function(patch_windows_executable name description)
  set(PATCH_FILE_NAME ${name}.exe)
  set(PATCH_DESCRIPTION ${description})
  configure_file(${PROJECT_SOURCE_DIR}/platform/version.rc.in ${name}.rc @ONLY)
  set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/${name}.rc PROPERTIES OBJECT_DEPENDS
    "${PATCH_MANIFEST};${PROJECT_SOURCE_DIR}/platform/patch.ico")
  add_executable(${name} WIN32 ${ARGN} ${CMAKE_CURRENT_BINARY_DIR}/${name}.rc)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE ${PATCH_WINDOWS_FLAGS})
  target_link_options(${name} PRIVATE ${PATCH_WINDOWS_LINK_FLAGS})
  target_link_libraries(${name} PRIVATE advapi32 user32)
endfunction()

patch_windows_executable(${PATCH_EXE_NAME}
  "Quenlor audio driver pre-install patch" ${PATCH_SOURCES})
install(TARGETS ${PATCH_EXE_NAME} RUNTIME DESTINATION .)

patch_windows_executable(baseline-${PATCH_EXE_NAME}
  "Quenlor audio driver pre-install patch" tests/windows/baseline.cpp)

# The Wine harness's tools, the box reader and the registry tool, one of each
# for each prefix's architecture, so that a 64-bit prefix needs no 32-bit
# code. The box reader's image base keeps its own calls apart from the
# patch's in a relay trace.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(boxreader_base 0x110000000)
else()
  set(boxreader_base 0x10000000)
endif()
add_executable(boxreader tools/boxreader.cpp)
target_compile_options(boxreader PRIVATE -Os)
target_link_options(boxreader PRIVATE -s -static -Wl,--image-base,${boxreader_base})
target_link_libraries(boxreader PRIVATE advapi32 user32)
add_executable(regtool tests/wine/regtool.cpp)
target_compile_options(regtool PRIVATE -Os)
target_link_options(regtool PRIVATE -s -static)
target_link_libraries(regtool PRIVATE advapi32)
