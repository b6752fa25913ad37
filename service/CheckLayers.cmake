# Run by the build (cmake -P): stops it on an include of another service
# subsystem that the including subsystem's library does not link, so the
# arrows between subsystems point down only, also for header-only parts
# that a link would not catch. LAYERS: "sub=allowed,allowed|sub=...".
cmake_minimum_required(VERSION 3.16)
string(REPLACE "|" ";" layers "${LAYERS}")
set(failures "")
foreach(layer IN LISTS layers)
    string(REGEX REPLACE "=.*" "" subsystem "${layer}")
    string(REGEX REPLACE "^[^=]*=" "" allowed "${layer}")
    string(REPLACE "," ";" allowed "${allowed}")
    # Header-only test helpers, shared by the subsystems' tests.
    list(APPEND allowed ${subsystem} testsupport)
    file(GLOB_RECURSE files "${SERVICE_DIR}/${subsystem}/*.h" "${SERVICE_DIR}/${subsystem}/*.cpp")
    foreach(file IN LISTS files)
        file(STRINGS "${file}" includes REGEX "^#include \"service/[^/]+/")
        foreach(line IN LISTS includes)
            string(REGEX REPLACE "^#include \"service/([^/]+)/.*" "\\1" included "${line}")
            if(NOT included IN_LIST allowed)
                file(RELATIVE_PATH shown "${SERVICE_DIR}/.." "${file}")
                list(APPEND failures "${shown}: ${line}")
            endif()
        endforeach()
    endforeach()
endforeach()
if(failures)
    string(REPLACE ";" "\n  " failures "${failures}")
    message(FATAL_ERROR "Includes that run up or sideways between service subsystems:\n  ${failures}")
endif()
