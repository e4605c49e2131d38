# The configuration file read when the command line names none; a package
# sets its own (-DVRX_DEFAULT_CONFIG=/etc/vorex/vorex-icapd.ini).
set(VRX_DEFAULT_CONFIG "/usr/local/etc/vorex/vorex-icapd.ini" CACHE STRING
    "Configuration file the daemon reads without -f")
set_property(SOURCE config_load.cpp APPEND PROPERTY
             COMPILE_DEFINITIONS VRX_DEFAULT_CONFIG="${VRX_DEFAULT_CONFIG}")
