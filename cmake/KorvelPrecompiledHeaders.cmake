# Most of a translation unit's compile time here goes into Qt's headers: every
# test includes <QtTest>, which brings in all of QtCore, and the service's
# units bring in QtNetwork, QtQml and QtQuick. One precompiled header of them
# is built once per build folder and reused by every C++ target that links Qt.
# korvel_share_precompiled_headers() walks the targets after all folders were
# added, so a folder's CMakeLists needs no line of its own.
#
# GCC takes a precompiled header only where the macros it was built with are
# defined the same way, and where the macros its headers test are too. Outside
# QtTest, Qt's headers test none of the per-module QT_*_LIB macros (which
# differ from target to target), so QtTest stays out and one header, built with
# QtCore's macros only, serves them all. -Winvalid-pch turns a mismatch into a
# warning instead of a silently slow build.
option(KORVEL_PRECOMPILED_HEADERS "Share one precompiled header of Qt between the targets" ON)

set(_korvel_pch_headers
    <QtCore/QtCore>
    <QtNetwork/QHostAddress>
    <QtNetwork/QNetworkAccessManager>
    <QtNetwork/QNetworkReply>
    <QtNetwork/QTcpServer>
    <QtNetwork/QTcpSocket>
    <QtNetwork/QUdpSocket>)

# _korvel_targets_below(DIR OUT): the targets DIR and its subfolders define.
function(_korvel_targets_below dir out)
    get_property(targets DIRECTORY "${dir}" PROPERTY BUILDSYSTEM_TARGETS)
    get_property(subdirs DIRECTORY "${dir}" PROPERTY SUBDIRECTORIES)
    foreach(subdir ${subdirs})
        _korvel_targets_below("${subdir}" below)
        list(APPEND targets ${below})
    endforeach()
    set(${out} ${targets} PARENT_SCOPE)
endfunction()

# _korvel_links_qt(TARGET OUT): whether TARGET links Qt5::Core, directly or
# through a library of the project.
function(_korvel_links_qt target out)
    set(result FALSE)
    get_target_property(libs ${target} LINK_LIBRARIES)
    foreach(lib ${libs})
        if(lib MATCHES "^Qt5::")
            set(result TRUE)
        elseif(TARGET "${lib}" AND NOT lib MATCHES "::")
            get_target_property(type ${lib} TYPE)
            if(NOT type STREQUAL "INTERFACE_LIBRARY")
                _korvel_links_qt(${lib} below)
                if(below)
                    set(result TRUE)
                endif()
            endif()
        endif()
        if(result)
            break()
        endif()
    endforeach()
    set(${out} ${result} PARENT_SCOPE)
endfunction()

function(korvel_share_precompiled_headers)
    if(NOT KORVEL_PRECOMPILED_HEADERS)
        return()
    endif()
    add_library(korvel_qt_pch STATIC "${PROJECT_SOURCE_DIR}/cmake/QtPch.cpp")
    set_target_properties(korvel_qt_pch PROPERTIES AUTOMOC OFF AUTORCC OFF)
    # Built with QtCore's macros only: GCC refuses the header to a unit that
    # lacks a macro defined when it was built, and every consumer has these.
    target_link_libraries(korvel_qt_pch PRIVATE Qt5::Core)
    foreach(module Gui Network Qml Quick)
        target_include_directories(korvel_qt_pch SYSTEM PRIVATE
            $<TARGET_PROPERTY:Qt5::${module},INTERFACE_INCLUDE_DIRECTORIES>)
    endforeach()
    target_precompile_headers(korvel_qt_pch PRIVATE ${_korvel_pch_headers})

    _korvel_targets_below("${PROJECT_SOURCE_DIR}" targets)
    foreach(target ${targets})
        get_target_property(type ${target} TYPE)
        if(NOT type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY)$"
                OR target STREQUAL "korvel_qt_pch")
            continue()
        endif()
        get_target_property(own ${target} PRECOMPILE_HEADERS)
        get_target_property(reused ${target} PRECOMPILE_HEADERS_REUSE_FROM)
        if(own OR reused)
            continue()
        endif()
        _korvel_links_qt(${target} links_qt)
        if(links_qt)
            target_precompile_headers(${target} REUSE_FROM korvel_qt_pch)
            target_compile_options(${target} PRIVATE -Winvalid-pch)
            if(type STREQUAL "EXECUTABLE")
                # A program's moc output is empty here (tests include their
                # own); loading the header into it would cost more than it has.
                get_target_property(binary_dir ${target} BINARY_DIR)
                set_source_files_properties("${binary_dir}/${target}_autogen/mocs_compilation.cpp"
                    TARGET_DIRECTORY ${target} PROPERTIES SKIP_PRECOMPILE_HEADERS ON)
            endif()
        endif()
    endforeach()
endfunction()
