# Runs at install time (cmake --install), after the programs are in place.
# The paths a desktop entry holds must be absolute: they are written now,
# for the folder the files are installed to (without DESTDIR, which only
# stages them; file(INSTALL) adds it by itself).
get_filename_component(korvel_folder "${CMAKE_INSTALL_PREFIX}" ABSOLUTE)
set(korvel_staged "$ENV{DESTDIR}${korvel_folder}")

# A till's Update.conf holds its update server and installed version, which
# the Updater rewrites: installing again over the folder keeps it.
set(korvel_conf "${korvel_staged}/${KORVEL_UPDATER_FOLDER}/Update.conf")
if(EXISTS "${korvel_conf}")
    message(STATUS "Kept: ${korvel_conf}")
else()
    file(INSTALL "${KORVEL_SAMPLE_CONF}" DESTINATION "${korvel_folder}/${KORVEL_UPDATER_FOLDER}"
         FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()

# Escapes of a desktop entry value; inside the Exec line's double quotes
# '"', '`', '$' and '\' take a backslash first, and '%' is doubled so that
# no field code is read.
function(korvel_entry_value text out)
    string(REPLACE "\\" "\\\\" text "${text}")
    string(REPLACE "\n" "\\n" text "${text}")
    string(REPLACE "\t" "\\t" text "${text}")
    set(${out} "${text}" PARENT_SCOPE)
endfunction()
function(korvel_exec_argument text out)
    foreach(reserved "\\" "\"" "`" "$")
        string(REPLACE "${reserved}" "\\${reserved}" text "${text}")
    endforeach()
    string(REPLACE "%" "%%" text "${text}")
    korvel_entry_value("\"${text}\"" text)
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

korvel_exec_argument("${korvel_folder}/Korvel" korvel_exec)
korvel_entry_value("${korvel_folder}" korvel_path)
korvel_entry_value("${korvel_folder}/korvel.png" korvel_icon)
# Written beside the build first: file(INSTALL) sets its permissions (file
# managers launch only entries that are executable).
set(korvel_entry "${KORVEL_PACKAGING_BINARY_DIR}/korvel.desktop")
file(WRITE "${korvel_entry}" "[Desktop Entry]
Type=Application
Name=Korvel
GenericName=Receipt print service
Comment=Prints the cashier's receipts and talks to the rooms' set-top boxes
Exec=${korvel_exec}
Path=${korvel_path}
Icon=${korvel_icon}
Terminal=false
Categories=Office;
")
file(INSTALL "${korvel_entry}" DESTINATION "${korvel_folder}"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
