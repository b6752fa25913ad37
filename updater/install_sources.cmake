# Package installation and the update log, compiled into the updater's library.
set(updater_install_sources
    NewFileInstaller.cpp NewFileInstaller.h
    UpdateLog.cpp UpdateLog.h
    Zip.cpp Zip.h
    ZipResponse.h)
