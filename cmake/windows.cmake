# The shipped executables. Everything here serves three ends: start on every
# Windows the program must run on or refuse (system DLLs only, PE versions
# no higher than the oldest such system's), stay small, and come out
# byte-identical from every clean build.
enable_language(RC)

# The toolchain files name the target; a native MinGW build defaults to x86,
# which must start on Windows 95 and NT 4.0 so as to refuse them.
if(NOT PATCH_OS_VERSION)
  set(PATCH_OS_VERSION 4.00)
endif()
if(NOT PATCH_EXE_NAME)
  set(PATCH_EXE_NAME quenlor-patch)
endif()

# No C runtime: only system DLLs (the program imports KERNEL32 and ADVAPI32,
# and loads user32 itself; the do-nothing baseline imports USER32 too), and
# its own entry point (platform/start.cpp) instead of the runtime's start-up
# code.
set(CMAKE_CXX_STANDARD_LIBRARIES "")
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(PATCH_ENTRY PatchStart)
else()
  set(PATCH_ENTRY _PatchStart@0) # a WINAPI function's name as x86 objects spell it
endif()

# "4.00" or "5.02": the subsystem version the loader checks, and the OS
# version beside it.
string(REPLACE "." ";" PATCH_OS_PARTS ${PATCH_OS_VERSION})
list(GET PATCH_OS_PARTS 0 PATCH_OS_MAJOR)
list(GET PATCH_OS_PARTS 1 PATCH_OS_MINOR)
math(EXPR PATCH_OS_MINOR "${PATCH_OS_MINOR}")
set(PATCH_WINDOWS_FLAGS -Os -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
    -fno-stack-protector -mno-stack-arg-probe -fno-ident -malign-data=abi
    -ffile-prefix-map=${PROJECT_SOURCE_DIR}=.)
if(NOT CMAKE_SIZEOF_VOID_P EQUAL 8)
  # Windows keeps the x86 stack 4-byte aligned, as MSVC does; keeping it at
  # GCC's 16 bytes costs padding around every call.
  list(APPEND PATCH_WINDOWS_FLAGS -mpreferred-stack-boundary=2)
endif()
set(PATCH_WINDOWS_LINK_FLAGS -s -nostdlib -Wl,-e,${PATCH_ENTRY} -Wl,--no-insert-timestamp
    -Wl,--subsystem,windows:${PATCH_OS_MAJOR}.${PATCH_OS_MINOR}
    -Wl,--major-os-version,${PATCH_OS_MAJOR} -Wl,--minor-os-version,${PATCH_OS_MINOR})

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
  add_executable(${name} WIN32 ${ARGN} platform/start.cpp ${CMAKE_CURRENT_BINARY_DIR}/${name}.rc)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE ${PATCH_WINDOWS_FLAGS})
  target_link_options(${name} PRIVATE ${PATCH_WINDOWS_LINK_FLAGS})
  target_link_libraries(${name} PRIVATE kernel32 advapi32 user32)
endfunction()

patch_windows_executable(${PATCH_EXE_NAME}
  "Quenlor audio driver pre-install patch" ${PATCH_SOURCES})
install(TARGETS ${PATCH_EXE_NAME} RUNTIME DESTINATION .)

patch_windows_executable(baseline-${PATCH_EXE_NAME}
  "Quenlor audio driver pre-install patch" tests/windows/baseline.cpp)

# The Wine harness's tools, the box reader, the registry tool and the
# signature checker, one of each for each prefix's architecture, so that a
# 64-bit prefix needs no 32-bit code. The box reader's image base keeps its own calls apart from the
# patch's in a relay trace.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(boxreader_base 0x110000000)
else()
  set(boxreader_base 0x10000000)
endif()
add_executable(boxreader tools/boxreader.cpp)
target_compile_options(boxreader PRIVATE -Os)
target_link_options(boxreader PRIVATE -s -static -Wl,--image-base,${boxreader_base})
target_link_libraries(boxreader PRIVATE advapi32 user32 shell32)
add_executable(regtool tools/regtool.cpp)
target_compile_options(regtool PRIVATE -Os)
target_link_options(regtool PRIVATE -s -static)
target_link_libraries(regtool PRIVATE advapi32)
# The DLL that the suite plants beside the executables under every name
# Windows might load into them: its own entry point, and no C runtime, so
# that it imports nothing a test plants.
add_library(planted SHARED tests/wine/planted.cpp)
set_target_properties(planted PROPERTIES PREFIX "")
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(planted_entry PlantedMain)
else()
  set(planted_entry _PlantedMain@12)
endif()
target_compile_options(planted PRIVATE -Os)
target_link_options(planted PRIVATE -s -nostdlib -Wl,-e,${planted_entry})
target_link_libraries(planted PRIVATE kernel32)
# And the signature checker of the signed release.
add_executable(trustcheck tests/wine/trustcheck.cpp)
target_compile_options(trustcheck PRIVATE -Os)
target_link_options(trustcheck PRIVATE -s -static)
target_link_libraries(trustcheck PRIVATE crypt32 wintrust)
