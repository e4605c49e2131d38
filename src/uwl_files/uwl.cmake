# URL category list files. The public key that checks their signatures is
# built in from a PEM file; operators may name their own.
set(VRX_UWL_PUBLIC_KEY ${CMAKE_SOURCE_DIR}/keys/uwl_public.pem CACHE FILEPATH
    "PEM public DSA key that list-file signatures are checked with")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${VRX_UWL_PUBLIC_KEY})
file(READ ${VRX_UWL_PUBLIC_KEY} _vrx_uwl_key_hex HEX)
string(REGEX REPLACE "(..)" "0x\\1," _vrx_uwl_key_bytes "${_vrx_uwl_key_hex}")
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/uwl_public_key.h CONTENT
"#pragma once
// Generated from ${VRX_UWL_PUBLIC_KEY}.
static const unsigned char uwl_public_key_pem[] = {${_vrx_uwl_key_bytes}};
" @ONLY)

list(APPEND vrx_sources uwl_format.cpp uwl_signature.cpp uwl_file.cpp parsed_url.cpp uwl_match.cpp
     uwl_load.cpp)
list(APPEND vrx_depends vrx_base vrx_request vrx_filters vrx_conf_parser OpenSSL::Crypto)
