# Package installation and the update log, compiled into the updater's library.
set(updater_install_sources
    StagedPackage.cpp StagedPackage.h
    UpdateLog.cpp UpdateLog.h
    Zip.cpp Zip.h
    ZipResponse.h)
