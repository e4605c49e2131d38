list(APPEND vrx_sources cf_values.cpp cf_cidr.cpp cf_compiled_re.cpp cf_lookup_file.cpp cf_expr.cpp)
list(APPEND vrx_depends vrx_base)
