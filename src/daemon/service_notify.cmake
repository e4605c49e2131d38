# Readiness, reload and stop reports to systemd through libsystemd.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBSYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
list(APPEND vrx_sources service_notify.cpp)
list(APPEND vrx_depends PkgConfig::LIBSYSTEMD)
